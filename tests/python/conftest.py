import json
import os
import pathlib
import shlex
import subprocess
import sys

import pytest

PEER = pathlib.Path(__file__).with_name("motor_peer.py")


class MotorPeer:
    """One motor_peer.py process on one interface, reconfigured per test."""

    def __init__(self, iface):
        self.process = subprocess.Popen([sys.executable, str(PEER), iface], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)
        self._await_ready()

    def _await_ready(self):
        line = self.process.stdout.readline()
        assert line.strip() == "ready", line

    def _request(self, words):
        self.process.stdin.write(shlex.join(words) + "\n")
        self.process.stdin.flush()

    def configure(self, *options):
        self._request(["configure", *options])
        self._await_ready()
        return self

    def frames(self):
        """Every frame received since configure(), as (identifier, "HEX BYTES")."""
        self._request(["frames"])
        frames = json.loads(self.process.stdout.readline())
        self._await_ready()
        return [tuple(frame) for frame in frames]

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=60)


@pytest.fixture(scope="session")
def peers():
    started = {}
    yield started
    for peer in started.values():
        peer.close()


@pytest.fixture
def peer_factory(peers):
    """peer_factory(*options, iface="vcan0"): the interface's peer, configured afresh."""

    def configure(*options, iface="vcan0"):
        if iface not in peers:
            peers[iface] = MotorPeer(iface)
        return peers[iface].configure(*options)

    yield configure
    for peer in peers.values():
        peer.configure("--silent")


@pytest.fixture
def simulator():
    """simulator(*arguments, iface="vcan0"): a running jointbus-sim, stopped after the test."""
    path = os.environ.get("JOINTBUS_SIM")
    assert path, "JOINTBUS_SIM must name the built jointbus-sim"
    started = []

    def start(*arguments, iface="vcan0"):
        process = subprocess.Popen([path, iface, *arguments], stdout=subprocess.PIPE, text=True)
        started.append(process)
        assert process.stdout.readline().startswith(f"jointbus-sim: ready on {iface}")
        return process

    yield start
    for process in started:
        process.terminate()
        assert process.wait(timeout=30) == 0
