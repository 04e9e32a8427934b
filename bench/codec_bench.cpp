// What the core spends on the CPU for one exchange, without the kernel: the
// MIT encoder, the feedback decoder, and the conversions between a CanFrame
// and the structure the socket reads and writes. Next to the exchange
// benchmarks this tells how much of an exchange is the codec at all.
//
// Inputs cycle through a table built at run time, so that neither the
// compiler nor the branch predictor sees one value over and over again.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "damiao/mit.hpp"
#include "transport/socketcan_backend.hpp"

namespace {

using jointbus::damiao::FrameBytes;
using jointbus::damiao::MitLimits;
using jointbus::damiao::MitSetpoint;
using jointbus::transport::CanFrame;
using jointbus::transport::CanId;

constexpr std::size_t table_size = 64;  // a power of two: the index wraps with a mask

std::vector<MitSetpoint> setpoints() {
    std::vector<MitSetpoint> table;
    for (std::size_t i = 0; i < table_size; ++i) {
        const auto x = static_cast<float>(i);
        // Some in range, some beyond the limits (clamped), some negative.
        table.push_back({-14.0f + 0.45f * x, -32.0f + x, 9.0f * x, 0.09f * x, -11.0f + 0.35f * x});
    }
    return table;
}

std::vector<FrameBytes> feedback_frames() {
    std::vector<FrameBytes> table;
    for (std::size_t i = 0; i < table_size; ++i) {
        const auto b = static_cast<std::uint8_t>(i * 37u + 11u);
        table.push_back({static_cast<std::uint8_t>(0x10u | (i & 0x0Fu)), b, static_cast<std::uint8_t>(~b),
                         static_cast<std::uint8_t>(b ^ 0x5Au), static_cast<std::uint8_t>(b + 3u), b, 40, 45});
    }
    return table;
}

std::vector<CanFrame> classic_frames() {
    std::vector<CanFrame> table;
    for (const FrameBytes& bytes : feedback_frames()) {
        table.push_back(CanFrame{CanId::standard(static_cast<std::uint16_t>(table.size() + 1)),
                                 std::vector<std::uint8_t>(bytes.begin(), bytes.end()), false, false});
    }
    return table;
}

void encode_mit(benchmark::State& state) {
    const auto table = setpoints();
    const MitLimits limits = MitLimits::dm4310();
    std::size_t i = 0;
    for (auto _ : state) {
        FrameBytes bytes = jointbus::damiao::encode(limits, table[i++ & (table_size - 1)]);
        benchmark::DoNotOptimize(bytes);
    }
}
BENCHMARK(encode_mit);

void decode_feedback(benchmark::State& state) {
    const auto table = feedback_frames();
    const MitLimits limits = MitLimits::dm4310();
    std::size_t i = 0;
    for (auto _ : state) {
        const FrameBytes& bytes = table[i++ & (table_size - 1)];
        auto decoded = jointbus::damiao::decode_feedback(std::span<const std::uint8_t, 8>(bytes), limits);
        benchmark::DoNotOptimize(decoded);
    }
}
BENCHMARK(decode_feedback);

void to_wire_classic(benchmark::State& state) {
    const auto table = classic_frames();
    std::size_t i = 0;
    for (auto _ : state) {
        auto wire = jointbus::transport::to_wire(table[i++ & (table_size - 1)]);
        benchmark::DoNotOptimize(wire);
    }
}
BENCHMARK(to_wire_classic);

// As an exchange builds its command: the payload copied into a fresh
// CanFrame (a heap allocation for its bytes), then converted.
void frame_and_to_wire_classic(benchmark::State& state) {
    const auto table = feedback_frames();
    std::size_t i = 0;
    for (auto _ : state) {
        const FrameBytes& bytes = table[i++ & (table_size - 1)];
        const CanFrame frame{CanId::standard(1), std::vector<std::uint8_t>(bytes.begin(), bytes.end()), false, false};
        auto wire = jointbus::transport::to_wire(frame);
        benchmark::DoNotOptimize(wire);
    }
}
BENCHMARK(frame_and_to_wire_classic);

// The way back: the 16 bytes a receive hands over, into a CanFrame (again a
// heap allocation for its bytes).
void from_wire_classic(benchmark::State& state) {
    std::vector<std::array<std::uint8_t, jointbus::transport::classic_frame_size>> table;
    for (const CanFrame& frame : classic_frames()) {
        auto wire = jointbus::transport::to_wire(frame);
        if (!wire || wire->size != jointbus::transport::classic_frame_size) {
            state.SkipWithError("to_wire refused a classic frame");
            return;
        }
        std::array<std::uint8_t, jointbus::transport::classic_frame_size> bytes{};
        std::copy_n(wire->bytes.begin(), bytes.size(), bytes.begin());
        table.push_back(bytes);
    }
    std::size_t i = 0;
    for (auto _ : state) {
        auto frame = jointbus::transport::from_wire(table[i++ & (table_size - 1)]);
        benchmark::DoNotOptimize(frame);
    }
}
BENCHMARK(from_wire_classic);

}  // namespace

BENCHMARK_MAIN();
