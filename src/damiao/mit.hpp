// The MIT impedance command: limits per motor model, the setpoint, its
// fixed-point encoding, and the feedback frame that every command returns.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace jointbus::damiao {

// Ranges a motor model maps its fixed-point fields onto. Nothing validates
// the values on construction; find_unencodable_limit() tells whether encode()
// can take them.
struct MitLimits {
    float p_max = 12.5f;
    float v_max = 30.0f;
    float kp_max = 500.0f;
    float kd_max = 5.0f;
    float t_max = 10.0f;

    [[nodiscard]] static constexpr MitLimits dm3507() noexcept { return {12.566f, 50.0f, 500.0f, 5.0f, 5.0f}; }
    [[nodiscard]] static constexpr MitLimits dm4310() noexcept { return {12.5f, 30.0f, 500.0f, 5.0f, 10.0f}; }
    [[nodiscard]] static constexpr MitLimits dm4310p() noexcept { return {12.5f, 50.0f, 500.0f, 5.0f, 10.0f}; }
    [[nodiscard]] static constexpr MitLimits dm4340() noexcept { return {12.5f, 10.0f, 500.0f, 5.0f, 28.0f}; }
    [[nodiscard]] static constexpr MitLimits dm4340p() noexcept { return dm4340(); }
    [[nodiscard]] static constexpr MitLimits dm6006() noexcept { return {12.5f, 45.0f, 500.0f, 5.0f, 20.0f}; }
    [[nodiscard]] static constexpr MitLimits dm6248p() noexcept { return {12.566f, 20.0f, 500.0f, 5.0f, 120.0f}; }
    [[nodiscard]] static constexpr MitLimits dm8006() noexcept { return {12.5f, 45.0f, 500.0f, 5.0f, 40.0f}; }
    [[nodiscard]] static constexpr MitLimits dm8009() noexcept { return {12.5f, 45.0f, 500.0f, 5.0f, 54.0f}; }
    [[nodiscard]] static constexpr MitLimits dm10010() noexcept { return {12.5f, 20.0f, 500.0f, 5.0f, 200.0f}; }
    [[nodiscard]] static constexpr MitLimits dm10010l() noexcept { return {12.5f, 25.0f, 500.0f, 5.0f, 200.0f}; }
    [[nodiscard]] static constexpr MitLimits dmg6215() noexcept { return {12.5f, 45.0f, 500.0f, 5.0f, 10.0f}; }
    [[nodiscard]] static constexpr MitLimits dmh3510() noexcept { return {12.5f, 280.0f, 500.0f, 5.0f, 1.0f}; }
    [[nodiscard]] static constexpr MitLimits dmh6220() noexcept { return dmg6215(); }
    [[nodiscard]] static constexpr MitLimits dmjh11() noexcept { return {12.5f, 10.0f, 500.0f, 5.0f, 12.0f}; }

    friend constexpr bool operator==(const MitLimits&, const MitLimits&) = default;
};

struct MitLimitsPreset {
    std::string_view name;
    MitLimits (*make)() noexcept;
};

// Every model preset, in the order users see them listed.
inline constexpr std::array<MitLimitsPreset, 15> mit_limits_presets{{
    {"dm3507", MitLimits::dm3507},     {"dm4310", MitLimits::dm4310},
    {"dm4310p", MitLimits::dm4310p},   {"dm4340", MitLimits::dm4340},
    {"dm4340p", MitLimits::dm4340p},   {"dm6006", MitLimits::dm6006},
    {"dm6248p", MitLimits::dm6248p},   {"dm8006", MitLimits::dm8006},
    {"dm8009", MitLimits::dm8009},     {"dm10010", MitLimits::dm10010},
    {"dm10010l", MitLimits::dm10010l}, {"dmg6215", MitLimits::dmg6215},
    {"dmh3510", MitLimits::dmh3510},   {"dmh6220", MitLimits::dmh6220},
    {"dmjh11", MitLimits::dmjh11},
}};

// A limit that would leave encode() with an empty or undefined range.
struct UnencodableLimit {
    std::string_view field;  // "p_max", "v_max", "kp_max", "kd_max" or "t_max"
    float value = 0.0f;
};

// The largest limit encode() can take without its arithmetic overflowing.
inline constexpr float largest_encodable_limit = 1e30f;

// The first field (in declaration order) that is negative, NaN or above
// largest_encodable_limit (infinity included), if any.
[[nodiscard]] std::optional<UnencodableLimit> find_unencodable_limit(const MitLimits& limits) noexcept;

struct MitSetpoint {
    float q = 0.0f;
    float dq = 0.0f;
    float kp = 0.0f;
    float kd = 0.0f;
    float tau = 0.0f;

    friend constexpr bool operator==(const MitSetpoint&, const MitSetpoint&) = default;
};

using FrameBytes = std::array<std::uint8_t, 8>;

// Float to unsigned integer as the wire formats need it: truncation toward
// zero, NaN and negatives give 0, values from 2^32 up give 2^32-1. Written out
// because a plain cast of NaN or an out-of-range value is undefined.
[[nodiscard]] constexpr std::uint32_t to_u32_saturating(float value) noexcept {
    if (!(value > 0.0f)) {
        return 0;
    }
    if (value >= 4294967296.0f) {
        return 0xFFFF'FFFFu;
    }
    return static_cast<std::uint32_t>(value);
}

// The fixed-point maps every field is built from, shared by the encoder, the
// decoder and anything that speaks the motor's side of the protocol. Each is
// a sequence of single-precision steps in a fixed order: the firmware
// computes exactly these roundings.
inline constexpr float raw16_span = 65535.0f;
inline constexpr float raw12_span = 4095.0f;

// Raises to the lower bound first, then lowers to the upper one; NaN passes
// through unchanged.
[[nodiscard]] float clamp_into(float value, float lower, float upper) noexcept;
// -max..+max onto 0..span, truncating; NaN gives 0.
[[nodiscard]] std::uint32_t quantise_symmetric(float value, float max, float span) noexcept;
// 0..max onto 0..span, truncating; NaN gives 0.
[[nodiscard]] std::uint32_t quantise_gain(float value, float max, float span) noexcept;
// 0..span back onto -max..+max.
[[nodiscard]] float dequantise_symmetric(std::uint32_t raw, float max, float span) noexcept;

// Quantises the setpoint against the limits into the 8 bytes of an MIT
// command. Only meaningful for limits find_unencodable_limit() accepts; for
// others the result is defined but worthless.
[[nodiscard]] FrameBytes encode(const MitLimits& limits, const MitSetpoint& setpoint) noexcept;

struct MotorState {
    std::uint8_t motor_id = 0;
    std::uint8_t error = 0;  // the motor's status or fault code, uninterpreted
    float position = 0.0f;
    float velocity = 0.0f;
    float torque = 0.0f;
    std::uint8_t t_mos = 0;
    std::uint8_t t_rotor = 0;

    friend constexpr bool operator==(const MotorState&, const MotorState&) = default;
};

// Decodes a feedback frame. The fixed extent makes a caller prove it holds
// eight bytes, so nothing can be read past a short reply.
[[nodiscard]] MotorState decode_feedback(std::span<const std::uint8_t, 8> data,
                                         const MitLimits& limits) noexcept;

}  // namespace jointbus::damiao
