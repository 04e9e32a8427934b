#include "damiao/cycle.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace jointbus::damiao {
namespace {

using transport::CanFrame;
using transport::MonotonicTime;

// One motor's wait: where its reply comes from, until when, and what came.
struct Awaited {
    transport::CanId reply_id;
    MonotonicTime deadline;
    std::optional<Result<MotorState>> outcome;
};

std::expected<std::vector<CanFrame>, CycleFailure> frames_for(std::span<const CycleCommand> commands) {
    std::vector<CanFrame> frames;
    frames.reserve(commands.size());
    for (std::size_t i = 0; i < commands.size(); ++i) {
        auto frame = commands[i].motor.control_frame(commands[i].setpoint);
        if (!frame) {
            return std::unexpected(CycleFailure{i, std::move(frame.error())});
        }
        for (std::size_t earlier = 0; earlier < i; ++earlier) {
            if (commands[earlier].motor.reply_id() == commands[i].motor.reply_id()) {
                const auto id = static_cast<std::uint16_t>(commands[i].motor.reply_id().value);
                return std::unexpected(CycleFailure{i, SharedMasterId{id, earlier}});
            }
        }
        frames.push_back(std::move(*frame));
    }
    return frames;
}

// The earliest deadline among the motors still waiting, if any still wait.
std::optional<MonotonicTime> earliest_open(const std::vector<Awaited>& awaited) {
    std::optional<MonotonicTime> earliest;
    for (const Awaited& motor : awaited) {
        if (!motor.outcome && (!earliest || motor.deadline < *earliest)) {
            earliest = motor.deadline;
        }
    }
    return earliest;
}

// Every motor still waiting whose deadline is no later than `time` gets its
// time-out.
void time_out_until(std::vector<Awaited>& awaited, MonotonicTime time) {
    for (Awaited& motor : awaited) {
        if (!motor.outcome && motor.deadline <= time) {
            motor.outcome = std::unexpected(Error{TransportFailure{transport::TimeoutError{}}});
        }
    }
}

}  // namespace

std::string message(const CycleFailure& failure) {
    const std::string text = message(failure.error);
    return failure.position ? "commands[" + std::to_string(*failure.position) + "]: " + text : text;
}

std::expected<CycleResults, CycleFailure> run_cycle(transport::CanTransport& bus,
                                                    std::span<const CycleCommand> commands) {
    if (commands.empty()) {
        return CycleResults{};
    }
    auto frames = frames_for(commands);
    if (!frames) {
        return std::unexpected(std::move(frames.error()));
    }
    const transport::BatchSent sent = bus.start_batch_exchange(*frames);
    if (sent.error) {
        return std::unexpected(CycleFailure{std::nullopt, TransportFailure{*sent.error}});
    }
    // Every budget starts once the whole batch is on its way.
    const MonotonicTime sent_at = bus.now();
    std::vector<Awaited> awaited;
    awaited.reserve(commands.size());
    for (const CycleCommand& command : commands) {
        awaited.push_back(Awaited{command.motor.reply_id(), transport::deadline_after(sent_at, command.motor.timeout),
                                  std::nullopt});
    }
    // Replies are taken as they come, all that wait at once: after a batch
    // goes out they tend to arrive together.
    std::array<transport::ReceivedFrame, 16> received;
    while (const std::optional<MonotonicTime> earliest = earliest_open(awaited)) {
        const auto open = static_cast<std::size_t>(
            std::ranges::count_if(awaited, [](const Awaited& motor) { return !motor.outcome; }));
        auto taken = bus.recv_waiting_by(*earliest, std::span(received).first(std::min(open, received.size())));
        if (!taken) {
            if (std::holds_alternative<transport::TimeoutError>(taken.error())) {
                // Nothing came before the earliest deadline: that motor is done.
                time_out_until(awaited, *earliest);
                continue;
            }
            return std::unexpected(CycleFailure{std::nullopt, TransportFailure{std::move(taken.error())}});
        }
        for (const transport::ReceivedFrame& frame : std::span(received).first(*taken)) {
            const auto motor = std::ranges::find(awaited, frame.id, &Awaited::reply_id);
            if (motor != awaited.end() && !motor->outcome) {
                const auto index = static_cast<std::size_t>(motor - awaited.begin());
                motor->outcome = commands[index].motor.decode_reply(frame.data.kept());
            }
        }
    }
    CycleResults results;
    results.reserve(awaited.size());
    for (Awaited& motor : awaited) {
        results.push_back(std::move(*motor.outcome));
    }
    return results;
}

}  // namespace jointbus::damiao
