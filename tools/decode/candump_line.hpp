// One line of a `candump -L` log, taken apart: when, on which interface,
// and the frame, kept both as the core's CanFrame and as the text logged.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "transport/transport.hpp"

namespace jointbus::decode {

struct LoggedFrame {
    std::string time;         // as logged, without the parentheses: "1700000000.123456"
    std::int64_t micros = 0;  // the same instant in microseconds, for latencies
    std::string interface;
    std::string text;  // the frame as logged, "011#FC00..."
    transport::CanFrame frame;
    bool remote = false;       // a remote request: no data, whatever its length code said
    bool error_frame = false;  // the controller's error report, not a frame anyone sent
};

// Takes `(SECONDS.FRACTION) INTERFACE FRAME`, with the frame as candump
// writes it: ID#HEX (3 hex digits standard, 8 extended), ID#R[LEN], ID##FLAGSHEX
// for CAN FD, an optional _DLC after 8 classic bytes, and optional '.'
// between bytes as canplayer allows; one trailing T or R (candump -x) is
// ignored. The error says what is wrong, without the line number.
[[nodiscard]] std::expected<LoggedFrame, std::string> parse_candump_line(std::string_view line);

}  // namespace jointbus::decode
