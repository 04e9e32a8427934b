#include "damiao/error.hpp"

#include <charconv>
#include <cstdio>
#include <cmath>

namespace jointbus::damiao {
namespace {

std::string render_bytes(const std::vector<std::uint8_t>& data) {
    std::string text = "[";
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i != 0) {
            text += ", ";
        }
        text += std::to_string(data[i]);
    }
    return text + "]";
}

// Shortest digits that read back as the same float, spelled the way Python
// spells a float ("-1.0", "nan", "inf") since Python users read this text.
std::string render_float(float value) {
    if (std::isnan(value)) {
        return "nan";
    }
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) {
        text += ".0";
    }
    return text;
}

std::string register_prefix(std::uint8_t register_number) {
    return "register " + std::to_string(register_number);
}

}  // namespace

std::string_view name_of(RegisterType type) noexcept {
    return type == RegisterType::Float ? "Float" : "Uint32";
}

std::string message(const Error& error) {
    switch (error.index()) {
        case 0:
            return "transport error: " + transport::message(std::get<TransportFailure>(error).error);
        case 1:
            return register_prefix(std::get<UnknownRegister>(error).register_number) +
                   " is not in the Damiao register table";
        case 2:
            return register_prefix(std::get<ReadOnlyRegister>(error).register_number) + " is read-only";
        case 3: {
            const auto& mismatch = std::get<RegisterTypeMismatch>(error);
            return register_prefix(mismatch.register_number) + ": expected " +
                   std::string(name_of(mismatch.expected)) + ", got " + std::string(name_of(mismatch.found));
        }
        case 4:
            return "unexpected reply (data did not match register-reply pattern): " +
                   render_bytes(std::get<UnexpectedReply>(error).data);
        case 5: {
            const auto& mismatch = std::get<ControlModeMismatch>(error);
            return "control mode verification failed: wrote " + std::to_string(mismatch.written) +
                   ", motor reports " + std::to_string(mismatch.reported);
        }
        case 7: {
            const auto& shared = std::get<SharedMasterId>(error);
            char id[8];
            std::snprintf(id, sizeof id, "0x%x", unsigned{shared.reply_id});
            return std::string("answers on ") + id + ", as commands[" + std::to_string(shared.first_position) +
                   "] does: their replies could not be told apart";
        }
        default: {
            const auto& invalid = std::get<InvalidMitLimit>(error);
            return "MitLimits." + std::string(invalid.field) + " must be from 0 to 1e+30 to encode an MIT command, got " +
                   render_float(invalid.value);
        }
    }
}

}  // namespace jointbus::damiao
