// Setting and removing a variable of the test's own environment, on every system, for good or
// for a scope.
#ifndef KORVEL_TESTKIT_ENVIRONMENT_H
#define KORVEL_TESTKIT_ENVIRONMENT_H

#include <cstdlib>
#include <optional>
#include <string>

namespace korvel::testkit {

inline void SetEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

inline void UnsetEnvironment(const char* name) {
#ifdef _WIN32
    _putenv_s(name, "");  // an empty value removes it
#else
    unsetenv(name);
#endif
}

// Sets (or with nullopt unsets) an environment variable until the end of the scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) {
            SetEnvironment(name, *value);
        } else {
            UnsetEnvironment(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            SetEnvironment(name_, *old_);
        } else {
            UnsetEnvironment(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

}  // namespace korvel::testkit

#endif
