// The whole program on a hand-written log: every line's output, the
// summary's counts and percentiles, bad lines, the options, exit statuses.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli.hpp"

namespace jointbus::decode {
namespace {

// Motor 1: answered in 0.4 ms, one MIT command unanswered, the next in 1 ms.
// Motor 2: answered in 2.5 ms with a fault, then the fault again unasked.
constexpr std::string_view log_text = R"((1700000000.000000) can0 001#FFFFFFFFFFFFFFFC
(1700000000.000400) can0 011#117FFF7FF7FF1919
(1700000000.001000) can0 002#FFFFFFFFFFFFFFFC
(1700000000.001000) can0 001#8000800A3F666FFF
(1700000000.002000) can0 001#8000800A3F666FFF
(1700000000.003000) can0 011#117FFF7FF7FF1919
this is not a frame
(1700000000.003500) can0 012#A27FFF7FF7FF1919
(1700000000.004000) can0 555#00

(1700000000.005000) can0 012#A27FFF7FF7FF1919
)";

constexpr std::string_view motor_1_lines =
    "1700000000.000000 can0 motor 1 -> enable\n"
    "1700000000.000400 can0 motor 1 <- feedback error=1 (enabled) position=-0.0002 velocity=-0.0073 "
    "torque=-0.0024 t_mos=25 t_rotor=25 latency_ms=0.400\n";
constexpr std::string_view motor_2_enable = "1700000000.001000 can0 motor 2 -> enable\n";
constexpr std::string_view motor_1_mit =
    "1700000000.001000 can0 motor 1 -> mit q=0.0002 dq=0.0073 kp=320.2686 kd=2.0000 tau=10.0000\n"
    "1700000000.002000 can0 motor 1 -> mit q=0.0002 dq=0.0073 kp=320.2686 kd=2.0000 tau=10.0000\n"
    "1700000000.003000 can0 motor 1 <- feedback error=1 (enabled) position=-0.0002 velocity=-0.0073 "
    "torque=-0.0024 t_mos=25 t_rotor=25 latency_ms=1.000\n";
constexpr std::string_view motor_2_fault =
    "1700000000.003500 can0 motor 2 <- feedback error=10 (over-current) position=-0.0002 velocity=-0.0110 "
    "torque=-0.0132 t_mos=25 t_rotor=25 latency_ms=2.500\n";
constexpr std::string_view unknown = "1700000000.004000 can0 - ?? raw 555#00 (no given motor uses this identifier)\n";
constexpr std::string_view motor_2_unasked =
    "1700000000.005000 can0 motor 2 <- feedback error=10 (over-current) position=-0.0002 velocity=-0.0110 "
    "torque=-0.0132 t_mos=25 t_rotor=25\n";
constexpr std::string_view summary_1 =
    "  motor 1 (dm4310, master 0x11): commands 3, replies 2, missing 1, unmatched 0, malformed 0, latency p50 "
    "0.400 ms p99 1.000 ms, faults none\n";
constexpr std::string_view summary_2 =
    "  motor 2 (dm8009, master 0x12): commands 1, replies 2, missing 0, unmatched 1, malformed 0, latency p50 "
    "2.500 ms p99 2.500 ms, faults 10 (over-current) x2\n";
constexpr std::string_view summary_end = "  unattributed frames 1, bad lines 1\n";
constexpr std::string_view bad_line = "jointbus-decode: line 7: expected (TIME) INTERFACE FRAME, got 5 fields\n";

std::string cat(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (const std::string_view part : parts) {
        text += part;
    }
    return text;
}

struct Run {
    std::string name;
    std::vector<std::string> extra_args;
    std::string out;
    std::string err;
};

class WholeLog : public ::testing::TestWithParam<Run> {};

TEST_P(WholeLog, PrintsExactlyThis) {
    std::vector<std::string> args{"--motor", "1:0x11:dm4310", "--motor", "0x2:18:dm8009"};
    args.insert(args.end(), GetParam().extra_args.begin(), GetParam().extra_args.end());
    const auto options = parse_options(args);
    ASSERT_TRUE(options) << options.error();
    std::istringstream in{std::string(log_text)};
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(run(*options, in, out, err), 1);  // one line was not a frame
    EXPECT_EQ(out.str(), GetParam().out);
    EXPECT_EQ(err.str(), GetParam().err);
}

INSTANTIATE_TEST_SUITE_P(
    Options, WholeLog,
    ::testing::Values(
        Run{"Text",
            {},
            cat({motor_1_lines, motor_2_enable, motor_1_mit, motor_2_fault, unknown, motor_2_unasked, "summary\n",
                 summary_1, summary_2, summary_end}),
            std::string(bad_line)},
        Run{"OnlyOneMotor",
            {"--only", "2"},
            cat({motor_2_enable, motor_2_fault, motor_2_unasked, "summary\n", summary_2, summary_end}),
            std::string(bad_line)},
        Run{"NoSummary",
            {"--only=1", "--no-summary"},
            cat({motor_1_lines, motor_1_mit}),
            std::string(bad_line)}),
    [](const auto& test) { return test.param.name; });

TEST(WholeLog, InCsvHasTheHeaderFirstAndTheSummaryApart) {
    const auto options = parse_options({"--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm8009", "--csv"});
    std::istringstream in{std::string(log_text)};
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(run(*options, in, out, err), 1);
    std::vector<std::string> rows;
    std::istringstream lines(out.str());
    for (std::string row; std::getline(lines, row);) {
        rows.push_back(row);
    }
    ASSERT_EQ(rows.size(), 10u);  // the header and nine frames
    EXPECT_EQ(rows[0],
              "time,interface,motor,direction,kind,q,dq,kp,kd,tau,position,velocity,torque,velocity_limit,"
              "torque_ratio,error,t_mos,t_rotor,register,value,latency_ms,frame,reason");
    EXPECT_EQ(rows[9], "1700000000.005000,can0,2,reply,feedback,,,,,,-0.000190734863,-0.0109901428,-0.0131874084,"
                       ",,10,25,25,,,,012#A27FFF7FF7FF1919,");
    EXPECT_EQ(err.str(), cat({bad_line, "summary\n", summary_1, summary_2, summary_end}));
}

TEST(WholeLog, WithEveryLineReadExitsZero) {
    const auto options = parse_options({"--motor", "1:0x11:dm4310", "--no-summary"});
    std::istringstream in("(1.000000) can0 001#FFFFFFFFFFFFFFFC\n\n");
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(run(*options, in, out, err), 0);
    EXPECT_EQ(out.str(), "1.000000 can0 motor 1 -> enable\n");
    EXPECT_EQ(err.str(), "");
}

struct BadArguments {
    std::vector<std::string> args;
    std::string error;
};

class Arguments : public ::testing::TestWithParam<BadArguments> {};

TEST_P(Arguments, AreRefusedWithOneLine) {
    const auto options = parse_options(GetParam().args);
    ASSERT_FALSE(options);
    EXPECT_EQ(options.error(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, Arguments,
    ::testing::Values(
        BadArguments{{}, "no motor given: add --motor ID:MASTER:MODEL"},
        BadArguments{{"--motor", "1:0x11"}, "--motor 1:0x11: expected ID:MASTER:MODEL"},
        BadArguments{{"--motor", "1:0x11:dm4310", "--motor", "1:0x12:dm4310"}, "motor 1 is given twice"},
        BadArguments{{"--motor", "1:0x11:dm4310", "--only", "3"}, "--only 3: no --motor has that id"},
        BadArguments{{"--motor", "1:0x11:dm4310", "--only", "x"},
                     "--only x: 'x' is not a number (decimal or 0x hex)"},
        BadArguments{{"--motor"}, "--motor: 1 required TEXT missing"},
        BadArguments{{"--motor", "1:0x11:dm4310", "--bogus"}, "The following argument was not expected: --bogus"},
        BadArguments{{"--motor", "1:0x11:dm4310", "a.log", "b.log"},
                     "The following argument was not expected: b.log"}));

TEST(Arguments, AreAllTaken) {
    const auto options = parse_options({"--motor", "1:0x11:dm4310", "--motor=2:0x12:dm8009", "--only", "0x1,2",
                                        "--csv", "--no-summary", "capture.log"});
    ASSERT_TRUE(options) << options.error();
    ASSERT_EQ(options->motors.size(), 2u);
    EXPECT_EQ(options->motors[1].model, "dm8009");
    EXPECT_EQ(options->motors[1].limits, damiao::MitLimits::dm8009());
    EXPECT_EQ(options->only, (std::vector<std::uint16_t>{1, 2}));
    EXPECT_TRUE(options->csv);
    EXPECT_FALSE(options->summary);
    EXPECT_EQ(options->input, "capture.log");
}

TEST(Arguments, HelpNeedsNothingElse) {
    const auto options = parse_options({"--help"});
    ASSERT_TRUE(options) << options.error();
    EXPECT_TRUE(options->help);
    const std::string help = help_text();
    EXPECT_TRUE(help.starts_with(
        "Usage: jointbus-decode --motor ID:MASTER:MODEL [--motor ...]... [OPTION]... [FILE]\n"))
        << help;
    EXPECT_NE(help.find("  candump -L can0 | jointbus-decode --motor 1:0x11:dm4310 --motor 2:0x12:dm8009\n"),
              std::string::npos);
    EXPECT_NE(help.find("physical units, one of\n"
                        "                           dm3507, dm4310, dm4310p, dm4340, dm4340p, dm6006,\n"
                        "                           dm6248p, dm8006, dm8009, dm10010, dm10010l,\n"
                        "                           dmg6215, dmh3510, dmh6220, dmjh11\n"),
              std::string::npos)
        << help;
    EXPECT_NE(help.find("\n  time,interface,motor,direction,kind,q,dq,kp,kd,tau,position,velocity,torque,\n"
                        "  velocity_limit,torque_ratio,error,t_mos,t_rotor,register,value,latency_ms,\n"
                        "  frame,reason\n"),
              std::string::npos)
        << help;
    EXPECT_EQ(help.find('%'), help.find("%.9g"));  // every marker filled in
}

// The built program: a file argument, and one that cannot be opened.
struct Invocation {
    std::string arguments;
    int status;
    std::string out;
    std::string err;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class Program : public ::testing::TestWithParam<Invocation> {};

TEST_P(Program, ExitsAsDocumented) {
    // A directory of its own: ctest runs the cases side by side.
    const std::string dir = ::testing::TempDir() + "decode_" + std::to_string(GetParam().status) + "_" +
                            std::to_string(std::hash<std::string>{}(GetParam().arguments)) + "/";
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "decode_ok.log") << "(1.000000) can0 001#FFFFFFFFFFFFFFFC\n";
    std::string arguments = GetParam().arguments;
    for (std::size_t at; (at = arguments.find("DIR/")) != std::string::npos;) {
        arguments.replace(at, 4, dir);
    }
    const std::string command =
        std::string(JOINTBUS_DECODE_PATH) + " " + arguments + " >" + dir + "decode.out 2>" + dir + "decode.err";
    const int raw = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), GetParam().status);
    EXPECT_EQ(slurp(dir + "decode.out"), GetParam().out);
    EXPECT_EQ(slurp(dir + "decode.err"), GetParam().err);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, Program,
    ::testing::Values(
        Invocation{"--motor 1:0x11:dm4310 --no-summary DIR/decode_ok.log", 0, "1.000000 can0 motor 1 -> enable\n", ""},
        Invocation{"--motor 1:0x11:dm4310 --no-summary - <DIR/decode_ok.log", 0,
                   "1.000000 can0 motor 1 -> enable\n", ""},
        Invocation{"--motor 1:0x11:dm4310 /nonexistent/capture.log", 2, "",
                   "jointbus-decode: cannot open /nonexistent/capture.log: No such file or directory\n"},
        Invocation{"--motor 1:0x11:dm9", 2, "",
                   "jointbus-decode: --motor 1:0x11:dm9: unknown model 'dm9' (one of dm3507, dm4310, dm4310p, dm4340, "
                   "dm4340p, dm6006, dm6248p, dm8006, dm8009, dm10010, dm10010l, dmg6215, dmh3510, dmh6220, dmjh11)\n"
                   "Try 'jointbus-decode --help'.\n"}));

}  // namespace
}  // namespace jointbus::decode
