// The exact text and CSV of every kind of frame, and the percentiles the
// summary reports.
#include <gtest/gtest.h>

#include "format.hpp"

namespace jointbus::decode {
namespace {

struct Shown {
    std::vector<std::string> before;  // earlier lines of the log, for replies
    std::string line;
    std::string text;
    std::string csv;
};

class FrameOutput : public ::testing::TestWithParam<Shown> {};

TEST_P(FrameOutput, IsExactlyThis) {
    const Shown& c = GetParam();
    Decoder decoder = *Decoder::create({*parse_motor("1:0x11:dm4310"), *parse_motor("2:0x12:dm8009")});
    for (const std::string& line : c.before) {
        decoder.feed(*parse_candump_line(line));
    }
    const auto logged = parse_candump_line(c.line);
    ASSERT_TRUE(logged) << logged.error();
    const Event event = decoder.feed(*logged);
    EXPECT_EQ(text_line(*logged, event), c.text);
    EXPECT_EQ(csv_row(*logged, event), c.csv);
}

// Hand-checked: 8000 is q 0.0002 of +-12.5 rad, 800 dq 0.0073 of +-30 rad/s
// (0.0110 of +-45), A3F kp 320.27 of 500, 666 kd 2 of 5, FFF tau the top of
// the range; 3F800000 is 1.0f, 40000000 2.0f, 40200000 2.5f; C8 and 1388 are
// 2.00 and 0.5000 as counts of 1/100 and 1/10000.
INSTANTIATE_TEST_SUITE_P(
    Frames, FrameOutput,
    ::testing::Values(
        Shown{{}, "(1700000000.100000) vcan0 001#FFFFFFFFFFFFFFFC",
              "1700000000.100000 vcan0 motor 1 -> enable",
              "1700000000.100000,vcan0,1,command,enable,,,,,,,,,,,,,,,,,001#FFFFFFFFFFFFFFFC,"},
        Shown{{}, "(1700000000.100000) vcan0 001#FFFFFFFFFFFFFFFD",
              "1700000000.100000 vcan0 motor 1 -> disable",
              "1700000000.100000,vcan0,1,command,disable,,,,,,,,,,,,,,,,,001#FFFFFFFFFFFFFFFD,"},
        Shown{{}, "(1700000000.100000) vcan0 001#FFFFFFFFFFFFFFFE",
              "1700000000.100000 vcan0 motor 1 -> set_zero",
              "1700000000.100000,vcan0,1,command,set_zero,,,,,,,,,,,,,,,,,001#FFFFFFFFFFFFFFFE,"},
        Shown{{}, "(1700000000.100000) vcan0 002#FFFFFFFFFFFFFFFB",
              "1700000000.100000 vcan0 motor 2 -> clear_error",
              "1700000000.100000,vcan0,2,command,clear_error,,,,,,,,,,,,,,,,,002#FFFFFFFFFFFFFFFB,"},
        Shown{{}, "(1700000000.100000) vcan0 001#8000800A3F666FFF",
              "1700000000.100000 vcan0 motor 1 -> mit q=0.0002 dq=0.0073 kp=320.2686 kd=2.0000 tau=10.0000",
              "1700000000.100000,vcan0,1,command,mit,0.000190734863,0.0073261261,320.268616,2,10,,,,,,,,,,,,"
              "001#8000800A3F666FFF,"},
        Shown{{}, "(1700000000.100000) vcan0 002#8000800A3F666FFF",
              "1700000000.100000 vcan0 motor 2 -> mit q=0.0002 dq=0.0110 kp=320.2686 kd=2.0000 tau=54.0000",
              "1700000000.100000,vcan0,2,command,mit,0.000190734863,0.0109901428,320.268616,2,54,,,,,,,,,,,,"
              "002#8000800A3F666FFF,"},
        Shown{{}, "(1700000000.100000) vcan0 101#0000803F00000040",
              "1700000000.100000 vcan0 motor 1 -> pos_vel position=1.0000 velocity=2.0000",
              "1700000000.100000,vcan0,1,command,pos_vel,,,,,,1,2,,,,,,,,,,101#0000803F00000040,"},
        Shown{{}, "(1700000000.100000) vcan0 201#00002040",
              "1700000000.100000 vcan0 motor 1 -> vel velocity=2.5000",
              "1700000000.100000,vcan0,1,command,vel,,,,,,,2.5,,,,,,,,,,201#00002040,"},
        Shown{{}, "(1700000000.100000) vcan0 301#0000803FC8008813",
              "1700000000.100000 vcan0 motor 1 -> force_pos position=1.0000 velocity_limit=2.0000 torque_ratio=0.5000",
              "1700000000.100000,vcan0,1,command,force_pos,,,,,,1,,,2,0.5,,,,,,,301#0000803FC8008813,"},
        Shown{{}, "(1700000000.100000) vcan0 7FF#0100330A00000000",
              "1700000000.100000 vcan0 motor 1 -> read_register register=10",
              "1700000000.100000,vcan0,1,command,read_register,,,,,,,,,,,,,,10,,,7FF#0100330A00000000,"},
        Shown{{}, "(1700000000.100000) vcan0 7FF#0200550A01000000",
              "1700000000.100000 vcan0 motor 2 -> write_register register=10 value=1 (mit)",
              "1700000000.100000,vcan0,2,command,write_register,,,,,,,,,,,,,,10,1,,7FF#0200550A01000000,"},
        Shown{{"(1700000000.100000) vcan0 7FF#0100330A00000000"}, "(1700000000.100300) vcan0 011#0100330A02000000",
              "1700000000.100300 vcan0 motor 1 <- register_reply register=10 value=2 (pos_vel) latency_ms=0.300",
              "1700000000.100300,vcan0,1,reply,register_reply,,,,,,,,,,,,,,10,2,0.300,011#0100330A02000000,"},
        Shown{{"(1700000000.100000) vcan0 7FF#0200550A04000000"}, "(1700000000.100050) vcan0 012#0200550A04000000",
              "1700000000.100050 vcan0 motor 2 <- write_reply register=10 value=4 (force_pos) latency_ms=0.050",
              "1700000000.100050,vcan0,2,reply,write_reply,,,,,,,,,,,,,,10,4,0.050,012#0200550A04000000,"},
        Shown{{"(1700000000.100000) vcan0 7FF#0100330B00000000"}, "(1700000000.100300) vcan0 011#0100330B0000803F",
              "1700000000.100300 vcan0 motor 1 <- register_reply register=11 value=1065353216 (0x3F800000) "
              "latency_ms=0.300",
              "1700000000.100300,vcan0,1,reply,register_reply,,,,,,,,,,,,,,11,1065353216,0.300,011#0100330B0000803F,"},
        Shown{{"(1700000000.100000) vcan0 001#FFFFFFFFFFFFFFFC"}, "(1700000000.100412) vcan0 011#117FFF7FF7FF1919",
              "1700000000.100412 vcan0 motor 1 <- feedback error=1 (enabled) position=-0.0002 velocity=-0.0073 "
              "torque=-0.0024 t_mos=25 t_rotor=25 latency_ms=0.412",
              "1700000000.100412,vcan0,1,reply,feedback,,,,,,-0.000190734863,-0.0073261261,-0.00244235992,,,1,25,25,,"
              ",0.412,011#117FFF7FF7FF1919,"},
        Shown{{}, "(1700000000.100000) vcan0 012#B27FFF7FF7FF5A78",
              "1700000000.100000 vcan0 motor 2 <- feedback error=11 (MOS over-temperature) position=-0.0002 "
              "velocity=-0.0110 torque=-0.0132 t_mos=90 t_rotor=120",
              "1700000000.100000,vcan0,2,reply,feedback,,,,,,-0.000190734863,-0.0109901428,-0.0131874084,,,11,90,120,"
              ",,,012#B27FFF7FF7FF5A78,"},
        Shown{{}, "(1700000000.100000) vcan0 011#317FFF7FF7FF1919",
              "1700000000.100000 vcan0 motor 1 <- feedback error=3 (unknown) position=-0.0002 velocity=-0.0073 "
              "torque=-0.0024 t_mos=25 t_rotor=25",
              "1700000000.100000,vcan0,1,reply,feedback,,,,,,-0.000190734863,-0.0073261261,-0.00244235992,,,3,25,25,,"
              ",,011#317FFF7FF7FF1919,"},
        Shown{{}, "(1700000000.100000) vcan0 123#0102",
              "1700000000.100000 vcan0 - ?? raw 123#0102 (no given motor uses this identifier)",
              "1700000000.100000,vcan0,,,raw,,,,,,,,,,,,,,,,,123#0102,no given motor uses this identifier"},
        Shown{{}, "(1700000000.100000) vcan0 011#11223344556677",
              "1700000000.100000 vcan0 motor 1 <- raw 011#11223344556677 (7 bytes: feedback needs 8)",
              "1700000000.100000,vcan0,1,reply,raw,,,,,,,,,,,,,,,,,011#11223344556677,7 bytes: feedback needs 8"},
        Shown{{}, "(1700000000.100000) vcan0 001#R",
              "1700000000.100000 vcan0 motor 1 -> raw 001#R (remote frame)",
              "1700000000.100000,vcan0,1,command,raw,,,,,,,,,,,,,,,,,001#R,remote frame"},
        Shown{{}, "(1700000000.100000) vcan1 001##1FFFFFFFFFFFFFFFC",
              "1700000000.100000 vcan1 motor 1 -> raw 001##1FFFFFFFFFFFFFFFC (CAN FD frame)",
              "1700000000.100000,vcan1,1,command,raw,,,,,,,,,,,,,,,,,001##1FFFFFFFFFFFFFFFC,CAN FD frame"},
        Shown{{}, "(1700000000.100000) vcan0 00000001#FFFFFFFFFFFFFFFC",
              "1700000000.100000 vcan0 motor 1 -> raw 00000001#FFFFFFFFFFFFFFFC (extended identifier)",
              "1700000000.100000,vcan0,1,command,raw,,,,,,,,,,,,,,,,,00000001#FFFFFFFFFFFFFFFC,extended identifier"},
        Shown{{}, "(1700000000.100000) vcan0 00000123#0102",
              "1700000000.100000 vcan0 - ?? raw 00000123#0102 (extended identifier, no given motor uses it)",
              "1700000000.100000,vcan0,,,raw,,,,,,,,,,,,,,,,,00000123#0102,\"extended identifier, no given motor "
              "uses it\""},
        Shown{{}, "(1700000000.100000) vcan0 20000004#0004000000000000",
              "1700000000.100000 vcan0 - ?? raw 20000004#0004000000000000 (CAN error frame)",
              "1700000000.100000,vcan0,,,raw,,,,,,,,,,,,,,,,,20000004#0004000000000000,CAN error frame"},
        Shown{{}, "(1700000000.100000) vcan0 7FF#0900330A00000000",
              "1700000000.100000 vcan0 - -> raw 7FF#0900330A00000000 (register request for motor 9, not given with "
              "--motor)",
              "1700000000.100000,vcan0,,command,raw,,,,,,,,,,,,,,,,,7FF#0900330A00000000,\"register request for "
              "motor 9, not given with --motor\""},
        Shown{{}, "(1700000000.100000) vcan0 7FF#0100440A00000000",
              "1700000000.100000 vcan0 - -> raw 7FF#0100440A00000000 (register marker 0x44 is neither read (0x33) "
              "nor write (0x55))",
              "1700000000.100000,vcan0,,command,raw,,,,,,,,,,,,,,,,,7FF#0100440A00000000,register marker 0x44 is "
              "neither read (0x33) nor write (0x55)"},
        Shown{{}, "(1700000000.100000) vcan0 7FF#010033",
              "1700000000.100000 vcan0 - -> raw 7FF#010033 (3 bytes: a register request needs 8)",
              "1700000000.100000,vcan0,,command,raw,,,,,,,,,,,,,,,,,7FF#010033,3 bytes: a register request needs 8"},
        Shown{{}, "(1700000000.100000) vcan0 201#0000",
              "1700000000.100000 vcan0 motor 1 -> raw 201#0000 (2 bytes: a vel command needs 4)",
              "1700000000.100000,vcan0,1,command,raw,,,,,,,,,,,,,,,,,201#0000,2 bytes: a vel command needs 4"},
        Shown{{}, "(1700000000.100000) vcan0 001#FFFF",
              "1700000000.100000 vcan0 motor 1 -> raw 001#FFFF (2 bytes: a mit command needs 8)",
              "1700000000.100000,vcan0,1,command,raw,,,,,,,,,,,,,,,,,001#FFFF,2 bytes: a mit command needs 8"}));

struct Rank {
    std::vector<std::int64_t> values;
    unsigned percent;
    std::int64_t expected;
};

class Percentile : public ::testing::TestWithParam<Rank> {};

TEST_P(Percentile, IsTheNearestRank) {
    EXPECT_EQ(percentile(GetParam().values, GetParam().percent), GetParam().expected);
}

std::vector<std::int64_t> one_to(std::int64_t count) {
    std::vector<std::int64_t> values;
    for (std::int64_t v = count; v >= 1; --v) {  // unsorted on purpose
        values.push_back(v);
    }
    return values;
}

INSTANTIATE_TEST_SUITE_P(Values, Percentile,
                         ::testing::Values(Rank{{7}, 50, 7}, Rank{{7}, 99, 7}, Rank{{4, 1, 3, 2}, 50, 2},
                                           Rank{{4, 1, 3, 2}, 99, 4}, Rank{{5, 1, 4, 2, 3}, 50, 3},
                                           Rank{one_to(100), 99, 99}, Rank{one_to(100), 50, 50},
                                           Rank{one_to(200), 99, 198}, Rank{one_to(101), 99, 100}));

}  // namespace
}  // namespace jointbus::decode
