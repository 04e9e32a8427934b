#include "transport/socketcan_backend.hpp"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <limits>
#include <utility>

namespace jointbus::transport {
namespace {

static_assert(sizeof(can_frame) == classic_frame_size && CAN_MTU == classic_frame_size);
static_assert(sizeof(canfd_frame) == fd_frame_size && CANFD_MTU == fd_frame_size);
static_assert(sizeof(sockaddr_can) == 24);
static_assert(offsetof(can_frame, data) == offsetof(canfd_frame, data));

constexpr std::uint32_t max_standard_id = CAN_SFF_MASK;
constexpr std::uint32_t max_extended_id = CAN_EFF_MASK;

TransportError os_error(int code) { return BackendError{SystemError{code}}; }
TransportError last_os_error() { return os_error(errno); }

// The next length CAN FD can carry: 0..8 as they are, then 12, 16, 20, 24,
// 32, 48 and 64.
std::uint8_t fd_length_for(std::size_t length) noexcept {
    constexpr std::array<std::uint8_t, 7> steps{12, 16, 20, 24, 32, 48, 64};
    if (length <= 8) {
        return static_cast<std::uint8_t>(length);
    }
    return *std::ranges::find_if(steps, [length](std::uint8_t step) { return step >= length; });
}

bool id_in_range(const CanId& id) noexcept {
    return id.kind == CanId::Kind::Standard ? id.value <= max_standard_id : id.value <= max_extended_id;
}

canid_t id_word(const CanId& id) noexcept {
    return id.kind == CanId::Kind::Extended ? (id.value | CAN_EFF_FLAG) : id.value;
}

CanId id_from_word(canid_t word) noexcept {
    if ((word & CAN_EFF_FLAG) != 0) {
        return CanId::extended(word & CAN_EFF_MASK);
    }
    return CanId::standard(static_cast<std::uint16_t>(word & CAN_SFF_MASK));
}

template <typename Structure>
WireFrame image_of(const Structure& structure) noexcept {
    WireFrame wire;
    std::memcpy(wire.bytes.data(), &structure, sizeof structure);
    wire.size = sizeof structure;
    return wire;
}

void close_quietly(int descriptor) noexcept {
    // A failed close leaves nothing to recover; the descriptor is gone either way.
    (void)::close(descriptor);
}

}  // namespace

TransportResult<void> check_wire_limits(const CanFrame& frame) {
    if (!id_in_range(frame.id)) {
        return std::unexpected(InvalidIdError{});
    }
    const std::size_t capacity = frame.fd ? CANFD_MAX_DLEN : CAN_MAX_DLEN;
    if (frame.data.size() > capacity) {
        // Clamped only for the message; nothing this long can be a CAN frame.
        const auto reported = std::min<std::size_t>(frame.data.size(), std::numeric_limits<std::uint32_t>::max());
        return std::unexpected(FrameTooLargeError{static_cast<std::uint32_t>(reported)});
    }
    return {};
}

TransportResult<WireFrame> to_wire(const CanFrame& frame) {
    if (auto fits = check_wire_limits(frame); !fits) {
        return std::unexpected(std::move(fits.error()));
    }
    if (frame.fd) {
        canfd_frame structure{};
        structure.can_id = id_word(frame.id);
        structure.len = fd_length_for(frame.data.size());
        structure.flags = static_cast<std::uint8_t>(CANFD_FDF | (frame.brs ? CANFD_BRS : 0));
        std::ranges::copy(frame.data, structure.data);
        return image_of(structure);
    }
    can_frame structure{};
    structure.can_id = id_word(frame.id);
    structure.len = static_cast<std::uint8_t>(frame.data.size());
    std::ranges::copy(frame.data, structure.data);
    return image_of(structure);
}

TransportResult<WireFrame> classic_wire(const ClassicFrame& frame) {
    if (!id_in_range(frame.id)) {
        return std::unexpected(InvalidIdError{});
    }
    if (frame.length > CAN_MAX_DLEN) {
        return std::unexpected(FrameTooLargeError{frame.length});
    }
    can_frame structure{};
    structure.can_id = id_word(frame.id);
    structure.len = frame.length;
    std::copy_n(frame.data.begin(), frame.length, structure.data);
    return image_of(structure);
}

TransportResult<WireView> view_wire(std::span<const std::uint8_t> received) {
    if (received.size() == classic_frame_size) {
        can_frame structure;
        std::memcpy(&structure, received.data(), sizeof structure);
        // Error frames carry their detail in all eight bytes, whatever the length says.
        const std::size_t length =
            (structure.can_id & CAN_ERR_FLAG) != 0 ? CAN_MAX_DLEN : std::min<std::size_t>(structure.len, CAN_MAX_DLEN);
        return WireView{id_from_word(structure.can_id), false, false, received.subspan(offsetof(can_frame, data), length)};
    }
    if (received.size() == fd_frame_size) {
        canfd_frame structure;
        std::memcpy(&structure, received.data(), sizeof structure);
        const std::size_t length = std::min<std::size_t>(structure.len, CANFD_MAX_DLEN);
        return WireView{id_from_word(structure.can_id), true, (structure.flags & CANFD_BRS) != 0,
                        received.subspan(offsetof(canfd_frame, data), length)};
    }
    return std::unexpected(os_error(EPROTO));
}

TransportResult<CanFrame> from_wire(std::span<const std::uint8_t> received) {
    auto view = view_wire(received);
    if (!view) {
        return std::unexpected(std::move(view.error()));
    }
    return CanFrame{view->id, std::vector<std::uint8_t>(view->data.begin(), view->data.end()), view->fd, view->brs};
}

std::optional<timespec> wait_timespec(Duration timeout) noexcept {
    if (timeout.seconds == 0 && timeout.nanoseconds < 1000) {
        return std::nullopt;
    }
    constexpr auto max_seconds = static_cast<std::uint64_t>(std::numeric_limits<time_t>::max());
    timespec value{};
    value.tv_sec = static_cast<time_t>(std::min(timeout.seconds, max_seconds));
    value.tv_nsec = static_cast<long>(timeout.nanoseconds);
    return value;
}

TransportResult<SocketCanTransport> SocketCanTransport::open(std::string_view iface) {
    return open(iface, SocketCalls{});
}

SocketCanTransport SocketCanTransport::adopt(int descriptor, const SocketCalls& calls) noexcept {
    return SocketCanTransport(descriptor, calls);
}

TransportResult<SocketCanTransport> SocketCanTransport::open(std::string_view iface, const SocketCalls& calls) {
    // The name goes to the C library as a C string: an embedded NUL would
    // silently shorten it to another interface's name.
    if (iface.find('\0') != std::string_view::npos) {
        return std::unexpected(os_error(EINVAL));
    }
    const std::string name(iface);
    errno = 0;
    const unsigned index = ::if_nametoindex(name.c_str());
    if (index == 0) {
        return std::unexpected(os_error(errno != 0 ? errno : ENODEV));
    }
    // Close-on-exec: a motor bus must not leak into programs the caller runs.
    const int descriptor = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (descriptor < 0) {
        return std::unexpected(last_os_error());
    }
    SocketCanTransport transport(descriptor, calls);
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = static_cast<int>(index);
    if (::bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return std::unexpected(last_os_error());
    }
    const int enable = 1;
    if (::setsockopt(descriptor, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &enable, sizeof enable) != 0) {
        return std::unexpected(last_os_error());
    }
    // Bound to an interface that is down, the socket keeps a "Network is
    // down" for whatever call comes first, however long after the link came
    // up. A send on a link still down says so by itself, so the notice
    // tells nothing and is taken here.
    int bind_notice = 0;
    socklen_t notice_size = sizeof bind_notice;
    (void)::getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &bind_notice, &notice_size);
    return transport;
}

SocketCanTransport::SocketCanTransport(SocketCanTransport&& other) noexcept
    : CanTransport(other), descriptor_(std::exchange(other.descriptor_, -1)), calls_(other.calls_) {}

SocketCanTransport& SocketCanTransport::operator=(SocketCanTransport&& other) noexcept {
    if (this != &other) {
        close_descriptor();
        descriptor_ = std::exchange(other.descriptor_, -1);
        calls_ = other.calls_;
    }
    return *this;
}

SocketCanTransport::~SocketCanTransport() { close_descriptor(); }

void SocketCanTransport::close_descriptor() noexcept {
    if (descriptor_ >= 0) {
        close_quietly(std::exchange(descriptor_, -1));
    }
}

TransportResult<void> SocketCanTransport::send(const CanFrame& frame) {
    auto wire = to_wire(frame);
    if (!wire) {
        return std::unexpected(std::move(wire.error()));
    }
    return send_wire(*wire);
}

TransportResult<void> SocketCanTransport::send_wire(const WireFrame& wire) {
    std::span<const std::uint8_t> pending(wire.bytes.data(), wire.size);
    while (!pending.empty()) {
        const ssize_t written = calls_.send(descriptor_, pending.data(), pending.size(), 0);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::unexpected(last_os_error());
        }
        if (written == 0) {
            return std::unexpected(BackendError{SystemError{std::nullopt}});
        }
        pending = pending.subspan(static_cast<std::size_t>(written));
    }
    return {};
}

template <typename ImageOf>
BatchSent SocketCanTransport::send_images(std::size_t count_all, ImageOf image_of) {
    // Frames a cycle sends at once: one per motor on the bus.
    constexpr std::size_t batch = 16;
    BatchSent outcome;
    while (outcome.accepted < count_all) {
        const std::size_t first = outcome.accepted;
        std::size_t count = std::min(count_all - first, batch);
        // Only the entries in use are written: a cycle sends a few frames,
        // and clearing all of them would cost more than building those.
        std::array<std::array<std::uint8_t, fd_frame_size>, batch> images;
        std::array<std::size_t, batch> sizes;
        std::array<iovec, batch> vectors;
        std::array<mmsghdr, batch> messages;
        // A frame the wire cannot carry ends the batch there; the ones before
        // it still go.
        std::optional<TransportError> refused;
        for (std::size_t i = 0; i < count; ++i) {
            auto image = image_of(first + i);
            if (!image) {
                refused = std::move(image.error());
                count = i;
                break;
            }
            images[i] = image->bytes;
            sizes[i] = image->size;
            vectors[i] = iovec{images[i].data(), sizes[i]};
            messages[i] = mmsghdr{};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        if (count == 0) {
            outcome.error = std::move(refused);
            return outcome;
        }
        const int sent = calls_.sendmmsg(descriptor_, messages.data(), static_cast<unsigned int>(count), 0);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            outcome.error = last_os_error();
            return outcome;
        }
        for (int i = 0; i < sent; ++i) {
            // A raw CAN socket takes a frame whole or not at all.
            if (messages[static_cast<std::size_t>(i)].msg_len != sizes[static_cast<std::size_t>(i)]) {
                outcome.error = BackendError{SystemError{std::nullopt}};
                return outcome;
            }
            ++outcome.accepted;
        }
        if (sent == 0) {
            outcome.error = BackendError{SystemError{std::nullopt}};
            return outcome;
        }
        if (refused && static_cast<std::size_t>(sent) == count) {
            outcome.error = std::move(refused);
            return outcome;
        }
    }
    return outcome;
}

BatchSent SocketCanTransport::send_all(std::span<const CanFrame> frames) {
    return send_images(frames.size(), [frames](std::size_t i) { return to_wire(frames[i]); });
}

BatchSent SocketCanTransport::start_classic_batch_exchange(std::span<const ClassicFrame> frames) {
    // Every frame is checked before anything happens, as for CanFrames; the
    // structures are built again as they go out, which costs less than
    // keeping a batch of any size.
    for (const ClassicFrame& frame : frames) {
        if (auto image = classic_wire(frame); !image) {
            return BatchSent{0, std::move(image.error())};
        }
    }
    if (auto dropped = drop_pending(); !dropped) {
        return BatchSent{0, std::move(dropped.error())};
    }
    return send_images(frames.size(), [frames](std::size_t i) { return classic_wire(frames[i]); });
}

BatchSent SocketCanTransport::send_classic_all(std::span<const ClassicFrame> frames) {
    return send_images(frames.size(), [frames](std::size_t i) { return classic_wire(frames[i]); });
}

TransportResult<void> SocketCanTransport::check_frame(const CanFrame& frame) const { return check_wire_limits(frame); }

TransportResult<CanFrame> SocketCanTransport::recv(Duration timeout) {
    const std::optional<timespec> left = wait_timespec(timeout);
    if (!left) {
        return std::unexpected(TimeoutError{});
    }
    std::array<std::uint8_t, fd_frame_size> buffer;
    auto received = receive_into(buffer, *left, deadline_after(now(), timeout));
    if (!received) {
        return std::unexpected(std::move(received.error()));
    }
    return from_wire(std::span<const std::uint8_t>(buffer.data(), *received));
}

TransportResult<CanFrame> SocketCanTransport::recv_by(MonotonicTime deadline) {
    std::array<std::uint8_t, fd_frame_size> buffer;
    auto received = receive_by(buffer, deadline);
    if (!received) {
        return std::unexpected(std::move(received.error()));
    }
    return from_wire(std::span<const std::uint8_t>(buffer.data(), *received));
}

std::optional<timespec> SocketCanTransport::wait_until(MonotonicTime deadline) {
    const std::optional<Duration> remaining = time_until(deadline, now());
    return remaining ? wait_timespec(*remaining) : std::nullopt;
}

TransportResult<std::size_t> SocketCanTransport::receive_by(std::span<std::uint8_t, fd_frame_size> buffer,
                                                            MonotonicTime deadline) {
    const std::optional<timespec> left = wait_until(deadline);
    if (!left) {
        return std::unexpected(TimeoutError{});
    }
    return receive_into(buffer, *left, deadline);
}

template <typename Take>
TransportResult<std::size_t> SocketCanTransport::wait_then_take(timespec left, MonotonicTime deadline, Take take) {
    for (;;) {
        pollfd readable{descriptor_, POLLIN, 0};
        const int ready = calls_.ppoll(&readable, 1, &left, nullptr);
        if (ready < 0) {
            // EINTR included: a signal ends the wait, and the caller decides.
            return std::unexpected(last_os_error());
        }
        if (ready == 0) {
            return std::unexpected(TimeoutError{});
        }
        const auto taken = take();
        if (taken >= 0) {
            return static_cast<std::size_t>(taken);
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return std::unexpected(last_os_error());
        }
        // Woken with nothing to take (another reader of a shared descriptor
        // took it): the wait resumes for what is left of it, no more.
        const std::optional<timespec> rest = wait_until(deadline);
        if (!rest) {
            return std::unexpected(TimeoutError{});
        }
        left = *rest;
    }
}

TransportResult<std::size_t> SocketCanTransport::receive_into(std::span<std::uint8_t, fd_frame_size> buffer,
                                                              timespec left, MonotonicTime deadline) {
    return wait_then_take(left, deadline, [&] {
        return calls_.recv(descriptor_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    });
}

TransportResult<std::size_t> SocketCanTransport::recv_waiting_by(MonotonicTime deadline,
                                                                 std::span<ReceivedFrame> out) {
    // A cycle waits on one reply per motor on the bus.
    constexpr std::size_t batch = 16;
    const std::size_t count = std::min(out.size(), batch);
    if (count == 0) {
        return 0;
    }
    const std::optional<timespec> left = wait_until(deadline);
    if (!left) {
        return std::unexpected(TimeoutError{});
    }
    std::array<std::array<std::uint8_t, fd_frame_size>, batch> buffers;
    std::array<iovec, batch> vectors;
    std::array<mmsghdr, batch> messages;
    for (std::size_t i = 0; i < count; ++i) {
        vectors[i] = iovec{buffers[i].data(), buffers[i].size()};
        messages[i] = mmsghdr{};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    auto taken = wait_then_take(*left, deadline, [&] {
        return calls_.recvmmsg(descriptor_, messages.data(), static_cast<unsigned int>(count), MSG_DONTWAIT, nullptr);
    });
    if (!taken) {
        return taken;
    }
    for (std::size_t i = 0; i < *taken; ++i) {
        auto view = view_wire(std::span<const std::uint8_t>(buffers[i].data(), messages[i].msg_len));
        if (!view) {
            return std::unexpected(std::move(view.error()));
        }
        out[i].id = view->id;
        out[i].data.size = view->data.size();
        std::ranges::copy(view->data, out[i].data.bytes.begin());
    }
    return taken;
}

TransportResult<ReplyData> SocketCanTransport::request_classic(const ClassicFrame& frame, const CanId& expected,
                                                               Duration timeout) {
    auto wire = classic_wire(frame);
    if (!wire) {
        return std::unexpected(std::move(wire.error()));
    }
    if (auto dropped = drop_pending(); !dropped) {
        return std::unexpected(std::move(dropped.error()));
    }
    if (auto sent = send_wire(*wire); !sent) {
        return std::unexpected(std::move(sent.error()));
    }
    // The budget starts once the frame is on its way, as in request().
    const MonotonicTime deadline = deadline_after(now(), timeout);
    std::array<std::uint8_t, fd_frame_size> buffer;
    for (;;) {
        auto received = receive_by(buffer, deadline);
        if (!received) {
            return std::unexpected(std::move(received.error()));
        }
        auto view = view_wire(std::span<const std::uint8_t>(buffer.data(), *received));
        if (!view) {
            return std::unexpected(std::move(view.error()));
        }
        if (view->id == expected) {
            ReplyData reply;
            reply.size = view->data.size();
            std::ranges::copy(view->data, reply.bytes.begin());
            return reply;
        }
    }
}

TransportResult<std::size_t> SocketCanTransport::drop_pending() {
    // Nearly every exchange finds the queue empty: one plain receive says so
    // at the cost of one system call, as a batch would, without setting one up.
    std::array<std::uint8_t, fd_frame_size> scratch;
    for (;;) {
        if (calls_.recv(descriptor_, scratch.data(), scratch.size(), MSG_DONTWAIT) >= 0) {
            break;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        return std::unexpected(last_os_error());
    }
    return drop_batches(1);
}

TransportResult<std::size_t> SocketCanTransport::drop_batches(std::size_t dropped) {
    // Enough for the queue a few motors build up between two exchanges; a
    // longer queue costs one more call per batch. Nothing is kept, so every
    // message lands in the same buffer.
    constexpr unsigned int batch = 16;
    std::array<std::uint8_t, fd_frame_size> discard;
    iovec vector{discard.data(), discard.size()};
    std::array<mmsghdr, batch> messages{};
    for (mmsghdr& message : messages) {
        message.msg_hdr.msg_iov = &vector;
        message.msg_hdr.msg_iovlen = 1;
    }
    for (;;) {
        const int received = calls_.recvmmsg(descriptor_, messages.data(), batch, MSG_DONTWAIT, nullptr);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return dropped;
            }
            return std::unexpected(last_os_error());
        }
        dropped += static_cast<std::size_t>(received);
        if (static_cast<unsigned int>(received) < batch) {
            return dropped;
        }
    }
}

}  // namespace jointbus::transport
