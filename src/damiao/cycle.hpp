// One control tick over several motors on one bus: every command goes out
// first, then every reply is collected, instead of one exchange after the
// other. The motors' replies overlap in time, so a tick costs about one
// exchange rather than one per motor.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "damiao/driver.hpp"

namespace jointbus::damiao {

struct CycleCommand {
    Damiao motor;
    ControlSetpoint setpoint;
};

// Why a whole cycle failed: a command refused before anything was sent (its
// position in the list, and why), or the transport itself failing.
struct CycleFailure {
    std::optional<std::size_t> position;
    Error error;

    friend bool operator==(const CycleFailure&, const CycleFailure&) = default;
};

// "commands[2]: " followed by the error's own text, or the text alone.
[[nodiscard]] std::string message(const CycleFailure& failure);

// Per command, in list order: the motor's decoded state, or the error its
// own command would have given alone (a time-out, a reply too short).
using CycleResults = std::vector<Result<MotorState>>;

// Checks every command (limits an MIT frame cannot be encoded against, two
// motors answering on one identifier), then drops what is queued once, sends
// every frame in list order, and receives until each motor has answered or
// its own time-out, counted from when the frames went out, has passed. A
// reply is matched to its motor by identifier exactly as a single command
// matches it; frames for nobody, and second replies, are dropped. Frames a
// full transmit queue refuses (ENOBUFS) go out as room frees, each within
// its motor's time-out; a motor whose frame never went out gets the queue's
// error, as its single command would have, and the motors that answered
// keep their states. Any other send or receive failure ends the cycle with
// that failure. An empty list touches nothing.
[[nodiscard]] std::expected<CycleResults, CycleFailure> run_cycle(transport::CanTransport& bus,
                                                                  std::span<const CycleCommand> commands);

// The same into `results`, whose storage is reused: on SocketCanTransport, a
// control loop that keeps one CycleResults across ticks makes a cycle over up
// to 16 motors without a heap allocation (a short reply, whose error keeps
// the bytes, is the exception). `results` holds one entry per command after
// success and is left empty after a failure.
[[nodiscard]] std::expected<void, CycleFailure> run_cycle(transport::CanTransport& bus,
                                                          std::span<const CycleCommand> commands,
                                                          CycleResults& results);

}  // namespace jointbus::damiao
