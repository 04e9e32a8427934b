// The register-reply scan: a register read sends one request on 0x7FF and
// then takes the first frame, on any identifier, whose content is a read
// reply for that register, dropping everything else the bus carries. The
// frames here come from the input: any identifier, standard or extended,
// classic or FD, 0 to 64 bytes, arriving after any delay, mixed with receive
// failures. Each run is compared against a model of the scan written from
// what the operation promises, so a reply taken from the wrong frame, a
// deadline off by a step or an extra frame on the bus is caught, not only a
// crash.
//
// Input: a header (operation, motor id, reply time-out), then events until
// the input ends; see read_events() for their layout.
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "check.hpp"
#include "damiao/driver.hpp"
#include "support/scripted_transport.hpp"

namespace {

using jointbus::damiao::Damiao;
using jointbus::testing::ScriptedTransport;
using jointbus::transport::BackendError;
using jointbus::transport::CanFrame;
using jointbus::transport::CanId;
using jointbus::transport::FrameTooLargeError;
using jointbus::transport::InvalidIdError;
using jointbus::transport::SystemError;
using jointbus::transport::TimeoutError;
using jointbus::transport::TransportError;

constexpr std::uint8_t mode_register = jointbus::damiao::control_mode_register;
constexpr std::uint8_t wanted_mode = jointbus::damiao::mit_mode;
// Delays reach 65 ms, time-outs 255 ms: most frames arrive in time, so their
// content is what gets explored, and a short time-out still makes them late.
constexpr std::chrono::nanoseconds delay_unit = std::chrono::microseconds(1);

// ensure_control_mode() pauses for real between its write and the read that
// verifies it. At 100 ms a pause, fuzzing that path would crawl, so while
// the operation runs on this thread the pause is recorded and skipped; the
// record also shows where in the exchange it fell. Everything else that
// sleeps (libFuzzer's own threads included) sleeps for real.
struct SettlePauses {
    bool active = false;
    std::size_t sends_so_far = 0;  // kept current by the transport's on_send
    std::vector<std::pair<std::size_t, std::chrono::nanoseconds>> taken;  // (sends before it, length)
};
thread_local SettlePauses pauses;

}  // namespace

extern "C" int nanosleep(const timespec* requested, timespec* remaining) {
    if (pauses.active) {
        pauses.taken.emplace_back(pauses.sends_so_far, std::chrono::seconds(requested->tv_sec) +
                                                           std::chrono::nanoseconds(requested->tv_nsec));
        return 0;
    }
    const int error = clock_nanosleep(CLOCK_REALTIME, 0, requested, remaining);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

namespace {

// Reads the input front to back; past its end every byte is zero and
// exhausted() says so.
class Cursor {
public:
    Cursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    [[nodiscard]] bool exhausted() const { return position_ >= size_; }
    std::uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
    std::uint32_t little_endian(std::size_t count) {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < count; ++i) {
            value |= std::uint32_t{byte()} << (8 * i);
        }
        return value;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

struct Event {
    std::optional<CanFrame> frame;  // a frame arrives, or else the receive fails
    std::chrono::nanoseconds after{};
    TransportError failure;
};

TransportError failure_from(std::uint8_t selector) {
    switch (selector & 3u) {
        case 0:
            return BackendError{SystemError{static_cast<int>(selector >> 2u)}};
        case 1:
            return TimeoutError{};
        case 2:
            return FrameTooLargeError{static_cast<std::uint32_t>(selector >> 2u)};
        default:
            return InvalidIdError{};
    }
}

// One event: a kind byte (low two bits 3: a receive failure, whose kind the
// next byte selects; otherwise a frame, bit 2 extended, bit 3 FD, bit 4 bit
// rate switch), then for a frame: the delay in microseconds (2 bytes), the
// identifier (4 bytes, cut to its kind's width), the length (mod 65) and the
// data.
std::vector<Event> read_events(Cursor& input) {
    std::vector<Event> events;
    while (!input.exhausted()) {
        const std::uint8_t kind = input.byte();
        Event event;
        if ((kind & 3u) == 3u) {
            event.failure = failure_from(input.byte());
            events.push_back(std::move(event));
            continue;
        }
        event.after = delay_unit * input.little_endian(2);
        const std::uint32_t id_word = input.little_endian(4);
        CanFrame frame;
        frame.id = (kind & 0x04u) != 0 ? CanId::extended(id_word & 0x1FFF'FFFFu)
                                       : CanId::standard(static_cast<std::uint16_t>(id_word & 0x7FFu));
        frame.fd = (kind & 0x08u) != 0;
        frame.brs = (kind & 0x10u) != 0;
        const std::size_t length = input.byte() % 65u;
        for (std::size_t i = 0; i < length && !input.exhausted(); ++i) {
            frame.data.push_back(input.byte());
        }
        event.frame = std::move(frame);
        events.push_back(std::move(event));
    }
    return events;
}

// What the motor sends back to a read of the mode register.
bool is_mode_reply(const CanFrame& frame) {
    return frame.data.size() == 8 && frame.data[2] == 0x33 && frame.data[3] == mode_register;
}

std::uint32_t value_of(const CanFrame& frame) {
    return std::uint32_t{frame.data[4]} | (std::uint32_t{frame.data[5]} << 8) | (std::uint32_t{frame.data[6]} << 16) |
           (std::uint32_t{frame.data[7]} << 24);
}

struct ModelRead {
    std::optional<std::uint32_t> value;
    TransportError error;  // when there is no value
    std::size_t next = 0;  // the first event a later read sees
};

// A read as promised: a failure ends it at once; a frame counts only if it
// arrives by the deadline, the time-out after the request (arriving exactly
// at the deadline is in time); the first reply that counts is the answer.
ModelRead model_read(const std::vector<Event>& events, std::size_t start, std::chrono::nanoseconds timeout) {
    std::chrono::nanoseconds elapsed{};
    for (std::size_t i = start; i < events.size(); ++i) {
        const Event& event = events[i];
        if (!event.frame) {
            return {std::nullopt, event.failure, i + 1};
        }
        elapsed += event.after;
        if (elapsed > timeout) {
            break;
        }
        if (is_mode_reply(*event.frame)) {
            return {value_of(*event.frame), {}, i + 1};
        }
    }
    return {std::nullopt, TimeoutError{}, events.size()};
}

CanFrame register_frame(std::uint16_t motor_id, std::uint8_t marker, std::uint32_t value) {
    return CanFrame{CanId::standard(0x7FF),
                    {static_cast<std::uint8_t>(motor_id & 0xFFu), static_cast<std::uint8_t>(motor_id >> 8), marker,
                     mode_register, static_cast<std::uint8_t>(value & 0xFFu), static_cast<std::uint8_t>(value >> 8),
                     static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)},
                    false,
                    false};
}

jointbus::damiao::Error failure_of(const TransportError& error) {
    return jointbus::damiao::TransportFailure{error};
}

void check_read(const Damiao& motor, std::chrono::milliseconds timeout, ScriptedTransport& bus,
                const std::vector<Event>& events) {
    const auto result = motor.read_register(bus, mode_register);
    const ModelRead expected = model_read(events, 0, timeout);

    // One request, and nothing else, ever reaches the bus.
    FUZZ_CHECK(bus.sent().size() == 1);
    FUZZ_CHECK(bus.sent()[0].frame == register_frame(motor.motor_id, 0x33, 0));
    if (expected.value) {
        FUZZ_CHECK(result.has_value());
        const auto* bits = std::get_if<std::uint32_t>(&*result);
        FUZZ_CHECK(bits != nullptr && *bits == *expected.value);
    } else {
        FUZZ_CHECK(!result.has_value());
        FUZZ_CHECK(result.error() == failure_of(expected.error));
    }
}

void check_ensure(const Damiao& motor, std::chrono::milliseconds timeout, ScriptedTransport& bus,
                  const std::vector<Event>& events) {
    pauses.active = true;
    const auto result = motor.ensure_control_mode(bus, wanted_mode);
    pauses.active = false;

    const ModelRead first = model_read(events, 0, timeout);
    const auto& sent = bus.sent();
    FUZZ_CHECK(!sent.empty() && sent.size() <= 3);
    FUZZ_CHECK(sent[0].frame == register_frame(motor.motor_id, 0x33, 0));
    if (!first.value || *first.value == wanted_mode) {
        // Nothing to change (or nothing known): no write, no pause.
        FUZZ_CHECK(sent.size() == 1);
        FUZZ_CHECK(pauses.taken.empty());
        if (first.value) {
            FUZZ_CHECK(result.has_value());
        } else {
            FUZZ_CHECK(!result.has_value() && result.error() == failure_of(first.error));
        }
        return;
    }
    // One write, one pause after it, one verifying read after that.
    FUZZ_CHECK(sent.size() == 3);
    FUZZ_CHECK(sent[1].frame == register_frame(motor.motor_id, 0x55, wanted_mode));
    FUZZ_CHECK(sent[2].frame == register_frame(motor.motor_id, 0x33, 0));
    FUZZ_CHECK(pauses.taken.size() == 1);
    FUZZ_CHECK(pauses.taken[0].first == 2);
    FUZZ_CHECK(pauses.taken[0].second >= jointbus::damiao::mode_switch_settle_time);

    const ModelRead verified = model_read(events, first.next, timeout);
    if (!verified.value) {
        FUZZ_CHECK(!result.has_value() && result.error() == failure_of(verified.error));
    } else if (*verified.value == wanted_mode) {
        FUZZ_CHECK(result.has_value());
    } else {
        FUZZ_CHECK(!result.has_value());
        const auto* mismatch = std::get_if<jointbus::damiao::ControlModeMismatch>(&result.error());
        FUZZ_CHECK(mismatch != nullptr && mismatch->written == wanted_mode);
        FUZZ_CHECK(mismatch->reported == static_cast<std::uint8_t>(*verified.value & 0xFFu));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Cursor input(data, size);
    const bool ensure = (input.byte() & 1u) != 0;
    const auto motor_id = static_cast<std::uint16_t>(input.little_endian(2));
    const std::uint8_t timeout_ms = input.byte();
    const std::vector<Event> events = read_events(input);

    pauses = SettlePauses{};
    ScriptedTransport bus;
    for (const Event& event : events) {
        if (event.frame) {
            bus.arrive(*event.frame, event.after);
        } else {
            bus.fail_recv(event.failure);
        }
    }
    bus.on_send = [](const CanFrame&, ScriptedTransport&) { ++pauses.sends_so_far; };

    const Damiao motor = Damiao::create(motor_id, 0x000, std::nullopt, timeout_ms);
    const std::chrono::milliseconds timeout(timeout_ms);
    if (ensure) {
        check_ensure(motor, timeout, bus, events);
    } else {
        check_read(motor, timeout, bus, events);
    }
    return 0;
}
