#include "python/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <string_view>

namespace jointbus::python {
namespace {

// NaN and the infinities have fixed spellings, whatever to_chars would
// write ("-nan" for a negative NaN); nullptr when the value is finite.
const char* non_finite_text(float value) noexcept {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    return nullptr;
}

// A finite value's shortest round-trip digits and the decimal exponent of
// the first one: 1.25e+02 is {"125", 2}.
struct Decimal {
    bool negative;
    std::string digits;
    int exponent;
};

// The scientific form is the only to_chars format that gives the shortest
// digits at every magnitude: the fixed one, and the plain one whenever it
// picks fixed notation, write a large float's exact binary value (1e20f as
// "100000002004087734272"), not its shortest digits.
Decimal shortest_decimal(float value) {
    char buffer[32];  // "-1.2345678e+38" is the longest it gets
    char* const end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
    std::string_view text(buffer, static_cast<std::size_t>(end - buffer));

    Decimal decimal{text.front() == '-', {}, 0};
    if (decimal.negative) {
        text.remove_prefix(1);
    }
    const std::size_t e = text.find('e');
    for (const char c : text.substr(0, e)) {
        if (c != '.') {
            decimal.digits += c;
        }
    }
    // from_chars takes a '-' but not a '+', and to_chars always writes one.
    std::string_view exponent = text.substr(e + 1);
    if (exponent.front() == '+') {
        exponent.remove_prefix(1);
    }
    std::from_chars(exponent.data(), exponent.data() + exponent.size(), decimal.exponent);
    return decimal;
}

// Shortest digits never end in a zero (that zero could be dropped), so the
// fraction this writes has no trailing zeros and an integer gets no point.
std::string positional(const Decimal& decimal) {
    std::string text = decimal.negative ? "-" : "";
    const std::ptrdiff_t count = std::ssize(decimal.digits);
    const std::ptrdiff_t integer_digits = decimal.exponent + 1;
    if (integer_digits <= 0) {
        text += "0.";
        text.append(static_cast<std::size_t>(-integer_digits), '0');
        text += decimal.digits;
    } else if (integer_digits >= count) {
        text += decimal.digits;
        text.append(static_cast<std::size_t>(integer_digits - count), '0');
    } else {
        const std::string_view digits = decimal.digits;
        const auto split = static_cast<std::size_t>(integer_digits);
        text += digits.substr(0, split);
        text += '.';
        text += digits.substr(split);
    }
    return text;
}

}  // namespace

std::string shortest_text(float value) {
    if (const char* text = non_finite_text(value)) {
        return text;
    }
    return positional(shortest_decimal(value));
}

// to_chars with a precision rounds the exact binary value half-to-even and,
// as printf does, keeps the minus sign of a negative value that rounds to
// zero, so its text is already the wanted one.
std::string fixed4_text(float value) {
    if (const char* text = non_finite_text(value)) {
        return text;
    }
    char buffer[64];  // FLT_MAX has 39 integer digits; with "-" and ".0000", 45
    char* const end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 4).ptr;
    return std::string(buffer, end);
}

}  // namespace jointbus::python
