// jointbus-decode on a live bus: jointbus-sim on vcan0 dropping replies, the
// core driver commanding it, candump -L piped into the decoder. The
// decoder's lines must come out while the bus is busy, and its summary must
// count exactly the replies the driver never got. Run through
// scripts/with-vcan; the guest is slow, so nothing here is timed.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>

#include "damiao/driver.hpp"
#include "sim_process.hpp"
#include "transport/socketcan_backend.hpp"

namespace jointbus::testing {
namespace {

using namespace std::chrono_literals;
using damiao::Damiao;
using damiao::MitLimits;

constexpr auto line_limit = 10s;  // a cold start in the guest, or candump's own
constexpr std::uint64_t reply_timeout_ms = 1000;  // no reply that comes misses it
constexpr int mit_commands = 20;

struct Counts {
    int commands = 0;
    int replies = 0;
    int missing = 0;
    int unmatched = 0;
    bool latency = false;
};

// "  motor 1 (dm4310, master 0x11): commands 21, replies 16, missing 5, ..."
std::optional<Counts> summary_of(const std::vector<std::string>& lines, int motor) {
    const std::regex pattern("  motor " + std::to_string(motor) +
                             R"( \(\w+, master 0x\w+\): commands (\d+), replies (\d+), missing (\d+), )"
                             R"(unmatched (\d+), malformed 0, latency (-|p50 [\d.]+ ms p99 [\d.]+ ms), .*)");
    for (const std::string& line : lines) {
        std::smatch match;
        if (std::regex_match(line, match, pattern)) {
            return Counts{std::stoi(match[1]), std::stoi(match[2]), std::stoi(match[3]), std::stoi(match[4]),
                          match[5] != "-"};
        }
    }
    return std::nullopt;
}

// Every line until the program ends.
std::vector<std::string> rest_of(SimProcess& process) {
    std::vector<std::string> lines;
    while (auto line = process.read_line(30s)) {
        lines.push_back(*line);
    }
    return lines;
}

// The candump this test started, stopped by its own id whatever way the test ends.
struct Candump {
    pid_t pid = -1;
    void stop() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
        }
        pid = -1;
    }
    ~Candump() { stop(); }
};

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Sends a frame on `id`, which no motor uses, until the decoder shows it:
// candump gives no other sign that it has logged everything sent before.
bool probe_until(transport::SocketCanTransport& bus, SimProcess& decoder, std::uint16_t id) {
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "- ?? raw %03X#00 (no given motor uses this identifier)", id);
    for (int attempt = 0; attempt < 50; ++attempt) {
        (void)bus.send(transport::CanFrame{transport::CanId::standard(id), {0x00}, false, false});
        while (auto line = decoder.read_line(300ms)) {
            if (line->find(wanted) != std::string::npos) {
                return true;
            }
        }
    }
    return false;
}

bool wait_for_line(SimProcess& decoder, const std::string& wanted) {
    while (auto line = decoder.read_line(line_limit)) {
        if (line->find(wanted) != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST(DecodeOnVcan, CountsTheDroppedRepliesLiveAndFromTheRecording) {
    SimProcess sim(JOINTBUS_SIM_PATH, {"vcan0", "--seed", "7", "--motor", "1:0x11:dm4310:mit:drop=0.3", "--motor",
                                       "2:0x12:dm8009:mit:drop=1"});
    ASSERT_EQ(sim.read_line(line_limit), "jointbus-sim: ready on vcan0 with 2 motors") << sim.error_text();
    const std::string motors = " --motor 1:0x11:dm4310 --motor 2:0x12:dm8009";
    const std::string recording = ::testing::TempDir() + "decode_vcan.log";
    // candump's process id is written down so that it alone can be stopped,
    // which ends the pipe and so the decoder.
    const std::string pid_file = ::testing::TempDir() + "decode_vcan.candump.pid";
    SimProcess live("/bin/sh", {"-c", "{ candump -L vcan0 & echo $! >" + pid_file + "; wait; } | tee " +
                                          recording + " | " + JOINTBUS_DECODE_PATH + motors});
    auto bus = transport::SocketCanTransport::open("vcan0");
    ASSERT_TRUE(bus) << transport::message(bus.error());
    ASSERT_TRUE(probe_until(*bus, live, 0x555)) << live.error_text();
    Candump candump{std::stoi(slurp(pid_file))};

    const Damiao first = Damiao::create(1, 0x11, MitLimits::dm4310(), reply_timeout_ms);
    const Damiao second = Damiao::create(2, 0x12, MitLimits::dm8009(), reply_timeout_ms / 4);
    int first_failures = first.enable(*bus) ? 0 : 1;
    ASSERT_TRUE(wait_for_line(live, "vcan0 motor 1 -> enable")) << live.error_text();
    (void)second.enable(*bus);
    for (int i = 0; i < mit_commands; ++i) {
        first_failures += first.mit_control(*bus, {.q = 0.1f * static_cast<float>(i), .kp = 5.0f}) ? 0 : 1;
        EXPECT_FALSE(second.mit_control(*bus, {.q = 0.5f}));
    }

    // Once the decoder has shown a frame sent after every command, candump
    // has logged them all.
    ASSERT_TRUE(probe_until(*bus, live, 0x556)) << live.error_text();
    candump.stop();
    const std::vector<std::string> live_lines = rest_of(live);
    const auto status = live.wait(line_limit);
    ASSERT_TRUE(status && status->exited) << live.error_text();
    EXPECT_EQ(status->code, 0) << live.error_text();
    const auto one = summary_of(live_lines, 1);
    const auto two = summary_of(live_lines, 2);
    ASSERT_TRUE(one && two) << ::testing::PrintToString(live_lines);
    EXPECT_GT(first_failures, 0) << "the seed gave no drop: pick another";
    EXPECT_EQ(one->commands, 1 + mit_commands);
    EXPECT_EQ(one->missing, first_failures);
    EXPECT_EQ(one->replies, one->commands - first_failures);
    EXPECT_EQ(one->unmatched, 0);
    EXPECT_TRUE(one->latency);
    EXPECT_EQ(two->commands, 1 + mit_commands);
    EXPECT_EQ(two->missing, two->commands);
    EXPECT_EQ(two->replies, 0);
    EXPECT_FALSE(two->latency);

    // The recording, read back from the file, says the same: the live lines
    // read above while waiting for the probe and the enable come first.
    SimProcess replay(JOINTBUS_DECODE_PATH, {"--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm8009", recording});
    const std::vector<std::string> replay_lines = rest_of(replay);
    ASSERT_GE(replay_lines.size(), live_lines.size());
    EXPECT_TRUE(std::equal(live_lines.rbegin(), live_lines.rend(), replay_lines.rbegin()))
        << ::testing::PrintToString(replay_lines);
    const auto replay_status = replay.wait(line_limit);
    EXPECT_TRUE(replay_status && replay_status->exited && replay_status->code == 0) << replay.error_text();

    const auto sim_status = sim.stop(SIGTERM, line_limit);
    EXPECT_TRUE(sim_status && sim_status->exited && sim_status->code == 0) << sim.error_text();
}

}  // namespace
}  // namespace jointbus::testing
