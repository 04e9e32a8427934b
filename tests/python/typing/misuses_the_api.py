"""Misuses of jointbus that the stub must make `mypy --strict` reject. Each
line that must fail ends in "# E: <error code>"; no other line may fail."""

import jointbus

bus = jointbus.SocketCanTransport("can0")
motor = jointbus.Damiao(1, 2)
state = motor.enable(bus)

jointbus.Damiao("1", 2)  # E: arg-type
motor.enable(5)  # E: arg-type
jointbus.Damiao(1)  # E: call-arg
jointbus.Damiao(1, 2, limits=jointbus.MitSetpoint())  # E: arg-type
jointbus.Damiao(1, 2, timeout_ms=2.5)  # E: arg-type
jointbus.SocketCanTransport(iface=0)  # E: arg-type
motor.mit_control(bus, jointbus.ControlSetpoint.vel(1.0))  # E: arg-type
motor.control(bus, jointbus.MitSetpoint())  # E: arg-type
motor.enable(bus=bus, timeout=5)  # E: call-arg
jointbus.Damiao.enable(self=motor, bus=bus)  # E: call-arg
jointbus.ControlSetpoint.vel("fast")  # E: arg-type
jointbus.mit_setpoint(torque=1.0)  # E: call-arg
jointbus.MitLimits.dm9999()  # E: attr-defined
state.position = 0.0  # E: misc
error_text: str = state.error  # E: assignment
nothing = motor.ensure_mit_mode(bus)  # E: func-returns-value
jointbus.cycle(bus, [(jointbus.MitSetpoint(), motor)])  # E: list-item
tick_state: jointbus.MotorState = jointbus.cycle(bus, [(motor, jointbus.MitSetpoint())])[0]  # E: assignment


class FasterDamiao(jointbus.Damiao):  # E: misc
    pass
