// The simulator's replies on a transmit queue shorter than the burst: kept in
// order until the controller has room, never dropped for a full queue.
#include <gtest/gtest.h>

#include <cerrno>

#include "outbox.hpp"
#include "support/scripted_transport.hpp"

namespace jointbus::sim {
namespace {

using namespace std::chrono_literals;
using jointbus::testing::ScriptedTransport;
using jointbus::testing::standard_frame;
using transport::BackendError;
using transport::CanFrame;

std::vector<CanFrame> replies(std::uint16_t first, std::uint16_t count) {
    std::vector<CanFrame> frames;
    for (std::uint16_t id = first; id < first + count; ++id) {
        frames.push_back(standard_frame(id, {static_cast<std::uint8_t>(id)}));
    }
    return frames;
}

std::vector<std::uint32_t> sent_ids(const ScriptedTransport& bus) {
    std::vector<std::uint32_t> ids;
    for (const auto& sent : bus.sent()) {
        ids.push_back(sent.frame.id.value);
    }
    return ids;
}

TEST(Outbox, RepliesToA16FrameCycleAllGoOutThroughATenFrameQueue) {
    ScriptedTransport bus;
    bus.transmit_queue(10, 130us);
    Outbox outbox;
    outbox.add(replies(0x11, 16));

    EXPECT_EQ(outbox.flush(bus), std::nullopt);
    EXPECT_EQ(bus.sent().size(), 10U);
    EXPECT_EQ(outbox.size(), 6U);

    bus.advance(130us * 3);  // three frames have left the queue
    EXPECT_EQ(outbox.flush(bus), std::nullopt);
    EXPECT_EQ(outbox.size(), 3U);
    bus.advance(1ms);
    EXPECT_EQ(outbox.flush(bus), std::nullopt);
    EXPECT_FALSE(outbox.waiting());

    std::vector<std::uint32_t> in_order;
    for (std::uint32_t id = 0x11; id < 0x21; ++id) {
        in_order.push_back(id);
    }
    EXPECT_EQ(sent_ids(bus), in_order);
    EXPECT_EQ(outbox.overflowed(), 0U);
}

TEST(Outbox, AFrameRefusedForAnotherReasonIsDroppedAndReported) {
    ScriptedTransport bus;
    bus.fail_send(BackendError{{ENETDOWN}});
    Outbox outbox;
    outbox.add(replies(0x11, 3));

    EXPECT_EQ(outbox.flush(bus), transport::TransportError{BackendError{{ENETDOWN}}});
    EXPECT_EQ(sent_ids(bus), (std::vector<std::uint32_t>{0x12, 0x13}));
    EXPECT_FALSE(outbox.waiting());
}

TEST(Outbox, PastItsCapacityTheOldestFramesGo) {
    ScriptedTransport bus;
    bus.transmit_queue(0, 130us);  // nothing ever leaves: a stalled bus
    Outbox outbox(3);
    outbox.add(replies(0x11, 5));
    EXPECT_EQ(outbox.flush(bus), std::nullopt);
    EXPECT_EQ(outbox.overflowed(), 2U);

    bus.transmit_queue(10, 130us);
    EXPECT_EQ(outbox.flush(bus), std::nullopt);
    EXPECT_EQ(sent_ids(bus), (std::vector<std::uint32_t>{0x13, 0x14, 0x15}));
}

}  // namespace
}  // namespace jointbus::sim
