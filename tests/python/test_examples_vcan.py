"""Every example and the demo, run as a user runs them, against jointbus-sim
on vcan0, so that none of them can rot."""

import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

pytestmark = pytest.mark.vcan

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


# The examples default to a 20 ms reply time-out, right for a real bus; in an
# emulated guest on a loaded machine a reply can take longer, and these tests
# are not about time-outs.
REPLY_TIMEOUT = ("--timeout-ms", "500")


def run_example(name, *arguments, timeout=180):
    result = subprocess.run([sys.executable, str(EXAMPLES / name), *arguments, *REPLY_TIMEOUT], capture_output=True,
                            text=True, timeout=timeout)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_one_motor(simulator):
    simulator("--motor", "1:0x11:dm4310")
    output = run_example("one_motor.py", "--iface", "vcan0", "--motor-id", "1", "--master-id", "0x11")
    assert output.startswith("enabled: MotorState(motor_id=1, error=1, ")
    assert "disabled: MotorState(motor_id=1, error=0, " in output


def test_several_motors(simulator):
    simulator("--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm8009:mit")
    output = run_example("several_motors.py", "--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm8009", "--target", "0.5")
    lines = output.splitlines()
    assert [line.split(":")[0] for line in lines] == ["Damiao(motor_id=0x1, master_id=0x11)",
                                                      "Damiao(motor_id=0x2, master_id=0x12)"]
    for line in lines:
        assert abs(float(line.split("position")[1].split()[0]) - 0.5) < 0.1, line


def test_control_modes(simulator):
    simulator("--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm4310:pos_vel", "--motor", "3:0x13:dm4310:vel",
              "--motor", "4:0x14:dm4310:force_pos")
    output = run_example("control_modes.py", "--mit", "1:0x11", "--pos-vel", "2:0x12", "--vel", "3:0x13",
                         "--force-pos", "4:0x14")
    positions = {int(line.split()[1]): float(line.split("position ")[1].split()[0]) for line in output.splitlines()}
    assert positions[1] > 0.2 and positions[2] < -0.2 and positions[3] > 0.3 and positions[4] > 0.3, output


def test_handling_errors(simulator):
    simulator("--motor", "1:0x11:dm4310:mit:fault=0xA")
    output = run_example("handling_errors.py", "--absent", "9:0x19", "--motor", "1:0x11")
    assert output.splitlines() == [
        "Damiao(motor_id=0x9, master_id=0x19) did not answer: transport error: timeout waiting for frame",
        "Damiao(motor_id=0x1, master_id=0x11) reports fault 0xa (over-current); clearing it",
        "Damiao(motor_id=0x1, master_id=0x11) status 0x0",
    ]


MOTORS = ["--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm6006", "--motor", "3:0x13:dm8009"]


def test_demo_tracks_and_reports(simulator, tmp_path):
    simulator(*MOTORS)
    plot = tmp_path / "tracking.png"
    output = run_example("demo.py", *MOTORS, "--seconds", "1.5", "--plot", str(plot))
    assert "motor            rms err   max err  commands  timeouts   p50 ms   p99 ms" in output
    table = [line.split() for line in output.splitlines() if line.startswith("dm")]
    assert [row[0] for row in table[-3:]] == ["dm4310", "dm6006", "dm8009"]
    for row in table[-3:]:
        rms, commands, timeouts = float(row[2]), int(row[4]), int(row[5])
        assert rms < 0.1 and commands > 100 and timeouts == 0, row
    assert "loop rate achieved:" in output
    assert plot.read_bytes().startswith(b"\x89PNG")


# With every reply 200 ms late the demo spends nearly all its time waiting in
# a cycle, so Ctrl-C lands there: the wait ends with an interrupted-call
# error, and every motor must still be disabled.
@pytest.mark.parametrize("reply_delay", [[], ["--delay", "200"]], ids=["anywhere", "during-a-wait"])
def test_demo_stops_cleanly_on_ctrl_c(simulator, tmp_path, reply_delay):
    simulator(*MOTORS, *reply_delay)
    process = subprocess.Popen([sys.executable, str(EXAMPLES / "demo.py"), *MOTORS, *REPLY_TIMEOUT, "--seconds", "60",
                                "--plot", str(tmp_path / "p.png")], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
    line = ""
    while "tracking for" not in line:
        line = process.stdout.readline()
        assert line, process.stderr.read()
    time.sleep(1.0)
    process.send_signal(signal.SIGINT)
    output, errors = process.communicate(timeout=120)
    assert process.returncode == 0, errors
    assert "interrupted: disabling every motor" in output
    assert "disable failed" not in errors
    assert "loop rate achieved:" in output


def test_cpp_example_built_against_the_installed_package(simulator):
    path = os.environ.get("JOINTBUS_CPP_EXAMPLE")
    assert path, "JOINTBUS_CPP_EXAMPLE must name the C++ example built against the installed package"
    simulator("--motor", "1:0x11:dm4310")
    result = subprocess.run([path, "vcan0", "1", "0x11", REPLY_TIMEOUT[1]], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert abs(float(result.stdout.split()[1]) - 0.5) < 0.05, result.stdout
    assert result.stdout.rstrip().endswith("status 1")


def test_cpp_cycle_example_built_against_the_installed_package(simulator):
    path = os.environ.get("JOINTBUS_CPP_CYCLE_EXAMPLE")
    assert path, "JOINTBUS_CPP_CYCLE_EXAMPLE must name the C++ cycle example built against the installed package"
    simulator("--motor", "1:0x11:dm4310", "--motor", "3:0x13:dm4310")
    result = subprocess.run([path, "vcan0", *REPLY_TIMEOUT, "1:0x11", "3:0x13"], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert [line.split(":")[0] for line in lines] == ["1", "3"], result.stdout
    for line in lines:
        assert abs(float(line.split("position ")[1].split()[0]) - 0.5) < 0.05, line
