// The byte images the backend hands to and takes from the kernel. What the
// kernel does with them is tested on a real vcan interface in
// socketcan_backend_test.cpp.
#include <gtest/gtest.h>

#include <cerrno>
#include <limits>

#include "support/hex.hpp"
#include "transport/socketcan_backend.hpp"

namespace jointbus::transport {
namespace {

using testing::hex_bytes;
using testing::hex_text;

std::vector<std::uint8_t> counting(std::size_t length) {
    std::vector<std::uint8_t> data(length);
    for (std::size_t i = 0; i < length; ++i) {
        data[i] = static_cast<std::uint8_t>(i + 1);
    }
    return data;
}

TEST(ToWire, ClassicFrameLayout) {
    const auto wire = to_wire(CanFrame{CanId::standard(0x123), {0xAA, 0xBB, 0xCC}, false, true});
    ASSERT_TRUE(wire);
    ASSERT_EQ(wire->size, 16u);
    // id word (LE), length, three zero bytes, data zero-padded to 8; brs has no place here.
    EXPECT_EQ(hex_text(std::span(wire->bytes.data(), wire->size)), "23 01 00 00 03 00 00 00 AA BB CC 00 00 00 00 00");
}

TEST(ToWire, ExtendedIdentifierCarriesTheFlag) {
    const auto wire = to_wire(CanFrame{CanId::extended(0x1FFFFFFF), {}, false, false});
    ASSERT_TRUE(wire);
    EXPECT_EQ(hex_text(std::span(wire->bytes.data(), 4)), "FF FF FF 9F");
}

TEST(ToWire, FdLengthsRoundUpWithZeroPadding) {
    struct Case {
        std::size_t length;
        std::uint8_t wire_length;
    };
    const Case cases[] = {{0, 0},   {1, 1},   {8, 8},   {9, 12},  {12, 12}, {13, 16}, {16, 16}, {17, 20},
                          {20, 20}, {21, 24}, {24, 24}, {25, 32}, {32, 32}, {33, 48}, {48, 48}, {49, 64}, {64, 64}};
    for (const Case& c : cases) {
        const auto wire = to_wire(CanFrame{CanId::standard(0x7FF), counting(c.length), true, false});
        ASSERT_TRUE(wire) << c.length;
        ASSERT_EQ(wire->size, 72u);
        EXPECT_EQ(wire->bytes[4], c.wire_length) << c.length;
        EXPECT_EQ(wire->bytes[5], 0x04) << "FDF only";
        EXPECT_EQ(wire->bytes[6] | wire->bytes[7], 0);
        for (std::size_t i = 0; i < 64; ++i) {
            const std::uint8_t expected = i < c.length ? static_cast<std::uint8_t>(i + 1) : 0;
            ASSERT_EQ(wire->bytes[8 + i], expected) << "length " << c.length << " byte " << i;
        }
    }
}

TEST(ToWire, BitRateSwitchOnlyOnFdFrames) {
    const auto fd = to_wire(CanFrame{CanId::standard(1), {1}, true, true});
    ASSERT_TRUE(fd);
    EXPECT_EQ(fd->bytes[5], 0x05);
}

TEST(ToWire, RefusesWhatTheBusCannotCarry) {
    struct Case {
        CanFrame frame;
        TransportError error;
    };
    const Case cases[] = {
        {{CanId::standard(0x800), {}, false, false}, InvalidIdError{}},
        {{CanId::standard(0xFFFF), {}, true, false}, InvalidIdError{}},
        {{CanId::extended(0x20000000), {}, false, false}, InvalidIdError{}},
        {{CanId::standard(0x7FF), counting(9), false, false}, FrameTooLargeError{9}},
        {{CanId::standard(0x7FF), counting(65), true, false}, FrameTooLargeError{65}},
        // The identifier is checked before the length.
        {{CanId::standard(0x800), counting(65), true, false}, InvalidIdError{}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(to_wire(c.frame), std::unexpected(c.error)) << c.frame.id.value;
    }
}

TEST(FromWire, ClassifiesByByteCount) {
    struct Case {
        const char* bytes;
        CanFrame expected;
    };
    const Case cases[] = {
        // Classic data frame: the length field's bytes only.
        {"11 00 00 00 03 00 00 00 01 02 03 04 05 06 07 08", {CanId::standard(0x011), {1, 2, 3}, false, false}},
        // Standard identifiers are masked to 11 bits, extended ones to 29.
        {"FF FF 00 00 00 00 00 00 00 00 00 00 00 00 00 00", {CanId::standard(0x7FF), {}, false, false}},
        {"FF FF FF 9F 01 00 00 00 09 00 00 00 00 00 00 00", {CanId::extended(0x1FFFFFFF), {9}, false, false}},
        // A remote frame becomes an ordinary record with its identifier.
        {"23 01 00 40 04 00 00 00 0A 0B 0C 0D 00 00 00 00", {CanId::standard(0x123), {10, 11, 12, 13}, false, false}},
        // An error frame keeps all eight bytes whatever its length says.
        {"04 00 00 20 02 00 00 00 01 02 03 04 05 06 07 08",
         {CanId::standard(0x004), {1, 2, 3, 4, 5, 6, 7, 8}, false, false}},
        // A length field past the structure is clamped to it.
        {"11 00 00 00 FF 00 00 00 01 02 03 04 05 06 07 08",
         {CanId::standard(0x011), {1, 2, 3, 4, 5, 6, 7, 8}, false, false}},
    };
    for (const Case& c : cases) {
        const auto bytes = hex_bytes(c.bytes);
        EXPECT_EQ(from_wire(bytes), c.expected) << c.bytes;
    }
}

TEST(FromWire, FdFrames) {
    struct Case {
        std::uint8_t length_field;
        std::uint8_t flags;
        std::size_t length;
        bool brs;
    };
    const Case cases[] = {{12, 0x04, 12, false}, {64, 0x05, 64, true}, {0, 0x01, 0, true}, {200, 0x04, 64, false}};
    for (const Case& c : cases) {
        std::vector<std::uint8_t> bytes(72);
        bytes[0] = 0x22;
        bytes[4] = c.length_field;
        bytes[5] = c.flags;
        for (std::size_t i = 0; i < 64; ++i) {
            bytes[8 + i] = static_cast<std::uint8_t>(i + 1);
        }
        const auto frame = from_wire(bytes);
        ASSERT_TRUE(frame);
        EXPECT_EQ(*frame, (CanFrame{CanId::standard(0x22), counting(c.length), true, c.brs}));
    }
}

TEST(FromWire, OtherByteCountsAreBackendErrors) {
    for (const std::size_t size : {0u, 1u, 15u, 17u, 71u}) {
        const std::vector<std::uint8_t> bytes(size);
        EXPECT_EQ(from_wire(bytes), std::unexpected(TransportError{BackendError{{EPROTO}}})) << size;
    }
    EXPECT_EQ(message(TransportError{BackendError{{EPROTO}}}), "backend error: Protocol error (os error 71)");
}

TEST(WaitTimespec, HandsTheKernelEveryNanosecondButNeverLessThanAMicrosecond) {
    struct Case {
        Duration timeout;
        std::optional<std::pair<long, long>> expected;
    };
    const Case cases[] = {
        {{0, 0}, std::nullopt},
        {{0, 500}, std::nullopt},
        {{0, 999}, std::nullopt},
        {{0, 1000}, std::pair{0L, 1000L}},
        {{0, 1'999}, std::pair{0L, 1999L}},
        {{0, 1'500'000}, std::pair{0L, 1'500'000L}},
        {{1, 0}, std::pair{1L, 0L}},
        {{1, 999'999'999}, std::pair{1L, 999'999'999L}},
        {{std::numeric_limits<std::uint64_t>::max(), 7},
         std::pair{static_cast<long>(std::numeric_limits<time_t>::max()), 7L}},
    };
    for (const Case& c : cases) {
        const auto value = wait_timespec(c.timeout);
        ASSERT_EQ(value.has_value(), c.expected.has_value()) << c.timeout.seconds << "." << c.timeout.nanoseconds;
        if (value) {
            EXPECT_EQ(value->tv_sec, c.expected->first);
            EXPECT_EQ(value->tv_nsec, c.expected->second);
        }
    }
}

}  // namespace
}  // namespace jointbus::transport
