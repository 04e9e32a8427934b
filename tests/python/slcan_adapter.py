"""The far end of a serial-line CAN adapter: a pty whose other side carries
Linux's slcan line discipline, so that the kernel's own slcan driver makes a
real CAN interface of it, bridged to a bus interface (vcan0, where
jointbus-sim answers). It can stop reading from the pty, as an adapter
whose bus acknowledges nothing, and start again.

    slcan_adapter.py BUS NAME

Makes the interface NAME at 1 Mbit/s, prints "ready NAME" and then takes one
command per line on stdin, answering each with "ok" (and a line of JSON
where there is something to tell):
    stall [S]      stop reading what the driver sends (for S seconds, if given)
    resume         read again: what waited goes on to BUS
    forwarded      the frames passed to BUS since the last asking, as
                   [identifier, "HEX BYTES"] pairs
End of input takes the interface down and ends it; the interface goes away
with the pty, as when the adapter is unplugged (killed)."""

import fcntl
import json
import os
import pty
import select
import socket
import struct
import subprocess
import sys
import termios
import threading
import tty

N_SLCAN = 17
SIOCGIFNAME = 0x8910
CAN_FRAME = struct.Struct("=IB3x8s")
CAN_EFF_FLAG = 0x80000000


def encode(can_id, data):
    """A received frame as the adapter writes it to its host: t/T, id, length, data, CR."""
    if can_id & CAN_EFF_FLAG:
        head = "T%08X" % (can_id & 0x1FFFFFFF)
    else:
        head = "t%03X" % can_id
    return (head + "%d" % len(data) + data.hex().upper() + "\r").encode()


def decode(line):
    """A frame the host asks the adapter to send, or None for a command (open, bit rate...)."""
    text = line.decode("ascii", "replace")
    if text[:1] == "t" and len(text) >= 5:
        can_id, rest = int(text[1:4], 16), text[4:]
    elif text[:1] == "T" and len(text) >= 10:
        can_id, rest = int(text[1:9], 16) | CAN_EFF_FLAG, text[9:]
    else:
        return None
    length = int(rest[0])
    return can_id, bytes.fromhex(rest[1:1 + 2 * length])


def run_ip(*words):
    # Without the sanitizer runtime the sanitizer stage may preload: iproute2's
    # own leak report would fail the command.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    subprocess.run(["ip", *words], check=True, timeout=30, env=env)


class Adapter:
    def __init__(self, bus, name):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.master)
        tty.setraw(self.slave)
        fcntl.ioctl(self.slave, termios.TIOCSETD, struct.pack("i", N_SLCAN))
        made = bytearray(16)
        fcntl.ioctl(self.slave, SIOCGIFNAME, made)
        os.set_blocking(self.master, False)
        self.bus = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        self.bus.bind((bus,))
        self.reading = True
        self.forwarded = []
        self.lock = threading.Lock()
        self.wake_read, self.wake_write = os.pipe()
        self.pending = b""
        threading.Thread(target=self.serve, daemon=True).start()
        # Bringing it up sends the bit rate and open commands, which the
        # serving thread reads: the driver waits until they are written.
        run_ip("link", "set", made.split(b"\0")[0].decode(), "name", name)
        run_ip("link", "set", name, "type", "can", "bitrate", "1000000")
        run_ip("link", "set", name, "up")

    def set_reading(self, reading):
        with self.lock:
            self.reading = reading
        os.write(self.wake_write, b"x")

    def take_forwarded(self):
        with self.lock:
            frames, self.forwarded = self.forwarded, []
        return frames

    def serve(self):
        while True:
            with self.lock:
                reading = self.reading
            watched = [self.bus, self.wake_read] + ([self.master] if reading else [])
            ready, _, _ = select.select(watched, [], [])
            if self.wake_read in ready:
                os.read(self.wake_read, 64)
            if self.bus in ready:
                can_id, length, data = CAN_FRAME.unpack(self.bus.recv(CAN_FRAME.size))
                os.write(self.master, encode(can_id, data[:length]))
            if self.master in ready:
                self.from_host()

    def from_host(self):
        try:
            self.pending += os.read(self.master, 4096)
        except BlockingIOError:
            return
        *lines, self.pending = self.pending.split(b"\r")
        for line in lines:
            frame = decode(line)
            if frame is None:
                continue
            can_id, data = frame
            self.bus.send(CAN_FRAME.pack(can_id, len(data), data.ljust(8, b"\0")))
            with self.lock:
                self.forwarded.append([can_id & 0x1FFFFFFF, data.hex(" ").upper()])


def main():
    bus, name = sys.argv[1:3]
    adapter = Adapter(bus, name)
    print("ready", name, flush=True)
    for line in sys.stdin:
        command = line.strip()
        if command.split()[:1] == ["stall"]:
            adapter.set_reading(False)
            if command != "stall":
                threading.Timer(float(command.split()[1]), adapter.set_reading, (True,)).start()
            print("ok", flush=True)
        elif command == "resume":
            adapter.set_reading(True)
            print("ok", flush=True)
        elif command == "forwarded":
            print("ok", flush=True)
            print(json.dumps(adapter.take_forwarded()), flush=True)
        else:
            print("unknown command:", command, flush=True)
    # Taken down while this still reads, the driver's closing command goes
    # through at once; with nobody reading it would wait a second for it.
    adapter.set_reading(True)
    run_ip("link", "set", name, "down")


if __name__ == "__main__":
    main()
