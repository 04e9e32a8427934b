#include "support/scripted_transport.hpp"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace jointbus::testing {

std::chrono::nanoseconds to_nanos(Duration span) {
    const auto max_seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::nanoseconds::max()).count();
    if (span.seconds >= static_cast<std::uint64_t>(max_seconds)) {
        return std::chrono::nanoseconds::max();
    }
    return std::chrono::seconds(static_cast<std::int64_t>(span.seconds)) + std::chrono::nanoseconds(span.nanoseconds);
}

void ScriptedTransport::advance(std::chrono::nanoseconds span) {
    const auto headroom = MonotonicTime::max() - clock_;
    clock_ = span >= headroom ? MonotonicTime::max() : clock_ + span;
}

void ScriptedTransport::arrive(CanFrame frame, std::chrono::nanoseconds after) {
    script_.emplace_back(Arrival{std::move(frame), after});
}

void ScriptedTransport::queue(CanFrame frame) { queue_.push_back(std::move(frame)); }

void ScriptedTransport::fail_check(TransportError error) { check_failures_.push_back(std::move(error)); }

transport::TransportResult<void> ScriptedTransport::check_frame(const CanFrame&) const {
    calls_.push_back(Call::CheckFrame);
    if (!check_failures_.empty()) {
        TransportError error = check_failures_.front();
        check_failures_.pop_front();
        return std::unexpected(error);
    }
    return {};
}

void ScriptedTransport::fail_drop(TransportError error) { drop_failures_.push_back(std::move(error)); }

void ScriptedTransport::fail_recv(TransportError error) { script_.emplace_back(Failure{std::move(error)}); }

transport::TransportResult<std::size_t> ScriptedTransport::drop_pending() {
    calls_.push_back(Call::DropPending);
    if (!drop_failures_.empty()) {
        TransportError error = drop_failures_.front();
        drop_failures_.pop_front();
        return std::unexpected(error);
    }
    return std::exchange(queue_, {}).size();
}

void ScriptedTransport::fail_send(TransportError error) { send_failures_.push_back(std::move(error)); }

void ScriptedTransport::transmit_queue(std::size_t capacity, std::chrono::nanoseconds per_frame) {
    queue_capacity_ = capacity;
    per_frame_ = per_frame;
}

transport::TransportResult<void> ScriptedTransport::send(const CanFrame& frame) {
    calls_.push_back(Call::Send);
    if (!send_failures_.empty()) {
        TransportError error = send_failures_.front();
        send_failures_.pop_front();
        return std::unexpected(error);
    }
    if (queue_capacity_) {
        while (!on_wire_by_.empty() && on_wire_by_.front() <= clock_) {
            on_wire_by_.pop_front();
        }
        if (on_wire_by_.size() >= *queue_capacity_) {
            return std::unexpected(transport::BackendError{{ENOBUFS}});
        }
        const MonotonicTime start = on_wire_by_.empty() ? clock_ : std::max(clock_, on_wire_by_.back());
        on_wire_by_.push_back(start + per_frame_);
    }
    advance(send_time_);
    sent_.push_back(Sent{frame, clock_, std::chrono::steady_clock::now()});
    if (on_send) {
        on_send(frame, *this);
    }
    return {};
}

transport::TransportResult<CanFrame> ScriptedTransport::recv(Duration timeout) {
    calls_.push_back(Call::Recv);
    recv_timeouts_.push_back(timeout);
    if (!queue_.empty()) {
        CanFrame frame = std::move(queue_.front());
        queue_.pop_front();
        return frame;
    }
    const std::chrono::nanoseconds limit = to_nanos(timeout);
    if (script_.empty()) {
        advance(limit);
        return std::unexpected(transport::TimeoutError{});
    }
    if (auto* failure = std::get_if<Failure>(&script_.front())) {
        TransportError error = failure->error;
        script_.pop_front();
        return std::unexpected(error);
    }
    auto& arrival = std::get<Arrival>(script_.front());
    if (arrival.after > limit) {
        arrival.after -= limit;
        advance(limit);
        return std::unexpected(transport::TimeoutError{});
    }
    advance(arrival.after);
    CanFrame frame = std::move(arrival.frame);
    script_.pop_front();
    return frame;
}

CanFrame standard_frame(std::uint16_t id, std::vector<std::uint8_t> data) {
    return CanFrame{transport::CanId::standard(id), std::move(data), false, false};
}

CanFrame extended_frame(std::uint32_t id, std::vector<std::uint8_t> data) {
    return CanFrame{transport::CanId::extended(id), std::move(data), false, false};
}

}  // namespace jointbus::testing
