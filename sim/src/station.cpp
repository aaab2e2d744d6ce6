// A station of readers in one process (--line N): one SimServer per reader, each running its own
// event loop on a thread of its own. The loops share nothing but standard error, so a reader
// that is paced, delayed or hung up never holds back another's answers, and each keeps the
// timing of a reader served alone. The main thread takes the stop signals and stops every loop
// through one wake-up.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/wait.h"
#include "sim/reader_layout.h"
#include "sim_server.h"
#include "zr318/ports.h"

namespace korvel::sim {

int RunStation(std::vector<SimOptions> readers, base::Interrupts& interrupts) {
    base::Expected<base::Wakeup> stopAll = base::Wakeup::Create();  // raised: every loop ends
    base::Expected<base::Wakeup> ended = base::Wakeup::Create();    // raised as loops end
    if (!stopAll || !ended) {
        const base::Error& error = stopAll ? ended.error() : stopAll.error();
        std::fprintf(stderr, "korvel-sim: cannot set up the line's signals: %s\n",
                     (error.detail.empty() ? error.message : error.detail).c_str());
        return kExitSetup;
    }
    std::atomic<size_t> endedCount{0};  // the loops that ended

    std::vector<std::unique_ptr<SimServer>> servers;
    for (const SimOptions& options : readers) {
        auto server = std::make_unique<SimServer>(options, *FindLayout(options.reader));
        server->ServeAsPartOfStation(*stopAll, ports::EntryName(options.port) + ": ");
        const base::Expected<void> prepared = server->Prepare();
        if (!prepared) {
            // The readers set up so far remove their entries as they go.
            std::fprintf(stderr, "korvel-sim: %s: %s\n", ports::EntryName(options.port).c_str(),
                         prepared.error().message.c_str());
            return kExitSetup;
        }
        servers.push_back(std::move(server));
    }
    for (const auto& server : servers) server->Announce();

    std::vector<int> codes(servers.size(), kExitSetup);
    std::vector<std::thread> threads;
    try {
        for (size_t i = 0; i < servers.size(); ++i) {
            threads.emplace_back([&, i] {
                codes[i] = servers[i]->Finish();
                endedCount.fetch_add(1);
                ended->Wake();
            });
        }
    } catch (const std::system_error& failure) {
        std::fprintf(stderr, "korvel-sim: cannot start the line's threads: %s\n", failure.what());
        stopAll->Wake();
        for (std::thread& thread : threads) thread.join();
        return kExitSetup;
    }

    size_t done = 0;
    while (done < threads.size()) {
        const base::Waitable items[] = {interrupts, *ended};
        const base::Expected<std::vector<bool>> ready = base::WaitForAny(items, std::nullopt);
        if (!ready) break;
        if ((*ready)[0]) {
            base::Interrupt last;
            if (interrupts.Take(&last) > 0) {
                std::fprintf(stderr, "korvel-sim: stopping the line on %s\n",
                             base::DescribeInterrupt(last));
            }
            stopAll->Wake();
        }
        if ((*ready)[1]) {
            // Lowered before the count is read: a loop that ends meanwhile raises it again.
            ended->Clear();
            done = endedCount.load();
        }
    }
    stopAll->Wake();
    for (std::thread& thread : threads) thread.join();
    // The station's code: the gravest of its readers' (a setup failure, then a dump not written,
    // then a flash without a signed image).
    for (const int grave : {kExitSetup, kExitNoDump, kExitUnsigned}) {
        if (std::find(codes.begin(), codes.end(), grave) != codes.end()) return grave;
    }
    return kExitSigned;
}

}  // namespace korvel::sim
