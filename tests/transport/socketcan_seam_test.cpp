// The backend's receive path without a CAN interface: an adopted
// SOCK_SEQPACKET socket pair delivers one frame structure per message, as a
// raw CAN socket does, and the system-call seam records and scripts what the
// kernel would do.
#include <gtest/gtest.h>

#include <linux/can.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "transport/socketcan_backend.hpp"

namespace jointbus::transport {
namespace {

// What the seam saw and what it is told to do. Plain function pointers carry
// no state, so it lives here; each test starts with reset().
struct SeamScript {
    std::vector<timespec> waits;    // the time each ppoll was handed
    int ppoll_errors_left = 0;      // fail this many ppolls with ppoll_errno
    int ppoll_errno = EINTR;
    int empty_wakeups_left = 0;     // report readable this many times with nothing there
    int recvmmsg_calls = 0;
    int recv_calls = 0;
} seam;

void reset() { seam = SeamScript{}; }

int recording_ppoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask) {
    seam.waits.push_back(*timeout);
    if (seam.ppoll_errors_left > 0) {
        --seam.ppoll_errors_left;
        errno = seam.ppoll_errno;
        return -1;
    }
    if (seam.empty_wakeups_left > 0) {
        --seam.empty_wakeups_left;
        fds[0].revents = POLLIN;
        return 1;
    }
    // The real wait, but never longer than a test can afford.
    const timespec short_wait{0, std::min(timeout->tv_sec > 0 ? 999'999'999L : timeout->tv_nsec, 20'000'000L)};
    return ::ppoll(fds, count, &short_wait, mask);
}

ssize_t counting_recv(int fd, void* buffer, std::size_t length, int flags) {
    ++seam.recv_calls;
    return ::recv(fd, buffer, length, flags);
}

int counting_recvmmsg(int fd, mmsghdr* messages, unsigned int count, int flags, timespec* timeout) {
    ++seam.recvmmsg_calls;
    return ::recvmmsg(fd, messages, count, flags, timeout);
}

constexpr SocketCalls seam_calls{&::send, &counting_recv, &counting_recvmmsg, &recording_ppoll};

// A transport on one end of a socket pair and the other end to feed it.
struct Pair {
    SocketCanTransport bus;
    int peer;

    static Pair make() {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
            throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
        }
        return Pair{SocketCanTransport::adopt(ends[0], seam_calls), ends[1]};
    }
    ~Pair() { ::close(peer); }

    void feed(std::uint32_t id, std::uint8_t first_byte) const {
        can_frame frame{};
        frame.can_id = id;
        frame.len = 1;
        frame.data[0] = first_byte;
        ASSERT_EQ(::send(peer, &frame, sizeof frame, 0), static_cast<ssize_t>(sizeof frame));
    }
};

// Each wait is handed exactly the time the caller has left, to the
// nanosecond: the wait ends at the deadline, not at the next scheduler tick.
TEST(SeamRecv, WaitGetsExactlyTheTimeGivenAndSubMicrosecondNeverWaits) {
    struct Case {
        Duration timeout;
        std::vector<std::pair<long, long>> waits;
    };
    const Case cases[] = {
        {{0, 0}, {}},
        {{0, 999}, {}},
        {{0, 1000}, {{0, 1000}}},
        {{0, 1'234'567}, {{0, 1'234'567}}},
        {{1, 999'999'999}, {{1, 999'999'999}}},
    };
    for (const Case& c : cases) {
        reset();
        Pair pair = Pair::make();
        seam.ppoll_errors_left = 1;
        seam.ppoll_errno = EINTR;
        pair.feed(0x011, 1);
        const auto received = pair.bus.recv(c.timeout);
        ASSERT_FALSE(received);
        std::vector<std::pair<long, long>> waits;
        for (const timespec& wait : seam.waits) {
            waits.emplace_back(wait.tv_sec, wait.tv_nsec);
        }
        EXPECT_EQ(waits, c.waits) << c.timeout.seconds << "." << c.timeout.nanoseconds;
        // A signal ends the wait as the backend error it is; below a
        // microsecond nothing is waited for and nothing is taken.
        EXPECT_EQ(message(received.error()), c.waits.empty() ? "timeout waiting for frame"
                                                             : "backend error: Interrupted system call (os error 4)");
        EXPECT_EQ(seam.recv_calls, 0);
        seam.ppoll_errors_left = 0;
        EXPECT_EQ(pair.bus.recv(Duration{0, 5'000'000}).value(), (CanFrame{CanId::standard(0x011), {1}, false, false}));
    }
}

TEST(SeamRecv, TakesExactlyOneFrameAndTimesOutOnSilence) {
    reset();
    Pair pair = Pair::make();
    pair.feed(0x011, 1);
    pair.feed(0x012, 2);
    EXPECT_EQ(pair.bus.recv(Duration{0, 5'000'000}).value().data, std::vector<std::uint8_t>{1});
    EXPECT_EQ(pair.bus.recv(Duration{0, 5'000'000}).value().data, std::vector<std::uint8_t>{2});
    EXPECT_EQ(seam.recv_calls, 2);
    EXPECT_EQ(pair.bus.recv(Duration{0, 2'000'000}), std::unexpected(TransportError{TimeoutError{}}));
    EXPECT_EQ(seam.recv_calls, 2);
}

// A wake-up that finds nothing (another reader of a shared descriptor took
// the frame) resumes the wait for what is left instead of timing out early.
TEST(SeamRecv, EmptyWakeUpWaitsOnForTheRestOfTheTime) {
    reset();
    Pair pair = Pair::make();
    seam.empty_wakeups_left = 1;
    EXPECT_EQ(pair.bus.recv(Duration{0, 500'000'000}), std::unexpected(TransportError{TimeoutError{}}));
    ASSERT_EQ(seam.waits.size(), 2u);
    EXPECT_EQ(seam.waits[0].tv_nsec, 500'000'000);
    EXPECT_GT(seam.waits[1].tv_nsec, 0);
    EXPECT_LE(seam.waits[1].tv_nsec, 500'000'000);
}

TEST(SeamDropPending, EmptiesTheQueueInBatchesAndLeavesLaterFrames) {
    struct Case {
        int queued;
        int calls;
    };
    // One batch holds 16 frames; a full batch may hide more, so one more call.
    for (const Case c : {Case{0, 1}, Case{1, 1}, Case{15, 1}, Case{16, 2}, Case{40, 3}}) {
        reset();
        Pair pair = Pair::make();
        for (int i = 0; i < c.queued; ++i) {
            pair.feed(0x011, static_cast<std::uint8_t>(i));
        }
        EXPECT_EQ(pair.bus.drop_pending(), static_cast<std::size_t>(c.queued));
        EXPECT_EQ(seam.recvmmsg_calls, c.calls) << c.queued;
        EXPECT_EQ(seam.waits.size(), 0u);  // dropping never waits
        pair.feed(0x011, 0xAA);
        EXPECT_EQ(pair.bus.recv(Duration{0, 5'000'000}).value().data, std::vector<std::uint8_t>{0xAA});
    }
}

TEST(SeamExchange, RefusedFrameLeavesTheQueueAndAStaleReplyIsNeverTaken) {
    reset();
    Pair pair = Pair::make();
    pair.feed(0x011, 0x55);  // the late answer to an earlier command
    EXPECT_EQ(pair.bus.start_exchange(CanFrame{CanId::standard(0x800), {}, false, false}),
              std::unexpected(TransportError{InvalidIdError{}}));
    EXPECT_EQ(pair.bus.start_exchange(CanFrame{CanId::standard(1), std::vector<std::uint8_t>(9), false, false}),
              std::unexpected(TransportError{FrameTooLargeError{9}}));
    EXPECT_EQ(seam.recvmmsg_calls, 0);

    ASSERT_TRUE(pair.bus.start_exchange(CanFrame{CanId::standard(1), {0xFC}, false, false}));
    EXPECT_EQ(seam.recvmmsg_calls, 1);
    can_frame sent{};
    ASSERT_EQ(::recv(pair.peer, &sent, sizeof sent, MSG_DONTWAIT), static_cast<ssize_t>(sizeof sent));
    EXPECT_EQ(sent.data[0], 0xFC);
    EXPECT_EQ(pair.bus.recv(Duration{0, 2'000'000}), std::unexpected(TransportError{TimeoutError{}}));
}

TEST(SeamDropPending, ReceiveErrorIsABackendError) {
    reset();
    SocketCanTransport closed = SocketCanTransport::adopt(-1, seam_calls);
    EXPECT_EQ(message(closed.drop_pending().error()), "backend error: Bad file descriptor (os error 9)");
}

}  // namespace
}  // namespace jointbus::transport
