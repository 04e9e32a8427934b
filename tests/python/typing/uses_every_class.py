"""Every class and function of jointbus used the way the README shows, for
`mypy --strict` to check against the stub installed with the module. It is
type-checked, never run: driving a motor needs a CAN interface."""

import jointbus
from jointbus import ControlSetpoint, Damiao, MitLimits, MitSetpoint, MotorState, SocketCanTransport


def describe(state: MotorState) -> str:
    codes: tuple[int, int, int, int] = (state.motor_id, state.error, state.t_mos, state.t_rotor)
    motion: tuple[float, float, float] = (state.position, state.velocity, state.torque)
    return f"{state!r} {codes} {motion}"


def every_preset() -> list[MitLimits]:
    return [
        MitLimits.dm3507(), MitLimits.dm4310(), MitLimits.dm4310p(), MitLimits.dm4340(), MitLimits.dm4340p(),
        MitLimits.dm6006(), MitLimits.dm6248p(), MitLimits.dm8006(), MitLimits.dm8009(), MitLimits.dm10010(),
        MitLimits.dm10010l(), MitLimits.dmg6215(), MitLimits.dmh3510(), MitLimits.dmh6220(), MitLimits.dmjh11(),
    ]


def ranges(limits: MitLimits) -> list[float]:
    return [limits.p_max, limits.v_max, limits.kp_max, limits.kd_max, limits.t_max]


def setpoints() -> list[ControlSetpoint]:
    hold = MitSetpoint(q=0.5, kp=20.0, kd=0.5)
    built = jointbus.mit_setpoint(0.0, 1.0, 2, 0.5, tau=0.1)  # an int is fine where a float goes
    values: list[float] = [hold.q, hold.dq, hold.kp, hold.kd, built.tau]
    assert all(value == value for value in values)
    return [
        ControlSetpoint.mit(hold),
        ControlSetpoint.pos_vel(1.0, velocity=2.0),
        ControlSetpoint.vel(velocity=1.0),
        ControlSetpoint.force_pos(position=1.0, velocity_limit=2.0, torque_ratio=0.5),
    ]


def drive(iface: str) -> list[str]:
    bus = SocketCanTransport(iface)
    motor = Damiao(0x01, 0x11, MitLimits.dm4310(), timeout_ms=20)
    spare = Damiao(motor_id=0x02, master_id=0x12, limits=None)
    custom = Damiao(0x03, 0x13, MitLimits(p_max=12.5, v_max=30.0, kp_max=500.0, kd_max=5.0, t_max=10.0))
    ids: list[int] = [motor.motor_id, motor.master_id, spare.motor_id, custom.master_id]

    motor.ensure_mit_mode(bus)
    states: list[MotorState] = [
        motor.enable(bus),
        motor.set_zero(bus=bus),
        motor.clear_error(bus),
        motor.mit_control(bus, MitSetpoint(q=0.5, kp=20.0, kd=0.5)),
    ]
    for setpoint in setpoints():
        mode: int = setpoint.mode
        assert mode in (1, 2, 3, 4), repr(setpoint)
        states.append(motor.control(bus, setpoint))
    states.append(motor.disable(bus))
    for outcome in jointbus.cycle(bus, [(motor, MitSetpoint(q=0.1)), (spare, ControlSetpoint.vel(1.0))]):
        if isinstance(outcome, RuntimeError):
            raise outcome
        states.append(outcome)

    version: str = jointbus.__version__
    names: list[str] = jointbus.__all__
    return [describe(state) for state in states] + [repr(motor), str(ids), str(ranges(every_preset()[0])), version,
                                                    *names]
