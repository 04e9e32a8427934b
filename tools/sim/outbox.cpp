#include "outbox.hpp"

#include <cerrno>
#include <utility>

namespace jointbus::sim {

bool transmit_queue_full(const transport::TransportError& error) {
    const auto* backend = std::get_if<transport::BackendError>(&error);
    return backend != nullptr && backend->system.os_code == ENOBUFS;
}

void Outbox::add(std::vector<transport::CanFrame> frames) {
    for (transport::CanFrame& frame : frames) {
        if (frames_.size() == capacity_) {
            frames_.pop_front();
            ++overflowed_;
        }
        frames_.push_back(std::move(frame));
    }
}

std::optional<transport::TransportError> Outbox::flush(transport::CanTransport& bus) {
    std::optional<transport::TransportError> failure;
    while (!frames_.empty()) {
        auto sent = bus.send(frames_.front());
        if (!sent && transmit_queue_full(sent.error())) {
            break;
        }
        if (!sent && !failure) {
            failure = sent.error();
        }
        frames_.pop_front();
    }
    return failure;
}

}  // namespace jointbus::sim
