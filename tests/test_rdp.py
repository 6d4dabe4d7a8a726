"""The outline simplification kernels `_rdp` and `_line_dists` against numpy."""

import warnings

import numpy as np
import pytest
from lumencad.core import netlist as nl


def ref_line_dists(points, start, end):
    start, end = np.asarray(start), np.asarray(end)
    if np.all(start == end):
        return np.linalg.norm(points - start, axis=1)
    vec = end - start
    with warnings.catch_warnings():  # np.cross warns that 2-vectors are deprecated
        warnings.simplefilter("ignore", DeprecationWarning)
        cross = np.cross(vec, start - points)
    return np.divide(np.abs(cross), np.linalg.norm(vec))


def ref_rdp(poly, eps=0.1):
    poly = np.asarray(poly)
    if not poly.shape:
        return np.array([])
    if poly.shape[0] < 3:
        return poly
    dists = ref_line_dists(poly, poly[0], poly[-1])
    index = int(np.argmax(dists))
    if dists[index] > eps:
        return np.vstack((ref_rdp(poly[: index + 1], eps)[:-1], ref_rdp(poly[index:], eps)))
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


@pytest.mark.parametrize("kind", ["scatter", "grid", "arc", "ring", "repeats", "collinear"])
@pytest.mark.parametrize("eps", [0.0, 0.1, 1.0])
@pytest.mark.parametrize("seed", range(3))
def test_rdp_and_line_dists_match_numpy(kind: str, eps: float, seed: int) -> None:
    poly = random_points(kind, seed)
    got = nl._rdp(poly, eps)
    assert got.dtype == np.float64
    assert np.array_equal(got, ref_rdp(poly, eps))
    pairs = [(poly[0], poly[-1]), (poly[1], poly[1]), (poly[1], poly[2]), ([0, 0], [3, -4])]
    for start, end in pairs:
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
