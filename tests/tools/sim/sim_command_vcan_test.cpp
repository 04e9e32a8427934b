// jointbus-sim running a command after `--` on vcan0: the motors serve the
// command while it runs, the simulator ends with it and exits as it did,
// and stop signals reach the command while its motors still answer.
#include <gtest/gtest.h>

#include <signal.h>

#include "damiao/driver.hpp"
#include "sim_process.hpp"
#include "transport/socketcan_backend.hpp"

namespace jointbus::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto start_up_limit = 10s;  // a cold start in the emulated guest
constexpr auto exit_limit = 10s;
const std::string ready = "jointbus-sim: ready on vcan0 with 1 motor";
const std::string client = JOINTBUS_COMMAND_CLIENT_PATH;

std::vector<std::string> sim_running(std::vector<std::string> command) {
    std::vector<std::string> args{"vcan0", "--motor", "1:0x11:dm4310", "--"};
    args.insert(args.end(), command.begin(), command.end());
    return args;
}

TEST(SimCommandOnVcan, ExitsAsTheCommandDid) {
    struct Case {
        std::vector<std::string> args;
        int exit_code;
        std::string error;
        bool ready = true;
    };
    const Case cases[] = {
        {sim_running({"true"}), 0, ""},
        {sim_running({"sh", "-c", "exit 3"}), 3, ""},
        {sim_running({"sh", "-c", "kill -KILL $$"}), 128 + SIGKILL, ""},
        {sim_running({"jointbus-no-such-command"}), 127,
         "jointbus-sim: cannot run jointbus-no-such-command: No such file or directory\n"},
        {sim_running({"/"}), 126, "jointbus-sim: cannot run /: Permission denied\n"},
        {sim_running({}), 2,
         "jointbus-sim: '--' needs a command after it, e.g. -- python3 demo.py\nTry 'jointbus-sim --help'.\n",
         false},
    };
    for (const Case& c : cases) {
        const std::string shown = c.args.size() > 4 ? c.args.back() : "(none)";
        SimProcess sim(JOINTBUS_SIM_PATH, c.args);
        const auto status = sim.wait(exit_limit);
        ASSERT_TRUE(status) << shown << " still running";
        EXPECT_TRUE(status->exited) << shown;
        EXPECT_EQ(status->code, c.exit_code) << shown;
        EXPECT_EQ(sim.error_text(), c.error) << shown;
        EXPECT_EQ(sim.read_line(exit_limit), c.ready ? std::optional(ready) : std::nullopt) << shown;
    }
}

TEST(SimCommandOnVcan, TheCommandTalksToMotorsThatAreGoneOnceItEnds) {
    SimProcess sim(JOINTBUS_SIM_PATH, sim_running({client, "1", "0x11"}));
    EXPECT_EQ(sim.read_line(start_up_limit), ready) << sim.error_text();
    EXPECT_EQ(sim.read_line(exit_limit), "motor 1 answered, status 1");
    const auto status = sim.wait(exit_limit);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited && status->code == 0) << status->code << "\n" << sim.error_text();

    auto bus = transport::SocketCanTransport::open("vcan0");
    ASSERT_TRUE(bus) << transport::message(bus.error());
    const auto motor = damiao::Damiao::create(1, 0x11, damiao::MitLimits::dm4310(), 500);
    const auto state = motor.enable(*bus);
    ASSERT_FALSE(state) << "a motor answered after the simulator ended";
    EXPECT_EQ(damiao::message(state.error()), "transport error: timeout waiting for frame");
}

// The command's clean-up on a stop talks to its motor: the simulator must
// still be serving then, and end only with the command.
TEST(SimCommandOnVcan, AStopSignalIsPassedOnAndTheMotorsServeTheCleanUp) {
    const std::string script = "sleep 60 & sleeper=$!; trap 'kill $sleeper; \"$0\" 1 0x11; exit 5' INT TERM; "
                               "echo waiting; wait $sleeper";
    for (const int signal : {SIGTERM, SIGINT}) {
        SimProcess sim(JOINTBUS_SIM_PATH, sim_running({"sh", "-c", script, client}));
        EXPECT_EQ(sim.read_line(start_up_limit), ready) << sim.error_text();
        ASSERT_EQ(sim.read_line(start_up_limit), "waiting") << sim.error_text();
        const auto status = sim.stop(signal, exit_limit);
        ASSERT_TRUE(status) << "still running after signal " << signal;
        EXPECT_TRUE(status->exited) << "killed by signal " << status->code;
        EXPECT_EQ(status->code, 5) << sim.error_text();
        EXPECT_EQ(sim.read_line(exit_limit), "motor 1 answered, status 1") << signal;
    }
}

}  // namespace
}  // namespace jointbus::testing
