// The exchange clients written against jointbus's C++ core, the same loops the
// Python clients run but without an interpreter around them. Beside the C
// loops (c_clients.c), which make the same system calls, they show what the
// driver itself costs per exchange; beside the Python clients, what the
// interpreter adds on top.
//
//   cpp_clients mit|cycle IFACE TICKS WARMUP MOTORS TIMEOUT_MS
//
//   mit    Damiao::mit_control with motors 1..MOTORS in turn
//   cycle  run_cycle over motors 1..MOTORS, one cycle per tick
//
// Prints "NANOSECONDS TICKS" for the timed ticks, as c_clients does. Each
// tick builds its setpoint afresh. The first reply from each motor is checked
// against what the echo motor's frame decodes to; every later one must then
// equal it field for field, as the C loops compare bytes. A wrong reply or an
// error ends the program with status 1 and a message.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "damiao/cycle.hpp"
#include "transport/socketcan_backend.hpp"

namespace {

using jointbus::damiao::CycleCommand;
using jointbus::damiao::Damiao;
using jointbus::damiao::MitLimits;
using jointbus::damiao::MitSetpoint;
using jointbus::damiao::MotorState;
using jointbus::damiao::Result;

constexpr std::uint16_t reply_base = 0x10;
constexpr unsigned max_motors = 15;

// What the echo motor's feedback frame decodes to against the DM4310 ranges:
// status 1, raw position 0xA000, velocity 0x7FF, torque 0x900, 40 and 45 °C.
constexpr int expected_status = 1;
constexpr double expected_position = 0xA000 * 25.0 / 65535 - 12.5;
constexpr double expected_velocity = 0x7FF * 60.0 / 4095 - 30.0;
constexpr double expected_torque = 0x900 * 20.0 / 4095 - 10.0;
constexpr double tolerance = 1e-4;

const char* mode_name = "?";

[[noreturn]] void fail(unsigned motor, const std::string& what) {
    std::fprintf(stderr, "cpp_clients %s: motor %u: %s\n", mode_name, motor, what.c_str());
    std::exit(1);
}

bool is_expected(unsigned motor, const MotorState& state) {
    return state.motor_id == motor && state.error == expected_status &&
           std::fabs(state.position - expected_position) <= tolerance &&
           std::fabs(state.velocity - expected_velocity) <= tolerance &&
           std::fabs(state.torque - expected_torque) <= tolerance && state.t_mos == 40 && state.t_rotor == 45;
}

// Holds each motor's first reply and checks every later one against it.
class ReplyCheck {
public:
    explicit ReplyCheck(unsigned motors) : first_(motors) {}

    void check(unsigned motor, const Result<MotorState>& reply) {
        if (!reply) {
            fail(motor, message(reply.error()));
        }
        std::optional<MotorState>& first = first_[motor - 1];
        if (!first) {
            if (!is_expected(motor, *reply)) {
                fail(motor, "wrong reply");
            }
            first = *reply;
        } else if (*reply != *first) {
            fail(motor, "reply differs from the first one");
        }
    }

private:
    std::vector<std::optional<MotorState>> first_;
};

MitSetpoint fresh_setpoint() { return MitSetpoint{.q = 0.5f, .dq = -1.25f, .kp = 20.0f, .kd = 0.8f, .tau = 0.3f}; }

long number(const char* text) { return std::strtol(text, nullptr, 10); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s mit|cycle IFACE TICKS WARMUP MOTORS TIMEOUT_MS\n", argv[0]);
        return 2;
    }
    mode_name = argv[1];
    const std::string_view mode = mode_name;
    const long ticks = number(argv[3]);
    const long warmup = number(argv[4]);
    const long motors = number(argv[5]);
    const long timeout_ms = number(argv[6]);
    if ((mode != "mit" && mode != "cycle") || ticks < 1 || warmup < 0 || motors < 1 || motors > max_motors ||
        timeout_ms < 1) {
        std::fprintf(stderr, "cpp_clients: mit|cycle, TICKS >= 1, WARMUP >= 0, MOTORS 1..%u, TIMEOUT_MS >= 1\n",
                     max_motors);
        return 2;
    }
    auto bus = jointbus::transport::SocketCanTransport::open(argv[2]);
    if (!bus) {
        std::fprintf(stderr, "cpp_clients: %s: %s\n", argv[2], jointbus::transport::message(bus.error()).c_str());
        return 1;
    }
    std::vector<Damiao> drivers;
    for (unsigned motor = 1; motor <= static_cast<unsigned>(motors); ++motor) {
        drivers.push_back(Damiao::create(static_cast<std::uint16_t>(motor),
                                         static_cast<std::uint16_t>(reply_base + motor), MitLimits::dm4310(),
                                         static_cast<std::uint64_t>(timeout_ms)));
    }
    ReplyCheck replies(static_cast<unsigned>(motors));
    // Both kept across ticks, as a real-time loop keeps them.
    std::vector<CycleCommand> commands;
    jointbus::damiao::CycleResults results;

    const bool in_turn = mode == "mit";
    const auto run_tick = [&] {
        if (in_turn) {
            for (unsigned motor = 1; motor <= drivers.size(); ++motor) {
                replies.check(motor, drivers[motor - 1].mit_control(*bus, fresh_setpoint()));
            }
            return;
        }
        commands.clear();
        for (const Damiao& driver : drivers) {
            commands.push_back({driver, fresh_setpoint()});
        }
        if (auto ran = jointbus::damiao::run_cycle(*bus, commands, results); !ran) {
            fail(0, message(ran.error()));
        }
        for (unsigned motor = 1; motor <= results.size(); ++motor) {
            replies.check(motor, results[motor - 1]);
        }
    };

    for (long tick = 0; tick < warmup; ++tick) {
        run_tick();
    }
    const auto start = std::chrono::steady_clock::now();
    for (long tick = 0; tick < ticks; ++tick) {
        run_tick();
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    std::printf("%lld %ld\n", static_cast<long long>(std::chrono::nanoseconds(elapsed).count()), ticks);
    return 0;
}
