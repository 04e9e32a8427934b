#include "damiao/mit.hpp"

#include <algorithm>

namespace jointbus::damiao {
namespace {

std::uint8_t byte_of(std::uint32_t bits) noexcept { return static_cast<std::uint8_t>(bits & 0xFFu); }

// Past this the fixed-point maps overflow single precision ((x + max) * 65535
// reaches infinity from about 2.6e33), and an infinite range quantises every
// value to NaN and so to raw 0: either way a full-scale command. No motor
// comes anywhere near it. NaN fails both tests.
bool encodable(float limit) noexcept { return limit >= 0.0f && limit <= largest_encodable_limit; }

}  // namespace

float clamp_into(float value, float lower, float upper) noexcept {
    if (value < lower) {
        value = lower;
    }
    if (value > upper) {
        value = upper;
    }
    return value;
}

std::uint32_t quantise_symmetric(float value, float max, float span) noexcept {
    const float clamped = clamp_into(value, -max, max);
    const float scaled = ((clamped + max) * span) / (max + max);
    return std::min(to_u32_saturating(scaled), static_cast<std::uint32_t>(span));
}

std::uint32_t quantise_gain(float value, float max, float span) noexcept {
    const float clamped = clamp_into(value, 0.0f, max);
    const float scaled = (clamped * span) / max;
    return std::min(to_u32_saturating(scaled), static_cast<std::uint32_t>(span));
}

float dequantise_symmetric(std::uint32_t raw, float max, float span) noexcept {
    return ((static_cast<float>(raw) * (max + max)) / span) - max;
}

std::optional<UnencodableLimit> find_unencodable_limit(const MitLimits& limits) noexcept {
    const std::array<UnencodableLimit, 5> fields{{
        {"p_max", limits.p_max},
        {"v_max", limits.v_max},
        {"kp_max", limits.kp_max},
        {"kd_max", limits.kd_max},
        {"t_max", limits.t_max},
    }};
    for (const UnencodableLimit& field : fields) {
        if (!encodable(field.value)) {
            return field;
        }
    }
    return std::nullopt;
}

FrameBytes encode(const MitLimits& limits, const MitSetpoint& setpoint) noexcept {
    const std::uint32_t q = quantise_symmetric(setpoint.q, limits.p_max, raw16_span);
    const std::uint32_t dq = quantise_symmetric(setpoint.dq, limits.v_max, raw12_span);
    const std::uint32_t kp = quantise_gain(setpoint.kp, limits.kp_max, raw12_span);
    const std::uint32_t kd = quantise_gain(setpoint.kd, limits.kd_max, raw12_span);
    const std::uint32_t tau = quantise_symmetric(setpoint.tau, limits.t_max, raw12_span);
    return FrameBytes{
        byte_of(q >> 8),
        byte_of(q),
        byte_of(dq >> 4),
        byte_of(((dq & 0x0Fu) << 4) | (kp >> 8)),
        byte_of(kp),
        byte_of(kd >> 4),
        byte_of(((kd & 0x0Fu) << 4) | (tau >> 8)),
        byte_of(tau),
    };
}

MotorState decode_feedback(std::span<const std::uint8_t, 8> data, const MitLimits& limits) noexcept {
    const std::uint32_t position_raw = (std::uint32_t{data[1]} << 8) | data[2];
    const std::uint32_t velocity_raw = (std::uint32_t{data[3]} << 4) | (data[4] >> 4);
    const std::uint32_t torque_raw = (std::uint32_t{data[4] & 0x0Fu} << 8) | data[5];
    return MotorState{
        .motor_id = static_cast<std::uint8_t>(data[0] & 0x0Fu),
        .error = static_cast<std::uint8_t>(data[0] >> 4),
        .position = dequantise_symmetric(position_raw, limits.p_max, raw16_span),
        .velocity = dequantise_symmetric(velocity_raw, limits.v_max, raw12_span),
        .torque = dequantise_symmetric(torque_raw, limits.t_max, raw12_span),
        .t_mos = data[6],
        .t_rotor = data[7],
    };
}

}  // namespace jointbus::damiao
