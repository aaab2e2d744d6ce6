// Fuzz target for the global files' tag walk alone: element headers, short and long lengths, and
// the one-level search for a tag among siblings, on any bytes and any range within them.
//
//   byte 0     the tag searched for
//   byte 1     where the walk starts, as a share of the input (n * size / 256)
//   the rest   the bytes walked, up to their end
//
// Every element found lies inside the range walked; a walk that stops on a malformed element
// names an offset inside the range; the element read at that offset does not fit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "kit/global_file.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t tag = data[0];
    const uint8_t* bytes = data + 2;
    const size_t end = size - 2;
    const size_t begin = end * data[1] / 256;

    korvel::kit::GloElement element;
    size_t fault = 0;
    switch (korvel::kit::FindTag(bytes, begin, end, tag, &element, &fault)) {
        case korvel::kit::TagSearch::Found:
            Require(element.tag == tag);
            Require(element.offset >= begin && element.offset + 2 <= element.valueOffset);
            Require(element.End() <= end);
            break;
        case korvel::kit::TagSearch::Malformed: {
            Require(fault >= begin && fault < end);
            korvel::kit::GloElement broken;
            Require(!korvel::kit::ReadElement(bytes, fault, end, &broken));
            break;
        }
        case korvel::kit::TagSearch::Absent:
            break;
    }
    // Walking every sibling: each one lies inside the range and follows the previous.
    size_t position = begin;
    while (position < end) {
        korvel::kit::GloElement sibling;
        if (!korvel::kit::ReadElement(bytes, position, end, &sibling)) break;
        Require(sibling.offset == position && sibling.End() <= end);
        Require(sibling.End() > position);
        position = sibling.End();
    }
    return 0;
}
