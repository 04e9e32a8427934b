// The virtual motor's request parser: every frame on the bus reaches it, so
// it must take any identifier, kind and length without reading past the
// data, and answer only what the frame really asks of this motor: register
// requests only from 0x7FF with eight bytes naming this motor, commands only
// on this motor's identifiers with the lengths they need, nothing from
// extended or FD frames. The expected classification is worked out here
// from those rules and compared with what the parser says.
//
// Input: motor id (2 bytes), five limits (little-endian float bit
// patterns), a kind byte (bit 0 extended, bit 1 FD, bit 2 bit rate switch),
// the identifier (4 bytes, cut to its kind's width), then up to 64 data bytes.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "check.hpp"
#include "protocol.hpp"

namespace {

using jointbus::damiao::FrameBytes;
using jointbus::damiao::MitLimits;
using jointbus::sim::ControlCommand;
using jointbus::sim::FixedCommand;
using jointbus::sim::RegisterRead;
using jointbus::sim::RegisterWrite;
using jointbus::transport::CanFrame;
using jointbus::transport::CanId;

constexpr std::size_t header_size = 2 + 20 + 1 + 4;
constexpr std::size_t max_data = 64;

// Limits for which the fixed-point maps resolve every count; outside them
// only the absence of undefined behaviour is checked.
bool well_scaled(float max) { return max >= 1e-30f && max <= 1e30f; }

std::uint32_t le(const std::uint8_t* bytes, std::size_t count) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        value |= std::uint32_t{bytes[i]} << (8 * i);
    }
    return value;
}

bool same_bits(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }

// The identifier a command for `motor_id` with identifier offset `base`
// travels on: the low 11 bits of the sum.
std::uint32_t own_id(std::uint16_t motor_id, std::uint32_t base) { return (std::uint32_t{motor_id} + base) & 0x7FFu; }

std::optional<FixedCommand> expected_fixed(const FrameBytes& bytes) {
    if (!std::all_of(bytes.begin(), bytes.begin() + 7, [](std::uint8_t byte) { return byte == 0xFF; })) {
        return std::nullopt;
    }
    switch (bytes[7]) {
        case 0xFB:
            return FixedCommand::ClearError;
        case 0xFC:
            return FixedCommand::Enable;
        case 0xFD:
            return FixedCommand::Disable;
        case 0xFE:
            return FixedCommand::SetZero;
        default:
            return std::nullopt;
    }
}

std::array<std::uint32_t, 5> raw_fields(const FrameBytes& b) {
    return {(std::uint32_t{b[0]} << 8) | b[1], (std::uint32_t{b[2]} << 4) | (b[3] >> 4u),
            (std::uint32_t{b[3] & 0xFu} << 8) | b[4], (std::uint32_t{b[5]} << 4) | (b[6] >> 4u),
            (std::uint32_t{b[6] & 0xFu} << 8) | b[7]};
}

// The motor reads back what the driver meant: encoding the decoded setpoint
// gives every count back, or the one just below where a single-precision
// step rounded down, for any limits of a sane scale, not just the presets.
void check_decode_mit(const FrameBytes& bytes, const MitLimits& limits) {
    const auto setpoint = jointbus::sim::decode_mit(bytes, limits);
    const std::array<float, 5> maxima{limits.p_max, limits.v_max, limits.kp_max, limits.kd_max, limits.t_max};
    if (!std::all_of(maxima.begin(), maxima.end(), well_scaled)) {
        return;
    }
    const std::array<float, 5> values{setpoint.q, setpoint.dq, setpoint.kp, setpoint.kd, setpoint.tau};
    for (std::size_t i = 0; i < values.size(); ++i) {
        const bool gain = i == 2 || i == 3;
        FUZZ_CHECK(std::isfinite(values[i]));
        FUZZ_CHECK(values[i] <= maxima[i] * (1.0f + 1e-6f));
        FUZZ_CHECK(values[i] >= (gain ? 0.0f : -maxima[i] * (1.0f + 1e-6f)));
    }
    const auto sent = raw_fields(bytes);
    const auto back = raw_fields(jointbus::damiao::encode(limits, setpoint));
    for (std::size_t i = 0; i < sent.size(); ++i) {
        FUZZ_CHECK(back[i] <= sent[i] && back[i] + 1 >= sent[i]);
    }
}

void check_control(const ControlCommand& command, const CanFrame& frame, std::uint16_t motor_id,
                   const MitLimits& limits) {
    const auto id = frame.id.value;
    const std::uint8_t* d = frame.data.data();
    switch (command.setpoint.index()) {
        case 0: {
            FUZZ_CHECK(id == own_id(motor_id, 0x000) && frame.data.size() == 8);
            FrameBytes bytes{};
            std::copy_n(frame.data.begin(), 8, bytes.begin());
            FUZZ_CHECK(!expected_fixed(bytes).has_value());
            const auto& got = std::get<jointbus::damiao::MitSetpoint>(command.setpoint);
            const auto want = jointbus::sim::decode_mit(bytes, limits);
            FUZZ_CHECK(same_bits(got.q, want.q) && same_bits(got.dq, want.dq) && same_bits(got.kp, want.kp) &&
                       same_bits(got.kd, want.kd) && same_bits(got.tau, want.tau));
            break;
        }
        case 1: {
            FUZZ_CHECK(id == own_id(motor_id, 0x100) && frame.data.size() == 8);
            const auto& got = std::get<jointbus::damiao::PosVelSetpoint>(command.setpoint);
            FUZZ_CHECK(std::bit_cast<std::uint32_t>(got.position) == le(d, 4));
            FUZZ_CHECK(std::bit_cast<std::uint32_t>(got.velocity) == le(d + 4, 4));
            break;
        }
        case 2: {
            FUZZ_CHECK(id == own_id(motor_id, 0x200) && frame.data.size() >= 4);
            const auto& got = std::get<jointbus::damiao::VelSetpoint>(command.setpoint);
            FUZZ_CHECK(std::bit_cast<std::uint32_t>(got.velocity) == le(d, 4));
            break;
        }
        default: {
            FUZZ_CHECK(id == own_id(motor_id, 0x300) && frame.data.size() == 8);
            const auto& got = std::get<jointbus::damiao::ForcePosSetpoint>(command.setpoint);
            FUZZ_CHECK(std::bit_cast<std::uint32_t>(got.position) == le(d, 4));
            // Counts of 1/100 and 1/10000: any 16-bit count gives a finite,
            // non-negative value.
            FUZZ_CHECK(got.velocity_limit >= 0.0f && got.velocity_limit <= 655.35f);
            FUZZ_CHECK(got.torque_ratio >= 0.0f && got.torque_ratio <= 6.5535f);
            FUZZ_CHECK(got.velocity_limit == static_cast<float>(le(d + 4, 2)) / 100.0f);
            FUZZ_CHECK(got.torque_ratio == static_cast<float>(le(d + 6, 2)) / 10000.0f);
            break;
        }
    }
}

// Which kind of request the rules make of this frame, as the variant's
// index, or nothing.
std::optional<std::size_t> expected_kind(const CanFrame& frame, std::uint16_t motor_id) {
    if (frame.fd || frame.id.kind != CanId::Kind::Standard) {
        return std::nullopt;
    }
    const auto id = frame.id.value;
    const auto size = frame.data.size();
    if (id == 0x7FF && size == 8 && le(frame.data.data(), 2) == motor_id) {
        if (frame.data[2] == 0x33) {
            return 2;
        }
        if (frame.data[2] == 0x55) {
            return 3;
        }
    }
    if (id == own_id(motor_id, 0x000)) {
        return size == 8 ? std::optional<std::size_t>(1) : std::nullopt;  // fixed or MIT: both commands
    }
    if ((id == own_id(motor_id, 0x100) && size == 8) || (id == own_id(motor_id, 0x200) && size >= 4) ||
        (id == own_id(motor_id, 0x300) && size == 8)) {
        return 1;
    }
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::array<std::uint8_t, header_size> header{};
    std::copy_n(data, std::min(size, header.size()), header.begin());
    const auto motor_id = static_cast<std::uint16_t>(le(header.data(), 2));
    std::array<float, 5> limit_values{};
    for (std::size_t i = 0; i < limit_values.size(); ++i) {
        limit_values[i] = std::bit_cast<float>(le(header.data() + 2 + 4 * i, 4));
    }
    const MitLimits limits{limit_values[0], limit_values[1], limit_values[2], limit_values[3], limit_values[4]};
    const std::uint8_t kind = header[22];
    const std::uint32_t id_word = le(header.data() + 23, 4);

    CanFrame frame;
    frame.id = (kind & 1u) != 0 ? CanId::extended(id_word & 0x1FFF'FFFFu)
                                : CanId::standard(static_cast<std::uint16_t>(id_word & 0x7FFu));
    frame.fd = (kind & 2u) != 0;
    frame.brs = (kind & 4u) != 0;
    if (size > header_size) {
        // Exactly as many bytes as the frame has, on the heap: a read past
        // them is an AddressSanitizer report.
        frame.data.assign(data + header_size, data + header_size + std::min(size - header_size, max_data));
        frame.data.shrink_to_fit();
    }

    for (const std::uint16_t base : std::array<std::uint16_t, 4>{0x000, 0x100, 0x200, 0x300}) {
        FUZZ_CHECK(jointbus::sim::command_id(motor_id, base) == own_id(motor_id, base));
    }

    const auto request = jointbus::sim::parse_request(frame, motor_id, limits);
    const auto kind_expected = expected_kind(frame, motor_id);
    FUZZ_CHECK(request.has_value() == kind_expected.has_value());
    if (request) {
        if (const auto* read = std::get_if<RegisterRead>(&*request)) {
            FUZZ_CHECK(*kind_expected == 2);
            FUZZ_CHECK(frame.id == CanId::standard(0x7FF) && !frame.fd && frame.data.size() == 8);
            FUZZ_CHECK(read->register_number == frame.data[3]);
        } else if (const auto* write = std::get_if<RegisterWrite>(&*request)) {
            FUZZ_CHECK(*kind_expected == 3);
            FUZZ_CHECK(frame.id == CanId::standard(0x7FF) && !frame.fd && frame.data.size() == 8);
            FUZZ_CHECK(write->register_number == frame.data[3] && write->value == le(frame.data.data() + 4, 4));
        } else if (const auto* fixed = std::get_if<FixedCommand>(&*request)) {
            FUZZ_CHECK(*kind_expected == 1);
            FUZZ_CHECK(frame.id.value == own_id(motor_id, 0x000) && frame.data.size() == 8);
            FrameBytes bytes{};
            std::copy_n(frame.data.begin(), 8, bytes.begin());
            FUZZ_CHECK(expected_fixed(bytes) == *fixed);
        } else {
            FUZZ_CHECK(*kind_expected == 1);
            check_control(std::get<ControlCommand>(*request), frame, motor_id, limits);
        }
    }

    // The fixed-command test and the MIT decoder on the first eight bytes,
    // whatever frame they came in.
    FrameBytes first_eight{};
    std::copy_n(frame.data.begin(), std::min<std::size_t>(frame.data.size(), 8), first_eight.begin());
    FUZZ_CHECK(jointbus::sim::fixed_command_of(first_eight) == expected_fixed(first_eight));
    check_decode_mit(first_eight, limits);
    return 0;
}
