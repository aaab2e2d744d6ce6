// Libraries loaded while running, on POSIX systems: dlopen, each library's symbols kept to itself.
#include <dlfcn.h>

#include "os.h"

namespace korvel::base::os {

Expected<Handle> LoadSharedLibrary(const std::string& name) {
    void* library = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        // dlerror's words begin with the name, which the message names already.
        const char* said = ::dlerror();
        std::string why = said ? said : "not found";
        if (why.rfind(name + ": ", 0) == 0) why.erase(0, name.size() + 2);
        return Error(kFailureCode, why, {}, Cause::NotFound);
    }
    return reinterpret_cast<Handle>(library);
}

void* FindSymbol(Handle library, const char* symbol) noexcept {
    return ::dlsym(reinterpret_cast<void*>(library), symbol);
}

}  // namespace korvel::base::os
