"""Benchmark of the schematic icon code of lumencad.core.netlist.

1. `_rdp` on noisy arcs of 1,000, 100,000 and 1,000,000 vertices against a
   plain numpy implementation of the same recursive algorithm, measured in the
   same run on the same input (the results are checked to be identical).
   Target: at least 20x faster at 100,000 vertices, and n log n growth (the
   time / (n log2 n) column should stay roughly flat).
2. `_rdp` on its worst case, a zigzag whose every split peels off one vertex
   (quadratic work), for the time per distance with the interrupt polling of
   long runs in place. No target; compare runs before and after a change.
3. `_get_icon_poly_strings` for the whole generic PDK from cold outline and
   path-string caches. Target: under 200 ms.

The kernels compute distances with the rounding numpy's norm has on this
machine; LUMENCAD_NORM_ROUNDING=numpy times the fallback that takes them
from numpy instead.

Run from the repository root:

    PYTHONPATH=python .venv/bin/python bench/bench_icons.py
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from collections.abc import Callable

import numpy as np
from lumencad.core import netlist as nl

SIZES = (1_000, 100_000, 1_000_000)
ZIGZAG_SIZES = (5_000, 20_000)
EPS = 0.1
SPEEDUP_TARGET = 20.0
SPEEDUP_AT = 100_000
STRINGS_TARGET_S = 0.200


def numpy_line_dists(points: np.ndarray, start: np.ndarray, end: np.ndarray) -> np.ndarray:
    if np.all(start == end):
        return np.linalg.norm(points - start, axis=1)
    vec = end - start
    to_start = start - points
    cross = vec[0] * to_start[:, 1] - vec[1] * to_start[:, 0]  # 2-D np.cross
    return np.divide(np.abs(cross), np.linalg.norm(vec))


def numpy_rdp(poly: np.ndarray, eps: float = EPS) -> np.ndarray:
    poly = np.asarray(poly)
    if not poly.shape:
        return np.array([])
    if poly.shape[0] < 3:
        return poly
    start, end = poly[0], poly[-1]
    dists = numpy_line_dists(poly, start, end)
    index = int(np.argmax(dists))
    if dists[index] > eps:
        head = numpy_rdp(poly[: index + 1], eps)
        tail = numpy_rdp(poly[index:], eps)
        return np.vstack((head[:-1], tail))
    return np.array([start, end])


def noisy_arc(n: int, rng: np.random.Generator, noise: float) -> np.ndarray:
    """Half a circle of radius 1000 with Gaussian noise on every vertex."""
    t = np.linspace(0.0, np.pi, n)
    return np.c_[np.cos(t), np.sin(t)] * 1000.0 + rng.normal(scale=noise, size=(n, 2))


def best_time(fn: Callable[[], object], repeat: int) -> float:
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def bench_rdp(noise: float, numpy_repeat: int) -> bool:
    print(f"_rdp on noisy arcs (noise sigma {noise}, eps {EPS})")
    header = ("vertices", "kept", "numpy s", "C++ s", "speedup", "C++ ns/(n log2 n)")
    print("  {:>9} {:>8} {:>10} {:>10} {:>9} {:>18}".format(*header))
    rng = np.random.default_rng(1)
    ok = True
    for n in SIZES:
        poly = noisy_arc(n, rng, noise)
        fast = nl._rdp(poly, EPS)
        slow = numpy_rdp(poly, EPS)
        if not np.array_equal(fast, slow):
            print(f"  {n}: results differ from numpy")
            return False
        repeat = max(3, min(50, 2_000_000 // n))
        fast_s = best_time(lambda poly=poly: nl._rdp(poly, EPS), repeat)
        slow_s = best_time(lambda poly=poly: numpy_rdp(poly, EPS), numpy_repeat)
        speedup = slow_s / fast_s
        per_nlogn = fast_s / (n * math.log2(n)) * 1e9
        print(
            f"  {n:>9} {len(fast):>8} {slow_s:>10.4f} {fast_s:>10.5f} {speedup:>8.1f}x"
            f" {per_nlogn:>18.3f}"
        )
        if n == SPEEDUP_AT and speedup < SPEEDUP_TARGET:
            ok = False
    print(f"  target: at least {SPEEDUP_TARGET:.0f}x at {SPEEDUP_AT} vertices")
    return ok


def bench_worst_case() -> None:
    print("_rdp on zigzags (every vertex kept, n^2 / 2 distances)")
    print("  {:>9} {:>10} {:>14}".format("vertices", "C++ s", "ns / distance"))
    for n in ZIGZAG_SIZES:
        i = np.arange(n)
        zigzag = np.c_[i, i % 2].astype(float)
        if len(nl._rdp(zigzag, EPS)) != n:
            print(f"  {n}: vertices dropped from the zigzag")
            return
        seconds = best_time(lambda zigzag=zigzag: nl._rdp(zigzag, EPS), 3)
        print(f"  {n:>9} {seconds:>10.4f} {seconds / (n * n / 2) * 1e9:>14.3f}")


def bench_icon_strings() -> bool:
    import polyloom

    polyloom.get_active_pdk()  # the generic PDK unless another is active
    print("_get_icon_poly_strings for the whole PDK, caches cleared")
    times = []
    for label in ("first call in this process", "again after cache_clear"):
        nl._get_icon_poly_cached.cache_clear()
        nl._get_icon_poly_strings.cache_clear()
        start = time.perf_counter()
        strings = nl._get_icon_poly_strings()
        times.append(time.perf_counter() - start)
        print(f"  {label}: {len(strings)} cells in {times[-1] * 1e3:.1f} ms")
    print(f"  target: under {STRINGS_TARGET_S * 1e3:.0f} ms")
    return max(times) < STRINGS_TARGET_S


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--noise", type=float, default=0.05, help="noise sigma of the arcs")
    parser.add_argument("--numpy-repeat", type=int, default=2, help="repeats of the numpy run")
    args = parser.parse_args()
    sys.setrecursionlimit(max(sys.getrecursionlimit(), 100_000))

    rdp_ok = bench_rdp(args.noise, args.numpy_repeat)
    print()
    bench_worst_case()
    print()
    strings_ok = bench_icon_strings()
    print()
    print("targets met" if rdp_ok and strings_ok else "target missed")
    return 0 if rdp_ok and strings_ok else 1


if __name__ == "__main__":
    sys.exit(main())
