#include <windows.h>

#include "page_buffer.h"

namespace cordane::tools {

bool PageBuffer::Allocate(size_t capacity) {
    Free();
    const size_t length = capacity > 0 ? capacity : 1;
    // Committed pages read as zero. Windows offers no hint to map them before use (large pages
    // need a privilege an operator's account does not hold): they come on first touch.
    void* p = ::VirtualAlloc(nullptr, length, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (p == nullptr) return false;
    data_ = static_cast<uint8_t*>(p);
    capacity_ = length;
    return true;
}

void PageBuffer::Free() {
    if (data_ != nullptr) ::VirtualFree(data_, 0, MEM_RELEASE);
    data_ = nullptr;
    capacity_ = 0;
}

}  // namespace cordane::tools
