// The command line: what bus, which motors, which faults. Parsing is pure
// and reports the first problem as one line of text for the user.
#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "simulator.hpp"

namespace jointbus::sim {

struct Options {
    std::string interface;
    BusConfig bus;
    bool help = false;  // --help was given: nothing else was looked at
    // After `--`: a program and its arguments to run while the motors
    // serve; empty when none was given.
    std::vector<std::string> command;
};

// Parses the arguments after the program name.
[[nodiscard]] std::expected<Options, std::string> parse_options(std::span<const std::string_view> args);

[[nodiscard]] std::string help_text();

}  // namespace jointbus::sim
