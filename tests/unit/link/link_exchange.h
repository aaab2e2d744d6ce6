// One request and its answer through the Zr operations, as the link's tests on every system make
// them.
#ifndef KORVEL_TESTS_LINK_EXCHANGE_H
#define KORVEL_TESTS_LINK_EXCHANGE_H

#include <cstdint>
#include <vector>

#include "zr318.h"

namespace korvel::link {

struct Answer {
    int result = -1;
    std::vector<uint8_t> bytes;
    int other = -1;
    int pending = 0;  // results 5 before the final one
};

// Fetches until the link gives something other than "nothing yet".
inline Answer Fetch(int32_t handle) {
    Answer answer;
    unsigned char buffer[ZR_REPLY_BUFFER];
    int length = -1;
    for (;;) {
        answer.result = ZrGetMessage(handle, buffer, &length, &answer.other);
        if (answer.result != ZR_PENDING) break;
        ++answer.pending;
    }
    if (answer.result == ZR_OK) answer.bytes.assign(buffer, buffer + length);
    return answer;
}

inline Answer Exchange(int32_t handle, const std::vector<uint8_t>& request) {
    if (ZrSendMessage(handle, request.data(), static_cast<int>(request.size())) != 0) return {};
    return Fetch(handle);
}

}  // namespace korvel::link

#endif
