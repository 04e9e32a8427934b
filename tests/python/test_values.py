"""MitLimits, MitSetpoint, ControlSetpoint and mit_setpoint: single-precision
storage, presets, reprs, identity semantics. Needs no CAN interface."""

import math
import random
import struct
import sys

import pytest

import jointbus
from jointbus import ControlSetpoint, MitLimits, MitSetpoint


def f32(value):
    """The single-precision value the module must store, by an independent route."""
    try:
        return struct.unpack("<f", struct.pack("<f", value))[0]
    except OverflowError:
        return math.copysign(math.inf, value)


def f32_bits(value):
    return struct.unpack("<I", struct.pack("<f", value))[0]


PRESETS = {
    "dm3507": (12.566, 50.0, 500.0, 5.0, 5.0),
    "dm4310": (12.5, 30.0, 500.0, 5.0, 10.0),
    "dm4310p": (12.5, 50.0, 500.0, 5.0, 10.0),
    "dm4340": (12.5, 10.0, 500.0, 5.0, 28.0),
    "dm4340p": (12.5, 10.0, 500.0, 5.0, 28.0),
    "dm6006": (12.5, 45.0, 500.0, 5.0, 20.0),
    "dm6248p": (12.566, 20.0, 500.0, 5.0, 120.0),
    "dm8006": (12.5, 45.0, 500.0, 5.0, 40.0),
    "dm8009": (12.5, 45.0, 500.0, 5.0, 54.0),
    "dm10010": (12.5, 20.0, 500.0, 5.0, 200.0),
    "dm10010l": (12.5, 25.0, 500.0, 5.0, 200.0),
    "dmg6215": (12.5, 45.0, 500.0, 5.0, 10.0),
    "dmh3510": (12.5, 280.0, 500.0, 5.0, 1.0),
    "dmh6220": (12.5, 45.0, 500.0, 5.0, 10.0),
    "dmjh11": (12.5, 10.0, 500.0, 5.0, 12.0),
}
LIMIT_FIELDS = ("p_max", "v_max", "kp_max", "kd_max", "t_max")


def fields(obj, names):
    return tuple(getattr(obj, name) for name in names)


@pytest.mark.parametrize("name", PRESETS)
def test_presets_are_bit_exact(name):
    preset = getattr(MitLimits, name)
    limits = preset()
    assert [f32_bits(v) for v in fields(limits, LIMIT_FIELDS)] == [f32_bits(v) for v in PRESETS[name]]
    assert preset() is not limits
    assert fields(getattr(limits, name)(), LIMIT_FIELDS) == fields(limits, LIMIT_FIELDS)  # callable on an instance


def test_preset_extras():
    assert f32_bits(MitLimits.dm3507().p_max) == 0x41490E56
    assert fields(MitLimits(), LIMIT_FIELDS) == fields(MitLimits.dm4310(), LIMIT_FIELDS)
    with pytest.raises(TypeError):
        MitLimits.dm4310(1)
    assert list(name for name in vars(MitLimits) if name.startswith("dm")) == list(PRESETS)


def test_floats_are_narrowed_to_single_precision():
    assert MitSetpoint(q=0.1).q == 0.10000000149011612
    rng = random.Random(7)
    samples = [rng.uniform(-1e6, 1e6) for _ in range(2000)] + [rng.uniform(-1, 1) * 10.0 ** rng.randint(-45, 38) for _ in range(2000)]
    edges = [3.4028234663852886e38, 3.4028235677973362e38, 3.4028235677973366e38, 1e40, -1e40, 1e-46, -1e-46, 7e-46, 0.0, -0.0]
    for value in samples + edges:
        stored = MitSetpoint(q=value).q
        expected = f32(value)
        assert stored == expected and math.copysign(1, stored) == math.copysign(1, expected), value
    assert math.isnan(MitSetpoint(q=math.nan).q)
    assert MitLimits(p_max=1e40).p_max == math.inf


def test_positional_and_keyword_build_the_same_values():
    names = ("q", "dq", "kp", "kd", "tau")
    expected = (1.0, 2.0, 3.0, 4.0, 5.0)
    builds = [
        MitSetpoint(1, 2, 3, 4, 5),
        MitSetpoint(tau=5, kd=4, kp=3, dq=2, q=1),
        jointbus.mit_setpoint(1, 2, 3, 4, 5),
        jointbus.mit_setpoint(kd=4, q=1, tau=5, dq=2, kp=3),
        jointbus.mit_setpoint(1, 2, tau=5, kd=4, kp=3),
        MitSetpoint(1, 2, kp=3, kd=4, tau=5),
        MitSetpoint(q=1, dq=2, kd=4, kp=3, tau=5),
        MitSetpoint.__new__(MitSetpoint, 1, kd=4, tau=5, kp=3, dq=2),
        MitSetpoint.__new__(MitSetpoint, 1, 2, kp=3, kd=4, tau=5),
    ]
    for built in builds:
        assert type(built) is MitSetpoint
        assert fields(built, names) == expected


def test_identity_equality():
    a, b = MitSetpoint(1), MitSetpoint(1)
    assert a != b and a == a
    assert hash(a) != hash(b) or a is b
    assert MitLimits() != MitLimits()


@pytest.mark.parametrize("obj, text", [
    (MitLimits(), "MitLimits(p_max=12.5, v_max=30, kp_max=500, kd_max=5, t_max=10)"),
    (MitLimits.dm3507(), "MitLimits(p_max=12.566, v_max=50, kp_max=500, kd_max=5, t_max=5)"),
    (MitLimits(1e40, -1e40, math.nan, -0.0, 1e20), "MitLimits(p_max=inf, v_max=-inf, kp_max=NaN, kd_max=-0, t_max=100000000000000000000)"),
    (MitSetpoint(), "MitSetpoint(q=0, dq=0, kp=0, kd=0, tau=0)"),
    (MitSetpoint(0.1, 1e-7, -2.5, 3.4028234663852886e38, -math.nan),
     "MitSetpoint(q=0.1, dq=0.0000001, kp=-2.5, kd=340282350000000000000000000000000000000, tau=NaN)"),
    (ControlSetpoint.mit(MitSetpoint(1.5, -2)), "ControlSetpoint.mit(q=1.5, dq=-2, kp=0, kd=0, tau=0)"),
    (ControlSetpoint.pos_vel(1.5, velocity=-0.25), "ControlSetpoint.pos_vel(position=1.5, velocity=-0.25)"),
    (ControlSetpoint.vel(2.0), "ControlSetpoint.vel(2)"),
    (ControlSetpoint.force_pos(1.5, 10, 0.25), "ControlSetpoint.force_pos(position=1.5, velocity_limit=10, torque_ratio=0.25)"),
])
def test_reprs(obj, text):
    assert repr(obj) == text
    assert str(obj) == text


def test_control_setpoint_modes_and_copies():
    setpoint = MitSetpoint(1, 2, 3, 4, 5)
    assert [s.mode for s in (ControlSetpoint.mit(setpoint), ControlSetpoint.pos_vel(0, 0),
                             ControlSetpoint.vel(0), ControlSetpoint.force_pos(0, 0, 0))] == [1, 2, 3, 4]
    assert ControlSetpoint.mit(setpoint=setpoint).mode == 1
    for hidden in ("q", "position", "velocity"):
        assert not hasattr(ControlSetpoint.vel(1), hidden)
    with pytest.raises(AttributeError):
        ControlSetpoint.vel(1).mode = 2


def test_attributes_are_read_only():
    limits = MitLimits()
    for name in LIMIT_FIELDS:
        with pytest.raises(AttributeError):
            setattr(limits, name, 1.0)
    assert limits.p_max == 12.5


@pytest.mark.parametrize("make", [
    MitLimits, MitSetpoint, lambda: ControlSetpoint.force_pos(1, 2, 3), lambda: jointbus.mit_setpoint(1),
    MitLimits.dm8009, lambda: jointbus.Damiao(1, 2),
], ids=["MitLimits", "MitSetpoint", "ControlSetpoint", "mit_setpoint", "preset", "Damiao"])
def test_creating_and_dropping_objects_leaks_no_type_references(make):
    cls = type(make())
    before = sys.getrefcount(cls)
    for _ in range(100_000):
        make()
    assert sys.getrefcount(cls) == before
