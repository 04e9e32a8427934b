"""The tools pip installs with the module: jointbus-sim and jointbus-decode,
in the environment's scripts directory, which is on PATH when it is active,
built from the same sources and with the same compiler as the module
beside them. Needs no CAN interface."""

import pathlib
import subprocess
import sys
import sysconfig

import pytest

SCRIPTS = pathlib.Path(sysconfig.get_paths()["scripts"])

# A session against jointbus-sim (motor 2 started with fault=0xA), as the
# README shows it, and what the decoder prints for it: every float it
# formats, every latency and the summary's percentiles, to the character.
SESSION = """\
(1796818556.611704) vcan0 7FF#0100330A00000000
(1796818556.615321) vcan0 011#0100330A01000000
(1796818556.832921) vcan0 001#FFFFFFFFFFFFFFFC
(1796818556.834996) vcan0 011#117FFF7FF7FF1919
(1796818557.033068) vcan0 002#FFFFFFFFFFFFFFFC
(1796818557.034218) vcan0 012#A27FFF7FF7FF1919
(1796818557.236361) vcan0 001#851E7FF0A31997FF
(1796818557.237608) vcan0 011#117FFF7FF7FF1919
(1796818557.573944) vcan0 001#851E7FF0A31997FF
(1796818557.574992) vcan0 011#1185107FF8131919
(1796818557.772575) vcan0 201#00002040
(1796818557.961638) vcan0 002#FFFFFFFFFFFFFFFB
(1796818557.962848) vcan0 012#027FFF7FF7FF1919
(1796818558.152889) vcan0 001#FFFFFFFFFFFFFFFD
(1796818558.153473) vcan0 011#0185107FF8131919
"""

DECODED = """\
1796818556.611704 vcan0 motor 1 -> read_register register=10
1796818556.615321 vcan0 motor 1 <- register_reply register=10 value=1 (mit) latency_ms=3.617
1796818556.832921 vcan0 motor 1 -> enable
1796818556.834996 vcan0 motor 1 <- feedback error=1 (enabled) position=-0.0002 velocity=-0.0073 torque=-0.0024 t_mos=25 t_rotor=25 latency_ms=2.075
1796818557.033068 vcan0 motor 2 -> enable
1796818557.034218 vcan0 motor 2 <- feedback error=10 (over-current) position=-0.0002 velocity=-0.0110 torque=-0.0132 t_mos=25 t_rotor=25 latency_ms=1.150
1796818557.236361 vcan0 motor 1 -> mit q=0.4999 dq=-0.0073 kp=19.9023 kd=0.4994 tau=-0.0024
1796818557.237608 vcan0 motor 1 <- feedback error=1 (enabled) position=-0.0002 velocity=-0.0073 torque=-0.0024 t_mos=25 t_rotor=25 latency_ms=1.247
1796818557.573944 vcan0 motor 1 -> mit q=0.4999 dq=-0.0073 kp=19.9023 kd=0.4994 tau=-0.0024
1796818557.574992 vcan0 motor 1 <- feedback error=1 (enabled) position=0.4946 velocity=-0.0073 torque=0.0952 t_mos=25 t_rotor=25 latency_ms=1.048
1796818557.772575 vcan0 motor 1 -> vel velocity=2.5000
1796818557.961638 vcan0 motor 2 -> clear_error
1796818557.962848 vcan0 motor 2 <- feedback error=0 (disabled) position=-0.0002 velocity=-0.0110 torque=-0.0132 t_mos=25 t_rotor=25 latency_ms=1.210
1796818558.152889 vcan0 motor 1 -> disable
1796818558.153473 vcan0 motor 1 <- feedback error=0 (disabled) position=0.4946 velocity=-0.0073 torque=0.0952 t_mos=25 t_rotor=25 latency_ms=0.584
summary
  motor 1 (dm4310, master 0x11): commands 6, replies 5, missing 1, unmatched 0, malformed 0, latency p50 1.247 ms p99 3.617 ms, faults none
  motor 2 (dm8009, master 0x12): commands 2, replies 2, missing 0, unmatched 0, malformed 0, latency p50 1.150 ms p99 1.210 ms, faults 10 (over-current) x1
  unattributed frames 0, bad lines 0
"""


def installed(name):
    path = SCRIPTS / name
    if not path.is_file():
        pytest.fail(f"{name} is not installed in {SCRIPTS} beside the module")
    return str(path)


def run(*args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=60, **kwargs)


def test_decode_prints_a_recorded_session_exactly(tmp_path):
    log = tmp_path / "session.log"
    log.write_text(SESSION)
    result = run(installed("jointbus-decode"), "--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm8009", str(log))
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == DECODED


def test_decode_reads_standard_input_as_a_pipe_from_candump_gives_it():
    result = run(installed("jointbus-decode"), "--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm8009",
                 input=SESSION)
    assert (result.returncode, result.stdout) == (0, DECODED)


@pytest.mark.parametrize("arguments, status, first_line", [
    (["--help"], 0, "Usage: jointbus-sim INTERFACE --motor MOTOR [--motor MOTOR]... [OPTION]..."),
    (["vcan0"], 2, "jointbus-sim: no motor given: add --motor ID:MASTER:MODEL[:MODE][:SETTING]..."),
])
def test_sim_answers_on_the_command_line(arguments, status, first_line):
    result = run(installed("jointbus-sim"), *arguments)
    assert result.returncode == status
    assert (result.stdout or result.stderr).splitlines()[0] == first_line


def test_the_tools_are_the_ones_beside_this_interpreter():
    # What the suite runs is what this environment's pip installed, not a
    # build tree's copy that happens to be on PATH.
    assert pathlib.Path(installed("jointbus-sim")).parent == pathlib.Path(sys.executable).parent
