#include "format.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>

namespace jointbus::decode {
namespace {

template <typename... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
// Clang before 17 deduces no aggregate's template arguments on its own.
template <typename... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

// A float is a physical value; an integer a count or code; text is shown as is.
using Value = std::variant<float, std::uint32_t, std::string>;

struct Field {
    std::string_view name;  // also the CSV column it goes in
    Value value;
    std::string note = {};  // text output only: what a code means
};

struct Described {
    std::string_view kind;
    std::vector<Field> fields;
};

// The CSV columns, in order; a Field's name says which it goes in.
constexpr std::array<std::string_view, 23> columns{
    "time",     "interface", "motor",  "direction",      "kind",          // every row
    "q",        "dq",        "kp",     "kd",             "tau",           // mit
    "position", "velocity",  "torque", "velocity_limit", "torque_ratio",  // feedback and the other modes
    "error",    "t_mos",     "t_rotor",                                   // feedback
    "register", "value",                                                  // register access
    "latency_ms", "frame",   "reason",                                    // replies; every row; raw
};

std::string printed(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string ms_text(std::int64_t micros) { return printed("%.3f", static_cast<double>(micros) / 1000.0); }

std::string text_number(float value) {
    std::string text = printed("%.4f", static_cast<double>(value));
    return text == "-0.0000" ? "0.0000" : text;  // a sign on zero only confuses
}

std::string value_text(const Value& value, bool for_csv) {
    return std::visit(Overloaded{
                          [&](float number) {
                              return for_csv ? printed("%.9g", static_cast<double>(number)) : text_number(number);
                          },
                          [](std::uint32_t number) { return std::to_string(number); },
                          [](const std::string& text) { return text; },
                      },
                      value);
}

std::string_view fixed_command_name(sim::FixedCommand command) noexcept {
    switch (command) {
        case sim::FixedCommand::Enable:
            return "enable";
        case sim::FixedCommand::Disable:
            return "disable";
        case sim::FixedCommand::SetZero:
            return "set_zero";
        default:
            return "clear_error";
    }
}

Field register_value(std::uint8_t register_number, std::uint32_t bits) {
    const auto* info = std::ranges::find(damiao::register_table, register_number, &damiao::RegisterInfo::number);
    if (info == damiao::register_table.end()) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08X", bits);
        return {"value", bits, hex};
    }
    if (info->type == damiao::RegisterType::Float) {
        return {"value", std::bit_cast<float>(bits)};
    }
    const auto mode = register_number == damiao::control_mode_register ? sim::control_mode_from_number(bits)
                                                                       : std::nullopt;
    return {"value", bits, mode ? std::string(sim::name_of(*mode)) : std::string()};
}

Described describe_setpoint(const damiao::ControlSetpoint& setpoint) {
    return std::visit(Overloaded{
                          [](const damiao::MitSetpoint& s) {
                              return Described{"mit",
                                               {{"q", s.q}, {"dq", s.dq}, {"kp", s.kp}, {"kd", s.kd}, {"tau", s.tau}}};
                          },
                          [](const damiao::PosVelSetpoint& s) {
                              return Described{"pos_vel", {{"position", s.position}, {"velocity", s.velocity}}};
                          },
                          [](const damiao::VelSetpoint& s) { return Described{"vel", {{"velocity", s.velocity}}}; },
                          [](const damiao::ForcePosSetpoint& s) {
                              return Described{"force_pos",
                                               {{"position", s.position},
                                                {"velocity_limit", s.velocity_limit},
                                                {"torque_ratio", s.torque_ratio}}};
                          },
                      },
                      setpoint);
}

Described describe_state(const damiao::MotorState& state) {
    return {"feedback",
            {{"error", std::uint32_t{state.error}, std::string(status_name(state.error))},
             {"position", state.position},
             {"velocity", state.velocity},
             {"torque", state.torque},
             {"t_mos", std::uint32_t{state.t_mos}},
             {"t_rotor", std::uint32_t{state.t_rotor}}}};
}

Described describe(const Event& event) {
    Described described = std::visit(
        Overloaded{
            [](sim::FixedCommand command) { return Described{fixed_command_name(command), {}}; },
            [](const damiao::ControlSetpoint& setpoint) { return describe_setpoint(setpoint); },
            [](const sim::RegisterRead& read) {
                return Described{"read_register", {{"register", std::uint32_t{read.register_number}}}};
            },
            [](const sim::RegisterWrite& write) {
                return Described{"write_register", {{"register", std::uint32_t{write.register_number}},
                                                    register_value(write.register_number, write.value)}};
            },
            [](const RegisterReply& reply) {
                return Described{reply.to_write ? "write_reply" : "register_reply",
                                 {{"register", std::uint32_t{reply.register_number}},
                                  register_value(reply.register_number, reply.value)}};
            },
            [](const damiao::MotorState& state) { return describe_state(state); },
            [](const Raw&) { return Described{"raw", {}}; },
        },
        event.meaning);
    if (event.latency_us) {
        described.fields.push_back({"latency_ms", ms_text(*event.latency_us)});
    }
    return described;
}

std::string csv_cell(std::string text) {
    if (text.find_first_of(",\"\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

void put(std::array<std::string, columns.size()>& cells, std::string_view column, std::string text) {
    cells[static_cast<std::size_t>(std::ranges::find(columns, column) - columns.begin())] = std::move(text);
}

std::string latency_text(const MotorStats& stats) {
    if (stats.latencies_us.empty()) {
        return "latency -";
    }
    return "latency p50 " + ms_text(percentile(stats.latencies_us, 50)) + " ms p99 " +
           ms_text(percentile(stats.latencies_us, 99)) + " ms";
}

std::string faults_text(const MotorStats& stats) {
    std::string text;
    for (const auto& [code, frames] : stats.faults) {
        text += (text.empty() ? "" : ", ") + std::to_string(code) + " (" + std::string(status_name(code)) + ") x" +
                std::to_string(frames);
    }
    return text.empty() ? "none" : text;
}

std::string motor_summary(const Motor& motor, const MotorStats& stats) {
    char head[96];
    std::snprintf(head, sizeof head, "  motor %u (%s, master 0x%X): ", unsigned{motor.id}, motor.model.c_str(),
                  unsigned{motor.master});
    return head + ("commands " + std::to_string(stats.commands) + ", replies " + std::to_string(stats.replies) +
                   ", missing " + std::to_string(stats.missing) + ", unmatched " + std::to_string(stats.unmatched) +
                   ", malformed " + std::to_string(stats.malformed) + ", " + latency_text(stats) + ", faults " +
                   faults_text(stats) + "\n");
}

}  // namespace

std::string_view status_name(std::uint8_t code) noexcept {
    switch (code) {
        case 0x0:
            return "disabled";
        case 0x1:
            return "enabled";
        case 0x8:
            return "over-voltage";
        case 0x9:
            return "under-voltage";
        case 0xA:
            return "over-current";
        case 0xB:
            return "MOS over-temperature";
        case 0xC:
            return "coil over-temperature";
        case 0xD:
            return "lost communication";
        case 0xE:
            return "overload";
        default:
            return "unknown";
    }
}

std::string text_line(const LoggedFrame& logged, const Event& event) {
    constexpr std::array<std::string_view, 3> arrows{"->", "<-", "??"};
    std::string line = logged.time + " " + logged.interface + " " +
                       (event.motor ? "motor " + std::to_string(event.motor->id) : std::string("-")) + " " +
                       std::string(arrows[static_cast<std::size_t>(event.direction)]);
    const Described described = describe(event);
    line += " " + std::string(described.kind);
    for (const Field& field : described.fields) {
        line += " " + std::string(field.name) + "=" + value_text(field.value, false);
        line += field.note.empty() ? "" : " (" + field.note + ")";
    }
    if (const auto* raw = std::get_if<Raw>(&event.meaning)) {
        line += " " + logged.text + " (" + raw->reason + ")";
    }
    return line;
}

std::string csv_header() {
    std::string header;
    for (const std::string_view column : columns) {
        header += (header.empty() ? "" : ",") + std::string(column);
    }
    return header;
}

std::string csv_row(const LoggedFrame& logged, const Event& event) {
    constexpr std::array<std::string_view, 3> directions{"command", "reply", ""};
    std::array<std::string, columns.size()> cells;
    const Described described = describe(event);
    put(cells, "time", logged.time);
    put(cells, "interface", logged.interface);
    put(cells, "motor", event.motor ? std::to_string(event.motor->id) : "");
    put(cells, "direction", std::string(directions[static_cast<std::size_t>(event.direction)]));
    put(cells, "kind", std::string(described.kind));
    for (const Field& field : described.fields) {
        put(cells, field.name, value_text(field.value, true));
    }
    put(cells, "frame", logged.text);
    if (const auto* raw = std::get_if<Raw>(&event.meaning)) {
        put(cells, "reason", raw->reason);
    }
    std::string row;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        row += (i == 0 ? "" : ",") + csv_cell(std::move(cells[i]));
    }
    return row;
}

std::int64_t percentile(std::vector<std::int64_t> values, unsigned percent) {
    std::ranges::sort(values);
    const std::size_t rank = std::max<std::size_t>((percent * values.size() + 99) / 100, 1);
    return values[rank - 1];
}

std::string summary_text(const Decoder& decoder, std::span<const std::uint16_t> only, std::size_t bad_lines) {
    std::string text = "summary\n";
    for (std::size_t i = 0; i < decoder.motors().size(); ++i) {
        const Motor& motor = decoder.motors()[i];
        if (only.empty() || std::ranges::find(only, motor.id) != only.end()) {
            text += motor_summary(motor, decoder.stats(i));
        }
    }
    return text + "  unattributed frames " + std::to_string(decoder.unattributed()) + ", bad lines " +
           std::to_string(bad_lines) + "\n";
}

}  // namespace jointbus::decode
