/* The one feedback frame the echo motor sends, shared by the echo and the C
 * clients. bench/exchange.py holds the same bytes for the Python clients:
 * were the two to differ, every client would report a wrong reply.
 *
 * Byte 0 is status 1 (enabled) over the motor's number, so a reply from the
 * wrong motor is told apart. The fields are chosen off-centre (position raw
 * 0xA000, velocity raw 0x7FF, torque raw 0x900, temperatures 40 and 45) so
 * that a decoder that mixes up nibbles or bytes gets different numbers. */
#ifndef JOINTBUS_BENCH_FEEDBACK_H
#define JOINTBUS_BENCH_FEEDBACK_H

#include <stdint.h>

#define BENCH_REPLY_BASE 0x10u

static inline void bench_feedback(unsigned motor, uint8_t out[8]) {
    out[0] = (uint8_t)(0x10u | (motor & 0x0Fu));
    out[1] = 0xA0;
    out[2] = 0x00;
    out[3] = 0x7F;
    out[4] = 0xF9;
    out[5] = 0x00;
    out[6] = 0x28;
    out[7] = 0x2D;
}

#endif
