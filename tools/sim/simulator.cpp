#include "simulator.hpp"

#include <algorithm>

namespace jointbus::sim {
namespace {

using transport::CanFrame;
using transport::MonotonicTime;

// A flood that fell behind (a stalled process) sends at most this many
// frames at once and then resumes its rate, instead of bursting to catch up.
constexpr int max_flood_burst = 64;

// Each motor draws from its own stream, derived from the seed and its place
// on the command line; the flood's stream comes after them.
std::uint64_t stream_seed(std::uint64_t seed, std::size_t stream) noexcept {
    return seed * 0x9E3779B97F4A7C15ull + stream;
}

std::chrono::nanoseconds period_of(double hz) noexcept {
    if (!(hz > 0.0)) {
        return std::chrono::nanoseconds{0};
    }
    // Options cap the rate, so the period is at least 50 us; a rate too low
    // to matter is held to one frame a day, so the count fits its type.
    constexpr double one_day = 86400e9;
    return std::chrono::nanoseconds(static_cast<std::int64_t>(std::min(1e9 / hz, one_day)));
}

}  // namespace

std::vector<std::uint16_t> reserved_identifiers(const std::vector<MotorConfig>& motors) {
    std::vector<std::uint16_t> reserved{register_frame_id};
    for (const MotorConfig& motor : motors) {
        for (const std::uint16_t base : {mit_base, pos_vel_base, vel_base, force_pos_base}) {
            reserved.push_back(command_id(motor.motor_id, base));
        }
        reserved.push_back(static_cast<std::uint16_t>(reply_id(motor.master_id).value));
    }
    return reserved;
}

Simulator::Simulator(const BusConfig& config, MonotonicTime start)
    : flood_dice_(stream_seed(config.seed, config.motors.size())),
      reserved_ids_(reserved_identifiers(config.motors)),
      flood_period_(period_of(config.flood_hz)),
      next_flood_(start),
      physics_time_(start) {
    for (std::size_t i = 0; i < config.motors.size(); ++i) {
        motors_.push_back(make_motor(config.motors[i]));
        motor_dice_.emplace_back(stream_seed(config.seed, i));
    }
}

void Simulator::receive(const CanFrame& frame, MonotonicTime now) {
    // The state a reply reports is the state at the moment the command came.
    advance_physics(now);
    for (std::size_t i = 0; i < motors_.size(); ++i) {
        const MotorConfig& config = motors_[i].config;
        if (const auto request = parse_request(frame, config.motor_id, config.limits)) {
            answer(i, *request, now);
        }
    }
}

void Simulator::answer(std::size_t motor_index, const Request& request, MonotonicTime now) {
    SimMotor& motor = motors_[motor_index];
    auto reply = respond(motor, request);
    if (!reply) {
        return;
    }
    std::vector<CanFrame> junk;
    if (std::holds_alternative<RegisterRead>(request) && motor.config.faults.junk_before_register) {
        junk = register_reply_look_alikes(*reply, feedback_bytes(motor));
    }
    ReplyPlan plan = plan_reply(std::move(*reply), std::move(junk), motor.config.faults, motor_dice_[motor_index]);
    for (CanFrame& frame : plan.frames) {
        queue(now + plan.after, std::move(frame));
    }
}

void Simulator::tick(MonotonicTime now) {
    advance_physics(now);
    queue_flood(now);
}

void Simulator::advance_physics(MonotonicTime now) {
    if (now <= physics_time_) {
        return;
    }
    for (SimMotor& motor : motors_) {
        advance_time(motor.physics, now - physics_time_);
    }
    physics_time_ = now;
}

void Simulator::queue_flood(MonotonicTime now) {
    if (flood_period_.count() == 0) {
        return;
    }
    for (int sent = 0; next_flood_ <= now && sent < max_flood_burst; ++sent) {
        if (auto frame = flood_frame(reserved_ids_, flood_dice_)) {
            queue(next_flood_, std::move(*frame));
        }
        next_flood_ += flood_period_;
    }
    if (next_flood_ <= now) {
        next_flood_ = now + flood_period_;
    }
}

void Simulator::queue(MonotonicTime due, CanFrame frame) {
    Queued entry{due, queued_count_++, std::move(frame)};
    const auto later = std::ranges::upper_bound(queue_, std::pair(entry.due, entry.order), std::less{},
                                                [](const Queued& q) { return std::pair(q.due, q.order); });
    queue_.insert(later, std::move(entry));
}

std::vector<CanFrame> Simulator::take_due(MonotonicTime now) {
    const auto first_pending = std::ranges::find_if(queue_, [now](const Queued& q) { return q.due > now; });
    std::vector<CanFrame> due;
    for (auto it = queue_.begin(); it != first_pending; ++it) {
        due.push_back(std::move(it->frame));
    }
    queue_.erase(queue_.begin(), first_pending);
    return due;
}

std::optional<MonotonicTime> Simulator::next_due() const {
    std::optional<MonotonicTime> next;
    if (!queue_.empty()) {
        next = queue_.front().due;
    }
    if (flood_period_.count() != 0 && (!next || next_flood_ < *next)) {
        next = next_flood_;
    }
    return next;
}

}  // namespace jointbus::sim
