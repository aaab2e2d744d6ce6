// The conversation with a reader's loader: framing of addressed frames, the exchange of one
// frame, and the in-line exchange of the 64 Kb procedures, which ends the job on any failure.
#ifndef CORDANE_EXCHANGE_H
#define CORDANE_EXCHANGE_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "cordane/protocol.h"
#include "job.h"

namespace cordane {

// The 9 header bytes for a header record: length high and low, command, start and load address
// as three big-endian bytes each (bits 24 to 31 dropped).
std::array<uint8_t, kHeaderSize> BuildLoaderHeader(const LoaderHeader& record);

// Sends header and payload as one frame and awaits the answer. 0: accepted, the link stays open.
// Otherwise the link is closed and the result is 4 (send or serial failure), 5 (no answer in
// time) or the loader's own error code.
int ExchangeLoaderFrame(LinkHandle& link, const uint8_t* payload, const LoaderHeader& record);

// DetectionExchange, reader detection's exchange, is declared in cordane/loader_frame.h.

// The in-line exchange of RawDownload and FramedDownload. Each step ends the job through
// Job::Fail when it fails: 4 when the frame cannot be sent or the link fails, 5 when no answer
// comes in time, 6 when the client cancels at a checked step, the loader's error code (shown as
// "Download error.") when the answer's status byte is not 0.
class InlineExchange {
  public:
    explicit InlineExchange(Job& job) : job_(job) {}

    void Send(const uint8_t* frame, size_t length);
    // Waits for the answer; with cancelCheck the client is asked between the answer and the
    // check of its status byte.
    void Await(bool cancelCheck);
    // Send then Await.
    void Exchange(const uint8_t* frame, size_t length, bool cancelCheck) {
        Send(frame, length);
        Await(cancelCheck);
    }
    // An addressed frame: header and payload sent as one message, then Await.
    void ExchangeAddressed(const LoaderHeader& record, const uint8_t* payload, bool cancelCheck);

  private:
    Job& job_;
    std::array<uint8_t, ZR_REPLY_BUFFER> answer_{};
    std::array<uint8_t, kHeaderSize + kMaxPayload> frame_{};
};

// Asks the client whether to stop; ends the job with status 6 when it says yes.
void CheckCancel(Job& job);

}  // namespace cordane

#endif
