// The command line and the read-decode-print loop, apart from main() so the
// tests can run the whole program on strings.
#pragma once

#include <cstdint>
#include <expected>
#include <iosfwd>
#include <string>
#include <vector>

#include "decoder.hpp"

namespace jointbus::decode {

struct Options {
    std::vector<Motor> motors;
    std::vector<std::uint16_t> only;  // motor ids; empty shows every frame
    bool csv = false;
    bool summary = true;
    std::string input;  // empty or "-": standard input
    bool help = false;  // --help was given: nothing else was looked at
};

// The arguments after the program name. CLI11's exceptions stay in here:
// what comes back is the first problem, as one line for the user.
[[nodiscard]] std::expected<Options, std::string> parse_options(const std::vector<std::string>& args);

[[nodiscard]] std::string help_text();

// Decodes every line of `in`, writing each frame's line to `out` as soon as
// it is read, and the exit status: 0, or 1 when some line was not a frame.
int run(const Options& options, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace jointbus::decode
