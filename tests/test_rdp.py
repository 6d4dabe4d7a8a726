"""The outline simplification kernels `_rdp` and `_line_dists` against numpy."""

import math
import os
import pickle
import subprocess
import sys
import warnings
from fractions import Fraction
from functools import partial
from pathlib import Path

import numpy as np
import pytest
from lumencad.core import netlist as nl


def ref_line_dists(points, start, end, norm=np.linalg.norm):
    start, end = np.asarray(start), np.asarray(end)
    if np.all(start == end):
        return norm(points - start, axis=1)
    vec = end - start
    with warnings.catch_warnings():  # np.cross warns that 2-vectors are deprecated
        warnings.simplefilter("ignore", DeprecationWarning)
        cross = np.cross(vec, start - points)
    return np.divide(np.abs(cross), norm(vec))


def ref_rdp(poly, eps=0.1, line_dists=ref_line_dists):
    poly = np.asarray(poly)
    if not poly.shape:
        return np.array([])
    if poly.shape[0] < 3:
        return poly
    dists = line_dists(poly, poly[0], poly[-1])
    index = int(np.argmax(dists))
    if dists[index] > eps:
        head = ref_rdp(poly[: index + 1], eps, line_dists)
        return np.vstack((head[:-1], ref_rdp(poly[index:], eps, line_dists)))
    return np.array([poly[0], poly[-1]])


def random_points(kind: str, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    n = int(rng.integers(3, 300))
    if kind == "grid":  # small integers: many equal distances, so first-max ties matter
        return rng.integers(-3, 4, size=(n, 2)).astype(float)
    if kind == "arc":
        t = np.linspace(0, np.pi, n)
        return np.c_[np.cos(t), np.sin(t)] * 50 + rng.normal(size=(n, 2)) * 0.05
    if kind == "repeats":  # runs of equal points, equal ends among them
        return (rng.normal(size=(n // 4 + 1, 2)) * 10)[rng.integers(0, n // 4 + 1, size=n)]
    if kind == "collinear":  # straight runs with a few bends
        t = np.cumsum(rng.uniform(0, 1, size=n))
        points = np.c_[t, 2 * t + 1]
        points[rng.integers(0, n, size=3)] += rng.normal(size=(3, 2))
        return points
    points = rng.normal(size=(n, 2)) * 10
    if kind == "ring":  # first and last point coincide: distances from that point
        points[-1] = points[0]
    return points


def line_pairs(poly: np.ndarray) -> list[tuple]:
    return [(poly[0], poly[-1]), (poly[1], poly[1]), (poly[1], poly[2]), ([0, 0], [3, -4])]


@pytest.mark.parametrize("kind", ["scatter", "grid", "arc", "ring", "repeats", "collinear"])
@pytest.mark.parametrize("eps", [0.0, 0.1, 1.0])
@pytest.mark.parametrize("seed", range(3))
def test_rdp_and_line_dists_match_numpy(kind: str, eps: float, seed: int) -> None:
    poly = random_points(kind, seed)
    got = nl._rdp(poly, eps)
    assert got.dtype == np.float64
    assert np.array_equal(got, ref_rdp(poly, eps))
    for start, end in line_pairs(poly):
        assert np.array_equal(nl._line_dists(poly, start, end), ref_line_dists(poly, start, end))


def test_rdp_small_inputs() -> None:
    assert nl._rdp([[0, 0], [1, 1], [2, 2]]).tolist() == [[0, 0], [2, 2]]
    two = np.array([[1.0, 2.0], [3.0, 4.0]])
    assert nl._rdp(two) is two
    empty = nl._rdp(np.float64(3.0))
    assert empty.shape == (0,) and empty.dtype == np.float64
    integers = np.array([[0, 0], [1, 3], [2, 0], [5, 0], [6, 1]])
    got = nl._rdp(integers, 0.5)  # keeps the rows and the dtype of integer input
    assert got.dtype == integers.dtype and np.array_equal(got, ref_rdp(integers, 0.5))


@pytest.mark.parametrize(
    "poly",
    [
        [[float(i), 2.0 * i] for i in range(50)],  # collinear: every distance is zero
        [[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 1.0], [0.0, 0.0]],
        np.random.default_rng(3).normal(size=(200, 2)).tolist(),
    ],
)
def test_rdp_negative_eps_keeps_every_vertex(poly: list) -> None:
    assert nl._rdp(poly, -1.0).tolist() == poly


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda: nl._rdp(np.zeros((5, 3))),
            "_rdp: expected poly to be an N x 2 array of points, got shape (5, 3)",
        ),
        (
            lambda: nl._line_dists(np.zeros(4), [0, 0], [1, 1]),
            "_line_dists: expected points to be an N x 2 array of points, got shape (4,)",
        ),
        (
            lambda: nl._line_dists(np.zeros((4, 2)), [0, 0], 1.0),
            "_line_dists: expected end to be an (x, y) pair, got shape ()",
        ),
    ],
)
def test_bad_shapes_are_named(call, message: str) -> None:
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == message


# --------------------------------------------------------------------------
# Rounding of the line length, forced at import (LUMENCAD_NORM_ROUNDING): the
# suite must hold whichever way numpy's vector norm rounds, so each mode is run
# in a fresh interpreter and compared with a computation that does not use
# numpy's norm.

PACKAGE_ROOT = Path(nl.__file__).resolve().parents[2]  # the folder holding lumencad


def fused_length(x: float, y: float) -> float:
    """sqrt(fma(y, y, x * x)) from exact rationals, each step rounded once."""
    return math.sqrt(float(Fraction(y) ** 2 + Fraction(x * x)))


def separate_length(x: float, y: float) -> float:
    return math.sqrt(x * x + y * y)


def python_line_dists(points, start, end, length) -> np.ndarray:
    """The distances in plain Python floats, the line's length from `length`."""
    sx, sy = float(start[0]), float(start[1])
    ex, ey = float(end[0]), float(end[1])
    if sx == ex and sy == ey:  # numpy's norm along an axis: squares rounded, then summed
        return np.array([separate_length(px - sx, py - sy) for px, py in points.tolist()])
    vx, vy = ex - sx, ey - sy
    norm = length(vx, vy)
    return np.array([abs(vx * (sy - py) - vy * (sx - px)) / norm for px, py in points.tolist()])


def nudged_norm(x, *args, **kwargs):
    """numpy's norm one step up: a rounding that matches neither mode."""
    return np.nextafter(np.linalg.norm(x, *args, **kwargs), np.inf)


CHILD = """
import pickle, sys
import numpy as np
if sys.argv[3] == "nudged":  # as nudged_norm: the probe at import must fail
    norm = np.linalg.norm
    np.linalg.norm = lambda x, *a, **k: np.nextafter(norm(x, *a, **k), np.inf)
from lumencad.core import netlist as nl
with open(sys.argv[1], "rb") as f:
    cases = pickle.load(f)
out = [
    (nl._rdp(poly, 0.0), nl._rdp(poly, 0.1), [nl._line_dists(poly, *pair) for pair in pairs])
    for poly, pairs in cases
]
with open(sys.argv[2], "wb") as f:
    pickle.dump(out, f)
"""


def run_child(tmp_path: Path, mode: str, norm: str, polys: list[np.ndarray]) -> list:
    """(_rdp with eps 0 and 0.1, _line_dists for each line_pairs) per poly, in a
    fresh interpreter with LUMENCAD_NORM_ROUNDING=`mode` and numpy's norm or
    the `nudged` one."""
    with open(tmp_path / "in.pickle", "wb") as f:
        pickle.dump([(poly, line_pairs(poly)) for poly in polys], f)
    env = {**os.environ, "PYTHONPATH": str(PACKAGE_ROOT), "LUMENCAD_NORM_ROUNDING": mode}
    result = subprocess.run(
        [sys.executable, "-c", CHILD, tmp_path / "in.pickle", tmp_path / "out.pickle", norm],
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    with open(tmp_path / "out.pickle", "rb") as f:
        return pickle.load(f)


MODE_POLYS = [random_points(kind, seed) for kind in ("collinear", "scatter") for seed in range(3)]
MODE_POLYS.append(random_points("ring", 0))


@pytest.mark.parametrize(
    ("mode", "norm", "dists"),
    [
        ("fused", "", partial(python_line_dists, length=fused_length)),
        ("separate", "", partial(python_line_dists, length=separate_length)),
        # numpy's own distances, forced or because the probe found no match
        ("numpy", "", ref_line_dists),
        ("", "nudged", partial(ref_line_dists, norm=nudged_norm)),
    ],
    ids=["fused", "separate", "numpy", "no-match"],
)
def test_rounding_modes(tmp_path: Path, mode: str, norm: str, dists) -> None:
    results = run_child(tmp_path, mode, norm, MODE_POLYS)
    for poly, (rdp0, rdp1, line_dists) in zip(MODE_POLYS, results, strict=True):
        assert np.array_equal(rdp0, ref_rdp(poly, 0.0, dists))
        assert np.array_equal(rdp1, ref_rdp(poly, 0.1, dists))
        for got, (start, end) in zip(line_dists, line_pairs(poly), strict=True):
            assert np.array_equal(got, dists(poly, start, end))


def test_rounding_modes_differ_on_the_test_inputs() -> None:
    """Keeps the forced-mode test meaningful: its inputs tell the modes apart."""
    differ = [
        not np.array_equal(
            python_line_dists(poly, start, end, fused_length),
            python_line_dists(poly, start, end, separate_length),
        )
        for poly in MODE_POLYS
        for start, end in line_pairs(poly)
    ]
    assert any(differ)


def test_unknown_rounding_mode_fails_the_import() -> None:
    env = {**os.environ, "PYTHONPATH": str(PACKAGE_ROOT), "LUMENCAD_NORM_ROUNDING": "exact"}
    script = "import lumencad.core.netlist"
    result = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True)
    assert result.stderr.splitlines()[-1] == (
        "ValueError: LUMENCAD_NORM_ROUNDING must be 'fused', 'separate' or 'numpy', got 'exact'"
    )


# --------------------------------------------------------------------------
# Interrupts

INTERRUPTED = """
import os, signal, threading
import numpy as np
from lumencad.core import netlist as nl
i = np.arange(400_000)
zigzag = np.c_[i, i % 2].astype(float)  # every split peels off one vertex: minutes of work
threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
try:
    nl._rdp(zigzag)
except KeyboardInterrupt:
    print("KeyboardInterrupt")
print(nl._rdp([[0.0, 0.0], [1.0, 0.0], [2.0, 0.0]]).tolist())
"""


@pytest.mark.parametrize("mode", ["", "numpy"])
def test_ctrl_c_interrupts_a_long_rdp(mode: str) -> None:
    env = {**os.environ, "PYTHONPATH": str(PACKAGE_ROOT), "LUMENCAD_NORM_ROUNDING": mode}
    # The timeout only guards against a hang: uninterrupted, the run takes minutes.
    result = subprocess.run(
        [sys.executable, "-c", INTERRUPTED], env=env, capture_output=True, text=True, timeout=60
    )
    assert result.stdout == "KeyboardInterrupt\n[[0.0, 0.0], [2.0, 0.0]]\n", result.stderr
