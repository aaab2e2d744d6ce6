#include "base/shared_library.h"

#include "os.h"

namespace korvel::base {

Expected<SharedLibrary> SharedLibrary::Load(const std::string& name) {
    Expected<os::Handle> handle = os::LoadSharedLibrary(name);
    if (!handle) return os::Explained(handle.error(), "cannot load " + name);
    return SharedLibrary(*handle, name);
}

void* SharedLibrary::Find(const char* symbol) const noexcept {
    return os::FindSymbol(handle_, symbol);
}

}  // namespace korvel::base
