#include "support/raw_can_peer.hpp"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace jointbus::testing {
namespace {

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

// An empty vector's data() may be null, and memcpy must never be handed a
// null pointer, not even to copy nothing.
void copy_payload(std::uint8_t* to, const std::vector<std::uint8_t>& data) {
    if (!data.empty()) {
        std::memcpy(to, data.data(), data.size());
    }
}

}  // namespace

RawCanPeer::RawCanPeer(const std::string& iface) {
    descriptor_ = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (descriptor_ < 0) {
        fail("peer socket");
    }
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = static_cast<int>(::if_nametoindex(iface.c_str()));
    if (address.can_ifindex == 0 || ::bind(descriptor_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        fail("peer bind");
    }
    const int enable = 1;
    if (::setsockopt(descriptor_, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &enable, sizeof enable) != 0) {
        fail("peer CAN_RAW_FD_FRAMES");
    }
}

RawCanPeer::~RawCanPeer() { ::close(descriptor_); }

void RawCanPeer::send_bytes(const std::vector<std::uint8_t>& image) {
    if (::send(descriptor_, image.data(), image.size(), 0) != static_cast<ssize_t>(image.size())) {
        fail("peer send");
    }
}

void RawCanPeer::send_classic(std::uint32_t id_word, const std::vector<std::uint8_t>& data) {
    can_frame frame{};
    frame.can_id = id_word;
    frame.len = static_cast<std::uint8_t>(data.size());
    copy_payload(frame.data, data);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&frame);
    send_bytes(std::vector<std::uint8_t>(bytes, bytes + sizeof frame));
}

void RawCanPeer::send_fd(std::uint32_t id_word, const std::vector<std::uint8_t>& data, std::uint8_t flags) {
    canfd_frame frame{};
    frame.can_id = id_word;
    frame.len = static_cast<std::uint8_t>(data.size());
    frame.flags = flags;
    copy_payload(frame.data, data);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&frame);
    send_bytes(std::vector<std::uint8_t>(bytes, bytes + sizeof frame));
}

std::optional<std::vector<std::uint8_t>> RawCanPeer::receive(int timeout_ms) {
    pollfd ready{descriptor_, POLLIN, 0};
    const int polled = ::poll(&ready, 1, timeout_ms);
    if (polled < 0) {
        fail("peer poll");
    }
    if (polled == 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> buffer(CANFD_MTU);
    const ssize_t received = ::recv(descriptor_, buffer.data(), buffer.size(), 0);
    if (received < 0) {
        fail("peer recv");
    }
    buffer.resize(static_cast<std::size_t>(received));
    return buffer;
}

std::size_t open_descriptor_count() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

}  // namespace jointbus::testing
