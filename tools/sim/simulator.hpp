// The whole bus as the simulator sees it: every motor, the replies waiting
// for their time, and the flood. No clock or socket of its own: the caller
// passes the time in and sends what take_due() hands out, so a test can
// drive it frame by frame.
#pragma once

#include <cstdint>
#include <vector>

#include "faults.hpp"
#include "firmware.hpp"
#include "transport/transport.hpp"

namespace jointbus::sim {

struct BusConfig {
    std::vector<MotorConfig> motors;
    double flood_hz = 0.0;  // unrelated frames per second, 0 for none
    std::uint64_t seed = 1;
};

class Simulator {
public:
    Simulator(const BusConfig& config, transport::MonotonicTime start);

    // Every motor the frame addresses acts on it; their replies are queued
    // with the faults applied.
    void receive(const transport::CanFrame& frame, transport::MonotonicTime now);
    // Physics advanced to `now`, flood frames that have come due queued.
    void tick(transport::MonotonicTime now);
    // The queued frames whose time has come, oldest first.
    [[nodiscard]] std::vector<transport::CanFrame> take_due(transport::MonotonicTime now);
    // The next instant something is due (a reply or a flood frame), if any.
    [[nodiscard]] std::optional<transport::MonotonicTime> next_due() const;

    [[nodiscard]] const std::vector<SimMotor>& motors() const noexcept { return motors_; }

private:
    struct Queued {
        transport::MonotonicTime due;
        std::uint64_t order = 0;  // keeps frames due together in the order they were queued
        transport::CanFrame frame;
    };

    void advance_physics(transport::MonotonicTime now);
    void queue_flood(transport::MonotonicTime now);
    void queue(transport::MonotonicTime due, transport::CanFrame frame);
    void answer(std::size_t motor_index, const Request& request, transport::MonotonicTime now);

    std::vector<SimMotor> motors_;
    std::vector<Dice> motor_dice_;
    Dice flood_dice_;
    std::vector<std::uint16_t> reserved_ids_;
    std::chrono::nanoseconds flood_period_{0};
    transport::MonotonicTime next_flood_;
    transport::MonotonicTime physics_time_;
    std::vector<Queued> queue_;
    std::uint64_t queued_count_ = 0;
};

// Identifiers the flood must stay off: every motor's command and reply
// identifiers and the register identifier.
[[nodiscard]] std::vector<std::uint16_t> reserved_identifiers(const std::vector<MotorConfig>& motors);

}  // namespace jointbus::sim
