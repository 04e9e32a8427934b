"""Plays one motor on a CAN interface, in a process of its own (the module
holds the interpreter lock through every exchange, so an answering thread in
the test's own process could never run).

Answers every command frame with a feedback frame on the master identifier,
and register frames on 0x7FF like the firmware's register 10. Driven over
stdin, one line a request, so that one process (slow to start in a virtual
machine) serves a whole test session:
  configure [OPTION...]  forget what was received, behave as the options say
  frames                 print what was received since, as one JSON line
Prints "ready" after each request.
"""

import argparse
import json
import selectors
import shlex
import socket
import struct
import sys

CAN_FRAME = struct.Struct("<IB3x8s")


def parse_options(words):
    parser = argparse.ArgumentParser(prog="configure")
    parser.add_argument("--master", type=lambda text: int(text, 0), default=0x11)
    parser.add_argument("--feedback", default="31 FF FF FF FF FF 20 21", help="reply bytes, hex")
    parser.add_argument("--mode", type=int, default=1, help="register 10 at start")
    parser.add_argument("--ignore-writes", action="store_true")
    parser.add_argument("--silent", action="store_true", help="record, never answer")
    parser.add_argument("--junk-first", action="store_true", help="unrelated traffic before every answer")
    return parser.parse_args(words)


def send(sock, can_id, data):
    sock.send(CAN_FRAME.pack(can_id, len(data), bytes(data).ljust(8, b"\0")))


def send_junk(sock, options, register_read):
    send(sock, (options.master + 1) & 0x7FF, b"\x02\x00\x00\x00\x00\x00\x00\x00")  # another motor
    send(sock, 0x7FF, bytes([0, 0, 0x33, 11, 9, 9, 9, 9]))  # another register
    if register_read:
        # On the master identifier itself, only a register read can tell
        # these apart from its answer: a feedback frame, and a 7-byte frame.
        send(sock, options.master, bytes.fromhex(options.feedback))
        send(sock, options.master, bytes([0, 0, 0x33, 10, 1, 0, 0]))


def answer(sock, options, state, can_id, data):
    if options.junk_first:
        send_junk(sock, options, can_id == 0x7FF and len(data) == 8 and data[2] == 0x33)
    if can_id != 0x7FF:
        send(sock, options.master, bytes.fromhex(options.feedback))
        return
    if len(data) != 8 or data[3] != 10:
        return
    if data[2] == 0x55 and not options.ignore_writes:
        state["mode"] = int.from_bytes(data[4:8], "little")
    elif data[2] == 0x33:
        send(sock, options.master, bytes(data[0:2]) + bytes([0x33, 10]) + state["mode"].to_bytes(4, "little"))


def receive_pending(sock, options, state, received):
    while True:
        try:
            can_id, length, payload = CAN_FRAME.unpack(sock.recv(16, socket.MSG_DONTWAIT))
        except BlockingIOError:
            return
        data = payload[:length]
        received.append([can_id, data.hex(" ").upper()])
        if not options.silent:
            answer(sock, options, state, can_id, data)


def main():
    sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    sock.bind((sys.argv[1],))
    options = parse_options([])
    state = {"mode": options.mode}
    received = []
    selector = selectors.DefaultSelector()
    selector.register(sock, selectors.EVENT_READ)
    selector.register(sys.stdin, selectors.EVENT_READ)
    print("ready", flush=True)
    while True:
        for key, _ in selector.select():
            if key.fileobj is sock:
                receive_pending(sock, options, state, received)
                continue
            words = shlex.split(sys.stdin.readline())
            if not words:
                return
            # Whatever reached the socket before the request belongs to the
            # period being asked about.
            receive_pending(sock, options, state, received)
            if words[0] == "configure":
                options = parse_options(words[1:])
                state = {"mode": options.mode}
                received = []
            elif words[0] == "frames":
                print(json.dumps(received))
            print("ready", flush=True)


if __name__ == "__main__":
    main()
