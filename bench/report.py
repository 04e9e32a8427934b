"""Gathers what scripts/bench measured into one table (stdout), results.md
and results.json.

Usage: report.py DIR [--quick] [--wall NAME=SECONDS ...]

DIR holds exchange.json (bench/exchange.py), codec.json (Google Benchmark),
pyperf.json (bench/python_bench.py) and imports.json
(bench/import_breakdown.py); any of them may be missing when its step
failed, and the report says so instead of leaving it out silently.
"""

import argparse
import datetime
import json
import os
import platform
import statistics
import sys

import pyperf


def load_json(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def fmt(value, digits=1):
    return "—" if value is None else f"{value:.{digits}f}"


def ratio(value):
    return "—" if value is None else f"{value:.2f}×"


# --- exchange ---------------------------------------------------------------

SECTIONS = {
    "single": "One motor, per exchange",
    "tick": "Three motors, per tick (one exchange with each)",
}


def exchange_rows(exchange):
    """(section, [(name, row)]) in the order the clients were declared."""
    by_group = {}
    for name, row in exchange["clients"].items():
        by_group.setdefault(row["group"], []).append((name, row))
    return [(group, by_group.get(group, [])) for group in SECTIONS]


def cycle_comparison(exchange):
    """The cycle against the pipelined C loop and against three single
    exchanges in turn, best against best and paired round by round; None
    while any of the three is missing or broken."""
    clients = exchange["clients"]
    names = ("jointbus cycle, 3 motors", "C pipelined, 3 motors", "jointbus 3 x mit_control")
    rows = [clients.get(name) for name in names]
    if any(row is None or row["error"] for row in rows):
        return None
    cycle, pipelined, in_turn = rows

    def paired(a, b):
        pairs = list(zip(a["per_round_us"], b["per_round_us"]))
        return statistics.median(x / y for x, y in pairs) if pairs else None

    comparison = {
        "vs_pipelined_best": cycle["best_us"] / pipelined["best_us"],
        "vs_pipelined_paired": paired(cycle, pipelined),
        "speedup_over_in_turn_best": in_turn["best_us"] / cycle["best_us"],
        "speedup_over_in_turn_paired": paired(in_turn, cycle),
    }
    core = clients.get("jointbus C++ run_cycle, 3 motors")
    if core is not None and not core["error"]:
        comparison["core_vs_pipelined_best"] = core["best_us"] / pipelined["best_us"]
        comparison["core_vs_pipelined_paired"] = paired(core, pipelined)
    return comparison


def cycle_lines(exchange):
    comparison = cycle_comparison(exchange)
    if comparison is None:
        return []
    lines = [f"jointbus cycle against the pipelined C loop: {ratio(comparison['vs_pipelined_best'])} best against best, "
             f"{ratio(comparison['vs_pipelined_paired'])} paired; faster than 3 x mit_control by "
             f"{ratio(comparison['speedup_over_in_turn_best'])} best against best, "
             f"{ratio(comparison['speedup_over_in_turn_paired'])} paired."]
    if "core_vs_pipelined_best" in comparison:
        lines.append(f"The same cycle from C++ (run_cycle) against the pipelined C loop: "
                     f"{ratio(comparison['core_vs_pipelined_best'])} best against best, "
                     f"{ratio(comparison['core_vs_pipelined_paired'])} paired.")
    return lines


def exchange_text(exchange):
    m = exchange["machine"]
    lines = [
        f"Exchanges on vcan0 ({m['where']}, {m['nproc']} CPU, kernel {m['kernel']}): "
        f"{exchange['rounds']} rounds x {exchange['exchanges_per_client_per_round']} exchanges per client, "
        "µs per exchange or per tick",
    ]
    width = max(len(name) for name in exchange["clients"]) + 2
    head = f"{'':{width}}{'best µs':>10}{'median µs':>11}{'vs C lfl':>10}{'vs C min':>10}{'per round':>11}"
    for group, rows in exchange_rows(exchange):
        lfl, minimal = exchange["references"][group]
        lines += ["", f"{SECTIONS[group]} (ratios: best against best of '{lfl}' and of '{minimal}')", head]
        for name, row in rows:
            if row["error"]:
                lines.append(f"{name:{width}}BROKEN: {row['error']}")
                continue
            lines.append(f"{name:{width}}{fmt(row['best_us']):>10}{fmt(row['median_us']):>11}"
                         f"{ratio(row.get('vs_like_for_like')):>10}{ratio(row.get('vs_minimal')):>10}"
                         f"{ratio(row.get('vs_like_for_like_per_round_median')):>11}")
    lines += ["", "vs C lfl, vs C min: best against best. per round: the median over the rounds of each round's "
              "figure against C like-for-like's in the same round (steadier when the machine drifts)."]
    lines += [""] + cycle_lines(exchange) if cycle_lines(exchange) else []
    costs = exchange.get("python_costs_here_ns")
    if costs:
        lines += ["", "Timed in the same place, CPU only (µs): "
                  + ", ".join(f"{label} {ns / 1000:.1f}" for label, ns in costs.items())]
    return lines


def exchange_markdown(exchange):
    m = exchange["machine"]
    out = [
        "## Exchanges",
        "",
        f"{exchange['rounds']} interleaved rounds, {exchange['exchanges_per_client_per_round']} exchanges per client "
        f"per round, on vcan0 in: {m['where']}, {m['nproc']} CPU, kernel {m['kernel']}, {m['cpu']}. "
        "The echo motor answers every command at once; best and median are over the rounds. "
        "Only the ratios mean much: an emulated guest runs everything 10–20 times slower than the host, "
        "and drifts by a third between identical rounds.",
    ]
    for group, rows in exchange_rows(exchange):
        lfl, minimal = exchange["references"][group]
        unit = "µs per exchange" if group == "single" else "µs per tick"
        out += ["", f"### {SECTIONS[group]}", "",
                f"Ratios are best against best of *{lfl}* and of *{minimal}*; *paired* is the median over the "
                f"rounds of each round's figure against *{lfl}*'s in the same round, which slow drift of the "
                "machine does not move.", "",
                f"| client | best ({unit}) | median | vs C like-for-like | vs C minimal | paired vs C like-for-like "
                "| per round |",
                "|---|---:|---:|---:|---:|---:|---|"]
        for name, row in rows:
            if row["error"]:
                out.append(f"| {name} | **broken**: {row['error']} | | | | | |")
                continue
            rounds = ", ".join(f"{v:.0f}" for v in row["per_round_us"])
            out.append(f"| {name} | {fmt(row['best_us'])} | {fmt(row['median_us'])} | "
                       f"{ratio(row.get('vs_like_for_like'))} | {ratio(row.get('vs_minimal'))} | "
                       f"{ratio(row.get('vs_like_for_like_per_round_median'))} | {rounds} |")
    out += [""] + cycle_lines(exchange) if cycle_lines(exchange) else []
    costs = exchange.get("python_costs_here_ns")
    if costs:
        out += ["", "CPU-only costs timed in the same place and run (ns): parts of the Python rows above that "
                "are not the exchange itself. MotorState and MitSetpoint reads side by side tell whether the "
                "host's MitSetpoint read below stands for MotorState's.", "",
                "| operation | ns |", "|---|---:|"]
        out += [f"| {label} | {ns:.0f} |" for label, ns in costs.items()]
    return out


# --- codec (Google Benchmark) ---------------------------------------------------

def codec_rows(codec):
    """[(name, cpu ns, repetitions)]: the median when repeated, else the one run."""
    rows, seen = [], {}
    for b in codec.get("benchmarks", []):
        name = b.get("run_name", b["name"])
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                seen[name] = (b["cpu_time"], b.get("repetitions", 1))
        elif name not in seen:
            seen[name] = (b["cpu_time"], 1)
        if name not in rows:
            rows.append(name)
    return [(name, *seen[name]) for name in rows if name in seen]


# --- Python (pyperf) --------------------------------------------------------------

def pyperf_rows(path):
    try:
        suite = pyperf.BenchmarkSuite.load(path)
    except (OSError, ValueError):
        return None
    rows = []
    for b in suite.get_benchmarks():
        values = b.get_values()
        rows.append({
            "name": b.get_name(),
            "median_s": b.median(),
            "mean_s": b.mean(),
            "stdev_s": b.stdev() if len(values) > 1 else None,
            "min_s": min(values),
            "values": len(values),
            "processes": b.get_nrun(),
        })
    return rows


def python_value(seconds):
    return f"{seconds * 1e9:.0f} ns" if seconds < 1e-3 else f"{seconds * 1e3:.1f} ms"


# --- all together -------------------------------------------------------------------

def host_info():
    model = ""
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            model = next((line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name")), "")
    except OSError:
        pass
    return {"nproc": os.cpu_count(), "kernel": platform.release(), "cpu": model,
            "python": sys.version.split()[0], "pyperf": pyperf.__version__}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dir")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--wall", action="append", default=[], help="NAME=SECONDS, a phase's wall time")
    parser.add_argument("--only", choices=("exchange", "cpu"), help="what this run was limited to")
    options = parser.parse_args()
    d = options.dir

    exchange = load_json(os.path.join(d, "exchange.json"))
    codec = load_json(os.path.join(d, "codec.json"))
    python_rows = pyperf_rows(os.path.join(d, "pyperf.json"))
    imports = load_json(os.path.join(d, "imports.json"))
    walls = {}
    for item in options.wall:
        name, _, seconds = item.partition("=")
        walls[name] = float(seconds)
    failed = "not measured (its step failed; see above)"
    skipped = "not run (--only)"
    missing_exchange = skipped if options.only == "cpu" else failed
    missing = skipped if options.only == "exchange" else failed

    text, md = [], ["# jointbus benchmarks", "",
                    f"{'Quick run (CI): few exchanges, pyperf fast mode; figures are rough.' if options.quick else 'Full run.'} "
                    f"Generated {datetime.datetime.now().isoformat(timespec='seconds')} by scripts/bench.", ""]

    if exchange:
        text += exchange_text(exchange)
        md += exchange_markdown(exchange)
    else:
        text.append(f"Exchanges: {missing_exchange}")
        md += ["## Exchanges", "", missing_exchange]

    host = host_info()
    md += ["", "## CPU only, on the host", "",
           f"{host['nproc']} CPUs, kernel {host['kernel']}, {host['cpu']}, Python {host['python']}.", ""]
    text.append("")
    codec_table = codec_rows(codec) if codec else None
    if codec_table:
        text.append("Codec, C++ (Google Benchmark, CPU ns per call)")
        md += ["### Codec, C++ (Google Benchmark)", "",
               "CPU time per call (median of the repetitions).", "", "| operation | ns |", "|---|---:|"]
        for name, ns, _ in codec_table:
            text.append(f"  {name:34}{ns:>8.1f}")
            md.append(f"| {name} | {ns:.1f} |")
    else:
        text.append(f"Codec: {missing}")
        md += ["### Codec, C++", "", missing]

    text.append("")
    md.append("")
    if python_rows:
        text.append("Python module (pyperf, median)")
        md += ["### Python module (pyperf)", "", "| benchmark | median | mean ± stdev | values |", "|---|---:|---:|---:|"]
        for r in python_rows:
            text.append(f"  {r['name']:56}{python_value(r['median_s']):>10}")
            spread = f" ± {python_value(r['stdev_s'])}" if r["stdev_s"] is not None else ""
            md.append(f"| {r['name']} | {python_value(r['median_s'])} | {python_value(r['mean_s'])}{spread} | "
                      f"{r['values']} |")
    else:
        text.append(f"Python module: {missing}")
        md += ["### Python module", "", missing]

    text.append("")
    if imports:
        md += ["", f"### Import time (`python -X importtime`, {imports['runs']} fresh interpreters per case)", "",
               "Cumulative time of the `jointbus` import, and of the `logging` import it triggers when "
               "nothing imported logging before.", "",
               "| case | jointbus, best | jointbus, median | of which logging, median |", "|---|---:|---:|---:|"]
        text.append(f"Import time (python -X importtime, cumulative ms, {imports['runs']} fresh interpreters)")
        for case, found in imports["cumulative"].items():
            jb = found["jointbus"]
            # logging is part of jointbus's import only when jointbus imported it.
            inside = found.get("logging") if case == "import jointbus" else None
            share = f"{inside['median_ms']:.1f}" if inside else "—"
            md.append(f"| {case} | {jb['min_ms']:.1f} ms | {jb['median_ms']:.1f} ms | {share} |")
            text.append(f"  {case:34}best {jb['min_ms']:6.1f}  median {jb['median_ms']:6.1f}"
                        + (f"  (logging: {share} of it)" if inside else ""))
    else:
        text.append(f"Import time: {missing}")
        md += ["", "### Import time", "", missing]

    if walls:
        md += ["", "## Wall time of this run", ""] + [f"- {k}: {v:.0f} s" for k, v in walls.items()]

    print("\n".join(text))
    with open(os.path.join(d, "results.md"), "w") as f:
        f.write("\n".join(md) + "\n")
    result = {
        "generated": datetime.datetime.now().isoformat(timespec="seconds"),
        "quick": options.quick,
        "wall_seconds": walls,
        "host": host,
        "exchange": exchange,
        "codec_cpu_ns": [{"name": n, "cpu_ns": ns, "repetitions": reps} for n, ns, reps in codec_table or []],
        "python": python_rows,
        "import_time": imports,
    }
    with open(os.path.join(d, "results.json"), "w") as f:
        json.dump(result, f, indent=2)
        f.write("\n")


if __name__ == "__main__":
    main()
