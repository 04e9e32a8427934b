// A transport that plays back a script instead of touching a bus: frames that
// arrive after a given stretch of bus time, receive failures, send failures.
// Time is its own: the clock moves only when a receive waits, so deadline
// logic is tested exactly and cannot be upset by a loaded machine.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <variant>
#include <vector>

#include "transport/transport.hpp"

namespace jointbus::testing {

using transport::CanFrame;
using transport::Duration;
using transport::MonotonicTime;
using transport::TransportError;

std::chrono::nanoseconds to_nanos(Duration span);

class ScriptedTransport : public transport::CanTransport {
public:
    struct Sent {
        CanFrame frame;
        MonotonicTime bus_time;                      // on the scripted clock
        std::chrono::steady_clock::time_point real_time;  // for real sleeps in the code under test
    };

    // The frame arrives once `after` has passed since the previous event.
    void arrive(CanFrame frame, std::chrono::nanoseconds after = {});
    // The frame has arrived already and waits: drop_pending() drops it, a
    // receive before that takes it ahead of everything scripted.
    void queue(CanFrame frame);
    // The next check_frame() refuses with `error`, as a backend refuses a
    // frame it cannot carry.
    void fail_check(TransportError error);
    // The next drop_pending() fails with `error`, dropping nothing.
    void fail_drop(TransportError error);
    // Every successful send moves the clock on by `span`, as a send that
    // waits for room in the transmit queue would.
    void send_takes(std::chrono::nanoseconds span) { send_time_ = span; }
    // The next receive fails with `error` at once.
    void fail_recv(TransportError error);
    // The next send fails with `error`; nothing is recorded as sent.
    void fail_send(TransportError error);
    // A controller's transmit queue: it holds `capacity` frames and puts one
    // on the wire every `per_frame` of the scripted clock; a send into a
    // full queue fails with ENOBUFS, as Linux's does, and is not recorded.
    void transmit_queue(std::size_t capacity, std::chrono::nanoseconds per_frame);
    // Called after every successful send, to script a peer that answers.
    std::function<void(const CanFrame&, ScriptedTransport&)> on_send;

    [[nodiscard]] transport::TransportResult<void> send(const CanFrame& frame) override;
    [[nodiscard]] transport::TransportResult<CanFrame> recv(Duration timeout) override;
    [[nodiscard]] transport::TransportResult<std::size_t> drop_pending() override;
    [[nodiscard]] transport::TransportResult<void> check_frame(const CanFrame& frame) const override;
    [[nodiscard]] MonotonicTime now() override {
        ++clock_reads_;
        return clock_;
    }

    enum class Call : std::uint8_t { CheckFrame, DropPending, Send, Recv };

    [[nodiscard]] const std::vector<Sent>& sent() const { return sent_; }
    // Every call of the transport's operations, in order, failed ones included.
    [[nodiscard]] const std::vector<Call>& calls() const { return calls_; }
    [[nodiscard]] std::size_t queued() const { return queue_.size(); }
    [[nodiscard]] const std::vector<Duration>& recv_timeouts() const { return recv_timeouts_; }
    [[nodiscard]] std::size_t pending() const { return script_.size(); }
    [[nodiscard]] std::size_t clock_reads() const { return clock_reads_; }
    void set_clock(MonotonicTime time) { clock_ = time; }
    // Moves the scripted clock on, saturating rather than overflowing.
    void advance(std::chrono::nanoseconds span);

private:
    struct Arrival {
        CanFrame frame;
        std::chrono::nanoseconds after;
    };
    struct Failure {
        TransportError error;
    };

    std::deque<std::variant<Arrival, Failure>> script_;
    std::deque<TransportError> send_failures_;
    std::deque<TransportError> drop_failures_;
    // check_frame() is const in the interface; the script and the record of
    // calls are bookkeeping, not the transport's state.
    mutable std::deque<TransportError> check_failures_;
    mutable std::vector<Call> calls_;
    std::deque<CanFrame> queue_;
    std::chrono::nanoseconds send_time_{};
    std::optional<std::size_t> queue_capacity_;
    std::chrono::nanoseconds per_frame_{};
    std::deque<MonotonicTime> on_wire_by_;  // when each queued frame has left the queue
    std::vector<Sent> sent_;
    std::vector<Duration> recv_timeouts_;
    std::size_t clock_reads_ = 0;
    MonotonicTime clock_{std::chrono::seconds(1000)};
};

// Frame-building shorthands for the tests.
CanFrame standard_frame(std::uint16_t id, std::vector<std::uint8_t> data);
CanFrame extended_frame(std::uint32_t id, std::vector<std::uint8_t> data);

}  // namespace jointbus::testing
