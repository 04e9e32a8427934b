// The MIT codec: the feedback decoder runs on every reply a motor sends, and
// the limits it is handed come from users (any float: NaN, infinities,
// negatives, denormals). Decoding and encoding must never reach undefined
// behaviour (a float-to-integer cast out of range is the one to fear), and
// for limits of a sane scale both must do what the fixed-point maps promise.
//
// Input, zero-padded to its full size: 8 feedback bytes, then five limits,
// then two setpoints, each five little-endian float bit patterns.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>

#include "check.hpp"
#include "damiao/mit.hpp"

namespace {

using jointbus::damiao::MitLimits;
using jointbus::damiao::MitSetpoint;
using jointbus::damiao::raw12_span;
using jointbus::damiao::raw16_span;

constexpr std::size_t floats_per_record = 5;
constexpr std::size_t input_size = 8 + 3 * floats_per_record * 4;

// Limits above this the driver refuses to encode against (their products
// would overflow); both maps still run on them, checked only for the absence
// of undefined behaviour. Below a tiny scale the fixed-point steps no longer
// resolve single counts.
constexpr float well_scaled_max = jointbus::damiao::largest_encodable_limit;
constexpr float well_scaled_min = 1e-30f;

bool well_scaled(float max) { return max >= well_scaled_min && max <= well_scaled_max; }

std::array<float, floats_per_record> floats_at(const std::uint8_t* bytes) {
    std::array<float, floats_per_record> values{};
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::uint32_t bits = 0;
        for (std::size_t b = 0; b < 4; ++b) {
            bits |= std::uint32_t{bytes[4 * i + b]} << (8 * b);
        }
        values[i] = std::bit_cast<float>(bits);
    }
    return values;
}

struct Field {
    float max;
    float span;
    bool symmetric;  // -max..+max; otherwise a gain, 0..max
};

// The five fields of an MIT command in frame order, unpacked independently
// of the decoders under test.
std::array<std::uint32_t, 5> unpack_command(const jointbus::damiao::FrameBytes& data) {
    return {
        (std::uint32_t{data[0]} << 8) | data[1],
        (std::uint32_t{data[2]} << 4) | (data[3] >> 4u),
        (std::uint32_t{data[3] & 0x0Fu} << 8) | data[4],
        (std::uint32_t{data[5]} << 4) | (data[6] >> 4u),
        (std::uint32_t{data[6] & 0x0Fu} << 8) | data[7],
    };
}

// The count a value should quantise to, computed in double precision: the
// encoder's single-precision steps may land one count either side of it.
double ideal_count(float value, const Field& field) {
    const double max = field.max;
    const double lower = field.symmetric ? -max : 0.0;
    const double clamped = std::clamp(static_cast<double>(value), lower, max);
    return field.symmetric ? (clamped + max) * field.span / (2.0 * max) : clamped * field.span / max;
}

void check_encoded_field(std::uint32_t raw, float value, const Field& field) {
    FUZZ_CHECK(raw <= static_cast<std::uint32_t>(field.span));
    if (!well_scaled(field.max)) {
        return;
    }
    if (std::isnan(value)) {
        FUZZ_CHECK(raw == 0);
        return;
    }
    // A value at or past either end is that end. At the top, (max + max) *
    // span / (max + max) can round to just under span in single precision
    // and truncate to the count below it, which the firmware's own
    // arithmetic does too; the bottom, 0 * span, is exact.
    if (value >= field.max) {
        FUZZ_CHECK(raw + 1 >= static_cast<std::uint32_t>(field.span));
    }
    if (value <= (field.symmetric ? -field.max : 0.0f)) {
        FUZZ_CHECK(raw == 0);
    }
    const double ideal = std::floor(ideal_count(value, field));
    FUZZ_CHECK(std::abs(static_cast<double>(raw) - ideal) <= 1.0);
}

void check_encoder(const MitLimits& limits, const MitSetpoint& first, const MitSetpoint& second) {
    const std::array<Field, 5> fields{{
        {limits.p_max, raw16_span, true},
        {limits.v_max, raw12_span, true},
        {limits.kp_max, raw12_span, false},
        {limits.kd_max, raw12_span, false},
        {limits.t_max, raw12_span, true},
    }};
    const std::array<float, 5> a{first.q, first.dq, first.kp, first.kd, first.tau};
    const std::array<float, 5> b{second.q, second.dq, second.kp, second.kd, second.tau};
    const auto raw_a = unpack_command(jointbus::damiao::encode(limits, first));
    const auto raw_b = unpack_command(jointbus::damiao::encode(limits, second));
    const bool accepted = !jointbus::damiao::find_unencodable_limit(limits).has_value();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        check_encoded_field(raw_a[i], a[i], fields[i]);
        check_encoded_field(raw_b[i], b[i], fields[i]);
        // A larger setpoint never commands less: single-precision rounding
        // is monotonic, so the counts must be too, for any accepted limit.
        if (accepted && well_scaled(fields[i].max) && !std::isnan(a[i]) && !std::isnan(b[i]) && a[i] <= b[i]) {
            FUZZ_CHECK(raw_a[i] <= raw_b[i]);
        }
    }
}

void check_decoded_value(float value, std::uint32_t raw, float max, float span) {
    if (!well_scaled(max)) {
        return;
    }
    // Every count lands inside the range, give or take the rounding of three
    // single-precision steps.
    FUZZ_CHECK(std::isfinite(value));
    FUZZ_CHECK(std::abs(value) <= max * (1.0f + 1e-6f));
    // Quantising the decoded value again gives the count back, or the one
    // below when a step rounded down: the motor and the driver agree on it.
    const std::uint32_t again = jointbus::damiao::quantise_symmetric(value, max, span);
    FUZZ_CHECK(again == raw || again + 1 == raw);
}

void check_decoder(std::span<const std::uint8_t, 8> data, const MitLimits& limits) {
    const auto state = jointbus::damiao::decode_feedback(data, limits);
    FUZZ_CHECK(state.motor_id == (data[0] & 0x0Fu));
    FUZZ_CHECK(state.error == (data[0] >> 4u));
    FUZZ_CHECK(state.t_mos == data[6] && state.t_rotor == data[7]);
    const std::uint32_t position = (std::uint32_t{data[1]} << 8) | data[2];
    const std::uint32_t velocity = (std::uint32_t{data[3]} << 4) | (data[4] >> 4u);
    const std::uint32_t torque = (std::uint32_t{data[4] & 0x0Fu} << 8) | data[5];
    check_decoded_value(state.position, position, limits.p_max, raw16_span);
    check_decoded_value(state.velocity, velocity, limits.v_max, raw12_span);
    check_decoded_value(state.torque, torque, limits.t_max, raw12_span);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::array<std::uint8_t, input_size> input{};
    std::memcpy(input.data(), data, std::min(size, input.size()));

    const auto limit_values = floats_at(input.data() + 8);
    const MitLimits limits{limit_values[0], limit_values[1], limit_values[2], limit_values[3], limit_values[4]};
    const auto a = floats_at(input.data() + 8 + 20);
    const auto b = floats_at(input.data() + 8 + 40);

    check_decoder(std::span<const std::uint8_t, 8>(input.data(), 8), limits);
    check_encoder(limits, MitSetpoint{a[0], a[1], a[2], a[3], a[4]}, MitSetpoint{b[0], b[1], b[2], b[3], b[4]});
    return 0;
}
