#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "damiao/cycle.hpp"
#include "support/hex.hpp"
#include "support/scripted_transport.hpp"

namespace jointbus::damiao {
namespace {

using namespace std::chrono_literals;
using testing::hex_bytes;
using testing::ScriptedTransport;
using testing::standard_frame;
using transport::TimeoutError;
using Call = ScriptedTransport::Call;

// Feedback naming motor `id` (low nibble of byte 0), enabled.
std::vector<std::uint8_t> feedback_of(std::uint8_t id) {
    auto bytes = hex_bytes("10 80 00 80 00 80 20 21");
    bytes[0] = static_cast<std::uint8_t>(0x10 | id);
    return bytes;
}

MotorState state_of(std::uint8_t id) {
    return decode_feedback(std::span<const std::uint8_t, 8>(feedback_of(id).data(), 8), MitLimits{});
}

const Error timed_out = TransportFailure{TimeoutError{}};

std::vector<CycleCommand> three_motors(std::uint64_t timeout_ms = 20) {
    std::vector<CycleCommand> commands;
    for (std::uint16_t id = 1; id <= 3; ++id) {
        commands.push_back({Damiao::create(id, static_cast<std::uint16_t>(0x10 + id), std::nullopt, timeout_ms),
                            ControlSetpoint{VelSetpoint{static_cast<float>(id)}}});
    }
    return commands;
}

TEST(Cycle, SendsEveryFrameFirstThenMatchesRepliesInAnyOrder) {
    ScriptedTransport bus;
    bus.queue(standard_frame(0x012, feedback_of(9)));  // left over from an earlier tick
    bus.arrive(standard_frame(0x013, feedback_of(3)), 1ms);
    bus.arrive(transport::CanFrame{transport::CanId::extended(0x011), feedback_of(9), false, false}, 1ms);
    bus.arrive(standard_frame(0x055, feedback_of(9)), 1ms);
    bus.arrive(standard_frame(0x011, feedback_of(1)), 1ms);
    bus.arrive(standard_frame(0x011, feedback_of(9)), 1ms);  // a second reply: dropped
    bus.arrive(standard_frame(0x012, feedback_of(2)), 1ms);
    const auto commands = three_motors();
    const auto results = run_cycle(bus, commands);
    ASSERT_TRUE(results);
    EXPECT_EQ(*results, (CycleResults{state_of(1), state_of(2), state_of(3)}));
    const std::vector<Call> first_calls(bus.calls().begin(), bus.calls().begin() + 7);
    EXPECT_EQ(first_calls, (std::vector{Call::CheckFrame, Call::CheckFrame, Call::CheckFrame, Call::DropPending,
                                        Call::Send, Call::Send, Call::Send}));
    ASSERT_EQ(bus.sent().size(), 3u);
    EXPECT_EQ(bus.sent()[2].frame, standard_frame(0x203, hex_bytes("00 00 40 40 00 00 00 00")));
}

// A backend that takes every frame already waiting in one call, as the
// SocketCAN one does: what arrives together is matched all the same.
class BatchingTransport : public ScriptedTransport {
public:
    transport::TransportResult<std::size_t> recv_waiting_by(transport::MonotonicTime deadline,
                                                            std::span<transport::ReceivedFrame> out) override {
        auto taken = CanTransport::recv_waiting_by(deadline, out);
        while (taken && *taken > 0 && *taken < out.size()) {
            auto more = recv(transport::Duration{});
            if (!more) {
                break;
            }
            out[*taken] = transport::ReceivedFrame{more->id, {}};
            out[*taken].data.size = more->data.size();
            std::ranges::copy(more->data, out[*taken].data.bytes.begin());
            ++*taken;
        }
        largest_batch = std::max(largest_batch, taken.value_or(0));
        return taken;
    }
    std::size_t largest_batch = 0;
};

TEST(Cycle, RepliesTakenTogetherAreMatchedAsIfOneByOne) {
    BatchingTransport bus;
    bus.arrive(standard_frame(0x013, feedback_of(3)), 1ms);
    bus.arrive(transport::CanFrame{transport::CanId::extended(0x011), feedback_of(9), false, false});
    bus.arrive(standard_frame(0x011, feedback_of(1)));
    bus.arrive(standard_frame(0x011, feedback_of(9)));  // a second reply in the same batch: dropped
    bus.arrive(standard_frame(0x012, hex_bytes("12 80")), 1ms);  // short: that slot's own error
    const auto commands = three_motors();
    const auto results = run_cycle(bus, commands);
    ASSERT_TRUE(results);
    ASSERT_EQ(results->size(), 3u);
    EXPECT_EQ((*results)[0], state_of(1));
    EXPECT_EQ((*results)[1], (std::unexpected(Error{UnexpectedReply{hex_bytes("12 80")}})));
    EXPECT_EQ((*results)[2], state_of(3));
    EXPECT_GE(bus.largest_batch, 3u);
}

// A slot that fails holds its own error; the others keep their states, and
// the call returns when the last motor still waiting reaches its deadline.
TEST(Cycle, EachSlotGetsItsOwnOutcomeByItsOwnDeadline) {
    struct Case {
        const char* name;
        std::vector<std::uint64_t> timeouts_ms;
        std::vector<std::optional<std::vector<std::uint8_t>>> replies;  // none: silent
        CycleResults expected;
        std::chrono::milliseconds returns_after;
    };
    const std::vector<std::uint8_t> short_reply = hex_bytes("11 80 00");
    const Case cases[] = {
        {"all answer", {20, 20, 20}, {feedback_of(1), feedback_of(2), feedback_of(3)},
         {state_of(1), state_of(2), state_of(3)}, 3ms},
        {"middle silent", {20, 20, 20}, {feedback_of(1), std::nullopt, feedback_of(3)},
         {state_of(1), std::unexpected(timed_out), state_of(3)}, 20ms},
        {"silent with the shortest time-out", {50, 5, 50}, {feedback_of(1), std::nullopt, feedback_of(3)},
         {state_of(1), std::unexpected(timed_out), state_of(3)}, 5ms},
        {"silent with the longest time-out", {10, 40, 10}, {feedback_of(1), std::nullopt, std::nullopt},
         {state_of(1), std::unexpected(timed_out), std::unexpected(timed_out)}, 40ms},
        {"short reply", {20, 20, 20}, {feedback_of(1), short_reply, feedback_of(3)},
         {state_of(1), std::unexpected(Error{UnexpectedReply{short_reply}}), state_of(3)}, 3ms},
    };
    for (const Case& c : cases) {
        std::vector<CycleCommand> commands;
        ScriptedTransport bus;
        for (std::uint16_t i = 0; i < 3; ++i) {
            const auto master = static_cast<std::uint16_t>(0x11 + i);
            commands.push_back({Damiao::create(static_cast<std::uint16_t>(i + 1), master, std::nullopt,
                                               c.timeouts_ms[i]),
                                ControlSetpoint{MitSetpoint{}}});
            if (c.replies[i]) {
                bus.arrive(standard_frame(master, *c.replies[i]), 1ms);
            }
        }
        const auto start = bus.now();
        const auto results = run_cycle(bus, commands);
        ASSERT_TRUE(results) << c.name;
        EXPECT_EQ(*results, c.expected) << c.name;
        EXPECT_EQ(bus.now() - start, c.returns_after) << c.name;
    }
}

TEST(Cycle, RefusesBeforeTouchingTheBus) {
    const Damiao plain = Damiao::create(1, 0x11, std::nullopt, 20);
    const Damiao bad_limits = Damiao::create(2, 0x12, MitLimits{12.5f, -1.0f, 500.0f, 5.0f, 10.0f}, 20);
    const Damiao same_reply = Damiao::create(3, 0x811, std::nullopt, 20);  // 0x811 is sent as 0x011
    struct Case {
        std::vector<CycleCommand> commands;
        CycleFailure expected;
        const char* text;
    };
    const Case cases[] = {
        {{{plain, ControlSetpoint{VelSetpoint{}}}, {bad_limits, ControlSetpoint{MitSetpoint{}}}},
         {1, InvalidMitLimit{"v_max", -1.0f}},
         "commands[1]: MitLimits.v_max must be from 0 to 1e+30 to encode an MIT command, got -1.0"},
        {{{plain, ControlSetpoint{VelSetpoint{}}}, {bad_limits, ControlSetpoint{VelSetpoint{}}},
          {same_reply, ControlSetpoint{VelSetpoint{}}}},
         {2, SharedMasterId{0x011, 0}},
         "commands[2]: answers on 0x11, as commands[0] does: their replies could not be told apart"},
    };
    for (const Case& c : cases) {
        ScriptedTransport bus;
        bus.queue(standard_frame(0x011, feedback_of(1)));
        const auto results = run_cycle(bus, c.commands);
        ASSERT_FALSE(results) << c.text;
        EXPECT_EQ(results.error(), c.expected);
        EXPECT_EQ(message(results.error()), c.text);
        EXPECT_TRUE(bus.calls().empty()) << c.text;
    }
    ScriptedTransport bus;
    EXPECT_EQ(run_cycle(bus, {}), CycleResults{});
    EXPECT_TRUE(bus.calls().empty());
}

// A failure of the transport itself ends the whole cycle with that failure,
// and nothing more is sent or received after it.
TEST(Cycle, TransportFailureEndsTheCycle) {
    const transport::TransportError link_down = transport::BackendError{{ENETDOWN}};
    const transport::TransportError interrupted = transport::BackendError{{EINTR}};
    struct Case {
        const char* name;
        void (*script)(ScriptedTransport&);
        transport::TransportError error;
        std::size_t sent;
        bool received;
    };
    const Case cases[] = {
        {"second send refused",
         [](ScriptedTransport& bus) {
             bus.on_send = [](const transport::CanFrame&, ScriptedTransport& self) {
                 self.on_send = nullptr;
                 self.fail_send(transport::BackendError{{ENETDOWN}});
             };
         },
         link_down, 1, false},
        {"drop fails", [](ScriptedTransport& bus) { bus.fail_drop(transport::BackendError{{EINTR}}); }, interrupted,
         0, false},
        {"receive fails after one reply",
         [](ScriptedTransport& bus) {
             bus.arrive(standard_frame(0x011, feedback_of(1)), 1ms);
             bus.fail_recv(transport::BackendError{{EINTR}});
             bus.arrive(standard_frame(0x012, feedback_of(2)), 1ms);
         },
         interrupted, 3, true},
    };
    for (const Case& c : cases) {
        ScriptedTransport bus;
        c.script(bus);
        const auto commands = three_motors();
        const auto results = run_cycle(bus, commands);
        ASSERT_FALSE(results) << c.name;
        EXPECT_EQ(results.error(), (CycleFailure{std::nullopt, TransportFailure{c.error}})) << c.name;
        EXPECT_EQ(bus.sent().size(), c.sent) << c.name;
        EXPECT_EQ(std::ranges::count(bus.calls(), Call::Recv) > 0, c.received) << c.name;
    }
}

// VEL commands for motors 1, 2, ... answering on 0x101, 0x102, ..., with
// these time-outs.
std::vector<CycleCommand> vel_commands(const std::vector<std::uint64_t>& timeouts_ms) {
    std::vector<CycleCommand> commands;
    for (std::size_t i = 0; i < timeouts_ms.size(); ++i) {
        const auto id = static_cast<std::uint16_t>(i + 1);
        commands.push_back({Damiao::create(id, static_cast<std::uint16_t>(0x100 + id), std::nullopt, timeouts_ms[i]),
                            ControlSetpoint{VelSetpoint{}}});
    }
    return commands;
}

// A transmit queue shorter than the batch: what it refuses goes out as room
// frees, and every motor's outcome is its own. Each motor answers 1 ms after
// its frame is sent.
TEST(Cycle, FramesAFullQueueRefusesGoOutAsRoomFrees) {
    const transport::TransportError no_buffers = transport::BackendError{{ENOBUFS}};
    struct Case {
        const char* name;
        std::size_t motors;
        std::size_t queue;
        std::chrono::nanoseconds per_frame;
        std::size_t answered;     // the first motors get their states
        std::size_t refused;      // the last motors never got their frame out
        std::size_t most_sends;   // send attempts, refused ones included: no busy loop
        bool answer;              // whether the motors answer what was sent
    };
    const Case cases[] = {
        // A 1 Mbit/s bus takes about 0.13 ms a frame.
        {"16 motors, Linux's queue of 10", 16, 10, 130us, 16, 0, 24, true},
        {"a queue of one", 4, 1, 130us, 4, 0, 14, true},
        // Nobody acknowledges: nothing leaves the queue, and no motor hears.
        {"a queue that never drains", 6, 2, 1h, 0, 4, 12, false},
    };
    for (const Case& c : cases) {
        ScriptedTransport bus;
        bus.transmit_queue(c.queue, c.per_frame);
        if (c.answer) {
            bus.on_send = [](const transport::CanFrame& frame, ScriptedTransport& self) {
                const auto id = static_cast<std::uint8_t>(frame.id.value - 0x200);  // a VEL command
                self.arrive(standard_frame(static_cast<std::uint16_t>(0x100 + id), feedback_of(id)), 1ms);
            };
        }
        const auto commands = vel_commands(std::vector<std::uint64_t>(c.motors, 20));
        const auto start = bus.now();
        const auto results = run_cycle(bus, commands);
        ASSERT_TRUE(results) << c.name;
        ASSERT_EQ(results->size(), c.motors) << c.name;
        for (std::size_t i = 0; i < c.motors; ++i) {
            const auto id = static_cast<std::uint8_t>(i + 1);
            if (i < c.answered) {
                EXPECT_EQ((*results)[i], state_of(id)) << c.name << " motor " << i + 1;
            } else if (i >= c.motors - c.refused) {
                EXPECT_EQ((*results)[i], std::unexpected(Error{TransportFailure{no_buffers}})) << c.name;
                EXPECT_EQ(message((*results)[i].error()),
                          "transport error: backend error: No buffer space available (os error 105)");
            } else {
                EXPECT_EQ((*results)[i], std::unexpected(timed_out)) << c.name << " motor " << i + 1;
            }
        }
        EXPECT_EQ(bus.sent().size(), c.motors - c.refused) << c.name;
        EXPECT_LE(std::ranges::count(bus.calls(), Call::Send), static_cast<std::ptrdiff_t>(c.most_sends)) << c.name;
        EXPECT_EQ(std::ranges::count(bus.calls(), Call::DropPending), 1) << c.name;
        EXPECT_LE(bus.now() - start, 20ms) << c.name;
        // Frames go out in list order, each once.
        for (std::size_t i = 0; i < bus.sent().size(); ++i) {
            EXPECT_EQ(bus.sent()[i].frame.id.value, 0x200 + i + 1) << c.name;
        }
    }
}

// A motor whose frame is still waiting when its own time-out ends gets the
// queue's error; one behind it with a longer time-out still goes out and
// answers. A reply to a motor whose frame is not out yet is no reply to it.
TEST(Cycle, AFrameStillRefusedAtItsDeadlineIsThatMotorsError) {
    ScriptedTransport bus;
    bus.transmit_queue(1, 6ms);
    bus.queue(standard_frame(0x103, feedback_of(9)));  // dropped before the batch
    bus.on_send = [](const transport::CanFrame& frame, ScriptedTransport& self) {
        const auto id = static_cast<std::uint8_t>(frame.id.value & 0x0F);
        if (id == 1) {
            self.arrive(standard_frame(0x103, feedback_of(9)), 500us);  // motor 3's identifier, too early
        }
        self.arrive(standard_frame(static_cast<std::uint16_t>(0x100 + id), feedback_of(id)), 1ms);
    };
    const auto results = run_cycle(bus, vel_commands({30, 3, 30}));
    ASSERT_TRUE(results);
    EXPECT_EQ(*results, (CycleResults{state_of(1),
                                      std::unexpected(Error{TransportFailure{transport::BackendError{{ENOBUFS}}}}),
                                      state_of(3)}));
    ASSERT_EQ(bus.sent().size(), 2u);
    EXPECT_EQ(bus.sent()[1].frame.id.value, 0x203u);
}

// Once the queue has taken part of the batch, a refusal of another kind is
// final for the frames not out, each motor's own error; the replies to the
// frames already out are still taken.
TEST(Cycle, AnotherRefusalAfterAFullQueueEndsOnlyTheUnsentSlots) {
    const transport::TransportError link_down = transport::BackendError{{ENETDOWN}};
    ScriptedTransport bus;
    bus.transmit_queue(1, 1h);
    bus.on_send = [](const transport::CanFrame&, ScriptedTransport& self) {
        self.arrive(standard_frame(0x101, feedback_of(1)), 1ms);
        self.on_send = nullptr;
        self.fail_send(transport::BackendError{{ENOBUFS}});  // the second frame, in the batch
        self.fail_send(transport::BackendError{{ENETDOWN}});  // its first retry
    };
    const auto results = run_cycle(bus, vel_commands({20, 20, 20}));
    ASSERT_TRUE(results);
    EXPECT_EQ(*results, (CycleResults{state_of(1), std::unexpected(Error{TransportFailure{link_down}}),
                                      std::unexpected(Error{TransportFailure{link_down}})}));
    EXPECT_EQ(bus.sent().size(), 1u);
    EXPECT_EQ(std::ranges::count(bus.calls(), Call::Send), 3);
}

// A loop that keeps its results between ticks gets them in the same storage;
// after a failure they are empty, never the previous tick's states.
TEST(CycleInto, ReusesTheCallersResultsAndEmptiesThemOnFailure) {
    const auto commands = three_motors();
    CycleResults results{state_of(9), state_of(9), state_of(9), state_of(9)};
    results.reserve(8);
    const auto* storage = results.data();
    ScriptedTransport bus;
    for (std::uint8_t id = 1; id <= 3; ++id) {
        bus.arrive(standard_frame(static_cast<std::uint16_t>(0x10 + id), feedback_of(id)), 1ms);
    }
    ASSERT_TRUE(run_cycle(bus, commands, results));
    EXPECT_EQ(results, (CycleResults{state_of(1), state_of(2), state_of(3)}));
    EXPECT_EQ(results.data(), storage);

    bus.fail_recv(transport::BackendError{{EINTR}});
    EXPECT_FALSE(run_cycle(bus, commands, results));
    EXPECT_TRUE(results.empty());

    results.assign(2, state_of(9));
    const Damiao same_reply = Damiao::create(4, 0x811, std::nullopt, 20);
    const std::vector<CycleCommand> refused{commands[0], {same_reply, ControlSetpoint{VelSetpoint{}}}};
    EXPECT_FALSE(run_cycle(bus, refused, results));
    EXPECT_TRUE(results.empty());
}

// Up to 16 motors are kept on the stack and more on the heap: either way
// every motor gets its own reply, in list order.
TEST(Cycle, ManyMotorsOnEitherSideOfWhatIsKeptInPlace) {
    for (const std::uint16_t motors : std::initializer_list<std::uint16_t>{16, 17, 40}) {
        ScriptedTransport bus;
        std::vector<CycleCommand> commands;
        CycleResults expected;
        for (std::uint16_t i = 0; i < motors; ++i) {
            const auto master = static_cast<std::uint16_t>(0x100 + i);
            commands.push_back({Damiao::create(static_cast<std::uint16_t>(i + 1), master, std::nullopt, 20),
                                ControlSetpoint{VelSetpoint{static_cast<float>(i)}}});
            const auto low = static_cast<std::uint8_t>(i & 0x0F);
            expected.push_back(state_of(low));
        }
        // Replies in reverse order, so that matching cannot lean on position.
        for (std::uint16_t i = motors; i-- > 0;) {
            bus.arrive(standard_frame(static_cast<std::uint16_t>(0x100 + i), feedback_of(static_cast<std::uint8_t>(i & 0x0F))),
                       100us);
        }
        const auto results = run_cycle(bus, commands);
        ASSERT_TRUE(results) << motors;
        EXPECT_EQ(*results, expected) << motors;
        ASSERT_EQ(bus.sent().size(), motors);
        EXPECT_EQ(bus.sent().back().frame.id, transport::CanId::standard(static_cast<std::uint16_t>(0x200 + motors)));
    }
}

}  // namespace
}  // namespace jointbus::damiao
