#include "faults.hpp"

#include <algorithm>

#include "protocol.hpp"

namespace jointbus::sim {
namespace {

constexpr std::uint32_t standard_id_count = 0x800;
// Random draws before falling back to a scan; with a handful of motors
// almost every draw is free.
constexpr int flood_id_draws = 16;

bool is_reserved(std::uint16_t id, const std::vector<std::uint16_t>& reserved) {
    return std::ranges::find(reserved, id) != reserved.end();
}

std::optional<std::uint16_t> free_id(const std::vector<std::uint16_t>& reserved, Dice& dice) {
    for (int draw = 0; draw < flood_id_draws; ++draw) {
        const auto id = static_cast<std::uint16_t>(dice.below(standard_id_count));
        if (!is_reserved(id, reserved)) {
            return id;
        }
    }
    for (std::uint16_t id = 0; id < standard_id_count; ++id) {
        if (!is_reserved(id, reserved)) {
            return id;
        }
    }
    return std::nullopt;
}

}  // namespace

bool Dice::roll(double probability) {
    // 53 random bits as a double in [0, 1): the same sequence on every
    // platform, unlike the standard distributions.
    const double draw = static_cast<double>(engine_() >> 11) * 0x1.0p-53;
    return draw < probability;
}

std::uint32_t Dice::below(std::uint32_t bound) {
    return bound == 0 ? 0 : static_cast<std::uint32_t>(engine_() % bound);
}

std::uint8_t Dice::byte() { return static_cast<std::uint8_t>(engine_() & 0xFFu); }

ReplyPlan plan_reply(transport::CanFrame reply, std::vector<transport::CanFrame> junk, const FaultSettings& faults,
                     Dice& dice) {
    const bool dropped = dice.roll(faults.drop_probability);
    const bool late = dice.roll(faults.late_probability) && faults.late.count() > 0;
    const bool cut = dice.roll(faults.short_probability);
    ReplyPlan plan{std::move(junk), faults.delay + (late ? faults.late : std::chrono::milliseconds{0})};
    if (dropped) {
        return plan;
    }
    if (cut && reply.data.size() > short_reply_length) {
        reply.data.resize(short_reply_length);
    }
    plan.frames.push_back(std::move(reply));
    return plan;
}

std::vector<transport::CanFrame> register_reply_look_alikes(const transport::CanFrame& reply,
                                                           const damiao::FrameBytes& feedback) {
    transport::CanFrame other_register = reply;
    other_register.data.at(3) = static_cast<std::uint8_t>(reply.data.at(3) + 1);
    transport::CanFrame one_byte_short = reply;
    one_byte_short.data.pop_back();
    transport::CanFrame feedback_frame = reply;
    feedback_frame.data.assign(feedback.begin(), feedback.end());
    return {other_register, one_byte_short, feedback_frame};
}

std::optional<transport::CanFrame> flood_frame(const std::vector<std::uint16_t>& reserved, Dice& dice) {
    const auto id = free_id(reserved, dice);
    if (!id) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> data(8);
    std::ranges::generate(data, [&dice] { return dice.byte(); });
    if (data[2] == register_read_marker) {
        data[2] = static_cast<std::uint8_t>(register_read_marker + 1);
    }
    return transport::CanFrame{transport::CanId::standard(*id), std::move(data), false, false};
}

}  // namespace jointbus::sim
