"""A reply that comes too late for its own command never becomes the answer
to the commands after it: against jointbus-sim on vcan0 and its late-reply
fault. Enable and disable alternate, so every state says whether it answers
the command just sent (status 1 after enable, 0 after disable)."""

import signal
import time

import pytest

from jointbus import Damiao, SocketCanTransport

pytestmark = pytest.mark.vcan

TIMEOUT_TEXT = "transport error: timeout waiting for frame"


def alternate(motor, bus, count, period=0.0):
    """Sends enable and disable in turn, `period` seconds apart at least;
    returns (stale replies, time-outs)."""
    stale = timeouts = 0
    for i in range(count):
        time.sleep(period)
        command, status = (motor.enable, 1) if i % 2 == 0 else (motor.disable, 0)
        try:
            state = command(bus)
        except RuntimeError as error:
            assert str(error) == TIMEOUT_TEXT
            timeouts += 1
            continue
        if (state.error, state.motor_id) != (status, motor.motor_id):
            stale += 1
    return stale, timeouts


def test_after_an_interrupted_exchange_no_reply_is_stale(simulator):
    # Motor 2 answers on motor 1's identifier, always 1.5 s late: the reply
    # to the interrupted exchange lands while nothing waits for it. The
    # signal comes 0.3 s into the call, so that it lands in the wait even
    # when a loaded emulated guest takes a while to reach it (at 50 ms it
    # once came before, and the wait then took the late reply).
    simulator("--motor", "1:0x11:dm4310:mit", "--motor", "2:0x11:dm4310:mit:late=1500")
    bus = SocketCanTransport("vcan0")
    previous = signal.signal(signal.SIGALRM, lambda *_: None)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        with pytest.raises(RuntimeError, match=r"Interrupted system call \(os error 4\)"):
            Damiao(2, 0x11, timeout_ms=5000).enable(bus)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    time.sleep(1.6)
    assert alternate(Damiao(1, 0x11, timeout_ms=2000), bus, 1000) == (0, 0)


def test_a_late_reply_misleads_at_most_the_one_exchange_it_lands_in(simulator):
    # One reply in fifty comes long after the time-out. Each late reply can
    # still be taken by the exchange that is waiting when it lands; that
    # exchange's own reply then waits, and the next command, paced as a
    # 100 Hz control loop paces them (slack enough for the motor to answer
    # in an emulated guest on a loaded machine), drops it before it sends.
    # Every late reply times out its own exchange, unless that exchange took
    # an earlier late reply, which two late replies in a row take: hence
    # the 2.
    simulator("--seed", "7", "--motor", "1:0x11:dm4310:mit:late=400@0.02")
    stale, timeouts = alternate(Damiao(1, 0x11, timeout_ms=200), SocketCanTransport("vcan0"), 600, period=0.01)
    assert timeouts > 0
    assert stale <= timeouts + 2
