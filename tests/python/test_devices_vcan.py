"""Damiao and SocketCanTransport on a real kernel CAN stack, against a peer
process playing the motor. Run through scripts/with-vcan."""

import math
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import jointbus
from jointbus import ControlSetpoint, Damiao, MitLimits, MitSetpoint, SocketCanTransport

pytestmark = pytest.mark.vcan

FEEDBACK_STATE = "MotorState(motor_id=1, error=3, position=12.5000, velocity=30.0000, torque=10.0000, t_mos=32, t_rotor=33)"
TIMEOUT_TEXT = "transport error: timeout waiting for frame"


@pytest.fixture
def bus():
    return SocketCanTransport("vcan0")


COMMANDS = [
    ("enable", lambda m, b: m.enable(b), 0x001, "FF FF FF FF FF FF FF FC"),
    ("disable", lambda m, b: m.disable(bus=b), 0x001, "FF FF FF FF FF FF FF FD"),
    ("set_zero", lambda m, b: m.set_zero(b), 0x001, "FF FF FF FF FF FF FF FE"),
    ("clear_error", lambda m, b: m.clear_error(b), 0x001, "FF FF FF FF FF FF FF FB"),
    ("mit_control", lambda m, b: m.mit_control(b, MitSetpoint(1.0, -2.0, 20.0, 0.5, 0.3)), 0x001, "8A 3C 77 70 A3 19 98 3C"),
    ("control mit", lambda m, b: m.control(b, ControlSetpoint.mit(MitSetpoint(1.0, -2.0, 20.0, 0.5, 0.3))), 0x001,
     "8A 3C 77 70 A3 19 98 3C"),
    ("control pos_vel", lambda m, b: m.control(b, ControlSetpoint.pos_vel(1.0, -2.5)), 0x101, "00 00 80 3F 00 00 20 C0"),
    ("control vel", lambda m, b: m.control(setpoint=ControlSetpoint.vel(1.0), bus=b), 0x201, "00 00 80 3F 00 00 00 00"),
    ("control force_pos", lambda m, b: m.control(b, ControlSetpoint.force_pos(1.0, 2.5, 0.5)), 0x301, "00 00 80 3F FA 00 88 13"),
]


@pytest.mark.parametrize("name, command, can_id, data", COMMANDS, ids=[c[0] for c in COMMANDS])
def test_each_command_sends_its_frame_and_decodes_the_reply(peer_factory, bus, name, command, can_id, data):
    peer = peer_factory("--junk-first")
    state = command(Damiao(1, 0x11, timeout_ms=2000), bus)
    assert type(state) is jointbus.MotorState
    assert repr(state) == FEEDBACK_STATE
    assert (state.motor_id, state.error, state.t_mos, state.t_rotor) == (1, 3, 32, 33)
    assert (state.position, state.velocity, state.torque) == (12.5, 30.0, 10.0)
    assert peer.frames() == [(can_id, data)]


def test_silence_times_out_and_the_transport_stays_usable(peer_factory, bus):
    peer_factory("--silent")
    motor = Damiao(1, 0x11, timeout_ms=50)
    start = time.monotonic()
    with pytest.raises(RuntimeError) as caught:
        motor.enable(bus)
    waited = time.monotonic() - start
    assert type(caught.value) is RuntimeError and str(caught.value) == TIMEOUT_TEXT
    assert caught.value.args == (TIMEOUT_TEXT,)
    assert 0.05 <= waited < 5
    peer_factory()
    assert repr(Damiao(1, 0x11, timeout_ms=2000).enable(bus)) == FEEDBACK_STATE


def test_zero_timeout_sends_then_fails_at_once(peer_factory, bus):
    peer = peer_factory("--silent")
    with pytest.raises(RuntimeError, match="^transport error: timeout waiting for frame$"):
        Damiao(1, 2, timeout_ms=0).enable(bus)
    assert peer.frames() == [(0x001, "FF FF FF FF FF FF FF FC")]


READ = (0x7FF, "01 00 33 0A 00 00 00 00")
WRITE = (0x7FF, "01 00 55 0A 01 00 00 00")


def test_ensure_mit_mode_when_already_in_mit(peer_factory, bus):
    peer = peer_factory("--mode", "1")
    assert Damiao(1, 0x11, timeout_ms=2000).ensure_mit_mode(bus) is None
    assert peer.frames() == [READ]


def test_ensure_mit_mode_switches_a_motor_that_obeys(peer_factory, bus):
    peer = peer_factory("--mode", "2", "--junk-first")
    start = time.monotonic()
    assert Damiao(1, 0x11, timeout_ms=2000).ensure_mit_mode(bus) is None
    assert time.monotonic() - start >= 0.1
    assert peer.frames() == [READ, WRITE, READ]


def test_ensure_mit_mode_reports_a_motor_that_ignores_the_write(peer_factory, bus):
    peer = peer_factory("--mode", "3", "--ignore-writes")
    with pytest.raises(RuntimeError) as caught:
        Damiao(1, 0x11, timeout_ms=2000).ensure_mit_mode(bus)
    assert str(caught.value) == "control mode verification failed: wrote 1, motor reports 3"
    assert peer.frames() == [READ, WRITE, READ]


def test_ensure_mit_mode_with_no_motor(peer_factory, bus):
    peer = peer_factory("--silent")
    with pytest.raises(RuntimeError) as caught:
        Damiao(1, 0x11, timeout_ms=100).ensure_mit_mode(bus)
    assert str(caught.value) == TIMEOUT_TEXT
    assert peer.frames() == [READ]


def test_short_reply_fails_with_its_bytes(peer_factory, bus):
    peer_factory("--feedback", "31 FF")
    with pytest.raises(RuntimeError) as caught:
        Damiao(1, 0x11, timeout_ms=2000).enable(bus)
    assert str(caught.value) == "unexpected reply (data did not match register-reply pattern): [49, 255]"


def test_wrong_arguments_send_nothing(peer_factory, bus):
    peer = peer_factory()
    motor = Damiao(1, 0x11, timeout_ms=2000)
    for call in (lambda: motor.enable(object()), lambda: motor.mit_control(bus, ControlSetpoint.mit(MitSetpoint())),
                 lambda: motor.control(bus, MitSetpoint()), lambda: motor.mit_control(bus, None),
                 lambda: motor.enable(bus, 1)):
        with pytest.raises(TypeError):
            call()
    assert peer.frames() == []


@pytest.mark.parametrize("limits, text", [
    (MitLimits(p_max=-1.0), "MitLimits.p_max must be from 0 to 1e+30 to encode an MIT command, got -1.0"),
    (MitLimits(kd_max=math.nan), "MitLimits.kd_max must be from 0 to 1e+30 to encode an MIT command, got nan"),
    (MitLimits(t_max=-0.5, v_max=-2), "MitLimits.v_max must be from 0 to 1e+30 to encode an MIT command, got -2.0"),
    # An infinite or huge range would quantise fields to the ends of the motor's own range.
    (MitLimits(p_max=math.inf), "MitLimits.p_max must be from 0 to 1e+30 to encode an MIT command, got inf"),
    (MitLimits(t_max=1e40), "MitLimits.t_max must be from 0 to 1e+30 to encode an MIT command, got inf"),
    (MitLimits(kp_max=1e31), "MitLimits.kp_max must be from 0 to 1e+30 to encode an MIT command, got 1e+31"),
])
def test_unencodable_limits_raise_value_error_and_send_nothing(peer_factory, bus, limits, text):
    peer = peer_factory()
    motor = Damiao(1, 0x11, limits, timeout_ms=2000)
    for call in (lambda: motor.mit_control(bus, MitSetpoint()), lambda: motor.control(bus, ControlSetpoint.mit(MitSetpoint()))):
        with pytest.raises(ValueError) as caught:
            call()
        assert type(caught.value) is ValueError and str(caught.value) == text
    state = motor.control(bus, ControlSetpoint.vel(1.0))  # the transport is not poisoned
    assert state.t_rotor == 33
    assert peer.frames() == [(0x201, "00 00 80 3F 00 00 00 00")]


@pytest.mark.parametrize("limits, feedback, text", [
    (MitLimits(p_max=math.nan, v_max=1e38, t_max=-1e38), "00 00 00 FF FF FF 00 00",
     "MotorState(motor_id=0, error=0, position=NaN, velocity=inf, torque=-inf, t_mos=0, t_rotor=0)"),
    (MitLimits(p_max=0.65535, v_max=0.0, t_max=-0.0), "12 7F FF 00 00 00 FF FE",
     "MotorState(motor_id=2, error=1, position=-0.0000, velocity=0.0000, torque=0.0000, t_mos=255, t_rotor=254)"),
    (MitLimits(p_max=3.14159 * 2), "F0 FF FF 7F F8 00 01 02",
     "MotorState(motor_id=0, error=15, position=6.2832, velocity=-0.0073, torque=0.0024, t_mos=1, t_rotor=2)"),
])
def test_motor_state_reprs(peer_factory, bus, limits, feedback, text):
    peer_factory("--feedback", feedback)
    state = Damiao(1, 0x11, limits, timeout_ms=2000).enable(bus)
    assert repr(state) == text == str(state)


def test_fd_interface_and_frames_from_other_identifiers(peer_factory):
    fd_bus = SocketCanTransport("vcan1")
    peer_factory("--junk-first", iface="vcan1")
    state = Damiao(0x801, 0x811, timeout_ms=2000).enable(fd_bus)  # both masked to 11 bits
    assert state.error == 3


def test_transports_and_states_leak_no_type_references(peer_factory, bus):
    transport_type = SocketCanTransport
    before = sys.getrefcount(transport_type)
    for _ in range(100_000):
        SocketCanTransport("vcan0")
    assert sys.getrefcount(transport_type) == before

    peer_factory()
    motor = Damiao(1, 0x11, timeout_ms=2000)
    state_type = type(motor.enable(bus))
    before = sys.getrefcount(state_type)
    for _ in range(5_000):
        motor.enable(bus)
    assert sys.getrefcount(state_type) == before


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


def test_signal_during_a_wait_ends_the_command_then_runs_the_handler():
    result = run_python("""
        import signal, jointbus
        seen = []
        signal.signal(signal.SIGALRM, lambda *_: seen.append("handler"))
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        try:
            jointbus.Damiao(1, 0x11, timeout_ms=10_000).enable(jointbus.SocketCanTransport("vcan0"))
        except RuntimeError as error:
            seen.append(str(error))
        print(seen)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == str(["handler", "transport error: backend error: Interrupted system call (os error 4)"])


def test_ctrl_c_during_a_wait_raises_keyboard_interrupt():
    # Ctrl-C's handler as a program started from a terminal has it: one
    # started in the background by a shell inherits SIGINT ignored.
    result = run_python("""
        import os, signal, subprocess, jointbus
        signal.signal(signal.SIGINT, signal.default_int_handler)
        bus = jointbus.SocketCanTransport("vcan0")
        subprocess.Popen(["sh", "-c", f"sleep 0.5; kill -INT {os.getpid()}"])
        try:
            try:
                jointbus.Damiao(1, 0x11, timeout_ms=30_000).enable(bus)
            except RuntimeError:
                # The interpreter runs the handler at its next check: here.
                for _ in range(10**8):
                    pass
                print("no interrupt")
        except KeyboardInterrupt as interrupt:
            context = interrupt.__context__
            print("KeyboardInterrupt", type(context).__name__, context)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "KeyboardInterrupt RuntimeError transport error: backend error: Interrupted system call (os error 4)")
