// The physics of one motor and its load: a rigid inertia with viscous and
// Coulomb friction, driven by the torque its active control law asks for,
// saturated at the model's peak torque; and two thermal nodes (winding and
// power stage) that heat with torque squared and cool toward ambient.
#pragma once

#include <chrono>
#include <optional>

#include "damiao/driver.hpp"
#include "damiao/mit.hpp"

namespace jointbus::sim {

// A first-order thermal node: at a steady torque τ it settles at
// ambient + rise_at_peak_torque · (τ / t_max)², approached with time_constant.
struct ThermalNode {
    float rise_at_peak_torque = 0.0f;  // °C
    float time_constant = 1.0f;        // s
};

struct PhysicalParams {
    float inertia = 0.005f;               // kg·m², rotor reflected through the gearbox plus load
    float viscous_friction = 0.016667f;   // N·m·s/rad
    float coulomb_friction = 0.2f;        // N·m
    float torque_limit = 10.0f;           // N·m, the model's t_max
    float velocity_limit = 30.0f;         // rad/s, caps the speed the position and velocity loops ask for
    ThermalNode rotor{60.0f, 60.0f};
    ThermalNode mos{25.0f, 20.0f};
    float ambient = 25.0f;                // °C
};

// The defaults for a motor model with these limits; documented in --help.
[[nodiscard]] PhysicalParams default_params(const damiao::MitLimits& limits) noexcept;

// What a control law asks of the motor at one instant: the torque, and its
// local slopes against position (stiffness) and velocity (damping), which
// the integrator treats implicitly so that stiff gains on a light rotor stay
// stable at any step. Both slopes are zero while the torque is saturated.
struct TorqueDemand {
    double torque = 0.0;
    double stiffness = 0.0;  // -dτ/dq
    double damping = 0.0;    // -dτ/ddq
    double limit = 0.0;      // |torque| never exceeds it, over the whole step
};

// The state is kept in double precision: a slow creep, or a temperature a
// fraction of a degree from ambient, moves it by less than a float can
// resolve in one 0.5 ms step.
struct Kinematics {
    double position = 0.0;
    double velocity = 0.0;
};

// The control laws, one per mode, as functions of the motor's state.
[[nodiscard]] TorqueDemand torque_demand(const PhysicalParams& params, const Kinematics& now,
                                         const damiao::ControlSetpoint& setpoint) noexcept;

struct MotorPhysics {
    PhysicalParams params;
    Kinematics motion;
    double torque = 0.0;  // what the motor applied over the last step
    double t_rotor = 25.0;
    double t_mos = 25.0;
    // The control law in force, or none while the power stage is off.
    std::optional<damiao::ControlSetpoint> drive;
    // Time handed to advance_time() that did not yet fill a whole step.
    std::chrono::nanoseconds carried{0};
};

inline constexpr std::chrono::microseconds physics_step{500};
// A stall longer than this (a stopped process, a loaded machine) is skipped
// over rather than replayed step by step.
inline constexpr std::chrono::seconds max_catch_up{1};

[[nodiscard]] MotorPhysics at_rest(const PhysicalParams& params) noexcept;

// Moves the state on by `elapsed` of real time, in whole physics steps.
void advance_time(MotorPhysics& motor, std::chrono::nanoseconds elapsed) noexcept;

// One step of `seconds`: linearly implicit Euler for the mechanics, so the
// motion stays bounded whatever the gains, with dry friction solved
// implicitly too, so the rotor comes to a true stop and stays stuck exactly
// while the drive is weaker than friction.
void step(MotorPhysics& motor, double seconds) noexcept;

// Makes the current position the new zero. Position targets held by the
// active control law move with it: re-referencing relabels the axis, it does
// not command a motion.
void set_zero(MotorPhysics& motor) noexcept;

}  // namespace jointbus::sim
