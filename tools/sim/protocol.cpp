#include "protocol.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>

namespace jointbus::sim {
namespace {

using damiao::FrameBytes;
using transport::CanFrame;
using transport::CanId;

using damiao::dequantise_symmetric;
using damiao::quantise_symmetric;
using damiao::raw12_span;
using damiao::raw16_span;

constexpr std::uint16_t standard_id_mask = 0x7FF;

struct ModeName {
    ControlMode mode;
    std::string_view name;
};
constexpr std::array<ModeName, 4> mode_names{{
    {ControlMode::Mit, "mit"},
    {ControlMode::PosVel, "pos_vel"},
    {ControlMode::Vel, "vel"},
    {ControlMode::ForcePos, "force_pos"},
}};

float dequantise_gain(std::uint32_t raw, float max, float span) noexcept {
    return (static_cast<float>(raw) * max) / span;
}

std::uint8_t byte_of(std::uint32_t bits) noexcept { return static_cast<std::uint8_t>(bits & 0xFFu); }

std::uint32_t u32_le(const std::vector<std::uint8_t>& data, std::size_t offset) noexcept {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= std::uint32_t{data[offset + i]} << (8 * i);
    }
    return value;
}

std::uint32_t u16_le(const std::vector<std::uint8_t>& data, std::size_t offset) noexcept {
    return std::uint32_t{data[offset]} | (std::uint32_t{data[offset + 1]} << 8);
}

float f32_le(const std::vector<std::uint8_t>& data, std::size_t offset) noexcept {
    return std::bit_cast<float>(u32_le(data, offset));
}

FrameBytes first_eight(const std::vector<std::uint8_t>& data) noexcept {
    FrameBytes bytes{};
    std::copy_n(data.begin(), bytes.size(), bytes.begin());
    return bytes;
}

bool is_plain_classic(const CanFrame& frame) noexcept {
    return !frame.fd && frame.id.kind == CanId::Kind::Standard;
}

std::optional<Request> parse_register(const CanFrame& frame, std::uint16_t motor_id) {
    if (frame.data.size() != 8 || u16_le(frame.data, 0) != motor_id) {
        return std::nullopt;
    }
    const std::uint8_t register_number = frame.data[3];
    if (frame.data[2] == register_read_marker) {
        return RegisterRead{register_number};
    }
    if (frame.data[2] == register_write_marker) {
        return RegisterWrite{register_number, u32_le(frame.data, 4)};
    }
    return std::nullopt;
}

std::optional<Request> parse_own_id(const CanFrame& frame, const damiao::MitLimits& limits) {
    if (frame.data.size() != 8) {
        return std::nullopt;
    }
    const FrameBytes bytes = first_eight(frame.data);
    if (const auto command = fixed_command_of(bytes)) {
        return *command;
    }
    return ControlCommand{decode_mit(bytes, limits)};
}

ControlCommand pos_vel_command(const CanFrame& frame) noexcept {
    return {damiao::PosVelSetpoint{f32_le(frame.data, 0), f32_le(frame.data, 4)}};
}

ControlCommand vel_command(const CanFrame& frame) noexcept { return {damiao::VelSetpoint{f32_le(frame.data, 0)}}; }

ControlCommand force_pos_command(const CanFrame& frame) noexcept {
    return {damiao::ForcePosSetpoint{f32_le(frame.data, 0), static_cast<float>(u16_le(frame.data, 4)) / 100.0f,
                                     static_cast<float>(u16_le(frame.data, 6)) / 10000.0f}};
}

}  // namespace

std::optional<ControlMode> control_mode_from_number(std::uint32_t number) noexcept {
    const auto* found = std::ranges::find(mode_names, number, [](const ModeName& m) { return number_of(m.mode); });
    return found == mode_names.end() ? std::nullopt : std::optional(found->mode);
}

std::optional<ControlMode> control_mode_from_name(std::string_view name) noexcept {
    const auto* found = std::ranges::find(mode_names, name, &ModeName::name);
    return found == mode_names.end() ? std::nullopt : std::optional(found->mode);
}

std::string_view name_of(ControlMode mode) noexcept {
    return std::ranges::find(mode_names, mode, &ModeName::mode)->name;
}

ControlMode mode_of(const damiao::ControlSetpoint& setpoint) noexcept {
    return static_cast<ControlMode>(damiao::control_mode_of(setpoint));
}

std::uint16_t command_id(std::uint16_t motor_id, std::uint16_t base) noexcept {
    return static_cast<std::uint16_t>(static_cast<std::uint16_t>(motor_id + base) & standard_id_mask);
}

CanId reply_id(std::uint16_t master_id) noexcept {
    return CanId::standard(static_cast<std::uint16_t>(master_id & standard_id_mask));
}

std::optional<Request> parse_request(const CanFrame& frame, std::uint16_t motor_id, const damiao::MitLimits& limits) {
    if (!is_plain_classic(frame)) {
        return std::nullopt;
    }
    const auto id = frame.id.value;
    // The register identifier is checked first: a motor whose own identifier
    // is also 0x7FF still tells register frames apart by their layout.
    if (id == register_frame_id) {
        if (auto request = parse_register(frame, motor_id)) {
            return request;
        }
    }
    if (id == command_id(motor_id, mit_base)) {
        return parse_own_id(frame, limits);
    }
    if (id == command_id(motor_id, pos_vel_base) && frame.data.size() == 8) {
        return pos_vel_command(frame);
    }
    // A velocity command needs only its first four bytes.
    if (id == command_id(motor_id, vel_base) && frame.data.size() >= 4) {
        return vel_command(frame);
    }
    if (id == command_id(motor_id, force_pos_base) && frame.data.size() == 8) {
        return force_pos_command(frame);
    }
    return std::nullopt;
}

std::optional<FixedCommand> fixed_command_of(const FrameBytes& data) noexcept {
    if (!std::all_of(data.begin(), data.end() - 1, [](std::uint8_t byte) { return byte == 0xFF; })) {
        return std::nullopt;
    }
    switch (data[7]) {
        case 0xFC:
            return FixedCommand::Enable;
        case 0xFD:
            return FixedCommand::Disable;
        case 0xFE:
            return FixedCommand::SetZero;
        case 0xFB:
            return FixedCommand::ClearError;
        default:
            return std::nullopt;
    }
}

damiao::MitSetpoint decode_mit(const FrameBytes& data, const damiao::MitLimits& limits) noexcept {
    const std::uint32_t q = (std::uint32_t{data[0]} << 8) | data[1];
    const std::uint32_t dq = (std::uint32_t{data[2]} << 4) | (data[3] >> 4);
    const std::uint32_t kp = (std::uint32_t{data[3] & 0x0Fu} << 8) | data[4];
    const std::uint32_t kd = (std::uint32_t{data[5]} << 4) | (data[6] >> 4);
    const std::uint32_t tau = (std::uint32_t{data[6] & 0x0Fu} << 8) | data[7];
    return damiao::MitSetpoint{
        .q = dequantise_symmetric(q, limits.p_max, raw16_span),
        .dq = dequantise_symmetric(dq, limits.v_max, raw12_span),
        .kp = dequantise_gain(kp, limits.kp_max, raw12_span),
        .kd = dequantise_gain(kd, limits.kd_max, raw12_span),
        .tau = dequantise_symmetric(tau, limits.t_max, raw12_span),
    };
}

FrameBytes encode_feedback(const damiao::MotorState& state, const damiao::MitLimits& limits) noexcept {
    const std::uint32_t position = quantise_symmetric(state.position, limits.p_max, raw16_span);
    const std::uint32_t velocity = quantise_symmetric(state.velocity, limits.v_max, raw12_span);
    const std::uint32_t torque = quantise_symmetric(state.torque, limits.t_max, raw12_span);
    return FrameBytes{
        byte_of((std::uint32_t{state.error & 0x0Fu} << 4) | (state.motor_id & 0x0Fu)),
        byte_of(position >> 8),
        byte_of(position),
        byte_of(velocity >> 4),
        byte_of(((velocity & 0x0Fu) << 4) | (torque >> 8)),
        byte_of(torque),
        state.t_mos,
        state.t_rotor,
    };
}

FrameBytes register_read_reply(std::uint16_t motor_id, std::uint8_t register_number, std::uint32_t value) noexcept {
    return FrameBytes{
        byte_of(motor_id),  byte_of(std::uint32_t{motor_id} >> 8), register_read_marker, register_number,
        byte_of(value),     byte_of(value >> 8),                   byte_of(value >> 16), byte_of(value >> 24),
    };
}

std::uint8_t temperature_byte(float celsius) noexcept {
    return static_cast<std::uint8_t>(std::min(damiao::to_u32_saturating(std::round(celsius)), std::uint32_t{255}));
}

}  // namespace jointbus::sim
