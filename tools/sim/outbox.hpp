// Frames on their way to the bus. Real motors each have a controller of
// their own and send as soon as the bus lets them; the simulator speaks for
// all of them through one socket, whose transmit queue (txqueuelen, 10 on a
// CAN controller) can be shorter than the burst of replies to one cycle.
// A frame the queue refuses (ENOBUFS) waits here, in order, and goes out
// once the controller has made room.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <vector>

#include "transport/transport.hpp"

namespace jointbus::sim {

class Outbox {
public:
    // More than a motor can have outstanding on any bus; past it the
    // oldest frames go, since a reply that late answers nothing.
    static constexpr std::size_t default_capacity = 1024;

    explicit Outbox(std::size_t capacity = default_capacity) : capacity_(capacity) {}

    void add(std::vector<transport::CanFrame> frames);

    // Sends in order until the transmit queue is full. A frame refused for
    // any other reason is dropped, as a controller drops what it cannot
    // send; the first such error of this call is returned.
    [[nodiscard]] std::optional<transport::TransportError> flush(transport::CanTransport& bus);

    [[nodiscard]] bool waiting() const noexcept { return !frames_.empty(); }
    [[nodiscard]] std::size_t size() const noexcept { return frames_.size(); }
    // Frames given up because the outbox was full.
    [[nodiscard]] std::size_t overflowed() const noexcept { return overflowed_; }

private:
    std::size_t capacity_;
    std::deque<transport::CanFrame> frames_;
    std::size_t overflowed_ = 0;
};

// A send refused because the interface's transmit queue is full.
[[nodiscard]] bool transmit_queue_full(const transport::TransportError& error);

}  // namespace jointbus::sim
