// When the host sees each answer of an emulated reader: the loader's thinking time (--delay), the
// line's pace (--baud), and the latency timer of a USB serial adapter between the line and the
// host (--latency). Arithmetic on the times it is given, so that tests run it on any clock.
#ifndef KORVEL_SIM_ANSWER_TIMING_H
#define KORVEL_SIM_ANSWER_TIMING_H

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace korvel::sim {

using SimClock = std::chrono::steady_clock;

// The first tick at or after `ready` of a timer that ticks every `period` from the clock's
// epoch, as an adapter's latency timer runs on whatever it is sent. A period of zero: `ready`.
SimClock::time_point NextTick(SimClock::time_point ready, SimClock::duration period);

class AnswerTiming {
  public:
    // delayMs before every loader answer; baud 0: the line is not paced; latencyMs 0: no
    // adapter's timer.
    AnswerTiming(uint32_t delayMs, uint32_t baud, uint32_t latencyMs);

    // True when every answer goes out the moment it is made.
    bool Immediate() const;

    // `count` bytes from the host were read at `now`: on a paced line they take their line time,
    // and no answer to them can leave before it is over.
    void Received(size_t count, SimClock::time_point now);

    // When an answer of `size` bytes, made at `now`, reaches the host; `loaderAnswer` makes it
    // wait for the answer delay.
    SimClock::time_point Due(size_t size, bool loaderAnswer, SimClock::time_point now);

  private:
    std::chrono::milliseconds delay_;
    SimClock::duration byteTime_{};  // one byte on the line; zero without pacing
    SimClock::duration latency_;
    SimClock::time_point rxClock_{};  // when the bytes received so far would have arrived
    SimClock::time_point txClock_{};  // when the answers sent so far would have left
};

}  // namespace korvel::sim

#endif
