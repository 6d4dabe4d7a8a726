"""The fast paths of polyloom give exactly what their plain definitions give.

Coordinates are rounded as round(float(v), 9) + 0.0, instance ports are the
component's ports moved by transform_point and transform_angle, natural keys
are natsort's, and ports meet through the 1 nm grid whatever their
coordinates.
"""

import math
import random
import string

import numpy as np
import polyloom as pl
import pytest
from natsort import natsort_keygen
from polyloom.geometry import clean, transform_angle, transform_point
from polyloom.netlist import natural_key

pytestmark = pytest.mark.usefixtures("generic_pdk_active")


def _values() -> list[float]:
    rng = random.Random(7)
    halfway = [(rng.randrange(-(10**12), 10**12) + 0.5) * 1e-9 for _ in range(2000)]
    decimals = [rng.randrange(-(10**15), 10**15) / 10**9 for _ in range(2000)]
    wide = [rng.uniform(-1e8, 1e8) for _ in range(2000)]
    sums = [rng.uniform(-50, 50) + rng.uniform(-50, 50) for _ in range(2000)]
    edges = [0.0, -0.0, 1e-300, -1e-300, 5e-10, -5e-10, 1.5e-9, 2.5e-9, 4503599.627370496]
    edges += [4503599.627370497, -4503599.627370496, 1e300, math.inf, -math.inf]
    return halfway + decimals + wide + sums + edges


def test_clean_rounds_as_python_rounds():
    values = _values()
    expected = [(round(v, 9) + 0.0).hex() for v in values]
    assert [clean(v).hex() for v in values] == expected
    assert math.isnan(clean(math.nan))
    assert [clean("2.5"), clean(3), clean(np.float64(0.1 + 0.2))] == [2.5, 3.0, 0.3]


def _probe() -> pl.Component:
    rng = random.Random(11)
    c = pl.Component("probe")
    for i in range(12):
        orientation = None if i == 5 else rng.choice([0, 90, 180, 270, 33.3, -12.5])
        c.add_port(f"p{i}", (rng.uniform(-30, 30), rng.uniform(-30, 30)), orientation)
    return c


@pytest.mark.parametrize("rotation", [0, 90, 180, 270, 45, 123.4, -30])
@pytest.mark.parametrize("mirror", [False, True])
def test_instance_ports_are_the_transformed_component_ports(rotation, mirror):
    probe = _probe()
    inst = pl.Component() << probe
    inst.mirrored, inst.rotation = mirror, rotation
    inst.move((0.1 + 0.2, -7.7))
    origin = (inst.x, inst.y)
    expected = [
        (
            p.name,
            transform_point(p.center, origin, inst.rotation, mirror),
            transform_angle(p.orientation, inst.rotation, mirror),
            p.width,
            p.layer,
        )
        for p in probe.ports
    ]
    ports = list(inst.ports)
    assert [(p.name, p.center, p.orientation, p.width, p.layer) for p in ports] == expected
    assert {type(p) for p in ports} == {pl.Port}
    assert [p.transformed(origin, inst.rotation, mirror) for p in probe.ports] == ports
    # Integers (and other numbers) take the same path in Python.
    moved = [p.transformed((3, -4), rotation, mirror) for p in probe.ports]
    assert [(p.center, p.orientation) for p in moved] == [
        (
            transform_point(p.center, (3, -4), rotation, mirror),
            transform_angle(p.orientation, rotation, mirror),
        )
        for p in probe.ports
    ]


def _texts() -> list[str]:
    rng = random.Random(5)
    alphabet = string.ascii_letters + string.digits * 3 + ",_-. "
    texts = ["", "0", "007", "12", "a01b", "u10_s1,o2", "9" * 30 + "x", "é1", "a\u0661"]
    return texts + ["".join(rng.choices(alphabet, k=rng.randint(0, 12))) for _ in range(5000)]


def test_natural_keys_are_natsorts():
    texts = _texts()
    key = natsort_keygen()
    assert [natural_key(t) for t in texts] == [key(t) for t in texts]


def _pair(x: float, gap: float) -> pl.Component:
    """Two one-port stubs facing each other, `gap` apart, at `x`."""
    top = pl.Component("top")
    for name, at, orientation in (("a", x, 0), ("b", x + gap, 180)):
        stub = pl.Component(f"stub_{name}")
        stub.add_port("o1", (0, 0), orientation)
        top.add_ref(stub, name).move((at, 0))
    top.add_port("out", port=top.insts[0].ports["o1"])
    return top


@pytest.mark.parametrize(
    ("x", "gap", "connected"),
    [
        (0.0009995, 0.0000009, True),  # within 1 nm, across a grid cell edge
        (0.0, 0.002, False),
        (1e16, 0.0, True),  # grid cells beyond 64-bit integers
        (-1e16, 4.0, False),
    ],
)
def test_ports_meet_within_a_nanometre_anywhere(x, gap, connected):
    netlist = _pair(x, gap).get_netlist()
    assert netlist["connections"] == ({"a,o1": "b,o1"} if connected else {})
    assert netlist["ports"] == {"out": "a,o1"}
