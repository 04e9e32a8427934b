// The driver's error: one value per failed operation, carrying its whole
// description as text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "transport/transport.hpp"

namespace jointbus::damiao {

enum class RegisterType : std::uint8_t { Float = 0, Uint32 = 1 };

[[nodiscard]] std::string_view name_of(RegisterType type) noexcept;

struct TransportFailure {
    transport::TransportError error;
    friend bool operator==(const TransportFailure&, const TransportFailure&) = default;
};
struct UnknownRegister {
    std::uint8_t register_number = 0;
    friend bool operator==(const UnknownRegister&, const UnknownRegister&) = default;
};
struct ReadOnlyRegister {
    std::uint8_t register_number = 0;
    friend bool operator==(const ReadOnlyRegister&, const ReadOnlyRegister&) = default;
};
struct RegisterTypeMismatch {
    std::uint8_t register_number = 0;
    RegisterType expected = RegisterType::Uint32;
    RegisterType found = RegisterType::Float;
    friend bool operator==(const RegisterTypeMismatch&, const RegisterTypeMismatch&) = default;
};
struct UnexpectedReply {
    std::vector<std::uint8_t> data;
    friend bool operator==(const UnexpectedReply&, const UnexpectedReply&) = default;
};
struct ControlModeMismatch {
    std::uint8_t written = 0;
    std::uint8_t reported = 0;
    friend bool operator==(const ControlModeMismatch&, const ControlModeMismatch&) = default;
};
// An MIT command refused before anything was sent, because a limit is
// negative, NaN or too large (infinity included) and the quantisation would
// have no valid range. Kept apart
// from the bus failures: it is the caller's argument that is wrong.
struct InvalidMitLimit {
    std::string_view field;
    float value = 0.0f;
    friend bool operator==(const InvalidMitLimit&, const InvalidMitLimit&) = default;
};

// A cycle refused before anything was sent: two of its motors answer on the
// same identifier, so their replies could not be told apart.
struct SharedMasterId {
    std::uint16_t reply_id = 0;  // the identifier both answer on, masked to 11 bits
    std::size_t first_position = 0;
    friend bool operator==(const SharedMasterId&, const SharedMasterId&) = default;
};

using Error = std::variant<TransportFailure, UnknownRegister, ReadOnlyRegister, RegisterTypeMismatch,
                           UnexpectedReply, ControlModeMismatch, InvalidMitLimit, SharedMasterId>;

// Whether the caller's arguments are at fault rather than the bus.
[[nodiscard]] constexpr bool is_argument_error(const Error& error) noexcept {
    return std::holds_alternative<InvalidMitLimit>(error) || std::holds_alternative<SharedMasterId>(error);
}

[[nodiscard]] std::string message(const Error& error);

}  // namespace jointbus::damiao
