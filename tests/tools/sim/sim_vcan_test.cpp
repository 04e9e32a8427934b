// The built jointbus-sim on vcan0, driven by the core driver over the real
// kernel CAN stack: its life cycle, the motion each control mode produces,
// and every injected fault as the driver reports it. Run through
// scripts/with-vcan; the guest is slow, so replies get 200 ms, not 20.
#include <gtest/gtest.h>

#include <signal.h>

#include <thread>

#include "damiao/driver.hpp"
#include "sim_process.hpp"
#include "transport/socketcan_backend.hpp"

namespace jointbus::testing {
namespace {

using namespace std::chrono_literals;
using damiao::Damiao;
using damiao::MotorState;
using transport::CanFrame;
using Clock = std::chrono::steady_clock;

// Long enough that a loaded machine running the emulated guest never
// misses a reply that comes; the faults that must time out exceed it.
constexpr std::uint64_t reply_timeout_ms = 1000;
constexpr auto start_up_limit = 10s;  // generous: a cold start in the guest
constexpr auto exit_limit = 5s;
const std::string timeout_text = "transport error: timeout waiting for frame";

Damiao motor(std::uint16_t motor_id) {
    return Damiao::create(motor_id, static_cast<std::uint16_t>(0x10 + motor_id), damiao::MitLimits::dm4310(),
                          reply_timeout_ms);
}

template <typename T>
std::string outcome(const damiao::Result<T>& result) {
    return result ? "ok" : damiao::message(result.error());
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> split;
    std::istringstream in(line);
    for (std::string word; in >> word;) {
        split.push_back(word);
    }
    return split;
}

class SimOnVcan : public ::testing::Test {
protected:
    void SetUp() override {
        auto opened = transport::SocketCanTransport::open("vcan0");
        ASSERT_TRUE(opened) << transport::message(opened.error());
        bus_.emplace(std::move(*opened));
    }

    void TearDown() override {
        if (sim_ && sim_->running()) {
            const auto status = sim_->stop(SIGTERM, exit_limit);
            ASSERT_TRUE(status) << "jointbus-sim ignored SIGTERM";
            EXPECT_TRUE(status->exited && status->code == 0) << status->code << "\n" << sim_->error_text();
        }
    }

    // Starts the simulator and waits for it to say it is ready.
    void launch(const std::string& arguments, std::size_t motors) {
        sim_.emplace(JOINTBUS_SIM_PATH, words("vcan0 " + arguments));
        const auto line = sim_->read_line(start_up_limit);
        ASSERT_TRUE(line) << "no ready line; stderr: " << sim_->error_text();
        const std::string count = std::to_string(motors) + (motors == 1 ? " motor" : " motors");
        EXPECT_EQ(*line, "jointbus-sim: ready on vcan0 with " + count);
    }

    // Repeats `command` every `period` for `span`, and returns the last answer.
    template <typename Command>
    damiao::Result<MotorState> keep_sending(std::chrono::milliseconds span, std::chrono::milliseconds period,
                                            Command command) {
        damiao::Result<MotorState> last = std::unexpected(damiao::Error{damiao::UnknownRegister{}});
        for (const auto end = Clock::now() + span; Clock::now() < end;) {
            last = command();
            std::this_thread::sleep_for(period);
        }
        return last;
    }

    std::optional<transport::SocketCanTransport> bus_;
    std::optional<SimProcess> sim_;
};

// How fast it starts is the benchmark's business: a wall-clock bound in an
// emulated guest on a loaded machine would only measure the machine.
TEST_F(SimOnVcan, StartsAndStopsCleanlyOnEitherSignal) {
    for (const int signal : {SIGTERM, SIGINT}) {
        launch("--motor 1:0x11:dm4310 --motor 2:0x12:dm8009:mit", 2);
        const auto status = sim_->stop(signal, exit_limit);
        ASSERT_TRUE(status);
        EXPECT_TRUE(status->exited) << "killed by signal " << status->code;
        EXPECT_EQ(status->code, 0) << sim_->error_text();
        EXPECT_EQ(sim_->error_text(), "");
    }
}

TEST_F(SimOnVcan, RefusesABadInterfaceOrBadArgumentsWithAClearError) {
    struct Case {
        std::string arguments;
        int exit_code;
        std::string error;
    };
    const Case cases[] = {
        {"nosuchcan0 --motor 1:0x11:dm4310", 1,
         "jointbus-sim: cannot open nosuchcan0: backend error: No such device (os error 19)\n"},
        {"vcan0 --motor 1:0x11:dm9", 2,
         "jointbus-sim: --motor 1:0x11:dm9: unknown model 'dm9' (one of dm3507, dm4310, dm4310p, dm4340, dm4340p, "
         "dm6006, dm6248p, dm8006, dm8009, dm10010, dm10010l, dmg6215, dmh3510, dmh6220, dmjh11)\n"
         "Try 'jointbus-sim --help'.\n"},
        {"vcan0", 2, "jointbus-sim: no motor given: add --motor ID:MASTER:MODEL[:MODE][:SETTING]...\n"
                     "Try 'jointbus-sim --help'.\n"},
    };
    for (const Case& c : cases) {
        SimProcess process(JOINTBUS_SIM_PATH, words(c.arguments));
        const auto status = process.wait(exit_limit);
        ASSERT_TRUE(status) << c.arguments;
        EXPECT_TRUE(status->exited);
        EXPECT_EQ(status->code, c.exit_code) << c.arguments;
        EXPECT_EQ(process.error_text(), c.error);
        EXPECT_FALSE(process.read_line(0ms)) << "nothing on standard output";
    }
    SimProcess help(JOINTBUS_SIM_PATH, {"--help"});
    const auto first_line = help.read_line(exit_limit);
    ASSERT_TRUE(first_line);
    EXPECT_TRUE(first_line->starts_with("Usage: jointbus-sim INTERFACE --motor MOTOR"));
    const auto status = help.wait(exit_limit);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 0);
}

TEST_F(SimOnVcan, EnsureControlModeSwitchesAPosVelMotorToMit) {
    launch("--motor 1:0x11:dm4310", 1);
    const auto before = motor(1).read_register(*bus_, damiao::control_mode_register);
    ASSERT_TRUE(before) << damiao::message(before.error());
    EXPECT_EQ(std::get<std::uint32_t>(*before), 2u);
    EXPECT_EQ(outcome(motor(1).ensure_control_mode(*bus_, damiao::mit_mode)), "ok");
    const auto after = motor(1).read_register(*bus_, damiao::control_mode_register);
    ASSERT_TRUE(after) << damiao::message(after.error());
    EXPECT_EQ(std::get<std::uint32_t>(*after), 1u);
    // Already in MIT: read once, nothing written.
    EXPECT_EQ(outcome(motor(1).ensure_control_mode(*bus_, damiao::mit_mode)), "ok");
}

TEST_F(SimOnVcan, MitGainsMoveTheMotorToTargetAndHoldIt) {
    launch("--motor 1:0x11:dm4310", 1);
    ASSERT_EQ(outcome(motor(1).ensure_control_mode(*bus_, damiao::mit_mode)), "ok");
    const auto enabled = motor(1).enable(*bus_);
    ASSERT_TRUE(enabled) << damiao::message(enabled.error());
    EXPECT_EQ(enabled->error, 1);
    EXPECT_EQ(enabled->motor_id, 1);
    EXPECT_NEAR(enabled->position, 0.0f, 0.001f);
    EXPECT_EQ(enabled->t_mos, 25);
    EXPECT_EQ(enabled->t_rotor, 25);
    const damiao::MitSetpoint target{1.5f, 0.0f, 20.0f, 1.0f, 0.0f};
    const auto moving = motor(1).mit_control(*bus_, target);
    ASSERT_TRUE(moving) << damiao::message(moving.error());
    const auto settled = keep_sending(1500ms, 5ms, [&] { return motor(1).mit_control(*bus_, target); });
    ASSERT_TRUE(settled) << damiao::message(settled.error());
    EXPECT_NEAR(settled->position, 1.5f, 0.03f);
    EXPECT_NEAR(settled->velocity, 0.0f, 0.1f);
    const auto disabled = motor(1).disable(*bus_);
    ASSERT_TRUE(disabled);
    EXPECT_EQ(disabled->error, 0);
    const auto zeroed = motor(1).set_zero(*bus_);
    ASSERT_TRUE(zeroed);
    EXPECT_NEAR(zeroed->position, 0.0f, 0.001f);
}

TEST_F(SimOnVcan, EachControlModeMovesTheMotorItsWay) {
    launch("--motor 1:0x11:dm4310:mit --motor 2:0x12:dm4310:pos_vel --motor 3:0x13:dm4310:vel "
           "--motor 4:0x14:dm4310:force_pos",
           4);
    const damiao::ControlSetpoint setpoints[] = {
        damiao::MitSetpoint{-0.8f, 0.0f, 30.0f, 1.5f, 0.0f},
        damiao::PosVelSetpoint{2.0f, 4.0f},
        damiao::VelSetpoint{-3.0f},
        damiao::ForcePosSetpoint{-1.0f, 5.0f, 0.5f},
    };
    for (std::uint16_t id = 1; id <= 4; ++id) {
        ASSERT_EQ(outcome(motor(id).enable(*bus_)), "ok") << id;
    }
    std::array<damiao::Result<MotorState>, 4> last;
    for (const auto end = Clock::now() + 1500ms; Clock::now() < end;) {
        for (std::size_t i = 0; i < 4; ++i) {
            last[i] = motor(static_cast<std::uint16_t>(i + 1)).control(*bus_, setpoints[i]);
        }
        std::this_thread::sleep_for(5ms);
    }
    for (const auto& state : last) {
        ASSERT_TRUE(state) << damiao::message(state.error());
    }
    EXPECT_NEAR(last[0]->position, -0.8f, 0.03f);  // MIT spring
    EXPECT_NEAR(last[1]->position, 2.0f, 0.03f);   // to the position, at up to 4 rad/s
    EXPECT_NEAR(last[2]->velocity, -3.0f, 0.1f);   // spinning backwards
    EXPECT_LT(last[2]->position, -3.0f);
    EXPECT_NEAR(last[3]->position, -1.0f, 0.03f);  // to the position, torque-limited
    // A command for another mode gets no answer at all.
    EXPECT_EQ(outcome(motor(1).control(*bus_, damiao::VelSetpoint{1.0f})), timeout_text);
    for (std::uint16_t id = 1; id <= 4; ++id) {
        const auto disabled = motor(id).disable(*bus_);
        ASSERT_TRUE(disabled) << id;
        EXPECT_EQ(disabled->error, 0) << id;
    }
}

TEST_F(SimOnVcan, EachInjectedFaultShowsUpAsTheDriverPromises) {
    struct Case {
        std::uint16_t motor_id;
        bool ensure_mit;  // else: enable
        std::string expected;
        bool answered_later = false;
    };
    launch("--motor 1:0x11:dm4310:mit:drop=1 --motor 2:0x12:dm4310:mit:late=1500 "
           "--motor 3:0x13:dm4310:mit:short-reply=1 --motor 4:0x14:dm4310:ignore-mode-writes "
           "--motor 5:0x15:dm4310:junk-before-register --motor 6:0x16:dm4310:mit:delay=50",
           6);
    const Case cases[] = {
        {1, false, timeout_text},
        {2, false, timeout_text, true},
        {3, false, "unexpected reply (data did not match register-reply pattern): [19, 127, 255, 127, 247, 255]"},
        {4, true, "control mode verification failed: wrote 1, motor reports 2"},
        {5, true, "ok"},
        {6, false, "ok"},
    };
    for (const Case& c : cases) {
        const auto sent = Clock::now();
        const std::string got = c.ensure_mit ? outcome(motor(c.motor_id).ensure_control_mode(*bus_, 1))
                                             : outcome(motor(c.motor_id).enable(*bus_));
        EXPECT_EQ(got, c.expected) << "motor " << c.motor_id;
        if (c.motor_id == 6) {
            EXPECT_GE(Clock::now() - sent, 50ms);
        }
        if (c.answered_later) {
            // Not lost: the reply comes after the driver gave up.
            const auto late = transport::recv_until(*bus_, transport::deadline_after(bus_->now(), {3, 0}),
                                                    [](const CanFrame& frame) { return frame.id.value == 0x12; });
            ASSERT_TRUE(late);
            EXPECT_EQ(late->data.size(), 8u);
            EXPECT_GE(Clock::now() - sent, 1500ms);
        }
    }
}

TEST_F(SimOnVcan, FaultCodeShowsInTheStateUntilCleared) {
    launch("--motor 1:0x11:dm4310:mit --fault 0x8 --motor 2:0x12:dm4310:mit:fault=none", 2);
    const std::pair<damiao::Result<MotorState> (Damiao::*)(transport::CanTransport&) const, int> steps[] = {
        {&Damiao::enable, 8}, {&Damiao::disable, 8}, {&Damiao::clear_error, 0}, {&Damiao::enable, 1}};
    for (const auto& [command, code] : steps) {
        const auto state = (motor(1).*command)(*bus_);
        ASSERT_TRUE(state) << damiao::message(state.error());
        EXPECT_EQ(state->error, code);
    }
    const auto exempt = motor(2).enable(*bus_);
    ASSERT_TRUE(exempt);
    EXPECT_EQ(exempt->error, 1);
}

TEST_F(SimOnVcan, BusWideDropSilencesEveryMotor) {
    launch("--drop 1 --motor 1:0x11:dm4310:mit --motor 2:0x12:dm4310", 2);
    EXPECT_EQ(outcome(motor(1).enable(*bus_)), timeout_text);
    EXPECT_EQ(outcome(motor(2).enable(*bus_)), timeout_text);
}

// Which of a run of enables got an answer, as a string of '.' and 'x'.
std::string drop_pattern(transport::CanTransport& bus) {
    std::string pattern;
    for (int i = 0; i < 16; ++i) {
        pattern += motor(1).enable(bus) ? '.' : 'x';
    }
    return pattern;
}

TEST_F(SimOnVcan, RandomDropsFollowTheSeed) {
    launch("--seed 7 --drop 0.5 --motor 1:0x11:dm4310:mit", 1);
    const std::string first = drop_pattern(*bus_);
    EXPECT_NE(first.find('.'), std::string::npos) << first;
    EXPECT_NE(first.find('x'), std::string::npos) << first;
    ASSERT_EQ(sim_->stop(SIGTERM, exit_limit)->code, 0);
    launch("--seed 7 --drop 0.5 --motor 1:0x11:dm4310:mit", 1);
    EXPECT_EQ(drop_pattern(*bus_), first);
}

TEST_F(SimOnVcan, FloodAndJunkBreakNoCommand) {
    launch("--flood 1000 --junk-before-register --motor 1:0x11:dm4310 --motor 2:0x12:dm8009:vel", 2);
    // The flood is there, and on nobody's identifier.
    int flood_frames = 0;
    for (const auto end = Clock::now() + 200ms; Clock::now() < end;) {
        if (const auto frame = bus_->recv({0, 10'000'000})) {
            EXPECT_NE(frame->id.value, 0x11u);
            EXPECT_NE(frame->id.value, 0x12u);
            ++flood_frames;
        }
    }
    EXPECT_GT(flood_frames, 50);
    ASSERT_EQ(outcome(motor(1).ensure_control_mode(*bus_, damiao::mit_mode)), "ok");
    ASSERT_EQ(outcome(motor(2).ensure_control_mode(*bus_, 3)), "ok");
    ASSERT_EQ(outcome(motor(1).enable(*bus_)), "ok");
    int answered = 0;
    for (int i = 0; i < 200; ++i) {
        answered += motor(1).mit_control(*bus_, {0.5f, 0.0f, 20.0f, 1.0f, 0.0f}) ? 1 : 0;
    }
    EXPECT_EQ(answered, 200);
    const auto mode = motor(1).read_register(*bus_, damiao::control_mode_register);
    ASSERT_TRUE(mode) << damiao::message(mode.error());
    EXPECT_EQ(std::get<std::uint32_t>(*mode), 1u);
    EXPECT_EQ(outcome(motor(1).disable(*bus_)), "ok");
}

}  // namespace
}  // namespace jointbus::testing
