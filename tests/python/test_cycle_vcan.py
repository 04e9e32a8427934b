"""jointbus.cycle: one control tick over several motors on one bus, against
jointbus-sim (and its faults) and the recording motor peer on vcan0."""

import threading
import time

import pytest

import jointbus
from jointbus import ControlSetpoint, Damiao, MitLimits, MitSetpoint, SocketCanTransport

pytestmark = pytest.mark.vcan

TIMEOUT_TEXT = "transport error: timeout waiting for frame"


def test_every_motor_answers_in_list_order(simulator):
    simulator("--motor", "1:0x11:dm4310:mit", "--motor", "2:0x12:dm8009:vel", "--motor", "3:0x13:dm6006:mit")
    bus = SocketCanTransport("vcan0")
    motors = [Damiao(1, 0x11, MitLimits.dm4310(), 500), Damiao(2, 0x12, MitLimits.dm8009(), 500),
              Damiao(3, 0x13, MitLimits.dm6006(), 500)]
    for motor in motors:
        motor.enable(bus)
    commands = [(motors[2], MitSetpoint(q=0.3, kp=20.0, kd=1.0)), (motors[0], ControlSetpoint.mit(MitSetpoint())),
                (motors[1], ControlSetpoint.vel(2.0))]
    for _ in range(300):
        states = jointbus.cycle(bus, iter(commands))
        assert [type(state) for state in states] == [jointbus.MotorState] * 3
        assert [state.motor_id for state in states] == [3, 1, 2]
    assert abs(states[0].position - 0.3) < 0.1 and states[2].velocity > 1.0, states
    assert jointbus.cycle(bus, []) == []


def test_a_failed_motor_holds_its_error_and_the_others_their_states(simulator):
    simulator("--flood", "1000", "--motor", "1:0x11:dm4310:mit", "--motor", "2:0x12:dm4310:mit:drop=1",
              "--motor", "3:0x13:dm4310:mit:short-reply=1", "--motor", "4:0x14:dm4310:mit:delay=100")
    bus = SocketCanTransport("vcan0")
    # The silent motor's own time-out ends each cycle; the others have room
    # to answer on a loaded machine.
    commands = [(Damiao(i, 0x10 + i, timeout_ms=300 if i == 2 else 3000), MitSetpoint()) for i in (1, 2, 3, 4)]
    for _ in range(5):
        start = time.monotonic()
        first, dropped, short, delayed = jointbus.cycle(bus, commands)
        assert time.monotonic() - start < 10
        assert (type(first), first.motor_id, type(delayed), delayed.motor_id) == (jointbus.MotorState, 1,
                                                                                   jointbus.MotorState, 4)
        assert type(dropped) is RuntimeError and dropped.args == (TIMEOUT_TEXT,)
        assert type(short) is RuntimeError
        assert str(short).startswith("unexpected reply (data did not match register-reply pattern): [")


@pytest.mark.parametrize("commands, kind, text", [
    (5, TypeError, "argument 'commands': 'int' object is not iterable"),
    ([(Damiao(1, 0x11), MitSetpoint()), 5], TypeError,
     "commands[1]: expected a (Damiao, MitSetpoint or ControlSetpoint) pair, got 'int'"),
    ([[Damiao(1, 0x11), MitSetpoint()]], TypeError,
     "commands[0]: expected a (Damiao, MitSetpoint or ControlSetpoint) pair, got 'list'"),
    ([(MitSetpoint(), Damiao(1, 0x11))], TypeError, "commands[0]: 'MitSetpoint' object cannot be converted to 'Damiao'"),
    ([(Damiao(1, 0x11), 1.0)], TypeError,
     "commands[0]: 'float' object cannot be converted to 'MitSetpoint or ControlSetpoint'"),
    ([(Damiao(1, 0x11), MitSetpoint()), (Damiao(2, 0x12, MitLimits(p_max=-1.0)), MitSetpoint())], ValueError,
     "commands[1]: MitLimits.p_max must be from 0 to 1e+30 to encode an MIT command, got -1.0"),
    ([(Damiao(1, 0x11), MitSetpoint()), (Damiao(2, 0x811), ControlSetpoint.vel(1.0))], ValueError,
     "commands[1]: answers on 0x11, as commands[0] does: their replies could not be told apart"),
])
def test_wrong_commands_raise_before_anything_is_sent(peer_factory, commands, kind, text):
    peer = peer_factory()
    bus = SocketCanTransport("vcan0")
    with pytest.raises(BaseException) as caught:
        jointbus.cycle(bus, commands)
    assert type(caught.value) is kind and str(caught.value) == text
    assert peer.frames() == []
    assert type(jointbus.cycle(bus, [(Damiao(1, 0x11, timeout_ms=2000), MitSetpoint())])[0]) is jointbus.MotorState


def test_cycles_and_single_commands_from_several_threads_never_swap_replies(simulator):
    # The transport is held for a whole cycle: a command from another thread
    # can neither take a cycle's reply nor lose its own to the cycle.
    simulator("--motor", "1:0x11:dm4310:mit", "--motor", "2:0x12:dm4310:mit", "--motor", "3:0x13:dm4310:mit")
    bus = SocketCanTransport("vcan0")
    pair = [(Damiao(1, 0x11, timeout_ms=500), MitSetpoint()), (Damiao(2, 0x12, timeout_ms=500), MitSetpoint())]
    single = Damiao(3, 0x13, timeout_ms=500)
    wrong = []

    def cycles():
        for _ in range(150):
            ids = [state.motor_id for state in jointbus.cycle(bus, pair)]
            if ids != [1, 2]:
                wrong.append(ids)

    def singles():
        for _ in range(150):
            if single.enable(bus).motor_id != 3:
                wrong.append("single")

    threads = [threading.Thread(target=target) for target in (cycles, singles, cycles, singles)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads)
    assert wrong == []
