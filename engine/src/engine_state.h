// What exists once per library: the download parameter block, the progress counters, and the
// lock that lets one job run at a time.
#ifndef CORDANE_ENGINE_STATE_H
#define CORDANE_ENGINE_STATE_H

#include <array>
#include <atomic>
#include <cstdint>

#include "cordane/cordane.h"

namespace cordane {

using ParamBlock = std::array<uint8_t, KV_PARAM_BLOCK_SIZE>;

// A copy of the engine's parameter block (every byte 0x11 until the first UpdateParam).
ParamBlock CurrentParamBlock();
// A 32-bit little-endian field of a parameter block.
uint32_t ParamField(const ParamBlock& block, size_t offset);

// Progress counters, read by the progress texts on the client's thread while the worker writes
// them; each is one atomic 32-bit value.
struct Progress {
    std::atomic<uint32_t> total{0};
    std::atomic<uint32_t> done{0};
};
Progress& EngineProgress();

// The one-job lock. TryClaimJob answers a token for the job that now holds it, or 0 while
// another job runs. A job that has sent its last notice touches nothing shared any more, so
// JobFinishing lets the next job start (a client may well start it from that notice); ReleaseJob
// frees the lock unless a later job holds it.
using JobToken = uint64_t;
JobToken TryClaimJob();
void JobFinishing(JobToken token);
void ReleaseJob(JobToken token);

// The job itself, on the thread that runs it, with the lock held by the caller.
unsigned RunJob(CLoadInterface& client, JobToken token);
// Refuses a job while another runs: a message (unless the job is silent) and the last notice.
unsigned RefuseBusy(CLoadInterface& client);

}  // namespace cordane

#endif
