#include "cli.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <istream>
#include <ostream>

#include "format.hpp"

namespace jointbus::decode {
namespace {

constexpr std::string_view usage = R"(Usage: jointbus-decode --motor ID:MASTER:MODEL [--motor ...]... [OPTION]... [FILE]

Decodes a CAN log in the format of `candump -L` (from FILE, or standard input
when FILE is missing or -) into what each frame means to the motors given:
one line per frame, written as soon as its line is read, so it also reads a
live bus:

  candump -L can0 | jointbus-decode --motor 1:0x11:dm4310 --motor 2:0x12:dm8009

Options:
  --motor ID:MASTER:MODEL  a motor on the bus (repeat for each): its id, the
                           identifier it answers on (both 0..65535, decimal or
                           0x hex) and its model, whose limits turn MIT fields
                           and feedback into physical units, one of
%MODELS%
  --only ID                show only this motor's frames and summary (repeat,
                           or ID,ID...)
  --csv                    CSV instead of text, one row per frame after a
                           header line; the summary goes to standard error
  --no-summary             leave out the summary
  -h, --help               print this text and exit

Text output, one line per frame: TIME INTERFACE MOTOR DIRECTION KIND FIELDS
  1700000000.100000 vcan0 motor 1 -> enable
  1700000000.102075 vcan0 motor 1 <- feedback error=1 (enabled) position=-0.0002
      velocity=-0.0073 torque=-0.0024 t_mos=25 t_rotor=25 latency_ms=2.075
  1700000000.200000 vcan0 - ?? raw 123#0102 (no given motor uses this identifier)
  DIRECTION is -> to the motor, <- from it, ?? unknown. KIND is one of enable,
  disable, set_zero, clear_error, mit (q dq kp kd tau), pos_vel (position
  velocity), vel (velocity), force_pos (position velocity_limit torque_ratio),
  read_register (register), write_register (register value), register_reply
  and write_reply (register value), feedback (error position velocity torque
  t_mos t_rotor), in rad, rad/s, N*m and degrees C; or raw: the frame as
  logged and why it was not read (unknown identifier, wrong length, remote,
  CAN FD or extended where the motors use none). A reply to a command waiting
  for one carries latency_ms, the time between the two in the log. Feedback
  error codes: 0 disabled, 1 enabled, 8 over-voltage, 9 under-voltage,
  10 over-current, 11 MOS over-temperature, 12 coil over-temperature, 13 lost
  communication, 14 overload.

CSV columns (empty where a kind has no such value; floats as %.9g):
%COLUMNS%
  direction is command, reply or empty; kind and fields as in the text.

Summary, after the last line:
  motor 1 (dm4310, master 0x11): commands 120, replies 118, missing 2,
    unmatched 0, malformed 0, latency p50 0.412 ms p99 1.230 ms, faults none
  commands: frames the motor takes; replies: feedback and register replies;
  missing: commands with no reply before the motor's next command or the end
  of the log (register writes need none); unmatched: replies with no command
  waiting, as a reply too late for its own command becomes the next one's (no
  sequence numbers); malformed: raw frames on the motor's identifiers;
  latency: nearest-rank percentiles over replies matched to their command;
  faults: feedback frames per fault code.

Lines that are not frames are reported on standard error as
  jointbus-decode: line N: WHAT IS WRONG
and skipped.

Exit status: 0 when every line was read; 1 when some lines were skipped; 2 on
bad arguments or a FILE that cannot be opened.
)";

// The names separated by commas (and spaces if `spaced`), in lines of at
// most 78 columns indented by `indent`.
std::string wrapped(const std::vector<std::string_view>& names, bool spaced, std::size_t indent) {
    constexpr std::size_t width = 78;
    std::string text(indent, ' ');
    std::size_t column = indent;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string piece = std::string(names[i]) + (i + 1 < names.size() ? "," : "");
        const std::size_t gap = (i > 0 && spaced) ? 1 : 0;
        if (i > 0 && column + gap + piece.size() > width) {
            text += "\n" + std::string(indent, ' ');
            column = indent;
        } else if (gap > 0) {
            text += ' ';
            ++column;
        }
        text += piece;
        column += piece.size();
    }
    return text;
}

void replace(std::string& text, std::string_view marker, const std::string& with) {
    text.replace(text.find(marker), marker.size(), with);
}

std::expected<std::vector<Motor>, std::string> parse_motors(const std::vector<std::string>& texts) {
    std::vector<Motor> motors;
    for (const std::string& text : texts) {
        auto motor = parse_motor(text);
        if (!motor) {
            return std::unexpected("--motor " + text + ": " + motor.error());
        }
        motors.push_back(std::move(*motor));
    }
    if (motors.empty()) {
        return std::unexpected("no motor given: add --motor ID:MASTER:MODEL");
    }
    if (auto decoder = Decoder::create(motors); !decoder) {
        return std::unexpected(decoder.error());
    }
    return motors;
}

std::expected<std::vector<std::uint16_t>, std::string> parse_only(const std::vector<std::string>& texts,
                                                                  const std::vector<Motor>& motors) {
    std::vector<std::uint16_t> only;
    for (const std::string& text : texts) {
        const auto id = parse_identifier(text);
        if (!id) {
            return std::unexpected("--only " + text + ": " + id.error());
        }
        if (std::ranges::find(motors, *id, &Motor::id) == motors.end()) {
            return std::unexpected("--only " + text + ": no --motor has that id");
        }
        only.push_back(*id);
    }
    return only;
}

struct RawOptions {
    std::vector<std::string> motors;
    std::vector<std::string> only;
    bool csv = false;
    bool no_summary = false;
    bool help = false;
    std::string input;
};

// CLI11 throws on bad arguments; the message is all that leaves here.
std::expected<RawOptions, std::string> parse_words(const std::vector<std::string>& args) {
    RawOptions raw;
    CLI::App app{"jointbus-decode"};
    app.set_help_flag();
    app.add_option("--motor", raw.motors)->allow_extra_args(false);
    app.add_option("--only", raw.only)->allow_extra_args(false)->delimiter(',');
    app.add_flag("--csv", raw.csv);
    app.add_flag("--no-summary", raw.no_summary);
    app.add_flag("-h,--help", raw.help);
    app.add_option("FILE", raw.input);
    std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& error) {
        return std::unexpected(std::string(error.what()));
    }
    return raw;
}

bool shown(const Options& options, const Event& event) {
    return options.only.empty() ||
           (event.motor != nullptr && std::ranges::find(options.only, event.motor->id) != options.only.end());
}

bool blank(const std::string& line) { return line.find_first_not_of(" \t\r") == std::string::npos; }

}  // namespace

std::string help_text() {
    std::string text(usage);
    std::vector<std::string_view> models;
    for (const auto& preset : damiao::mit_limits_presets) {
        models.push_back(preset.name);
    }
    std::vector<std::string_view> columns;
    const std::string header = csv_header();
    for (std::size_t at = 0; at < header.size();) {
        const std::size_t end = std::min(header.find(',', at), header.size());
        columns.push_back(std::string_view(header).substr(at, end - at));
        at = end + 1;
    }
    replace(text, "%MODELS%", wrapped(models, true, 27));
    replace(text, "%COLUMNS%", wrapped(columns, false, 2));
    return text;
}

std::expected<Options, std::string> parse_options(const std::vector<std::string>& args) {
    auto raw = parse_words(args);
    if (!raw) {
        return std::unexpected(raw.error());
    }
    Options options;
    options.csv = raw->csv;
    options.summary = !raw->no_summary;
    options.input = raw->input;
    options.help = raw->help;
    if (options.help) {
        return options;
    }
    auto motors = parse_motors(raw->motors);
    if (!motors) {
        return std::unexpected(motors.error());
    }
    options.motors = std::move(*motors);
    auto only = parse_only(raw->only, options.motors);
    if (!only) {
        return std::unexpected(only.error());
    }
    options.only = std::move(*only);
    return options;
}

int run(const Options& options, std::istream& in, std::ostream& out, std::ostream& err) {
    Decoder decoder = *Decoder::create(options.motors);
    if (options.csv) {
        out << csv_header() << '\n';
    }
    std::size_t line_number = 0;
    std::size_t bad_lines = 0;
    for (std::string line; std::getline(in, line);) {
        ++line_number;
        if (blank(line)) {
            continue;
        }
        const auto logged = parse_candump_line(line);
        if (!logged) {
            err << "jointbus-decode: line " << line_number << ": " << logged.error() << '\n' << std::flush;
            ++bad_lines;
            continue;
        }
        const Event event = decoder.feed(*logged);
        if (shown(options, event)) {
            out << (options.csv ? csv_row(*logged, event) : text_line(*logged, event)) << '\n' << std::flush;
        }
    }
    decoder.finish();
    if (options.summary) {
        (options.csv ? err : out) << summary_text(decoder, options.only, bad_lines) << std::flush;
    }
    return bad_lines == 0 ? 0 : 1;
}

}  // namespace jointbus::decode
