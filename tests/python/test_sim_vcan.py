"""The Python module end to end against jointbus-sim on vcan0: the motor's
physics answers, and every injected fault shows up as the driver promises.
The simulator's path comes in JOINTBUS_SIM (scripts/vcan-suite sets it)."""

import os
import subprocess
import time

import pytest

import jointbus
from jointbus import ControlSetpoint, Damiao, MitLimits, MitSetpoint, SocketCanTransport

pytestmark = pytest.mark.vcan


def hold(motor, bus, setpoint, seconds):
    """Sends `setpoint` repeatedly for `seconds`; returns the last state."""
    deadline = time.monotonic() + seconds
    state = motor.control(bus, setpoint)
    while time.monotonic() < deadline:
        state = motor.control(bus, setpoint)
    return state


def test_ensure_mit_mode_then_a_step_settles_on_its_target(simulator):
    simulator("--motor", "1:0x11:dm4310")  # ships in POS_VEL
    bus = SocketCanTransport("vcan0")
    motor = Damiao(1, 0x11, MitLimits.dm4310(), timeout_ms=500)
    with pytest.raises(RuntimeError, match="timeout"):
        motor.mit_control(bus, MitSetpoint(q=1.0, kp=20.0, kd=1.0))  # ignored outside MIT mode
    assert motor.ensure_mit_mode(bus) is None
    assert motor.enable(bus).error == 1
    state = hold(motor, bus, ControlSetpoint.mit(MitSetpoint(q=1.0, kp=20.0, kd=1.0)), 1.5)
    assert abs(state.position - 1.0) < 0.05, state
    assert abs(state.velocity) < 0.2, state
    assert motor.disable(bus).error == 0


@pytest.mark.parametrize("mode, setpoint, check", [
    ("pos_vel", ControlSetpoint.pos_vel(-0.8, 5.0), lambda s: abs(s.position + 0.8) < 0.05),
    ("vel", ControlSetpoint.vel(3.0), lambda s: s.velocity > 2.5 and s.position > 0.5),
    ("force_pos", ControlSetpoint.force_pos(0.6, 5.0, 0.5), lambda s: abs(s.position - 0.6) < 0.05),
])
def test_each_control_mode_moves_the_motor_its_way(simulator, mode, setpoint, check):
    simulator("--motor", f"2:0x12:dm8009:{mode}")
    bus = SocketCanTransport("vcan0")
    motor = Damiao(2, 0x12, MitLimits.dm8009(), timeout_ms=500)
    motor.enable(bus)
    state = hold(motor, bus, setpoint, 1.0)
    assert setpoint.mode == {"pos_vel": 2, "vel": 3, "force_pos": 4}[mode]
    assert check(state), state


@pytest.mark.parametrize("fault, command, text", [
    ("drop=1", lambda m, b: m.enable(b), "transport error: timeout waiting for frame"),
    ("late=600", lambda m, b: m.enable(b), "transport error: timeout waiting for frame"),
    ("ignore-mode-writes", lambda m, b: m.ensure_mit_mode(b), "control mode verification failed: wrote 1, motor reports 2"),
])
def test_faults_raise_what_the_driver_promises(simulator, fault, command, text):
    simulator("--motor", f"1:0x11:dm4310:pos_vel:{fault}")
    bus = SocketCanTransport("vcan0")
    with pytest.raises(RuntimeError) as caught:
        command(Damiao(1, 0x11, timeout_ms=300), bus)
    assert str(caught.value) == text


def test_short_reply_is_an_unexpected_reply(simulator):
    simulator("--motor", "1:0x11:dm4310:pos_vel:short-reply=1")
    with pytest.raises(RuntimeError, match=r"^unexpected reply \(data did not match register-reply pattern\): \[\d+(, \d+){5}\]$"):
        Damiao(1, 0x11, timeout_ms=500).enable(SocketCanTransport("vcan0"))


def test_fault_code_is_reported_until_cleared(simulator):
    simulator("--motor", "1:0x11:dm4310:mit:fault=8")
    bus = SocketCanTransport("vcan0")
    motor = Damiao(1, 0x11, timeout_ms=500)
    assert motor.enable(bus).error == 8
    assert motor.clear_error(bus).error == 0


def test_unrelated_traffic_and_junk_break_no_command(simulator):
    simulator("--flood", "1000", "--junk-before-register", "--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm6006:vel")
    bus = SocketCanTransport("vcan0")
    first, second = Damiao(1, 0x11, MitLimits.dm4310(), 500), Damiao(2, 0x12, MitLimits.dm6006(), 500)
    first.ensure_mit_mode(bus)
    for _ in range(100):
        assert first.mit_control(bus, MitSetpoint()).motor_id == 1
        assert second.control(bus, ControlSetpoint.vel(0.5)).motor_id == 2


def set_link(iface, state):
    # Without the sanitizer runtime the sanitizer stage preloads into this
    # process and its children: iproute2's own leaks would fail the command.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    subprocess.run(["ip", "link", "set", iface, state], check=True, timeout=30, env=env)


def test_down_and_up_the_simulator_waits_and_the_same_transport_recovers(simulator):
    # Motors wait for their bus to come back, and so does the simulator. The
    # driver's socket says "Network is down" once, for the call that meets
    # the link down; the same transport then works again.
    process = simulator("--motor", "1:0x11:dm4310")
    bus = SocketCanTransport("vcan0")
    motor = Damiao(1, 0x11, timeout_ms=300)
    assert motor.enable(bus).error == 1
    set_link("vcan0", "down")
    try:
        with pytest.raises(RuntimeError) as raised:
            motor.enable(bus)
        assert str(raised.value) == "transport error: backend error: Network is down (os error 100)"
        opened_while_down = SocketCanTransport("vcan0")
    finally:
        set_link("vcan0", "up")
    assert motor.enable(bus).error == 1
    # Opened while the link was down, it works from its first call once up.
    assert motor.enable(opened_while_down).error == 1
    assert motor.disable(bus).error == 0
    assert process.poll() is None
