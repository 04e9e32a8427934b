// The other end of a virtual CAN interface for backend tests: a plain raw CAN
// socket that sees exactly the bytes the kernel carries, with no code of the
// library under test in between.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace jointbus::testing {

class RawCanPeer {
public:
    explicit RawCanPeer(const std::string& iface);
    ~RawCanPeer();
    RawCanPeer(const RawCanPeer&) = delete;
    RawCanPeer& operator=(const RawCanPeer&) = delete;

    // Writes a whole can_frame (16 bytes) or canfd_frame (72 bytes) image.
    void send_bytes(const std::vector<std::uint8_t>& image);
    void send_classic(std::uint32_t id_word, const std::vector<std::uint8_t>& data);
    void send_fd(std::uint32_t id_word, const std::vector<std::uint8_t>& data, std::uint8_t flags);
    // The next structure received, as raw bytes, or nothing within `timeout_ms`.
    std::optional<std::vector<std::uint8_t>> receive(int timeout_ms);

private:
    int descriptor_ = -1;
};

// How many descriptors this process has open, to see sockets come and go.
std::size_t open_descriptor_count();

}  // namespace jointbus::testing
