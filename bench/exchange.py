"""Exchange benchmarks: one command, one reply, timed per client.

Runs where vcan0 exists (scripts/bench starts it through scripts/with-vcan),
with the echo motor (echo_motor.c) answering every command at once, so that
what is timed is the client's own cost plus the kernel's CAN path, which is
the same for every client.

Every client is run once per round, in an order rotated from round to round,
so that a slow stretch of the machine (an emulated guest drifts a lot) falls
on all of them alike; only ratios within one run mean anything. Each run
opens its own socket, warms up, then times a fixed number of ticks.

Every reply is checked against the frame the echo motor sends. A client that
gets a wrong reply, or none in time, is reported broken and the run exits
with status 1 after the other clients finished, so that a figure is never
shown for a client that did not really exchange.
"""

import argparse
import json
import os
import platform
import select
import socket
import statistics
import struct
import subprocess
import sys
import time
import timeit

import can
import jointbus

REPLY_BASE = 0x10


# The echo motor's feedback frame (bench/feedback.h has the same bytes).
def feedback(motor):
    return bytes([0x10 | motor, 0xA0, 0x00, 0x7F, 0xF9, 0x00, 0x28, 0x2D])


# DM4310 ranges, the limits every client encodes against.
P_MAX, V_MAX, KP_MAX, KD_MAX, T_MAX = 12.5, 30.0, 500.0, 5.0, 10.0
# What the feedback frame decodes to: status 1, raw fields 0xA000, 0x7FF,
# 0x900, temperatures 40 and 45.
EXPECTED_STATUS = 1
EXPECTED_POSITION = 0xA000 * (2 * P_MAX) / 65535 - P_MAX
EXPECTED_VELOCITY = 0x7FF * (2 * V_MAX) / 4095 - V_MAX
EXPECTED_TORQUE = 0x900 * (2 * T_MAX) / 4095 - T_MAX
EXPECTED_TEMPERATURES = (40, 45)
# jointbus decodes in single precision, the hand-written decoders in double.
TOLERANCE = 1e-4

# The setpoint every MIT client sends.
Q, DQ, KP, KD, TAU = 0.5, -1.25, 20.0, 0.8, 0.3


class Broken(Exception):
    """A client got a wrong reply, none in time, or failed otherwise."""


def check_state(motor, motor_id, status, position, velocity, torque, t_mos, t_rotor):
    if (
        motor_id != motor
        or status != EXPECTED_STATUS
        or abs(position - EXPECTED_POSITION) > TOLERANCE
        or abs(velocity - EXPECTED_VELOCITY) > TOLERANCE
        or abs(torque - EXPECTED_TORQUE) > TOLERANCE
        or (t_mos, t_rotor) != EXPECTED_TEMPERATURES
    ):
        raise Broken(
            f"wrong reply from motor {motor}: id {motor_id} status {status} position {position} "
            f"velocity {velocity} torque {torque} temperatures {t_mos} {t_rotor}"
        )


# --- what a user writes by hand ---------------------------------------------

def float_to_uint(value, low, high, bits):
    value = min(max(value, low), high)
    return int((value - low) * ((1 << bits) - 1) / (high - low))


def uint_to_float(raw, low, high, bits):
    return raw * (high - low) / ((1 << bits) - 1) + low


def encode_mit(q, dq, kp, kd, tau):
    q_raw = float_to_uint(q, -P_MAX, P_MAX, 16)
    dq_raw = float_to_uint(dq, -V_MAX, V_MAX, 12)
    kp_raw = float_to_uint(kp, 0.0, KP_MAX, 12)
    kd_raw = float_to_uint(kd, 0.0, KD_MAX, 12)
    tau_raw = float_to_uint(tau, -T_MAX, T_MAX, 12)
    return struct.pack(
        ">HBBBBBB",
        q_raw,
        dq_raw >> 4,
        ((dq_raw & 0xF) << 4) | (kp_raw >> 8),
        kp_raw & 0xFF,
        kd_raw >> 4,
        ((kd_raw & 0xF) << 4) | (tau_raw >> 8),
        tau_raw & 0xFF,
    )


FEEDBACK_FIELDS = struct.Struct(">BHBBBBB")


def decode_feedback(data):
    """(motor id, status, position, velocity, torque, t_mos, t_rotor)."""
    head, position_raw, b3, b4, b5, t_mos, t_rotor = FEEDBACK_FIELDS.unpack(data)
    velocity_raw = (b3 << 4) | (b4 >> 4)
    torque_raw = ((b4 & 0xF) << 8) | b5
    return (
        head & 0xF,
        head >> 4,
        uint_to_float(position_raw, -P_MAX, P_MAX, 16),
        uint_to_float(velocity_raw, -V_MAX, V_MAX, 12),
        uint_to_float(torque_raw, -T_MAX, T_MAX, 12),
        t_mos,
        t_rotor,
    )


# --- clients ------------------------------------------------------------------
#
# A client is an object with `name`, `group` ("single": one exchange per
# tick with motor 1; "tick": one exchange with each of motors 1, 2 and 3 per
# tick) and run(ticks, warmup) -> nanoseconds for the timed ticks.

def timed(tick, ticks, warmup):
    for _ in range(warmup):
        tick()
    start = time.perf_counter_ns()
    for _ in range(ticks):
        tick()
    return time.perf_counter_ns() - start


class CClient:
    """A compiled loop: c_clients (plain C) or cpp_clients (jointbus's C++ core)."""

    def __init__(self, name, group, mode, motors, options, program="c_clients"):
        self.name, self.group = name, group
        self.mode, self.motors, self.options, self.program = mode, motors, options, program

    def run(self, ticks, warmup):
        o = self.options
        command = [os.path.join(o.bin_dir, self.program), self.mode, o.iface, str(ticks), str(warmup),
                   str(self.motors), str(o.timeout_ms)]
        done = subprocess.run(command, capture_output=True, text=True, check=False)
        if done.returncode != 0:
            raise Broken(done.stderr.strip() or f"exit status {done.returncode}")
        nanoseconds, counted = done.stdout.split()
        if int(counted) != ticks:
            raise Broken(f"ran {counted} ticks, asked for {ticks}")
        return int(nanoseconds)


class StdlibClient:
    """socket.socket(AF_CAN, SOCK_RAW, CAN_RAW) with struct, as a user writes it."""

    name, group = "Python socket + struct", "single"
    frame = struct.Struct("=IB3x8s")

    def __init__(self, options):
        self.options = options

    def run(self, ticks, warmup):
        with socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as s:
            s.bind((self.options.iface,))
            s.settimeout(self.options.timeout_ms / 1000)
            frame = self.frame

            def tick():
                s.send(frame.pack(1, 8, encode_mit(Q, DQ, KP, KD, TAU)))
                while True:
                    try:
                        can_id, _, data = frame.unpack(s.recv(16))
                    except TimeoutError:
                        raise Broken("timed out") from None
                    if can_id == REPLY_BASE + 1:
                        break
                check_state(1, *decode_feedback(data))

            return timed(tick, ticks, warmup)


class PythonCanClient:
    name, group = "python-can", "single"

    def __init__(self, options):
        self.options = options

    def run(self, ticks, warmup):
        bus = can.Bus(interface="socketcan", channel=self.options.iface)
        timeout = self.options.timeout_ms / 1000
        try:
            def tick():
                bus.send(can.Message(arbitration_id=1, data=encode_mit(Q, DQ, KP, KD, TAU), is_extended_id=False))
                while True:
                    reply = bus.recv(timeout)
                    if reply is None:
                        raise Broken("timed out")
                    if reply.arbitration_id == REPLY_BASE + 1:
                        break
                check_state(1, *decode_feedback(reply.data))

            return timed(tick, ticks, warmup)
        finally:
            bus.shutdown()


def check_motor_state(motor, state):
    check_state(motor, state.motor_id, state.error, state.position, state.velocity, state.torque, state.t_mos,
                state.t_rotor)


def fields(state):
    return (state.motor_id, state.error, state.position, state.velocity, state.torque, state.t_mos, state.t_rotor)


def first_reply_fields(number, state):
    """The fields every later reply from this motor must equal.

    The first reply is checked against the expected values within TOLERANCE;
    the decode is exact and deterministic, so each later one is then checked
    by reading all seven fields and comparing them with these, as the C loops
    compare the reply's bytes with memcmp. The interpreter's share of a tick
    is then the driver's calls and the reads a controller makes, not the
    arithmetic of a tolerance check.
    """
    check_motor_state(number, state)
    return fields(state)


def changed_reply(number, state):
    check_motor_state(number, state)  # raises with the details when a value is off
    return Broken(f"motor {number}: reply {fields(state)} differs from the first one")


class JointbusClient:
    """jointbus in one of its shapes; `make_tick(bus, motors)` builds the tick."""

    def __init__(self, name, group, motors, make_tick, options):
        self.name, self.group = name, group
        self.motor_numbers, self.make_tick, self.options = motors, make_tick, options
        self.last_state = None

    def run(self, ticks, warmup):
        bus = jointbus.SocketCanTransport(self.options.iface)
        motors = [(n, jointbus.Damiao(n, REPLY_BASE + n, jointbus.MitLimits.dm4310(), timeout_ms=self.options.timeout_ms))
                  for n in self.motor_numbers]
        try:
            tick = self.make_tick(self, bus, motors)
            return timed(tick, ticks, warmup)
        except RuntimeError as error:
            raise Broken(str(error)) from None


def jointbus_mit_tick(client, bus, motors):
    (number, motor), = motors
    setpoint_type = jointbus.MitSetpoint
    expected = first_reply_fields(number, motor.mit_control(bus, setpoint_type(q=Q, dq=DQ, kp=KP, kd=KD, tau=TAU)))

    def tick():
        s = motor.mit_control(bus, setpoint_type(q=Q, dq=DQ, kp=KP, kd=KD, tau=TAU))
        if (s.motor_id, s.error, s.position, s.velocity, s.torque, s.t_mos, s.t_rotor) != expected:
            raise changed_reply(number, s)
        client.last_state = s

    return tick


def jointbus_control_tick(client, bus, motors):
    (number, motor), = motors
    control_setpoint = jointbus.ControlSetpoint
    expected = first_reply_fields(number, motor.control(bus, control_setpoint.vel(1.0)))

    def tick():
        s = motor.control(bus, control_setpoint.vel(1.0))
        if (s.motor_id, s.error, s.position, s.velocity, s.torque, s.t_mos, s.t_rotor) != expected:
            raise changed_reply(number, s)

    return tick


def jointbus_mit_in_turn_tick(client, bus, motors):
    setpoint_type = jointbus.MitSetpoint
    expected = [first_reply_fields(number, motor.mit_control(bus, setpoint_type(q=Q, dq=DQ, kp=KP, kd=KD, tau=TAU)))
                for number, motor in motors]
    checked = [(number, motor, fields) for (number, motor), fields in zip(motors, expected)]

    def tick():
        for number, motor, wanted in checked:
            s = motor.mit_control(bus, setpoint_type(q=Q, dq=DQ, kp=KP, kd=KD, tau=TAU))
            if (s.motor_id, s.error, s.position, s.velocity, s.torque, s.t_mos, s.t_rotor) != wanted:
                raise changed_reply(number, s)

    return tick


def jointbus_cycle_tick(client, bus, motors):
    setpoint_type = jointbus.MitSetpoint
    cycle = jointbus.cycle
    drivers = [motor for _, motor in motors]

    def commands():
        return [(motor, setpoint_type(q=Q, dq=DQ, kp=KP, kd=KD, tau=TAU)) for motor in drivers]

    expected = [first_reply_fields(number, state) for (number, _), state in zip(motors, cycle(bus, commands()))]
    checked = list(zip((number for number, _ in motors), expected))

    def tick():
        states = cycle(bus, [(motor, setpoint_type(q=Q, dq=DQ, kp=KP, kd=KD, tau=TAU)) for motor in drivers])
        for (number, wanted), s in zip(checked, states):
            if (s.motor_id, s.error, s.position, s.velocity, s.torque, s.t_mos, s.t_rotor) != wanted:
                raise changed_reply(number, s)

    return tick


def make_clients(options):
    three = (1, 2, 3)
    return [
        # One motor, one exchange per tick. "C like-for-like" and "C minimal"
        # are the references the ratios are taken against.
        CClient("C minimal", "single", "minimal", 1, options),
        CClient("C like-for-like", "single", "lfl", 1, options),
        StdlibClient(options),
        PythonCanClient(options),
        JointbusClient("jointbus mit_control", "single", (1,), jointbus_mit_tick, options),
        JointbusClient("jointbus control(vel)", "single", (1,), jointbus_control_tick, options),
        # The same driver from C++: what jointbus costs without the interpreter.
        CClient("jointbus C++ mit_control", "single", "mit", 1, options, program="cpp_clients"),
        # Three motors, one exchange with each per tick. The references are
        # the C loops doing the three exchanges in turn.
        CClient("C minimal, 3 in turn", "tick", "minimal", 3, options),
        CClient("C like-for-like, 3 in turn", "tick", "lfl", 3, options),
        CClient("C pipelined, 3 motors", "tick", "pipelined", 3, options),
        JointbusClient("jointbus 3 x mit_control", "tick", three, jointbus_mit_in_turn_tick, options),
        # Beside the pipelined C loop, the best a call for several motors can do.
        JointbusClient("jointbus cycle, 3 motors", "tick", three, jointbus_cycle_tick, options),
        CClient("jointbus C++ run_cycle, 3 motors", "tick", "cycle", 3, options, program="cpp_clients"),
    ]


REFERENCES = {
    "single": ("C like-for-like", "C minimal"),
    "tick": ("C like-for-like, 3 in turn", "C minimal, 3 in turn"),
}


# --- the echo motor -------------------------------------------------------------

class EchoMotor:
    def __init__(self, options):
        command = [os.path.join(options.bin_dir, "echo_motor"), options.iface]
        if options.echo_fault:
            command.append("--" + options.echo_fault)
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        ready, _, _ = select.select([self.process.stdout], [], [], 30)
        line = self.process.stdout.readline() if ready else ""
        if line.strip() != "ready":
            self.process.kill()
            raise SystemExit(f"exchange: the echo motor did not start ({line.strip() or 'no answer'})")

    def alive(self):
        return self.process.poll() is None

    def stop(self):
        if self.alive():
            self.process.terminate()
        out, _ = self.process.communicate(timeout=30)
        return out.strip()


# --- the run ----------------------------------------------------------------------

def machine_info(host_kernel):
    model = ""
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            model = next((line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name")), "")
    except OSError:
        pass
    kernel = platform.release()
    if host_kernel and kernel == host_kernel:
        where = "host kernel, network namespace"
    elif "TCG" in model:
        where = "QEMU guest, emulated (TCG)"
    else:
        where = "QEMU guest, hardware virtualisation"
    return {
        "nproc": os.cpu_count(),
        "kernel": kernel,
        "cpu": model,
        "where": where,
        "emulated": "TCG" in model,
        "python": sys.version.split()[0],
        "jointbus": jointbus.__version__,
        "python-can": can.__version__,
    }


def python_costs_here(client):
    """CPU-only costs, timed here in the same run as the exchanges, in ns.

    A MotorState can only come from an exchange, so the host's CPU-only
    benchmarks time MitSetpoint reads instead; the two reads timed side by
    side here tell whether that stand-in is fair. The setpoint construction
    and the reply checks are parts of every Python client's tick, so they
    say how much of a row is not the exchange at all."""
    state = client.last_state
    decoded = decode_feedback(feedback(1))
    number = 20_000
    subjects = {
        "x": state,
        "sp": jointbus.MitSetpoint(q=Q, dq=DQ, kp=KP, kd=KD, tau=TAU),
        "MitSetpoint": jointbus.MitSetpoint,
        "wanted": fields(state),
        "check_state": check_state,
        "decoded": decoded,
    }
    statements = {
        "MotorState.position read": "x.position",
        "MitSetpoint.q read": "sp.q",
        "MitSetpoint(q=..., dq=..., kp=..., kd=..., tau=...)": f"MitSetpoint(q={Q}, dq={DQ}, kp={KP}, kd={KD}, tau={TAU})",
        "reply check, jointbus (seven attribute reads, compared)": (
            "(x.motor_id, x.error, x.position, x.velocity, x.torque, x.t_mos, x.t_rotor) != wanted"),
        "reply check, hand-written decoders": "check_state(1, *decoded)",
    }
    costs = {}
    for label, statement in statements.items():
        times = timeit.repeat(statement, globals=subjects, number=number, repeat=5)
        costs[label] = min(times) / number * 1e9
    return costs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin-dir", required=True, help="where echo_motor and c_clients are")
    parser.add_argument("--out", required=True, help="JSON file to write")
    parser.add_argument("--iface", default="vcan0")
    parser.add_argument("--rounds", type=int, default=6)
    parser.add_argument("--count", type=int, default=1500, help="exchanges per client per round")
    parser.add_argument("--timeout-ms", type=int, default=1000,
                        help="reply time-out; generous, since a reply that misses it fails the run")
    parser.add_argument("--echo-fault", choices=("corrupt", "silent"),
                        help="make the echo motor misbehave, to see every client fail")
    parser.add_argument("--host-kernel", default="", help="the host's kernel release, to tell where this runs")
    options = parser.parse_args()
    if options.rounds < 1 or options.count < 3:
        parser.error("--rounds must be at least 1 and --count at least 3")

    clients = make_clients(options)
    # The same number of exchanges for every client: a three-motor tick is three.
    ticks = {"single": options.count, "tick": options.count // 3}
    warmup = {group: max(10, n // 20) for group, n in ticks.items()}
    if options.echo_fault == "silent":
        # Each warm-up exchange would wait out the time-out.
        options.timeout_ms = min(options.timeout_ms, 50)

    echo = EchoMotor(options)
    rows = {c.name: {"group": c.group, "per_round_us": [], "order": [], "error": None} for c in clients}
    started = time.monotonic()
    try:
        for r in range(options.rounds):
            shift = r % len(clients)
            order = clients[shift:] + clients[:shift]
            line = []
            for position, client in enumerate(order):
                row = rows[client.name]
                if row["error"]:
                    continue
                if not echo.alive():
                    row["error"] = "the echo motor died"
                    continue
                n = ticks[client.group]
                try:
                    nanoseconds = client.run(n, warmup[client.group])
                except Broken as error:
                    row["error"] = str(error)
                    print(f"exchange: BROKEN: {client.name}: {error}", file=sys.stderr, flush=True)
                    continue
                us = nanoseconds / n / 1000
                row["per_round_us"].append(us)
                row["order"].append(position)
                line.append(f"{client.name} {us:.1f}")
            print(f"exchange: round {r + 1}/{options.rounds} ({time.monotonic() - started:.0f} s): "
                  + ", ".join(line), file=sys.stderr, flush=True)
    finally:
        answered = echo.stop()

    mit_client = next(c for c in clients if c.name == "jointbus mit_control")
    cpu_costs = python_costs_here(mit_client) if mit_client.last_state is not None else None

    for row in rows.values():
        values = row["per_round_us"]
        row["best_us"] = min(values) if values else None
        row["median_us"] = statistics.median(values) if values else None
    for group, names in REFERENCES.items():
        lfl, minimal = (rows[name]["best_us"] for name in names)
        lfl_rounds = rows[names[0]]["per_round_us"]
        for row in rows.values():
            if row["group"] == group and row["best_us"] is not None:
                row["vs_like_for_like"] = row["best_us"] / lfl if lfl else None
                row["vs_minimal"] = row["best_us"] / minimal if minimal else None
                # Each round's figure over the reference's in the same round:
                # the two ran seconds apart, so slow drift of the machine cancels.
                paired = len(row["per_round_us"]) == len(lfl_rounds) == options.rounds
                row["vs_like_for_like_per_round_median"] = statistics.median(
                    v / ref for v, ref in zip(row["per_round_us"], lfl_rounds)) if paired else None

    result = {
        "machine": machine_info(options.host_kernel),
        "rounds": options.rounds,
        "exchanges_per_client_per_round": options.count,
        "ticks": ticks,
        "warmup_ticks": warmup,
        "timeout_ms": options.timeout_ms,
        "echo_fault": options.echo_fault,
        "echo": answered,
        "seconds": time.monotonic() - started,
        "references": REFERENCES,
        "clients": rows,
        "python_costs_here_ns": cpu_costs,
    }
    with open(options.out, "w") as out:
        json.dump(result, out, indent=2)
        out.write("\n")

    broken = [name for name, row in rows.items() if row["error"]]
    if broken:
        print("exchange: FAILED: broken clients: " + "; ".join(f"{n}: {rows[n]['error']}" for n in broken),
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
