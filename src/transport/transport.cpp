#include "transport/transport.hpp"

#include <cstring>
#include <limits>

namespace jointbus::transport {
namespace {

constexpr std::uint64_t nanos_per_second = 1'000'000'000;

// The span in nanoseconds, saturating at 2^64-1 instead of wrapping.
std::uint64_t saturating_nanos(Duration span) noexcept {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    if (span.seconds > (max - span.nanoseconds) / nanos_per_second) {
        return max;
    }
    return span.seconds * nanos_per_second + span.nanoseconds;
}

// Text of an error number as the C library describes it.
std::string describe_errno(int code) {
    char buffer[256];
    // glibc's strerror_r may return a static string instead of filling buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return std::string(text);
}

// The CanFrame a classic frame stands for; more than 8 bytes cannot be one.
TransportResult<CanFrame> whole_frame(const ClassicFrame& frame) {
    if (frame.length > frame.data.size()) {
        return std::unexpected(FrameTooLargeError{frame.length});
    }
    return CanFrame{frame.id, std::vector<std::uint8_t>(frame.data.begin(), frame.data.begin() + frame.length), false,
                    false};
}

ReplyData kept_data(const std::vector<std::uint8_t>& data) {
    ReplyData kept;
    kept.size = data.size();
    std::copy_n(data.begin(), std::min(kept.size, kept.bytes.size()), kept.bytes.begin());
    return kept;
}

}  // namespace

MonotonicTime deadline_after(MonotonicTime now, Duration span) noexcept {
    using Rep = MonotonicTime::duration::rep;
    // Computed in unsigned arithmetic so that a negative "now" (a test clock)
    // cannot overflow; the difference always fits in 64 unsigned bits.
    const auto now_ticks = static_cast<std::uint64_t>(now.time_since_epoch().count());
    const std::uint64_t headroom = static_cast<std::uint64_t>(std::numeric_limits<Rep>::max()) - now_ticks;
    const std::uint64_t span_nanos = saturating_nanos(span);
    if (span_nanos >= headroom) {
        return MonotonicTime::max();
    }
    return now + MonotonicTime::duration(static_cast<Rep>(span_nanos));
}

std::optional<Duration> time_until(MonotonicTime deadline, MonotonicTime now) noexcept {
    if (deadline < now) {
        return std::nullopt;
    }
    const std::uint64_t left = static_cast<std::uint64_t>(deadline.time_since_epoch().count()) -
                               static_cast<std::uint64_t>(now.time_since_epoch().count());
    return Duration{left / nanos_per_second, static_cast<std::uint32_t>(left % nanos_per_second)};
}

std::string message(const SystemError& error) {
    if (!error.os_code) {
        return "failed to write whole buffer";
    }
    return describe_errno(*error.os_code) + " (os error " + std::to_string(*error.os_code) + ")";
}

std::string message(const TransportError& error) {
    switch (error.index()) {
        case 0:
            return "backend error: " + message(std::get<BackendError>(error).system);
        case 1:
            return "timeout waiting for frame";
        case 2:
            return "frame too large for selected mode: " +
                   std::to_string(std::get<FrameTooLargeError>(error).length) + " bytes";
        default:
            return "invalid CAN id";
    }
}

TransportResult<void> CanTransport::check_frame(const CanFrame&) const { return {}; }

TransportResult<CanFrame> CanTransport::recv_by(MonotonicTime deadline) {
    const std::optional<Duration> remaining = time_until(deadline, now());
    if (!remaining) {
        return std::unexpected(TimeoutError{});
    }
    return recv(*remaining);
}

TransportResult<std::size_t> CanTransport::recv_waiting_by(MonotonicTime deadline, std::span<ReceivedFrame> out) {
    if (out.empty()) {
        return 0;
    }
    auto frame = recv_by(deadline);
    if (!frame) {
        return std::unexpected(std::move(frame.error()));
    }
    out[0].id = frame->id;
    out[0].data = kept_data(frame->data);
    return 1;
}

TransportResult<ReplyData> CanTransport::request_classic(const ClassicFrame& frame, const CanId& expected,
                                                         Duration timeout) {
    auto whole = whole_frame(frame);
    if (!whole) {
        return std::unexpected(std::move(whole.error()));
    }
    auto reply = request(*whole, expected, timeout);
    if (!reply) {
        return std::unexpected(std::move(reply.error()));
    }
    return kept_data(reply->data);
}

BatchSent CanTransport::send_all(std::span<const CanFrame> frames) {
    BatchSent outcome;
    for (const CanFrame& frame : frames) {
        if (auto sent = send(frame); !sent) {
            outcome.error = std::move(sent.error());
            break;
        }
        ++outcome.accepted;
    }
    return outcome;
}

BatchSent CanTransport::start_batch_exchange(std::span<const CanFrame> frames) {
    for (const CanFrame& frame : frames) {
        if (auto accepted = check_frame(frame); !accepted) {
            return BatchSent{0, std::move(accepted.error())};
        }
    }
    if (auto dropped = drop_pending(); !dropped) {
        return BatchSent{0, std::move(dropped.error())};
    }
    return send_all(frames);
}

namespace {

TransportResult<std::vector<CanFrame>> whole_frames(std::span<const ClassicFrame> frames) {
    std::vector<CanFrame> whole;
    whole.reserve(frames.size());
    for (const ClassicFrame& frame : frames) {
        auto converted = whole_frame(frame);
        if (!converted) {
            return std::unexpected(std::move(converted.error()));
        }
        whole.push_back(std::move(*converted));
    }
    return whole;
}

}  // namespace

BatchSent CanTransport::start_classic_batch_exchange(std::span<const ClassicFrame> frames) {
    auto whole = whole_frames(frames);
    if (!whole) {
        return BatchSent{0, std::move(whole.error())};
    }
    return start_batch_exchange(*whole);
}

BatchSent CanTransport::send_classic_all(std::span<const ClassicFrame> frames) {
    auto whole = whole_frames(frames);
    if (!whole) {
        return BatchSent{0, std::move(whole.error())};
    }
    return send_all(*whole);
}

TransportResult<void> CanTransport::start_exchange(const CanFrame& frame) {
    if (auto accepted = check_frame(frame); !accepted) {
        return accepted;
    }
    if (auto dropped = drop_pending(); !dropped) {
        return std::unexpected(std::move(dropped.error()));
    }
    return send(frame);
}

TransportResult<CanFrame> CanTransport::request(const CanFrame& frame, const CanId& expected,
                                                Duration timeout) {
    if (auto sent = start_exchange(frame); !sent) {
        return std::unexpected(std::move(sent.error()));
    }
    // The budget starts once the frame is on its way, not when we were called.
    const MonotonicTime deadline = deadline_after(now(), timeout);
    return recv_until(*this, deadline, [&expected](const CanFrame& received) { return received.id == expected; });
}

}  // namespace jointbus::transport
