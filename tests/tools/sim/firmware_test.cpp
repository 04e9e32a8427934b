// The firmware's rules: which commands it obeys in which mode, its status
// and fault codes, and the control-mode register.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "firmware.hpp"
#include "support/hex.hpp"

namespace jointbus::sim {
namespace {

using jointbus::testing::hex_text;

MotorConfig config_with(ControlMode mode, FaultSettings faults = {}) {
    MotorConfig config;
    config.motor_id = 3;
    config.master_id = 0x13;
    config.limits = damiao::MitLimits::dm4310();
    config.initial_mode = mode;
    config.physics = default_params(config.limits);
    config.faults = faults;
    return config;
}

const damiao::ControlSetpoint one_setpoint_per_mode[] = {
    damiao::MitSetpoint{1.0f, 0.0f, 10.0f, 1.0f, 0.0f},
    damiao::PosVelSetpoint{1.0f, 2.0f},
    damiao::VelSetpoint{2.0f},
    damiao::ForcePosSetpoint{1.0f, 2.0f, 0.5f},
};

std::uint8_t status_in_reply(const std::optional<transport::CanFrame>& reply) {
    return static_cast<std::uint8_t>(reply.value().data.at(0) >> 4);
}

TEST(Firmware, ControlCommandsAreObeyedOnlyInTheirOwnMode) {
    for (const ControlMode mode : {ControlMode::Mit, ControlMode::PosVel, ControlMode::Vel, ControlMode::ForcePos}) {
        for (const auto& setpoint : one_setpoint_per_mode) {
            SimMotor motor = make_motor(config_with(mode));
            ASSERT_TRUE(respond(motor, FixedCommand::Enable));
            const auto reply = respond(motor, ControlCommand{setpoint});
            const bool own_mode = mode_of(setpoint) == mode;
            EXPECT_EQ(reply.has_value(), own_mode) << name_of(mode) << " got " << name_of(mode_of(setpoint));
            if (own_mode) {
                ASSERT_TRUE(motor.physics.drive);
                EXPECT_EQ(motor.physics.drive->index(), setpoint.index());
                EXPECT_EQ(reply->id, transport::CanId::standard(0x13));
            }
        }
    }
}

TEST(Firmware, StatusFollowsEnableDisableAndAnInjectedFault) {
    struct Step {
        FixedCommand command;
        std::uint8_t status;
        bool powered;
    };
    struct Case {
        std::optional<std::uint8_t> fault;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {std::nullopt,
         {{FixedCommand::Enable, 1, true},
          {FixedCommand::Enable, 1, true},
          {FixedCommand::ClearError, 1, true},
          {FixedCommand::SetZero, 1, true},
          {FixedCommand::Disable, 0, false},
          {FixedCommand::Disable, 0, false}}},
        // A latched fault keeps the power stage off; clearing it leaves the
        // motor disabled, and the fault does not come back.
        {0x8,
         {{FixedCommand::Enable, 8, false},
          {FixedCommand::Disable, 8, false},
          {FixedCommand::Enable, 8, false},
          {FixedCommand::ClearError, 0, false},
          {FixedCommand::Enable, 1, true},
          {FixedCommand::ClearError, 1, true}}},
        {0xE, {{FixedCommand::ClearError, 0, false}, {FixedCommand::ClearError, 0, false}}},
    };
    for (const Case& c : cases) {
        FaultSettings faults;
        faults.fault_code = c.fault;
        SimMotor motor = make_motor(config_with(ControlMode::Mit, faults));
        EXPECT_EQ(status_code(motor), c.fault.value_or(0));
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const auto reply = respond(motor, c.steps[i].command);
            EXPECT_EQ(status_in_reply(reply), c.steps[i].status) << "step " << i;
            EXPECT_EQ(motor.physics.drive.has_value(), c.steps[i].powered) << "step " << i;
        }
    }
}

TEST(Firmware, SetpointsAreTakenOnlyWhilePowered) {
    SimMotor motor = make_motor(config_with(ControlMode::Vel));
    EXPECT_TRUE(respond(motor, ControlCommand{damiao::VelSetpoint{5.0f}}));
    EXPECT_FALSE(motor.physics.drive);
    ASSERT_TRUE(respond(motor, FixedCommand::Enable));
    // Enabled, the motor first holds still, not the command sent before.
    ASSERT_TRUE(motor.physics.drive);
    EXPECT_EQ(std::get<damiao::VelSetpoint>(*motor.physics.drive).velocity, 0.0f);
    EXPECT_TRUE(respond(motor, ControlCommand{damiao::VelSetpoint{5.0f}}));
    EXPECT_EQ(std::get<damiao::VelSetpoint>(*motor.physics.drive).velocity, 5.0f);
    // A value it cannot follow is answered but not taken.
    EXPECT_TRUE(respond(motor, ControlCommand{damiao::VelSetpoint{std::numeric_limits<float>::quiet_NaN()}}));
    EXPECT_EQ(std::get<damiao::VelSetpoint>(*motor.physics.drive).velocity, 5.0f);
}

TEST(Firmware, EnablingBrakesToRestExceptInMitWhereTheRotorIsFree) {
    struct Case {
        ControlMode mode;
        bool brakes;
    };
    const Case cases[] = {
        {ControlMode::Mit, false},
        {ControlMode::PosVel, true},
        {ControlMode::Vel, true},
        {ControlMode::ForcePos, true},
    };
    for (const Case& c : cases) {
        SimMotor motor = make_motor(config_with(c.mode));
        motor.physics.motion = {1.0f, 5.0f};  // turned by hand while disabled
        ASSERT_TRUE(respond(motor, FixedCommand::Enable));
        advance_time(motor.physics, std::chrono::milliseconds(50));
        // Free, friction alone slows it: with c/b = 12 rad/s and J/b = 0.3 s,
        // v(t) = (5 + 12)·exp(-t/0.3) - 12, 2.39 rad/s at 50 ms.
        const float free_velocity = 17.0f * std::exp(-0.05f / 0.3f) - 12.0f;
        if (c.brakes) {
            EXPECT_LT(std::abs(motor.physics.motion.velocity), 0.5f) << name_of(c.mode);
        } else {
            EXPECT_NEAR(motor.physics.motion.velocity, free_velocity, 0.05f) << name_of(c.mode);
            EXPECT_EQ(motor.physics.torque, 0.0f);
        }
    }
}

TEST(Firmware, ControlModeRegisterReadsAndWrites) {
    struct Case {
        FaultSettings faults;
        std::uint8_t register_number;
        std::uint32_t written;
        ControlMode mode_after;
    };
    FaultSettings stubborn;
    stubborn.ignore_mode_writes = true;
    const Case cases[] = {
        {{}, 10, 1, ControlMode::Mit},
        {{}, 10, 3, ControlMode::Vel},
        {{}, 10, 4, ControlMode::ForcePos},
        {{}, 10, 2, ControlMode::PosVel},
        {{}, 10, 0, ControlMode::PosVel},
        {{}, 10, 5, ControlMode::PosVel},
        {{}, 10, 0x101, ControlMode::PosVel},
        {{}, 11, 1, ControlMode::PosVel},
        {stubborn, 10, 1, ControlMode::PosVel},
    };
    for (const Case& c : cases) {
        SimMotor motor = make_motor(config_with(ControlMode::PosVel, c.faults));
        EXPECT_FALSE(respond(motor, RegisterWrite{c.register_number, c.written}));
        EXPECT_EQ(motor.mode, c.mode_after) << int(c.register_number) << " " << c.written;
        const auto reply = respond(motor, RegisterRead{10});
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->id, transport::CanId::standard(0x13));
        EXPECT_EQ(hex_text(reply->data),
                  "03 00 33 0A 0" + std::to_string(number_of(c.mode_after)) + " 00 00 00");
    }
    SimMotor motor = make_motor(config_with(ControlMode::PosVel));
    EXPECT_FALSE(respond(motor, RegisterRead{11}));
}

TEST(Firmware, ModeChangeWhileEnabledHoldsStillInTheNewMode) {
    SimMotor motor = make_motor(config_with(ControlMode::Vel));
    ASSERT_TRUE(respond(motor, FixedCommand::Enable));
    ASSERT_TRUE(respond(motor, ControlCommand{damiao::VelSetpoint{5.0f}}));
    EXPECT_FALSE(respond(motor, RegisterWrite{10, 1}));
    ASSERT_TRUE(motor.physics.drive);
    EXPECT_EQ(std::get<damiao::MitSetpoint>(*motor.physics.drive), damiao::MitSetpoint{});
}

TEST(Firmware, FeedbackReportsTheModelsState) {
    SimMotor motor = make_motor(config_with(ControlMode::Mit));
    motor.physics.motion = {1.25f, -2.5f};
    motor.physics.torque = 3.0f;
    motor.physics.t_mos = 31.4f;
    motor.physics.t_rotor = 47.6f;
    const auto state = damiao::decode_feedback(feedback_bytes(motor), motor.config.limits);
    EXPECT_EQ(state.motor_id, 3);
    EXPECT_EQ(state.error, 0);
    EXPECT_NEAR(state.position, 1.25f, 0.001f);
    EXPECT_NEAR(state.velocity, -2.5f, 0.02f);
    EXPECT_NEAR(state.torque, 3.0f, 0.01f);
    EXPECT_EQ(state.t_mos, 31);
    EXPECT_EQ(state.t_rotor, 48);
}

}  // namespace
}  // namespace jointbus::sim
