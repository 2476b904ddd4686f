#include "src/net/tcp_connect.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <vector>

namespace tessarin {
namespace {

SocketAddress v4(uint16_t port) {
    SocketAddress a;
    auto* in = reinterpret_cast<sockaddr_in*>(&a.address);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.length = sizeof(sockaddr_in);
    a.family = AF_INET;
    return a;
}

SocketAddress v6(uint16_t port) {
    SocketAddress a;
    auto* in = reinterpret_cast<sockaddr_in6*>(&a.address);
    in->sin6_family = AF_INET6;
    in->sin6_port = htons(port);
    in->sin6_addr = in6addr_loopback;
    a.length = sizeof(sockaddr_in6);
    a.family = AF_INET6;
    return a;
}

// The order of families as a string, e.g. "664" for v6, v6, v4; ports tell the addresses apart.
std::string families(const std::vector<SocketAddress>& list) {
    std::string out;
    for (const SocketAddress& a : list) out += a.family == AF_INET6 ? '6' : '4';
    return out;
}

TEST(InterleaveFamilies, AlternatesStartingWithTheFirstFamily) {
    struct Case {
        std::vector<SocketAddress> in;
        std::string out;
    } cases[] = {
        {{}, ""},
        {{v6(1), v6(2), v6(3), v4(4)}, "6466"},
        {{v4(1), v4(2), v6(3), v6(4), v6(5)}, "46466"},
        {{v6(1), v4(2)}, "64"},
        {{v4(1), v4(2)}, "44"},
    };
    for (const auto& c : cases) EXPECT_EQ(families(interleave_families(c.in)), c.out);
    // Within a family the resolver's order is kept.
    auto out = interleave_families({v6(1), v6(2), v4(3), v4(4)});
    EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in6*>(&out[2].address)->sin6_port), 2);
}

// The URL the errors name; the addresses connected to are given apart.
HttpsUrl example_url() {
    HttpsUrl url;
    url.host = "example";
    url.port = 443;
    return url;
}

// A TCP listener on 127.0.0.1, on a port of its own.
struct Listener {
    UniqueFd fd{::socket(AF_INET, SOCK_STREAM, 0)};
    uint16_t port = 0;
    explicit Listener(int backlog = 8) {
        SocketAddress a = v4(0);
        ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a.address), a.length);
        ::listen(fd.get(), backlog);
        socklen_t length = a.length;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a.address), &length);
        port = ntohs(reinterpret_cast<sockaddr_in*>(&a.address)->sin_port);
    }
};

// A listener whose accept queue is full: connections to it hang as to a silent address.
struct SilentListener : Listener {
    std::vector<UniqueFd> fillers;
    SilentListener() : Listener(0) {
        SocketAddress a = v4(port);
        for (int i = 0; i < 3; ++i) {
            fillers.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            ::connect(fillers.back().get(), reinterpret_cast<sockaddr*>(&a.address), a.length);
        }
    }
};

TEST(ConnectFirst, ASilentAddressDoesNotHoldUpTheNext) {
    SilentListener silent;
    Listener open;
    const HttpsUrl url = example_url();
    const Deadline deadline(std::chrono::milliseconds(20000));
    auto connected = connect_first({v4(silent.port), v4(open.port)}, url, deadline,
                                   std::chrono::milliseconds(50));
    ASSERT_FALSE(connected.is_error()) << connected.error().message;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    ::getpeername(connected.value().get(), reinterpret_cast<sockaddr*>(&peer), &length);
    EXPECT_EQ(ntohs(peer.sin_port), open.port);
    EXPECT_LT(std::stoi(deadline.elapsed_ms()), 10000);
}

// A front door whose listening queue is full drops the attempt; the caller hears of each
// second without a connection (and closes what holds the door's places), and a fresh attempt
// gets in once there is room.
TEST(ConnectFirst, AStallIsToldAndTheAttemptGetsInOnceTheQueueHasRoom) {
    SilentListener full;
    ::fcntl(full.fd.get(), F_SETFL, O_NONBLOCK);
    std::vector<UniqueFd> served;
    int stalls = 0;
    auto make_room = [&] {
        ++stalls;
        while (true) {
            UniqueFd accepted(::accept(full.fd.get(), nullptr, nullptr));
            if (!accepted.valid())
                break;
            served.push_back(std::move(accepted));
        }
        return false;  // keep trying
    };
    const HttpsUrl url = example_url();
    const Deadline deadline(std::chrono::milliseconds(20000));
    auto connected = connect_first({v4(full.port)}, url, deadline, k_attempt_delay, make_room);
    ASSERT_FALSE(connected.is_error()) << connected.error().message;
    EXPECT_GE(stalls, 1);

    // Told to give way, the attempt ends there, nothing sent.
    SilentListener still_full;
    auto gave_way =
        connect_first({v4(still_full.port)}, url, deadline, k_attempt_delay, [] { return true; });
    ASSERT_TRUE(gave_way.is_error());
    EXPECT_TRUE(gave_way.error().yielded);
    EXPECT_FALSE(gave_way.error().sent);
}

// A connect's answer comes from the peer's system, so the quickest connect a command has seen
// tells how long one takes: an attempt many times slower was dropped.
TEST(ConnectTimes, AStallIsAMultipleOfTheQuickestConnectSeen) {
    using std::chrono::microseconds;
    using std::chrono::milliseconds;
    struct Case {
        std::vector<microseconds> connects;
        milliseconds stall;
    } cases[] = {
        {{}, k_connect_stall},                                       // nothing seen: the most
        {{microseconds(40)}, k_connect_stall_least},                 // loopback: the least
        {{milliseconds(200), milliseconds(60)}, milliseconds(240)},  // the quickest counts
        {{milliseconds(400)}, k_connect_stall},                      // never more than the most
    };
    for (const Case& c : cases) {
        ConnectTimes times;
        for (microseconds took : c.connects) times.connected(took);
        EXPECT_EQ(times.stall_after(), c.stall) << c.connects.size();
    }
}

TEST(ConnectFirst, OnceAConnectWasSeenADroppedAttemptIsToldSooner) {
    Listener open;
    SilentListener full;
    const HttpsUrl url = example_url();
    const Deadline deadline(std::chrono::milliseconds(20000));
    ConnectTimes times;
    ASSERT_FALSE(
        connect_first({v4(open.port)}, url, deadline, k_attempt_delay, {}, &times).is_error());

    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration told{};
    auto give_way = [&] {
        told = std::chrono::steady_clock::now() - start;
        return true;
    };
    auto gave_way =
        connect_first({v4(full.port)}, url, deadline, k_attempt_delay, give_way, &times);
    ASSERT_TRUE(gave_way.is_error());
    EXPECT_TRUE(gave_way.error().yielded);
    EXPECT_GE(told, k_connect_stall_least);
    EXPECT_LT(told, k_connect_stall / 2);
}

TEST(ConnectFirst, TheCommandsStopEndsTheWait) {
    SilentListener silent;
    const HttpsUrl url = example_url();
    std::stop_source stop;
    const StopWake wake(stop.get_token());
    stop.request_stop();
    const Deadline deadline(std::chrono::milliseconds(20000), &wake);
    auto connected = connect_first({v4(silent.port)}, url, deadline);
    ASSERT_TRUE(connected.is_error());
    EXPECT_TRUE(connected.error().stopped);
    EXPECT_FALSE(connected.error().sent);
}

}  // namespace
}  // namespace tessarin
