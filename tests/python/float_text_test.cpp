#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "python/float_text.hpp"

namespace jointbus::python {
namespace {

constexpr float inf = std::numeric_limits<float>::infinity();

float from_bits(std::uint32_t bits) {
    return std::bit_cast<float>(bits);
}

std::uint32_t to_bits(float value) {
    return std::bit_cast<std::uint32_t>(value);
}

// Patterns that cover every sign and exponent equally, unlike any
// distribution over values.
std::vector<float> random_bit_patterns(std::size_t count, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<float> values;
    values.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        values.push_back(from_bits(static_cast<std::uint32_t>(random())));
    }
    return values;
}

// ±2^k for every exponent, and the floats either side: where the spacing
// of floats changes and shortest digits are easiest to get wrong.
std::vector<float> powers_of_two_and_neighbours() {
    std::vector<float> values;
    for (int k = -149; k <= 127; ++k) {
        const float power = std::ldexp(1.0f, k);
        for (const float v : {std::nextafter(power, 0.0f), power, std::nextafter(power, inf)}) {
            values.push_back(v);
            values.push_back(-v);
        }
    }
    return values;
}

const float nans[] = {
    std::numeric_limits<float>::quiet_NaN(),
    -std::numeric_limits<float>::quiet_NaN(),
    std::numeric_limits<float>::signaling_NaN(),
    from_bits(0x7f800001),  // smallest payload
    from_bits(0xffffffff),  // negative, largest payload
    from_bits(0x7fc12345),
};

// --- shortest_text ---

TEST(ShortestText, Table) {
    struct Case {
        float value;
        const char* text;
    };
    const Case cases[] = {
        {30.0f, "30"},
        {12.5f, "12.5"},
        {0.0f, "0"},
        {-0.0f, "-0"},
        {0.1f, "0.1"},
        {12.566f, "12.566"},
        {-2.5f, "-2.5"},
        {1.0f, "1"},
        {-1.0f, "-1"},
        {100.0f, "100"},
        {1e-7f, "0.0000001"},
        {1.5e-5f, "0.000015"},
        {123456.7f, "123456.7"},
        {0.03125f, "0.03125"},
        {16777216.0f, "16777216"},
        {119024888.0f, "119024890"},
        // Shortest digits padded positionally, not the exact binary value
        // 100000002004087734272.
        {1e20f, "100000000000000000000"},
        {FLT_MAX, "340282350000000000000000000000000000000"},
        {-FLT_MAX, "-340282350000000000000000000000000000000"},
        {FLT_MIN, "0.000000000000000000000000000000000000011754944"},
        // 2^-149, the smallest denormal: "1e-45" is its shortest form.
        {1e-45f, "0.000000000000000000000000000000000000000000001"},
        {-1e-45f, "-0.000000000000000000000000000000000000000000001"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(shortest_text(c.value), c.text) << std::hexfloat << c.value;
    }
}

TEST(ShortestText, NonFinite) {
    for (const float nan : nans) {
        EXPECT_EQ(shortest_text(nan), "NaN") << std::hex << to_bits(nan);
    }
    EXPECT_EQ(shortest_text(inf), "inf");
    EXPECT_EQ(shortest_text(-inf), "-inf");
}

// The text must read back as the very same float, never use an exponent,
// and be tidy: no trailing zeros in a fraction, no point after an integer.
void expect_round_trip(float value) {
    const std::string text = shortest_text(value);
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    if (text.find('.') != std::string::npos) {
        ASSERT_NE(text.back(), '0') << text;
        ASSERT_NE(text.back(), '.') << text;
    }
    float parsed = 0.0f;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    ASSERT_EQ(error, std::errc{}) << text;
    ASSERT_EQ(end, text.data() + text.size()) << text;
    ASSERT_EQ(to_bits(parsed), to_bits(value)) << text;
}

TEST(ShortestText, RoundTripsPowersOfTwoAndNeighbours) {
    const std::vector<float> values = powers_of_two_and_neighbours();
    ASSERT_EQ(values.size(), 277u * 6u);
    for (const float value : values) {
        expect_round_trip(value);
    }
}

TEST(ShortestText, RoundTripsRandomBitPatterns) {
    for (const float value : random_bit_patterns(100'000, 20240521)) {
        if (!std::isnan(value)) {
            expect_round_trip(value);
        }
    }
}

// Where to_chars' own shortest output happens to be positional it is
// exactly the wanted text, which pins the choice among equally short digit
// strings as well as the layout. Not from 2^24 up: there libstdc++ writes
// the exact integer whenever it picks that notation (119024888.0f as
// "119024888", not the equally short, round-tripping "119024890").
TEST(ShortestText, MatchesPlainToCharsWhenThatHasNoExponent) {
    int compared = 0;
    for (const float value : random_bit_patterns(100'000, 7)) {
        if (!(std::fabs(value) < 0x1p24f)) {
            continue;
        }
        char buffer[64];
        char* const end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
        const std::string plain(buffer, end);
        if (plain.find('e') == std::string::npos) {
            ++compared;
            ASSERT_EQ(shortest_text(value), plain);
        }
    }
    // Only magnitudes near 1 stay positional, and random patterns rarely
    // land there; make sure the test still compares something.
    EXPECT_GT(compared, 1'000);
}

// --- fixed4_text ---

// Four decimals from integer arithmetic on the float's exact value
// m * 2^e, as Python's '%.4f' % value writes them: round half to even,
// the sign kept when the result is zero.
std::string exact_fixed4(float value) {
    const std::uint32_t bits = to_bits(value);
    const std::uint32_t biased = (bits >> 23) & 0xff;
    const std::uint64_t fraction = bits & 0x7fffff;
    const std::uint64_t m = biased == 0 ? fraction : fraction | 0x800000;
    const int e = (biased == 0 ? 1 : static_cast<int>(biased)) - 150;
    const std::string sign = (bits >> 31) != 0 ? "-" : "";

    if (e >= 0) {
        // An integer, up to 2^128: double its decimal digits e times
        // (least significant digit first).
        std::vector<int> digits;
        for (std::uint64_t rest = m; rest != 0; rest /= 10) {
            digits.push_back(static_cast<int>(rest % 10));
        }
        for (int i = 0; i < e; ++i) {
            int carry = 0;
            for (int& d : digits) {
                const int doubled = 2 * d + carry;
                d = doubled % 10;
                carry = doubled / 10;
            }
            if (carry != 0) {
                digits.push_back(carry);
            }
        }
        std::string text = sign;
        for (auto d = digits.rbegin(); d != digits.rend(); ++d) {
            text += static_cast<char>('0' + *d);
        }
        return text + ".0000";
    }

    // value * 10^4 = m * 10^4 / 2^k with m * 10^4 < 2^38, so a 64-bit
    // quotient and remainder decide the rounding exactly. Past k = 63 the
    // quotient is 0 and the remainder far below half: it rounds to 0.
    const int k = -e;
    const std::uint64_t scaled = m * 10'000;
    std::uint64_t q = 0;
    if (k < 64) {
        q = scaled >> k;
        const std::uint64_t remainder = scaled - (q << k);
        const std::uint64_t half = std::uint64_t{1} << (k - 1);
        if (remainder > half || (remainder == half && q % 2 == 1)) {
            ++q;
        }
    }
    const std::string decimals = std::to_string(q % 10'000);
    return sign + std::to_string(q / 10'000) + "." + std::string(4 - decimals.size(), '0') + decimals;
}

TEST(Fixed4Text, Table) {
    struct Case {
        float value;
        const char* text;
    };
    const Case cases[] = {
        // 0.03125 and 0.09375 are exact in binary: true ties, to the even digit.
        {0.03125f, "0.0312"},
        {0.09375f, "0.0938"},
        {-0.03125f, "-0.0312"},
        {0.15625f, "0.1562"},
        {1.5f, "1.5000"},
        {0.0f, "0.0000"},
        {-0.0f, "-0.0000"},
        {-0.00001f, "-0.0000"},
        {3.14159f, "3.1416"},
        {-12.5f, "-12.5000"},
        // 0.00005f is 0.0000499999987368937581777572631835937 exactly, just
        // below the tie, so it rounds down; a shortened decimal ("5e-05")
        // would wrongly look like a tie.
        {0.00005f, "0.0000"},
        {-0.00005f, "-0.0000"},
        // The exact binary value, since it is what gets rounded.
        {123456.7f, "123456.7031"},
        {1e20f, "100000002004087734272.0000"},
        {FLT_MAX, "340282346638528859811704183484516925440.0000"},
        {-FLT_MAX, "-340282346638528859811704183484516925440.0000"},
        {1e-45f, "0.0000"},
        {-1e-45f, "-0.0000"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fixed4_text(c.value), c.text) << std::hexfloat << c.value;
        EXPECT_EQ(exact_fixed4(c.value), c.text) << std::hexfloat << c.value;
    }
}

TEST(Fixed4Text, NonFinite) {
    for (const float nan : nans) {
        EXPECT_EQ(fixed4_text(nan), "NaN") << std::hex << to_bits(nan);
    }
    EXPECT_EQ(fixed4_text(inf), "inf");
    EXPECT_EQ(fixed4_text(-inf), "-inf");
}

TEST(Fixed4Text, MatchesExactRoundingOnRandomValuesInRange) {
    std::mt19937 random(42);
    std::uniform_real_distribution<float> range(-1000.0f, 1000.0f);
    for (int i = 0; i < 200'000; ++i) {
        const float value = range(random);
        ASSERT_EQ(fixed4_text(value), exact_fixed4(value)) << std::hexfloat << value;
    }
}

// Odd multiples of 1/32 end in ...125 or ...375 and so on: exact ties at
// the fifth decimal.
TEST(Fixed4Text, MatchesExactRoundingOnMultiplesOfOneThirtySecond) {
    for (int n = -64 * 32; n <= 64 * 32; ++n) {
        const float value = static_cast<float>(n) / 32.0f;
        ASSERT_EQ(fixed4_text(value), exact_fixed4(value)) << std::hexfloat << value;
    }
    // Every n / 32 with |n| < 2^24 is exact, up to 2^19: ties at large
    // magnitudes too.
    std::mt19937 random(32);
    std::uniform_int_distribution<int> numerators(-(1 << 24) + 1, (1 << 24) - 1);
    for (int i = 0; i < 100'000; ++i) {
        const float value = static_cast<float>(numerators(random)) / 32.0f;
        ASSERT_EQ(fixed4_text(value), exact_fixed4(value)) << std::hexfloat << value;
    }
}

TEST(Fixed4Text, MatchesExactRoundingAcrossAllMagnitudes) {
    std::vector<float> values = random_bit_patterns(100'000, 4);
    const std::vector<float> powers = powers_of_two_and_neighbours();
    values.insert(values.end(), powers.begin(), powers.end());
    for (const float value : values) {
        if (std::isfinite(value)) {
            ASSERT_EQ(fixed4_text(value), exact_fixed4(value)) << std::hexfloat << value;
        }
    }
}

}  // namespace
}  // namespace jointbus::python
