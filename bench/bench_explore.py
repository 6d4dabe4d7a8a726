"""Benchmark: the PDK explorer's graph and classification against building the cells.

The bare loop builds every cell of the PDK once by name, the least that any
look at a whole PDK costs. `get_pdk_graph` adds each cell's netlist, port
names and signature (and looks each used cell up again); `classify_cells`
adds each factory's signature and port names. Every run starts from cold
cell caches; the runs alternate, several times, and the best time of each is
compared. Workloads: the generic PDK, and a generated PDK of 300 cells (200
waveguide bends, 100 composite cells that each use three other cells).
For reference, a third loop makes only the layout library's and `inspect`'s
calls that building the graph makes (the graph's rules look each cell up
again for its netlist, its ports and its fixed test, and again for every cell
that uses it; nothing is cached): what remains between it and
`get_pdk_graph` is the graph's own cost.
Run: PYTHONPATH=python python bench/bench_explore.py
"""

from __future__ import annotations

import contextlib
import inspect
import io
import sys
from collections.abc import Callable
from typing import Any

import polyloom as pl
from benchlib import best_of
from lumencad.core.explore import classify_cells, get_pdk_graph
from natsort import natsorted
from polyloom.generic import PDK as GENERIC
from polyloom.paths import add_waveguide, euler_curve
from polyloom.pdk import get_cross_section

LEAVES = 200
COMPOSITES = 100
REPEATS = 7
TARGET_RATIO = 1.5


def bend_cell(i: int) -> Callable[..., pl.Component]:
    """A cell drawing a real Euler bend; each cell has its own defaults."""

    def factory(radius: float = 5.0 + i % 11, angle: float = 20.0 + i % 70) -> pl.Component:
        xs = get_cross_section("strip")
        points, tangents = euler_curve(radius, angle, 0.5)
        c = pl.Component()
        add_waveguide(c, points, tangents, xs)
        end = (float(points[-1][0]), float(points[-1][1]))
        c.add_port("o1", (0.0, 0.0), 180.0, xs.width, xs.layer)
        c.add_port("o2", end, angle, xs.width, xs.layer)
        return c

    factory.__name__ = f"bend{i}"
    return pl.cell(factory)


def composite_cell(i: int, used: list[str]) -> Callable[..., pl.Component]:
    """A cell placing the cells `used` in a column, apart so that no ports meet."""

    def factory(spacing: float = 200.0) -> pl.Component:
        c = pl.Component()
        for k, name in enumerate(used):
            (c << pl.get_component(name)).movey(spacing * k)
        c.add_port("o1", (-10.0, 0.0), 180.0)
        c.add_port("o2", (10.0, 0.0), 0.0)
        return c

    factory.__name__ = f"block{i}"
    return pl.cell(factory)


def generated_pdk() -> pl.Pdk:
    cells: dict[str, Callable[..., pl.Component]] = {}
    for i in range(LEAVES):
        cells[f"bend{i}"] = bend_cell(i)
    for i in range(COMPOSITES):
        # Two bends and, from the second on, the composite cell before.
        used = [f"bend{(2 * i) % LEAVES}", f"bend{(2 * i + 1) % LEAVES}"]
        used.append(f"block{i - 1}" if i else f"bend{(2 * i + 2) % LEAVES}")
        cells[f"block{i}"] = composite_cell(i, used)
    return pl.Pdk("generated", cells=cells, cross_sections=GENERIC.cross_sections)


def clear_cell_caches(*pdks: pl.Pdk) -> None:
    """Drop every cached component so that each run builds from scratch."""
    for pdk in pdks:
        for factory in pdk.cells.values():
            clear = getattr(factory, "cache_clear", None)
            if callable(clear):
                clear()


def bare_loop(pdk: pl.Pdk) -> None:
    for name in list(pdk.cells):
        pl.get_component(name)


def library_calls(pdk: pl.Pdk) -> None:
    def component(name: str) -> Any:
        try:
            return pl.get_component(name)
        except Exception:
            return None

    for name in list(pdk.cells):
        if component(name) is None:
            continue
        instances = component(name).get_netlist().get("instances", {})
        used = {r if isinstance(r, str) else r.get("component", "") for r in instances.values()}
        for node in [name, *natsorted(used)]:
            built = component(node)
            if built is not None:
                [port.name for port in built.ports]
                factory = component(node) and pdk.cells.get(node)
                if factory is not None:
                    len(inspect.signature(factory).parameters)


def quietly(run: Callable[[], Any]) -> Callable[[], None]:
    """`run` with its progress bar sent nowhere."""

    def quiet() -> None:
        with contextlib.redirect_stderr(io.StringIO()):
            run()

    return quiet


def bench(label: str, pdk: pl.Pdk) -> list[float]:
    previous = pl.get_active_pdk()
    pdk.activate()
    try:
        bare, graph, classes, library = best_of(
            [
                lambda: bare_loop(pdk),
                quietly(get_pdk_graph),
                lambda: classify_cells(pdk),
                lambda: library_calls(pdk),
            ],
            prepare=lambda: clear_cell_caches(pdk, GENERIC),
            repeats=REPEATS,
        )
    finally:
        previous.activate()
    cells = len(pdk.cells)
    for name, seconds in (("get_pdk_graph", graph), ("classify_cells", classes)):
        print(
            f"{label:<14} {cells:4d} cells  {name:<15} {seconds * 1e3:8.1f} ms  "
            f"bare loop {bare * 1e3:8.1f} ms  ratio {seconds / bare:5.2f}x"
        )
    print(
        f"{label:<14} {cells:4d} cells  {'library calls':<15} {library * 1e3:8.1f} ms  "
        f"bare loop {bare * 1e3:8.1f} ms  ratio {library / bare:5.2f}x  (reference)"
    )
    return [graph / bare, classes / bare]


def main() -> int:
    ratios = bench("generic PDK", GENERIC) + bench("generated PDK", generated_pdk())
    worst = max(ratios)
    verdict = "ok" if worst <= TARGET_RATIO else "SLOWER THAN TARGET"
    print(f"worst ratio {worst:5.2f}x  (target <= {TARGET_RATIO}x: {verdict})")
    return 0 if worst <= TARGET_RATIO else 1


if __name__ == "__main__":
    sys.exit(main())
