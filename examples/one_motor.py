"""One motor from scratch: open the bus, switch to MIT mode, enable, send one
setpoint, read the state, disable.

    python examples/one_motor.py --iface can0 --motor-id 1 --master-id 0x11 --model dm4310
"""

import argparse

import jointbus


def main():
    parser = argparse.ArgumentParser(description="Drive one motor through one MIT setpoint.")
    parser.add_argument("--iface", default="vcan0")
    parser.add_argument("--motor-id", type=lambda text: int(text, 0), default=1)
    parser.add_argument("--master-id", type=lambda text: int(text, 0), default=0x11)
    parser.add_argument("--model", default="dm4310", help="limits preset, e.g. dm4310, dm8009")
    parser.add_argument("--timeout-ms", type=int, default=20, help="reply time-out per command, ms")
    options = parser.parse_args()

    # One transport per CAN interface; it stays open until the object goes.
    bus = jointbus.SocketCanTransport(options.iface)
    # The limits must match the motor model: they scale every value on the wire.
    limits = getattr(jointbus.MitLimits, options.model)()
    motor = jointbus.Damiao(options.motor_id, options.master_id, limits, timeout_ms=options.timeout_ms)

    # Some motors ship in another control mode and would ignore MIT frames.
    motor.ensure_mit_mode(bus)
    state = motor.enable(bus)
    print("enabled:", state)

    # Hold 0.3 rad with a soft spring and some damping; every command returns
    # the motor's state as of that exchange.
    state = motor.mit_control(bus, jointbus.MitSetpoint(q=0.3, dq=0.0, kp=10.0, kd=0.5, tau=0.0))
    print(f"position {state.position:+.4f} rad, velocity {state.velocity:+.4f} rad/s, "
          f"torque {state.torque:+.4f} N*m, MOS {state.t_mos} C, rotor {state.t_rotor} C")

    state = motor.disable(bus)
    print("disabled:", state)


if __name__ == "__main__":
    main()
