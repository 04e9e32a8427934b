// Several motors on one bus from C++: one control cycle per tick sends every
// motor's command at once, then collects every reply. A motor that misses a
// tick has its own error in its slot; the others still get their states.
//
//   several_motors IFACE [--timeout-ms N] MOTOR_ID:MASTER_ID...
//
// e.g. several_motors can0 1:0x11 2:0x12; the reply time-out is 20 ms unless
// given.
#include <jointbus/damiao/cycle.hpp>
#include <jointbus/transport/socketcan_backend.hpp>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using jointbus::damiao::CycleCommand;
using jointbus::damiao::Damiao;
using jointbus::damiao::MitLimits;
using jointbus::damiao::MitSetpoint;

Damiao motor_from(const std::string& text, std::uint64_t timeout_ms) {
    const auto colon = text.find(':');
    const auto motor_id = static_cast<std::uint16_t>(std::stoul(text.substr(0, colon), nullptr, 0));
    const auto master_id = static_cast<std::uint16_t>(std::stoul(text.substr(colon + 1), nullptr, 0));
    return Damiao::create(motor_id, master_id, MitLimits::dm4310(), timeout_ms);
}

}  // namespace

int main(int argc, char** argv) {
    int first_motor = 2;
    std::uint64_t timeout_ms = 20;
    if (argc > 3 && std::string(argv[2]) == "--timeout-ms") {
        timeout_ms = std::stoull(argv[3]);
        first_motor = 4;
    }
    if (argc <= first_motor) {
        std::fprintf(stderr, "usage: %s IFACE [--timeout-ms N] MOTOR_ID:MASTER_ID...\n", argv[0]);
        return 2;
    }
    auto bus = jointbus::transport::SocketCanTransport::open(argv[1]);
    if (!bus) {
        std::fprintf(stderr, "open: %s\n", jointbus::transport::message(bus.error()).c_str());
        return 1;
    }
    const MitSetpoint hold{.q = 0.5f, .dq = 0.0f, .kp = 20.0f, .kd = 1.0f, .tau = 0.0f};
    std::vector<CycleCommand> commands;
    for (int i = first_motor; i < argc; ++i) {
        const Damiao motor = motor_from(argv[i], timeout_ms);
        if (auto switched = motor.ensure_control_mode(*bus, jointbus::damiao::mit_mode); !switched) {
            std::fprintf(stderr, "%s: %s\n", argv[i], message(switched.error()).c_str());
            return 1;
        }
        if (auto enabled = motor.enable(*bus); !enabled) {
            std::fprintf(stderr, "%s: %s\n", argv[i], message(enabled.error()).c_str());
            return 1;
        }
        commands.push_back({motor, hold});
    }
    // Kept across ticks, so that a tick reuses its storage instead of
    // allocating: a real-time loop must not wait on the heap.
    jointbus::damiao::CycleResults last;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (std::chrono::steady_clock::now() < until) {
        if (auto ran = jointbus::damiao::run_cycle(*bus, commands, last); !ran) {
            // The bus itself failed, or a command was refused.
            std::fprintf(stderr, "cycle: %s\n", message(ran.error()).c_str());
            return 1;
        }
    }
    for (std::size_t i = 0; i < commands.size(); ++i) {
        if (last[i]) {
            std::printf("%s: position %.3f rad\n", argv[first_motor + static_cast<int>(i)], last[i]->position);
        } else {
            std::printf("%s: %s\n", argv[first_motor + static_cast<int>(i)], message(last[i].error()).c_str());
        }
        (void)commands[i].motor.disable(*bus);
    }
    return 0;
}
