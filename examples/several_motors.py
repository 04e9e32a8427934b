"""Several motors on one bus: one transport, one Damiao per motor, and
each tick is one jointbus.cycle: every command goes out at once, then every
reply is collected.

    python examples/several_motors.py --iface can0 --motor 1:0x11:dm4310 --motor 2:0x12:dm8009
"""

import argparse
import time

import jointbus


def parse_motor(text):
    motor_id, master_id, model = text.split(":")
    return int(motor_id, 0), int(master_id, 0), getattr(jointbus.MitLimits, model)()


def main():
    parser = argparse.ArgumentParser(description="Move several motors on one bus to the same position.")
    parser.add_argument("--iface", default="vcan0")
    parser.add_argument("--motor", action="append", type=parse_motor, required=True,
                        help="MOTOR_ID:MASTER_ID:MODEL (repeat per motor)")
    parser.add_argument("--target", type=float, default=0.5, help="position, rad")
    parser.add_argument("--timeout-ms", type=int, default=20, help="reply time-out per command, ms")
    options = parser.parse_args()

    bus = jointbus.SocketCanTransport(options.iface)
    motors = [jointbus.Damiao(*motor, timeout_ms=options.timeout_ms) for motor in options.motor]
    try:
        for motor in motors:
            motor.ensure_mit_mode(bus)
            motor.enable(bus)
        # One cycle per tick: every motor's command goes out at once, then
        # every reply is collected. A real loop would run at a fixed rate;
        # half a second of ticks is enough for the joints to get there.
        setpoint = jointbus.MitSetpoint(q=options.target, kp=30.0, kd=1.0)
        commands = [(motor, setpoint) for motor in motors]
        deadline = time.monotonic() + 0.5
        while time.monotonic() < deadline:
            outcomes = jointbus.cycle(bus, commands)
        for motor, outcome in zip(motors, outcomes):
            # A motor that missed the last tick has its error in its place.
            if isinstance(outcome, RuntimeError):
                print(f"{motor!r}: {outcome}")
            else:
                print(f"{motor!r}: position {outcome.position:+.3f} rad")
    finally:
        # Disable everything even if a command failed halfway.
        for motor in motors:
            motor.disable(bus)


if __name__ == "__main__":
    main()
