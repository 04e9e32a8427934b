#!/usr/bin/env python3
"""Writes the seed corpora in fuzz/corpus/: a few inputs per target, each one
a situation worth starting from, built in the layout its target reads.
The files are kept in the tree; run this again after changing a layout:

    python3 fuzz/make_seeds.py
"""

import math
import pathlib
import shutil
import struct

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"

CAN_EFF_FLAG = 0x8000_0000
CAN_RTR_FLAG = 0x4000_0000
CAN_ERR_FLAG = 0x2000_0000
CANFD_BRS = 0x01
CANFD_FDF = 0x04

# Motor model ranges the driver ships presets for (position, velocity,
# stiffness, damping, torque).
DM4310 = (12.5, 30.0, 500.0, 5.0, 10.0)
DM3507 = (12.566, 50.0, 500.0, 5.0, 5.0)


def floats(*values: float) -> bytes:
    return struct.pack("<5f", *values)


def feedback_bytes(motor_id: int, error: int, position: int, velocity: int, torque: int, t_mos: int, t_rotor: int) -> bytes:
    return bytes([
        (error << 4) | motor_id, position >> 8, position & 0xFF, velocity >> 4,
        ((velocity & 0xF) << 4) | (torque >> 8), torque & 0xFF, t_mos, t_rotor,
    ])


def register_reply(motor_id: int, marker: int, register: int, value: int) -> bytes:
    return struct.pack("<HBBI", motor_id, marker, register, value)


# --- wire_frame: the byte image of can_frame (16) or canfd_frame (72) -------

def classic(word: int, length: int, data: bytes) -> bytes:
    return struct.pack("<IBBBB", word, length, 0, 0, 0) + data.ljust(8, b"\0")[:8]


def fd(word: int, length: int, flags: int, data: bytes) -> bytes:
    return struct.pack("<IBBBB", word, length, flags, 0, 0) + data.ljust(64, b"\0")[:64]


WIRE_FRAME = {
    "feedback_on_master_id": classic(0x000, 8, feedback_bytes(1, 1, 0x8000, 0x800, 0x800, 30, 31)),
    "register_reply_extended": classic(CAN_EFF_FLAG | 0x0012_3456, 8, register_reply(1, 0x33, 10, 1)),
    # A length field beyond the structure: eight bytes at most are data.
    "classic_length_15": classic(0x123, 15, bytes(range(1, 9))),
    # Error frames carry detail in all eight bytes whatever the length says.
    "error_frame": classic(CAN_ERR_FLAG | 0x004, 0, bytes([0, 0x10, 0, 0, 0, 0, 0, 0])),
    "remote_request": classic(CAN_RTR_FLAG | 0x001, 8, b""),
    "fd_64_with_brs": fd(CAN_EFF_FLAG | 0x1FFF_FFFF, 64, CANFD_FDF | CANFD_BRS, bytes(range(64))),
    # Nine bytes cannot travel on FD: sent again, they are padded to twelve.
    "fd_length_9": fd(0x7FF, 9, CANFD_FDF, bytes(range(0xA0, 0xA9))),
    "fd_length_200": fd(0x100, 200, CANFD_FDF, bytes(range(64))),
    "short_read": classic(0x001, 8, b"\xff" * 8)[:8],
    "one_byte_too_many": fd(0x001, 8, CANFD_FDF, b"\x01" * 8) + b"\x00",
}

# --- feedback: 8 feedback bytes, limits, setpoint A, setpoint B -------------

FEEDBACK = {
    "dm4310_midpoint": feedback_bytes(1, 1, 0x7FFF, 0x7FF, 0x7FF, 40, 45)
    + floats(*DM4310) + floats(0.0, 0.0, 0.0, 0.0, 0.0) + floats(1.0, -2.0, 20.0, 1.0, 0.5),
    "dm3507_full_scale": feedback_bytes(15, 15, 0xFFFF, 0xFFF, 0xFFF, 255, 255)
    + floats(*DM3507) + floats(12.566, 50.0, 500.0, 5.0, 5.0) + floats(100.0, -100.0, 1e6, -1.0, 1e9),
    "dm4310_bottom_and_beyond": feedback_bytes(2, 0, 0, 0, 0, 0, 0)
    + floats(*DM4310) + floats(-12.5, -30.0, 0.0, 0.0, -10.0) + floats(-1e30, -1e30, -1e30, -1e30, -1e30),
    "nan_everywhere": feedback_bytes(3, 5, 0x1234, 0x567, 0x89A, 1, 2)
    + floats(*[math.nan] * 5) + floats(*[math.nan] * 5) + floats(*[math.nan] * 5),
    "infinite_and_negative_limits": feedback_bytes(4, 8, 0x8000, 0x800, 0x800, 0, 0)
    + floats(math.inf, -math.inf, -500.0, -0.0, math.inf) + floats(1.0, 1.0, 1.0, 1.0, 1.0)
    + floats(math.inf, -math.inf, math.inf, -math.inf, math.inf),
    "denormal_limits": feedback_bytes(5, 0, 0xFFFF, 0x001, 0xFFE, 0, 0)
    + floats(1e-45, 1e-40, 1e-39, 1e-44, 1e-38) + floats(1e-45, -1e-45, 1e-40, 0.0, 1e-38)
    + floats(0.0, 0.0, 0.0, 0.0, 0.0),
    # Finite but so large that the encoder's products overflow.
    "huge_limits": feedback_bytes(6, 0, 0x7FFF, 0x7FF, 0x7FF, 0, 0)
    + floats(1e34, 3e38, 3.4e38, 1e36, 2e37) + floats(0.0, 0.0, 0.0, 0.0, 0.0)
    + floats(3e38, 3e38, 3e38, 3e38, 3e38),
}

# --- register_reply: header, then events ------------------------------------

READ, ENSURE = 0, 1
EXTENDED, FD, BRS = 0x04, 0x08, 0x10


def header(operation: int, motor_id: int, timeout_ms: int) -> bytes:
    return struct.pack("<BHB", operation, motor_id, timeout_ms)


def frame(after_us: int, can_id: int, data: bytes, flags: int = 0) -> bytes:
    return struct.pack("<BHIB", flags, after_us, can_id, len(data)) + data


def failure(kind: int, detail: int = 0) -> bytes:
    return bytes([3, (detail << 2) | kind])


MODE = 10
REGISTER_REPLY = {
    "read_answered_at_once": header(READ, 1, 20) + frame(0, 0x011, register_reply(1, 0x33, MODE, 1)),
    # Feedback, a write echo, an FD frame and an extended one, each with
    # some of a reply's bytes, then the real one late but in time.
    "read_through_noise": header(READ, 1, 20)
    + frame(100, 0x011, feedback_bytes(1, 1, 0x8000, 0x800, 0x800, 30, 30))
    + frame(100, 0x7FF, register_reply(1, 0x55, MODE, 2))
    + frame(100, 0x011, register_reply(1, 0x33, MODE, 3) + b"\0\0\0\0", FD)
    + frame(100, 0x0123_4567, register_reply(1, 0x33, 11, 4), EXTENDED)
    + frame(19_600, 0x011, register_reply(1, 0x33, MODE, 2)),
    "read_reply_exactly_at_deadline": header(READ, 2, 5) + frame(5_000, 0x012, register_reply(2, 0x33, MODE, 4)),
    "read_reply_too_late": header(READ, 2, 5) + frame(5_010, 0x012, register_reply(2, 0x33, MODE, 4)),
    "read_failure_first": header(READ, 3, 20) + failure(0, 19) + frame(0, 0x013, register_reply(3, 0x33, MODE, 1)),
    "ensure_already_set": header(ENSURE, 1, 20) + frame(50, 0x011, register_reply(1, 0x33, MODE, 1)),
    "ensure_switches": header(ENSURE, 1, 20)
    + frame(50, 0x011, register_reply(1, 0x33, MODE, 2))
    + frame(50, 0x011, feedback_bytes(1, 1, 0x8000, 0x800, 0x800, 30, 30))
    + frame(50, 0x011, register_reply(1, 0x33, MODE, 1)),
    "ensure_mismatch": header(ENSURE, 0x7FF, 20)
    + frame(50, 0x000, register_reply(0x7FF, 0x33, MODE, 3))
    + frame(50, 0x000, register_reply(0x7FF, 0x33, MODE, 0x0000_0102)),
    "ensure_verify_times_out": header(ENSURE, 4, 10)
    + frame(50, 0x014, register_reply(4, 0x33, MODE, 2))
    + frame(50, 0x014, b"\x04\x00\x33\x0a\x01", BRS | FD),
}

# --- sim_request: motor id, limits, kind, identifier, data -----------------

STANDARD, EXT, FDF = 0, 1, 2


def request(motor_id: int, limits, kind: int, can_id: int, data: bytes) -> bytes:
    return struct.pack("<H", motor_id) + floats(*limits) + struct.pack("<BI", kind, can_id) + data


SIM_REQUEST = {
    "register_read": request(1, DM4310, STANDARD, 0x7FF, register_reply(1, 0x33, MODE, 0)),
    "register_write": request(1, DM4310, STANDARD, 0x7FF, register_reply(1, 0x55, MODE, 2)),
    "register_read_other_motor": request(1, DM4310, STANDARD, 0x7FF, register_reply(2, 0x33, MODE, 0)),
    "enable": request(1, DM4310, STANDARD, 0x001, b"\xff" * 7 + b"\xfc"),
    "mit_command": request(1, DM4310, STANDARD, 0x001, bytes([0x80, 0x00, 0x80, 0x00, 0x33, 0x33, 0x38, 0x00])),
    "pos_vel": request(1, DM4310, STANDARD, 0x101, struct.pack("<ff", 1.5, 3.0)),
    "vel_four_bytes": request(1, DM4310, STANDARD, 0x201, struct.pack("<f", -2.0)),
    "force_pos": request(1, DM4310, STANDARD, 0x301, struct.pack("<fHH", 0.5, 1000, 5000)),
    # Motor 0x7FF: its own identifier is the register identifier.
    "own_id_is_register_id": request(0x7FF, DM3507, STANDARD, 0x7FF, register_reply(0x7FF, 0x33, MODE, 0)),
    "own_id_is_register_id_mit": request(0x7FF, DM3507, STANDARD, 0x7FF, bytes([1, 2, 3, 4, 5, 6, 7, 8])),
    # Command offsets wrap at 16 bits before the 11-bit mask.
    "motor_id_wraps": request(0xFF00, DM4310, STANDARD, 0x000, struct.pack("<ff", 0.0, 0.0)),
    "fd_on_own_id": request(1, DM4310, FDF, 0x001, b"\xff" * 7 + b"\xfc"),
    "extended_on_own_id": request(1, DM4310, EXT, 0x001, b"\xff" * 7 + b"\xfc"),
    "mit_seven_bytes": request(1, DM4310, STANDARD, 0x001, bytes(7)),
    "nan_limits": request(1, (math.nan, math.inf, -1.0, 1e-45, 3e38), STANDARD, 0x001, b"\xff" * 8),
}


def write(target: str, seeds: dict) -> None:
    folder = CORPUS / target
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    for name, data in seeds.items():
        (folder / name).write_bytes(data)


def main() -> None:
    write("wire_frame", WIRE_FRAME)
    write("feedback", FEEDBACK)
    write("register_reply", REGISTER_REPLY)
    write("sim_request", SIM_REQUEST)


if __name__ == "__main__":
    main()
