// One motor from C++: open the bus, switch to MIT mode, enable, hold a
// position for half a second, disable. Every operation returns its result or
// an error value; nothing throws.
//
//   one_motor IFACE MOTOR_ID MASTER_ID [TIMEOUT_MS]      e.g.  one_motor can0 1 0x11
//
// TIMEOUT_MS is the reply time-out, 20 ms unless given.
#include <jointbus/damiao/driver.hpp>
#include <jointbus/transport/socketcan_backend.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using jointbus::damiao::Damiao;
using jointbus::damiao::MitLimits;
using jointbus::damiao::MitSetpoint;

int fail(const char* what, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", what, message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s IFACE MOTOR_ID MASTER_ID [TIMEOUT_MS]\n", argv[0]);
        return 2;
    }
    auto bus = jointbus::transport::SocketCanTransport::open(argv[1]);
    if (!bus) {
        return fail("open", jointbus::transport::message(bus.error()));
    }
    const auto motor_id = static_cast<std::uint16_t>(std::stoul(argv[2], nullptr, 0));
    const auto master_id = static_cast<std::uint16_t>(std::stoul(argv[3], nullptr, 0));
    const std::uint64_t timeout_ms = argc == 5 ? std::stoull(argv[4]) : 20;
    const Damiao motor = Damiao::create(motor_id, master_id, MitLimits::dm4310(), timeout_ms);

    if (auto switched = motor.ensure_control_mode(*bus, jointbus::damiao::mit_mode); !switched) {
        return fail("ensure_control_mode", message(switched.error()));
    }
    if (auto enabled = motor.enable(*bus); !enabled) {
        return fail("enable", message(enabled.error()));
    }
    const MitSetpoint hold{.q = 0.5f, .dq = 0.0f, .kp = 20.0f, .kd = 1.0f, .tau = 0.0f};
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    jointbus::damiao::MotorState state{};
    while (std::chrono::steady_clock::now() < until) {
        auto reply = motor.mit_control(*bus, hold);
        if (!reply) {
            return fail("mit_control", message(reply.error()));
        }
        state = *reply;
    }
    std::printf("position %.3f rad, velocity %.3f rad/s, torque %.3f N*m, status %u\n", state.position,
                state.velocity, state.torque, unsigned{state.error});
    if (auto disabled = motor.disable(*bus); !disabled) {
        return fail("disable", message(disabled.error()));
    }
    return 0;
}
