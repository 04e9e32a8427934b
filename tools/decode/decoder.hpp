// What each logged frame means to the motors on the bus, and what the
// traffic says about each motor: commands, replies, the ones that never
// came, how long the others took, the faults reported.
//
// Command frames are read by the virtual motor's own parser, which rests on
// the core's fixed-point maps, and feedback by the driver's decode_reply, so
// the decoder reads every frame exactly as the two ends of the bus do.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "candump_line.hpp"
#include "damiao/driver.hpp"
#include "protocol.hpp"

namespace jointbus::decode {

struct Motor {
    std::uint16_t id = 0;
    std::uint16_t master = 0;
    std::string model;
    damiao::MitLimits limits;
};

// "ID:MASTER:MODEL", identifiers decimal or 0x hex, MODEL a preset name.
[[nodiscard]] std::expected<Motor, std::string> parse_motor(std::string_view text);
// 0..65535, decimal or 0x hex.
[[nodiscard]] std::expected<std::uint16_t, std::string> parse_identifier(std::string_view text);

// The motor's answer to a register read, or to a write when it sends one.
struct RegisterReply {
    bool to_write = false;
    std::uint8_t register_number = 0;
    std::uint32_t value = 0;
};
// A frame shown as logged, with why it could not be read.
struct Raw {
    std::string reason;
};

using Meaning = std::variant<sim::FixedCommand, damiao::ControlSetpoint, sim::RegisterRead, sim::RegisterWrite,
                             RegisterReply, damiao::MotorState, Raw>;

enum class Direction : std::uint8_t { ToMotor, FromMotor, Unknown };

struct Event {
    const Motor* motor = nullptr;  // none: no given motor sends or takes this identifier
    Direction direction = Direction::Unknown;
    Meaning meaning;
    std::optional<std::int64_t> latency_us;  // a reply to a command waiting for it
};

struct MotorStats {
    std::size_t commands = 0;
    std::size_t replies = 0;
    std::size_t missing = 0;    // commands that got no reply before the next command or the end
    std::size_t unmatched = 0;  // replies with no command waiting for them (late, or unasked)
    std::size_t malformed = 0;  // frames on the motor's identifiers that neither end would read
    std::vector<std::int64_t> latencies_us;
    std::map<std::uint8_t, std::size_t> faults;  // feedback fault code -> frames reporting it
};

class Decoder {
public:
    // Refuses motors whose identifiers overlap: their frames could not be told apart.
    [[nodiscard]] static std::expected<Decoder, std::string> create(std::vector<Motor> motors);

    Event feed(const LoggedFrame& logged);
    // A command still waiting at the end of the log was not answered.
    void finish();

    [[nodiscard]] const std::vector<Motor>& motors() const noexcept { return motors_; }
    [[nodiscard]] const MotorStats& stats(std::size_t motor) const { return stats_[motor]; }
    [[nodiscard]] std::size_t unattributed() const noexcept { return unattributed_; }

private:
    struct Route {
        std::size_t motor = 0;
        std::optional<std::uint16_t> command_base;  // none: the motor's reply identifier
    };
    // The last command to a motor, until its reply comes.
    struct Waiting {
        std::int64_t since = 0;
        std::optional<std::uint8_t> register_marker;  // none: a feedback frame is the answer
        std::uint8_t register_number = 0;
        bool reply_due = true;  // register writes may be answered, but need not be
    };

    explicit Decoder(std::vector<Motor> motors);

    [[nodiscard]] Event decode(const LoggedFrame& logged) const;
    [[nodiscard]] Event decode_register_request(const LoggedFrame& logged) const;
    [[nodiscard]] Event decode_routed(const Route& route, const LoggedFrame& logged) const;
    [[nodiscard]] Meaning decode_reply(std::size_t motor, const transport::CanFrame& frame) const;
    [[nodiscard]] std::size_t index_of(const Event& event) const noexcept;
    void track_command(std::size_t motor, const Meaning& meaning, std::int64_t micros);
    void track_reply(std::size_t motor, Event& event, std::int64_t micros);

    std::vector<Motor> motors_;
    std::vector<MotorStats> stats_;
    std::vector<std::optional<Waiting>> waiting_;
    std::map<std::uint32_t, Route> routes_;  // standard identifier -> whose, and which frame
    std::size_t unattributed_ = 0;
};

}  // namespace jointbus::decode
