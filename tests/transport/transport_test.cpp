#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <span>

#include "support/scripted_transport.hpp"
#include "transport/transport.hpp"

namespace jointbus::transport {
namespace {

using namespace std::chrono_literals;
using testing::ScriptedTransport;
using testing::extended_frame;
using testing::standard_frame;

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

TEST(CanId, EqualOnlyWhenKindAndValueAgree) {
    struct Case {
        CanId left, right;
        bool equal;
    };
    const Case cases[] = {
        {CanId::standard(0x10), CanId::standard(0x10), true},
        {CanId::standard(0x10), CanId::extended(0x10), false},
        {CanId::extended(0x1FFFFFFF), CanId::extended(0x1FFFFFFF), true},
        {CanId::standard(0x10), CanId::standard(0x11), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.left == c.right, c.equal) << c.left.value << " vs " << c.right.value;
    }
}

TEST(Duration, FromMillisSplitsIntoSecondsAndNanoseconds) {
    struct Case {
        std::uint64_t millis;
        Duration expected;
    };
    const Case cases[] = {
        {0, {0, 0}},
        {20, {0, 20'000'000}},
        {999, {0, 999'000'000}},
        {1000, {1, 0}},
        {1500, {1, 500'000'000}},
        {u64_max, {u64_max / 1000, 615'000'000}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Duration::from_millis(c.millis), c.expected) << c.millis;
    }
}

TEST(Deadline, AddsTheSpanToNow) {
    const MonotonicTime now{5s};
    EXPECT_EQ(deadline_after(now, {2, 250'000'000}), MonotonicTime{7250ms});
    EXPECT_EQ(deadline_after(now, {0, 0}), now);
}

TEST(Deadline, SaturatesInsteadOfOverflowing) {
    struct Case {
        MonotonicTime now;
        Duration span;
    };
    const Case cases[] = {
        {MonotonicTime{5s}, Duration::from_millis(u64_max)},
        {MonotonicTime{5s}, {u64_max, 999'999'999}},
        {MonotonicTime{5s}, {9'223'372'032, 0}},  // just past what int64 nanoseconds hold from 5 s
        {MonotonicTime::max() - 1ns, {0, 1}},
        {MonotonicTime{-5s}, {u64_max, 0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(deadline_after(c.now, c.span), MonotonicTime::max()) << c.span.seconds;
    }
    // One nanosecond short of the ceiling still lands exactly.
    EXPECT_EQ(deadline_after(MonotonicTime::max() - 2ns, {0, 1}), MonotonicTime::max() - 1ns);
}

TEST(Deadline, TimeUntilIsEmptyOnlyOnceTheDeadlineLiesBeforeNow) {
    const MonotonicTime deadline{10s};
    EXPECT_EQ(time_until(deadline, MonotonicTime{10s} + 1ns), std::nullopt);
    EXPECT_EQ(time_until(deadline, deadline), (Duration{0, 0}));
    EXPECT_EQ(time_until(deadline, MonotonicTime{8500ms}), (Duration{1, 500'000'000}));
    EXPECT_EQ(time_until(MonotonicTime::max(), MonotonicTime::min()),
              (Duration{u64_max / 1'000'000'000, static_cast<std::uint32_t>(u64_max % 1'000'000'000)}));
}

TEST(TransportError, Messages) {
    struct Case {
        TransportError error;
        const char* text;
    };
    const Case cases[] = {
        {BackendError{{ENODEV}}, "backend error: No such device (os error 19)"},
        {BackendError{{EINVAL}}, "backend error: Invalid argument (os error 22)"},
        {BackendError{{EINTR}}, "backend error: Interrupted system call (os error 4)"},
        {BackendError{{ENOBUFS}}, "backend error: No buffer space available (os error 105)"},
        {BackendError{{std::nullopt}}, "backend error: failed to write whole buffer"},
        {TimeoutError{}, "timeout waiting for frame"},
        {FrameTooLargeError{9}, "frame too large for selected mode: 9 bytes"},
        {FrameTooLargeError{4294967295u}, "frame too large for selected mode: 4294967295 bytes"},
        {InvalidIdError{}, "invalid CAN id"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(message(c.error), c.text);
    }
    EXPECT_EQ(message(SystemError{ENODEV}), "No such device (os error 19)");
}

// --- request ------------------------------------------------------------

const CanFrame command = standard_frame(0x001, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC});
const CanId reply_id = CanId::standard(0x011);
const Duration twenty_ms = Duration::from_millis(20);

TEST(Request, RefusedFrameReturnsAtOnceWithoutDroppingOrReceiving) {
    for (const TransportError& error : {TransportError{InvalidIdError{}}, TransportError{FrameTooLargeError{9}}}) {
        ScriptedTransport bus;
        bus.fail_check(error);
        bus.queue(standard_frame(0x011, {1}));
        bus.arrive(standard_frame(0x011, {1, 2, 3, 4, 5, 6, 7, 8}));
        EXPECT_EQ(bus.request(command, reply_id, twenty_ms), std::unexpected(error));
        EXPECT_EQ(bus.calls(), std::vector{ScriptedTransport::Call::CheckFrame});
        EXPECT_EQ(bus.clock_reads(), 0u);
        EXPECT_EQ(bus.queued(), 1u);
        EXPECT_EQ(bus.pending(), 1u);
    }
}

// Every exchange begins by dropping what already waits, so a reply that
// arrived late for an earlier exchange is never taken for this one's.
TEST(Request, DropsWhatIsQueuedBeforeSendingAndStopsAtTheFirstFailure) {
    using Call = ScriptedTransport::Call;
    const TransportError no_buffers = BackendError{{ENOBUFS}};
    const TransportError net_down = BackendError{{ENETDOWN}};
    struct Case {
        const char* name;
        void (*script)(ScriptedTransport&);
        TransportResult<CanFrame> expected;
        std::vector<Call> calls;
    };
    const CanFrame answer = standard_frame(0x011, {9, 9});
    const Case cases[] = {
        {"stale reply queued", [](ScriptedTransport& bus) { bus.arrive(standard_frame(0x011, {9, 9}), 1ms); },
         answer, {Call::CheckFrame, Call::DropPending, Call::Send, Call::Recv}},
        {"drop fails", [](ScriptedTransport& bus) { bus.fail_drop(BackendError{{ENETDOWN}}); },
         std::unexpected(net_down), {Call::CheckFrame, Call::DropPending}},
        {"send fails", [](ScriptedTransport& bus) { bus.fail_send(BackendError{{ENOBUFS}}); },
         std::unexpected(no_buffers), {Call::CheckFrame, Call::DropPending, Call::Send}},
    };
    for (const Case& c : cases) {
        ScriptedTransport bus;
        bus.queue(standard_frame(0x011, {1, 1}));  // the answer to an earlier command, come too late
        bus.queue(standard_frame(0x012, {2}));
        c.script(bus);
        EXPECT_EQ(bus.request(command, reply_id, twenty_ms), c.expected) << c.name;
        EXPECT_EQ(bus.calls(), c.calls) << c.name;
        EXPECT_EQ(bus.sent().size(), c.expected ? 1u : 0u) << c.name;
    }
}

TEST(Request, DropsUnrelatedFramesAndReturnsTheAnswer) {
    ScriptedTransport bus;
    bus.arrive(standard_frame(0x012, {1}), 1ms);
    bus.arrive(extended_frame(0x011, {2}), 1ms);  // same number, other kind
    bus.arrive(standard_frame(0x7FF, {3}), 1ms);
    const CanFrame answer = standard_frame(0x011, {9, 9});
    bus.arrive(answer, 1ms);
    bus.arrive(standard_frame(0x011, {7}), 1ms);

    EXPECT_EQ(bus.request(command, reply_id, twenty_ms), answer);
    EXPECT_EQ(bus.pending(), 1u);  // the three unrelated frames are gone, the later one untouched
    ASSERT_EQ(bus.sent().size(), 1u);
    EXPECT_EQ(bus.sent()[0].frame, command);
}

TEST(Request, EachReceiveGetsOnlyTheTimeThatRemains) {
    ScriptedTransport bus;
    bus.arrive(standard_frame(0x012, {}), 5ms);
    bus.arrive(standard_frame(0x013, {}), 5ms);
    bus.arrive(standard_frame(0x011, {}), 5ms);
    ASSERT_TRUE(bus.request(command, reply_id, twenty_ms));
    const std::vector<Duration> expected{{0, 20'000'000}, {0, 15'000'000}, {0, 10'000'000}};
    EXPECT_EQ(bus.recv_timeouts(), expected);
}

TEST(Request, BudgetStartsWhenTheSendHasReturned) {
    ScriptedTransport bus;
    bus.on_send = [](const CanFrame&, ScriptedTransport& self) { self.advance(7ms); };  // a slow send
    EXPECT_EQ(bus.request(command, reply_id, twenty_ms), std::unexpected(TransportError{TimeoutError{}}));
    ASSERT_FALSE(bus.recv_timeouts().empty());
    EXPECT_EQ(bus.recv_timeouts().front(), twenty_ms);
}

TEST(Request, MatchesOnIdentifierAloneWhateverTheContent) {
    ScriptedTransport bus;
    CanFrame odd{reply_id, {}, true, true};
    bus.arrive(odd);
    EXPECT_EQ(bus.request(command, reply_id, twenty_ms), odd);
}

TEST(Request, BackendErrorMidWaitEndsTheRequestAtOnce) {
    ScriptedTransport bus;
    bus.arrive(standard_frame(0x012, {}), 2ms);
    bus.fail_recv(BackendError{{EINTR}});
    bus.arrive(standard_frame(0x011, {}), 1ms);
    EXPECT_EQ(bus.request(command, reply_id, twenty_ms), std::unexpected(TransportError{BackendError{{EINTR}}}));
    EXPECT_EQ(bus.recv_timeouts().size(), 2u);
    EXPECT_EQ(bus.pending(), 1u);
}

TEST(Request, ZeroTimeoutReceivesOnceWithNothingLeft) {
    ScriptedTransport bus;
    EXPECT_EQ(bus.request(command, reply_id, {0, 0}), std::unexpected(TransportError{TimeoutError{}}));
    EXPECT_EQ(bus.recv_timeouts(), std::vector<Duration>{Duration{}});
    EXPECT_EQ(bus.sent().size(), 1u);
}

TEST(Request, EndlessUnrelatedTrafficEndsAtTheDeadline) {
    ScriptedTransport bus;
    for (int i = 0; i < 1000; ++i) {
        bus.arrive(standard_frame(0x012, {static_cast<std::uint8_t>(i)}), 1ms);
    }
    const MonotonicTime start = bus.now();
    EXPECT_EQ(bus.request(command, reply_id, twenty_ms), std::unexpected(TransportError{TimeoutError{}}));
    // 20 frames fit in the budget; the receive after the 20th has no time
    // left and gives up without waiting for the 21st.
    EXPECT_EQ(bus.pending(), 1000u - 20u);
    EXPECT_EQ(bus.now() - start, 20ms);
    EXPECT_EQ(bus.recv_timeouts().back(), Duration{});
}

TEST(Request, SilenceTimesOutAfterTheWholeBudget) {
    ScriptedTransport bus;
    const MonotonicTime start = bus.now();
    EXPECT_EQ(bus.request(command, reply_id, twenty_ms), std::unexpected(TransportError{TimeoutError{}}));
    EXPECT_EQ(bus.now() - start, 20ms);
}

TEST(Request, LongestTimeoutWaitsInsteadOfWrapping) {
    ScriptedTransport bus;
    bus.set_clock(MonotonicTime::max() - 1h);
    const CanFrame answer = standard_frame(0x011, {1, 2, 3, 4, 5, 6, 7, 8});
    bus.arrive(answer, 30min);
    EXPECT_EQ(bus.request(command, reply_id, Duration::from_millis(u64_max)), answer);
    ASSERT_EQ(bus.recv_timeouts().size(), 1u);
    EXPECT_EQ(bus.recv_timeouts()[0], (Duration{3600, 0}));
}

// Unless a backend runs it itself, the command path's exchange is request()
// with the data handed back in place: same frame out, same reply taken.
TEST(RequestClassic, ByDefaultIsRequestWithTheDataKeptInPlace) {
    struct Case {
        std::vector<std::uint8_t> reply;
        std::size_t kept;
    };
    for (const Case& c : {Case{{}, 0}, Case{{1, 2, 3}, 3}, Case{std::vector<std::uint8_t>(64, 0xAB), 64},
                          Case{std::vector<std::uint8_t>(70, 0xCD), 64}}) {
        ScriptedTransport bus;
        bus.arrive(standard_frame(0x012, {1}), 1ms);
        bus.arrive(CanFrame{reply_id, c.reply, false, false}, 1ms);
        const ClassicFrame classic{command.id, {0xFC, 0, 0, 0, 0, 0, 0, 0}, 1};
        const auto reply = bus.request_classic(classic, reply_id, twenty_ms);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->size, c.reply.size());
        EXPECT_TRUE(std::ranges::equal(reply->kept(), std::span(c.reply).first(c.kept)));
        ASSERT_EQ(bus.sent().size(), 1u);
        EXPECT_EQ(bus.sent()[0].frame, (CanFrame{command.id, {0xFC}, false, false}));
    }
}

TEST(RequestClassic, MoreThanEightBytesIsRefusedBeforeAnythingHappens) {
    ScriptedTransport bus;
    bus.queue(standard_frame(0x011, {1}));
    EXPECT_EQ(bus.request_classic(ClassicFrame{command.id, {}, 9}, reply_id, twenty_ms),
              std::unexpected(TransportError{FrameTooLargeError{9}}));
    EXPECT_TRUE(bus.calls().empty());
    EXPECT_EQ(bus.queued(), 1u);
}

// Unless a backend builds the structures itself, a batch of classic frames is
// start_batch_exchange() with the same frames: same checks, one drop, the sends.
TEST(StartClassicBatchExchange, ByDefaultIsStartBatchExchangeWithTheSameFrames) {
    using Call = ScriptedTransport::Call;
    ScriptedTransport bus;
    bus.queue(standard_frame(0x011, {1}));
    const std::vector<ClassicFrame> frames{
        {CanId::standard(0x001), {0xFC, 9, 9, 9, 9, 9, 9, 9}, 1},
        {CanId::extended(0x1234567), {1, 2, 3, 4, 5, 6, 7, 8}, 8},
        {CanId::standard(0x003), {9, 9, 9, 9, 9, 9, 9, 9}, 0},
    };
    EXPECT_EQ(bus.start_classic_batch_exchange(frames), (BatchSent{3, std::nullopt}));
    EXPECT_EQ(bus.calls(), (std::vector{Call::CheckFrame, Call::CheckFrame, Call::CheckFrame, Call::DropPending,
                                        Call::Send, Call::Send, Call::Send}));
    EXPECT_EQ(bus.queued(), 0u);
    ASSERT_EQ(bus.sent().size(), 3u);
    EXPECT_EQ(bus.sent()[0].frame, standard_frame(0x001, {0xFC}));
    EXPECT_EQ(bus.sent()[1].frame, extended_frame(0x1234567, {1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(bus.sent()[2].frame, standard_frame(0x003, {}));
}

TEST(StartClassicBatchExchange, MoreThanEightBytesAnywhereRefusesTheBatchBeforeAnythingHappens) {
    ScriptedTransport bus;
    bus.queue(standard_frame(0x011, {1}));
    const std::vector<ClassicFrame> frames{{CanId::standard(1), {}, 1}, {CanId::standard(2), {}, 9}};
    EXPECT_EQ(bus.start_classic_batch_exchange(frames), (BatchSent{0, FrameTooLargeError{9}}));
    EXPECT_TRUE(bus.calls().empty());
    EXPECT_EQ(bus.queued(), 1u);
}

}  // namespace
}  // namespace jointbus::transport
