#include "options.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

namespace jointbus::sim {
namespace {

template <typename T>
using Parsed = std::expected<T, std::string>;
using Applied = Parsed<void>;

constexpr double max_flood_hz = 20000.0;
constexpr std::uint64_t max_millis = 3'600'000;
constexpr double max_inertia = 1000.0;
constexpr double max_friction = 10000.0;
constexpr std::string_view motor_shape = "ID:MASTER:MODEL[:MODE][:SETTING]...";

// Appended piece by piece: GCC 12 at -O3 misreads `"'" + std::string(...)`
// as an overlapping copy and -Werror turns that into a failed build.
std::string quoted(std::string_view text) {
    std::string result;
    result.reserve(text.size() + 2);
    result += '\'';
    result += text;
    result += '\'';
    return result;
}

// The error, if any, with where it was found in front. (GCC 12's
// std::expected has no monadic operations yet.)
template <typename T>
Parsed<T> in_context(Parsed<T> result, std::string_view context) {
    if (!result) {
        return std::unexpected(std::string(context) + ": " + result.error());
    }
    return result;
}

// Stores a parsed value into `field`, or passes the parse error on.
template <typename T, typename Field>
Applied store(const Parsed<T>& parsed, Field& field) {
    if (!parsed) {
        return std::unexpected(parsed.error());
    }
    field = *parsed;
    return {};
}

// Decimal, or hexadecimal after 0x; nothing else, not even a sign.
std::optional<std::uint64_t> unsigned_number(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> finite_number(std::string_view text) {
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

Parsed<double> number_within(std::string_view text, double lowest, double highest, bool lowest_allowed,
                             std::string_view what) {
    const auto value = finite_number(text);
    if (!value || *value > highest || *value < lowest || (!lowest_allowed && *value == lowest)) {
        return std::unexpected("expected " + std::string(what) + ", got " + quoted(text));
    }
    return *value;
}

Parsed<std::uint16_t> identifier(std::string_view text, std::string_view what) {
    const auto value = unsigned_number(text);
    if (!value || *value > 0xFFFF) {
        return std::unexpected(std::string(what) + " must be 0..65535 (decimal or 0x hex), got " + quoted(text));
    }
    return static_cast<std::uint16_t>(*value);
}

Parsed<double> probability(std::string_view text) {
    return number_within(text, 0.0, 1.0, true, "a probability from 0 to 1");
}

Parsed<std::chrono::milliseconds> millis(std::string_view text) {
    const auto value = unsigned_number(text);
    if (!value || *value > max_millis) {
        return std::unexpected("expected milliseconds from 0 to 3600000, got " + quoted(text));
    }
    return std::chrono::milliseconds(static_cast<std::int64_t>(*value));
}

// What a motor's settings can change: its faults and its physics.
struct MotorSettings {
    FaultSettings faults;
    std::optional<float> inertia;
    std::optional<float> viscous_friction;
    std::optional<float> coulomb_friction;
};

Applied set_probability(double& field, std::string_view value) { return store(probability(value), field); }

Applied set_switch(bool& field, std::string_view value) {
    if (value.empty() || value == "on") {
        field = true;
        return {};
    }
    if (value == "off") {
        field = false;
        return {};
    }
    return std::unexpected("expected nothing, 'on' or 'off', got " + quoted(value));
}

Applied set_physical(std::optional<float>& field, std::string_view value, bool zero_allowed, double highest) {
    const std::string what = std::string(zero_allowed ? "a number from 0" : "a number above 0") + " to " +
                             std::to_string(static_cast<int>(highest));
    // Range-checked before the conversion, which is only defined in range.
    const auto number = number_within(value, 0.0, highest, zero_allowed, what);
    if (!number) {
        return std::unexpected(number.error());
    }
    field = static_cast<float>(*number);
    return {};
}

Applied set_drop(MotorSettings& s, std::string_view value) { return set_probability(s.faults.drop_probability, value); }

Applied set_delay(MotorSettings& s, std::string_view value) { return store(millis(value), s.faults.delay); }

// MS or MS@P.
Applied set_late(MotorSettings& s, std::string_view value) {
    const auto at = value.find('@');
    const auto ms = millis(value.substr(0, at));
    if (!ms) {
        return std::unexpected(ms.error());
    }
    const auto chance = at == std::string_view::npos ? Parsed<double>(1.0) : probability(value.substr(at + 1));
    if (!chance) {
        return std::unexpected(chance.error());
    }
    s.faults.late = *ms;
    s.faults.late_probability = *chance;
    return {};
}

Applied set_short(MotorSettings& s, std::string_view value) {
    return set_probability(s.faults.short_probability, value);
}

Applied set_junk(MotorSettings& s, std::string_view value) { return set_switch(s.faults.junk_before_register, value); }

Applied set_ignore_writes(MotorSettings& s, std::string_view value) {
    return set_switch(s.faults.ignore_mode_writes, value);
}

Applied set_fault(MotorSettings& s, std::string_view value) {
    if (value == "none") {
        s.faults.fault_code.reset();
        return {};
    }
    const auto code = unsigned_number(value);
    if (!code || *code < lowest_fault_code || *code > highest_fault_code) {
        return std::unexpected("expected a fault code from 2 to 15 (0x2..0xF) or 'none', got " + quoted(value));
    }
    s.faults.fault_code = static_cast<std::uint8_t>(*code);
    return {};
}

Applied set_inertia(MotorSettings& s, std::string_view value) {
    return set_physical(s.inertia, value, false, max_inertia);
}

Applied set_viscous(MotorSettings& s, std::string_view value) {
    return set_physical(s.viscous_friction, value, true, max_friction);
}

Applied set_coulomb(MotorSettings& s, std::string_view value) {
    return set_physical(s.coulomb_friction, value, true, max_friction);
}

struct Setting {
    std::string_view name;
    bool is_switch = false;   // written bare to turn it on
    bool bus_wide = false;    // also a --flag for every motor
    Applied (*apply)(MotorSettings&, std::string_view value) = nullptr;
};

constexpr std::array<Setting, 10> setting_table{{
    {"drop", false, true, set_drop},
    {"delay", false, true, set_delay},
    {"late", false, true, set_late},
    {"short-reply", false, true, set_short},
    {"junk-before-register", true, true, set_junk},
    {"ignore-mode-writes", true, true, set_ignore_writes},
    {"fault", false, true, set_fault},
    {"inertia", false, false, set_inertia},
    {"friction", false, false, set_viscous},
    {"coulomb", false, false, set_coulomb},
}};

const Setting* find_setting(std::string_view name) {
    const auto* found = std::ranges::find(setting_table, name, &Setting::name);
    return found == setting_table.end() ? nullptr : found;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> fields;
    for (;;) {
        const auto at = text.find(separator);
        fields.push_back(text.substr(0, at));
        if (at == std::string_view::npos) {
            return fields;
        }
        text.remove_prefix(at + 1);
    }
}

std::string model_names() {
    std::string names;
    for (const auto& preset : damiao::mit_limits_presets) {
        names += (names.empty() ? "" : ", ") + std::string(preset.name);
    }
    return names;
}

Parsed<damiao::MitLimits> model_limits(std::string_view name) {
    const auto* found = std::ranges::find(damiao::mit_limits_presets, name, &damiao::MitLimitsPreset::name);
    if (found == damiao::mit_limits_presets.end()) {
        return std::unexpected("unknown model " + quoted(name) + " (one of " + model_names() + ")");
    }
    return found->make();
}

// One SETTING of a --motor argument, NAME or NAME=VALUE.
Applied apply_motor_setting(MotorSettings& motor, std::string_view field) {
    const auto equals = field.find('=');
    const std::string_view name = field.substr(0, equals);
    const std::string_view value = equals == std::string_view::npos ? std::string_view{} : field.substr(equals + 1);
    const Setting* setting = find_setting(name);
    if (setting == nullptr) {
        return std::unexpected("unknown setting " + quoted(field) +
                               " (a mode: mit, pos_vel, vel, force_pos; or see --help)");
    }
    if (!setting->is_switch && equals == std::string_view::npos) {
        return std::unexpected(std::string(name) + " needs a value: " + std::string(name) + "=...");
    }
    return in_context(setting->apply(motor, value), name);
}

MotorConfig motor_config(std::uint16_t motor_id, std::uint16_t master_id, const damiao::MitLimits& limits,
                         ControlMode mode, const MotorSettings& settings) {
    MotorConfig config{motor_id, master_id, limits, mode, default_params(limits), settings.faults};
    config.physics.inertia = settings.inertia.value_or(config.physics.inertia);
    config.physics.viscous_friction = settings.viscous_friction.value_or(config.physics.viscous_friction);
    config.physics.coulomb_friction = settings.coulomb_friction.value_or(config.physics.coulomb_friction);
    return config;
}

Parsed<MotorConfig> parse_motor_fields(const std::vector<std::string_view>& fields, MotorSettings settings) {
    if (fields.size() < 3) {
        return std::unexpected("expected " + std::string(motor_shape));
    }
    const auto motor_id = identifier(fields[0], "motor id");
    const auto master_id = identifier(fields[1], "master id");
    const auto limits = model_limits(fields[2]);
    if (!motor_id || !master_id || !limits) {
        return std::unexpected(!motor_id ? motor_id.error() : !master_id ? master_id.error() : limits.error());
    }
    ControlMode mode = ControlMode::PosVel;
    for (std::size_t i = 3; i < fields.size(); ++i) {
        if (const auto named = control_mode_from_name(fields[i])) {
            mode = *named;
        } else if (auto applied = apply_motor_setting(settings, fields[i]); !applied) {
            return std::unexpected(applied.error());
        }
    }
    return motor_config(*motor_id, *master_id, *limits, mode, settings);
}

Parsed<MotorConfig> parse_motor(std::string_view text, const MotorSettings& bus_wide) {
    return in_context(parse_motor_fields(split(text, ':'), bus_wide), "--motor " + std::string(text));
}

// Everything on the command line, before the motors are read: those
// need the bus-wide settings, whichever order the two came in.
struct Collected {
    std::optional<std::string_view> interface;
    std::vector<std::string_view> motor_arguments;
    MotorSettings bus_wide;
    double flood_hz = 0.0;
    std::uint64_t seed = 1;
};

struct Flag {
    std::string_view name;
    std::optional<std::string_view> inline_value;  // from --name=value
};

Flag split_flag(std::string_view arg) {
    const auto equals = arg.find('=');
    if (equals == std::string_view::npos) {
        return {arg, std::nullopt};
    }
    return {arg.substr(0, equals), arg.substr(equals + 1)};
}

class ArgReader {
public:
    explicit ArgReader(std::span<const std::string_view> args) : args_(args) {}
    [[nodiscard]] bool done() const { return next_ == args_.size(); }
    std::string_view take() { return args_[next_++]; }
    // The flag's value: after '=', or else the next argument.
    Parsed<std::string_view> value_of(const Flag& flag) {
        if (flag.inline_value) {
            return *flag.inline_value;
        }
        if (done()) {
            return std::unexpected(std::string(flag.name) + " needs a value");
        }
        return take();
    }

private:
    std::span<const std::string_view> args_;
    std::size_t next_ = 0;
};

Applied collect_bus_setting(Collected& collected, const Flag& flag, ArgReader& reader) {
    const Setting* setting = find_setting(flag.name.substr(2));
    if (setting == nullptr || !setting->bus_wide) {
        return std::unexpected("unknown option " + quoted(flag.name) + " (see --help)");
    }
    if (setting->is_switch) {
        if (flag.inline_value) {
            return std::unexpected(std::string(flag.name) + " takes no value");
        }
        return setting->apply(collected.bus_wide, {});
    }
    const auto value = reader.value_of(flag);
    if (!value) {
        return std::unexpected(value.error());
    }
    return in_context(setting->apply(collected.bus_wide, *value), flag.name);
}

Applied collect_flood(Collected& collected, const Flag& flag, ArgReader& reader) {
    const auto value = reader.value_of(flag);
    if (!value) {
        return std::unexpected(value.error());
    }
    const auto hz = number_within(*value, 0.0, max_flood_hz, true, "frames per second from 0 to 20000");
    if (!hz) {
        return std::unexpected("--flood: " + hz.error());
    }
    collected.flood_hz = *hz;
    return {};
}

Applied collect_seed(Collected& collected, const Flag& flag, ArgReader& reader) {
    const auto value = reader.value_of(flag);
    if (!value) {
        return std::unexpected(value.error());
    }
    const auto seed = unsigned_number(*value);
    if (!seed) {
        return std::unexpected("--seed: expected a whole number from 0 to 18446744073709551615, got " +
                               quoted(*value));
    }
    collected.seed = *seed;
    return {};
}

Applied collect_flag(Collected& collected, std::string_view arg, ArgReader& reader) {
    const Flag flag = split_flag(arg);
    if (flag.name == "--motor") {
        const auto argument = reader.value_of(flag);
        if (!argument) {
            return std::unexpected(argument.error());
        }
        collected.motor_arguments.push_back(*argument);
        return {};
    }
    if (flag.name == "--flood") {
        return collect_flood(collected, flag, reader);
    }
    if (flag.name == "--seed") {
        return collect_seed(collected, flag, reader);
    }
    if (!flag.name.starts_with("--")) {
        return std::unexpected("unknown option " + quoted(arg) + " (see --help)");
    }
    return collect_bus_setting(collected, flag, reader);
}

Applied collect_interface(Collected& collected, std::string_view arg) {
    if (collected.interface) {
        return std::unexpected("unexpected argument " + quoted(arg) + ": give one CAN interface");
    }
    collected.interface = arg;
    return {};
}

Parsed<Collected> collect(std::span<const std::string_view> args) {
    Collected collected;
    ArgReader reader(args);
    while (!reader.done()) {
        const std::string_view arg = reader.take();
        const bool is_flag = arg.size() > 1 && arg.starts_with('-');
        if (auto applied = is_flag ? collect_flag(collected, arg, reader) : collect_interface(collected, arg);
            !applied) {
            return std::unexpected(applied.error());
        }
    }
    return collected;
}

Parsed<std::vector<MotorConfig>> parse_motors(const Collected& collected) {
    std::vector<MotorConfig> motors;
    for (const std::string_view text : collected.motor_arguments) {
        auto motor = parse_motor(text, collected.bus_wide);
        if (!motor) {
            return std::unexpected(motor.error());
        }
        const bool taken = std::ranges::any_of(
            motors, [&motor](const MotorConfig& other) { return other.motor_id == motor->motor_id; });
        if (taken) {
            return std::unexpected("--motor " + std::string(text) + ": motor id " +
                                   std::to_string(motor->motor_id) + " given twice");
        }
        motors.push_back(*motor);
    }
    return motors;
}

bool asks_for_help(std::span<const std::string_view> args) {
    return std::ranges::any_of(args, [](std::string_view arg) { return arg == "--help" || arg == "-h"; });
}

}  // namespace

// Tokenising stays by hand rather than with CLI11: its defaults (a repeated
// option is an error, a missing value is not, an empty `--name=` takes the
// next argument, a switch takes any value) each need undoing and its
// messages translating back to these, which made the code about as long
// and harder to follow.
std::expected<Options, std::string> parse_options(std::span<const std::string_view> all_args) {
    // Everything after `--` belongs to the command, its own --help included.
    const auto separator = std::ranges::find(all_args, std::string_view{"--"});
    const std::span<const std::string_view> args(all_args.begin(), separator);
    if (asks_for_help(args)) {
        return Options{.interface = {}, .bus = {}, .help = true, .command = {}};
    }
    std::vector<std::string> command;
    if (separator != all_args.end()) {
        command.assign(std::next(separator), all_args.end());
        if (command.empty()) {
            return std::unexpected("'--' needs a command after it, e.g. -- python3 demo.py");
        }
    }
    const auto collected = collect(args);
    if (!collected) {
        return std::unexpected(collected.error());
    }
    if (!collected->interface) {
        return std::unexpected("missing the CAN interface, e.g. vcan0");
    }
    if (collected->motor_arguments.empty()) {
        return std::unexpected("no motor given: add --motor " + std::string(motor_shape));
    }
    auto motors = parse_motors(*collected);
    if (!motors) {
        return std::unexpected(motors.error());
    }
    return Options{std::string(*collected->interface),
                   BusConfig{std::move(*motors), collected->flood_hz, collected->seed}, false, std::move(command)};
}

}  // namespace jointbus::sim
