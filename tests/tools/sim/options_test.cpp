// The command line, good and bad, as a user would type it.
#include <gtest/gtest.h>

#include <cstdio>

#include "options.hpp"

namespace jointbus::sim {
namespace {

std::expected<Options, std::string> parse(std::vector<std::string_view> args) { return parse_options(args); }

std::string g(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// One line per motor with every field the command line can set.
std::string summary(const MotorConfig& m) {
    const FaultSettings& f = m.faults;
    return std::to_string(m.motor_id) + "/" + std::to_string(m.master_id) + " t_max=" + g(m.limits.t_max) + " " +
           std::string(name_of(m.initial_mode)) + " drop=" + g(f.drop_probability) +
           " delay=" + std::to_string(f.delay.count()) + " late=" + std::to_string(f.late.count()) + "@" +
           g(f.late_probability) + " short=" + g(f.short_probability) + (f.junk_before_register ? " junk" : "") +
           (f.ignore_mode_writes ? " stubborn" : "") +
           (f.fault_code ? " fault=" + std::to_string(*f.fault_code) : "") + " J=" + g(m.physics.inertia) +
           " b=" + g(m.physics.viscous_friction) + " c=" + g(m.physics.coulomb_friction);
}

std::string summary(const Options& options) {
    std::string text = options.interface + " flood=" + g(options.bus.flood_hz) + " seed=" +
                       std::to_string(options.bus.seed);
    for (const MotorConfig& motor : options.bus.motors) {
        text += " | " + summary(motor);
    }
    return text;
}

TEST(Options, GoodCommandLines) {
    struct Case {
        std::vector<std::string_view> args;
        std::string expected;
    };
    const std::string plain_4310 = "drop=0 delay=0 late=0@1 short=0 J=0.005 b=0.0166667 c=0.2";
    const Case cases[] = {
        {{"vcan0", "--motor", "1:0x11:dm4310"}, "vcan0 flood=0 seed=1 | 1/17 t_max=10 pos_vel " + plain_4310},
        {{"--motor=0x7FF:2047:dm8009:mit", "can1"},
         "can1 flood=0 seed=1 | 2047/2047 t_max=54 mit drop=0 delay=0 late=0@1 short=0 J=0.027 b=0.06 c=1.08"},
        {{"vcan0", "--motor", "1:0x11:dm4310:vel", "--motor", "65535:0:dmh3510:force_pos:inertia=0.25:friction=0:"
                                                               "coulomb=1.5"},
         "vcan0 flood=0 seed=1 | 1/17 t_max=10 vel " + plain_4310 +
             " | 65535/0 t_max=1 force_pos drop=0 delay=0 late=0@1 short=0 J=0.25 b=0 c=1.5"},
        // Bus-wide faults reach every motor; a motor's own settings win,
        // whichever comes first on the line.
        {{"vcan0", "--motor", "1:0x11:dm4310:drop=0:fault=none:junk-before-register=off", "--drop", "0.25",
          "--delay=5", "--late", "300@0.5", "--short-reply", "0.125", "--junk-before-register",
          "--ignore-mode-writes", "--fault", "0x8", "--motor", "2:0x12:dm4310:mit:late=50:ignore-mode-writes=off"},
         "vcan0 flood=0 seed=1 | 1/17 t_max=10 pos_vel drop=0 delay=5 late=300@0.5 short=0.125 stubborn J=0.005 "
         "b=0.0166667 c=0.2 | 2/18 t_max=10 mit drop=0.25 delay=5 late=50@1 short=0.125 junk fault=8 J=0.005 "
         "b=0.0166667 c=0.2"},
        {{"vcan0", "--motor", "3:0x13:dm4310:fault=15:short-reply=1:delay=0x10", "--flood", "2000", "--seed",
          "18446744073709551615"},
         "vcan0 flood=2000 seed=18446744073709551615 | 3/19 t_max=10 pos_vel drop=0 delay=16 late=0@1 short=1 "
         "fault=15 J=0.005 b=0.0166667 c=0.2"},
        {{"vcan0", "--motor", "1:1:dm4310:pos_vel:mit"},
         "vcan0 flood=0 seed=1 | 1/1 t_max=10 mit " + plain_4310},
    };
    for (const Case& c : cases) {
        const auto options = parse(c.args);
        ASSERT_TRUE(options) << options.error();
        EXPECT_FALSE(options->help);
        EXPECT_EQ(summary(*options), c.expected);
    }
}

TEST(Options, BadCommandLinesSayWhatIsWrong) {
    struct Case {
        std::vector<std::string_view> args;
        std::string error;
    };
    const Case cases[] = {
        {{}, "missing the CAN interface, e.g. vcan0"},
        {{"vcan0"}, "no motor given: add --motor ID:MASTER:MODEL[:MODE][:SETTING]..."},
        {{"vcan0", "vcan1", "--motor", "1:2:dm4310"}, "unexpected argument 'vcan1': give one CAN interface"},
        {{"vcan0", "--motor"}, "--motor needs a value"},
        {{"vcan0", "--motor", "1:0x11"}, "--motor 1:0x11: expected ID:MASTER:MODEL[:MODE][:SETTING]..."},
        {{"vcan0", "--motor", "x:0x11:dm4310"},
         "--motor x:0x11:dm4310: motor id must be 0..65535 (decimal or 0x hex), got 'x'"},
        {{"vcan0", "--motor", "65536:0x11:dm4310"},
         "--motor 65536:0x11:dm4310: motor id must be 0..65535 (decimal or 0x hex), got '65536'"},
        {{"vcan0", "--motor", "1:-1:dm4310"},
         "--motor 1:-1:dm4310: master id must be 0..65535 (decimal or 0x hex), got '-1'"},
        {{"vcan0", "--motor", "1:0x:dm4310"},
         "--motor 1:0x:dm4310: master id must be 0..65535 (decimal or 0x hex), got '0x'"},
        {{"vcan0", "--motor", "1:2:dm4311"},
         "--motor 1:2:dm4311: unknown model 'dm4311' (one of dm3507, dm4310, dm4310p, dm4340, dm4340p, dm6006, "
         "dm6248p, dm8006, dm8009, dm10010, dm10010l, dmg6215, dmh3510, dmh6220, dmjh11)"},
        {{"vcan0", "--motor", "1:2:dm4310:torque"},
         "--motor 1:2:dm4310:torque: unknown setting 'torque' (a mode: mit, pos_vel, vel, force_pos; or see --help)"},
        {{"vcan0", "--motor", "1:2:dm4310:"},
         "--motor 1:2:dm4310:: unknown setting '' (a mode: mit, pos_vel, vel, force_pos; or see --help)"},
        {{"vcan0", "--motor", "1:2:dm4310:drop"}, "--motor 1:2:dm4310:drop: drop needs a value: drop=..."},
        {{"vcan0", "--motor", "1:2:dm4310:drop=1.5"},
         "--motor 1:2:dm4310:drop=1.5: drop: expected a probability from 0 to 1, got '1.5'"},
        {{"vcan0", "--motor", "1:2:dm4310:junk-before-register=yes"},
         "--motor 1:2:dm4310:junk-before-register=yes: junk-before-register: expected nothing, 'on' or 'off', got "
         "'yes'"},
        {{"vcan0", "--motor", "1:2:dm4310:fault=1"},
         "--motor 1:2:dm4310:fault=1: fault: expected a fault code from 2 to 15 (0x2..0xF) or 'none', got '1'"},
        {{"vcan0", "--motor", "1:2:dm4310:inertia=0"},
         "--motor 1:2:dm4310:inertia=0: inertia: expected a number above 0 to 1000, got '0'"},
        {{"vcan0", "--motor", "1:2:dm4310:friction=-1"},
         "--motor 1:2:dm4310:friction=-1: friction: expected a number from 0 to 10000, got '-1'"},
        {{"vcan0", "--motor", "1:2:dm4310:coulomb=nan"},
         "--motor 1:2:dm4310:coulomb=nan: coulomb: expected a number from 0 to 10000, got 'nan'"},
        {{"vcan0", "--motor", "1:2:dm4310", "--motor", "1:3:dm8009"}, "--motor 1:3:dm8009: motor id 1 given twice"},
        {{"vcan0", "--motor", "1:2:dm4310", "--drop", "-0.1"},
         "--drop: expected a probability from 0 to 1, got '-0.1'"},
        {{"vcan0", "--motor", "1:2:dm4310", "--drop"}, "--drop needs a value"},
        {{"vcan0", "--motor", "1:2:dm4310", "--delay", "1.5"},
         "--delay: expected milliseconds from 0 to 3600000, got '1.5'"},
        {{"vcan0", "--motor", "1:2:dm4310", "--late", "300@2"},
         "--late: expected a probability from 0 to 1, got '2'"},
        {{"vcan0", "--motor", "1:2:dm4310", "--late", "@0.5"},
         "--late: expected milliseconds from 0 to 3600000, got ''"},
        {{"vcan0", "--motor", "1:2:dm4310", "--short-reply", "inf"},
         "--short-reply: expected a probability from 0 to 1, got 'inf'"},
        {{"vcan0", "--motor", "1:2:dm4310", "--fault", "16"},
         "--fault: expected a fault code from 2 to 15 (0x2..0xF) or 'none', got '16'"},
        {{"vcan0", "--motor", "1:2:dm4310", "--junk-before-register=on"}, "--junk-before-register takes no value"},
        {{"vcan0", "--motor", "1:2:dm4310", "--flood", "20001"},
         "--flood: expected frames per second from 0 to 20000, got '20001'"},
        {{"vcan0", "--motor", "1:2:dm4310", "--seed", "-1"},
         "--seed: expected a whole number from 0 to 18446744073709551615, got '-1'"},
        {{"vcan0", "--motor", "1:2:dm4310", "--inertia", "1"}, "unknown option '--inertia' (see --help)"},
        {{"vcan0", "--motor", "1:2:dm4310", "-v"}, "unknown option '-v' (see --help)"},
        {{"vcan0", "--frobnicate"}, "unknown option '--frobnicate' (see --help)"},
        {{"vcan0", "--motor", "1:2:dm4310", "--"}, "'--' needs a command after it, e.g. -- python3 demo.py"},
        {{"--", "true"}, "missing the CAN interface, e.g. vcan0"},
        {{"vcan0", "--motor", "--", "true"}, "--motor needs a value"},
        // The command's own --help is the command's.
        {{"vcan0", "--", "python3", "--help"}, "no motor given: add --motor ID:MASTER:MODEL[:MODE][:SETTING]..."},
    };
    for (const Case& c : cases) {
        const auto options = parse(c.args);
        ASSERT_FALSE(options) << c.error;
        EXPECT_EQ(options.error(), c.error);
    }
}

TEST(Options, EverythingAfterDoubleDashIsTheCommand) {
    struct Case {
        std::vector<std::string_view> args;
        std::vector<std::string> command;
    };
    const Case cases[] = {
        {{"vcan0", "--motor", "1:2:dm4310"}, {}},
        {{"vcan0", "--motor", "1:2:dm4310", "--", "true"}, {"true"}},
        {{"--motor", "1:2:dm4310", "--drop", "0.5", "vcan0", "--", "python3", "demo.py", "--motor", "x", "-h", "--",
          "vcan1"},
         {"python3", "demo.py", "--motor", "x", "-h", "--", "vcan1"}},
    };
    for (const Case& c : cases) {
        const auto options = parse(c.args);
        ASSERT_TRUE(options) << options.error();
        EXPECT_EQ(options->interface, "vcan0");
        EXPECT_EQ(options->command, c.command);
    }
}

TEST(Options, HelpWinsWherEverItIs) {
    for (const auto& args : {std::vector<std::string_view>{"--help"}, {"-h"}, {"vcan0", "--frobnicate", "--help"},
                             {"--motor", "bad", "-h"}, {"-h", "--"}}) {
        const auto options = parse(args);
        ASSERT_TRUE(options);
        EXPECT_TRUE(options->help);
    }
}

TEST(Options, HelpNamesEveryOptionSettingAndModel) {
    const std::string help = help_text();
    const std::string_view words[] = {
        "--motor", "--drop", "--delay", "--late", "--short-reply", "--junk-before-register", "--ignore-mode-writes",
        "--fault", "--flood", "--seed", "--help", "inertia=", "friction=", "coulomb=", "fault=none", "pos_vel",
        "force_pos", "ready on INTERFACE with N motors", "[-- COMMAND [ARG]...]", "128+N",
    };
    for (const auto word : words) {
        EXPECT_NE(help.find(word), std::string::npos) << word;
    }
    for (const auto& preset : damiao::mit_limits_presets) {
        EXPECT_NE(help.find(std::string(preset.name) + " "), std::string::npos) << preset.name;
    }
}

}  // namespace
}  // namespace jointbus::sim
