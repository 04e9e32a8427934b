// One motor on a CAN bus: its identifiers, limits and reply time-out, and
// every operation the driver offers on it.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <variant>

#include "damiao/error.hpp"
#include "damiao/mit.hpp"
#include "transport/transport.hpp"

namespace jointbus::damiao {

struct PosVelSetpoint {
    float position = 0.0f;
    float velocity = 0.0f;
};
struct VelSetpoint {
    float velocity = 0.0f;
};
struct ForcePosSetpoint {
    float position = 0.0f;
    float velocity_limit = 0.0f;
    float torque_ratio = 0.0f;
};

// One setpoint for one of the firmware's control modes; the alternative's
// index is the tag, and the mode number register 10 uses is the tag plus one.
using ControlSetpoint = std::variant<MitSetpoint, PosVelSetpoint, VelSetpoint, ForcePosSetpoint>;

[[nodiscard]] constexpr std::uint8_t control_mode_of(const ControlSetpoint& setpoint) noexcept {
    return static_cast<std::uint8_t>(setpoint.index() + 1);
}

inline constexpr std::uint8_t mit_mode = 1;
inline constexpr std::uint8_t control_mode_register = 10;

using RegisterValue = std::variant<float, std::uint32_t>;  // index = RegisterType

[[nodiscard]] constexpr RegisterType type_of(const RegisterValue& value) noexcept {
    return value.index() == 0 ? RegisterType::Float : RegisterType::Uint32;
}

struct RegisterInfo {
    std::uint8_t number = 0;
    RegisterType type = RegisterType::Uint32;
    bool writable = false;
};

// The registers this driver knows how to address.
inline constexpr std::array<RegisterInfo, 1> register_table{{
    {control_mode_register, RegisterType::Uint32, true},
}};

template <typename T>
using Result = std::expected<T, Error>;

// The pause between writing a control mode and reading it back, to give the
// firmware time to switch.
inline constexpr std::chrono::milliseconds mode_switch_settle_time{100};

// Immutable after construction; holds no transport, so one record can drive
// the motor over any bus it is handed.
struct Damiao {
    std::uint16_t motor_id = 0;
    std::uint16_t master_id = 0;
    MitLimits limits;
    transport::Duration timeout = transport::Duration::from_millis(20);

    [[nodiscard]] static Damiao create(std::uint16_t motor_id, std::uint16_t master_id,
                                       std::optional<MitLimits> limits, std::uint64_t timeout_ms) noexcept {
        return Damiao{motor_id, master_id, limits.value_or(MitLimits{}), transport::Duration::from_millis(timeout_ms)};
    }

    // One exchange: an 8-byte classic frame out on `arbitration_id` (masked to
    // 11 bits), the feedback frame back on master_id, decoded.
    [[nodiscard]] Result<MotorState> cmd_at_arbitration(transport::CanTransport& bus, std::uint16_t arbitration_id,
                                                        const FrameBytes& data) const;

    [[nodiscard]] Result<MotorState> enable(transport::CanTransport& bus) const;
    [[nodiscard]] Result<MotorState> disable(transport::CanTransport& bus) const;
    [[nodiscard]] Result<MotorState> set_zero(transport::CanTransport& bus) const;
    [[nodiscard]] Result<MotorState> clear_error(transport::CanTransport& bus) const;

    // Refused with InvalidMitLimit, before anything is sent, when the limits
    // cannot be encoded against.
    [[nodiscard]] Result<MotorState> mit_control(transport::CanTransport& bus, const MitSetpoint& setpoint) const;
    [[nodiscard]] Result<MotorState> control(transport::CanTransport& bus, const ControlSetpoint& setpoint) const;

    // The frame control() sends for `setpoint`, refused as control() refuses it.
    [[nodiscard]] Result<transport::CanFrame> control_frame(const ControlSetpoint& setpoint) const;
    // The same frame held in place, as control() builds it.
    [[nodiscard]] Result<transport::ClassicFrame> classic_control_frame(const ControlSetpoint& setpoint) const;
    // The identifier this motor's feedback arrives on.
    [[nodiscard]] transport::CanId reply_id() const noexcept;
    // Decodes a frame that arrived on reply_id(); one too short to hold
    // feedback is UnexpectedReply with the bytes received.
    [[nodiscard]] Result<MotorState> decode_reply(const transport::CanFrame& reply) const;
    // The same for a reply's data alone.
    [[nodiscard]] Result<MotorState> decode_reply(std::span<const std::uint8_t> data) const;

    [[nodiscard]] Result<RegisterValue> read_register(transport::CanTransport& bus, std::uint8_t register_number) const;
    // Sends the write and returns; the motor's answer, if any, is left for a
    // later read to skip.
    [[nodiscard]] Result<void> write_register(transport::CanTransport& bus, std::uint8_t register_number,
                                              std::uint32_t value) const;
    // Reads the mode register, writes `mode` if it differs, pauses, and reads
    // it back to verify. One write, no retry.
    [[nodiscard]] Result<void> ensure_control_mode(transport::CanTransport& bus, std::uint8_t mode) const;

private:
    // `frame` out, the feedback on reply_id() back, decoded.
    [[nodiscard]] Result<MotorState> exchange(transport::CanTransport& bus, const transport::ClassicFrame& frame) const;
};

// The payload and identifier offset of each control mode's command frame.
struct ControlFrame {
    std::uint16_t base = 0;
    FrameBytes data{};
};

[[nodiscard]] ControlFrame build_control_frame(const MitLimits& limits, const ControlSetpoint& setpoint) noexcept;

}  // namespace jointbus::damiao
