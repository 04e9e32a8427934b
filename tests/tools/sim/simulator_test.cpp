// The whole simulator in-process, driven by the core driver over a bus whose
// clock is virtual: seconds of motion and every fault, deterministic and in
// milliseconds of test time. The same scenes run against the real program on
// vcan in sim_vcan_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <utility>

#include "damiao/driver.hpp"
#include "simulator.hpp"
#include "support/scripted_transport.hpp"

namespace jointbus::sim {
namespace {

using namespace std::chrono_literals;
using damiao::Damiao;
using transport::CanFrame;
using transport::MonotonicTime;

// A transport whose far end is a Simulator and whose time moves only when a
// receive waits (or wait() is called), jumping straight to the next due frame.
class VirtualBus final : public transport::CanTransport {
public:
    explicit VirtualBus(const BusConfig& config) : simulator_(config, clock_) {}

    transport::TransportResult<void> send(const CanFrame& frame) override {
        simulator_.receive(frame, clock_);
        return {};
    }

    transport::TransportResult<CanFrame> recv(transport::Duration timeout) override {
        const MonotonicTime deadline = clock_ + jointbus::testing::to_nanos(timeout);
        for (;;) {
            collect();
            if (!inbox_.empty()) {
                CanFrame frame = std::move(inbox_.front());
                inbox_.pop_front();
                return frame;
            }
            const auto next = simulator_.next_due();
            if (!next || *next > deadline) {
                move_to(deadline);
                return std::unexpected(transport::TimeoutError{});
            }
            move_to(*next);
        }
    }

    transport::TransportResult<std::size_t> drop_pending() override {
        collect();
        return std::exchange(inbox_, {}).size();
    }

    MonotonicTime now() override { return clock_; }

    void wait(std::chrono::nanoseconds span) {
        move_to(clock_ + span);
        collect();
        inbox_.clear();  // nobody was listening
    }

    [[nodiscard]] const Simulator& simulator() const { return simulator_; }

private:
    void move_to(MonotonicTime time) {
        clock_ = std::max(clock_, time);
        simulator_.tick(clock_);
    }
    void collect() {
        for (CanFrame& frame : simulator_.take_due(clock_)) {
            inbox_.push_back(std::move(frame));
        }
    }

    MonotonicTime clock_{std::chrono::seconds(1000)};
    Simulator simulator_;
    std::deque<CanFrame> inbox_;
};

MotorConfig motor_config(std::uint16_t motor_id, ControlMode mode, FaultSettings faults = {}) {
    MotorConfig config;
    config.motor_id = motor_id;
    config.master_id = static_cast<std::uint16_t>(0x10 + motor_id);
    config.limits = damiao::MitLimits::dm4310();
    config.initial_mode = mode;
    config.physics = default_params(config.limits);
    config.faults = faults;
    return config;
}

Damiao driver_for(std::uint16_t motor_id) {
    return Damiao::create(motor_id, static_cast<std::uint16_t>(0x10 + motor_id), damiao::MitLimits::dm4310(), 200);
}

template <typename T>
std::string outcome(const damiao::Result<T>& result) {
    return result ? "ok" : damiao::message(result.error());
}

TEST(Simulator, DriverSwitchesToMitAndMovesTheMotorToTarget) {
    VirtualBus bus(BusConfig{{motor_config(1, ControlMode::PosVel)}, 0.0, 1});
    const Damiao motor = driver_for(1);
    ASSERT_EQ(outcome(motor.ensure_control_mode(bus, damiao::mit_mode)), "ok");
    EXPECT_EQ(bus.simulator().motors()[0].mode, ControlMode::Mit);
    const auto enabled = motor.enable(bus);
    ASSERT_TRUE(enabled);
    EXPECT_EQ(enabled->error, 1);
    damiao::Result<damiao::MotorState> state;
    for (int i = 0; i < 150; ++i) {
        state = motor.mit_control(bus, {1.0f, 0.0f, 20.0f, 1.0f, 0.0f});
        ASSERT_TRUE(state) << damiao::message(state.error());
        bus.wait(10ms);
    }
    EXPECT_NEAR(state->position, 1.0f, 0.02f);
    EXPECT_NEAR(state->velocity, 0.0f, 0.05f);
    EXPECT_EQ(state->t_mos, 25);
    const auto disabled = motor.disable(bus);
    ASSERT_TRUE(disabled);
    EXPECT_EQ(disabled->error, 0);
}

TEST(Simulator, EachMotorAnswersOnlyWhatIsAddressedToIt) {
    VirtualBus bus(BusConfig{{motor_config(1, ControlMode::Mit), motor_config(2, ControlMode::Vel)}, 0.0, 1});
    const auto second = driver_for(2).enable(bus);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->motor_id, 2);
    EXPECT_TRUE(bus.simulator().motors()[1].enabled);
    EXPECT_FALSE(bus.simulator().motors()[0].enabled);
    // A velocity command to the MIT motor goes unanswered.
    EXPECT_EQ(outcome(driver_for(1).control(bus, damiao::VelSetpoint{1.0f})),
              "transport error: timeout waiting for frame");
    EXPECT_EQ(outcome(driver_for(2).control(bus, damiao::VelSetpoint{1.0f})), "ok");
}

TEST(Simulator, FaultsShowUpAsTheDriverReportsThem) {
    struct Case {
        const char* name;
        FaultSettings faults;
        std::string enable;      // what enable() returns
        std::string ensure_mit;  // what ensure_control_mode(1) returns
    };
    const auto with = [](auto change) {
        FaultSettings faults;
        change(faults);
        return faults;
    };
    const std::string timeout = "transport error: timeout waiting for frame";
    const Case cases[] = {
        {"none", {}, "ok", "ok"},
        {"drop", with([](FaultSettings& f) { f.drop_probability = 1.0; }), timeout, timeout},
        {"delay", with([](FaultSettings& f) { f.delay = 150ms; }), "ok", "ok"},
        {"late", with([](FaultSettings& f) { f.late = 250ms; }), timeout, timeout},
        {"short", with([](FaultSettings& f) { f.short_probability = 1.0; }),
         "unexpected reply (data did not match register-reply pattern): [17, 127, 255, 127, 247, 255]", timeout},
        {"junk", with([](FaultSettings& f) { f.junk_before_register = true; }), "ok", "ok"},
        {"stubborn", with([](FaultSettings& f) { f.ignore_mode_writes = true; }), "ok",
         "control mode verification failed: wrote 1, motor reports 2"},
        {"fault", with([](FaultSettings& f) { f.fault_code = 8; }), "ok", "ok"},
    };
    for (const Case& c : cases) {
        VirtualBus bus(BusConfig{{motor_config(1, ControlMode::PosVel, c.faults)}, 0.0, 1});
        EXPECT_EQ(outcome(driver_for(1).ensure_control_mode(bus, damiao::mit_mode)), c.ensure_mit) << c.name;
        bus.wait(1s);  // let anything late go by
        EXPECT_EQ(outcome(driver_for(1).enable(bus)), c.enable) << c.name;
    }
}

TEST(Simulator, FaultCodeIsReportedUntilCleared) {
    FaultSettings faults;
    faults.fault_code = 0xE;
    VirtualBus bus(BusConfig{{motor_config(1, ControlMode::Mit, faults)}, 0.0, 1});
    const Damiao motor = driver_for(1);
    const std::pair<damiao::Result<damiao::MotorState> (Damiao::*)(transport::CanTransport&) const, int> steps[] = {
        {&Damiao::enable, 0xE}, {&Damiao::clear_error, 0}, {&Damiao::enable, 1}, {&Damiao::disable, 0}};
    for (const auto& [command, code] : steps) {
        const auto state = (motor.*command)(bus);
        ASSERT_TRUE(state);
        EXPECT_EQ(state->error, code);
    }
}

TEST(Simulator, ALateReplyStillComes) {
    FaultSettings faults;
    faults.late = 500ms;
    VirtualBus bus(BusConfig{{motor_config(1, ControlMode::Mit, faults)}, 0.0, 1});
    const MonotonicTime sent = bus.now();
    EXPECT_EQ(outcome(driver_for(1).enable(bus)), "transport error: timeout waiting for frame");
    const auto late = bus.recv(transport::Duration::from_millis(1000));
    ASSERT_TRUE(late);
    EXPECT_EQ(late->id, transport::CanId::standard(0x11));
    EXPECT_EQ(bus.now() - sent, 500ms);
}

TEST(Simulator, RepliesWaitForTheirTime) {
    FaultSettings faults;
    faults.delay = 30ms;
    const MonotonicTime start{std::chrono::seconds(5)};
    Simulator simulator(BusConfig{{motor_config(1, ControlMode::Mit, faults)}, 0.0, 1}, start);
    const CanFrame enable{transport::CanId::standard(1), std::vector<std::uint8_t>(7, 0xFF), false, false};
    CanFrame command = enable;
    command.data.push_back(0xFC);
    simulator.receive(command, start);
    EXPECT_EQ(simulator.next_due(), start + 30ms);
    EXPECT_TRUE(simulator.take_due(start + 29ms).empty());
    EXPECT_EQ(simulator.take_due(start + 30ms).size(), 1u);
    EXPECT_FALSE(simulator.next_due());
}

TEST(Simulator, FloodKeepsItsRateAndDoesNotBurstAfterAStall) {
    std::vector<MotorConfig> motors{motor_config(1, ControlMode::Mit), motor_config(2, ControlMode::Mit)};
    const auto reserved = reserved_identifiers(motors);
    const MonotonicTime start{std::chrono::seconds(5)};
    Simulator simulator(BusConfig{motors, 1000.0, 1}, start);
    std::size_t frames = 0;
    for (auto t = 1ms; t <= 1000ms; t += 1ms) {
        simulator.tick(start + t);
        for (const CanFrame& frame : simulator.take_due(start + t)) {
            ++frames;
            EXPECT_EQ(std::ranges::count(reserved, frame.id.value), 0);
        }
    }
    EXPECT_NEAR(static_cast<double>(frames), 1000.0, 2.0);
    simulator.tick(start + 10s);
    EXPECT_LE(simulator.take_due(start + 10s).size(), 64u);
}

TEST(Simulator, ReservedIdentifiersCoverEveryMotorsTraffic) {
    auto motor = motor_config(0x7F0, ControlMode::Mit);
    motor.master_id = 0x1811;
    EXPECT_EQ(reserved_identifiers({motor}), (std::vector<std::uint16_t>{0x7FF, 0x7F0, 0x0F0, 0x1F0, 0x2F0, 0x011}));
}

}  // namespace
}  // namespace jointbus::sim
