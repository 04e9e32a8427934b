"""What failures look like and how to handle them: a motor that does not
answer (a time-out), and a motor that reports a fault code.

    python examples/handling_errors.py --iface can0 --absent 9:0x19 --motor 1:0x11
"""

import argparse

import jointbus

# Fault codes a motor reports in MotorState.error (0 disabled, 1 enabled).
FAULTS = {
    0x8: "over-voltage", 0x9: "under-voltage", 0xA: "over-current", 0xB: "MOS over-temperature",
    0xC: "coil over-temperature", 0xD: "communication lost", 0xE: "overload",
}


def ids(text):
    motor_id, master_id = text.split(":")
    return int(motor_id, 0), int(master_id, 0)


def main():
    parser = argparse.ArgumentParser(description="Handle a time-out and a fault code.")
    parser.add_argument("--iface", default="vcan0")
    parser.add_argument("--absent", type=ids, required=True, help="MOTOR_ID:MASTER_ID that nobody answers")
    parser.add_argument("--motor", type=ids, required=True, help="MOTOR_ID:MASTER_ID of a motor that may be faulted")
    parser.add_argument("--timeout-ms", type=int, default=20, help="reply time-out per command, ms")
    options = parser.parse_args()
    absent = jointbus.Damiao(*options.absent, timeout_ms=options.timeout_ms)
    motor = jointbus.Damiao(*options.motor, timeout_ms=options.timeout_ms)

    try:
        bus = jointbus.SocketCanTransport(options.iface)
    except OSError as error:  # for example "No such device (os error 19)"
        raise SystemExit(f"cannot open {options.iface}: {error}")

    # A command waits at most timeout_ms for the reply, then raises
    # RuntimeError; the transport is fine and the next command can go at once.
    try:
        absent.enable(bus)
    except RuntimeError as error:
        print(f"{absent!r} did not answer: {error}")

    # A fault is not an exception: the command succeeds and the code comes
    # back in the state. Clear it, then check again before enabling.
    state = motor.enable(bus)
    if state.error in FAULTS:
        print(f"{motor!r} reports fault {state.error:#x} ({FAULTS[state.error]}); clearing it")
        state = motor.clear_error(bus)
    print(f"{motor!r} status {state.error:#x}")
    if state.error not in FAULTS:
        motor.enable(bus)
        motor.disable(bus)


if __name__ == "__main__":
    main()
