/*
 * c_clients MODE IFACE TICKS WARMUP MOTORS TIMEOUT_MS
 *
 * The C reference points for the exchange benchmarks. Each runs WARMUP
 * untimed ticks, then TICKS timed ones, and prints "NANOSECONDS TICKS" for
 * the timed part. A tick is one exchange with each of MOTORS motors
 * (numbers 1..MOTORS, replies on 0x10 + number).
 *
 *   minimal    the least a program can do: send, then blocking recv with a
 *              receive time-out (set once, when the socket is opened) until
 *              the reply's identifier comes. Motors one after the other.
 *   lfl        like for like: the system calls jointbus makes for one
 *              exchange, in its order: drop what is queued (one non-blocking
 *              recv, then recvmmsg batches of 16 only if it found a frame),
 *              send, then ppoll on what is left to a
 *              monotonic deadline and recv(MSG_DONTWAIT) until the reply's
 *              identifier. The socket is opened as jointbus opens its own
 *              (close-on-exec, FD frames on). Motors one after the other.
 *   pipelined  drop what is queued, send to every motor, then collect one
 *              reply from each (ppoll + recv(MSG_DONTWAIT) to one deadline):
 *              what a multi-motor exchange can reach at best.
 *
 * The payload is a fixed MIT command: encoding costs nanoseconds (see the
 * codec microbenchmarks), so leaving it out keeps these loops pure exchange.
 *
 * Every reply is checked byte for byte against the echo motor's feedback
 * frame; a wrong reply or a time-out ends the program with status 1 and a
 * message, so a figure is never printed for exchanges that did not happen.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "feedback.h"

enum { max_motors = 15, drop_batch = 16, fd_frame_size = 72 };

static const uint8_t command_payload[8] = {0x80, 0x00, 0x80, 0x00, 0x33, 0x33, 0x37, 0xFF};

static const char* mode_name = "?";

static void fail(const char* what, unsigned motor) {
    fprintf(stderr, "c_clients %s: motor %u: %s\n", mode_name, motor, what);
    exit(1);
}

static void fail_errno(const char* call) {
    fprintf(stderr, "c_clients %s: %s: %s\n", mode_name, call, strerror(errno));
    exit(1);
}

static int64_t now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static int open_socket(const char* iface, int like_jointbus) {
    const unsigned index = if_nametoindex(iface);
    if (index == 0) {
        fail_errno(iface);
    }
    const int fd = socket(PF_CAN, SOCK_RAW | (like_jointbus ? SOCK_CLOEXEC : 0), CAN_RAW);
    if (fd < 0) {
        fail_errno("socket");
    }
    struct sockaddr_can address;
    memset(&address, 0, sizeof address);
    address.can_family = AF_CAN;
    address.can_ifindex = (int)index;
    if (bind(fd, (struct sockaddr*)&address, sizeof address) != 0) {
        fail_errno("bind");
    }
    if (like_jointbus) {
        const int enable = 1;
        if (setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &enable, sizeof enable) != 0) {
            fail_errno("setsockopt(CAN_RAW_FD_FRAMES)");
        }
    }
    return fd;
}

static void send_command(int fd, unsigned motor) {
    struct can_frame frame;
    memset(&frame, 0, sizeof frame);
    frame.can_id = motor;
    frame.len = 8;
    memcpy(frame.data, command_payload, 8);
    for (;;) {
        const ssize_t sent = send(fd, &frame, sizeof frame, 0);
        if (sent == (ssize_t)sizeof frame) {
            return;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        fail_errno("send");
    }
}

static void check_reply(const struct can_frame* reply, ssize_t size, unsigned motor) {
    uint8_t expected[8];
    bench_feedback(motor, expected);
    if (size != CAN_MTU || reply->len != 8 || memcmp(reply->data, expected, 8) != 0) {
        fail("wrong reply", motor);
    }
}

/* --- minimal ------------------------------------------------------------ */

static void minimal_exchange(int fd, unsigned motor) {
    send_command(fd, motor);
    for (;;) {
        struct can_frame reply;
        const ssize_t got = recv(fd, &reply, sizeof reply, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                fail("timed out", motor);
            }
            fail_errno("recv");
        }
        if (reply.can_id == BENCH_REPLY_BASE + motor) {
            check_reply(&reply, got, motor);
            return;
        }
    }
}

/* --- like for like ------------------------------------------------------ */

struct drop_buffers {
    uint8_t bytes[drop_batch][fd_frame_size];
    struct iovec vectors[drop_batch];
    struct mmsghdr messages[drop_batch];
};

static void drop_pending(int fd, struct drop_buffers* buffers) {
    for (;;) {
        uint8_t scratch[fd_frame_size];
        if (recv(fd, scratch, sizeof scratch, MSG_DONTWAIT) >= 0) {
            break;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return;
        }
        fail_errno("recv");
    }
    for (;;) {
        const int got = recvmmsg(fd, buffers->messages, drop_batch, MSG_DONTWAIT, NULL);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return;
            }
            fail_errno("recvmmsg");
        }
        if (got < drop_batch) {
            return;
        }
    }
}

/* Waits for the next frame until the deadline; 0 once the deadline passed. */
static ssize_t next_frame(int fd, int64_t deadline, uint8_t buffer[fd_frame_size]) {
    for (;;) {
        const int64_t left = deadline - now_ns();
        if (left < 1000) {
            return 0;
        }
        const struct timespec wait = {left / 1000000000, left % 1000000000};
        struct pollfd readable = {fd, POLLIN, 0};
        const int ready = ppoll(&readable, 1, &wait, NULL);
        if (ready < 0) {
            fail_errno("ppoll");
        }
        if (ready == 0) {
            return 0;
        }
        const ssize_t got = recv(fd, buffer, fd_frame_size, MSG_DONTWAIT);
        if (got >= 0) {
            return got;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            fail_errno("recv");
        }
    }
}

static void lfl_exchange(int fd, unsigned motor, int64_t timeout_ns, struct drop_buffers* buffers) {
    drop_pending(fd, buffers);
    send_command(fd, motor);
    const int64_t deadline = now_ns() + timeout_ns;
    for (;;) {
        union {
            uint8_t bytes[fd_frame_size];
            struct can_frame frame;
        } reply;
        const ssize_t got = next_frame(fd, deadline, reply.bytes);
        if (got == 0) {
            fail("timed out", motor);
        }
        if (reply.frame.can_id == BENCH_REPLY_BASE + motor) {
            check_reply(&reply.frame, got, motor);
            return;
        }
    }
}

/* --- pipelined ---------------------------------------------------------- */

static void pipelined_tick(int fd, unsigned motors, int64_t timeout_ns, struct drop_buffers* buffers) {
    drop_pending(fd, buffers);
    for (unsigned motor = 1; motor <= motors; ++motor) {
        send_command(fd, motor);
    }
    const int64_t deadline = now_ns() + timeout_ns;
    const unsigned all = (1u << motors) - 1u;
    unsigned seen = 0;
    while (seen != all) {
        union {
            uint8_t bytes[fd_frame_size];
            struct can_frame frame;
        } reply;
        const ssize_t got = next_frame(fd, deadline, reply.bytes);
        if (got == 0) {
            fail("timed out", (unsigned)__builtin_ctz(~seen & all) + 1u);
        }
        const canid_t id = reply.frame.can_id;
        if (id <= BENCH_REPLY_BASE || id > BENCH_REPLY_BASE + motors) {
            continue;
        }
        const unsigned motor = id - BENCH_REPLY_BASE;
        if ((seen & (1u << (motor - 1))) != 0) {
            fail("second reply in one tick", motor);
        }
        check_reply(&reply.frame, got, motor);
        seen |= 1u << (motor - 1);
    }
}

int main(int argc, char** argv) {
    if (argc != 7) {
        fprintf(stderr, "usage: %s minimal|lfl|pipelined IFACE TICKS WARMUP MOTORS TIMEOUT_MS\n", argv[0]);
        return 2;
    }
    mode_name = argv[1];
    const char* iface = argv[2];
    const long ticks = strtol(argv[3], NULL, 10);
    const long warmup = strtol(argv[4], NULL, 10);
    const long motors = strtol(argv[5], NULL, 10);
    const long timeout_ms = strtol(argv[6], NULL, 10);
    if (ticks < 1 || warmup < 0 || motors < 1 || motors > max_motors || timeout_ms < 1) {
        fprintf(stderr, "c_clients: TICKS >= 1, WARMUP >= 0, MOTORS 1..%d, TIMEOUT_MS >= 1\n", max_motors);
        return 2;
    }
    const int64_t timeout_ns = (int64_t)timeout_ms * 1000000;

    enum { minimal, lfl, pipelined } mode;
    if (strcmp(mode_name, "minimal") == 0) {
        mode = minimal;
    } else if (strcmp(mode_name, "lfl") == 0) {
        mode = lfl;
    } else if (strcmp(mode_name, "pipelined") == 0) {
        mode = pipelined;
    } else {
        fprintf(stderr, "c_clients: unknown mode %s\n", mode_name);
        return 2;
    }

    const int fd = open_socket(iface, mode != minimal);
    if (mode == minimal) {
        const struct timeval limit = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
            fail_errno("setsockopt(SO_RCVTIMEO)");
        }
    }
    static struct drop_buffers buffers;
    for (unsigned i = 0; i < drop_batch; ++i) {
        buffers.vectors[i].iov_base = buffers.bytes[i];
        buffers.vectors[i].iov_len = fd_frame_size;
        buffers.messages[i].msg_hdr.msg_iov = &buffers.vectors[i];
        buffers.messages[i].msg_hdr.msg_iovlen = 1;
    }

    int64_t start = 0;
    for (long tick = -warmup; tick < ticks; ++tick) {
        if (tick == 0) {
            start = now_ns();
        }
        switch (mode) {
            case minimal:
                for (unsigned motor = 1; motor <= (unsigned)motors; ++motor) {
                    minimal_exchange(fd, motor);
                }
                break;
            case lfl:
                for (unsigned motor = 1; motor <= (unsigned)motors; ++motor) {
                    lfl_exchange(fd, motor, timeout_ns, &buffers);
                }
                break;
            case pipelined:
                pipelined_tick(fd, (unsigned)motors, timeout_ns, &buffers);
                break;
        }
    }
    const int64_t elapsed = now_ns() - start;
    printf("%lld %ld\n", (long long)elapsed, ticks);
    close(fd);
    return 0;
}
