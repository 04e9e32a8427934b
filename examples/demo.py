"""Three joints tracking smooth trajectories in a fixed-rate MIT control loop.

Run it against real motors or against jointbus-sim:

    python examples/demo.py --iface vcan0 --motor 1:0x11:dm4310 --motor 2:0x12:dm6006 --motor 3:0x13:dm8009

Every joint is switched to MIT mode and enabled, then follows its own
sinusoid for a few seconds at the requested rate (1 kHz by default; if the
machine cannot keep up, the loop runs as fast as it can and says so). Ctrl-C
stops it early; every motor is disabled on the way out, whatever happened.
At the end it prints a table per motor and writes a plot of target against
measured position.
"""

import argparse
import math
import signal
import statistics
import sys
import time
from dataclasses import dataclass, field

import jointbus


@dataclass
class Joint:
    name: str
    motor: jointbus.Damiao
    amplitude: float  # rad
    frequency: float  # Hz
    kp: float
    kd: float
    times: list = field(default_factory=list)
    targets: list = field(default_factory=list)
    measured: list = field(default_factory=list)
    exchange_ms: list = field(default_factory=list)
    commands: int = 0
    timeouts: int = 0

    def target(self, t):
        """Position and velocity of a sinusoid eased in over the first second."""
        ease = min(t, 1.0)
        ease = ease * ease * (3 - 2 * ease)
        omega = 2 * math.pi * self.frequency
        return ease * self.amplitude * math.sin(omega * t), ease * self.amplitude * omega * math.cos(omega * t)


def parse_motor(text):
    motor_id, master_id, model = text.split(":")
    return int(motor_id, 0), int(master_id, 0), model


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--iface", default="vcan0")
    parser.add_argument("--motor", action="append", type=parse_motor, required=True,
                        help="MOTOR_ID:MASTER_ID:MODEL, for example 1:0x11:dm4310 (repeat per motor)")
    parser.add_argument("--rate", type=float, default=1000.0, help="loop rate to aim for, Hz")
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--timeout-ms", type=int, default=20, help="reply time-out per command")
    parser.add_argument("--plot", default="demo-tracking.png")
    return parser.parse_args()


def make_joints(motors, timeout_ms):
    joints = []
    for index, (motor_id, master_id, model) in enumerate(motors):
        limits = getattr(jointbus.MitLimits, model)()
        joints.append(Joint(name=f"{model} #{motor_id}", motor=jointbus.Damiao(motor_id, master_id, limits, timeout_ms),
                            amplitude=0.6 + 0.3 * index, frequency=0.5 + 0.25 * index,
                            kp=min(60.0, limits.kp_max), kd=min(2.0, limits.kd_max)))
    return joints


class StopRequest:
    """Ctrl-C asks the loop to stop, and the loop then disables every motor.

    Python's own handler raises KeyboardInterrupt wherever the program happens
    to be. A Ctrl-C during a command's wait first ends that wait (the command
    fails with an interrupted-call error), and the KeyboardInterrupt then lands
    in whatever runs next, which may be the clean-up, leaving motors enabled.
    This handler only records the request, so the clean-up always runs whole.
    """

    def __init__(self):
        self.requested = False

    def __call__(self, signum, frame):
        self.requested = True

    def install(self):
        signal.signal(signal.SIGINT, self)


def interrupted_wait(error):
    """Whether a command failed because a signal ended its wait (EINTR)."""
    return str(error).endswith("(os error 4)")


def tick(joints, bus, t):
    """One control tick: every joint's setpoint goes out in one cycle, then
    every reply is collected. A joint whose reply did not come in time has
    the error in its place; the others still get their states."""
    setpoints = []
    for joint in joints:
        q, dq = joint.target(t)
        joint.commands += 1
        setpoints.append((joint.motor, jointbus.MitSetpoint(q=q, dq=dq, kp=joint.kp, kd=joint.kd)))
    start = time.perf_counter()
    outcomes = jointbus.cycle(bus, setpoints)
    elapsed_ms = (time.perf_counter() - start) * 1000.0
    for joint, (_, setpoint), outcome in zip(joints, setpoints, outcomes):
        if isinstance(outcome, RuntimeError):
            if "timeout" not in str(outcome):
                raise outcome
            joint.timeouts += 1
            continue
        joint.exchange_ms.append(elapsed_ms)
        joint.times.append(t)
        joint.targets.append(setpoint.q)
        joint.measured.append(outcome.position)


def run_loop(joints, bus, rate, seconds, stop):
    """Fixed-rate loop: one cycle over every joint per tick. A late tick is not
    made up for; the achieved rate is what gets reported, Ctrl-C included."""
    period = 1.0 / rate
    start = time.perf_counter()
    next_tick = start
    next_status = start + 0.5
    ticks = 0
    while not stop.requested and (now := time.perf_counter()) - start < seconds:
        if now < next_tick:
            # Sleep most of the wait, spin the last fraction: sleeps overshoot.
            if next_tick - now > 0.0003:
                time.sleep(next_tick - now - 0.0002)
            continue
        try:
            tick(joints, bus, now - start)
        except RuntimeError as error:
            if not interrupted_wait(error):
                raise
            stop.requested = True
            break
        ticks += 1
        next_tick = max(next_tick + period, now)
        if now >= next_status:
            print_status(joints, now - start, ticks)
            next_status += 0.5
    return ticks / (time.perf_counter() - start)


def print_status(joints, t, ticks):
    errors = " ".join(f"{j.name}: {abs(j.targets[-1] - j.measured[-1]) if j.measured else math.nan:6.3f}"
                      for j in joints)
    print(f"  t={t:4.1f}s  {ticks / t:7.1f} Hz  |error| rad  {errors}", flush=True)


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))] if ordered else float("nan")


def report(joints, achieved, rate):
    print()
    print("one jointbus.cycle per tick: every joint's command goes out at once, then every reply is collected;")
    print("p50/p99 are the time of the whole cycle")
    print(f"{'motor':<14}{'rms err':>10}{'max err':>10}{'commands':>10}{'timeouts':>10}{'p50 ms':>9}{'p99 ms':>9}")
    for joint in joints:
        errors = [abs(a - b) for a, b in zip(joint.targets, joint.measured)]
        rms = math.sqrt(statistics.fmean(e * e for e in errors)) if errors else float("nan")
        print(f"{joint.name:<14}{rms:>10.4f}{max(errors, default=float('nan')):>10.4f}{joint.commands:>10}"
              f"{joint.timeouts:>10}{percentile(joint.exchange_ms, 0.5):>9.3f}{percentile(joint.exchange_ms, 0.99):>9.3f}")
    note = "" if achieved >= 0.95 * rate else f" (aimed for {rate:.0f} Hz: this machine sustains less)"
    print(f"\nloop rate achieved: {achieved:.1f} Hz{note}")


def plot(joints, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(len(joints), 1, sharex=True, figsize=(9, 2.6 * len(joints)), squeeze=False)
    for axis, joint in zip(axes[:, 0], joints):
        axis.plot(joint.times, joint.targets, label="target", linewidth=1.5)
        axis.plot(joint.times, joint.measured, label="measured", linewidth=1.0, linestyle="--")
        axis.set_ylabel(f"{joint.name}\nposition (rad)")
        axis.grid(True, alpha=0.3)
        axis.legend(loc="upper right")
    axes[-1, 0].set_xlabel("time (s)")
    figure.suptitle("jointbus demo: MIT position tracking")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    print(f"plot written to {path}")


def main():
    options = parse_arguments()
    bus = jointbus.SocketCanTransport(options.iface)
    joints = make_joints(options.motor, options.timeout_ms)
    achieved = 0.0
    stop = StopRequest()
    stop.install()
    try:
        for joint in joints:
            if stop.requested:
                break
            joint.motor.ensure_mit_mode(bus)
            state = joint.motor.enable(bus)
            print(f"{joint.name}: MIT mode, enabled, at {state.position:+.3f} rad")
        else:
            print(f"tracking for {options.seconds:.1f} s at up to {options.rate:.0f} Hz; status every 0.5 s")
            achieved = run_loop(joints, bus, options.rate, options.seconds, stop)
    except RuntimeError as error:
        if not interrupted_wait(error):
            raise
        stop.requested = True
    finally:
        if stop.requested:
            print("\ninterrupted: disabling every motor")
        for joint in joints:
            try:
                joint.motor.disable(bus)
            except RuntimeError as error:
                print(f"{joint.name}: disable failed: {error}", file=sys.stderr)
        signal.signal(signal.SIGINT, signal.default_int_handler)
    if any(joint.measured for joint in joints):
        report(joints, achieved, options.rate)
        plot(joints, options.plot)


if __name__ == "__main__":
    main()
