// Setting and removing a variable of the test's own environment, on every system.
#ifndef KORVEL_TESTKIT_ENVIRONMENT_H
#define KORVEL_TESTKIT_ENVIRONMENT_H

#include <cstdlib>
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

}  // namespace korvel::testkit

#endif
