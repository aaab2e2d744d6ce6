#include <sys/mman.h>

#include "page_buffer.h"

namespace cordane::tools {

bool PageBuffer::Allocate(size_t capacity) {
    Free();
    const size_t length = capacity > 0 ? capacity : 1;
    void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    data_ = static_cast<uint8_t*>(p);
    capacity_ = length;
    // In huge pages where the system offers them. Both are hints: without them the pages are
    // mapped on first use instead.
    ::madvise(p, length, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
    ::madvise(p, length, MADV_POPULATE_WRITE);
#endif
    return true;
}

void PageBuffer::Free() {
    if (data_ != nullptr) ::munmap(data_, capacity_);
    data_ = nullptr;
    capacity_ = 0;
}

}  // namespace cordane::tools
