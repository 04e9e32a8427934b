// The backend's receive path without a CAN interface: an adopted
// SOCK_SEQPACKET socket pair delivers one frame structure per message, as a
// raw CAN socket does, and the system-call seam records and scripts what the
// kernel would do.
#include <gtest/gtest.h>

#include <linux/can.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <thread>
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
    std::vector<int> sendmmsg_script;  // per call: take at most this many, or -errno
    std::vector<unsigned int> sendmmsg_counts;  // what each call was offered
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

int scripted_sendmmsg(int fd, mmsghdr* messages, unsigned int count, int flags) {
    seam.sendmmsg_counts.push_back(count);
    int take = static_cast<int>(count);
    if (!seam.sendmmsg_script.empty()) {
        take = seam.sendmmsg_script.front();
        seam.sendmmsg_script.erase(seam.sendmmsg_script.begin());
        if (take < 0) {
            errno = -take;
            return -1;
        }
    }
    return ::sendmmsg(fd, messages, std::min(count, static_cast<unsigned int>(take)), flags);
}

constexpr SocketCalls seam_calls{&::send, &counting_recv, &counting_recvmmsg, &recording_ppoll, &scripted_sendmmsg};

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

// The structures the transport wrote, in order, each exactly as `expected`.
void expect_structures(const Pair& pair, const std::vector<std::vector<std::uint8_t>>& expected) {
    for (const auto& wanted : expected) {
        std::vector<std::uint8_t> got(80, 0xEE);
        const ssize_t size = ::recv(pair.peer, got.data(), got.size(), MSG_DONTWAIT);
        ASSERT_GE(size, 0);
        got.resize(static_cast<std::size_t>(size));
        EXPECT_EQ(got, wanted);
    }
}

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
        int batch_calls;
    };
    // One plain receive finds out whether anything waits at all; what it
    // leaves goes in batches of 16, and a full batch may hide more.
    for (const Case c : {Case{0, 0}, Case{1, 1}, Case{16, 1}, Case{17, 2}, Case{40, 3}}) {
        reset();
        Pair pair = Pair::make();
        for (int i = 0; i < c.queued; ++i) {
            pair.feed(0x011, static_cast<std::uint8_t>(i));
        }
        EXPECT_EQ(pair.bus.drop_pending(), static_cast<std::size_t>(c.queued));
        EXPECT_EQ(seam.recv_calls, 1) << c.queued;
        EXPECT_EQ(seam.recvmmsg_calls, c.batch_calls) << c.queued;
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
    EXPECT_EQ(seam.recv_calls + seam.recvmmsg_calls, 0);  // nothing dropped

    ASSERT_TRUE(pair.bus.start_exchange(CanFrame{CanId::standard(1), {0xFC}, false, false}));
    EXPECT_EQ(seam.recv_calls, 1);  // the stale reply, dropped
    EXPECT_EQ(seam.recvmmsg_calls, 1);
    can_frame sent{};
    ASSERT_EQ(::recv(pair.peer, &sent, sizeof sent, MSG_DONTWAIT), static_cast<ssize_t>(sizeof sent));
    EXPECT_EQ(sent.data[0], 0xFC);
    EXPECT_EQ(pair.bus.recv(Duration{0, 2'000'000}), std::unexpected(TransportError{TimeoutError{}}));
}

// What went out is known frame by frame, whatever each sendmmsg took.
TEST(SeamSendAll, BatchesAreSentInOrderAndPartialSendsAccountedExactly) {
    struct Case {
        const char* name;
        std::size_t frames;
        std::vector<int> script;
        BatchSent expected;
        std::vector<unsigned int> offered;
    };
    const TransportError full = BackendError{{ENOBUFS}};
    const Case cases[] = {
        {"one call", 3, {}, {3, std::nullopt}, {3}},
        {"more than a batch", 20, {}, {20, std::nullopt}, {16, 4}},
        {"queue takes two, then the rest", 3, {2}, {3, std::nullopt}, {3, 1}},
        {"interrupted, then sent", 3, {-EINTR}, {3, std::nullopt}, {3, 3}},
        {"queue full after one", 3, {1, -ENOBUFS}, {1, full}, {3, 2}},
        {"queue full at once", 3, {-ENOBUFS}, {0, full}, {3}},
    };
    for (const Case& c : cases) {
        reset();
        seam.sendmmsg_script = c.script;
        Pair pair = Pair::make();
        std::vector<CanFrame> frames;
        for (std::size_t i = 0; i < c.frames; ++i) {
            frames.push_back(CanFrame{CanId::standard(static_cast<std::uint16_t>(i + 1)), {static_cast<std::uint8_t>(i)},
                                      false, false});
        }
        EXPECT_EQ(pair.bus.send_all(frames), c.expected) << c.name;
        EXPECT_EQ(seam.sendmmsg_counts, c.offered) << c.name;
        for (std::size_t i = 0; i < c.expected.accepted; ++i) {
            can_frame sent{};
            ASSERT_EQ(::recv(pair.peer, &sent, sizeof sent, MSG_DONTWAIT), static_cast<ssize_t>(sizeof sent)) << c.name;
            EXPECT_EQ(sent.can_id, i + 1) << c.name;
        }
        EXPECT_LT(::recv(pair.peer, nullptr, 0, MSG_DONTWAIT), 0) << c.name;  // nothing more went out
    }
}

// The command path's exchange, run on the stack: the same refusals, drop,
// send and matching as request(), frame for frame.
TEST(SeamRequestClassic, DropsStaleFramesSendsAndTakesOnlyTheReplyId) {
    reset();
    Pair pair = Pair::make();
    pair.feed(0x011, 0x55);  // a late answer to an earlier command
    const ClassicFrame command{CanId::standard(0x001), {0xFC, 1, 2, 3, 4, 5, 6, 7}, 8};
    std::thread motor([&pair] {
        can_frame sent{};
        ASSERT_EQ(::recv(pair.peer, &sent, sizeof sent, 0), static_cast<ssize_t>(sizeof sent));
        EXPECT_EQ(sent.can_id, 0x001u);
        EXPECT_EQ(sent.len, 8);
        EXPECT_EQ(sent.data[0], 0xFC);
        EXPECT_EQ(sent.data[7], 7);
        pair.feed(0x012, 0x66);                       // another motor's reply
        pair.feed(0x011 | CAN_EFF_FLAG, 0x77);        // same value, other kind
        pair.feed(0x011, 0x88);                       // the reply
    });
    const auto reply = pair.bus.request_classic(command, CanId::standard(0x011), Duration{0, 500'000'000});
    motor.join();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size, 1u);
    EXPECT_EQ(reply->bytes[0], 0x88);
    EXPECT_EQ(seam.recv_calls, 1 + 3);  // the drop, then three frames
}

TEST(SeamRequestClassic, RefusesWhatTheWireCannotCarryWithNothingDroppedOrSent) {
    struct Case {
        ClassicFrame frame;
        TransportError error;
    };
    const Case cases[] = {
        {{CanId::standard(0x800), {}, 0}, InvalidIdError{}},
        {{CanId::extended(0x2000'0000), {}, 0}, InvalidIdError{}},
        {{CanId::standard(0x001), {}, 9}, FrameTooLargeError{9}},
    };
    for (const Case& c : cases) {
        reset();
        Pair pair = Pair::make();
        pair.feed(0x011, 0x55);
        EXPECT_EQ(pair.bus.request_classic(c.frame, CanId::standard(0x011), Duration{0, 1'000'000}),
                  std::unexpected(c.error));
        EXPECT_EQ(seam.recv_calls + seam.recvmmsg_calls, 0);
        // The queued frame is still there, and nothing reached the peer.
        EXPECT_EQ(pair.bus.recv(Duration{0, 5'000'000}).value().data, std::vector<std::uint8_t>{0x55});
        can_frame sent{};
        EXPECT_EQ(::recv(pair.peer, &sent, sizeof sent, MSG_DONTWAIT), -1);
    }
}

TEST(SeamRequestClassic, SilenceTimesOutAndAStructureOfAnotherSizeIsAnError) {
    reset();
    Pair pair = Pair::make();
    const ClassicFrame command{CanId::standard(0x001), {}, 8};
    EXPECT_EQ(pair.bus.request_classic(command, CanId::standard(0x011), Duration{0, 2'000'000}),
              std::unexpected(TransportError{TimeoutError{}}));
    // The motor answers the next command, not this one: a reply to this one
    // could come before the next request drops what is queued, and be
    // dropped as stale (as on an arm64 guest, where the thread started
    // sooner).
    can_frame unanswered{};
    ASSERT_EQ(::recv(pair.peer, &unanswered, sizeof unanswered, 0), static_cast<ssize_t>(sizeof unanswered));
    const std::uint8_t odd[15]{};
    std::thread motor([&pair, &odd] {
        can_frame sent{};
        ASSERT_EQ(::recv(pair.peer, &sent, sizeof sent, 0), static_cast<ssize_t>(sizeof sent));
        ASSERT_EQ(::send(pair.peer, odd, sizeof odd, 0), static_cast<ssize_t>(sizeof odd));
    });
    const auto reply = pair.bus.request_classic(command, CanId::standard(0x011), Duration{0, 500'000'000});
    motor.join();
    EXPECT_EQ(message(reply.error()), "backend error: Protocol error (os error 71)");
}

// Waiting on a deadline hands the wait what is left of it, and a deadline
// already passed never waits or reads.
TEST(SeamRecvBy, WaitsForWhatIsLeftAndNotAtAllOncePast) {
    reset();
    Pair pair = Pair::make();
    EXPECT_EQ(pair.bus.recv_by(pair.bus.now() - std::chrono::milliseconds(1)),
              std::unexpected(TransportError{TimeoutError{}}));
    EXPECT_EQ(seam.waits.size(), 0u);
    pair.feed(0x011, 9);
    EXPECT_EQ(pair.bus.recv_by(pair.bus.now() + std::chrono::milliseconds(300)).value().data,
              std::vector<std::uint8_t>{9});
    ASSERT_EQ(seam.waits.size(), 1u);
    EXPECT_EQ(seam.waits[0].tv_sec, 0);
    EXPECT_GT(seam.waits[0].tv_nsec, 0);
    EXPECT_LE(seam.waits[0].tv_nsec, 300'000'000);
}

// A cycle's replies tend to arrive together: one wait, then one call takes
// all that wait, never more than asked for, never waiting for more.
TEST(SeamRecvWaiting, TakesWhatWaitsInOneCallUpToTheRoomGiven) {
    struct Case {
        int queued;
        std::size_t room;
        std::size_t taken;
    };
    for (const Case c : {Case{1, 3, 1}, Case{3, 3, 3}, Case{5, 3, 3}, Case{20, 20, 16}}) {
        reset();
        Pair pair = Pair::make();
        for (int i = 0; i < c.queued; ++i) {
            pair.feed(0x011 + static_cast<std::uint32_t>(i), static_cast<std::uint8_t>(i));
        }
        std::vector<ReceivedFrame> out(c.room);
        const auto taken = pair.bus.recv_waiting_by(pair.bus.now() + std::chrono::milliseconds(300), out);
        ASSERT_EQ(taken, c.taken) << c.queued;
        for (std::size_t i = 0; i < c.taken; ++i) {
            EXPECT_EQ(out[i].id, CanId::standard(static_cast<std::uint16_t>(0x011 + i)));
            EXPECT_EQ(out[i].data.size, 1u);
            EXPECT_EQ(out[i].data.bytes[0], i);
        }
        EXPECT_EQ(seam.waits.size(), 1u);
        EXPECT_EQ(seam.recvmmsg_calls, 1);
        EXPECT_EQ(pair.bus.drop_pending(), static_cast<std::size_t>(c.queued) - c.taken);  // the rest still there
    }
}

TEST(SeamRecvWaiting, SilencePastDeadlineAndOddStructures) {
    reset();
    Pair pair = Pair::make();
    std::vector<ReceivedFrame> out(3);
    EXPECT_EQ(pair.bus.recv_waiting_by(pair.bus.now() - std::chrono::milliseconds(1), out),
              std::unexpected(TransportError{TimeoutError{}}));
    EXPECT_EQ(seam.waits.size(), 0u);  // a deadline already past never waits
    seam.empty_wakeups_left = 1;       // woken with nothing there: waits on, then times out
    EXPECT_EQ(pair.bus.recv_waiting_by(pair.bus.now() + std::chrono::milliseconds(5), out),
              std::unexpected(TransportError{TimeoutError{}}));
    EXPECT_EQ(seam.waits.size(), 2u);
    const std::uint8_t odd[15]{};
    ASSERT_EQ(::send(pair.peer, odd, sizeof odd, 0), static_cast<ssize_t>(sizeof odd));
    EXPECT_EQ(message(pair.bus.recv_waiting_by(pair.bus.now() + std::chrono::milliseconds(300), out).error()),
              "backend error: Protocol error (os error 71)");
    EXPECT_EQ(pair.bus.recv_waiting_by(pair.bus.now(), std::span<ReceivedFrame>{}), 0u);
}

// Each frame of a batch goes out as exactly its own structure: its size,
// length and bytes, and zeros after the data, classic and FD side by side.
TEST(SeamSendAll, EveryFrameOfAMixedBatchGoesOutByteForByte) {
    reset();
    Pair pair = Pair::make();
    const std::vector<CanFrame> frames{
        {CanId::standard(0x001), {0xA1}, false, false},
        {CanId::standard(0x002), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, true, true},
        {CanId::extended(0x1234567), {0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8}, false, false},
    };
    ASSERT_EQ(pair.bus.send_all(frames), (BatchSent{3, std::nullopt}));
    const std::vector<std::vector<std::uint8_t>> expected{
        {0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xA1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
        [] {
            std::vector<std::uint8_t> fd(72, 0);
            fd[0] = 0x02;
            fd[4] = 12;    // len
            fd[5] = 0x05;  // CANFD_BRS | CANFD_FDF
            for (std::uint8_t i = 0; i < 12; ++i) {
                fd[8 + i] = static_cast<std::uint8_t>(i + 1);
            }
            return fd;
        }(),
        {0x67, 0x45, 0x23, 0x81, 0x08, 0x00, 0x00, 0x00, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8},
    };
    expect_structures(pair, expected);
}

TEST(SeamSendAll, RefusedFrameStopsTheBatchWhereItIs) {
    reset();
    Pair pair = Pair::make();
    const std::vector<CanFrame> frames{{CanId::standard(1), {}, false, false}, {CanId::standard(0x800), {}, false, false}};
    EXPECT_EQ(pair.bus.send_all(frames), (BatchSent{1, InvalidIdError{}}));
    EXPECT_EQ(seam.sendmmsg_counts, std::vector<unsigned int>{1});
    can_frame sent{};
    EXPECT_EQ(::recv(pair.peer, &sent, sizeof sent, MSG_DONTWAIT), static_cast<ssize_t>(sizeof sent));
    // Checked whole before anything happens: nothing dropped, nothing sent.
    EXPECT_EQ(pair.bus.start_batch_exchange(frames), (BatchSent{0, InvalidIdError{}}));
    EXPECT_EQ(seam.recv_calls + seam.recvmmsg_calls, 0);
    EXPECT_EQ(seam.recvmmsg_calls, 0);
}

TEST(SeamDropPending, ReceiveErrorIsABackendError) {
    reset();
    SocketCanTransport closed = SocketCanTransport::adopt(-1, seam_calls);
    EXPECT_EQ(message(closed.drop_pending().error()), "backend error: Bad file descriptor (os error 9)");
}

// A cycle's classic frames: checked whole first, the queue dropped once, then
// each frame out as exactly its own structure, batched as send_all() batches.
TEST(SeamClassicBatch, DropsOnceThenSendsEachStructureByteForByte) {
    reset();
    Pair pair = Pair::make();
    pair.feed(0x011, 0x55);  // a late answer to an earlier tick
    const std::vector<ClassicFrame> frames{
        {CanId::standard(0x001), {0xA1, 9, 9, 9, 9, 9, 9, 9}, 1},
        {CanId::extended(0x1234567), {0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8}, 8},
        {CanId::standard(0x7FF), {9, 9, 9, 9, 9, 9, 9, 9}, 0},
    };
    ASSERT_EQ(pair.bus.start_classic_batch_exchange(frames), (BatchSent{3, std::nullopt}));
    EXPECT_EQ(seam.recv_calls, 1);  // the stale reply, dropped
    EXPECT_EQ(seam.sendmmsg_counts, std::vector<unsigned int>{3});
    const std::vector<std::vector<std::uint8_t>> expected{
        {0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xA1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
        {0x67, 0x45, 0x23, 0x81, 0x08, 0x00, 0x00, 0x00, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8},
        {0xFF, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
    };
    expect_structures(pair, expected);
    EXPECT_LT(::recv(pair.peer, nullptr, 0, MSG_DONTWAIT), 0);
}

TEST(SeamClassicBatch, RefusalsComeBeforeAnythingIsDroppedOrSentAndLargeBatchesSplit) {
    struct Case {
        const char* name;
        std::vector<ClassicFrame> frames;
        BatchSent expected;
        std::vector<unsigned int> offered;
        int drops;
    };
    std::vector<ClassicFrame> twenty;
    for (std::uint16_t i = 1; i <= 20; ++i) {
        twenty.push_back(ClassicFrame{CanId::standard(i), {}, 8});
    }
    const Case cases[] = {
        {"identifier out of range last",
         {{CanId::standard(1), {}, 8}, {CanId::standard(2), {}, 8}, {CanId::standard(0x800), {}, 8}},
         {0, InvalidIdError{}}, {}, 0},
        {"nine bytes", {{CanId::standard(1), {}, 8}, {CanId::standard(2), {}, 9}}, {0, FrameTooLargeError{9}}, {}, 0},
        {"twenty frames", twenty, {20, std::nullopt}, {16, 4}, 1},
    };
    for (const Case& c : cases) {
        reset();
        Pair pair = Pair::make();
        EXPECT_EQ(pair.bus.start_classic_batch_exchange(c.frames), c.expected) << c.name;
        EXPECT_EQ(seam.sendmmsg_counts, c.offered) << c.name;
        EXPECT_EQ(seam.recv_calls + seam.recvmmsg_calls, c.drops) << c.name;
    }
}

// What a cycle sends once a full queue has room: nothing dropped (the
// replies to the frames already out may be waiting), each structure as the
// batch's, and a frame the wire cannot carry stops the sending where it is.
TEST(SeamClassicSendAll, SendsWithoutDroppingAndStopsAtARefusal) {
    reset();
    Pair pair = Pair::make();
    pair.feed(0x011, 0x55);  // a reply to a frame already out
    const std::vector<ClassicFrame> frames{
        {CanId::standard(0x001), {0xA1, 9, 9, 9, 9, 9, 9, 9}, 1},
        {CanId::standard(0x800), {}, 8},
        {CanId::standard(0x002), {}, 8},
    };
    EXPECT_EQ(pair.bus.send_classic_all(frames), (BatchSent{1, InvalidIdError{}}));
    EXPECT_EQ(seam.recv_calls + seam.recvmmsg_calls, 0);
    EXPECT_EQ(seam.sendmmsg_counts, std::vector<unsigned int>{1});
    const std::vector<std::vector<std::uint8_t>> expected{
        {0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xA1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
    };
    expect_structures(pair, expected);
    EXPECT_EQ(pair.bus.drop_pending(), 1u);  // the reply still waits
}

}  // namespace
}  // namespace jointbus::transport
