// The motor's side of the wire: which frames are addressed to one motor and
// what they ask of it, and the bytes it answers with. Pure functions only, so
// every byte layout is checked against the driver's own codec without a bus.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "damiao/driver.hpp"
#include "damiao/mit.hpp"
#include "transport/transport.hpp"

namespace jointbus::sim {

// Numbered as register 10 holds them.
enum class ControlMode : std::uint8_t { Mit = 1, PosVel = 2, Vel = 3, ForcePos = 4 };

[[nodiscard]] std::optional<ControlMode> control_mode_from_number(std::uint32_t number) noexcept;
[[nodiscard]] std::optional<ControlMode> control_mode_from_name(std::string_view name) noexcept;
[[nodiscard]] std::string_view name_of(ControlMode mode) noexcept;
[[nodiscard]] constexpr std::uint32_t number_of(ControlMode mode) noexcept { return static_cast<std::uint32_t>(mode); }

// The mode whose command frame carries this setpoint.
[[nodiscard]] ControlMode mode_of(const damiao::ControlSetpoint& setpoint) noexcept;

inline constexpr std::uint16_t register_frame_id = 0x7FF;
inline constexpr std::uint8_t register_read_marker = 0x33;
inline constexpr std::uint8_t register_write_marker = 0x55;
inline constexpr std::uint8_t control_mode_register = damiao::control_mode_register;

// Identifier offsets of the command frames, one per control mode.
inline constexpr std::uint16_t mit_base = 0x000;
inline constexpr std::uint16_t pos_vel_base = 0x100;
inline constexpr std::uint16_t vel_base = 0x200;
inline constexpr std::uint16_t force_pos_base = 0x300;

enum class FixedCommand : std::uint8_t { Enable, Disable, SetZero, ClearError };

struct ControlCommand {
    damiao::ControlSetpoint setpoint;
};
struct RegisterRead {
    std::uint8_t register_number = 0;
};
struct RegisterWrite {
    std::uint8_t register_number = 0;
    std::uint32_t value = 0;
};

using Request = std::variant<FixedCommand, ControlCommand, RegisterRead, RegisterWrite>;

// The 11-bit identifier a command for `motor_id` travels on: the sum wraps at
// 16 bits and is then masked, exactly as the sender computes it.
[[nodiscard]] std::uint16_t command_id(std::uint16_t motor_id, std::uint16_t base) noexcept;

// Where a motor's answers go.
[[nodiscard]] transport::CanId reply_id(std::uint16_t master_id) noexcept;

// What `frame` asks of the motor `motor_id`, or nothing when it is not meant
// for that motor or is malformed (extended or FD frames, wrong lengths,
// unknown register markers): the firmware drops such frames without a word.
// `limits` are needed to turn an MIT frame's fixed-point fields into values.
[[nodiscard]] std::optional<Request> parse_request(const transport::CanFrame& frame, std::uint16_t motor_id,
                                                   const damiao::MitLimits& limits);

// Eight bytes of FF FF FF FF FF FF FF Fx, or nothing: any other payload on the
// motor's own identifier is an MIT setpoint.
[[nodiscard]] std::optional<FixedCommand> fixed_command_of(const damiao::FrameBytes& data) noexcept;

// The inverse of damiao::encode, as the firmware computes it.
[[nodiscard]] damiao::MitSetpoint decode_mit(const damiao::FrameBytes& data, const damiao::MitLimits& limits) noexcept;

// The feedback frame for `state`: status or fault code in the high nibble of
// byte 0 (low 4 bits of state.error), the motor id's low nibble beside it,
// then position, velocity and torque quantised against `limits` (values past
// a limit are clamped to it), and the two temperatures.
[[nodiscard]] damiao::FrameBytes encode_feedback(const damiao::MotorState& state,
                                                 const damiao::MitLimits& limits) noexcept;

// The answer to a register read: the request's layout with the value filled in.
[[nodiscard]] damiao::FrameBytes register_read_reply(std::uint16_t motor_id, std::uint8_t register_number,
                                                     std::uint32_t value) noexcept;

// A degree count for the feedback's temperature bytes: rounded, 0..255.
[[nodiscard]] std::uint8_t temperature_byte(float celsius) noexcept;

}  // namespace jointbus::sim
