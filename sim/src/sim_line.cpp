// A line of readers in one process (--line N): one SimServer per reader, each running its own
// event loop on a thread of its own. The loops share nothing but standard error, so a reader
// that is paced, delayed or hung up never holds back another's answers, and each keeps the
// timing of a reader served alone. The main thread owns the signals and stops every loop through
// one descriptor.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "sim/reader_layout.h"
#include "sim_server.h"
#include "zr318/ports.h"

namespace korvel::sim {

namespace {

void Signal(int fd) {
    const uint64_t one = 1;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

}  // namespace

int RunLine(std::vector<SimOptions> readers) {
    // Blocked before any thread starts, so that every thread inherits the mask and only the
    // main thread hears the signals, through its descriptor.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    UniqueFd signals;
    if (sigprocmask(SIG_BLOCK, &stop, nullptr) == 0) {
        signals.Reset(signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC));
    }
    const UniqueFd stopAll(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));  // readable: every loop ends
    const UniqueFd ended(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));    // counts the loops that ended
    if (!signals || !stopAll || !ended) {
        std::fprintf(stderr, "korvel-sim: cannot set up the line's signals: %s\n",
                     std::strerror(errno));
        return kExitSetup;
    }
    signal(SIGPIPE, SIG_IGN);

    std::vector<std::unique_ptr<SimServer>> servers;
    for (const SimOptions& options : readers) {
        auto server = std::make_unique<SimServer>(options, *FindLayout(options.reader));
        server->ServeAsPartOfLine(stopAll.get(), ports::EntryName(options.port) + ": ");
        std::string error;
        if (!server->Prepare(&error)) {
            // The readers set up so far remove their entries as they go.
            std::fprintf(stderr, "korvel-sim: %s: %s\n", ports::EntryName(options.port).c_str(),
                         error.c_str());
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
                Signal(ended.get());
            });
        }
    } catch (const std::system_error& failure) {
        std::fprintf(stderr, "korvel-sim: cannot start the line's threads: %s\n", failure.what());
        Signal(stopAll.get());
        for (std::thread& thread : threads) thread.join();
        return kExitSetup;
    }

    size_t done = 0;
    while (done < threads.size()) {
        pollfd fds[2] = {{signals.get(), POLLIN, 0}, {ended.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info;
            if (::read(signals.get(), &info, sizeof info) > 0) {
                std::fprintf(stderr, "korvel-sim: stopping the line on %s\n",
                             strsignal(static_cast<int>(info.ssi_signo)));
            }
            Signal(stopAll.get());
        }
        uint64_t count = 0;
        if ((fds[1].revents & POLLIN) && ::read(ended.get(), &count, sizeof count) > 0) {
            done += count;
        }
    }
    Signal(stopAll.get());
    for (std::thread& thread : threads) thread.join();
    // The line's code: the gravest of its readers' (a setup failure, then a dump not written,
    // then a flash without a signed image).
    for (const int grave : {kExitSetup, kExitNoDump, kExitUnsigned}) {
        if (std::find(codes.begin(), codes.end(), grave) != codes.end()) return grave;
    }
    return kExitSigned;
}

}  // namespace korvel::sim
