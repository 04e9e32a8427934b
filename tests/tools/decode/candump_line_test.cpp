// The candump -L line parser: every frame form candump writes, and the
// lines it must refuse, each with the exact message the user sees.
#include <gtest/gtest.h>

#include "candump_line.hpp"
#include "support/hex.hpp"

namespace jointbus::decode {
namespace {

using jointbus::testing::hex_text;
using transport::CanId;

struct Good {
    std::string line;
    std::int64_t micros;
    std::string time;
    std::string interface;
    CanId id;
    std::string data;  // as hex_text writes it
    bool fd = false;
    bool brs = false;
    bool remote = false;
    bool error_frame = false;
};

class GoodLine : public ::testing::TestWithParam<Good> {};

TEST_P(GoodLine, IsTakenApart) {
    const Good& c = GetParam();
    const auto parsed = parse_candump_line(c.line);
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(parsed->micros, c.micros);
    EXPECT_EQ(parsed->time, c.time);
    EXPECT_EQ(parsed->interface, c.interface);
    EXPECT_EQ(parsed->frame.id, c.id);
    EXPECT_EQ(hex_text(parsed->frame.data), c.data);
    EXPECT_EQ(parsed->frame.fd, c.fd);
    EXPECT_EQ(parsed->frame.brs, c.brs);
    EXPECT_EQ(parsed->remote, c.remote);
    EXPECT_EQ(parsed->error_frame, c.error_frame);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, GoodLine,
    ::testing::Values(
        Good{"(1700000000.123456) vcan0 011#FC00AB", 1700000000123456, "1700000000.123456", "vcan0",
             CanId::standard(0x011), "FC 00 AB"},
        Good{"(0000000001.000001) can1 7FF#", 1000001, "0000000001.000001", "can1", CanId::standard(0x7FF), ""},
        Good{"(5.5) c 001#ff", 5500000, "5.5", "c", CanId::standard(0x001), "FF"},  // fraction padded
        Good{"(5.1234567) c 001#ff", 5123456, "5.1234567", "c", CanId::standard(0x001), "FF"},  // and cut
        Good{"(1.000000) vcan0 12345678#0102", 1000000, "1.000000", "vcan0", CanId::extended(0x12345678),
             "01 02"},
        Good{"(1.000000) vcan0 001#R", 1000000, "1.000000", "vcan0", CanId::standard(0x001), "", false, false,
             true},
        Good{"(1.000000) vcan0 001#R8", 1000000, "1.000000", "vcan0", CanId::standard(0x001), "", false, false,
             true},
        Good{"(1.000000) vcan1 011##1" + std::string(24, 'A'), 1000000, "1.000000", "vcan1",
             CanId::standard(0x011), "AA AA AA AA AA AA AA AA AA AA AA AA", true, true},
        Good{"(1.000000) vcan1 011##0", 1000000, "1.000000", "vcan1", CanId::standard(0x011), "", true, false},
        Good{"(1.000000) vcan0 001#0102030405060708_C", 1000000, "1.000000", "vcan0", CanId::standard(0x001),
             "01 02 03 04 05 06 07 08"},
        Good{"(1.000000) vcan0 001#01.02.03", 1000000, "1.000000", "vcan0", CanId::standard(0x001), "01 02 03"},
        Good{"(1.000000) vcan0 20000004#0004000000000000", 1000000, "1.000000", "vcan0", CanId::extended(0x4),
             "00 04 00 00 00 00 00 00", false, false, false, true},
        Good{"  (1.000000)\tvcan0   001#01 R\r", 1000000, "1.000000", "vcan0", CanId::standard(0x001), "01"}));

struct Bad {
    std::string line;
    std::string error;
};

class BadLine : public ::testing::TestWithParam<Bad> {};

TEST_P(BadLine, IsRefusedWithItsReason) {
    const auto parsed = parse_candump_line(GetParam().line);
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.error(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BadLine,
    ::testing::Values(
        Bad{"vcan0 001#01", "expected (TIME) INTERFACE FRAME, got 2 fields"},
        Bad{"(1.0) vcan0 001#01 extra", "expected (TIME) INTERFACE FRAME, got 4 fields"},
        Bad{"1.000000 vcan0 001#01", "timestamp '1.000000' is not (SECONDS.FRACTION)"},
        Bad{"(1) vcan0 001#01", "timestamp '(1)' is not (SECONDS.FRACTION)"},
        Bad{"(1.x) vcan0 001#01", "timestamp '(1.x)' is not (SECONDS.FRACTION)"},
        Bad{"(1234567890123.0) vcan0 001#01", "timestamp '(1234567890123.0)' is not (SECONDS.FRACTION)"},
        Bad{"(1.0) vcan0 00101", "frame '00101' has no '#'"},
        Bad{"(1.0) vcan0 01#01", "identifier '01' is neither 3 nor 8 hex digits"},
        Bad{"(1.0) vcan0 0G1#01", "identifier '0G1' is neither 3 nor 8 hex digits"},
        Bad{"(1.0) vcan0 800#01", "standard identifier 800 is above 7FF"},
        Bad{"(1.0) vcan0 40000000#01", "extended identifier 40000000 is above 3FFFFFFF"},
        Bad{"(1.0) vcan0 001#012", "data '012' is not pairs of hex digits"},
        Bad{"(1.0) vcan0 001#0G", "data '0G' is not pairs of hex digits"},
        Bad{"(1.0) vcan0 001#010203040506070809", "data of 9 bytes, more than 8"},
        Bad{"(1.0) vcan0 001#01_9", "length code '_9' not after 8 bytes as _X"},
        Bad{"(1.0) vcan0 001#RX", "remote frame 'RX' is not R[LEN]"},
        Bad{"(1.0) vcan0 001##", "CAN FD frame without its flags digit after ##"},
        Bad{"(1.0) vcan0 001##1" + std::string(130, '0'), "data of 65 bytes, more than 64"},
        Bad{"(1.0) vcan0 001###00", "CAN XL frames are not decoded"}));

}  // namespace
}  // namespace jointbus::decode
