// "7F FF 00" -> {0x7F, 0xFF, 0x00}: test vectors read as they are written in
// protocol documents and bus dumps.
#pragma once

#include <cstdint>
#include <span>
#include <sstream>
#include <string>
#include <vector>

namespace jointbus::testing {

inline std::vector<std::uint8_t> hex_bytes(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    std::istringstream in(text);
    std::string token;
    while (in >> token) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(token, nullptr, 16)));
    }
    return bytes;
}

inline std::string hex_text(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

}  // namespace jointbus::testing
