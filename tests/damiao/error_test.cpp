#include <gtest/gtest.h>

#include <cerrno>
#include <limits>

#include "damiao/error.hpp"

namespace jointbus::damiao {
namespace {

using transport::BackendError;
using transport::TimeoutError;

TEST(Error, Messages) {
    struct Case {
        Error error;
        const char* text;
    };
    const Case cases[] = {
        {TransportFailure{TimeoutError{}}, "transport error: timeout waiting for frame"},
        {TransportFailure{BackendError{{ENODEV}}}, "transport error: backend error: No such device (os error 19)"},
        {TransportFailure{BackendError{{std::nullopt}}}, "transport error: backend error: failed to write whole buffer"},
        {TransportFailure{transport::FrameTooLargeError{9}},
         "transport error: frame too large for selected mode: 9 bytes"},
        {TransportFailure{transport::InvalidIdError{}}, "transport error: invalid CAN id"},
        {UnknownRegister{200}, "register 200 is not in the Damiao register table"},
        {UnknownRegister{0}, "register 0 is not in the Damiao register table"},
        {ReadOnlyRegister{0}, "register 0 is read-only"},
        {ReadOnlyRegister{255}, "register 255 is read-only"},
        {RegisterTypeMismatch{10, RegisterType::Uint32, RegisterType::Float}, "register 10: expected Uint32, got Float"},
        {RegisterTypeMismatch{7, RegisterType::Float, RegisterType::Uint32}, "register 7: expected Float, got Uint32"},
        {UnexpectedReply{{1, 0, 51, 10}}, "unexpected reply (data did not match register-reply pattern): [1, 0, 51, 10]"},
        {UnexpectedReply{{}}, "unexpected reply (data did not match register-reply pattern): []"},
        {UnexpectedReply{{255}}, "unexpected reply (data did not match register-reply pattern): [255]"},
        {ControlModeMismatch{1, 3}, "control mode verification failed: wrote 1, motor reports 3"},
        {ControlModeMismatch{1, 2}, "control mode verification failed: wrote 1, motor reports 2"},
        {ControlModeMismatch{255, 0}, "control mode verification failed: wrote 255, motor reports 0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(message(c.error), c.text);
    }
}

TEST(Error, InvalidLimitNamesTheFieldAndItsValue) {
    struct Case {
        const char* field;
        float value;
        const char* text;
    };
    const Case cases[] = {
        {"p_max", -1.0f, "MitLimits.p_max must be from 0 to 1e+30 to encode an MIT command, got -1.0"},
        {"v_max", std::numeric_limits<float>::quiet_NaN(),
         "MitLimits.v_max must be from 0 to 1e+30 to encode an MIT command, got nan"},
        {"kp_max", -std::numeric_limits<float>::quiet_NaN(),
         "MitLimits.kp_max must be from 0 to 1e+30 to encode an MIT command, got nan"},
        {"kd_max", -0.1f, "MitLimits.kd_max must be from 0 to 1e+30 to encode an MIT command, got -0.1"},
        {"t_max", -std::numeric_limits<float>::infinity(),
         "MitLimits.t_max must be from 0 to 1e+30 to encode an MIT command, got -inf"},
        {"t_max", -1e20f, "MitLimits.t_max must be from 0 to 1e+30 to encode an MIT command, got -1e+20"},
        {"p_max", std::numeric_limits<float>::infinity(),
         "MitLimits.p_max must be from 0 to 1e+30 to encode an MIT command, got inf"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(message(InvalidMitLimit{c.field, c.value}), c.text);
    }
}

}  // namespace
}  // namespace jointbus::damiao
