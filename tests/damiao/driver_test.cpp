#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <limits>

#include "damiao/driver.hpp"
#include "support/hex.hpp"
#include "support/scripted_transport.hpp"

namespace jointbus::damiao {
namespace {

using namespace std::chrono_literals;
using testing::hex_bytes;
using testing::hex_text;
using testing::ScriptedTransport;
using testing::standard_frame;
using transport::CanId;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

const auto feedback = hex_bytes("31 FF FF FF FF FF 20 21");
const MotorState feedback_state{1, 3, 12.5f, 30.0f, 10.0f, 32, 33};

std::string sent_text(const ScriptedTransport& bus, std::size_t index) {
    const auto& frame = bus.sent().at(index).frame;
    EXPECT_EQ(frame.id.kind, CanId::Kind::Standard);
    EXPECT_FALSE(frame.fd);
    EXPECT_FALSE(frame.brs);
    char id[8];
    std::snprintf(id, sizeof id, "%03X", frame.id.value);
    return std::string(id) + "#" + hex_text(frame.data);
}

TEST(Damiao, CreateAppliesDefaultsAndSplitsTheTimeout) {
    const Damiao plain = Damiao::create(1, 2, std::nullopt, 20);
    EXPECT_EQ(plain.limits, MitLimits::dm4310());
    EXPECT_EQ(plain.timeout, (transport::Duration{0, 20'000'000}));
    const Damiao custom = Damiao::create(65535, 0, MitLimits::dm8009(), 1500);
    EXPECT_EQ(custom.motor_id, 65535);
    EXPECT_EQ(custom.limits, MitLimits::dm8009());
    EXPECT_EQ(custom.timeout, (transport::Duration{1, 500'000'000}));
}

TEST(Damiao, FixedCommandsSendTheirBytesAndDecodeTheReply) {
    using Command = Result<MotorState> (Damiao::*)(transport::CanTransport&) const;
    struct Case {
        Command command;
        const char* frame;
    };
    const Case cases[] = {
        {&Damiao::enable, "001#FF FF FF FF FF FF FF FC"},
        {&Damiao::disable, "001#FF FF FF FF FF FF FF FD"},
        {&Damiao::set_zero, "001#FF FF FF FF FF FF FF FE"},
        {&Damiao::clear_error, "001#FF FF FF FF FF FF FF FB"},
    };
    const Damiao motor = Damiao::create(1, 0x11, std::nullopt, 20);
    for (const Case& c : cases) {
        ScriptedTransport bus;
        bus.arrive(standard_frame(0x012, hex_bytes("02 00 00 00 00 00 00 00")), 1ms);  // another motor
        bus.arrive(testing::extended_frame(0x011, feedback), 1ms);
        bus.arrive(standard_frame(0x011, feedback), 1ms);
        EXPECT_EQ((motor.*c.command)(bus), feedback_state) << c.frame;
        ASSERT_EQ(bus.sent().size(), 1u);
        EXPECT_EQ(sent_text(bus, 0), c.frame);
        EXPECT_EQ(bus.pending(), 0u);
    }
}

TEST(Damiao, IdentifiersAreMaskedToElevenBits) {
    const Damiao motor = Damiao::create(0x801, 0x811, std::nullopt, 20);
    ScriptedTransport bus;
    bus.arrive(standard_frame(0x011, feedback));
    EXPECT_EQ(motor.enable(bus), feedback_state);
    EXPECT_EQ(sent_text(bus, 0), "001#FF FF FF FF FF FF FF FC");
}

TEST(Damiao, ReplyIsDecodedWhateverMotorOrFaultItNames) {
    const Damiao motor = Damiao::create(1, 0x11, std::nullopt, 20);
    ScriptedTransport bus;
    // Twelve bytes, naming motor 5 with fault 0xE: the first eight decode.
    bus.arrive(standard_frame(0x011, hex_bytes("E5 80 00 7F F8 00 1E 28 99 99 99 99")));
    EXPECT_EQ(motor.enable(bus),
              (MotorState{5, 14, 0.00019073486328125f, -0.0073261260986328125f, 0.0024423599243164062f, 30, 40}));
}

TEST(Damiao, ControlFramesPerMode) {
    struct Case {
        std::uint16_t motor_id;
        ControlSetpoint setpoint;
        const char* frame;
    };
    const Case cases[] = {
        {1, MitSetpoint{1.0f, -2.0f, 20.0f, 0.5f, 0.3f}, "001#8A 3C 77 70 A3 19 98 3C"},
        {2, VelSetpoint{1.0f}, "202#00 00 80 3F 00 00 00 00"},
        {2, VelSetpoint{-inf}, "202#00 00 80 FF 00 00 00 00"},
        {3, PosVelSetpoint{1.0f, -2.5f}, "103#00 00 80 3F 00 00 20 C0"},
        {3, PosVelSetpoint{nan, 1e30f}, "103#00 00 C0 7F CA F2 49 71"},
        {1, ForcePosSetpoint{1.0f, 2.5f, 0.5f}, "301#00 00 80 3F FA 00 88 13"},
        {0x501, ForcePosSetpoint{0.0f, 0.0f, 0.0f}, "001#00 00 00 00 00 00 00 00"},
        // motor_id + base wraps at 16 bits before the 11-bit mask.
        {0xFF00, ForcePosSetpoint{0.0f, 0.0f, 0.0f}, "200#00 00 00 00 00 00 00 00"},
        {0xFFFF, VelSetpoint{0.0f}, "1FF#00 00 00 00 00 00 00 00"},
        {0x7FF, MitSetpoint{}, "7FF#7F FF 7F F0 00 00 07 FF"},
    };
    for (const Case& c : cases) {
        const Damiao motor = Damiao::create(c.motor_id, 0x11, std::nullopt, 20);
        ScriptedTransport bus;
        bus.arrive(standard_frame(0x011, feedback));
        EXPECT_EQ(motor.control(bus, c.setpoint), feedback_state) << c.frame;
        EXPECT_EQ(sent_text(bus, 0), c.frame);
    }
}

TEST(Damiao, ForcePosScalesClampsAndTruncates) {
    struct Case {
        float velocity_limit;
        float torque_ratio;
        const char* payload_tail;  // bytes 4-7
    };
    const Case cases[] = {
        {2.5f, 0.5f, "FA 00 88 13"},
        {150.0f, 2.0f, "10 27 10 27"},
        {100.0f, 1.0f, "10 27 10 27"},
        {-3.0f, -0.5f, "00 00 00 00"},
        {nan, nan, "00 00 00 00"},
        {inf, inf, "10 27 10 27"},
        {-inf, -inf, "00 00 00 00"},
        {12.345f, 0.12345f, "D2 04 D2 04"},  // truncation, not rounding
        {0.009f, 0.00009f, "00 00 00 00"},
        {99.99f, 0.9999f, "0F 27 0F 27"},
    };
    const Damiao motor = Damiao::create(1, 0x11, std::nullopt, 20);
    for (const Case& c : cases) {
        ScriptedTransport bus;
        bus.arrive(standard_frame(0x011, feedback));
        ASSERT_TRUE(motor.control(bus, ForcePosSetpoint{0.0f, c.velocity_limit, c.torque_ratio}));
        EXPECT_EQ(sent_text(bus, 0), std::string("301#00 00 00 00 ") + c.payload_tail)
            << c.velocity_limit << " " << c.torque_ratio;
    }
}

TEST(Damiao, MitControlAndMitVariantSendTheSameFrame) {
    const Damiao motor = Damiao::create(7, 0x17, MitLimits::dm8009(), 20);
    const MitSetpoint setpoint{0.75f, -3.0f, 40.0f, 1.5f, -20.0f};
    ScriptedTransport bus;
    bus.arrive(standard_frame(0x017, feedback));
    bus.arrive(standard_frame(0x017, feedback));
    ASSERT_TRUE(motor.mit_control(bus, setpoint));
    ASSERT_TRUE(motor.control(bus, ControlSetpoint{setpoint}));
    EXPECT_EQ(bus.sent().at(0).frame, bus.sent().at(1).frame);
    const FrameBytes encoded = encode(MitLimits::dm8009(), setpoint);
    EXPECT_EQ(bus.sent().at(0).frame.data, std::vector<std::uint8_t>(encoded.begin(), encoded.end()));
}

TEST(Damiao, ShortReplyFailsWithTheBytesReceived) {
    const Damiao motor = Damiao::create(1, 0x11, std::nullopt, 20);
    for (const char* reply : {"", "31", "31 FF FF FF FF FF 20"}) {
        ScriptedTransport bus;
        bus.arrive(standard_frame(0x011, hex_bytes(reply)));
        bus.arrive(standard_frame(0x011, feedback));
        EXPECT_EQ(motor.enable(bus), std::unexpected(Error{UnexpectedReply{hex_bytes(reply)}})) << reply;
        // The transport is untouched by the failure: the next command works.
        EXPECT_EQ(motor.enable(bus), feedback_state);
    }
}

TEST(Damiao, TransportFailuresAreWrappedUnchanged) {
    const Damiao motor = Damiao::create(1, 0x11, std::nullopt, 20);
    ScriptedTransport bus;
    const auto timed_out = motor.enable(bus);
    ASSERT_FALSE(timed_out);
    EXPECT_EQ(message(timed_out.error()), "transport error: timeout waiting for frame");

    bus.fail_send(transport::BackendError{{ENOBUFS}});
    EXPECT_EQ(motor.disable(bus), std::unexpected(Error{TransportFailure{transport::BackendError{{ENOBUFS}}}}));

    bus.fail_recv(transport::BackendError{{EINTR}});
    EXPECT_EQ(motor.set_zero(bus), std::unexpected(Error{TransportFailure{transport::BackendError{{EINTR}}}}));

    bus.arrive(standard_frame(0x011, feedback));
    EXPECT_EQ(motor.clear_error(bus), feedback_state);
}

// A reply that came too late for an earlier command waits in the queue;
// every operation drops it before sending, so it answers nothing.
TEST(Damiao, EveryOperationDropsRepliesQueuedBeforeItsOwnSend) {
    using Operation = Result<MotorState> (*)(const Damiao&, transport::CanTransport&);
    const Damiao motor = Damiao::create(1, 0x11, std::nullopt, 20);
    const std::pair<const char*, Operation> operations[] = {
        {"enable", [](const Damiao& m, transport::CanTransport& bus) { return m.enable(bus); }},
        {"disable", [](const Damiao& m, transport::CanTransport& bus) { return m.disable(bus); }},
        {"set_zero", [](const Damiao& m, transport::CanTransport& bus) { return m.set_zero(bus); }},
        {"clear_error", [](const Damiao& m, transport::CanTransport& bus) { return m.clear_error(bus); }},
        {"mit_control", [](const Damiao& m, transport::CanTransport& bus) { return m.mit_control(bus, {}); }},
        {"control", [](const Damiao& m, transport::CanTransport& bus) {
             return m.control(bus, ControlSetpoint{VelSetpoint{1.0f}});
         }},
    };
    for (const auto& [name, operation] : operations) {
        ScriptedTransport bus;
        bus.queue(standard_frame(0x011, hex_bytes("01 80 00 80 00 80 00 00")));
        bus.arrive(standard_frame(0x011, feedback), 1ms);
        EXPECT_EQ(operation(motor, bus), feedback_state) << name;
        EXPECT_EQ(bus.calls().at(1), ScriptedTransport::Call::DropPending) << name;
    }
    ScriptedTransport bus;
    bus.queue(standard_frame(0x011, hex_bytes("01 00 33 0A 03 00 00 00")));  // an old read, mode 3
    bus.arrive(standard_frame(0x011, hex_bytes("01 00 33 0A 01 00 00 00")), 1ms);
    EXPECT_EQ(motor.read_register(bus, 10), RegisterValue{std::uint32_t{1}});
}

// The budget is the motor's whole time-out, seconds included, counted from
// the moment the send has returned: a slow send does not eat into it.
TEST(Damiao, ReplyBudgetStartsAfterTheSendAndKeepsWholeSeconds) {
    struct Case {
        std::uint64_t timeout_ms;
        transport::Duration first_wait;
    };
    const Case cases[] = {{20, {0, 20'000'000}}, {1000, {1, 0}}, {2500, {2, 500'000'000}}};
    for (const Case& c : cases) {
        const Damiao motor = Damiao::create(1, 0x11, std::nullopt, c.timeout_ms);
        ScriptedTransport command_bus;
        command_bus.send_takes(7ms);
        ASSERT_FALSE(motor.enable(command_bus));
        EXPECT_EQ(command_bus.recv_timeouts().at(0), c.first_wait) << c.timeout_ms;
        ScriptedTransport register_bus;
        register_bus.send_takes(7ms);
        ASSERT_FALSE(motor.read_register(register_bus, 10));
        EXPECT_EQ(register_bus.recv_timeouts().at(0), c.first_wait) << c.timeout_ms;
    }
}

TEST(Damiao, ZeroTimeoutSendsThenFailsWithoutWaiting) {
    const Damiao motor = Damiao::create(1, 0x11, std::nullopt, 0);
    ScriptedTransport bus;
    bus.arrive(standard_frame(0x011, feedback), 1ns);
    const auto start = bus.now();
    EXPECT_EQ(motor.enable(bus), std::unexpected(Error{TransportFailure{transport::TimeoutError{}}}));
    EXPECT_EQ(bus.sent().size(), 1u);
    EXPECT_EQ(bus.now(), start);
}

TEST(Damiao, UnencodableLimitsRefuseMitCommandsBeforeSending) {
    const MitLimits bad{12.5f, 30.0f, -500.0f, 5.0f, 10.0f};
    const Damiao motor = Damiao::create(1, 0x11, bad, 20);
    ScriptedTransport bus;
    const Error refused = InvalidMitLimit{"kp_max", -500.0f};
    EXPECT_EQ(motor.mit_control(bus, MitSetpoint{}), std::unexpected(refused));
    EXPECT_EQ(motor.control(bus, ControlSetpoint{MitSetpoint{}}), std::unexpected(refused));
    EXPECT_TRUE(bus.sent().empty());

    // Everything that does not encode against the limits still works.
    bus.arrive(standard_frame(0x011, feedback));
    bus.arrive(standard_frame(0x011, feedback));
    EXPECT_EQ(motor.enable(bus), feedback_state);
    EXPECT_EQ(motor.control(bus, VelSetpoint{1.0f}), feedback_state);

    const Damiao nan_limits = Damiao::create(1, 0x11, MitLimits{nan, 30.0f, 500.0f, 5.0f, 10.0f}, 20);
    const auto result = nan_limits.mit_control(bus, MitSetpoint{});
    ASSERT_FALSE(result);
    EXPECT_EQ(message(result.error()), "MitLimits.p_max must be from 0 to 1e+30 to encode an MIT command, got nan");
    EXPECT_EQ(bus.sent().size(), 2u);
}

}  // namespace
}  // namespace jointbus::damiao
