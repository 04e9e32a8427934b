// Injected faults: what becomes of a reply, the look-alikes the driver must
// skip, and the flood that must stay off every identifier in use.
#include <gtest/gtest.h>

#include <algorithm>

#include "damiao/driver.hpp"
#include "faults.hpp"
#include "protocol.hpp"
#include "support/hex.hpp"
#include "support/scripted_transport.hpp"

namespace jointbus::sim {
namespace {

using namespace std::chrono_literals;
using jointbus::testing::hex_bytes;
using jointbus::testing::hex_text;
using transport::CanFrame;
using transport::CanId;

const CanFrame feedback{CanId::standard(0x11), hex_bytes("11 7F FF 7F F7 FF 19 1A"), false, false};
const CanFrame junk{CanId::standard(0x11), hex_bytes("01 00 33 0B 00 00 00 00"), false, false};

std::string sizes(const ReplyPlan& plan) {
    std::string text;
    for (const CanFrame& frame : plan.frames) {
        text += (text.empty() ? "" : ",") + std::to_string(frame.data.size());
    }
    return text;
}

TEST(ReplyPlan, FaultsShapeTheReply) {
    struct Case {
        FaultSettings faults;
        bool with_junk;
        std::string sizes;
        std::chrono::milliseconds after;
    };
    const auto settings = [](double drop, int delay, int late, double late_p, double cut) {
        FaultSettings faults;
        faults.drop_probability = drop;
        faults.delay = std::chrono::milliseconds(delay);
        faults.late = std::chrono::milliseconds(late);
        faults.late_probability = late_p;
        faults.short_probability = cut;
        return faults;
    };
    const Case cases[] = {
        {{}, false, "8", 0ms},
        {settings(1.0, 0, 0, 1.0, 0.0), false, "", 0ms},
        {settings(1.0, 0, 0, 1.0, 0.0), true, "8", 0ms},  // the junk still goes
        {settings(0.0, 30, 0, 1.0, 0.0), false, "8", 30ms},
        {settings(0.0, 30, 500, 1.0, 0.0), false, "8", 530ms},
        {settings(0.0, 30, 500, 0.0, 0.0), false, "8", 30ms},
        {settings(0.0, 0, 0, 1.0, 1.0), false, "6", 0ms},
        {settings(0.0, 0, 0, 1.0, 1.0), true, "8,6", 0ms},  // only the reply is cut
        {settings(1.0, 0, 0, 1.0, 1.0), false, "", 0ms},
    };
    for (const Case& c : cases) {
        Dice dice(7);
        std::vector<CanFrame> extra;
        if (c.with_junk) {
            extra.push_back(junk);
        }
        const ReplyPlan plan = plan_reply(feedback, extra, c.faults, dice);
        EXPECT_EQ(sizes(plan), c.sizes);
        EXPECT_EQ(plan.after, c.after);
        const bool reply_sent = plan.frames.size() > (c.with_junk ? 1u : 0u);
        if (reply_sent) {
            const CanFrame& reply = plan.frames.back();
            EXPECT_EQ(reply.id, feedback.id);
            EXPECT_TRUE(std::equal(reply.data.begin(), reply.data.end(), feedback.data.begin()));
        }
    }
}

std::string decisions(std::uint64_t seed, std::size_t count) {
    FaultSettings faults;
    faults.drop_probability = 0.5;
    Dice dice(seed);
    std::string drawn;
    for (std::size_t i = 0; i < count; ++i) {
        drawn += plan_reply(feedback, {}, faults, dice).frames.empty() ? 'x' : '.';
    }
    return drawn;
}

TEST(ReplyPlan, TheSeedDecidesAndTheOddsHold) {
    EXPECT_EQ(decisions(1, 64), decisions(1, 64));
    EXPECT_NE(decisions(1, 64), decisions(2, 64));
    for (const double p : {0.0, 0.1, 0.5, 0.9, 1.0}) {
        FaultSettings faults;
        faults.short_probability = p;
        Dice dice(99);
        int cut = 0;
        constexpr int replies = 20000;
        for (int i = 0; i < replies; ++i) {
            cut += plan_reply(feedback, {}, faults, dice).frames.at(0).data.size() < 8 ? 1 : 0;
        }
        EXPECT_NEAR(static_cast<double>(cut) / replies, p, 0.015) << p;
    }
}

TEST(ReplyPlan, OneMotorsOddsDoNotShiftTheNextDecisions) {
    // The same number of draws per reply whatever the settings, so turning a
    // fault on or off does not change which later replies another fault hits.
    FaultSettings dropping;
    dropping.drop_probability = 0.5;
    FaultSettings everything = dropping;
    everything.late = 100ms;
    everything.late_probability = 0.3;
    everything.short_probability = 0.2;
    Dice plain(5);
    Dice busy(5);
    for (int i = 0; i < 200; ++i) {
        const bool dropped_plain = plan_reply(feedback, {}, dropping, plain).frames.empty();
        const bool dropped_busy = plan_reply(feedback, {}, everything, busy).frames.empty();
        ASSERT_EQ(dropped_plain, dropped_busy) << i;
    }
}

TEST(LookAlikes, AreSkippedByTheDriversRegisterRead) {
    const damiao::Damiao motor = damiao::Damiao::create(1, 0x11, std::nullopt, 20);
    const auto reply_bytes = register_read_reply(1, control_mode_register, 2);
    const CanFrame reply{reply_id(0x11), std::vector<std::uint8_t>(reply_bytes.begin(), reply_bytes.end()), false,
                         false};
    const auto look_alikes = register_reply_look_alikes(reply, {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x19, 0x1A});
    ASSERT_EQ(look_alikes.size(), 3u);
    EXPECT_EQ(hex_text(look_alikes[0].data), "01 00 33 0B 02 00 00 00");
    EXPECT_EQ(hex_text(look_alikes[1].data), "01 00 33 0A 02 00 00");
    EXPECT_EQ(hex_text(look_alikes[2].data), "11 7F FF 7F F7 FF 19 1A");
    jointbus::testing::ScriptedTransport bus;
    for (const CanFrame& frame : look_alikes) {
        EXPECT_EQ(frame.id, reply.id);
        bus.arrive(frame);
    }
    bus.arrive(reply);
    const auto read = motor.read_register(bus, control_mode_register);
    ASSERT_TRUE(read) << damiao::message(read.error());
    EXPECT_EQ(std::get<std::uint32_t>(*read), 2u);
    EXPECT_EQ(bus.pending(), 0u);
}

TEST(Flood, StaysOffReservedIdentifiersAndNeverLooksLikeARegisterReply) {
    const std::vector<std::uint16_t> reserved{0x001, 0x101, 0x201, 0x301, 0x011, 0x7FF};
    Dice dice(3);
    std::vector<int> seen(0x800);
    for (int i = 0; i < 20000; ++i) {
        const auto frame = flood_frame(reserved, dice);
        ASSERT_TRUE(frame);
        ASSERT_EQ(frame->id.kind, CanId::Kind::Standard);
        ASSERT_FALSE(frame->fd);
        ASSERT_EQ(frame->data.size(), 8u);
        ASSERT_NE(frame->data[2], register_read_marker);
        ++seen.at(frame->id.value);
    }
    for (const std::uint16_t id : reserved) {
        EXPECT_EQ(seen[id], 0) << id;
    }
    EXPECT_GT(std::ranges::count_if(seen, [](int n) { return n > 0; }), 0x700);
}

TEST(Flood, FindsTheLastFreeIdentifierOrNone) {
    std::vector<std::uint16_t> all_but_one;
    for (std::uint16_t id = 0; id < 0x800; ++id) {
        if (id != 0x456) {
            all_but_one.push_back(id);
        }
    }
    Dice dice(1);
    const auto frame = flood_frame(all_but_one, dice);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->id.value, 0x456u);
    all_but_one.push_back(0x456);
    EXPECT_FALSE(flood_frame(all_but_one, dice));
}

}  // namespace
}  // namespace jointbus::sim
