// The image buffer of cordane convert: a large buffer taken straight from the system, its pages
// mapped before use. Left to page faults, 4 KB at a time, mapping the pages of a few megabytes
// costs more than converting them. Each system fills it in a file of its own.
#ifndef CORDANE_TOOLS_COMMANDS_PAGE_BUFFER_H
#define CORDANE_TOOLS_COMMANDS_PAGE_BUFFER_H

#include <cstddef>
#include <cstdint>

namespace cordane::tools {

class PageBuffer {
  public:
    PageBuffer() = default;
    ~PageBuffer() { Free(); }
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    // Replaces the buffer with `capacity` zeroed bytes (at least one); false when out of memory.
    bool Allocate(size_t capacity);
    uint8_t* data() const { return data_; }

  private:
    void Free();

    uint8_t* data_ = nullptr;
    size_t capacity_ = 0;
};

}  // namespace cordane::tools

#endif
