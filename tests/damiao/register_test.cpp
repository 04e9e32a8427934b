#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <optional>

#include "damiao/driver.hpp"
#include "support/hex.hpp"
#include "support/scripted_transport.hpp"

namespace jointbus::damiao {
namespace {

using namespace std::chrono_literals;
using testing::hex_bytes;
using testing::hex_text;
using testing::ScriptedTransport;
using testing::standard_frame;
using transport::CanFrame;

// The motor's side of register 10, answering on the bus after a short delay.
struct ModeRegisterPeer {
    std::uint32_t mode = 2;
    bool obeys_writes = true;
    std::optional<std::uint32_t> mode_after_write{};  // what a write really leaves, if not the value written
    int reads_answered = 1000;  // how many read requests it answers before going quiet

    void attach(ScriptedTransport& bus) {
        bus.on_send = [this](const CanFrame& frame, ScriptedTransport& self) {
            if (frame.id.value != 0x7FF || frame.data.size() != 8 || frame.data[3] != 10) {
                return;
            }
            if (frame.data[2] == 0x55 && obeys_writes) {
                mode = mode_after_write.value_or(frame.data[4] | (std::uint32_t{frame.data[5]} << 8) |
                                                 (std::uint32_t{frame.data[6]} << 16) |
                                                 (std::uint32_t{frame.data[7]} << 24));
            }
            if (frame.data[2] == 0x33 && reads_answered > 0) {
                --reads_answered;
                CanFrame reply = standard_frame(0x011, {frame.data[0], frame.data[1], 0x33, 10, 0, 0, 0, 0});
                for (int i = 0; i < 4; ++i) {
                    reply.data[4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(mode >> (8 * i));
                }
                self.arrive(std::move(reply), 2ms);
            }
        };
    }
};

std::vector<std::string> sent_payloads(const ScriptedTransport& bus) {
    std::vector<std::string> payloads;
    for (const auto& sent : bus.sent()) {
        EXPECT_EQ(sent.frame.id, transport::CanId::standard(0x7FF));
        payloads.push_back(hex_text(sent.frame.data));
    }
    return payloads;
}

const Damiao motor = Damiao::create(1, 0x11, std::nullopt, 20);

TEST(EnsureControlMode, AlreadyInModeReadsOnce) {
    ScriptedTransport bus;
    ModeRegisterPeer peer{.mode = 1};
    peer.attach(bus);
    EXPECT_TRUE(motor.ensure_control_mode(bus, 1));
    EXPECT_EQ(sent_payloads(bus), std::vector<std::string>{"01 00 33 0A 00 00 00 00"});
}

TEST(EnsureControlMode, WritesPausesAndVerifies) {
    ScriptedTransport bus;
    ModeRegisterPeer peer{.mode = 2};
    peer.attach(bus);
    EXPECT_TRUE(motor.ensure_control_mode(bus, 1));
    EXPECT_EQ(peer.mode, 1u);
    const std::vector<std::string> expected{"01 00 33 0A 00 00 00 00", "01 00 55 0A 01 00 00 00",
                                            "01 00 33 0A 00 00 00 00"};
    EXPECT_EQ(sent_payloads(bus), expected);
    EXPECT_GE(bus.sent()[2].real_time - bus.sent()[1].real_time, mode_switch_settle_time);
}

TEST(EnsureControlMode, IgnoredWriteIsAMismatch) {
    for (const std::uint32_t reported : {2u, 3u, 0x0104u}) {
        ScriptedTransport bus;
        ModeRegisterPeer peer{.mode = reported, .obeys_writes = false};
        peer.attach(bus);
        const auto result = motor.ensure_control_mode(bus, 1);
        ASSERT_FALSE(result);
        // Only the low byte of the register value is reported.
        EXPECT_EQ(result.error(), (Error{ControlModeMismatch{1, static_cast<std::uint8_t>(reported)}}));
        EXPECT_EQ(bus.sent().size(), 3u);
    }
    ScriptedTransport bus;
    ModeRegisterPeer peer{.mode = 2, .obeys_writes = false};
    peer.attach(bus);
    EXPECT_EQ(message(motor.ensure_control_mode(bus, 1).error()),
              "control mode verification failed: wrote 1, motor reports 2");
}

// The whole 32-bit value read back must equal the mode; the error then
// names what the motor reports after the write, not before it.
TEST(EnsureControlMode, VerificationComparesTheWholeValueReadAfterTheWrite) {
    struct Case {
        std::uint32_t after_write;
        std::uint8_t reported;
    };
    for (const Case c : {Case{0x0101, 0x01}, Case{0x0100'0001, 0x01}, Case{3, 3}}) {
        ScriptedTransport bus;
        ModeRegisterPeer peer{.mode = 2, .mode_after_write = c.after_write};
        peer.attach(bus);
        EXPECT_EQ(motor.ensure_control_mode(bus, 1), std::unexpected(Error{ControlModeMismatch{1, c.reported}}))
            << c.after_write;
    }
}

TEST(EnsureControlMode, FailedWriteIsTheTransportErrorWithoutPauseOrSecondRead) {
    ScriptedTransport bus;
    ModeRegisterPeer peer{.mode = 2};
    peer.attach(bus);
    bus.on_send = [answer = bus.on_send](const CanFrame& frame, ScriptedTransport& self) {
        answer(frame, self);
        self.fail_send(transport::BackendError{{ENOBUFS}});  // the write after this read
    };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(motor.ensure_control_mode(bus, 1),
              std::unexpected(Error{TransportFailure{transport::BackendError{{ENOBUFS}}}}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, mode_switch_settle_time);
    EXPECT_EQ(sent_payloads(bus), std::vector<std::string>{"01 00 33 0A 00 00 00 00"});
}

TEST(EnsureControlMode, SilentMotorTimesOutWithoutWriting) {
    ScriptedTransport bus;
    ModeRegisterPeer peer{.reads_answered = 0};
    peer.attach(bus);
    const auto start = bus.now();
    const auto result = motor.ensure_control_mode(bus, 1);
    ASSERT_FALSE(result);
    EXPECT_EQ(message(result.error()), "transport error: timeout waiting for frame");
    EXPECT_EQ(sent_payloads(bus), std::vector<std::string>{"01 00 33 0A 00 00 00 00"});
    EXPECT_EQ(bus.now() - start, 20ms);
}

TEST(EnsureControlMode, SilenceAfterTheWriteIsStillAnError) {
    ScriptedTransport bus;
    ModeRegisterPeer peer{.mode = 2, .reads_answered = 1};
    peer.attach(bus);
    EXPECT_EQ(motor.ensure_control_mode(bus, 1),
              std::unexpected(Error{TransportFailure{transport::TimeoutError{}}}));
    EXPECT_EQ(bus.sent().size(), 3u);
    EXPECT_EQ(peer.mode, 1u);  // the write was issued all the same
}

TEST(ReadRegister, SkipsEverythingButTheReplyForThatRegister) {
    ScriptedTransport bus;
    bus.arrive(standard_frame(0x011, hex_bytes("31 FF FF FF FF FF 20 21")), 1ms);  // feedback
    bus.arrive(standard_frame(0x011, hex_bytes("01 00 33 0B 07 00 00 00")), 1ms);  // other register
    bus.arrive(standard_frame(0x011, hex_bytes("01 00 33 0A 07 00 00")), 1ms);     // 7 bytes
    bus.arrive(standard_frame(0x011, hex_bytes("01 00 55 0A 07 00 00 00")), 1ms);  // echo of a write
    bus.arrive(standard_frame(0x011, hex_bytes("01 00 33 0A 07 00 00 00 00")), 1ms);  // 9 bytes
    bus.arrive(testing::extended_frame(0x1234, hex_bytes("EE EE 33 0A 04 03 02 01")), 1ms);
    EXPECT_EQ(motor.read_register(bus, 10), (RegisterValue{std::uint32_t{0x01020304}}));
    EXPECT_EQ(bus.pending(), 0u);
}

TEST(ReadRegister, FdReplyWithEightBytesIsAccepted) {
    ScriptedTransport bus;
    bus.arrive(CanFrame{transport::CanId::standard(0x7FF), hex_bytes("00 00 33 0A 03 00 00 00"), true, true});
    EXPECT_EQ(motor.read_register(bus, 10), (RegisterValue{std::uint32_t{3}}));
}

TEST(ReadRegister, EndlessUnrelatedTrafficEndsAtTheDeadline) {
    ScriptedTransport bus;
    for (int i = 0; i < 100; ++i) {
        bus.arrive(standard_frame(0x011, hex_bytes("01 00 33 0B 00 00 00 00")), 3ms);
    }
    const auto start = bus.now();
    EXPECT_EQ(motor.read_register(bus, 10), std::unexpected(Error{TransportFailure{transport::TimeoutError{}}}));
    EXPECT_EQ(bus.now() - start, 20ms);
}

TEST(RegisterFrames, CarryTheFullSixteenBitMotorId) {
    const Damiao wide = Damiao::create(0x0123, 0x11, std::nullopt, 20);
    ScriptedTransport bus;
    ModeRegisterPeer peer{.mode = 3};
    peer.attach(bus);
    ASSERT_TRUE(wide.ensure_control_mode(bus, 4));
    const std::vector<std::string> expected{"23 01 33 0A 00 00 00 00", "23 01 55 0A 04 00 00 00",
                                            "23 01 33 0A 00 00 00 00"};
    EXPECT_EQ(sent_payloads(bus), expected);
}

TEST(RegisterAccess, RegistersOutsideTheTableAreRefusedBeforeSending) {
    ScriptedTransport bus;
    for (const std::uint8_t number : {std::uint8_t{0}, std::uint8_t{9}, std::uint8_t{11}, std::uint8_t{200}}) {
        EXPECT_EQ(motor.read_register(bus, number), std::unexpected(Error{UnknownRegister{number}}));
        EXPECT_EQ(motor.write_register(bus, number, 1), std::unexpected(Error{UnknownRegister{number}}));
    }
    EXPECT_TRUE(bus.sent().empty());
}

TEST(RegisterAccess, SendFailuresAreWrapped) {
    ScriptedTransport bus;
    bus.fail_send(transport::BackendError{{ENOBUFS}});
    EXPECT_EQ(motor.ensure_control_mode(bus, 1),
              std::unexpected(Error{TransportFailure{transport::BackendError{{ENOBUFS}}}}));
    bus.fail_send(transport::BackendError{{std::nullopt}});
    EXPECT_EQ(motor.write_register(bus, 10, 1),
              std::unexpected(Error{TransportFailure{transport::BackendError{{std::nullopt}}}}));
    EXPECT_TRUE(bus.sent().empty());
}

TEST(RegisterAccess, ReceiveFailureEndsTheRead) {
    ScriptedTransport bus;
    bus.fail_recv(transport::BackendError{{EINTR}});
    bus.arrive(standard_frame(0x011, hex_bytes("01 00 33 0A 01 00 00 00")));
    EXPECT_EQ(motor.read_register(bus, 10),
              std::unexpected(Error{TransportFailure{transport::BackendError{{EINTR}}}}));
    EXPECT_EQ(bus.pending(), 1u);
}

}  // namespace
}  // namespace jointbus::damiao
