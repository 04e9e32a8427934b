// CAN frames, the transport interface every backend implements, and the one
// request/reply exchange written on top of it.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace jointbus::transport {

// A standard (11-bit) or extended (29-bit) identifier. Equality compares kind
// and value, so standard 0x10 and extended 0x10 are different identifiers.
// Nothing checks the range here: send() does, because only the backend knows
// what the wire can carry.
struct CanId {
    enum class Kind : std::uint8_t { Standard, Extended };

    Kind kind = Kind::Standard;
    std::uint32_t value = 0;

    [[nodiscard]] static constexpr CanId standard(std::uint16_t value) noexcept {
        return CanId{Kind::Standard, value};
    }
    [[nodiscard]] static constexpr CanId extended(std::uint32_t value) noexcept {
        return CanId{Kind::Extended, value};
    }

    friend constexpr bool operator==(const CanId&, const CanId&) = default;
};

struct CanFrame {
    CanId id;
    std::vector<std::uint8_t> data;  // 0..8 bytes classic, 0..64 FD; send() enforces
    bool fd = false;
    bool brs = false;  // bit-rate switch; meaningful only when fd is set

    friend bool operator==(const CanFrame&, const CanFrame&) = default;
};

// A classic frame of up to 8 data bytes, held in place. Every motor command
// is one, so the command path can build it without touching the heap.
struct ClassicFrame {
    CanId id;
    std::array<std::uint8_t, 8> data{};
    std::uint8_t length = 8;  // bytes of data in use; more than 8 is refused as too large

    friend constexpr bool operator==(const ClassicFrame&, const ClassicFrame&) = default;
};

// The data of a received frame, held in place: a CAN FD frame carries at most
// 64 bytes. `size` is the frame's own length; only a transport that hands out
// frames longer than any bus carries (a test double) makes it exceed what
// `bytes` keeps.
struct ReplyData {
    std::array<std::uint8_t, 64> bytes{};
    std::size_t size = 0;

    [[nodiscard]] std::span<const std::uint8_t> kept() const noexcept {
        return {bytes.data(), std::min(size, bytes.size())};
    }
};

// A received frame's identifier and data, held in place.
struct ReceivedFrame {
    CanId id;
    ReplyData data;
};

// A time span as whole seconds plus nanoseconds (always below one second), so
// that any millisecond count a caller can give fits without overflow.
struct Duration {
    std::uint64_t seconds = 0;
    std::uint32_t nanoseconds = 0;

    [[nodiscard]] static constexpr Duration from_millis(std::uint64_t millis) noexcept {
        return Duration{millis / 1000, static_cast<std::uint32_t>((millis % 1000) * 1'000'000)};
    }

    friend constexpr bool operator==(const Duration&, const Duration&) = default;
};

using MonotonicTime = std::chrono::steady_clock::time_point;

// now + span, saturating at the latest representable instant: a time-out of
// 2^64-1 ms means "as long as can be waited", never a wrapped-around deadline.
[[nodiscard]] MonotonicTime deadline_after(MonotonicTime now, Duration span) noexcept;

// Time left until the deadline, or nothing once the deadline lies before now.
[[nodiscard]] std::optional<Duration> time_until(MonotonicTime deadline, MonotonicTime now) noexcept;

// An operating-system failure: the error number, or none for the one failure
// that has no number (a write the kernel accepted with zero bytes).
struct SystemError {
    std::optional<int> os_code;

    friend bool operator==(const SystemError&, const SystemError&) = default;
};

// "No such device (os error 19)", or "failed to write whole buffer".
[[nodiscard]] std::string message(const SystemError& error);

struct BackendError {
    SystemError system;
    friend bool operator==(const BackendError&, const BackendError&) = default;
};
struct TimeoutError {
    friend bool operator==(const TimeoutError&, const TimeoutError&) = default;
};
struct FrameTooLargeError {
    std::uint32_t length = 0;
    friend bool operator==(const FrameTooLargeError&, const FrameTooLargeError&) = default;
};
struct InvalidIdError {
    friend bool operator==(const InvalidIdError&, const InvalidIdError&) = default;
};

using TransportError = std::variant<BackendError, TimeoutError, FrameTooLargeError, InvalidIdError>;

[[nodiscard]] std::string message(const TransportError& error);

template <typename T>
using TransportResult = std::expected<T, TransportError>;

// How far sending a batch of frames got: the first `accepted` frames went
// out, in order; `error` is what stopped the rest, if anything did.
struct BatchSent {
    std::size_t accepted = 0;
    std::optional<TransportError> error;

    friend bool operator==(const BatchSent&, const BatchSent&) = default;
};

// What the motor driver talks to. One thread uses a transport at a time; the
// caller serialises access for a whole exchange so no other command can take
// its reply.
class CanTransport {
public:
    virtual ~CanTransport() = default;

    // Hands one frame to the medium; does not wait for any answer.
    [[nodiscard]] virtual TransportResult<void> send(const CanFrame& frame) = 0;

    // The next frame from the bus, whatever its identifier, waiting at most
    // `timeout`. The wait is always bounded, a zero time-out included.
    [[nodiscard]] virtual TransportResult<CanFrame> recv(Duration timeout) = 0;

    // recv() until `deadline` on now()'s clock: Timeout at once when it has
    // passed. The default asks recv() for the time left; a backend that
    // waits on a deadline itself saves reading the clock twice.
    [[nodiscard]] virtual TransportResult<CanFrame> recv_by(MonotonicTime deadline);

    // Waits until `deadline` for a frame, then takes it and every frame
    // already waiting behind it, up to out.size(), without waiting for more,
    // and says how many it took; Timeout when none came in time. What a
    // cycle collects its replies with. The default takes the one frame
    // recv_by() gives; a backend that can take a batch in one call does.
    [[nodiscard]] virtual TransportResult<std::size_t> recv_waiting_by(MonotonicTime deadline,
                                                                       std::span<ReceivedFrame> out);

    // Sends `frames` in order and stops at the first one refused. The
    // default sends them one by one; a backend that can hand the kernel a
    // batch in one call does so.
    [[nodiscard]] virtual BatchSent send_all(std::span<const CanFrame> frames);

    // Drops every frame that has already arrived and waits to be received,
    // without waiting for more, and says how many there were.
    [[nodiscard]] virtual TransportResult<std::size_t> drop_pending() = 0;

    // Whether send() would accept `frame`, decided without touching the
    // medium. A backend with limits of its own (identifier range, lengths)
    // says so here; the default accepts every frame and leaves it to send().
    [[nodiscard]] virtual TransportResult<void> check_frame(const CanFrame& frame) const;

    // The first step of every exchange. A frame send() would refuse is
    // refused at once, with nothing dropped or sent; otherwise everything
    // already waiting is dropped, then `frame` is sent. A reply that arrived
    // late for an earlier exchange can therefore never be taken as the
    // answer to this one. Not meant to be overridden.
    [[nodiscard]] TransportResult<void> start_exchange(const CanFrame& frame);

    // start_exchange() for several frames at once: every frame is checked
    // before anything happens, the queue is dropped once, then the frames
    // go out with send_all().
    [[nodiscard]] BatchSent start_batch_exchange(std::span<const CanFrame> frames);

    // start_batch_exchange() for classic frames held in place, as a control
    // cycle builds them: the same checks first (a length over 8 is
    // FrameTooLarge), then one drop and the sends. The default makes
    // CanFrames of them and goes through start_batch_exchange(), so a
    // transport sees the same calls either way; a backend that writes the
    // kernel's structures itself builds them without the heap.
    [[nodiscard]] virtual BatchSent start_classic_batch_exchange(std::span<const ClassicFrame> frames);

    // send_all() for classic frames, with nothing dropped first: how a cycle
    // sends, once there is room, the frames a full transmit queue refused
    // (replies to the frames already out may be waiting). The default makes
    // CanFrames of them and goes through send_all().
    [[nodiscard]] virtual BatchSent send_classic_all(std::span<const ClassicFrame> frames);

    // Starts an exchange with `frame`, then returns the first frame whose
    // identifier equals `expected`, dropping every other frame, or Timeout
    // once `timeout` has passed since the send returned. Not meant to be
    // overridden.
    [[nodiscard]] TransportResult<CanFrame> request(const CanFrame& frame, const CanId& expected,
                                                    Duration timeout);

    // request() for a classic frame, with the reply's data handed back in
    // place: what every motor command does, 500 to 1000 times a second per
    // motor. The default goes through request(), so it behaves exactly like
    // it; a backend may run the same steps without a heap allocation.
    [[nodiscard]] virtual TransportResult<ReplyData> request_classic(const ClassicFrame& frame, const CanId& expected,
                                                                     Duration timeout);

    // The clock that deadlines on this transport are measured against: the
    // system's monotonic clock, unless a test double drives time itself.
    [[nodiscard]] virtual MonotonicTime now() { return std::chrono::steady_clock::now(); }

protected:
    CanTransport() = default;
    CanTransport(const CanTransport&) = default;
    CanTransport& operator=(const CanTransport&) = default;
};

// Receives until a frame satisfies `matches`, dropping every other frame, or
// until the deadline passes. Each receive is limited to the time that remains,
// so steady unrelated traffic cannot stretch the wait past the deadline.
template <typename Predicate>
[[nodiscard]] TransportResult<CanFrame> recv_until(CanTransport& bus, MonotonicTime deadline, Predicate&& matches) {
    for (;;) {
        auto received = bus.recv_by(deadline);
        if (!received || matches(*received)) {
            return received;
        }
    }
}

}  // namespace jointbus::transport
