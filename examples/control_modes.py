"""Each firmware control mode. A motor executes only the frames of the mode
set in its register 10 and silently ignores the others, so each setpoint
below goes to a motor already in that mode (ensure_mit_mode switches a motor
to MIT; the other modes are set with the manufacturer's tools).

    python examples/control_modes.py --iface can0 --mit 1:0x11 --pos-vel 2:0x12 --vel 3:0x13 --force-pos 4:0x14
"""

import argparse
import time

import jointbus
from jointbus import ControlSetpoint, MitSetpoint


def ids(text):
    motor_id, master_id = text.split(":")
    return int(motor_id, 0), int(master_id, 0)


def hold(bus, motor, setpoint, seconds=0.5):
    """Repeats a setpoint for a while, as a control loop would; returns the last state."""
    deadline = time.monotonic() + seconds
    state = motor.control(bus, setpoint)
    while time.monotonic() < deadline:
        state = motor.control(bus, setpoint)
    return state


def main():
    parser = argparse.ArgumentParser(description="Send one setpoint of each control mode.")
    parser.add_argument("--iface", default="vcan0")
    parser.add_argument("--mit", type=ids, required=True, help="MOTOR_ID:MASTER_ID of a motor to run in MIT mode")
    parser.add_argument("--pos-vel", type=ids, required=True, help="... of a motor in POS_VEL mode")
    parser.add_argument("--vel", type=ids, required=True, help="... of a motor in VEL mode")
    parser.add_argument("--force-pos", type=ids, required=True, help="... of a motor in FORCE_POS mode")
    parser.add_argument("--timeout-ms", type=int, default=20, help="reply time-out per command, ms")
    options = parser.parse_args()
    mit, pos_vel, vel, force_pos = (jointbus.Damiao(*ids, jointbus.MitLimits.dm4310(), timeout_ms=options.timeout_ms)
                                    for ids in (options.mit, options.pos_vel, options.vel, options.force_pos))

    bus = jointbus.SocketCanTransport(options.iface)
    mit.ensure_mit_mode(bus)
    examples = [
        # MIT: impedance around a target: kp*(q - position) + kd*(dq - velocity) + tau.
        (mit, ControlSetpoint.mit(MitSetpoint(q=0.4, kp=20.0, kd=1.0))),
        # POS_VEL: go to a position, at most this fast (rad, rad/s).
        (pos_vel, ControlSetpoint.pos_vel(position=-0.5, velocity=3.0)),
        # VEL: spin at a velocity (rad/s).
        (vel, ControlSetpoint.vel(2.0)),
        # FORCE_POS: go to a position with a velocity limit (rad/s) and a
        # torque limit as a fraction of the model's maximum.
        (force_pos, ControlSetpoint.force_pos(position=0.8, velocity_limit=4.0, torque_ratio=0.3)),
    ]
    for motor, setpoint in examples:
        motor.enable(bus)
        state = hold(bus, motor, setpoint)
        print(f"mode {setpoint.mode} {setpoint!r}: position {state.position:+.3f} rad, "
              f"velocity {state.velocity:+.3f} rad/s")
        motor.disable(bus)


if __name__ == "__main__":
    main()
