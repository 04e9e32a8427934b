#include "firmware.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace jointbus::sim {
namespace {

using transport::CanFrame;

// The model's state as the single-precision values the wire carries; kept
// in the float range so the conversion is always defined.
float reported(double value) noexcept {
    constexpr double largest = std::numeric_limits<float>::max();
    return static_cast<float>(std::clamp(value, -largest, largest));
}

CanFrame reply_frame(const SimMotor& motor, const damiao::FrameBytes& data) {
    return CanFrame{reply_id(motor.config.master_id), std::vector<std::uint8_t>(data.begin(), data.end()), false,
                    false};
}

CanFrame feedback_frame(const SimMotor& motor) { return reply_frame(motor, feedback_bytes(motor)); }

// The power stage runs the held setpoint only while enabled with no fault.
void update_drive(SimMotor& motor) {
    if (!motor.enabled || motor.fault) {
        motor.physics.drive.reset();
    }
}

void rest_in_current_mode(SimMotor& motor) {
    motor.physics.drive = resting_setpoint(motor.mode, reported(motor.physics.motion.position));
    update_drive(motor);
}

void apply_fixed(SimMotor& motor, FixedCommand command) {
    switch (command) {
        case FixedCommand::Enable:
            if (!motor.enabled) {
                motor.enabled = true;
                rest_in_current_mode(motor);
            }
            return;
        case FixedCommand::Disable:
            motor.enabled = false;
            update_drive(motor);
            return;
        case FixedCommand::SetZero:
            set_zero(motor.physics);
            return;
        case FixedCommand::ClearError:
            // A cleared fault leaves the motor disabled: it must be enabled again.
            if (motor.fault) {
                motor.fault.reset();
                motor.enabled = false;
                update_drive(motor);
            }
            return;
    }
}

bool all_finite(const damiao::ControlSetpoint& setpoint) noexcept {
    return std::visit(
        [](const auto& values) {
            if constexpr (requires { values.q; }) {
                return std::isfinite(values.q) && std::isfinite(values.dq) && std::isfinite(values.kp) &&
                       std::isfinite(values.kd) && std::isfinite(values.tau);
            } else if constexpr (requires { values.velocity_limit; }) {
                return std::isfinite(values.position) && std::isfinite(values.velocity_limit) &&
                       std::isfinite(values.torque_ratio);
            } else if constexpr (requires { values.position; }) {
                return std::isfinite(values.position) && std::isfinite(values.velocity);
            } else {
                return std::isfinite(values.velocity);
            }
        },
        setpoint);
}

// A setpoint is taken only while the power stage is on, so enabling always
// starts from the resting setpoint, never from a stale command. Non-finite
// values cannot be followed and are not taken either; the command is still
// answered.
std::optional<CanFrame> apply_control(SimMotor& motor, const ControlCommand& command) {
    if (mode_of(command.setpoint) != motor.mode) {
        return std::nullopt;
    }
    if (all_finite(command.setpoint) && motor.enabled && !motor.fault) {
        motor.physics.drive = command.setpoint;
    }
    return feedback_frame(motor);
}

std::optional<CanFrame> apply_read(const SimMotor& motor, const RegisterRead& read) {
    if (read.register_number != control_mode_register) {
        return std::nullopt;
    }
    return reply_frame(motor, register_read_reply(motor.config.motor_id, read.register_number, number_of(motor.mode)));
}

void apply_write(SimMotor& motor, const RegisterWrite& write) {
    if (write.register_number != control_mode_register || motor.config.faults.ignore_mode_writes) {
        return;
    }
    const auto mode = control_mode_from_number(write.value);
    if (!mode || *mode == motor.mode) {
        return;
    }
    motor.mode = *mode;
    rest_in_current_mode(motor);
}

}  // namespace

SimMotor make_motor(const MotorConfig& config) {
    SimMotor motor;
    motor.config = config;
    motor.mode = config.initial_mode;
    motor.fault = config.faults.fault_code;
    motor.physics = at_rest(config.physics);
    return motor;
}

std::uint8_t status_code(const SimMotor& motor) noexcept {
    if (motor.fault) {
        return *motor.fault;
    }
    return motor.enabled ? status_enabled : status_disabled;
}

damiao::MotorState feedback_state(const SimMotor& motor) noexcept {
    return damiao::MotorState{
        .motor_id = static_cast<std::uint8_t>(motor.config.motor_id & 0x0Fu),
        .error = status_code(motor),
        .position = reported(motor.physics.motion.position),
        .velocity = reported(motor.physics.motion.velocity),
        .torque = reported(motor.physics.torque),
        .t_mos = temperature_byte(reported(motor.physics.t_mos)),
        .t_rotor = temperature_byte(reported(motor.physics.t_rotor)),
    };
}

damiao::FrameBytes feedback_bytes(const SimMotor& motor) noexcept {
    return encode_feedback(feedback_state(motor), motor.config.limits);
}

std::optional<CanFrame> respond(SimMotor& motor, const Request& request) {
    switch (request.index()) {
        case 0:
            apply_fixed(motor, std::get<FixedCommand>(request));
            return feedback_frame(motor);
        case 1:
            return apply_control(motor, std::get<ControlCommand>(request));
        case 2:
            return apply_read(motor, std::get<RegisterRead>(request));
        default:
            apply_write(motor, std::get<RegisterWrite>(request));
            return std::nullopt;
    }
}

damiao::ControlSetpoint resting_setpoint(ControlMode mode, float position) noexcept {
    switch (mode) {
        case ControlMode::Mit:
            return damiao::MitSetpoint{};
        case ControlMode::PosVel:
            return damiao::PosVelSetpoint{position, 0.0f};
        case ControlMode::Vel:
            return damiao::VelSetpoint{0.0f};
        case ControlMode::ForcePos:
            return damiao::ForcePosSetpoint{position, 0.0f, 1.0f};
    }
    return damiao::MitSetpoint{};
}

}  // namespace jointbus::sim
