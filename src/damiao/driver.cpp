#include "damiao/driver.hpp"

#include <algorithm>
#include <bit>
#include <thread>

namespace jointbus::damiao {
namespace {

using transport::CanFrame;
using transport::CanId;
using transport::CanTransport;

constexpr std::uint16_t register_frame_id = 0x7FF;
constexpr std::uint8_t register_read_marker = 0x33;
constexpr std::uint8_t register_write_marker = 0x55;

constexpr FrameBytes enable_command{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC};
constexpr FrameBytes disable_command{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD};
constexpr FrameBytes set_zero_command{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE};
constexpr FrameBytes clear_error_command{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFB};

CanId standard_id(std::uint16_t value) noexcept { return CanId::standard(static_cast<std::uint16_t>(value & 0x7FFu)); }

CanFrame classic_frame(std::uint16_t id, const FrameBytes& data) {
    return CanFrame{standard_id(id), std::vector<std::uint8_t>(data.begin(), data.end()), false, false};
}

transport::ClassicFrame command_frame(std::uint16_t id, const FrameBytes& data) noexcept {
    return transport::ClassicFrame{standard_id(id), data, 8};
}

// A reply too short to hold a feedback frame fails the command rather than
// being decoded from bytes that never arrived.
Result<MotorState> decode_reply_bytes(std::span<const std::uint8_t> data, const MitLimits& limits) {
    if (data.size() < 8) {
        return std::unexpected(UnexpectedReply{std::vector<std::uint8_t>(data.begin(), data.end())});
    }
    return decode_feedback(data.first<8>(), limits);
}

void put_u32_le(FrameBytes& data, std::size_t offset, std::uint32_t value) noexcept {
    for (std::size_t i = 0; i < 4; ++i) {
        data[offset + i] = static_cast<std::uint8_t>((value >> (8 * i)) & 0xFFu);
    }
}

void put_u16_le(FrameBytes& data, std::size_t offset, std::uint32_t value) noexcept {
    data[offset] = static_cast<std::uint8_t>(value & 0xFFu);
    data[offset + 1] = static_cast<std::uint8_t>((value >> 8) & 0xFFu);
}

std::uint32_t get_u32_le(const std::vector<std::uint8_t>& data, std::size_t offset) noexcept {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= std::uint32_t{data[offset + i]} << (8 * i);
    }
    return value;
}

// velocity_limit and torque_ratio travel as fixed-point counts 0..10000.
std::uint32_t force_pos_raw(float value, float upper, float scale) noexcept {
    return std::min(to_u32_saturating(clamp_into(value, 0.0f, upper) * scale), std::uint32_t{10000});
}

FrameBytes pos_vel_payload(const PosVelSetpoint& setpoint) noexcept {
    FrameBytes data{};
    put_u32_le(data, 0, std::bit_cast<std::uint32_t>(setpoint.position));
    put_u32_le(data, 4, std::bit_cast<std::uint32_t>(setpoint.velocity));
    return data;
}

FrameBytes vel_payload(const VelSetpoint& setpoint) noexcept {
    FrameBytes data{};
    put_u32_le(data, 0, std::bit_cast<std::uint32_t>(setpoint.velocity));
    return data;
}

FrameBytes force_pos_payload(const ForcePosSetpoint& setpoint) noexcept {
    FrameBytes data{};
    put_u32_le(data, 0, std::bit_cast<std::uint32_t>(setpoint.position));
    put_u16_le(data, 4, force_pos_raw(setpoint.velocity_limit, 100.0f, 100.0f));
    put_u16_le(data, 6, force_pos_raw(setpoint.torque_ratio, 1.0f, 10000.0f));
    return data;
}

FrameBytes register_request(std::uint16_t motor_id, std::uint8_t marker, std::uint8_t register_number,
                            std::uint32_t value) noexcept {
    FrameBytes data{static_cast<std::uint8_t>(motor_id & 0xFFu), static_cast<std::uint8_t>(motor_id >> 8), marker,
                    register_number};
    put_u32_le(data, 4, value);
    return data;
}

bool is_read_reply(const CanFrame& frame, std::uint8_t register_number) noexcept {
    return frame.data.size() == 8 && frame.data[2] == register_read_marker && frame.data[3] == register_number;
}

const RegisterInfo* find_register(std::uint8_t register_number) noexcept {
    const auto* found = std::ranges::find(register_table, register_number, &RegisterInfo::number);
    return found == register_table.end() ? nullptr : found;
}

RegisterValue decode_register(RegisterType type, std::uint32_t bits) noexcept {
    if (type == RegisterType::Float) {
        return std::bit_cast<float>(bits);
    }
    return bits;
}

Result<std::uint32_t> require_uint32(std::uint8_t register_number, const RegisterValue& value) {
    if (const auto* bits = std::get_if<std::uint32_t>(&value)) {
        return *bits;
    }
    return std::unexpected(RegisterTypeMismatch{register_number, RegisterType::Uint32, type_of(value)});
}

Error transport_failure(transport::TransportError error) { return TransportFailure{std::move(error)}; }

}  // namespace

ControlFrame build_control_frame(const MitLimits& limits, const ControlSetpoint& setpoint) noexcept {
    switch (setpoint.index()) {
        case 0:
            return {0x000, encode(limits, std::get<MitSetpoint>(setpoint))};
        case 1:
            return {0x100, pos_vel_payload(std::get<PosVelSetpoint>(setpoint))};
        case 2:
            return {0x200, vel_payload(std::get<VelSetpoint>(setpoint))};
        default:
            return {0x300, force_pos_payload(std::get<ForcePosSetpoint>(setpoint))};
    }
}

Result<MotorState> Damiao::cmd_at_arbitration(CanTransport& bus, std::uint16_t arbitration_id,
                                               const FrameBytes& data) const {
    return exchange(bus, command_frame(arbitration_id, data));
}

Result<MotorState> Damiao::exchange(CanTransport& bus, const transport::ClassicFrame& frame) const {
    auto reply = bus.request_classic(frame, reply_id(), timeout);
    if (!reply) {
        return std::unexpected(transport_failure(std::move(reply.error())));
    }
    return decode_reply(reply->kept());
}

CanId Damiao::reply_id() const noexcept { return standard_id(master_id); }

Result<MotorState> Damiao::decode_reply(const CanFrame& reply) const { return decode_reply_bytes(reply.data, limits); }

Result<MotorState> Damiao::decode_reply(std::span<const std::uint8_t> data) const {
    return decode_reply_bytes(data, limits);
}

Result<MotorState> Damiao::enable(CanTransport& bus) const { return cmd_at_arbitration(bus, motor_id, enable_command); }

Result<MotorState> Damiao::disable(CanTransport& bus) const {
    return cmd_at_arbitration(bus, motor_id, disable_command);
}

Result<MotorState> Damiao::set_zero(CanTransport& bus) const {
    return cmd_at_arbitration(bus, motor_id, set_zero_command);
}

Result<MotorState> Damiao::clear_error(CanTransport& bus) const {
    return cmd_at_arbitration(bus, motor_id, clear_error_command);
}

Result<MotorState> Damiao::mit_control(CanTransport& bus, const MitSetpoint& setpoint) const {
    return control(bus, ControlSetpoint{setpoint});
}

Result<MotorState> Damiao::control(CanTransport& bus, const ControlSetpoint& setpoint) const {
    auto frame = classic_control_frame(setpoint);
    if (!frame) {
        return std::unexpected(std::move(frame.error()));
    }
    return exchange(bus, *frame);
}

Result<transport::ClassicFrame> Damiao::classic_control_frame(const ControlSetpoint& setpoint) const {
    if (std::holds_alternative<MitSetpoint>(setpoint)) {
        if (const auto invalid = find_unencodable_limit(limits)) {
            return std::unexpected(InvalidMitLimit{invalid->field, invalid->value});
        }
    }
    const ControlFrame frame = build_control_frame(limits, setpoint);
    // The sum wraps at 16 bits before the identifier is masked to 11.
    return command_frame(static_cast<std::uint16_t>(motor_id + frame.base), frame.data);
}

Result<CanFrame> Damiao::control_frame(const ControlSetpoint& setpoint) const {
    auto frame = classic_control_frame(setpoint);
    if (!frame) {
        return std::unexpected(std::move(frame.error()));
    }
    return CanFrame{frame->id, std::vector<std::uint8_t>(frame->data.begin(), frame->data.end()), false, false};
}

Result<RegisterValue> Damiao::read_register(CanTransport& bus, std::uint8_t register_number) const {
    const RegisterInfo* info = find_register(register_number);
    if (info == nullptr) {
        return std::unexpected(UnknownRegister{register_number});
    }
    const auto request = register_request(motor_id, register_read_marker, register_number, 0);
    if (auto sent = bus.start_exchange(classic_frame(register_frame_id, request)); !sent) {
        return std::unexpected(transport_failure(std::move(sent.error())));
    }
    // Register replies are recognised by content, whatever identifier they
    // come on, so this waits on the raw receive rather than on request().
    const auto deadline = transport::deadline_after(bus.now(), timeout);
    auto reply = transport::recv_until(
        bus, deadline, [register_number](const CanFrame& frame) { return is_read_reply(frame, register_number); });
    if (!reply) {
        return std::unexpected(transport_failure(std::move(reply.error())));
    }
    return decode_register(info->type, get_u32_le(reply->data, 4));
}

Result<void> Damiao::write_register(CanTransport& bus, std::uint8_t register_number, std::uint32_t value) const {
    const RegisterInfo* info = find_register(register_number);
    if (info == nullptr) {
        return std::unexpected(UnknownRegister{register_number});
    }
    if (!info->writable) {
        return std::unexpected(ReadOnlyRegister{register_number});
    }
    const auto request = register_request(motor_id, register_write_marker, register_number, value);
    if (auto sent = bus.start_exchange(classic_frame(register_frame_id, request)); !sent) {
        return std::unexpected(transport_failure(std::move(sent.error())));
    }
    return {};
}

Result<void> Damiao::ensure_control_mode(CanTransport& bus, std::uint8_t mode) const {
    const auto read_mode = [&]() -> Result<std::uint32_t> {
        auto value = read_register(bus, control_mode_register);
        if (!value) {
            return std::unexpected(std::move(value.error()));
        }
        return require_uint32(control_mode_register, *value);
    };
    const auto current = read_mode();
    if (!current) {
        return std::unexpected(current.error());
    }
    if (*current == mode) {
        return {};
    }
    if (auto written = write_register(bus, control_mode_register, mode); !written) {
        return written;
    }
    std::this_thread::sleep_for(mode_switch_settle_time);
    const auto verified = read_mode();
    if (!verified) {
        return std::unexpected(verified.error());
    }
    if (*verified != mode) {
        return std::unexpected(ControlModeMismatch{mode, static_cast<std::uint8_t>(*verified & 0xFFu)});
    }
    return {};
}

}  // namespace jointbus::damiao
