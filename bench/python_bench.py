"""CPU-only costs of the Python module, with pyperf (no bus involved).

Run as pyperf runs any benchmark script: `python bench/python_bench.py -o
out.json` (add --fast for a quick pass). Each value type is timed next to
what a user would write instead, a plain __slots__ class, so that the
figures say what the extension's argument handling costs over Python's own.

MotorState has no constructor (only an exchange makes one), so its
attribute reads are stood in for by MitSetpoint's: both go through the same
getter. The exchange benchmark times one read of each on a real MotorState
in the guest, which checks that the stand-in holds.
"""

import pyperf


class PlainSetpoint:
    """The pure-Python alternative: five fields, keyword construction."""

    __slots__ = ("q", "dq", "kp", "kd", "tau")

    def __init__(self, q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0):
        self.q = q
        self.dq = dq
        self.kp = kp
        self.kd = kd
        self.tau = tau


SETUP = "; ".join([
    "import jointbus",
    "from __main__ import PlainSetpoint",
    "MitSetpoint = jointbus.MitSetpoint",
    "sp = MitSetpoint(q=0.5, dq=-1.25, kp=20.0, kd=0.8, tau=0.3)",
    "plain = PlainSetpoint(q=0.5, dq=-1.25, kp=20.0, kd=0.8, tau=0.3)",
])


def main():
    runner = pyperf.Runner()
    runner.metadata["description"] = __doc__.splitlines()[0]

    runner.timeit("MitSetpoint(q=..., dq=..., kp=..., kd=..., tau=...)",
                  "MitSetpoint(q=0.5, dq=-1.25, kp=20.0, kd=0.8, tau=0.3)", setup=SETUP)
    runner.timeit("MitSetpoint(q, dq, kp, kd, tau) by position",
                  "MitSetpoint(0.5, -1.25, 20.0, 0.8, 0.3)", setup=SETUP)
    runner.timeit("PlainSetpoint(q=..., ...) (pure Python, __slots__)",
                  "PlainSetpoint(q=0.5, dq=-1.25, kp=20.0, kd=0.8, tau=0.3)", setup=SETUP)
    runner.timeit("MitSetpoint attribute read (stands in for MotorState)", "sp.q", setup=SETUP)
    runner.timeit("PlainSetpoint attribute read (pure Python, __slots__)", "plain.q", setup=SETUP)
    runner.timeit("repr(MitSetpoint(...))", "repr(sp)", setup=SETUP)

    # Import times are measured by bench/import_breakdown.py with -X importtime:
    # the interpreter's own count per module is far steadier than the wall
    # clock of a whole interpreter start, of which the import is a fraction.


if __name__ == "__main__":
    main()
