#include "sim/answer_timing.h"

#include <algorithm>

namespace korvel::sim {
namespace {

constexpr int kBitsPerByte = 10;  // 8N1: start bit, 8 data bits, stop bit

}  // namespace

SimClock::time_point NextTick(SimClock::time_point ready, SimClock::duration period) {
    if (period <= SimClock::duration::zero()) return ready;
    const SimClock::duration since = ready.time_since_epoch();
    const SimClock::duration late = since % period;
    if (late == SimClock::duration::zero()) return ready;
    return ready + (period - late);
}

AnswerTiming::AnswerTiming(uint32_t delayMs, uint32_t baud, uint32_t latencyMs)
    : delay_(delayMs), latency_(std::chrono::milliseconds(latencyMs)) {
    if (baud > 0) {
        byteTime_ = std::chrono::duration_cast<SimClock::duration>(
            std::chrono::nanoseconds(1'000'000'000LL * kBitsPerByte / baud));
    }
}

bool AnswerTiming::Immediate() const {
    return delay_.count() == 0 && byteTime_ == SimClock::duration::zero() &&
           latency_ == SimClock::duration::zero();
}

void AnswerTiming::Received(size_t count, SimClock::time_point now) {
    if (byteTime_ > SimClock::duration::zero()) {
        rxClock_ = std::max(rxClock_, now) + byteTime_ * static_cast<int64_t>(count);
    }
}

SimClock::time_point AnswerTiming::Due(size_t size, bool loaderAnswer, SimClock::time_point now) {
    SimClock::time_point due = std::max(now, rxClock_);
    if (loaderAnswer) due += delay_;
    if (byteTime_ > SimClock::duration::zero()) {
        // The answer leaves once the line is free and arrives a byte time per byte later.
        txClock_ = std::max(due, txClock_) + byteTime_ * static_cast<int64_t>(size);
        due = txClock_;
    }
    // The adapter passes what it received on only when its timer ticks.
    return NextTick(due, latency_);
}

}  // namespace korvel::sim
