// jointbus-sim: virtual motors on a SocketCAN interface. One thread, one
// loop: receive with a short time-out, act on the frame, step the physics,
// send what has come due.
#include <signal.h>

#include <algorithm>
#include <iostream>
#include <string_view>
#include <vector>

#include "options.hpp"
#include "simulator.hpp"
#include "transport/socketcan_backend.hpp"

namespace {

using namespace jointbus;

// Even with nothing due the loop wakes this often, so the physics and the
// stop signals are never left waiting on a quiet bus.
constexpr std::chrono::milliseconds longest_wait{2};

constexpr int exit_stopped = 0;
constexpr int exit_bus_failure = 1;
constexpr int exit_bad_arguments = 2;

sigset_t stop_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

// The stop signals stay blocked and are polled once per loop turn, so they
// end the program between two frames, never inside a receive.
bool stop_requested(const sigset_t& signals) {
    const timespec no_wait{};
    return sigtimedwait(&signals, nullptr, &no_wait) > 0;
}

transport::Duration wait_before(std::optional<transport::MonotonicTime> due, transport::MonotonicTime now) {
    std::chrono::nanoseconds wait = longest_wait;
    if (due) {
        wait = std::clamp<std::chrono::nanoseconds>(*due - now, std::chrono::nanoseconds{0}, longest_wait);
    }
    return transport::Duration{0, static_cast<std::uint32_t>(wait.count())};
}

// A send can fail on a congested bus; the simulator carries on, telling
// only the first time so a flood cannot fill the terminal.
class SendFailures {
public:
    void report(const transport::TransportError& error) {
        if (!reported_) {
            std::cerr << "jointbus-sim: send failed: " << transport::message(error)
                      << " (further send failures not reported)\n";
            reported_ = true;
        }
    }

private:
    bool reported_ = false;
};

void send_due(sim::Simulator& simulator, transport::CanTransport& bus, SendFailures& failures) {
    for (const transport::CanFrame& frame : simulator.take_due(bus.now())) {
        if (auto sent = bus.send(frame); !sent) {
            failures.report(sent.error());
        }
    }
}

int serve(sim::Simulator& simulator, transport::CanTransport& bus, std::string_view interface,
          const sigset_t& signals) {
    SendFailures failures;
    while (!stop_requested(signals)) {
        auto received = bus.recv(wait_before(simulator.next_due(), bus.now()));
        if (received) {
            simulator.receive(*received, bus.now());
        } else if (!std::holds_alternative<transport::TimeoutError>(received.error())) {
            std::cerr << "jointbus-sim: receive failed on " << interface << ": "
                      << transport::message(received.error()) << "\n";
            return exit_bus_failure;
        }
        simulator.tick(bus.now());
        send_due(simulator, bus, failures);
    }
    return exit_stopped;
}

std::string motor_count(std::size_t count) { return std::to_string(count) + (count == 1 ? " motor" : " motors"); }

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + std::min(argc, 1), argv + argc);
    const auto options = sim::parse_options(args);
    if (!options) {
        std::cerr << "jointbus-sim: " << options.error() << "\nTry 'jointbus-sim --help'.\n";
        return exit_bad_arguments;
    }
    if (options->help) {
        std::cout << sim::help_text();
        return exit_stopped;
    }
    // Blocked before anything else, so a stop asked for during start-up is
    // still seen by the loop.
    const sigset_t signals = stop_signals();
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    auto bus = transport::SocketCanTransport::open(options->interface);
    if (!bus) {
        std::cerr << "jointbus-sim: cannot open " << options->interface << ": " << transport::message(bus.error())
                  << "\n";
        return exit_bus_failure;
    }
    sim::Simulator simulator(options->bus, bus->now());
    std::cout << "jointbus-sim: ready on " << options->interface << " with " << motor_count(options->bus.motors.size())
              << std::endl;
    return serve(simulator, *bus, options->interface, signals);
}
