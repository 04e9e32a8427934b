// The Linux SocketCAN implementation of CanTransport: one raw CAN socket with
// CAN FD frames enabled, bound to one interface by name.
#pragma once

#include <sys/time.h>
#include <sys/types.h>

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

// The frame a receive of `received.size()` bytes holds. A length field larger
// than its structure is clamped to it, so data is never read past it; a byte
// count that is neither structure's size is a Backend error (EPROTO).
[[nodiscard]] TransportResult<CanFrame> from_wire(std::span<const std::uint8_t> received);

// The SO_RCVTIMEO value for a receive time-out, or nothing when the time-out
// is under one microsecond: the kernel reads a zero timeval as "wait forever",
// so such a time-out must end at once instead of reaching it.
[[nodiscard]] std::optional<timeval> receive_timeval(Duration timeout) noexcept;

// The one system call worth replacing in tests: the kernel gives no way to
// make a send on a CAN socket return EINTR or accept zero bytes on demand.
using SendCall = ssize_t (*)(int fd, const void* buffer, std::size_t length, int flags);

class SocketCanTransport final : public CanTransport {
public:
    // Looks the interface up, opens a close-on-exec raw CAN socket, binds it
    // and enables FD frames. Every failure closes what was opened.
    [[nodiscard]] static TransportResult<SocketCanTransport> open(std::string_view iface);
    [[nodiscard]] static TransportResult<SocketCanTransport> open(std::string_view iface, SendCall send_call);

    SocketCanTransport(SocketCanTransport&& other) noexcept;
    SocketCanTransport& operator=(SocketCanTransport&& other) noexcept;
    SocketCanTransport(const SocketCanTransport&) = delete;
    SocketCanTransport& operator=(const SocketCanTransport&) = delete;
    ~SocketCanTransport() override;

    [[nodiscard]] TransportResult<void> send(const CanFrame& frame) override;
    [[nodiscard]] TransportResult<CanFrame> recv(Duration timeout) override;

private:
    SocketCanTransport(int descriptor, SendCall send_call) noexcept : descriptor_(descriptor), send_call_(send_call) {}
    void close_descriptor() noexcept;

    int descriptor_ = -1;
    SendCall send_call_;
};

}  // namespace jointbus::transport
