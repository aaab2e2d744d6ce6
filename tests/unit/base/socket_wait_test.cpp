// Waiting for a socket that another library owns (a database client's), together with a wake-up:
// ready for what was asked only, again after what was read is gone, at its peer's end, and ended
// by a wake-up from another thread. On Windows the socket is tied to an event for each wait only.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/wait.h"

namespace {

using namespace korvel::base;
using namespace std::chrono_literals;

// Two connected stream sockets, closed with the object.
class SocketPair {
  public:
    SocketPair() {
#ifdef _WIN32
        WSADATA data;
        started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
        SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(listener, 1) == 0 &&
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            ends_[0] = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            if (::connect(ends_[0], reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                ends_[1] = ::accept(listener, nullptr, nullptr);
            }
        }
        ::closesocket(listener);
#else
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0) {
            ends_[0] = ends[0];
            ends_[1] = ends[1];
        }
#endif
    }
    ~SocketPair() {
        Close(0);
        Close(1);
#ifdef _WIN32
        if (started_) ::WSACleanup();
#endif
    }
    bool Made() const {
        return ends_[0] != kNone && ends_[1] != kNone;
    }
    std::intptr_t operator[](int end) const {
        return static_cast<std::intptr_t>(ends_[end]);
    }
    bool Send(int end, char byte) {
        return ::send(ends_[end], &byte, 1, 0) == 1;
    }
    bool Receive(int end) {
        char byte;
        return ::recv(ends_[end], &byte, 1, 0) == 1;
    }
    void Close(int end) {
        if (ends_[end] == kNone) return;
#ifdef _WIN32
        ::closesocket(ends_[end]);
#else
        ::close(ends_[end]);
#endif
        ends_[end] = kNone;
    }

  private:
#ifdef _WIN32
    using Native = SOCKET;
    static constexpr Native kNone = INVALID_SOCKET;
    bool started_ = false;
#else
    using Native = int;
    static constexpr Native kNone = -1;
#endif
    Native ends_[2] = {kNone, kNone};
};

TEST(SocketWaitTest, ReadyForWhatIsAskedAgainAfterItIsTakenAndAtThePeersEnd) {
    SocketPair pair;
    ASSERT_TRUE(pair.Made());

    // Room to write at once; nothing to read, so the time-out ends the wait with nothing ready.
    auto ready = WaitForSocket(pair[0], SocketEvent::Writable, {}, 5s);
    ASSERT_TRUE(ready);
    EXPECT_EQ(*ready, std::vector<bool>{true});
    auto start = std::chrono::steady_clock::now();
    ready = WaitForSocket(pair[0], SocketEvent::Readable, {}, 100ms);
    ASSERT_TRUE(ready);
    EXPECT_EQ(*ready, std::vector<bool>{false});
    EXPECT_GE(std::chrono::steady_clock::now() - start, 90ms);

    // A byte arriving during the wait ends it; taken, the socket waits again; one sent before the
    // wait began is seen too.
    std::thread sender([&] {
        std::this_thread::sleep_for(50ms);
        pair.Send(1, 'a');
    });
    start = std::chrono::steady_clock::now();
    ready = WaitForSocket(pair[0], SocketEvent::Readable, {}, 10s);
    sender.join();
    ASSERT_TRUE(ready);
    EXPECT_EQ(*ready, std::vector<bool>{true});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    ASSERT_TRUE(pair.Receive(0));
    ready = WaitForSocket(pair[0], SocketEvent::Readable, {}, 50ms);
    ASSERT_TRUE(ready);
    EXPECT_EQ(*ready, std::vector<bool>{false});
    ASSERT_TRUE(pair.Send(1, 'b'));
    ready = WaitForSocket(pair[0], SocketEvent::Either, {}, 5s);
    ASSERT_TRUE(ready);
    EXPECT_EQ(*ready, std::vector<bool>{true});
    ASSERT_TRUE(pair.Receive(0));

    // The peer's end is ready to read: the read then tells.
    pair.Close(1);
    ready = WaitForSocket(pair[0], SocketEvent::Readable, {}, 5s);
    ASSERT_TRUE(ready);
    EXPECT_EQ(*ready, std::vector<bool>{true});
    EXPECT_FALSE(pair.Receive(0));
}

TEST(SocketWaitTest, AWakeUpFromAnotherThreadEndsTheWaitAndIsNamed) {
    SocketPair pair;
    ASSERT_TRUE(pair.Made());
    Expected<Wakeup> wakeup = Wakeup::Create();
    ASSERT_TRUE(wakeup);
    const std::vector<Waitable> others{*wakeup};
    std::thread waker([&] {
        std::this_thread::sleep_for(50ms);
        wakeup->Wake();
    });
    const auto start = std::chrono::steady_clock::now();
    const auto ready = WaitForSocket(pair[0], SocketEvent::Readable, others, 10s);
    waker.join();
    ASSERT_TRUE(ready);
    EXPECT_EQ(*ready, (std::vector<bool>{false, true}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    // Still raised: the next wait ends at once, and names the socket too when it is ready.
    ASSERT_TRUE(pair.Send(1, 'c'));
    ASSERT_TRUE(WaitForSocket(pair[0], SocketEvent::Readable, {}, 5s));
    const auto both = WaitForSocket(pair[0], SocketEvent::Readable, others, 5s);
    ASSERT_TRUE(both);
    EXPECT_EQ(*both, (std::vector<bool>{true, true}));
}

}  // namespace
