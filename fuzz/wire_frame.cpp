// The received-frame conversion: a receive can return any byte count and the
// bytes can hold anything another node, a driver or a stand-in socket puts
// there. from_wire must read nothing past the structure it was handed, keep
// data within the structure's capacity, and describe exactly the frame those
// bytes encode, so that sending the result reproduces it.
#include <linux/can.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "check.hpp"
#include "transport/socketcan_backend.hpp"

namespace {

using jointbus::transport::BackendError;
using jointbus::transport::CanFrame;
using jointbus::transport::CanId;
using jointbus::transport::classic_frame_size;
using jointbus::transport::fd_frame_size;
using jointbus::transport::WireFrame;

constexpr std::size_t data_offset = 8;  // after can_id and the length/flags bytes

std::uint32_t id_word_of(const std::uint8_t* structure) {
    std::uint32_t word = 0;
    std::memcpy(&word, structure, sizeof word);  // host order, as the kernel writes it
    return word;
}

void check_identifier(const CanId& id, std::uint32_t word) {
    if ((word & CAN_EFF_FLAG) != 0) {
        FUZZ_CHECK(id.kind == CanId::Kind::Extended && id.value == (word & CAN_EFF_MASK));
    } else {
        FUZZ_CHECK(id.kind == CanId::Kind::Standard && id.value == (word & CAN_SFF_MASK));
    }
}

// The smallest length CAN FD can carry that holds `length` bytes.
std::size_t fd_carried_length(std::size_t length) {
    constexpr std::size_t steps[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    return *std::ranges::find_if(steps, [length](std::size_t step) { return step >= length; });
}

void check_image(const WireFrame& wire, const CanFrame& frame, std::size_t carried) {
    const std::uint32_t expected_word =
        frame.id.kind == CanId::Kind::Extended ? (frame.id.value | CAN_EFF_FLAG) : frame.id.value;
    FUZZ_CHECK(id_word_of(wire.bytes.data()) == expected_word);
    FUZZ_CHECK(wire.bytes[4] == carried);
    FUZZ_CHECK(std::equal(frame.data.begin(), frame.data.end(), wire.bytes.begin() + data_offset));
    // Padding and the bytes past the data are zero: nothing of an earlier
    // frame or of the stack may leak onto the bus.
    FUZZ_CHECK(std::all_of(wire.bytes.begin() + static_cast<std::ptrdiff_t>(data_offset + frame.data.size()),
                           wire.bytes.begin() + static_cast<std::ptrdiff_t>(wire.size),
                           [](std::uint8_t byte) { return byte == 0; }));
}

void check_classic(std::span<const std::uint8_t> input, const CanFrame& frame) {
    const std::uint32_t word = id_word_of(input.data());
    const std::size_t length = (word & CAN_ERR_FLAG) != 0 ? CAN_MAX_DLEN : std::min<std::size_t>(input[4], CAN_MAX_DLEN);
    FUZZ_CHECK(!frame.fd && !frame.brs);
    FUZZ_CHECK(frame.data.size() == length);
    FUZZ_CHECK(std::equal(frame.data.begin(), frame.data.end(), input.begin() + data_offset));
    check_identifier(frame.id, word);

    // What the driver received it can send again: the same identifier and
    // data, in a classic structure of its own.
    const auto wire = jointbus::transport::to_wire(frame);
    FUZZ_CHECK(wire.has_value());
    FUZZ_CHECK(wire->size == classic_frame_size);
    check_image(*wire, frame, frame.data.size());
    const auto back = jointbus::transport::from_wire(std::span<const std::uint8_t>(wire->bytes.data(), wire->size));
    FUZZ_CHECK(back.has_value() && *back == frame);
}

void check_fd(std::span<const std::uint8_t> input, const CanFrame& frame) {
    const std::uint32_t word = id_word_of(input.data());
    const std::size_t length = std::min<std::size_t>(input[4], CANFD_MAX_DLEN);
    FUZZ_CHECK(frame.fd);
    FUZZ_CHECK(frame.brs == ((input[5] & CANFD_BRS) != 0));
    FUZZ_CHECK(frame.data.size() == length);
    FUZZ_CHECK(std::equal(frame.data.begin(), frame.data.end(), input.begin() + data_offset));
    check_identifier(frame.id, word);

    // Sent again, a length the bus cannot carry is padded with zeros to the
    // next one it can; identifier, data and bit-rate switch are kept.
    const auto wire = jointbus::transport::to_wire(frame);
    FUZZ_CHECK(wire.has_value());
    FUZZ_CHECK(wire->size == fd_frame_size);
    const std::size_t carried = fd_carried_length(frame.data.size());
    check_image(*wire, frame, carried);
    FUZZ_CHECK((wire->bytes[5] & CANFD_FDF) != 0);
    FUZZ_CHECK(((wire->bytes[5] & CANFD_BRS) != 0) == frame.brs);
    CanFrame padded = frame;
    padded.data.resize(carried, 0);
    const auto back = jointbus::transport::from_wire(std::span<const std::uint8_t>(wire->bytes.data(), wire->size));
    FUZZ_CHECK(back.has_value() && *back == padded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy of exactly `size` bytes on the heap, so AddressSanitizer sees any
    // read past the received bytes (libFuzzer's own buffer is one too, but a
    // copy keeps that true whatever calls this function).
    const std::vector<std::uint8_t> received(data, data + size);
    const std::span<const std::uint8_t> input(received);
    const auto frame = jointbus::transport::from_wire(input);
    if (size == classic_frame_size) {
        FUZZ_CHECK(frame.has_value());
        check_classic(input, *frame);
    } else if (size == fd_frame_size) {
        FUZZ_CHECK(frame.has_value());
        check_fd(input, *frame);
    } else {
        // Neither structure: a protocol error from the backend, nothing else.
        FUZZ_CHECK(!frame.has_value());
        const auto* backend = std::get_if<BackendError>(&frame.error());
        FUZZ_CHECK(backend != nullptr && backend->system.os_code == EPROTO);
    }
    return 0;
}
