"""Benchmark: `patch_netlist` end to end on generated circuits of the generic PDK.

Circuits of 10, 100, 1,000 and 5,000 instances are made of units placed on
separate rows: trees (an mmi1x2 feeding straights and a bend through declared
connections) and chains of straights whose neighbours touch, half of them
without a declared connection. Each circuit is registered as a cell so the
placement stage can build its layout by name.

For each size the script prints the time per instance and splits it into
the time spent outside the module (the layout library polyloom, netweave and
the host's helpers) and the module's own work. The module's share is timed
with those collaborators replaced on the module by prepared answers (plain
snapshots of the built layouts, the extracted netlist, the merged
connections), which must give the same result; the outside share is the rest
of the plain run. It then checks the targets: the module's own time grows at
most linearly (each size step within 30% of proportional) and a 100-instance
circuit patches in under 50 ms.

Run: PYTHONPATH=python .venv/bin/python bench/bench_patch_netlist.py
"""

from __future__ import annotations

import copy
import gc
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from types import SimpleNamespace
from typing import Any

import polyloom as pl
from lumencad.core import netlist as nl

SIZES = (10, 100, 1000, 5000)
ROW_PITCH = 200.0
LINEAR_SLACK = 1.3
TARGET_100_MS = 50.0


def tree_unit(prefix: str, x: float, y: float) -> tuple[dict, dict, dict]:
    """mmi1x2 -> straight -> straight on one output, bend -> straight on the other."""
    instances = {
        f"{prefix}m": {"component": "mmi1x2"},
        f"{prefix}s1": {"component": "straight", "settings": {"length": 10}},
        f"{prefix}s2": {"component": "straight", "settings": {"length": 10}},
        f"{prefix}b": {"component": "bend_euler"},
        f"{prefix}s3": {"component": "straight", "settings": {"length": 10}},
    }
    connections = {
        f"{prefix}m,o2": f"{prefix}s1,o1",
        f"{prefix}s1,o2": f"{prefix}s2,o1",
        f"{prefix}m,o3": f"{prefix}b,o1",
        f"{prefix}b,o2": f"{prefix}s3,o1",
    }
    placements = {f"{prefix}m": {"x": x, "y": y}}
    return instances, connections, placements


def chain_unit(prefix: str, x: float, y: float) -> tuple[dict, dict, dict]:
    """Five straights end to end; only every other joint is declared."""
    names = [f"{prefix}c{i}" for i in range(5)]
    instances = {n: {"component": "straight", "settings": {"length": 10}} for n in names}
    connections = {f"{names[i]},o2": f"{names[i + 1]},o1" for i in (0, 2)}
    placements = {n: {"x": x + 10.0 * i, "y": y} for i, n in enumerate(names)}
    return instances, connections, placements


def make_circuit(size: int) -> dict[str, Any]:
    instances: dict[str, Any] = {}
    connections: dict[str, str] = {}
    placements: dict[str, Any] = {}
    unit = 0
    while len(instances) < size:
        maker = tree_unit if unit % 2 == 0 else chain_unit
        i, c, p = maker(f"u{unit}_", 0.0, unit * ROW_PITCH)
        instances.update(i)
        connections.update(c)
        placements.update(p)
        unit += 1
    ports = {"in": "u0_m,o1", "out": "u0_s2,o2", "tap": "u0_s3,o2"}
    return {
        "instances": instances,
        "connections": connections,
        "ports": ports,
        "placements": placements,
    }


def register(name: str, netlist: dict[str, Any]) -> None:
    def factory() -> Any:
        return pl.read.from_yaml(copy.deepcopy(netlist))

    pl.get_active_pdk().register_cells(**{name: factory})


def snapshot(component: Any) -> SimpleNamespace:
    """The parts of a built component that the stages read, as plain objects."""

    def ports(owner: Any) -> list[SimpleNamespace]:
        return [
            SimpleNamespace(name=p.name, orientation=p.orientation, center=p.center)
            for p in owner.ports
        ]

    insts = [SimpleNamespace(name=i.name, x=i.x, y=i.y, ports=ports(i)) for i in component.insts]
    return SimpleNamespace(insts=insts, ports=ports(component))


class InstantLibrary:
    """Stands in for `pl` with every answer prepared beforehand, so that a run
    measures the module's own work only. Anything else goes to polyloom."""

    def __init__(self, components: dict[str, SimpleNamespace], extracted: dict[str, Any]) -> None:
        self.components = components
        self.extracted = extracted
        self.read = self

    def get_component(self, name: str) -> SimpleNamespace:
        return self.components[name]

    def from_yaml(self, netlist: dict[str, Any]) -> InstantLibrary:
        return self

    def get_netlist(self, allow_multiple: bool = False) -> dict[str, Any]:
        return dict(self.extracted)

    def __getattr__(self, name: str) -> Any:
        return getattr(pl, name)


@contextmanager
def instant_collaborators(name: str, netlist: dict[str, Any]) -> Iterator[None]:
    """Replaces the module's layout library, netweave and host helpers by
    prepared answers for this netlist."""
    components = {
        component: snapshot(pl.get_component(component))
        for component in {nl._get_component_name(r) for r in netlist["instances"].values()}
    }
    components[name] = snapshot(pl.get_component(name))
    extracted = pl.read.from_yaml(copy.deepcopy(netlist)).get_netlist(allow_multiple=True)
    merged = nl._nets_to_connections(extracted.get("nets", []), extracted.get("connections", {}))
    hierarchical = {c for c in components if nl.is_hierarchical_pic(c)}

    saved = {n: getattr(nl, n) for n in ("pl", "_nets_to_connections", "is_hierarchical_pic")}
    try:
        nl.pl = InstantLibrary(components, extracted)
        nl._nets_to_connections = lambda nets, connections: merged
        nl.is_hierarchical_pic = hierarchical.__contains__
        yield
    finally:
        for attribute, value in saved.items():
            setattr(nl, attribute, value)


def best_of(repeats: int, run: Callable[[], Any]) -> float:
    """The fastest of `repeats` runs, with the cyclic garbage collector paused
    while timing (as timeit does), so collections triggered by the rest of the
    process's heap do not land on one size and not another."""
    times = []
    for _ in range(repeats):
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter()
            run()
            times.append(time.perf_counter() - start)
        finally:
            gc.enable()
    return min(times)


# The functions patch_netlist calls, looked up on the module at call time, so
# wrapping them on the module times each one inside a real run.
PIPELINE_STEPS = (
    "_update_good_netlist",
    "ensure_netlist_order",
    "reset_netlist_schematic_info",
    "patch_netlist_with_port_info",
    "patch_netlist_with_icon_info",
    "patch_netlist_with_connection_info",
    "patch_netlist_with_hierarchy_info",
    "patch_netlist_with_placement_info",
)


def step_times(repeats: int, run: Callable[[], Any]) -> dict[str, float]:
    """The fastest time of each pipeline step over `repeats` runs (calls of
    one step within a run added up)."""
    saved = {step: getattr(nl, step) for step in PIPELINE_STEPS}
    best: dict[str, float] = {}
    spent: dict[str, float] = {}

    def timed(step: str) -> Callable[..., Any]:
        def call(*args: Any) -> Any:
            start = time.perf_counter()
            try:
                return saved[step](*args)
            finally:
                spent[step] = spent.get(step, 0.0) + time.perf_counter() - start

        return call

    try:
        for step in PIPELINE_STEPS:
            setattr(nl, step, timed(step))
        for _ in range(repeats):
            spent.clear()
            best_of(1, run)
            for step, seconds in spent.items():
                best[step] = min(best.get(step, seconds), seconds)
    finally:
        for step, function in saved.items():
            setattr(nl, step, function)
    return best


def measure(size: int) -> dict[str, Any]:
    name = f"bench_circuit_{size}"
    netlist = make_circuit(size)
    register(name, netlist)
    # The module's own runs are short: more of them damp the noise of a busy machine.
    repeats = 9 if size <= 100 else 5 if size <= 1000 else 3
    module_repeats = 31

    nl.patch_netlist(name, netlist)  # warm the module's icon caches
    total = best_of(repeats, lambda: nl.patch_netlist(name, netlist))
    with instant_collaborators(name, netlist):
        instant = nl.patch_netlist(name, netlist)
        module = best_of(module_repeats, lambda: nl.patch_netlist(name, netlist))
        steps = step_times(module_repeats, lambda: nl.patch_netlist(name, netlist))

    patched = nl.patch_netlist(name, netlist)
    assert instant == patched, "prepared answers must give the same result"
    schematic = patched["info"]["schematic"]
    assert len(schematic["placements"]) == len(netlist["instances"])
    return {
        "instances": len(netlist["instances"]),
        "total": total,
        "module": module,
        "outside": max(total - module, 0.0),
        "implicit": len(schematic["implicit_connections"]),
        "steps": steps,
    }


def main() -> int:
    rows = [measure(size) for size in SIZES]
    print(
        f"{'instances':>9} {'total ms':>9} {'us/inst':>8} {'outside':>8} {'module':>7} "
        f"{'module ms':>10} {'module us/inst':>15} {'implicit':>8}"
    )
    for r in rows:
        n, total, module = r["instances"], r["total"], r["module"]
        print(
            f"{n:>9} {total * 1e3:>9.1f} {total / n * 1e6:>8.0f} {r['outside'] / total:>8.0%} "
            f"{module / total:>7.0%} {module * 1e3:>10.2f} {module / n * 1e6:>15.1f} "
            f"{r['implicit']:>8}"
        )

    print("\nmodule time per instance by step (us, prepared collaborators):")
    print(f"{'step':<36}" + "".join(f"{r['instances']:>9}" for r in rows))
    for step in PIPELINE_STEPS:
        cells = "".join(f"{r['steps'].get(step, 0.0) / r['instances'] * 1e6:>9.2f}" for r in rows)
        print(f"{step:<36}{cells}")

    ok = True
    print()
    for small, large in zip(rows, rows[1:], strict=False):
        growth = large["instances"] / small["instances"]
        ratio = large["module"] / small["module"] if small["module"] else float("inf")
        linear = ratio <= growth * LINEAR_SLACK
        ok &= linear
        print(
            f"module time {small['instances']} -> {large['instances']} instances: x{ratio:.2f} "
            f"(size x{growth:.0f}, limit x{growth * LINEAR_SLACK:.1f}) "
            f"{'ok' if linear else 'TOO STEEP'}"
        )
    hundred = next(r for r in rows if r["instances"] >= 100)
    fast = hundred["total"] * 1e3 < TARGET_100_MS
    ok &= fast
    print(
        f"{hundred['instances']} instances in {hundred['total'] * 1e3:.1f} ms "
        f"(target < {TARGET_100_MS:.0f} ms) {'ok' if fast else 'TOO SLOW'}"
    )
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
