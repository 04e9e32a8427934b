// jointbus-sim: virtual motors on a SocketCAN interface. One thread, one
// loop: receive with a short time-out, act on the frame, step the physics,
// send what has come due. Given a command after `--`, it runs it once the
// motors listen and lives exactly as long as it does.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <expected>
#include <iostream>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "options.hpp"
#include "outbox.hpp"
#include "simulator.hpp"
#include "transport/socketcan_backend.hpp"

extern char** environ;

namespace {

using namespace jointbus;

// Even with nothing due the loop wakes this often, so the physics and the
// stop signals are never left waiting on a quiet bus.
constexpr std::chrono::milliseconds longest_wait{2};

constexpr int exit_stopped = 0;
constexpr int exit_bus_failure = 1;
constexpr int exit_bad_arguments = 2;
// A shell's statuses for a command it cannot run, or cannot find.
constexpr int exit_command_not_runnable = 126;
constexpr int exit_command_not_found = 127;

// SIGCHLD with the stop signals, so that the command's end is seen the same
// way as a stop: between two frames.
sigset_t watched_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGCHLD);
    return signals;
}

// Searched on PATH, with the signal mask the simulator was started with:
// the signals it blocks for itself must not stay blocked in the command.
std::expected<pid_t, int> start_command(const std::vector<std::string>& command, const sigset_t& original_mask) {
    std::vector<char*> argv;
    for (const std::string& arg : command) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigmask(&attributes, &original_mask);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, argv[0], nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (failed != 0) {
        std::cerr << "jointbus-sim: cannot run " << command[0] << ": " << std::strerror(failed) << "\n";
        return std::unexpected(failed == ENOENT ? exit_command_not_found : exit_command_not_runnable);
    }
    return pid;
}

// What ends the loop. Alone, the simulator stops on SIGINT or SIGTERM.
// With a command, it serves until the command has ended and then exits as
// the command did, as a shell would report it; a stop signal is passed on
// to the command, whose clean-up (disabling its motors) still gets answers.
class Lifetime {
public:
    Lifetime(const sigset_t& signals, std::optional<pid_t> command) : signals_(signals), command_(command) {}

    // Polled once per loop turn: the exit status once the loop is to end.
    std::optional<int> poll() {
        const timespec no_wait{};
        siginfo_t info{};
        while (sigtimedwait(&signals_, &info, &no_wait) > 0) {
            if (info.si_signo == SIGCHLD) {
                if (auto status = reap(WNOHANG)) {
                    return status;
                }
            } else if (!command_) {
                return exit_stopped;
            } else if (info.si_code <= 0) {
                // Sent by a process to us alone. A terminal's Ctrl-C
                // (from the kernel) went to the whole foreground group,
                // the command included: a second one could cut short the
                // clean-up it started on the first.
                ::kill(*command_, info.si_signo);
            }
        }
        return std::nullopt;
    }

    // Leaving for another reason (the bus failed): the command does not
    // outlive the motors it talks to.
    void end_command() {
        if (command_) {
            ::kill(*command_, SIGTERM);
            (void)reap(0);
        }
    }

private:
    std::optional<int> reap(int options) {
        int status = 0;
        if (!command_ || ::waitpid(*command_, &status, options) != *command_) {
            return std::nullopt;  // still running, or only stopped
        }
        command_.reset();
        return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    }

    sigset_t signals_;
    std::optional<pid_t> command_;
};

// While replies wait for room in the transmit queue, the loop looks again
// this soon: the controller puts a frame on a 1 Mbit/s wire every 0.13 ms or
// so, and nothing tells a CAN socket when its queue has room.
constexpr std::chrono::microseconds room_retry{200};

transport::Duration wait_before(std::optional<transport::MonotonicTime> due, transport::MonotonicTime now,
                                bool replies_waiting) {
    std::chrono::nanoseconds wait = replies_waiting ? std::chrono::nanoseconds{room_retry} : longest_wait;
    if (due) {
        wait = std::clamp<std::chrono::nanoseconds>(*due - now, std::chrono::nanoseconds{0}, wait);
    }
    return transport::Duration{0, static_cast<std::uint32_t>(wait.count())};
}

// A send can fail on a congested bus; the simulator carries on, telling
// only the first time of each kind so a flood cannot fill the terminal.
class SendFailures {
public:
    void report(const transport::TransportError& error) {
        if (!reported_) {
            std::cerr << "jointbus-sim: send failed: " << transport::message(error)
                      << " (further send failures not reported)\n";
            reported_ = true;
        }
    }

    void report_overflow(std::size_t overflowed) {
        if (overflowed > 0 && !overflow_reported_) {
            std::cerr << "jointbus-sim: the transmit queue has stayed full; the oldest replies waiting for it "
                         "are dropped (not reported again)\n";
            overflow_reported_ = true;
        }
    }

private:
    bool reported_ = false;
    bool overflow_reported_ = false;
};

void send_due(sim::Simulator& simulator, sim::Outbox& outbox, transport::CanTransport& bus, SendFailures& failures) {
    outbox.add(simulator.take_due(bus.now()));
    failures.report_overflow(outbox.overflowed());
    if (auto failure = outbox.flush(bus)) {
        failures.report(*failure);
    }
}

// The interface went down (ip link set ... down, or the controller's link
// dropped). Motors wait for their bus to come back, and so does the
// simulator: the socket says so once, and receives again once it is up.
bool link_down(const transport::TransportError& error) {
    const auto* backend = std::get_if<transport::BackendError>(&error);
    return backend != nullptr && backend->system.os_code == ENETDOWN;
}

int serve(sim::Simulator& simulator, transport::CanTransport& bus, std::string_view interface, Lifetime& lifetime) {
    SendFailures failures;
    sim::Outbox outbox;
    for (;;) {
        if (const auto status = lifetime.poll()) {
            return *status;
        }
        auto received = bus.recv(wait_before(simulator.next_due(), bus.now(), outbox.waiting()));
        if (received) {
            simulator.receive(*received, bus.now());
        } else if (link_down(received.error())) {
            std::cerr << "jointbus-sim: " << interface << " is down; serving again once it is up\n";
            // Should the socket keep saying so, this keeps the loop from
            // spinning while the stop signals are still seen in time.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } else if (!std::holds_alternative<transport::TimeoutError>(received.error())) {
            std::cerr << "jointbus-sim: receive failed on " << interface << ": "
                      << transport::message(received.error()) << "\n";
            return exit_bus_failure;
        }
        simulator.tick(bus.now());
        send_due(simulator, outbox, bus, failures);
    }
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
    // still seen by the loop. SIGCHLD at its default: inherited as ignored,
    // the command's end would never be reported.
    const sigset_t signals = watched_signals();
    sigset_t original_mask;
    sigprocmask(SIG_BLOCK, &signals, &original_mask);
    signal(SIGCHLD, SIG_DFL);
    auto bus = transport::SocketCanTransport::open(options->interface);
    if (!bus) {
        std::cerr << "jointbus-sim: cannot open " << options->interface << ": " << transport::message(bus.error())
                  << "\n";
        return exit_bus_failure;
    }
    sim::Simulator simulator(options->bus, bus->now());
    std::cout << "jointbus-sim: ready on " << options->interface << " with " << motor_count(options->bus.motors.size())
              << std::endl;
    std::optional<pid_t> command;
    if (!options->command.empty()) {
        auto started = start_command(options->command, original_mask);
        if (!started) {
            return started.error();
        }
        command = *started;
    }
    Lifetime lifetime(signals, command);
    const int status = serve(simulator, *bus, options->interface, lifetime);
    lifetime.end_command();
    return status;
}
