"""What `import jointbus` costs, from `python -X importtime`.

The interpreter's own count of each module's import time is much steadier
than the wall clock of a whole interpreter start (of which the import is a
fraction), and it says where the time goes: to the extension itself, or to
what it imports while it initialises. Each case runs in RUNS fresh
interpreters: jointbus imported first thing, and jointbus imported with
`logging` already there, as in most applications.

Usage: import_breakdown.py OUT.json [RUNS]
"""

import json
import statistics
import subprocess
import sys

WATCHED = ("jointbus", "logging")
CASES = {
    "import jointbus": "import jointbus",
    "import logging, then jointbus": "import logging; import jointbus",
}


def one_run(code):
    """{module: (self µs, cumulative µs)} for the watched modules."""
    done = subprocess.run([sys.executable, "-X", "importtime", "-c", code], capture_output=True, text=True,
                          check=True)
    found = {}
    for line in done.stderr.splitlines():
        # "import time:   self [us] |  cumulative | imported package"
        if not line.startswith("import time:"):
            continue
        fields = line[len("import time:"):].split("|")
        if len(fields) != 3 or not fields[0].strip().isdigit():
            continue
        name = fields[2].strip()
        if name in WATCHED:
            found[name] = (int(fields[0]), int(fields[1]))
    return found


def main():
    out = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    result = {}
    for label, code in CASES.items():
        samples = {name: [] for name in WATCHED}
        for _ in range(runs):
            found = one_run(code)
            if "jointbus" not in found:
                sys.exit(f"import_breakdown: -X importtime listed no jointbus for {code!r}")
            for name, (_, cumulative) in found.items():
                samples[name].append(cumulative / 1000)
        result[label] = {
            name: {"min_ms": min(values), "median_ms": statistics.median(values), "runs_ms": values}
            for name, values in samples.items() if values
        }
    with open(out, "w") as f:
        json.dump({"runs": runs, "cumulative": result}, f, indent=2)
        f.write("\n")


if __name__ == "__main__":
    main()
