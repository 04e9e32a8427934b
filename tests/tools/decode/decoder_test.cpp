// The decoder against the driver's own frames (what the driver sends reads
// back as what it was asked to send), the motor side's feedback, and the
// bookkeeping of commands and replies on hand-written logs.
#include <gtest/gtest.h>

#include <cstdio>

#include "decoder.hpp"
#include "support/hex.hpp"
#include "support/scripted_transport.hpp"

namespace jointbus::decode {
namespace {

using damiao::ControlSetpoint;
using damiao::Damiao;
using damiao::MitLimits;
using damiao::MotorState;
using transport::CanFrame;

// The frame as candump -L logs it, so every test goes through the line parser.
LoggedFrame logged(const CanFrame& frame, std::int64_t micros = 0) {
    char id[16];
    std::snprintf(id, sizeof id, "%03X#", frame.id.value);
    std::string text = jointbus::testing::hex_text(frame.data);
    std::erase(text, ' ');
    const auto parsed = parse_candump_line("(" + std::to_string(micros / 1000000) + ".000000) vcan0 " + id + text);
    EXPECT_TRUE(parsed) << parsed.error();
    return *parsed;
}

Decoder decoder_for(const std::vector<std::string>& motors) {
    std::vector<Motor> parsed;
    for (const std::string& text : motors) {
        parsed.push_back(*parse_motor(text));
    }
    return *Decoder::create(parsed);
}

class DriverFrames : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        limits_ = parse_motor("5:0x15:" + GetParam())->limits;
        motor_ = Damiao::create(5, 0x15, limits_, 0);
    }

    // What the decoder makes of every frame the driver sent, in order.
    std::vector<Event> decoded() {
        Decoder decoder = *Decoder::create({Motor{5, 0x15, GetParam(), limits_}});
        std::vector<Event> events;
        for (const auto& sent : bus_.sent()) {
            events.push_back(decoder.feed(logged(sent.frame)));
            EXPECT_EQ(events.back().direction, Direction::ToMotor);
            EXPECT_NE(events.back().motor, nullptr);
        }
        return events;
    }

    MitLimits limits_;
    Damiao motor_;
    jointbus::testing::ScriptedTransport bus_;
};

TEST_P(DriverFrames, FixedCommandsAndRegisterAccessReadBackAsSent) {
    (void)motor_.enable(bus_);
    (void)motor_.disable(bus_);
    (void)motor_.set_zero(bus_);
    (void)motor_.clear_error(bus_);
    (void)motor_.read_register(bus_, damiao::control_mode_register);
    (void)motor_.write_register(bus_, damiao::control_mode_register, 3);
    const auto events = decoded();
    ASSERT_EQ(events.size(), 6u);
    const sim::FixedCommand fixed[] = {sim::FixedCommand::Enable, sim::FixedCommand::Disable,
                                       sim::FixedCommand::SetZero, sim::FixedCommand::ClearError};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(std::get<sim::FixedCommand>(events[i].meaning), fixed[i]) << i;
    }
    EXPECT_EQ(std::get<sim::RegisterRead>(events[4].meaning).register_number, 10);
    const auto write = std::get<sim::RegisterWrite>(events[5].meaning);
    EXPECT_EQ(write.register_number, 10);
    EXPECT_EQ(write.value, 3u);
}

TEST_P(DriverFrames, SetpointsOfEveryModeReadBackWithinOneStep) {
    const damiao::MitSetpoint mit{.q = 1.25f, .dq = -3.5f, .kp = 42.0f, .kd = 1.5f, .tau = -0.75f};
    const damiao::PosVelSetpoint pos_vel{1.5f, -2.25f};
    const damiao::VelSetpoint vel{3.25f};
    const damiao::ForcePosSetpoint force_pos{-0.75f, 12.34f, 0.5f};
    for (const ControlSetpoint& setpoint : {ControlSetpoint{mit}, ControlSetpoint{pos_vel}, ControlSetpoint{vel},
                                            ControlSetpoint{force_pos}}) {
        (void)motor_.control(bus_, setpoint);
    }
    const auto events = decoded();
    ASSERT_EQ(events.size(), 4u);
    const auto got_mit = std::get<damiao::MitSetpoint>(std::get<ControlSetpoint>(events[0].meaning));
    EXPECT_NEAR(got_mit.q, mit.q, 2 * limits_.p_max / 65535);
    EXPECT_NEAR(got_mit.dq, mit.dq, 2 * limits_.v_max / 4095);
    EXPECT_NEAR(got_mit.kp, mit.kp, limits_.kp_max / 4095);
    EXPECT_NEAR(got_mit.kd, mit.kd, limits_.kd_max / 4095);
    EXPECT_NEAR(got_mit.tau, mit.tau, 2 * limits_.t_max / 4095);
    const auto got_pos_vel = std::get<damiao::PosVelSetpoint>(std::get<ControlSetpoint>(events[1].meaning));
    EXPECT_EQ(got_pos_vel.position, pos_vel.position);
    EXPECT_EQ(got_pos_vel.velocity, pos_vel.velocity);
    EXPECT_EQ(std::get<damiao::VelSetpoint>(std::get<ControlSetpoint>(events[2].meaning)).velocity, vel.velocity);
    const auto got_force_pos = std::get<damiao::ForcePosSetpoint>(std::get<ControlSetpoint>(events[3].meaning));
    EXPECT_EQ(got_force_pos.position, force_pos.position);
    EXPECT_NEAR(got_force_pos.velocity_limit, force_pos.velocity_limit, 0.01f);
    EXPECT_NEAR(got_force_pos.torque_ratio, force_pos.torque_ratio, 0.0001f);
}

TEST_P(DriverFrames, FeedbackFromTheMotorSideReadsBackWithinOneStep) {
    const MotorState states[] = {
        {.motor_id = 5, .error = 1, .position = 0.75f, .velocity = -2.5f, .torque = 0.5f, .t_mos = 31, .t_rotor = 40},
        {.motor_id = 5, .error = 0xA, .position = -3.0f, .velocity = 4.0f, .torque = -0.25f, .t_mos = 90,
         .t_rotor = 120},
    };
    Decoder decoder = *Decoder::create({Motor{5, 0x15, GetParam(), limits_}});
    for (const MotorState& state : states) {
        const auto bytes = sim::encode_feedback(state, limits_);
        const auto event = decoder.feed(logged(jointbus::testing::standard_frame(0x15, {bytes.begin(), bytes.end()})));
        EXPECT_EQ(event.direction, Direction::FromMotor);
        const auto got = std::get<MotorState>(event.meaning);
        EXPECT_EQ(got.motor_id, state.motor_id);
        EXPECT_EQ(got.error, state.error);
        EXPECT_NEAR(got.position, state.position, 2 * limits_.p_max / 65535);
        EXPECT_NEAR(got.velocity, state.velocity, 2 * limits_.v_max / 4095);
        EXPECT_NEAR(got.torque, state.torque, 2 * limits_.t_max / 4095);
        EXPECT_EQ(got.t_mos, state.t_mos);
        EXPECT_EQ(got.t_rotor, state.t_rotor);
    }
    EXPECT_EQ(decoder.stats(0).faults, (std::map<std::uint8_t, std::size_t>{{0xA, 1}}));
}

INSTANTIATE_TEST_SUITE_P(Models, DriverFrames, ::testing::Values("dm4310", "dm8009", "dmh3510"));

// Commands, replies and what became of them, on one motor's traffic.
struct Traffic {
    std::string name;
    std::vector<std::string> lines;
    std::size_t commands, replies, missing, unmatched, malformed;
    std::vector<std::int64_t> latencies_us;
    std::map<std::uint8_t, std::size_t> faults = {};
};

class Bookkeeping : public ::testing::TestWithParam<Traffic> {};

TEST_P(Bookkeeping, CountsAndTimesEveryExchange) {
    const Traffic& c = GetParam();
    Decoder decoder = decoder_for({"1:0x11:dm4310", "2:0x12:dm8009"});
    for (const std::string& line : c.lines) {
        decoder.feed(*parse_candump_line(line));
    }
    decoder.finish();
    const MotorStats& stats = decoder.stats(0);
    EXPECT_EQ(stats.commands, c.commands);
    EXPECT_EQ(stats.replies, c.replies);
    EXPECT_EQ(stats.missing, c.missing);
    EXPECT_EQ(stats.unmatched, c.unmatched);
    EXPECT_EQ(stats.malformed, c.malformed);
    EXPECT_EQ(stats.latencies_us, c.latencies_us);
    EXPECT_EQ(stats.faults, c.faults);
}

constexpr auto enable = " vcan0 001#FFFFFFFFFFFFFFFC";
constexpr auto feedback = " vcan0 011#117FFF7FF7FF1919";

INSTANTIATE_TEST_SUITE_P(
    Logs, Bookkeeping,
    ::testing::Values(
        Traffic{"Answered", {std::string("(10.000000)") + enable, std::string("(10.000250)") + feedback},
                1, 1, 0, 0, 0, {250}},
        Traffic{"UnansweredAtTheEnd", {std::string("(10.000000)") + enable}, 1, 0, 1, 0, 0, {}},
        Traffic{"DroppedThenAnswered",
                {std::string("(10.000000)") + enable, std::string("(10.100000)") + enable,
                 std::string("(10.100300)") + feedback},
                2, 1, 1, 0, 0, {300}},
        // No sequence numbers: a late reply answers the next command, whose own is left over.
        Traffic{"LateReplyTakenByTheNextCommand",
                {std::string("(10.000000)") + enable, "(10.200000) vcan0 001#FFFFFFFFFFFFFFFD",
                 std::string("(10.200100)") + feedback, std::string("(10.200400)") + feedback},
                2, 2, 1, 1, 0, {100}},
        Traffic{"OtherMotorsInBetween",
                {std::string("(10.000000)") + enable, "(10.000100) vcan0 002#FFFFFFFFFFFFFFFC",
                 "(10.000200) vcan0 012#127FFF7FF7FF1919", std::string("(10.000300)") + feedback},
                1, 1, 0, 0, 0, {300}},
        Traffic{"RegisterReadAnsweredPastFeedback",
                {"(10.000000) vcan0 7FF#0100330A00000000", std::string("(10.000100)") + feedback,
                 "(10.000200) vcan0 011#0100330A01000000"},
                1, 2, 0, 1, 0, {200}},
        Traffic{"RegisterWriteNeedsNoAnswer",
                {"(10.000000) vcan0 7FF#0100550A01000000", std::string("(10.100000)") + enable,
                 std::string("(10.100100)") + feedback},
                2, 1, 0, 0, 0, {100}},
        Traffic{"RegisterWriteAnswered",
                {"(10.000000) vcan0 7FF#0100550A01000000", "(10.000050) vcan0 011#0100550A01000000"},
                1, 1, 0, 0, 0, {50}},
        Traffic{"MalformedFramesCountApart",
                {"(10.000000) vcan0 001#R", "(10.000100) vcan0 011#1122", "(10.000200) vcan1 011##1117FFF7FF7FF1919",
                 "(10.000300) vcan0 201#0000"},
                0, 0, 0, 0, 4, {}},
        Traffic{"FaultsPerCode",
                {std::string("(10.000000)") + enable, "(10.000100) vcan0 011#A17FFF7FF7FF1919",
                 std::string("(10.001000)") + enable, "(10.001100) vcan0 011#A17FFF7FF7FF1919",
                 std::string("(10.002000)") + enable, "(10.002100) vcan0 011#D17FFF7FF7FF1919",
                 "(10.002200) vcan0 011#017FFF7FF7FF1919"},
                3, 4, 0, 1, 0, {100, 100, 100}, {{0xA, 2}, {0xD, 1}}}),
    [](const auto& test) { return test.param.name; });

TEST(Decoder, ARegisterLayoutWithNoReadWaitingIsFeedback) {
    Decoder decoder = decoder_for({"1:0x11:dm4310"});
    const auto event = decoder.feed(*parse_candump_line("(1.0) vcan0 011#0100330A02000000"));
    EXPECT_TRUE(std::holds_alternative<MotorState>(event.meaning));
}

struct MotorText {
    std::string text;
    std::string error;  // empty: accepted
    std::uint16_t id = 0;
    std::uint16_t master = 0;
};

class MotorOption : public ::testing::TestWithParam<MotorText> {};

TEST_P(MotorOption, IsParsedOrRefused) {
    const MotorText& c = GetParam();
    const auto motor = parse_motor(c.text);
    if (!c.error.empty()) {
        ASSERT_FALSE(motor);
        EXPECT_EQ(motor.error(), c.error);
        return;
    }
    ASSERT_TRUE(motor) << motor.error();
    EXPECT_EQ(motor->id, c.id);
    EXPECT_EQ(motor->master, c.master);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, MotorOption,
    ::testing::Values(MotorText{"1:0x11:dm4310", "", 1, 0x11}, MotorText{"0x7FF:2047:dmh3510", "", 0x7FF, 0x7FF},
                      MotorText{"65535:0X0:dm10010l", "", 65535, 0},
                      MotorText{"1:0x11", "expected ID:MASTER:MODEL"},
                      MotorText{"1:0x11:dm4310:mit", "expected ID:MASTER:MODEL"},
                      MotorText{"x:0x11:dm4310", "'x' is not a number (decimal or 0x hex)"},
                      MotorText{"1:0x:dm4310", "'0x' is not a number (decimal or 0x hex)"},
                      MotorText{"-1:2:dm4310", "'-1' is not a number (decimal or 0x hex)"},
                      MotorText{"65536:2:dm4310", "'65536' is above 65535"},
                      MotorText{"1:0x11:dm9", "unknown model 'dm9' (one of dm3507, dm4310, dm4310p, dm4340, dm4340p, "
                                              "dm6006, dm6248p, dm8006, dm8009, dm10010, dm10010l, dmg6215, dmh3510, "
                                              "dmh6220, dmjh11)"}));

struct Overlap {
    std::vector<std::string> motors;
    std::string error;
};

class OverlappingMotors : public ::testing::TestWithParam<Overlap> {};

TEST_P(OverlappingMotors, AreRefused) {
    std::vector<Motor> motors;
    for (const std::string& text : GetParam().motors) {
        motors.push_back(*parse_motor(text));
    }
    const auto decoder = Decoder::create(motors);
    ASSERT_FALSE(decoder);
    EXPECT_EQ(decoder.error(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Sets, OverlappingMotors,
    ::testing::Values(
        Overlap{{"1:0x11:dm4310", "1:0x12:dm4310"}, "motor 1 is given twice"},
        Overlap{{"1:0x11:dm4310", "2:0x811:dm4310"},
                "identifier 0x011 carries both motor 1's replies and motor 2's replies: they could not be told apart"},
        Overlap{{"1:0x11:dm4310", "0x101:0x20:dm4310"},
                "identifier 0x101 carries both motor 1's pos_vel commands and motor 257's mit commands: they could "
                "not be told apart"},
        Overlap{{"1:1:dm4310"},
                "identifier 0x001 carries both motor 1's replies and motor 1's mit commands: they could not be told "
                "apart"}));

}  // namespace
}  // namespace jointbus::decode
