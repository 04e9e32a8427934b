// A program for jointbus-sim to run after `--`, as a user's control program
// would be: it enables one dm4310 motor on vcan0, prints what the motor
// answered, and exits 0 only if it answered.
//   command_client MOTOR_ID MASTER_ID
#include <iostream>
#include <string>

#include "damiao/driver.hpp"
#include "transport/socketcan_backend.hpp"

int main(int argc, char** argv) {
    using namespace jointbus;
    if (argc != 3) {
        std::cerr << "usage: command_client MOTOR_ID MASTER_ID\n";
        return 2;
    }
    const auto motor_id = static_cast<std::uint16_t>(std::stoul(argv[1], nullptr, 0));
    const auto master_id = static_cast<std::uint16_t>(std::stoul(argv[2], nullptr, 0));
    auto bus = transport::SocketCanTransport::open("vcan0");
    if (!bus) {
        std::cout << "vcan0: " << transport::message(bus.error()) << std::endl;
        return 1;
    }
    // A second: the emulated guest is slow, and a motor that exists answers.
    const auto motor = damiao::Damiao::create(motor_id, master_id, damiao::MitLimits::dm4310(), 1000);
    const auto state = motor.enable(*bus);
    if (!state) {
        std::cout << "motor " << motor_id << ": " << damiao::message(state.error()) << std::endl;
        return 1;
    }
    std::cout << "motor " << motor_id << " answered, status " << static_cast<int>(state->error) << std::endl;
    return 0;
}
