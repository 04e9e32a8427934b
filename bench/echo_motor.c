/*
 * echo_motor IFACE [--corrupt | --silent]
 *
 * A stand-in motor for the exchange benchmarks, as cheap as a motor can be
 * made: one blocking raw socket, and for every classic frame whose
 * identifier is N, 0x100+N, 0x200+N or 0x300+N (N from 1 to 15: the
 * identifiers of the four control modes) one fixed feedback frame on
 * 0x10+N. No decoding, no state: whatever the benchmark measures beyond
 * this loop belongs to the client.
 *
 * The feedback frame is bench_feedback() below; the clients check every
 * reply byte for byte (or field by field, once decoded) against it.
 *
 * --corrupt answers with one byte wrong and --silent never answers: both
 * exist only to show that every client notices, so that a benchmark figure
 * can never come from a client that stopped exchanging for real.
 *
 * Prints "ready" once bound, so the caller knows no frame can be missed;
 * on SIGTERM prints how many frames it answered and exits 0.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "feedback.h"

static volatile sig_atomic_t stopping = 0;

static void on_term(int signal_number) {
    (void)signal_number;
    stopping = 1;
}

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s IFACE [--corrupt | --silent]\n", argv[0]);
        return 2;
    }
    int corrupt = 0;
    int silent = 0;
    if (argc == 3) {
        if (strcmp(argv[2], "--corrupt") == 0) {
            corrupt = 1;
        } else if (strcmp(argv[2], "--silent") == 0) {
            silent = 1;
        } else {
            fprintf(stderr, "echo_motor: unknown option %s\n", argv[2]);
            return 2;
        }
    }

    /* No SA_RESTART: SIGTERM must end the blocking recv. */
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_term;
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);

    const unsigned index = if_nametoindex(argv[1]);
    if (index == 0) {
        fprintf(stderr, "echo_motor: %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    const int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) {
        perror("echo_motor: socket");
        return 1;
    }
    struct sockaddr_can address;
    memset(&address, 0, sizeof address);
    address.can_family = AF_CAN;
    address.can_ifindex = (int)index;
    if (bind(fd, (struct sockaddr*)&address, sizeof address) != 0) {
        perror("echo_motor: bind");
        return 1;
    }
    printf("ready\n");
    fflush(stdout);

    unsigned long answered = 0;
    struct can_frame request;
    while (!stopping) {
        const ssize_t got = recv(fd, &request, sizeof request, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            perror("echo_motor: recv");
            return 1;
        }
        if (got != (ssize_t)sizeof request || (request.can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG)) != 0) {
            continue;
        }
        const canid_t id = request.can_id & CAN_SFF_MASK;
        const unsigned motor = id & 0xFFu;
        if (id > 0x3FFu || motor < 1 || motor > 15 || silent) {
            continue;
        }
        struct can_frame reply;
        memset(&reply, 0, sizeof reply);
        reply.can_id = BENCH_REPLY_BASE + motor;
        reply.len = 8;
        bench_feedback(motor, reply.data);
        if (corrupt) {
            reply.data[7] ^= 0x01u;
        }
        if (send(fd, &reply, sizeof reply, 0) != (ssize_t)sizeof reply) {
            if (errno == EINTR) {
                continue;
            }
            perror("echo_motor: send");
            return 1;
        }
        ++answered;
    }
    printf("answered %lu\n", answered);
    return 0;
}
