// The decoder's three outputs: a line of text per frame, a CSV row per
// frame, and the per-motor summary at the end.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "decoder.hpp"

namespace jointbus::decode {

// TIME INTERFACE WHO DIRECTION WHAT, e.g.
// "1700000000.100000 vcan0 motor 1 -> mit q=0.5000 dq=0.0000 kp=20.0024 kd=0.5006 tau=0.0000".
[[nodiscard]] std::string text_line(const LoggedFrame& logged, const Event& event);

// The column names, comma-separated, for the first line of CSV output.
[[nodiscard]] std::string csv_header();

[[nodiscard]] std::string csv_row(const LoggedFrame& logged, const Event& event);

// What a feedback status code means: "enabled", "over-current", "unknown".
[[nodiscard]] std::string_view status_name(std::uint8_t code) noexcept;

// The nearest-rank percentile (the smallest value with at least `percent`
// of all values at or below it); `values` must not be empty.
[[nodiscard]] std::int64_t percentile(std::vector<std::int64_t> values, unsigned percent);

// One line per motor (only those in `only`, unless it is empty), then the
// frames no motor could be given and the lines that could not be read.
[[nodiscard]] std::string summary_text(const Decoder& decoder, std::span<const std::uint16_t> only,
                                       std::size_t bad_lines);

}  // namespace jointbus::decode
