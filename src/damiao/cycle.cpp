#include "damiao/cycle.hpp"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

namespace jointbus::damiao {
namespace {

using transport::ClassicFrame;
using transport::MonotonicTime;

// Room for one entry per command: on the stack for the handful of motors a
// bus carries, so that a cycle does not touch the heap, and on the heap
// beyond that.
template <typename T>
class PerCommand {
public:
    explicit PerCommand(std::size_t count) : count_(count) {
        if (count > in_place_.size()) {
            on_heap_.resize(count);
        }
    }

    [[nodiscard]] std::span<T> items() noexcept {
        return count_ > in_place_.size() ? std::span<T>(on_heap_) : std::span<T>(in_place_).first(count_);
    }

private:
    std::array<T, 16> in_place_{};
    std::vector<T> on_heap_;
    std::size_t count_;
};

// One motor's wait: where its reply comes from, until when, and whether it
// is over (answered or timed out).
struct Awaited {
    transport::CanId reply_id;
    MonotonicTime deadline;
    bool open = false;
};

std::expected<void, CycleFailure> build_frames(std::span<const CycleCommand> commands, std::span<ClassicFrame> frames) {
    for (std::size_t i = 0; i < commands.size(); ++i) {
        auto frame = commands[i].motor.classic_control_frame(commands[i].setpoint);
        if (!frame) {
            return std::unexpected(CycleFailure{i, std::move(frame.error())});
        }
        for (std::size_t earlier = 0; earlier < i; ++earlier) {
            if (commands[earlier].motor.reply_id() == commands[i].motor.reply_id()) {
                const auto id = static_cast<std::uint16_t>(commands[i].motor.reply_id().value);
                return std::unexpected(CycleFailure{i, SharedMasterId{id, earlier}});
            }
        }
        frames[i] = *frame;
    }
    return {};
}

// The earliest deadline among the motors still waiting, if any still wait.
std::optional<MonotonicTime> earliest_open(std::span<const Awaited> awaited) {
    std::optional<MonotonicTime> earliest;
    for (const Awaited& motor : awaited) {
        if (motor.open && (!earliest || motor.deadline < *earliest)) {
            earliest = motor.deadline;
        }
    }
    return earliest;
}

// Every motor still waiting whose deadline is no later than `time` is over;
// its result already holds the time-out.
void time_out_until(std::span<Awaited> awaited, MonotonicTime time) {
    for (Awaited& motor : awaited) {
        if (motor.open && motor.deadline <= time) {
            motor.open = false;
        }
    }
}

}  // namespace

std::string message(const CycleFailure& failure) {
    const std::string text = message(failure.error);
    return failure.position ? "commands[" + std::to_string(*failure.position) + "]: " + text : text;
}

std::expected<void, CycleFailure> run_cycle(transport::CanTransport& bus, std::span<const CycleCommand> commands,
                                            CycleResults& results) {
    results.clear();
    if (commands.empty()) {
        return {};
    }
    PerCommand<ClassicFrame> frames(commands.size());
    if (auto built = build_frames(commands, frames.items()); !built) {
        return built;
    }
    const transport::BatchSent sent = bus.start_classic_batch_exchange(frames.items());
    if (sent.error) {
        return std::unexpected(CycleFailure{std::nullopt, TransportFailure{*sent.error}});
    }
    // Every budget starts once the whole batch is on its way.
    const MonotonicTime sent_at = bus.now();
    PerCommand<Awaited> waits(commands.size());
    const std::span<Awaited> awaited = waits.items();
    for (std::size_t i = 0; i < commands.size(); ++i) {
        awaited[i] = Awaited{commands[i].motor.reply_id(), transport::deadline_after(sent_at, commands[i].motor.timeout),
                             true};
    }
    // A motor's result is its time-out until its reply comes.
    results.assign(commands.size(), std::unexpected(Error{TransportFailure{transport::TimeoutError{}}}));
    // Replies are taken as they come, all that wait at once: after a batch
    // goes out they tend to arrive together.
    std::array<transport::ReceivedFrame, 16> received;
    while (const std::optional<MonotonicTime> earliest = earliest_open(awaited)) {
        const auto open = static_cast<std::size_t>(std::ranges::count_if(awaited, &Awaited::open));
        auto taken = bus.recv_waiting_by(*earliest, std::span(received).first(std::min(open, received.size())));
        if (!taken) {
            if (std::holds_alternative<transport::TimeoutError>(taken.error())) {
                // Nothing came before the earliest deadline: that motor is done.
                time_out_until(awaited, *earliest);
                continue;
            }
            results.clear();
            return std::unexpected(CycleFailure{std::nullopt, TransportFailure{std::move(taken.error())}});
        }
        for (const transport::ReceivedFrame& frame : std::span(received).first(*taken)) {
            const auto motor = std::ranges::find(awaited, frame.id, &Awaited::reply_id);
            if (motor != awaited.end() && motor->open) {
                const auto index = static_cast<std::size_t>(motor - awaited.begin());
                results[index] = commands[index].motor.decode_reply(frame.data.kept());
                motor->open = false;
            }
        }
    }
    return {};
}

std::expected<CycleResults, CycleFailure> run_cycle(transport::CanTransport& bus,
                                                    std::span<const CycleCommand> commands) {
    CycleResults results;
    if (auto ran = run_cycle(bus, commands, results); !ran) {
        return std::unexpected(std::move(ran.error()));
    }
    return results;
}

}  // namespace jointbus::damiao
