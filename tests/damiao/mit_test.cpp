#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "damiao/mit.hpp"
#include "support/hex.hpp"

namespace jointbus::damiao {
namespace {

using testing::hex_bytes;
using testing::hex_text;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

float below(float x) { return std::nextafter(x, -inf); }
float above(float x) { return std::nextafter(x, inf); }

TEST(MitLimits, PresetsHoldTheirModelsValues) {
    struct Row {
        const char* name;
        MitLimits values;
    };
    const Row rows[] = {
        {"dm3507", {12.566f, 50.0f, 500.0f, 5.0f, 5.0f}},    {"dm4310", {12.5f, 30.0f, 500.0f, 5.0f, 10.0f}},
        {"dm4310p", {12.5f, 50.0f, 500.0f, 5.0f, 10.0f}},    {"dm4340", {12.5f, 10.0f, 500.0f, 5.0f, 28.0f}},
        {"dm4340p", {12.5f, 10.0f, 500.0f, 5.0f, 28.0f}},    {"dm6006", {12.5f, 45.0f, 500.0f, 5.0f, 20.0f}},
        {"dm6248p", {12.566f, 20.0f, 500.0f, 5.0f, 120.0f}}, {"dm8006", {12.5f, 45.0f, 500.0f, 5.0f, 40.0f}},
        {"dm8009", {12.5f, 45.0f, 500.0f, 5.0f, 54.0f}},     {"dm10010", {12.5f, 20.0f, 500.0f, 5.0f, 200.0f}},
        {"dm10010l", {12.5f, 25.0f, 500.0f, 5.0f, 200.0f}},  {"dmg6215", {12.5f, 45.0f, 500.0f, 5.0f, 10.0f}},
        {"dmh3510", {12.5f, 280.0f, 500.0f, 5.0f, 1.0f}},    {"dmh6220", {12.5f, 45.0f, 500.0f, 5.0f, 10.0f}},
        {"dmjh11", {12.5f, 10.0f, 500.0f, 5.0f, 12.0f}},
    };
    ASSERT_EQ(std::size(rows), mit_limits_presets.size());
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(mit_limits_presets[i].name, rows[i].name);
        EXPECT_EQ(mit_limits_presets[i].make(), rows[i].values) << rows[i].name;
    }
}

TEST(MitLimits, OddPositionRangeIsTheFloatNearest12_566) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(MitLimits::dm3507().p_max), 0x41490E56u);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(MitLimits::dm6248p().p_max), 0x41490E56u);
    EXPECT_EQ(MitLimits{}, MitLimits::dm4310());
}

TEST(MitLimits, UnencodableLimitsAreFoundInFieldOrder) {
    struct Case {
        MitLimits limits;
        const char* field;  // nullptr: encodable
    };
    const Case cases[] = {
        {MitLimits{}, nullptr},
        {{0.0f, 0.0f, 0.0f, 0.0f, 0.0f}, nullptr},
        {{-0.0f, -0.0f, -0.0f, -0.0f, -0.0f}, nullptr},
        {{1e30f, 1e30f, 1e30f, 1e30f, 1e30f}, nullptr},
        {{std::nextafter(1e30f, inf), 30.0f, 500.0f, 5.0f, 10.0f}, "p_max"},
        {{12.5f, 30.0f, 500.0f, 5.0f, std::numeric_limits<float>::max()}, "t_max"},
        {{inf, 30.0f, 500.0f, 5.0f, 10.0f}, "p_max"},
        {{12.5f, inf, 500.0f, 5.0f, 10.0f}, "v_max"},
        {{12.5f, 30.0f, inf, 5.0f, 10.0f}, "kp_max"},
        {{12.5f, 30.0f, 500.0f, inf, 10.0f}, "kd_max"},
        {{12.5f, 30.0f, 500.0f, 5.0f, inf}, "t_max"},
        {{-1.0f, 30.0f, 500.0f, 5.0f, 10.0f}, "p_max"},
        {{12.5f, nan, 500.0f, 5.0f, 10.0f}, "v_max"},
        {{12.5f, 30.0f, -std::numeric_limits<float>::denorm_min(), 5.0f, 10.0f}, "kp_max"},
        {{12.5f, 30.0f, 500.0f, -inf, 10.0f}, "kd_max"},
        {{12.5f, 30.0f, 500.0f, 5.0f, -10.0f}, "t_max"},
        {{12.5f, -1.0f, 500.0f, 5.0f, nan}, "v_max"},
    };
    for (const Case& c : cases) {
        const auto found = find_unencodable_limit(c.limits);
        if (c.field == nullptr) {
            EXPECT_FALSE(found) << found->field;
        } else {
            ASSERT_TRUE(found) << c.field;
            EXPECT_EQ(found->field, c.field);
        }
    }
}

TEST(Conversion, FloatToUnsignedTruncatesAndSaturates) {
    struct Case {
        float value;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {nan, 0},
        {-nan, 0},
        {-inf, 0},
        {-1.0f, 0},
        {-0.9f, 0},
        {-0.0f, 0},
        {0.0f, 0},
        {0.999f, 0},
        {1.0f, 1},
        {1234.5f, 1234},
        {4294967040.0f, 4294967040u},  // the largest float below 2^32
        {4294967296.0f, 4294967295u},
        {1e30f, 4294967295u},
        {inf, 4294967295u},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(to_u32_saturating(c.value), c.expected) << c.value;
    }
}

TEST(Encode, DefaultLimitVectors) {
    struct Case {
        MitSetpoint setpoint;
        const char* bytes;
    };
    const Case cases[] = {
        {{0.0f, 0.0f, 0.0f, 0.0f, 0.0f}, "7F FF 7F F0 00 00 07 FF"},
        {{-0.0f, -0.0f, -0.0f, -0.0f, -0.0f}, "7F FF 7F F0 00 00 07 FF"},
        {{1.0f, -2.0f, 20.0f, 0.5f, 0.3f}, "8A 3C 77 70 A3 19 98 3C"},
        {{100.0f, -100.0f, 1000.0f, -1.0f, 10.0f}, "FF FF 00 0F FF 00 0F FF"},
        {{12.5f, 30.0f, 500.0f, 5.0f, -10.0f}, "FF FF FF FF FF FF F0 00"},
        // NaN lands on raw 0: the bottom of a symmetric range, not its middle.
        {{nan, 0.0f, 0.0f, 0.0f, 0.0f}, "00 00 7F F0 00 00 07 FF"},
        {{0.0f, nan, nan, nan, nan}, "7F FF 00 00 00 00 00 00"},
        {{inf, -inf, inf, 0.0f, 0.0f}, "FF FF 00 0F FF 00 07 FF"},
        {{-inf, inf, -inf, inf, -inf}, "00 00 FF F0 00 FF F0 00"},
        // One float inside each bound.
        {{below(12.5f), below(30.0f), below(500.0f), below(5.0f), below(10.0f)}, "FF FF FF FF FE FF EF FF"},
        {{above(-12.5f), above(-30.0f), above(0.0f), above(0.0f), above(-10.0f)}, "00 00 00 00 00 00 00 00"},
        // One float outside each bound clamps onto it.
        {{above(12.5f), below(-30.0f), below(-0.0f), above(5.0f), below(-10.0f)}, "FF FF 00 00 00 FF F0 00"},
        // Around the midpoint: truncation keeps a hair above zero at 2047.
        {{0.0001f, 0.01f, 0.1221f, 0.00122f, 0.0049f}, "7F FF 80 00 00 00 08 00"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(hex_text(encode(MitLimits{}, c.setpoint)), c.bytes)
            << c.setpoint.q << " " << c.setpoint.dq << " " << c.setpoint.kp << " " << c.setpoint.kd << " "
            << c.setpoint.tau;
    }
}

TEST(Encode, ZeroAndInfiniteLimitsGiveRawZero) {
    const MitSetpoint any{1.0f, 1.0f, 100.0f, 1.0f, 1.0f};
    EXPECT_EQ(hex_text(encode({12.5f, 30.0f, 0.0f, 5.0f, 10.0f}, {0.0f, 0.0f, 100.0f, 0.0f, 0.0f})),
              "7F FF 7F F0 00 00 07 FF");
    EXPECT_EQ(hex_text(encode({0.0f, 0.0f, 0.0f, 0.0f, 0.0f}, any)), "00 00 00 00 00 00 00 00");
    // inf/inf is NaN, which converts to 0.
    EXPECT_EQ(hex_text(encode({inf, 30.0f, 500.0f, 5.0f, 10.0f}, {1.0f, 0.0f, 0.0f, 0.0f, 0.0f})),
              "00 00 7F F0 00 00 07 FF");
}

TEST(Encode, EveryRawValueLandsInItsOwnBits) {
    // Walk a single field across its range with the others at zero; a
    // packing slip would spill into a neighbouring field's bits.
    const MitLimits limits{12.5f, 30.0f, 500.0f, 5.0f, 10.0f};
    for (int step = 0; step <= 64; ++step) {
        const float t = static_cast<float>(step) / 64.0f;
        const FrameBytes kp_only = encode(limits, {-12.5f, -30.0f, t * 500.0f, 0.0f, -10.0f});
        EXPECT_EQ(kp_only[0] | kp_only[1] | kp_only[2] | kp_only[5] | kp_only[7], 0) << step;
        EXPECT_EQ(kp_only[3] & 0xF0, 0) << step;
        EXPECT_EQ(kp_only[6], 0) << step;
        const FrameBytes kd_only = encode(limits, {-12.5f, -30.0f, 0.0f, t * 5.0f, -10.0f});
        EXPECT_EQ(kd_only[0] | kd_only[1] | kd_only[2] | kd_only[3] | kd_only[4] | kd_only[7], 0) << step;
        EXPECT_EQ(kd_only[6] & 0x0F, 0) << step;
    }
}

TEST(DecodeFeedback, Vectors) {
    struct Case {
        const char* bytes;
        MitLimits limits;
        MotorState expected;
    };
    const Case cases[] = {
        {"11 00 00 00 00 00 00 00", MitLimits{}, {1, 1, -12.5f, -30.0f, -10.0f, 0, 0}},
        {"31 FF FF FF FF FF 20 21", MitLimits{}, {1, 3, 12.5f, 30.0f, 10.0f, 32, 33}},
        {"01 80 00 7F F8 00 1E 28", MitLimits{},
         {1, 0, 0.00019073486328125f, -0.0073261260986328125f, 0.0024423599243164062f, 30, 40}},
        {"12 7F FF 7F F7 FF 19 1E", MitLimits{},
         {2, 1, -0.00019073486328125f, -0.0073261260986328125f, -0.0024423599243164062f, 25, 30}},
        {"F0 12 34 56 78 9A BC DE", MitLimits{},
         {0, 15, -10.72232437133789f, -9.736263275146484f, 0.7545785903930664f, 188, 222}},
        // kp_max and kd_max play no part; the model's own ranges do.
        {"F0 12 34 56 78 9A BC DE", {12.566f, 280.0f, -1.0f, nan, 200.0f},
         {0, 15, -10.778938293457031f, -90.87179565429688f, 15.091567993164062f, 188, 222}},
        {"0F FF FF FF FF FF FF FF", {0.0f, 0.0f, 0.0f, 0.0f, 0.0f}, {15, 0, 0.0f, 0.0f, 0.0f, 255, 255}},
    };
    for (const Case& c : cases) {
        const auto data = hex_bytes(c.bytes);
        const MotorState state = decode_feedback(std::span<const std::uint8_t, 8>(data.data(), 8), c.limits);
        EXPECT_EQ(state, c.expected) << c.bytes;
    }
}

TEST(DecodeFeedback, NegativeLimitsFollowTheFormula) {
    const auto data = hex_bytes("00 00 00 00 00 00 00 00");
    const MotorState state = decode_feedback(std::span<const std::uint8_t, 8>(data.data(), 8),
                                             {-12.5f, nan, 0.0f, 0.0f, -10.0f});
    EXPECT_EQ(state.position, 12.5f);
    EXPECT_TRUE(std::isnan(state.velocity));
    EXPECT_EQ(state.torque, 10.0f);
}

}  // namespace
}  // namespace jointbus::damiao
