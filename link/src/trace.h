// Trace of the link: with KORVEL_TRACE=1 every frame sent and received, and every notable event,
// goes to standard error with a monotonic timestamp; any other value (but "0") names a file the
// lines are appended to. Off, a trace call costs one test of a flag.
#ifndef KORVEL_LINK_TRACE_H
#define KORVEL_LINK_TRACE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "zr318/wire.h"

// printf-style checking of the format, with the C99 conversions (%zu, %lld) on every system.
#if defined(__MINGW32__)
#define KORVEL_TRACE_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define KORVEL_TRACE_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

namespace korvel::link {

bool Tracing();

// "tx"/"rx" line for one frame on the device named by label; note may add a remark.
void TraceFrame(const std::string& label, const char* direction, wire::Kind kind,
                const uint8_t* payload, size_t size, const char* note = nullptr);

// A free-form trace line (printf format).
void TraceNote(const char* format, ...) KORVEL_TRACE_FORMAT(1, 2);

// A message the user needs whether tracing or not (an open that failed, a bad setting): to
// standard error, and to the trace file as well when there is one.
void Report(const char* format, ...) KORVEL_TRACE_FORMAT(1, 2);

}  // namespace korvel::link

#endif
