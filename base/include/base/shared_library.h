// A library loaded while the program runs, for a part that needs one only when it is used (the
// job log's PostgreSQL client): a program without it still runs, and says what is missing when
// the part is asked for.
#ifndef KORVEL_BASE_SHARED_LIBRARY_H
#define KORVEL_BASE_SHARED_LIBRARY_H

#include <cstdint>
#include <string>
#include <utility>

#include "base/error.h"

namespace korvel::base {

class SharedLibrary {
  public:
    // Loads `name` ("libpq.so.5", "libpq.dll") where the system looks for libraries: on Windows
    // the program's own folder, the system's folders and PATH. It stays loaded for the program's
    // life, so that what is found in it may be kept anywhere. The failure names the library.
    static Expected<SharedLibrary> Load(const std::string& name);

    // The address of the function or variable `symbol`; nullptr when the library has none.
    void* Find(const char* symbol) const noexcept;
    // The same, as the function type the caller declares it with.
    template <typename Function>
    bool Find(Function*& function, const char* symbol) const noexcept {
        function = reinterpret_cast<Function*>(Find(symbol));
        return function != nullptr;
    }

    const std::string& Name() const noexcept { return name_; }

  private:
    SharedLibrary(std::intptr_t handle, std::string name)
        : handle_(handle), name_(std::move(name)) {}
    std::intptr_t handle_;
    std::string name_;
};

}  // namespace korvel::base

#endif
