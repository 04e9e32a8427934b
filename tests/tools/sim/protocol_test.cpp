// The virtual motor's codecs against the driver's own: what the driver
// encodes, the motor reads back; what the motor reports, the driver decodes.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>

#include "damiao/driver.hpp"
#include "protocol.hpp"
#include "support/hex.hpp"
#include "support/scripted_transport.hpp"

namespace jointbus::sim {
namespace {

using damiao::MitLimits;
using damiao::MotorState;
using jointbus::testing::hex_bytes;
using jointbus::testing::hex_text;
using transport::CanFrame;
using transport::CanId;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

CanFrame classic(std::uint16_t id, const std::string& bytes) {
    return CanFrame{CanId::standard(id), hex_bytes(bytes), false, false};
}

std::string number(float value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

// MIT values to three decimals: their exact bits are the decoder's business,
// checked against the encoder below.
std::string describe_mit(const damiao::MitSetpoint& mit) {
    char text[96];
    std::snprintf(text, sizeof text, "mit q=%.3f dq=%.3f kp=%.3f kd=%.3f tau=%.3f", static_cast<double>(mit.q),
                  static_cast<double>(mit.dq), static_cast<double>(mit.kp), static_cast<double>(mit.kd),
                  static_cast<double>(mit.tau));
    return text;
}

std::string describe_setpoint(const damiao::ControlSetpoint& setpoint) {
    switch (setpoint.index()) {
        case 0:
            return describe_mit(std::get<damiao::MitSetpoint>(setpoint));
        case 1: {
            const auto& pos_vel = std::get<damiao::PosVelSetpoint>(setpoint);
            return "pos_vel " + number(pos_vel.position) + " " + number(pos_vel.velocity);
        }
        case 2:
            return "vel " + number(std::get<damiao::VelSetpoint>(setpoint).velocity);
        default: {
            const auto& force_pos = std::get<damiao::ForcePosSetpoint>(setpoint);
            return "force_pos " + number(force_pos.position) + " " + number(force_pos.velocity_limit) + " " +
                   number(force_pos.torque_ratio);
        }
    }
}

std::string describe(const std::optional<Request>& request) {
    if (!request) {
        return "none";
    }
    constexpr std::string_view fixed_names[] = {"enable", "disable", "set_zero", "clear_error"};
    switch (request->index()) {
        case 0:
            return std::string(fixed_names[static_cast<std::size_t>(std::get<FixedCommand>(*request))]);
        case 1:
            return describe_setpoint(std::get<ControlCommand>(*request).setpoint);
        case 2:
            return "read " + std::to_string(std::get<RegisterRead>(*request).register_number);
        default: {
            const auto& write = std::get<RegisterWrite>(*request);
            return "write " + std::to_string(write.register_number) + " " + std::to_string(write.value);
        }
    }
}

float quantum(float max, float span) { return (max + max) / span; }

TEST(MitFrames, DecodeToTheDriversSetpointWithinOneQuantum) {
    const damiao::MitSetpoint setpoints[] = {
        {0.0f, 0.0f, 0.0f, 0.0f, 0.0f},       {1.0f, -2.0f, 20.0f, 1.0f, 0.5f},
        {-12.5f, -45.0f, 0.0f, 0.0f, -54.0f}, {12.5f, 45.0f, 500.0f, 5.0f, 54.0f},
        {3.14159f, 7.7f, 123.4f, 2.2f, -3.3f}, {-0.001f, 0.01f, 0.1f, 0.01f, 0.001f},
    };
    for (const auto& preset : damiao::mit_limits_presets) {
        const MitLimits limits = preset.make();
        for (const auto& sent : setpoints) {
            const auto bytes = damiao::encode(limits, sent);
            const damiao::MitSetpoint read = decode_mit(bytes, limits);
            const std::string where = std::string(preset.name) + " " + hex_text(bytes);
            const auto clamped = [](float value, float max) { return std::clamp(value, -max, max); };
            EXPECT_NEAR(read.q, clamped(sent.q, limits.p_max), quantum(limits.p_max, 65535.0f)) << where;
            EXPECT_NEAR(read.dq, clamped(sent.dq, limits.v_max), quantum(limits.v_max, 4095.0f)) << where;
            EXPECT_NEAR(read.kp, std::clamp(sent.kp, 0.0f, limits.kp_max), limits.kp_max / 4095.0f) << where;
            EXPECT_NEAR(read.kd, std::clamp(sent.kd, 0.0f, limits.kd_max), limits.kd_max / 4095.0f) << where;
            EXPECT_NEAR(read.tau, clamped(sent.tau, limits.t_max), quantum(limits.t_max, 4095.0f)) << where;
        }
    }
}

// The five raw counts of an MIT frame.
std::array<std::uint32_t, 5> raw_fields(const damiao::FrameBytes& b) {
    return {(std::uint32_t{b[0]} << 8) | b[1], (std::uint32_t{b[2]} << 4) | (b[3] >> 4),
            (std::uint32_t{b[3] & 0xFu} << 8) | b[4], (std::uint32_t{b[5]} << 4) | (b[6] >> 4),
            (std::uint32_t{b[6] & 0xFu} << 8) | b[7]};
}

TEST(MitFrames, EveryRawCountDecodesToAValueTheEncoderMapsBackToIt) {
    // All 65536 position counts, the 12-bit fields swept along: decoding and
    // encoding again gives the count back, or (single-precision rounding
    // near the bottom of a range, where truncation then drops a count) the
    // one just below it; never anything further off.
    for (const MitLimits limits : {MitLimits::dm4310(), MitLimits::dm3507(), MitLimits::dmh3510()}) {
        for (std::uint32_t raw = 0; raw <= 0xFFFF; ++raw) {
            const std::uint32_t small = raw & 0xFFF;
            const damiao::FrameBytes bytes{
                static_cast<std::uint8_t>(raw >> 8),   static_cast<std::uint8_t>(raw),
                static_cast<std::uint8_t>(small >> 4), static_cast<std::uint8_t>(((small & 0xF) << 4) | (small >> 8)),
                static_cast<std::uint8_t>(small),      static_cast<std::uint8_t>(small >> 4),
                static_cast<std::uint8_t>(((small & 0xF) << 4) | (small >> 8)), static_cast<std::uint8_t>(small),
            };
            const auto sent = raw_fields(bytes);
            const auto back = raw_fields(damiao::encode(limits, decode_mit(bytes, limits)));
            for (std::size_t field = 0; field < sent.size(); ++field) {
                ASSERT_LE(back[field], sent[field]) << raw << " field " << field;
                ASSERT_GE(back[field] + 1, sent[field]) << raw << " field " << field;
            }
        }
    }
}

TEST(Feedback, IsWhatTheDriversDecoderReads) {
    struct Case {
        MitLimits limits;
        MotorState state;
        MotorState expected_clamped;  // what the limits allow of it
    };
    const MitLimits dm4310 = MitLimits::dm4310();
    const Case cases[] = {
        {dm4310, {1, 0, 0.0f, 0.0f, 0.0f, 25, 25}, {1, 0, 0.0f, 0.0f, 0.0f, 25, 25}},
        {dm4310, {2, 1, 1.234f, -5.5f, 2.5f, 40, 61}, {2, 1, 1.234f, -5.5f, 2.5f, 40, 61}},
        {dm4310, {15, 0xE, -12.5f, -30.0f, -10.0f, 0, 255}, {15, 0xE, -12.5f, -30.0f, -10.0f, 0, 255}},
        {dm4310, {3, 8, 12.5f, 30.0f, 10.0f, 90, 100}, {3, 8, 12.5f, 30.0f, 10.0f, 90, 100}},
        // Past the limits: clamped to them.
        {dm4310, {4, 1, 40.0f, -99.0f, 1e9f, 1, 2}, {4, 1, 12.5f, -30.0f, 10.0f, 1, 2}},
        {dm4310, {4, 1, -inf, inf, -inf, 1, 2}, {4, 1, -12.5f, 30.0f, -10.0f, 1, 2}},
        // Only the low nibbles of the id and the code fit in byte 0.
        {dm4310, {0x21, 0x13, 0.5f, 0.5f, 0.5f, 30, 31}, {1, 3, 0.5f, 0.5f, 0.5f, 30, 31}},
        {MitLimits::dm8009(), {9, 1, -3.0f, 44.0f, -53.0f, 70, 80}, {9, 1, -3.0f, 44.0f, -53.0f, 70, 80}},
        {MitLimits::dmh3510(), {5, 1, 6.0f, 279.0f, 0.99f, 26, 27}, {5, 1, 6.0f, 279.0f, 0.99f, 26, 27}},
        {MitLimits::dm6248p(), {6, 0, 12.566f, -20.0f, 120.0f, 26, 27}, {6, 0, 12.566f, -20.0f, 120.0f, 26, 27}},
    };
    for (const Case& c : cases) {
        const auto bytes = encode_feedback(c.state, c.limits);
        const MotorState read = damiao::decode_feedback(bytes, c.limits);
        const MotorState& want = c.expected_clamped;
        const std::string where = hex_text(bytes);
        EXPECT_EQ(read.motor_id, want.motor_id) << where;
        EXPECT_EQ(read.error, want.error) << where;
        EXPECT_EQ(read.t_mos, want.t_mos) << where;
        EXPECT_EQ(read.t_rotor, want.t_rotor) << where;
        // Truncation: never above the value, at most one step (plus the
        // rounding of the decoder's own arithmetic) below it.
        const auto within_a_step_below = [&](float got, float value, float max, float span) {
            const float step = quantum(max, span);
            EXPECT_LE(got, value + step * 1e-3f) << where;
            EXPECT_GE(got, value - step * 1.001f) << where;
        };
        within_a_step_below(read.position, want.position, c.limits.p_max, 65535.0f);
        within_a_step_below(read.velocity, want.velocity, c.limits.v_max, 4095.0f);
        within_a_step_below(read.torque, want.torque, c.limits.t_max, 4095.0f);
    }
}

TEST(Feedback, LayoutOfAMotorAtRest) {
    // Mid-scale counts for zero: 0x7FFF, 0x7FF, 0x7FF.
    EXPECT_EQ(hex_text(encode_feedback({1, 1, 0.0f, 0.0f, 0.0f, 25, 26}, MitLimits::dm4310())),
              "11 7F FF 7F F7 FF 19 1A");
    EXPECT_EQ(hex_text(encode_feedback({2, 0, 12.5f, -30.0f, 10.0f, 0, 0}, MitLimits::dm4310())),
              "02 FF FF 00 0F FF 00 00");
    // NaN has no place on the scale: it goes out as the bottom of it.
    EXPECT_EQ(hex_text(encode_feedback({2, 0, nan, nan, nan, 0, 0}, MitLimits::dm4310())),
              "02 00 00 00 00 00 00 00");
}

TEST(Feedback, TemperaturesRoundIntoAByte) {
    const std::pair<float, int> cases[] = {{25.0f, 25}, {25.4f, 25}, {25.5f, 26}, {-10.0f, 0},
                                           {254.6f, 255}, {1000.0f, 255}, {nan, 0}, {inf, 255}};
    for (const auto& [celsius, byte] : cases) {
        EXPECT_EQ(temperature_byte(celsius), byte) << celsius;
    }
}

std::string f32(float value) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    char text[16];
    std::snprintf(text, sizeof text, "%02X %02X %02X %02X", bits & 0xFF, (bits >> 8) & 0xFF, (bits >> 16) & 0xFF,
                  bits >> 24);
    return text;
}

TEST(Requests, AreRecognisedByIdentifierAndLayout) {
    struct Case {
        std::uint16_t motor_id;
        CanFrame frame;
        std::string expected;
    };
    const std::string ones = "FF FF FF FF FF FF FF ";
    const Case cases[] = {
        {1, classic(0x001, ones + "FC"), "enable"},
        {1, classic(0x001, ones + "FD"), "disable"},
        {1, classic(0x001, ones + "FE"), "set_zero"},
        {1, classic(0x001, ones + "FB"), "clear_error"},
        // Any other payload on the motor's own identifier is an MIT command.
        {1, classic(0x001, ones + "FA"), "mit q=12.500 dq=30.000 kp=500.000 kd=5.000 tau=9.976"},
        // Mid-scale counts: an odd span has no exact zero.
        {1, classic(0x001, "7F FF 7F F0 00 00 07 FF"), "mit q=-0.000 dq=-0.007 kp=0.000 kd=0.000 tau=-0.002"},
        {1, classic(0x001, "FF FF FF FF FF FF FF"), "none"},
        {1, classic(0x001, ones + "FC 00"), "none"},
        {1, CanFrame{CanId::extended(0x001), hex_bytes(ones + "FC"), false, false}, "none"},
        {1, CanFrame{CanId::standard(0x001), hex_bytes(ones + "FC"), true, false}, "none"},
        {1, classic(0x101, f32(1.5f) + " " + f32(-2.0f)), "pos_vel 1.5 -2"},
        {1, classic(0x101, f32(1.5f)), "none"},
        {1, classic(0x201, f32(-3.0f) + " 00 00 00 00"), "vel -3"},
        {1, classic(0x201, f32(-3.0f)), "vel -3"},
        {1, classic(0x201, "00 00 40"), "none"},
        {1, classic(0x301, f32(0.5f) + " D2 04 C4 09"), "force_pos 0.5 12.34 0.25"},
        {1, classic(0x301, f32(0.5f) + " FF FF FF FF"), "force_pos 0.5 655.35 6.5535"},
        {1, classic(0x7FF, "01 00 33 0A 00 00 00 00"), "read 10"},
        {1, classic(0x7FF, "01 00 55 0A 01 00 00 00"), "write 10 1"},
        {1, classic(0x7FF, "01 00 55 0B 78 56 34 12"), "write 11 305419896"},
        {1, classic(0x7FF, "01 00 44 0A 00 00 00 00"), "none"},
        {1, classic(0x7FF, "01 00 33 0A 00 00 00"), "none"},
        {1, classic(0x7FF, "02 00 33 0A 00 00 00 00"), "none"},
        {1, classic(0x7FF, "01 01 33 0A 00 00 00 00"), "none"},
        {1, classic(0x002, ones + "FC"), "none"},
        {1, classic(0x011, ones + "FC"), "none"},
        // Identifiers are masked to 11 bits; register frames carry all 16.
        {0x801, classic(0x001, ones + "FC"), "enable"},
        {0x801, classic(0x7FF, "01 08 33 0A 00 00 00 00"), "read 10"},
        {0x801, classic(0x7FF, "01 00 33 0A 00 00 00 00"), "none"},
        {0x7FF, classic(0x7FF, ones + "FC"), "enable"},
        {0x7FF, classic(0x7FF, "FF 07 33 0A 00 00 00 00"), "read 10"},
        {0x7FF, classic(0x0FF, f32(1.0f) + " " + f32(1.0f)), "pos_vel 1 1"},
        {0xFFFF, classic(0x1FF, f32(2.0f)), "vel 2"},  // 0xFFFF + 0x200 wraps at 16 bits
    };
    for (const Case& c : cases) {
        EXPECT_EQ(describe(parse_request(c.frame, c.motor_id, MitLimits::dm4310())), c.expected)
            << c.motor_id << " " << hex_text(c.frame.data);
    }
}

TEST(Requests, EveryDriverCommandIsRecognisedAsSent) {
    const damiao::ControlSetpoint setpoints[] = {
        damiao::MitSetpoint{0.5f, -1.0f, 20.0f, 1.0f, 0.25f},
        damiao::PosVelSetpoint{-1.25f, 3.0f},
        damiao::VelSetpoint{4.5f},
        damiao::ForcePosSetpoint{2.0f, 7.5f, 0.5f},
    };
    const std::string expected[] = {
        "mit q=0.500 dq=-1.004 kp=19.902 kd=1.000 tau=0.247",
        "pos_vel -1.25 3",
        "vel 4.5",
        "force_pos 2 7.5 0.5",
    };
    for (const std::uint16_t motor_id : {std::uint16_t{1}, std::uint16_t{0x7F0}, std::uint16_t{0xFFFF}}) {
        for (std::size_t i = 0; i < std::size(setpoints); ++i) {
            const auto frame = damiao::build_control_frame(MitLimits::dm4310(), setpoints[i]);
            const CanFrame sent = classic(command_id(motor_id, frame.base), hex_text(frame.data));
            EXPECT_EQ(describe(parse_request(sent, motor_id, MitLimits::dm4310())), expected[i]) << motor_id;
        }
    }
}

TEST(Registers, ReadReplyIsWhatTheDriverReads) {
    for (const std::uint32_t mode : {1u, 2u, 3u, 4u, 0xDEADBEEFu}) {
        const damiao::Damiao motor = damiao::Damiao::create(0x1234, 0x22, std::nullopt, 20);
        jointbus::testing::ScriptedTransport bus;
        const auto reply = register_read_reply(0x1234, control_mode_register, mode);
        bus.arrive(CanFrame{reply_id(0x22), std::vector<std::uint8_t>(reply.begin(), reply.end()), false, false});
        const auto read = motor.read_register(bus, control_mode_register);
        ASSERT_TRUE(read) << damiao::message(read.error());
        EXPECT_EQ(std::get<std::uint32_t>(*read), mode);
    }
    EXPECT_EQ(hex_text(register_read_reply(0x1234, 10, 3)), "34 12 33 0A 03 00 00 00");
}

TEST(ControlModes, NamesAndNumbersMatchTheRegister) {
    const std::tuple<ControlMode, std::string_view, std::uint32_t> modes[] = {
        {ControlMode::Mit, "mit", 1},
        {ControlMode::PosVel, "pos_vel", 2},
        {ControlMode::Vel, "vel", 3},
        {ControlMode::ForcePos, "force_pos", 4},
    };
    for (const auto& [mode, name, register_value] : modes) {
        EXPECT_EQ(name_of(mode), name);
        EXPECT_EQ(control_mode_from_name(name), mode);
        EXPECT_EQ(control_mode_from_number(register_value), mode);
    }
    for (const std::uint32_t invalid : {0u, 5u, 0x101u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(control_mode_from_number(invalid)) << invalid;
    }
    EXPECT_FALSE(control_mode_from_name("MIT"));
}

}  // namespace
}  // namespace jointbus::sim
