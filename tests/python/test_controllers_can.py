"""The driver on real controller drivers, not vcan: two SJA1000 cards on one
emulated bus (can0, can1; Linux's kvaser_pci, 1 Mbit/s, a transmit queue of
10 frames), and a serial-line adapter (slcan0, Linux's slcan) whose far end,
slcan_adapter.py, bridges to vcan0 and can stop reading as a bus that
acknowledges nothing does. What they add to vcan: a transmit queue that
fills, a link that goes down, an adapter that goes away.

Needs the guest that scripts/with-vcan boots with WITH_VCAN_CONTROLLERS=1;
scripts/vcan-suite runs these there (pytest -m controllers)."""

import json
import os
import pathlib
import subprocess
import sys
import time

import pytest

import jointbus
from jointbus import Damiao, MitLimits, MitSetpoint, SocketCanTransport

pytestmark = pytest.mark.controllers

ADAPTER = pathlib.Path(__file__).with_name("slcan_adapter.py")
QUEUE_FULL = "transport error: backend error: No buffer space available (os error 105)"
LINK_DOWN = "transport error: backend error: Network is down (os error 100)"
REMOVED = "transport error: backend error: No such device (os error 19)"
GONE = "transport error: backend error: No such device or address (os error 6)"
TIMEOUT = "transport error: timeout waiting for frame"
# The frames a DM4310 gets for MitSetpoint() and for disable.
MIT_ZERO = "7F FF 7F F0 00 00 07 FF"
DISABLE = "FF FF FF FF FF FF FF FD"


@pytest.fixture(autouse=True)
def controllers():
    for iface in ("can0", "can1"):
        if not pathlib.Path("/sys/class/net", iface).exists():
            pytest.fail(f"no {iface}: these tests run in the guest of WITH_VCAN_CONTROLLERS=1 scripts/with-vcan")


def ip(*words):
    # Without the sanitizer runtime that may be preloaded into this process:
    # iproute2's own leaks would fail the command.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    subprocess.run(["ip", *words], check=True, timeout=30, env=env)


def motor_options(count, fault=""):
    return [word for i in range(1, count + 1) for word in ("--motor", f"{i}:0x{0x10 + i:x}:dm4310:mit{fault}")]


def dm4310s(count, timeout_ms):
    return [Damiao(i, 0x10 + i, MitLimits.dm4310(), timeout_ms) for i in range(1, count + 1)]


def answered(states):
    """Each slot's motor as its reply names it (the low four bits of its
    identifier: motor 16 says 0), or the slot's error text."""
    return [state.motor_id if isinstance(state, jointbus.MotorState) else str(state) for state in states]


SIXTEEN = [i % 16 for i in range(1, 17)]


def failure(call):
    with pytest.raises(RuntimeError) as raised:
        call()
    return str(raised.value)


class SerialAdapter:
    """slcan_adapter.py: slcan0 bridged to vcan0, stalled and resumed on request."""

    def __init__(self):
        self.process = subprocess.Popen([sys.executable, str(ADAPTER), "vcan0", "slcan0"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)
        assert self.process.stdout.readline().strip() == "ready slcan0"

    def ask(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        assert self.process.stdout.readline().strip() == "ok"

    def forwarded(self):
        """The data of every frame passed to vcan0 since the last asking."""
        self.ask("forwarded")
        return [data for _, data in json.loads(self.process.stdout.readline())]

    def unplug(self):
        self.process.kill()
        self.process.wait(timeout=30)

    def close(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            self.process.wait(timeout=30)


@pytest.fixture
def serial_adapter():
    adapters = []

    def plug():
        adapters.append(SerialAdapter())
        return adapters[-1]

    yield plug
    for adapter in adapters:
        adapter.close()


def test_commands_and_cycles_from_one_controller_to_motors_on_the_other(simulator):
    simulator("--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm4310:mit", "--motor", "3:0x13:dm4310:mit",
              iface="can1")
    bus = SocketCanTransport("can0")
    motors = dm4310s(3, 1000)
    assert motors[0].ensure_mit_mode(bus) is None
    assert [motor.enable(bus).error for motor in motors] == [1, 1, 1]
    assert motors[0].mit_control(bus, MitSetpoint(q=0.2, kp=10.0, kd=1.0)).motor_id == 1
    for _ in range(20):
        states = jointbus.cycle(bus, [(motor, MitSetpoint(q=0.2, kp=10.0, kd=1.0)) for motor in motors])
        assert answered(states) == [1, 2, 3]
    assert [motor.disable(bus).error for motor in motors] == [0, 0, 0]


def receive_overruns():
    """Frames the two controllers could not take in time, as their drivers count them."""
    return sum(int(pathlib.Path("/sys/class/net", iface, "statistics", "rx_over_errors").read_text())
               for iface in ("can0", "can1"))


def test_a_cycle_of_16_motors_through_transmit_queues_of_10_frames(simulator):
    # 16 frames out of can0 at once, and 16 replies out of can1 at once (the
    # motors answer 20 ms after their command, by when all 16 are in): both
    # queues refuse some, and both ends send those as the controller makes
    # room, so every cycle returns and every motor answers. Only a frame
    # the receiving controller lost can cost a motor its reply: the emulated
    # bus hands frames over without their wire time, and on a loaded host a
    # controller's receive buffer (64 bytes) can overrun.
    for iface in ("can0", "can1"):
        assert pathlib.Path("/sys/class/net", iface, "tx_queue_len").read_text().strip() == "10"
    simulator(*motor_options(16, ":delay=20"), iface="can1")
    bus = SocketCanTransport("can0")
    # A second, so that a loaded emulator's pauses cannot pass for a motor
    # that did not answer.
    motors = dm4310s(16, 1000)
    overruns_before = receive_overruns()
    silent = 0
    for _ in range(50):
        states = jointbus.cycle(bus, [(motor, MitSetpoint()) for motor in motors])
        for slot, (expected, got) in enumerate(zip(SIXTEEN, answered(states))):
            assert got in (expected, TIMEOUT), (slot, got)
            silent += got == TIMEOUT
    assert silent == 0 or receive_overruns() > overruns_before, silent


def test_the_simulator_keeps_the_replies_a_stalled_adapter_refuses(serial_adapter, simulator):
    # The motors behind the serial adapter this time, the driver on vcan0.
    # The adapter stops reading as the 16 commands reach the motors: their
    # 16 replies meet a queue that takes 12, and the other 4 go out once it
    # reads again.
    adapter = serial_adapter()
    simulator(*motor_options(16), iface="slcan0")
    bus = SocketCanTransport("vcan0")
    adapter.ask("stall 0.3")
    states = jointbus.cycle(bus, [(motor, MitSetpoint()) for motor in dm4310s(16, 2000)])
    assert answered(states) == SIXTEEN


def test_link_down_and_up_on_a_controller(simulator):
    simulator("--motor", "1:0x11:dm4310:mit", iface="can1")
    bus = SocketCanTransport("can0")
    motor = dm4310s(1, 1000)[0]
    assert motor.enable(bus).error == 1
    ip("link", "set", "can0", "down")
    try:
        assert failure(lambda: motor.enable(bus)) == LINK_DOWN
        opened_while_down = SocketCanTransport("can0")
    finally:
        ip("link", "set", "can0", "up")
    assert motor.enable(bus).error == 1
    assert motor.enable(opened_while_down).error == 1


def remove_pci_card(iface):
    device = pathlib.Path("/sys/class/net", iface, "device").resolve()
    (device / "remove").write_text("1")


def rescan_pci_card(iface):
    pathlib.Path("/sys/bus/pci/rescan").write_text("1")
    assert pathlib.Path("/sys/class/net", iface).exists()
    ip("link", "set", iface, "type", "can", "bitrate", "1000000")
    ip("link", "set", iface, "up")


@pytest.mark.parametrize("how", ["pci card removed and rescanned", "serial adapter unplugged and plugged in"])
def test_an_adapter_removed_and_back_needs_a_new_transport(simulator, serial_adapter, how):
    # The socket is bound to the interface that went away; one with the
    # same name later is another interface.
    if how.startswith("pci"):
        iface, motors_bus = "can0", "can1"
        unplug, plug = (lambda: remove_pci_card("can0")), (lambda: rescan_pci_card("can0"))
    else:
        iface, motors_bus = "slcan0", "vcan0"
        adapter = serial_adapter()
        unplug, plug = adapter.unplug, serial_adapter
    simulator("--motor", "1:0x11:dm4310:mit", iface=motors_bus)
    bus = SocketCanTransport(iface)
    motor = dm4310s(1, 1000)[0]
    assert motor.enable(bus).error == 1
    unplug()
    try:
        time.sleep(0.2)  # the removal reaches the socket
        assert [failure(lambda: motor.enable(bus)) for _ in range(3)] == [REMOVED, GONE, GONE]
    finally:
        plug()
    assert failure(lambda: motor.enable(bus)) == GONE
    assert motor.enable(SocketCanTransport(iface)).error == 1


def test_a_stalled_serial_adapter_fills_its_queue_and_what_waited_arrives_late(simulator, serial_adapter):
    simulator(*motor_options(3))
    adapter = serial_adapter()
    bus = SocketCanTransport("slcan0")
    # Short time-outs while the adapter stalls, where every reply is missed;
    # patient ones where the motors answer.
    motors = dm4310s(3, 50)
    answering = dm4310s(3, 1000)
    assert answering[0].mit_control(bus, MitSetpoint()).motor_id == 1
    adapter.forwarded()

    adapter.ask("stall")
    # Twelve commands go into the queue and time out: one written to the
    # adapter, one the kernel holds for the stopped driver, ten in the
    # transmit queue (txqueuelen 10). The 13th finds it full.
    outcomes = [failure(lambda: motors[0].mit_control(bus, MitSetpoint())) for _ in range(11)]
    outcomes.append(failure(lambda: motors[0].disable(bus)))
    outcomes.append(failure(lambda: motors[0].mit_control(bus, MitSetpoint())))
    assert outcomes == [TIMEOUT] * 12 + [QUEUE_FULL]
    # A cycle's frames find no room within any motor's time-out.
    assert [str(outcome) for outcome in jointbus.cycle(bus, [(m, MitSetpoint()) for m in motors])] == [QUEUE_FULL] * 3
    assert adapter.forwarded() == []

    adapter.ask("resume")
    deadline = time.monotonic() + 10
    late = []
    while len(late) < 12 and time.monotonic() < deadline:
        late += adapter.forwarded()
        time.sleep(0.05)
    # Every command that timed out still reached the motor, the disable last.
    assert late == [MIT_ZERO] * 11 + [DISABLE]
    time.sleep(0.2)  # the motor's late replies have come and gone
    states = jointbus.cycle(bus, [(m, MitSetpoint()) for m in answering])
    assert answered(states) == [1, 2, 3]


def test_a_cycle_over_more_motors_than_a_serial_adapters_queue(simulator, serial_adapter):
    # slcan wakes its queue only as the adapter reads: a burst of 16 meets a
    # full queue, and the refused frames follow as it drains.
    simulator(*motor_options(16))
    serial_adapter()
    bus = SocketCanTransport("slcan0")
    motors = dm4310s(16, 1000)
    for _ in range(10):
        states = jointbus.cycle(bus, [(motor, MitSetpoint()) for motor in motors])
        assert answered(states) == SIXTEEN
