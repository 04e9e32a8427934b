#include "motor_model.hpp"

#include <algorithm>
#include <cmath>

namespace jointbus::sim {
namespace {

// Full torque accelerates the default load at this rate.
constexpr float default_acceleration_at_peak = 2000.0f;  // rad/s²
// Viscous loss at the model's top speed, and dry friction, as shares of t_max.
constexpr float viscous_share_at_top_speed = 0.05f;
constexpr float coulomb_share = 0.02f;

// The cascaded loops of the position and velocity modes: an inner velocity
// loop with this bandwidth, scaled by the inertia so every model responds
// alike, and an outer proportional position loop well inside it, so a
// position move is overdamped.
constexpr double velocity_loop_bandwidth = 200.0;  // rad/s
constexpr double position_loop_gain = 25.0;        // 1/s
// The velocity loop feeds dry friction forward, faded in linearly up to
// this speed so the torque does not flip sign at each crossing of zero.
constexpr double friction_fade_speed = 0.1;  // rad/s

TorqueDemand saturated(TorqueDemand demand, double limit) noexcept {
    if (demand.torque > limit) {
        return {limit, 0.0, 0.0, limit};
    }
    if (demand.torque < -limit) {
        return {-limit, 0.0, 0.0, limit};
    }
    demand.limit = limit;
    return demand;
}

// A speed the velocity loop is to reach, and how steeply it falls as the
// position rises (zero when the speed is capped).
struct SpeedRequest {
    double velocity = 0.0;
    double slope = 0.0;
};

SpeedRequest speed_toward(double target, double position, double speed_cap) noexcept {
    const double cap = std::abs(speed_cap);
    const double wanted = position_loop_gain * (target - position);
    if (wanted > cap) {
        return {cap, 0.0};
    }
    if (wanted < -cap) {
        return {-cap, 0.0};
    }
    return {wanted, position_loop_gain};
}

// Velocity error through the loop gain, plus the friction the wanted speed
// will meet, so a steady speed needs no error to hold.
TorqueDemand velocity_loop(const PhysicalParams& params, const SpeedRequest& request, double velocity,
                           double torque_limit) noexcept {
    const double gain = params.inertia * velocity_loop_bandwidth;
    const double fade = std::clamp(request.velocity / friction_fade_speed, -1.0, 1.0);
    const double fade_slope = std::abs(request.velocity) < friction_fade_speed ? 1.0 / friction_fade_speed : 0.0;
    const TorqueDemand demand{
        .torque = gain * (request.velocity - velocity) + params.viscous_friction * request.velocity +
                  params.coulomb_friction * fade,
        .stiffness = (gain + params.viscous_friction + params.coulomb_friction * fade_slope) * request.slope,
        .damping = gain,
    };
    return saturated(demand, torque_limit);
}

TorqueDemand mit_law(const PhysicalParams& params, const Kinematics& now,
                     const damiao::MitSetpoint& setpoint) noexcept {
    const TorqueDemand demand{
        .torque = setpoint.kp * (setpoint.q - now.position) + setpoint.kd * (setpoint.dq - now.velocity) + setpoint.tau,
        .stiffness = setpoint.kp,
        .damping = setpoint.kd,
    };
    return saturated(demand, params.torque_limit);
}

TorqueDemand pos_vel_law(const PhysicalParams& params, const Kinematics& now,
                         const damiao::PosVelSetpoint& setpoint) noexcept {
    const double cap = std::min(std::abs(setpoint.velocity), params.velocity_limit);
    return velocity_loop(params, speed_toward(setpoint.position, now.position, cap), now.velocity,
                         params.torque_limit);
}

TorqueDemand vel_law(const PhysicalParams& params, const Kinematics& now,
                     const damiao::VelSetpoint& setpoint) noexcept {
    const double wanted = std::clamp(setpoint.velocity, -params.velocity_limit, params.velocity_limit);
    return velocity_loop(params, SpeedRequest{wanted, 0.0}, now.velocity, params.torque_limit);
}

TorqueDemand force_pos_law(const PhysicalParams& params, const Kinematics& now,
                           const damiao::ForcePosSetpoint& setpoint) noexcept {
    const double cap = std::min(std::abs(setpoint.velocity_limit), params.velocity_limit);
    const double ratio = std::clamp(setpoint.torque_ratio, 0.0f, 1.0f);
    return velocity_loop(params, speed_toward(setpoint.position, now.position, cap), now.velocity,
                         ratio * params.torque_limit);
}

bool usable(const TorqueDemand& demand) noexcept {
    return std::isfinite(demand.torque) && std::isfinite(demand.stiffness) && std::isfinite(demand.damping) &&
           demand.limit >= 0.0;
}

double thermal_step(double temperature, const ThermalNode& node, double ambient, double torque_share,
                    double seconds) noexcept {
    const double settles_at = ambient + node.rise_at_peak_torque * torque_share * torque_share;
    return temperature + seconds * (settles_at - temperature) / node.time_constant;
}

// The new velocity from A·v' = B - f, where the dry friction f opposes the
// motion with at most c: the rotor sticks while |B| <= c.
double with_dry_friction(double free_balance, double coulomb, double resistance) noexcept {
    const double beyond_friction = std::abs(free_balance) - coulomb;
    if (beyond_friction <= 0.0) {
        return 0.0;
    }
    return std::copysign(beyond_friction, free_balance) / resistance;
}

}  // namespace

PhysicalParams default_params(const damiao::MitLimits& limits) noexcept {
    PhysicalParams params;
    params.torque_limit = limits.t_max;
    params.velocity_limit = limits.v_max;
    params.inertia = limits.t_max / default_acceleration_at_peak;
    params.viscous_friction = limits.v_max > 0.0f ? viscous_share_at_top_speed * limits.t_max / limits.v_max : 0.0f;
    params.coulomb_friction = coulomb_share * limits.t_max;
    return params;
}

TorqueDemand torque_demand(const PhysicalParams& params, const Kinematics& now,
                           const damiao::ControlSetpoint& setpoint) noexcept {
    switch (setpoint.index()) {
        case 0:
            return mit_law(params, now, std::get<damiao::MitSetpoint>(setpoint));
        case 1:
            return pos_vel_law(params, now, std::get<damiao::PosVelSetpoint>(setpoint));
        case 2:
            return vel_law(params, now, std::get<damiao::VelSetpoint>(setpoint));
        default:
            return force_pos_law(params, now, std::get<damiao::ForcePosSetpoint>(setpoint));
    }
}

MotorPhysics at_rest(const PhysicalParams& params) noexcept {
    MotorPhysics motor;
    motor.params = params;
    motor.t_rotor = params.ambient;
    motor.t_mos = params.ambient;
    return motor;
}

void advance_time(MotorPhysics& motor, std::chrono::nanoseconds elapsed) noexcept {
    // A clock that steps back is taken as no time passing.
    const auto forward = std::max(elapsed, std::chrono::nanoseconds{0});
    const std::chrono::nanoseconds pending = std::min(motor.carried + forward, std::chrono::nanoseconds(max_catch_up));
    const auto steps = pending / physics_step;
    const double seconds = std::chrono::duration<double>(physics_step).count();
    for (std::int64_t i = 0; i < steps; ++i) {
        step(motor, seconds);
    }
    motor.carried = pending - steps * std::chrono::nanoseconds(physics_step);
}

void step(MotorPhysics& motor, double seconds) noexcept {
    const PhysicalParams& params = motor.params;
    const Kinematics before = motor.motion;
    TorqueDemand demand = motor.drive ? torque_demand(params, before, *motor.drive) : TorqueDemand{};
    if (!usable(demand)) {
        demand = TorqueDemand{};
    }
    // Backward Euler on the torque linearised around the step's start:
    // J·(v' - v)/h = τ - K·h·v' - D·(v' - v) - b·v' - f, that is A·v' = B - f.
    const double inertia_rate = params.inertia / seconds;
    const double resistance =
        inertia_rate + demand.stiffness * seconds + demand.damping + params.viscous_friction;
    const double balance = demand.torque + (inertia_rate + demand.damping) * before.velocity;
    const double velocity = with_dry_friction(balance, params.coulomb_friction, resistance);
    const double applied =
        demand.torque - demand.stiffness * seconds * velocity - demand.damping * (velocity - before.velocity);
    motor.torque = std::clamp(applied, -demand.limit, demand.limit);
    motor.motion.velocity = velocity;
    motor.motion.position = before.position + seconds * velocity;

    const double torque_share = params.torque_limit > 0.0f ? motor.torque / params.torque_limit : 0.0;
    motor.t_rotor = thermal_step(motor.t_rotor, params.rotor, params.ambient, torque_share, seconds);
    motor.t_mos = thermal_step(motor.t_mos, params.mos, params.ambient, torque_share, seconds);
}

void set_zero(MotorPhysics& motor) noexcept {
    const double offset = motor.motion.position;
    motor.motion.position = 0.0;
    if (!motor.drive) {
        return;
    }
    // Setpoints travel as floats, so the shifted target is rounded to one.
    std::visit(
        [offset](auto& setpoint) {
            if constexpr (requires { setpoint.q; }) {
                setpoint.q = static_cast<float>(setpoint.q - offset);
            } else if constexpr (requires { setpoint.position; }) {
                setpoint.position = static_cast<float>(setpoint.position - offset);
            }
        },
        *motor.drive);
}

}  // namespace jointbus::sim
