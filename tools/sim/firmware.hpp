// One motor's firmware: which commands it obeys in which control mode, its
// enabled and fault state, register 10, and the feedback it reports.
#pragma once

#include <cstdint>
#include <optional>

#include "damiao/mit.hpp"
#include "faults.hpp"
#include "motor_model.hpp"
#include "protocol.hpp"
#include "transport/transport.hpp"

namespace jointbus::sim {

struct MotorConfig {
    std::uint16_t motor_id = 1;
    std::uint16_t master_id = 0x11;
    damiao::MitLimits limits;
    ControlMode initial_mode = ControlMode::PosVel;
    PhysicalParams physics;
    FaultSettings faults;
};

// Status codes the firmware reports while no fault is latched.
inline constexpr std::uint8_t status_disabled = 0x0;
inline constexpr std::uint8_t status_enabled = 0x1;

struct SimMotor {
    MotorConfig config;
    ControlMode mode = ControlMode::PosVel;
    bool enabled = false;
    // An injected fault stays until a clear-error command; it does not come
    // back afterwards. While it is latched the power stage is off.
    std::optional<std::uint8_t> fault;
    MotorPhysics physics;
};

[[nodiscard]] SimMotor make_motor(const MotorConfig& config);

// The high nibble of the feedback's first byte.
[[nodiscard]] std::uint8_t status_code(const SimMotor& motor) noexcept;

// The motor's state as its feedback frame reports it.
[[nodiscard]] damiao::MotorState feedback_state(const SimMotor& motor) noexcept;
[[nodiscard]] damiao::FrameBytes feedback_bytes(const SimMotor& motor) noexcept;

// What the motor answers, if anything, after acting on `request`. Commands
// for another control mode are ignored without a reply, as are register
// writes (the firmware does not acknowledge them here) and registers other
// than the control mode.
[[nodiscard]] std::optional<transport::CanFrame> respond(SimMotor& motor, const Request& request);

// The setpoint a motor holds right after it is enabled or changes mode: MIT
// with zero gains and torque (the rotor is free), the other modes braking
// to rest where the rotor stands.
[[nodiscard]] damiao::ControlSetpoint resting_setpoint(ControlMode mode, float position) noexcept;

}  // namespace jointbus::sim
