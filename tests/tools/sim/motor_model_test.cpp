// The physical model: each control law does what a motor on a bench does,
// the integration stays sound at any gain, and time is accounted for exactly.
#include <gtest/gtest.h>

#include <cmath>

#include "motor_model.hpp"

namespace jointbus::sim {
namespace {

using namespace std::chrono_literals;

MotorPhysics motor_of(const damiao::MitLimits& limits, std::optional<damiao::ControlSetpoint> drive) {
    MotorPhysics motor = at_rest(default_params(limits));
    motor.drive = drive;
    return motor;
}

// Runs for `span` and returns the largest |velocity| and |torque| seen.
struct Peaks {
    double velocity = 0.0;
    double torque = 0.0;
};
Peaks run(MotorPhysics& motor, std::chrono::milliseconds span) {
    Peaks peaks;
    for (auto t = 0ms; t < span; t += 1ms) {
        advance_time(motor, 1ms);
        peaks.velocity = std::max(peaks.velocity, std::abs(motor.motion.velocity));
        peaks.torque = std::max(peaks.torque, std::abs(motor.torque));
    }
    return peaks;
}

TEST(MotorModel, MitStepResponseSettlesAtTheTarget) {
    struct Case {
        damiao::MitLimits limits;
        damiao::MitSetpoint setpoint;
    };
    const Case cases[] = {
        {damiao::MitLimits::dm4310(), {1.0f, 0.0f, 20.0f, 1.0f, 0.0f}},
        {damiao::MitLimits::dm4310(), {-2.0f, 0.0f, 5.0f, 0.3f, 0.0f}},
        {damiao::MitLimits::dm8009(), {3.0f, 0.0f, 100.0f, 3.0f, 0.0f}},
        {damiao::MitLimits::dmh3510(), {0.5f, 0.0f, 2.0f, 0.05f, 0.0f}},
        {damiao::MitLimits::dm10010(), {-1.0f, 0.0f, 500.0f, 5.0f, 0.0f}},
    };
    for (const Case& c : cases) {
        MotorPhysics motor = motor_of(c.limits, c.setpoint);
        run(motor, 3000ms);
        // Dry friction may stop it short by at most c/kp.
        const float dead_band = motor.params.coulomb_friction / c.setpoint.kp;
        EXPECT_NEAR(motor.motion.position, c.setpoint.q, dead_band + 1e-3f) << c.limits.t_max;
        EXPECT_NEAR(motor.motion.velocity, 0.0f, 1e-3f) << c.limits.t_max;
    }
}

TEST(MotorModel, MitFeedforwardAndVelocityTermsActAsTheyShould) {
    // kd alone with a velocity target: the rotor runs at a speed where
    // kd·(dq - w) meets the friction b·w + c.
    MotorPhysics motor = motor_of(damiao::MitLimits::dm4310(), damiao::MitSetpoint{0.0f, 4.0f, 0.0f, 1.0f, 0.0f});
    run(motor, 1000ms);
    const PhysicalParams& p = motor.params;
    EXPECT_NEAR(motor.motion.velocity, (4.0f - p.coulomb_friction) / (1.0f + p.viscous_friction), 1e-3f);
    // Pure feedforward torque below dry friction does not move it.
    MotorPhysics held = motor_of(damiao::MitLimits::dm4310(), damiao::MitSetpoint{0.0f, 0.0f, 0.0f, 0.0f, 0.15f});
    run(held, 500ms);
    EXPECT_EQ(held.motion.position, 0.0f);
    EXPECT_NEAR(held.torque, 0.15f, 1e-6f);
}

TEST(MotorModel, DisabledMotorCoastsToRestUnderFriction) {
    for (const auto& preset : damiao::mit_limits_presets) {
        MotorPhysics motor = motor_of(preset.make(), std::nullopt);
        motor.motion.velocity = 0.5f * motor.params.velocity_limit;
        double last_velocity = motor.motion.velocity;
        for (int i = 0; i < 3000 && motor.motion.velocity != 0.0f; ++i) {
            advance_time(motor, 1ms);
            ASSERT_LE(motor.motion.velocity, last_velocity) << preset.name;
            ASSERT_GE(motor.motion.velocity, 0.0f) << preset.name;
            last_velocity = motor.motion.velocity;
        }
        EXPECT_EQ(motor.motion.velocity, 0.0f) << preset.name;
        EXPECT_EQ(motor.torque, 0.0f) << preset.name;
        const double stopped_at = motor.motion.position;
        advance_time(motor, 100ms);
        EXPECT_EQ(motor.motion.position, stopped_at) << preset.name;
    }
}

TEST(MotorModel, TorqueSaturatesAtTheModelsLimit) {
    for (const auto& preset : damiao::mit_limits_presets) {
        const damiao::MitLimits limits = preset.make();
        // A target far away behind the stiffest spring.
        MotorPhysics motor = motor_of(limits, damiao::MitSetpoint{12.0f, 0.0f, 500.0f, 0.0f, 0.0f});
        advance_time(motor, physics_step);
        EXPECT_EQ(motor.torque, limits.t_max) << preset.name;
        // Full torque less dry friction (viscous is nil at rest) over J.
        const float seconds = std::chrono::duration<float>(physics_step).count();
        const float expected = seconds * (limits.t_max - motor.params.coulomb_friction) / motor.params.inertia;
        // Viscous friction, taken implicitly, shaves off up to a percent.
        EXPECT_NEAR(motor.motion.velocity, expected, expected * 1e-2f) << preset.name;
        const Peaks peaks = run(motor, 500ms);
        EXPECT_LE(peaks.torque, limits.t_max) << preset.name;
    }
}

TEST(MotorModel, StiffestGainsStayBoundedOnEveryModel) {
    // Without damping the rotor swings about the target, but the integrator
    // never adds energy: it never swings further out than it started.
    // With damping it settles.
    for (const auto& preset : damiao::mit_limits_presets) {
        for (const float kd : {0.0f, 0.5f, 5.0f}) {
            MotorPhysics motor = motor_of(preset.make(), damiao::MitSetpoint{0.2f, 0.0f, 500.0f, kd, 0.0f});
            double widest = 0.0;
            for (int ms = 0; ms < 2000; ++ms) {
                advance_time(motor, 1ms);
                ASSERT_TRUE(std::isfinite(motor.motion.position)) << preset.name << " kd " << kd;
                widest = std::max(widest, std::abs(motor.motion.position - 0.2));
            }
            EXPECT_LE(widest, 0.2f * 1.001f) << preset.name << " kd " << kd;
            if (kd > 0.0f) {
                EXPECT_NEAR(motor.motion.position, 0.2f, 0.01f) << preset.name << " kd " << kd;
            }
        }
    }
}

TEST(MotorModel, PositionModesApproachAtTheirSpeedLimit) {
    struct Case {
        damiao::ControlSetpoint setpoint;
        float target;
        float speed_limit;
        float torque_limit;
    };
    const Case cases[] = {
        {damiao::PosVelSetpoint{2.0f, 3.0f}, 2.0f, 3.0f, 10.0f},
        {damiao::PosVelSetpoint{-1.0f, -5.0f}, -1.0f, 5.0f, 10.0f},
        // Asked for more than the model's top speed: the top speed it is.
        {damiao::PosVelSetpoint{10.0f, 100.0f}, 10.0f, 30.0f, 10.0f},
        {damiao::ForcePosSetpoint{1.5f, 4.0f, 1.0f}, 1.5f, 4.0f, 10.0f},
        {damiao::ForcePosSetpoint{-1.5f, 8.0f, 0.1f}, -1.5f, 8.0f, 1.0f},
    };
    for (const Case& c : cases) {
        MotorPhysics motor = motor_of(damiao::MitLimits::dm4310(), c.setpoint);
        const Peaks peaks = run(motor, 3000ms);
        EXPECT_NEAR(motor.motion.position, c.target, 0.01f) << c.target;
        EXPECT_NEAR(motor.motion.velocity, 0.0f, 1e-3f) << c.target;
        EXPECT_LE(peaks.velocity, c.speed_limit * 1.02f) << c.target;
        EXPECT_GT(peaks.velocity, c.speed_limit * 0.9f) << c.target;
        EXPECT_LE(peaks.torque, c.torque_limit * 1.0001f) << c.target;
    }
}

TEST(MotorModel, VelocityModeHoldsTheSpeed) {
    const std::pair<float, float> cases[] = {{3.0f, 3.0f}, {-7.5f, -7.5f}, {0.0f, 0.0f}, {99.0f, 30.0f}};
    for (const auto& [asked, reached] : cases) {
        MotorPhysics motor = motor_of(damiao::MitLimits::dm4310(), damiao::VelSetpoint{asked});
        run(motor, 1000ms);
        EXPECT_NEAR(motor.motion.velocity, reached, 0.01f) << asked;
        const double before = motor.motion.position;
        run(motor, 1000ms);
        EXPECT_NEAR(motor.motion.position - before, reached, 0.01f) << asked;
    }
}

TEST(MotorModel, SetZeroRelabelsTheAxisWithoutMovingTheRotor) {
    const damiao::ControlSetpoint setpoints[] = {
        damiao::MitSetpoint{2.0f, 0.0f, 20.0f, 1.0f, 0.0f},
        damiao::PosVelSetpoint{2.0f, 3.0f},
        damiao::ForcePosSetpoint{2.0f, 3.0f, 1.0f},
    };
    for (const auto& setpoint : setpoints) {
        MotorPhysics moved = motor_of(damiao::MitLimits::dm4310(), setpoint);
        run(moved, 200ms);  // on the way, not there yet
        MotorPhysics rezeroed = moved;
        const double offset = rezeroed.motion.position;
        set_zero(rezeroed);
        EXPECT_EQ(rezeroed.motion.position, 0.0f);
        run(moved, 2000ms);
        run(rezeroed, 2000ms);
        EXPECT_NEAR(rezeroed.motion.position + offset, moved.motion.position, 1e-4f) << setpoint.index();
        EXPECT_NEAR(rezeroed.motion.position, 2.0f - offset, 0.02f) << setpoint.index();
    }
}

TEST(MotorModel, TemperaturesRiseWithTorqueSquaredAndCoolToAmbient) {
    // Stalled against the full torque it asks for: held by a stiff spring at 0
    // while the feedforward pushes. τ = t_max: the rotor heads for 25 + 60 °C.
    struct Case {
        float torque_share;
        float rotor_after_a_minute;
    };
    const Case cases[] = {
        {0.0f, 25.0f},
        {0.5f, 25.0f + 15.0f * (1.0f - std::exp(-1.0f))},
        {1.0f, 25.0f + 60.0f * (1.0f - std::exp(-1.0f))},
    };
    for (const Case& c : cases) {
        const damiao::MitLimits limits = damiao::MitLimits::dm4310();
        MotorPhysics motor = motor_of(limits, damiao::MitSetpoint{0.0f, 0.0f, 0.0f, 0.0f, c.torque_share * 10.0f});
        motor.params.inertia = 1e6f;  // a load too heavy to move in a minute
        motor.params.coulomb_friction = 0.0f;
        advance_time(motor, 1s);
        for (int i = 0; i < 59; ++i) {
            advance_time(motor, 1s);
        }
        EXPECT_NEAR(motor.t_rotor, c.rotor_after_a_minute, 0.3f) << c.torque_share;
        EXPECT_GE(motor.t_rotor, motor.t_mos - 1e-3f) << c.torque_share;
        motor.drive.reset();
        for (int i = 0; i < 600; ++i) {
            advance_time(motor, 1s);
        }
        EXPECT_NEAR(motor.t_rotor, 25.0f, 0.1f) << c.torque_share;
        EXPECT_NEAR(motor.t_mos, 25.0f, 0.1f) << c.torque_share;
    }
}

TEST(MotorModel, TimeIsAccountedForWhateverTheSlicing) {
    const damiao::ControlSetpoint drive = damiao::PosVelSetpoint{1.0f, 2.0f};
    MotorPhysics whole = motor_of(damiao::MitLimits::dm4310(), drive);
    MotorPhysics sliced = whole;
    advance_time(whole, 777'777us);
    const std::chrono::microseconds slices[] = {1us, 333us, 499us, 500us, 501us, 1234us, 17us};
    std::chrono::microseconds total{0};
    for (std::size_t i = 0; total + slices[i % std::size(slices)] <= 777'777us; ++i) {
        advance_time(sliced, slices[i % std::size(slices)]);
        total += slices[i % std::size(slices)];
    }
    advance_time(sliced, 777'777us - total);
    EXPECT_EQ(sliced.motion.position, whole.motion.position);
    EXPECT_EQ(sliced.motion.velocity, whole.motion.velocity);
    EXPECT_EQ(sliced.carried, whole.carried);
}

TEST(MotorModel, AStallIsSkippedOverNotReplayed) {
    MotorPhysics motor = motor_of(damiao::MitLimits::dm4310(), damiao::VelSetpoint{3.0f});
    run(motor, 1000ms);
    const double before = motor.motion.position;
    advance_time(motor, 60s);
    EXPECT_NEAR(motor.motion.position - before, 3.0f * 1.0f, 0.01f);
    advance_time(motor, -5s);
    EXPECT_NEAR(motor.motion.position - before, 3.0f, 0.01f);
}

}  // namespace
}  // namespace jointbus::sim
