// Fuzz target for reader detection's handling of the reader's answers, on the scripted fake link
// with a clock that does not wait. The input scripts the link:
//
//   byte 0      number of failed open calls (modulo 4)
//   then, for frames 1, 2, ... until the input runs out (later frames are accepted with 0):
//     1 byte    how the frame goes: low 3 bits 0 answer, 1 no answer in time, 2 "nothing yet"
//               twice then the answer, 3 a link failure, 4 the frame cannot be sent, 5-7 answer;
//               for the chunks (frames 1-30) an answer's first byte is forced to 0 unless bit 3
//               is set, so that most inputs reach the identification reads
//     1 byte    answer length (modulo 17)
//     n bytes   the answer
//
// Whatever the answers, a detection leaves no link open, ends every session it opened with the
// end frame, and either sets a large reader type from complete answers or fails with the message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "cordane/platform.h"
#include "kit/detection.h"
#include "zr_fake.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    KvSetTimeSource([](uint32_t, void*) {}, [](void*) -> uint64_t { return 0; }, nullptr);
    zrfake::Script script;
    const unsigned failedOpens = data[0] % 4;
    for (unsigned i = 0; i < failedOpens; ++i) script.resetResults.push_back(ZR_FAIL_BASE + 3);
    size_t at = 1;
    for (size_t frame = 1; at + 2 <= size; ++frame) {
        const uint8_t how = data[at];
        const size_t length = std::min<size_t>(data[at + 1] % 17, size - at - 2);
        std::vector<uint8_t> answer(data + at + 2, data + at + 2 + length);
        at += 2 + length;
        if (frame <= 30 && !(how & 8) && !answer.empty()) answer[0] = 0;
        switch (how & 7) {
            case 1:
                script.replies[frame] = {0, ZR_TIMEOUT, {}};
                break;
            case 2:
                script.replies[frame] = {2, ZR_OK, answer};
                break;
            case 3:
                script.replies[frame] = {0, 9, {}};
                break;
            case 4:
                script.sendResults[frame] = 1;
                break;
            default:
                script.replies[frame] = {0, ZR_OK, answer};
                break;
        }
    }
    zrfake::Reset(std::move(script));
    korvel::kit::DetectionOptions options;
    options.debugFile.clear();
    const auto result = korvel::kit::DetectReader(0x80000001u, options);

    Require(zrfake::OpenHandles() == 0);
    const auto frames = zrfake::SentFrames();
    if (failedOpens < 3) {
        Require(!frames.empty());
        const std::vector<uint8_t> end{0, 0, 8, 0, 0, 0, 0, 0, 0};
        Require(frames.back() == end);
    } else {
        Require(frames.empty());
    }
    if (result.Ok()) {
        Require(result.readerType >= 2 && result.readerType <= 9 && result.readerType != 7);
        Require(result.secondAnswer.size() ==
                cordane::SecondReadFor(result.detectionBytes[0]).count);
        Require(result.messages.empty());
    } else {
        Require(result.readerType == -1);
        Require(!result.messages.empty());
        Require(result.messages.back().text == korvel::kit::kDetectionFailedText);
    }
    KvSetTimeSource(nullptr, nullptr, nullptr);
    return 0;
}
