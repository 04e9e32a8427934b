// Misbehaviour injected on purpose, to show how the driver copes: replies
// lost, late, cut short or preceded by junk, a bus flooded with unrelated
// traffic, a firmware that ignores mode writes or reports a fault. Every
// random choice comes from a seeded generator, so a run can be repeated.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "damiao/mit.hpp"
#include "transport/transport.hpp"

namespace jointbus::sim {

struct FaultSettings {
    double drop_probability = 0.0;            // a reply is not sent at all
    std::chrono::milliseconds delay{0};       // every reply waits this long
    std::chrono::milliseconds late{0};        // a chosen reply waits this much more
    double late_probability = 1.0;            // which replies `late` applies to
    double short_probability = 0.0;           // a reply loses its tail
    bool junk_before_register = false;        // a register reply follows three look-alikes
    bool ignore_mode_writes = false;          // the firmware keeps its mode
    std::optional<std::uint8_t> fault_code;   // latched from start until cleared

    friend bool operator==(const FaultSettings&, const FaultSettings&) = default;
};

// A cut-short reply keeps this many bytes: enough to look like the start of
// a feedback frame, not enough to be decoded as one.
inline constexpr std::size_t short_reply_length = 6;

// The only fault codes a motor reports: 0 and 1 are its disabled/enabled status.
inline constexpr std::uint8_t lowest_fault_code = 0x2;
inline constexpr std::uint8_t highest_fault_code = 0xF;

// A seeded source of yes/no decisions and random bytes. One per motor (and
// one for the flood), so one motor's traffic does not change another's luck.
class Dice {
public:
    explicit Dice(std::uint64_t seed) : engine_(seed) {}
    // True with probability p. Always draws, so the sequence of later
    // decisions does not depend on earlier probabilities.
    [[nodiscard]] bool roll(double probability);
    [[nodiscard]] std::uint32_t below(std::uint32_t bound);
    [[nodiscard]] std::uint8_t byte();

private:
    std::mt19937_64 engine_;
};

// What becomes of one reply: frames sent together once `after` has passed.
// An empty list is a dropped reply.
struct ReplyPlan {
    std::vector<transport::CanFrame> frames;
    std::chrono::milliseconds after{0};
};

// Applies the reply faults to `reply`; `junk` frames (if any) go out just
// before it and are never dropped or cut. Draws the same number of
// decisions whatever the settings.
[[nodiscard]] ReplyPlan plan_reply(transport::CanFrame reply, std::vector<transport::CanFrame> junk,
                                   const FaultSettings& faults, Dice& dice);

// Three frames a careless reader could take for the register reply `reply`,
// all on its identifier: the same marker but another register, the reply
// one byte short, and the motor's feedback frame.
[[nodiscard]] std::vector<transport::CanFrame> register_reply_look_alikes(const transport::CanFrame& reply,
                                                                         const damiao::FrameBytes& feedback);

// An unrelated 8-byte frame on a random standard identifier outside
// `reserved`; its third byte is never the register-read marker, since
// register replies are recognised by content on any identifier. Nothing
// when every identifier is reserved.
[[nodiscard]] std::optional<transport::CanFrame> flood_frame(const std::vector<std::uint16_t>& reserved, Dice& dice);

}  // namespace jointbus::sim
