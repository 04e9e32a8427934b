#include "damiao/cycle.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
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

// One motor's wait: where its reply comes from, until when, whether it is
// over (answered, timed out, or its frame never went out), and whether its
// frame is out yet.
struct Awaited {
    transport::CanId reply_id;
    MonotonicTime deadline;
    bool open = false;
    bool sent = false;
};

// Frames a full transmit queue refused wait for room: a controller's queue
// (ten frames by default on Linux) is shorter than a cycle over many motors,
// and it refuses with ENOBUFS while the bus is busier than it, or while
// nobody acknowledges. A reply coming in means the controller has sent
// frames, so the rest are tried again at once; otherwise after a back-off
// that starts at about two frames' time on a 1 Mbit/s bus and doubles up to
// a few milliseconds, so that a bus where nothing moves is asked a few times
// per deadline rather than in a busy loop.
constexpr std::chrono::microseconds first_back_off{250};
constexpr std::chrono::microseconds longest_back_off{4000};

bool queue_full(const transport::TransportError& error) {
    const auto* backend = std::get_if<transport::BackendError>(&error);
    return backend != nullptr && backend->system.os_code == ENOBUFS;
}

// What is still to be sent, and when to try again.
struct Unsent {
    std::size_t first = 0;  // no frame before it is waiting to be sent
    std::optional<transport::TransportError> refusal;  // what the queue said last
    std::chrono::microseconds back_off = first_back_off;
    MonotonicTime retry_at{};
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

// Every motor still waiting whose deadline is no later than `time` is over.
// One whose frame went out already holds its time-out; one whose frame never
// did gets what the queue said, as its single command would have.
void time_out_until(std::span<Awaited> awaited, MonotonicTime time, const Unsent& unsent, CycleResults& results) {
    for (std::size_t i = 0; i < awaited.size(); ++i) {
        Awaited& motor = awaited[i];
        if (motor.open && motor.deadline <= time) {
            motor.open = false;
            if (!motor.sent && unsent.refusal) {
                results[i] = std::unexpected(Error{TransportFailure{*unsent.refusal}});
            }
        }
    }
}

bool any_unsent(std::span<const Awaited> awaited, const Unsent& unsent) {
    return std::ranges::any_of(awaited.subspan(unsent.first), [](const Awaited& motor) { return motor.open && !motor.sent; });
}

// Sends, in order, the frames of the motors that still wait for theirs. A
// full queue again means a longer back-off; any other refusal is final for
// every motor whose frame is not out: each gets it as its own error, and the
// motors already sent keep waiting for their replies.
void send_unsent(transport::CanTransport& bus, std::span<const ClassicFrame> frames, std::span<Awaited> awaited,
                 Unsent& unsent, CycleResults& results) {
    PerCommand<ClassicFrame> batch(frames.size() - unsent.first);
    PerCommand<std::size_t> owners(frames.size() - unsent.first);
    std::size_t count = 0;
    for (std::size_t i = unsent.first; i < frames.size(); ++i) {
        if (awaited[i].open && !awaited[i].sent) {
            batch.items()[count] = frames[i];
            owners.items()[count] = i;
            ++count;
        }
    }
    const transport::BatchSent sent = bus.send_classic_all(batch.items().first(count));
    for (std::size_t k = 0; k < sent.accepted; ++k) {
        awaited[owners.items()[k]].sent = true;
    }
    while (unsent.first < frames.size() && (awaited[unsent.first].sent || !awaited[unsent.first].open)) {
        ++unsent.first;
    }
    if (!sent.error) {
        unsent.back_off = first_back_off;
        return;
    }
    if (queue_full(*sent.error)) {
        unsent.refusal = *sent.error;
        unsent.retry_at = bus.now() + unsent.back_off;
        unsent.back_off = std::min(unsent.back_off * 2, longest_back_off);
        return;
    }
    for (std::size_t k = sent.accepted; k < count; ++k) {
        const std::size_t index = owners.items()[k];
        awaited[index].open = false;
        results[index] = std::unexpected(Error{TransportFailure{*sent.error}});
    }
    unsent.first = frames.size();
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
    // A full transmit queue is no failure of the cycle: what it took is out,
    // and the rest follows as room frees.
    if (sent.error && !queue_full(*sent.error)) {
        return std::unexpected(CycleFailure{std::nullopt, TransportFailure{*sent.error}});
    }
    // Every budget starts once the batch is on its way (or as much of it as
    // the queue took).
    const MonotonicTime sent_at = bus.now();
    PerCommand<Awaited> waits(commands.size());
    const std::span<Awaited> awaited = waits.items();
    for (std::size_t i = 0; i < commands.size(); ++i) {
        awaited[i] = Awaited{commands[i].motor.reply_id(), transport::deadline_after(sent_at, commands[i].motor.timeout),
                             true, i < sent.accepted};
    }
    Unsent unsent{sent.accepted, sent.error, first_back_off, sent_at + first_back_off};
    if (sent.error) {
        unsent.back_off = first_back_off * 2;
    }
    // A motor's result is its time-out until its reply comes.
    results.assign(commands.size(), std::unexpected(Error{TransportFailure{transport::TimeoutError{}}}));
    // Replies are taken as they come, all that wait at once: after a batch
    // goes out they tend to arrive together.
    std::array<transport::ReceivedFrame, 16> received;
    while (const std::optional<MonotonicTime> earliest = earliest_open(awaited)) {
        const bool sending = any_unsent(awaited, unsent);
        const MonotonicTime wait_until = sending ? std::min(*earliest, unsent.retry_at) : *earliest;
        const auto open = static_cast<std::size_t>(std::ranges::count_if(awaited, &Awaited::open));
        auto taken = bus.recv_waiting_by(wait_until, std::span(received).first(std::min(open, received.size())));
        if (!taken) {
            if (!std::holds_alternative<transport::TimeoutError>(taken.error())) {
                results.clear();
                return std::unexpected(CycleFailure{std::nullopt, TransportFailure{std::move(taken.error())}});
            }
            // Nothing came before the earliest deadline: that motor is done.
            if (wait_until == *earliest) {
                time_out_until(awaited, *earliest, unsent, results);
            }
            if (sending && wait_until == unsent.retry_at && any_unsent(awaited, unsent)) {
                send_unsent(bus, frames.items(), awaited, unsent, results);
            }
            continue;
        }
        bool answered = false;
        for (const transport::ReceivedFrame& frame : std::span(received).first(*taken)) {
            const auto motor = std::ranges::find(awaited, frame.id, &Awaited::reply_id);
            if (motor != awaited.end() && motor->open && motor->sent) {
                const auto index = static_cast<std::size_t>(motor - awaited.begin());
                results[index] = commands[index].motor.decode_reply(frame.data.kept());
                motor->open = false;
                answered = true;
            }
        }
        // A reply means the controller has sent: there may be room now.
        // (Other traffic says nothing of our queue, and waits its turn.)
        if (sending && answered && any_unsent(awaited, unsent)) {
            send_unsent(bus, frames.items(), awaited, unsent, results);
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
