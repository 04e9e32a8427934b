#include "candump_line.hpp"

#include <array>
#include <optional>
#include <vector>

namespace jointbus::decode {
namespace {

using transport::CanId;

constexpr std::uint32_t error_frame_flag = 0x2000'0000;  // CAN_ERR_FLAG, as candump prints it
constexpr std::size_t classic_max = 8;
constexpr std::size_t fd_max = 64;
constexpr std::size_t max_second_digits = 12;  // keeps the microsecond count far from overflow

using Parsed = std::expected<LoggedFrame, std::string>;

std::optional<std::uint32_t> hex_digit(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return static_cast<std::uint32_t>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<std::uint32_t>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<std::uint32_t>(c - 'A' + 10);
    }
    return std::nullopt;
}

std::optional<std::uint32_t> hex_value(std::string_view text) noexcept {
    std::uint32_t value = 0;
    for (const char c : text) {
        const auto digit = hex_digit(c);
        if (!digit) {
            return std::nullopt;
        }
        value = (value << 4) | *digit;
    }
    return value;
}

bool all_digits(std::string_view text) noexcept {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> split;
    constexpr std::string_view blanks = " \t\r\n";
    for (std::size_t at = line.find_first_not_of(blanks); at != std::string_view::npos;
         at = line.find_first_not_of(blanks, at)) {
        const std::size_t end = std::min(line.find_first_of(blanks, at), line.size());
        split.push_back(line.substr(at, end - at));
        at = end;
    }
    return split;
}

std::expected<std::int64_t, std::string> parse_time(std::string_view text) {
    const auto bad = [&] {
        return std::unexpected("timestamp '" + std::string(text) + "' is not (SECONDS.FRACTION)");
    };
    if (text.size() < 2 || text.front() != '(' || text.back() != ')') {
        return bad();
    }
    const std::string_view inner = text.substr(1, text.size() - 2);
    const std::size_t dot = inner.find('.');
    if (dot == std::string_view::npos) {
        return bad();
    }
    const std::string_view seconds = inner.substr(0, dot);
    const std::string_view fraction = inner.substr(dot + 1);
    if (!all_digits(seconds) || !all_digits(fraction) || seconds.size() > max_second_digits) {
        return bad();
    }
    std::int64_t micros = 0;
    for (const char c : seconds) {
        micros = micros * 10 + (c - '0');
    }
    // Six fraction digits are microseconds; more are cut, fewer padded.
    for (std::size_t i = 0; i < 6; ++i) {
        micros = micros * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
    }
    return micros;
}

std::expected<CanId, std::string> parse_id(std::string_view text) {
    const auto value = hex_value(text);
    if (!value || (text.size() != 3 && text.size() != 8)) {
        return std::unexpected("identifier '" + std::string(text) + "' is neither 3 nor 8 hex digits");
    }
    if (text.size() == 3) {
        if (*value > 0x7FF) {
            return std::unexpected("standard identifier " + std::string(text) + " is above 7FF");
        }
        return CanId::standard(static_cast<std::uint16_t>(*value));
    }
    if (*value > (error_frame_flag | 0x1FFF'FFFFu)) {
        return std::unexpected("extended identifier " + std::string(text) + " is above 3FFFFFFF");
    }
    return CanId::extended(*value);
}

std::expected<std::vector<std::uint8_t>, std::string> parse_data(std::string_view text, std::size_t max) {
    std::vector<std::uint8_t> data;
    for (std::size_t at = 0; at < text.size();) {
        if (text[at] == '.') {
            ++at;
            continue;
        }
        const auto byte = at + 1 < text.size() ? hex_value(text.substr(at, 2)) : std::nullopt;
        if (!byte) {
            return std::unexpected("data '" + std::string(text) + "' is not pairs of hex digits");
        }
        data.push_back(static_cast<std::uint8_t>(*byte));
        at += 2;
    }
    if (data.size() > max) {
        return std::unexpected("data of " + std::to_string(data.size()) + " bytes, more than " + std::to_string(max));
    }
    return data;
}

// What follows the first '#': the payload of a classic, remote or FD frame.
std::optional<std::string> parse_payload(std::string_view text, LoggedFrame& logged) {
    if (text.starts_with("##")) {
        return "CAN XL frames are not decoded";
    }
    if (text.starts_with('#')) {
        const auto flags = text.size() > 1 ? hex_digit(text[1]) : std::nullopt;
        if (!flags) {
            return "CAN FD frame without its flags digit after ##";
        }
        logged.frame.fd = true;
        logged.frame.brs = (*flags & 0x1u) != 0;  // CANFD_BRS
        auto data = parse_data(text.substr(2), fd_max);
        if (!data) {
            return data.error();
        }
        logged.frame.data = std::move(*data);
        return std::nullopt;
    }
    if (text.starts_with('R') || text.starts_with('r')) {
        // An optional length code and raw length code; a remote frame carries no data.
        if (text.size() > 3 || !hex_value(text.substr(1))) {
            return "remote frame '" + std::string(text) + "' is not R[LEN]";
        }
        logged.remote = true;
        return std::nullopt;
    }
    const std::size_t dlc_mark = text.find('_');
    auto data = parse_data(text.substr(0, dlc_mark), classic_max);
    if (!data) {
        return data.error();
    }
    if (dlc_mark != std::string_view::npos && (data->size() != classic_max || text.size() != dlc_mark + 2 ||
                                               !hex_digit(text[dlc_mark + 1]))) {
        return "length code '" + std::string(text.substr(dlc_mark)) + "' not after 8 bytes as _X";
    }
    logged.frame.data = std::move(*data);
    return std::nullopt;
}

std::optional<std::string> parse_frame(std::string_view text, LoggedFrame& logged) {
    const std::size_t hash = text.find('#');
    if (hash == std::string_view::npos) {
        return "frame '" + std::string(text) + "' has no '#'";
    }
    auto id = parse_id(text.substr(0, hash));
    if (!id) {
        return id.error();
    }
    logged.error_frame = id->kind == CanId::Kind::Extended && (id->value & error_frame_flag) != 0;
    id->value &= ~error_frame_flag;
    logged.frame.id = *id;
    logged.text = std::string(text);
    return parse_payload(text.substr(hash + 1), logged);
}

}  // namespace

std::expected<LoggedFrame, std::string> parse_candump_line(std::string_view line) {
    std::vector<std::string_view> fields = words(line);
    if (fields.size() == 4 && (fields[3] == "T" || fields[3] == "R")) {
        fields.pop_back();
    }
    if (fields.size() != 3) {
        return std::unexpected("expected (TIME) INTERFACE FRAME, got " + std::to_string(fields.size()) + " fields");
    }
    LoggedFrame logged;
    auto micros = parse_time(fields[0]);
    if (!micros) {
        return std::unexpected(micros.error());
    }
    logged.micros = *micros;
    logged.time = std::string(fields[0].substr(1, fields[0].size() - 2));
    logged.interface = std::string(fields[1]);
    if (auto problem = parse_frame(fields[2], logged)) {
        return std::unexpected(std::move(*problem));
    }
    return logged;
}

}  // namespace jointbus::decode
