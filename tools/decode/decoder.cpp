#include "decoder.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>

namespace jointbus::decode {
namespace {

using transport::CanFrame;
using transport::CanId;

struct CommandKind {
    std::uint16_t base = 0;
    std::size_t min_length = 8;  // what the motor's parser insists on
};
constexpr std::array<CommandKind, 4> command_kinds{{
    {sim::mit_base, 8},
    {sim::pos_vel_base, 8},
    {sim::vel_base, 4},  // the motor reads only the velocity
    {sim::force_pos_base, 8},
}};

std::string_view command_name(std::uint16_t base) noexcept {
    return sim::name_of(static_cast<sim::ControlMode>(base / 0x100 + 1));
}

std::string hex_byte(std::uint32_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

std::string hex_id(std::uint32_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%03X", value);
    return text;
}

std::string length_text(const CanFrame& frame) {
    return std::to_string(frame.data.size()) + (frame.data.size() == 1 ? " byte" : " bytes");
}

std::uint32_t u32_le(const std::vector<std::uint8_t>& data, std::size_t offset) noexcept {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= std::uint32_t{data[offset + i]} << (8 * i);
    }
    return value;
}

// Frames neither end of this protocol sends: it is all classic data frames
// on standard identifiers.
std::optional<std::string> odd_form(const LoggedFrame& logged) {
    if (logged.remote) {
        return "remote frame";
    }
    if (logged.frame.fd) {
        return "CAN FD frame";
    }
    if (logged.frame.id.kind == CanId::Kind::Extended) {
        return "extended identifier";
    }
    return std::nullopt;
}

Meaning meaning_of(const sim::Request& request) {
    return std::visit(
        [](const auto& alternative) -> Meaning {
            if constexpr (std::is_same_v<std::decay_t<decltype(alternative)>, sim::ControlCommand>) {
                return alternative.setpoint;
            } else {
                return alternative;
            }
        },
        request);
}

std::string role_text(const Motor& motor, std::optional<std::uint16_t> command_base) {
    const std::string who = "motor " + std::to_string(motor.id) + "'s ";
    return command_base ? who + std::string(command_name(*command_base)) + " commands" : who + "replies";
}

}  // namespace

std::expected<std::uint16_t, std::string> parse_identifier(std::string_view text) {
    const bool hex = text.starts_with("0x") || text.starts_with("0X");
    const std::string_view digits = hex ? text.substr(2) : text;
    unsigned long value = 0;
    const auto [end, status] = std::from_chars(digits.data(), digits.data() + digits.size(), value, hex ? 16 : 10);
    if (digits.empty() || status != std::errc{} || end != digits.data() + digits.size()) {
        return std::unexpected("'" + std::string(text) + "' is not a number (decimal or 0x hex)");
    }
    if (value > 0xFFFF) {
        return std::unexpected("'" + std::string(text) + "' is above 65535");
    }
    return static_cast<std::uint16_t>(value);
}

std::expected<Motor, std::string> parse_motor(std::string_view text) {
    const std::size_t first = text.find(':');
    const std::size_t second = first == std::string_view::npos ? first : text.find(':', first + 1);
    if (second == std::string_view::npos || text.find(':', second + 1) != std::string_view::npos) {
        return std::unexpected("expected ID:MASTER:MODEL");
    }
    const auto id = parse_identifier(text.substr(0, first));
    const auto master = parse_identifier(text.substr(first + 1, second - first - 1));
    if (!id || !master) {
        return std::unexpected(id ? master.error() : id.error());
    }
    const std::string_view model = text.substr(second + 1);
    const auto* preset = std::ranges::find(damiao::mit_limits_presets, model, &damiao::MitLimitsPreset::name);
    if (preset == damiao::mit_limits_presets.end()) {
        std::string names;
        for (const auto& known : damiao::mit_limits_presets) {
            names += (names.empty() ? "" : ", ") + std::string(known.name);
        }
        return std::unexpected("unknown model '" + std::string(model) + "' (one of " + names + ")");
    }
    return Motor{*id, *master, std::string(model), preset->make()};
}

Decoder::Decoder(std::vector<Motor> motors)
    : motors_(std::move(motors)), stats_(motors_.size()), waiting_(motors_.size()) {}

std::expected<Decoder, std::string> Decoder::create(std::vector<Motor> motors) {
    Decoder decoder(std::move(motors));
    for (std::size_t i = 0; i < decoder.motors_.size(); ++i) {
        const Motor& motor = decoder.motors_[i];
        if (std::ranges::count(decoder.motors_, motor.id, &Motor::id) > 1) {
            return std::unexpected("motor " + std::to_string(motor.id) + " is given twice");
        }
        std::vector<std::pair<std::uint32_t, Route>> routes{{sim::reply_id(motor.master).value, Route{i, {}}}};
        for (const CommandKind& kind : command_kinds) {
            routes.push_back({sim::command_id(motor.id, kind.base), Route{i, kind.base}});
        }
        for (const auto& [id, route] : routes) {
            const auto [taken, added] = decoder.routes_.emplace(id, route);
            if (!added) {
                const Route& other = taken->second;
                return std::unexpected("identifier " + hex_id(id) + " carries both " +
                                       role_text(decoder.motors_[other.motor], other.command_base) + " and " +
                                       role_text(motor, route.command_base) + ": they could not be told apart");
            }
        }
    }
    return decoder;
}

Event Decoder::decode_register_request(const LoggedFrame& logged) const {
    const auto raw = [](std::string reason) { return Event{nullptr, Direction::ToMotor, Raw{std::move(reason)}, {}}; };
    if (auto why = odd_form(logged)) {
        return raw(std::move(*why));
    }
    const CanFrame& frame = logged.frame;
    if (frame.data.size() != 8) {
        return raw(length_text(frame) + ": a register request needs 8");
    }
    const std::uint8_t marker = frame.data[2];
    if (marker != sim::register_read_marker && marker != sim::register_write_marker) {
        return raw("register marker " + hex_byte(marker) + " is neither read (0x33) nor write (0x55)");
    }
    const auto motor_id = static_cast<std::uint16_t>(frame.data[0] | (frame.data[1] << 8));
    const auto motor = std::ranges::find(motors_, motor_id, &Motor::id);
    if (motor == motors_.end()) {
        return raw("register request for motor " + std::to_string(motor_id) + ", not given with --motor");
    }
    const auto request = sim::parse_request(frame, motor_id, motor->limits);
    if (!request) {
        return raw("not a register request");
    }
    return Event{&*motor, Direction::ToMotor, meaning_of(*request), {}};
}

Meaning Decoder::decode_reply(std::size_t motor, const CanFrame& frame) const {
    if (frame.data.size() != 8) {
        return Raw{length_text(frame) + ": feedback needs 8"};
    }
    // Register replies are told from feedback by content, as the driver does,
    // and only while that register's request waits, as feedback can share it.
    const auto& waiting = waiting_[motor];
    if (waiting && waiting->register_marker == frame.data[2] && waiting->register_number == frame.data[3]) {
        return RegisterReply{frame.data[2] == sim::register_write_marker, frame.data[3], u32_le(frame.data, 4)};
    }
    const Motor& owner = motors_[motor];
    const auto state = damiao::Damiao{owner.id, owner.master, owner.limits, {}}.decode_reply(frame);
    if (!state) {
        return Raw{damiao::message(state.error())};
    }
    return *state;
}

Event Decoder::decode_routed(const Route& route, const LoggedFrame& logged) const {
    const Motor& motor = motors_[route.motor];
    const Direction direction = route.command_base ? Direction::ToMotor : Direction::FromMotor;
    const auto event = [&](Meaning meaning) { return Event{&motor, direction, std::move(meaning), {}}; };
    if (auto why = odd_form(logged)) {
        return event(Raw{std::move(*why)});
    }
    if (!route.command_base) {
        return event(decode_reply(route.motor, logged.frame));
    }
    const auto* kind = std::ranges::find(command_kinds, *route.command_base, &CommandKind::base);
    if (logged.frame.data.size() < kind->min_length) {
        return event(Raw{length_text(logged.frame) + ": a " + std::string(command_name(kind->base)) +
                         " command needs " + std::to_string(kind->min_length)});
    }
    const auto request = sim::parse_request(logged.frame, motor.id, motor.limits);
    return event(request ? meaning_of(*request) : Raw{"not a command the motor takes"});
}

Event Decoder::decode(const LoggedFrame& logged) const {
    if (logged.error_frame) {
        return Event{nullptr, Direction::Unknown, Raw{"CAN error frame"}, {}};
    }
    const CanFrame& frame = logged.frame;
    const bool standard = frame.id.kind == CanId::Kind::Standard;
    const auto route = routes_.find(frame.id.value);
    // The register identifier comes first, as on the motor; a motor whose own
    // identifier is also 0x7FF still gets what is not a register request.
    if (standard && frame.id.value == sim::register_frame_id) {
        Event event = decode_register_request(logged);
        if (!std::holds_alternative<Raw>(event.meaning) || route == routes_.end()) {
            return event;
        }
    }
    if (route == routes_.end()) {
        const char* reason =
            standard ? "no given motor uses this identifier" : "extended identifier, no given motor uses it";
        return Event{nullptr, Direction::Unknown, Raw{reason}, {}};
    }
    return decode_routed(route->second, logged);
}

std::size_t Decoder::index_of(const Event& event) const noexcept {
    return static_cast<std::size_t>(event.motor - motors_.data());
}

void Decoder::track_command(std::size_t motor, const Meaning& meaning, std::int64_t micros) {
    MotorStats& stats = stats_[motor];
    ++stats.commands;
    if (waiting_[motor] && waiting_[motor]->reply_due) {
        ++stats.missing;
    }
    Waiting next{.since = micros, .register_marker = std::nullopt};
    if (const auto* read = std::get_if<sim::RegisterRead>(&meaning)) {
        next.register_marker = sim::register_read_marker;
        next.register_number = read->register_number;
    } else if (const auto* write = std::get_if<sim::RegisterWrite>(&meaning)) {
        next.register_marker = sim::register_write_marker;
        next.register_number = write->register_number;
        next.reply_due = false;
    }
    waiting_[motor] = next;
}

void Decoder::track_reply(std::size_t motor, Event& event, std::int64_t micros) {
    MotorStats& stats = stats_[motor];
    ++stats.replies;
    // 0 is disabled and 1 enabled; every other status is a fault code.
    if (const auto* state = std::get_if<damiao::MotorState>(&event.meaning); state && state->error > 1) {
        ++stats.faults[state->error];
    }
    auto& waiting = waiting_[motor];
    const bool is_register = std::holds_alternative<RegisterReply>(event.meaning);
    if (!waiting || waiting->register_marker.has_value() != is_register) {
        ++stats.unmatched;
        return;
    }
    event.latency_us = micros - waiting->since;
    stats.latencies_us.push_back(*event.latency_us);
    waiting.reset();
}

Event Decoder::feed(const LoggedFrame& logged) {
    Event event = decode(logged);
    if (event.motor == nullptr) {
        ++unattributed_;
        return event;
    }
    const std::size_t motor = index_of(event);
    if (std::holds_alternative<Raw>(event.meaning)) {
        ++stats_[motor].malformed;
    } else if (event.direction == Direction::ToMotor) {
        track_command(motor, event.meaning, logged.micros);
    } else {
        track_reply(motor, event, logged.micros);
    }
    return event;
}

void Decoder::finish() {
    for (std::size_t motor = 0; motor < motors_.size(); ++motor) {
        if (waiting_[motor] && waiting_[motor]->reply_due) {
            ++stats_[motor].missing;
        }
        waiting_[motor].reset();
    }
}

}  // namespace jointbus::decode
