// The Linux SocketCAN implementation of CanTransport: one raw CAN socket with
// CAN FD frames enabled, bound to one interface by name.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <ctime>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "transport/transport.hpp"

namespace jointbus::transport {

// Byte images of the kernel's frame structures: can_frame (16 bytes) and
// canfd_frame (72 bytes).
inline constexpr std::size_t classic_frame_size = 16;
inline constexpr std::size_t fd_frame_size = 72;

struct WireFrame {
    std::array<std::uint8_t, fd_frame_size> bytes{};
    std::size_t size = 0;  // classic_frame_size or fd_frame_size
};

// The structure send() writes for `frame`: identifier and length checked, FD
// lengths rounded up to the next one the bus can carry, unused bytes zero.
[[nodiscard]] TransportResult<WireFrame> to_wire(const CanFrame& frame);

// What a received structure holds, read in place: `data` points into it.
struct WireView {
    CanId id;
    bool fd = false;
    bool brs = false;
    std::span<const std::uint8_t> data;
};

// The structure send() writes for a classic frame, checked as to_wire()
// checks a CanFrame.
[[nodiscard]] TransportResult<WireFrame> classic_wire(const ClassicFrame& frame);

// from_wire() without the copy.
[[nodiscard]] TransportResult<WireView> view_wire(std::span<const std::uint8_t> received);

// The frame a receive of `received.size()` bytes holds. A length field larger
// than its structure is clamped to it, so data is never read past it; a byte
// count that is neither structure's size is a Backend error (EPROTO).
[[nodiscard]] TransportResult<CanFrame> from_wire(std::span<const std::uint8_t> received);

// Whether send() can put `frame` on the wire: identifier in range for its
// kind, no more data than the frame's kind carries.
[[nodiscard]] TransportResult<void> check_wire_limits(const CanFrame& frame);

// The time a receive hands to the kernel's wait, to the nanosecond, or
// nothing when the time-out is under one microsecond: such a receive ends at
// once without touching the socket. Seconds beyond what time_t holds are
// clamped to its largest value.
[[nodiscard]] std::optional<timespec> wait_timespec(Duration timeout) noexcept;

// The system calls the backend makes on its socket once it is open, kept
// replaceable because the kernel gives no way to make them fail on demand
// (a send interrupted twice, a write of zero bytes, a wait woken by a signal)
// and because tests need to see exactly what each wait was handed.
using SendCall = ssize_t (*)(int fd, const void* buffer, std::size_t length, int flags);
using RecvCall = ssize_t (*)(int fd, void* buffer, std::size_t length, int flags);
using RecvMmsgCall = int (*)(int fd, mmsghdr* messages, unsigned int count, int flags, timespec* timeout);
using PpollCall = int (*)(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask);
using SendMmsgCall = int (*)(int fd, mmsghdr* messages, unsigned int count, int flags);

struct SocketCalls {
    SendCall send = &::send;
    RecvCall recv = &::recv;
    RecvMmsgCall recvmmsg = &::recvmmsg;
    PpollCall ppoll = &::ppoll;
    SendMmsgCall sendmmsg = &::sendmmsg;
};

class SocketCanTransport final : public CanTransport {
public:
    // Looks the interface up, opens a close-on-exec raw CAN socket, binds it
    // and enables FD frames. Every failure closes what was opened.
    [[nodiscard]] static TransportResult<SocketCanTransport> open(std::string_view iface);
    [[nodiscard]] static TransportResult<SocketCanTransport> open(std::string_view iface, const SocketCalls& calls);

    // Takes ownership of a socket that is already open and bound (a raw CAN
    // socket handed over by another process, or a stand-in that delivers one
    // frame structure per message). It is closed with the transport.
    [[nodiscard]] static SocketCanTransport adopt(int descriptor, const SocketCalls& calls = {}) noexcept;

    SocketCanTransport(SocketCanTransport&& other) noexcept;
    SocketCanTransport& operator=(SocketCanTransport&& other) noexcept;
    SocketCanTransport(const SocketCanTransport&) = delete;
    SocketCanTransport& operator=(const SocketCanTransport&) = delete;
    ~SocketCanTransport() override;

    [[nodiscard]] TransportResult<void> send(const CanFrame& frame) override;
    // One sendmmsg for up to a batch of frames. A call that takes only some
    // of them (the transmit queue filled up) is followed by another for the
    // rest, so what went out is always known frame by frame.
    [[nodiscard]] BatchSent send_all(std::span<const CanFrame> frames) override;
    // The structures built on the stack and sent as send_all() sends them.
    [[nodiscard]] BatchSent start_classic_batch_exchange(std::span<const ClassicFrame> frames) override;
    [[nodiscard]] BatchSent send_classic_all(std::span<const ClassicFrame> frames) override;
    // Waits for the socket with ppoll on exactly the time given, then takes
    // one frame without blocking: unlike a socket receive time-out, which
    // the kernel counts in scheduler ticks, the wait ends at the deadline.
    [[nodiscard]] TransportResult<CanFrame> recv(Duration timeout) override;
    [[nodiscard]] TransportResult<CanFrame> recv_by(MonotonicTime deadline) override;
    // ppoll to the deadline, then one recvmmsg for whatever waits.
    [[nodiscard]] TransportResult<std::size_t> recv_waiting_by(MonotonicTime deadline,
                                                               std::span<ReceivedFrame> out) override;
    // request() with the frame built and the reply read on the stack.
    [[nodiscard]] TransportResult<ReplyData> request_classic(const ClassicFrame& frame, const CanId& expected,
                                                             Duration timeout) override;
    // Empties the socket's receive queue without waiting: one receive when
    // it is empty, then batched receives for whatever waits.
    [[nodiscard]] TransportResult<std::size_t> drop_pending() override;
    [[nodiscard]] TransportResult<void> check_frame(const CanFrame& frame) const override;

private:
    SocketCanTransport(int descriptor, const SocketCalls& calls) noexcept : descriptor_(descriptor), calls_(calls) {}
    void close_descriptor() noexcept;
    [[nodiscard]] TransportResult<void> send_wire(const WireFrame& wire);
    // send_all()'s batches for `count` frames whose structures image_of(i)
    // builds, stopping at the first it refuses.
    template <typename ImageOf>
    [[nodiscard]] BatchSent send_images(std::size_t count, ImageOf image_of);
    // Waits with ppoll on `left`, then takes one structure without blocking;
    // a wake-up that finds nothing waits again for what is left until
    // `deadline`. The structure's size, or Timeout, or the error.
    [[nodiscard]] TransportResult<std::size_t> receive_into(std::span<std::uint8_t, fd_frame_size> buffer,
                                                            timespec left, MonotonicTime deadline);
    // The wait both receives share: ppoll until the socket is readable, then
    // `take` without blocking; a wake-up that finds nothing waits on.
    template <typename Take>
    [[nodiscard]] TransportResult<std::size_t> wait_then_take(timespec left, MonotonicTime deadline, Take take);
    // What is left until `deadline` as a wait, or nothing once under a microsecond.
    [[nodiscard]] std::optional<timespec> wait_until(MonotonicTime deadline);
    [[nodiscard]] TransportResult<std::size_t> receive_by(std::span<std::uint8_t, fd_frame_size> buffer,
                                                          MonotonicTime deadline);
    // recvmmsg batches until the queue is empty, counting on from `dropped`.
    [[nodiscard]] TransportResult<std::size_t> drop_batches(std::size_t dropped);

    int descriptor_ = -1;
    SocketCalls calls_;
};

}  // namespace jointbus::transport
