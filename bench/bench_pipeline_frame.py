"""Benchmark: the frame of patch_netlist against the same steps in plain Python.

The frame is what patch_netlist does around its annotation stages: deep copy of
the input, canonical order, schematic reset, the final order, every result
passed through the good-netlist keeper. Both sides run these steps in the same
sequence on the same generated netlists; the compiled side calls the module's
functions (the step-2 deep copy goes through a scratch keeper, which copies
and then orders only the top level). Run: python bench/bench_pipeline_frame.py
"""

from __future__ import annotations

import random
import time
from collections.abc import Callable
from copy import deepcopy
from functools import partial
from typing import Any

from lumencad.core import netlist as nl

SIZES = (100, 1_000, 10_000)
TARGET_SPEEDUP = 5.0

# --------------------------------------------------------------------------
# The frame in plain Python


def py_ensure_netlist_order(netlist: dict[str, Any]) -> dict[str, Any]:
    netlist = dict(netlist)
    ordered = {
        "pdk": netlist.get("pdk", ""),
        "instances": netlist.get("instances", {}),
        "connections": netlist.get("connections", {}),
        "routes": netlist.get("routes", {}),
        "ports": netlist.get("ports", {}),
        "placements": netlist.get("placements", {}),
        "info": netlist.get("info", {}),
    }
    ordered.update(netlist)
    return ordered


def py_get_available_connections(netlist: dict[str, Any]) -> set[str]:
    available: set[str] = set()
    for k, v in netlist["connections"].items():
        available.add(f"{k}-{v}")
        available.add(f"{v}-{k}")
    for k, v in netlist["ports"].items():
        available.add(f"{k}-{v}")
    for route in netlist["routes"].values():
        for k, v in route["links"].items():
            available.add(f"{k}-{v}")
            available.add(f"{v}-{k}")
    return available


def py_reset_netlist_schematic_info(netlist: dict[str, Any]) -> dict[str, Any]:
    for key in ("instances", "connections", "ports", "info"):
        if key not in netlist:
            netlist[key] = {}
    if "schematic" not in netlist["info"]:
        netlist["info"]["schematic"] = {}
    schematic = netlist["info"]["schematic"]
    schematic["implicit_connections"] = {}
    schematic["component_ports"] = {}
    schematic["hierarchical"] = []
    if "placements" not in schematic:
        schematic["placements"] = {}
    else:
        schematic["placements"] = {
            k: v for k, v in schematic["placements"].items() if k in netlist["instances"]
        }
    if "port_placements" not in schematic:
        schematic["port_placements"] = {}
    else:
        schematic["port_placements"] = {
            k: v for k, v in schematic["port_placements"].items() if k in netlist["ports"]
        }
    available = py_get_available_connections(netlist)
    if "manhattan_fractions" not in schematic:
        schematic["manhattan_fractions"] = {}
    else:
        schematic["manhattan_fractions"] = {
            k: v for k, v in schematic["manhattan_fractions"].items() if k in available
        }
    return netlist


def py_update_good_netlist(good: dict[str, Any], netlist: dict[str, Any]) -> dict[str, Any]:
    if not netlist:
        return deepcopy(py_ensure_netlist_order(good))
    fresh = py_ensure_netlist_order(deepcopy(netlist))
    for key in list(good.keys()):
        del good[key]
    good.update(fresh)
    return fresh


def frame_python(netlist: dict[str, Any]) -> dict[str, Any]:
    keeper = partial(py_update_good_netlist, {})
    n = keeper(deepcopy(netlist))
    n = keeper(py_ensure_netlist_order(n))
    n = keeper(py_reset_netlist_schematic_info(n))
    return keeper(py_ensure_netlist_order(n))


def frame_compiled(netlist: dict[str, Any]) -> dict[str, Any]:
    keeper = partial(nl._update_good_netlist, {})
    n = keeper(nl._update_good_netlist({}, netlist))
    n = keeper(nl.ensure_netlist_order(n))
    n = keeper(nl.reset_netlist_schematic_info(n))
    return keeper(nl.ensure_netlist_order(n))


# --------------------------------------------------------------------------
# Generated netlists


def make_netlist(size: int, seed: int = 1) -> dict[str, Any]:
    """A chain of instances with placements, connections, routes, exposed ports
    and a stored schematic section (some of it stale, to be pruned)."""
    rng = random.Random(seed)
    cells = ["straight", "mmi1x2", "bend_euler", "coupler"]
    names = [f"i{k}" for k in range(size)]
    instances = {
        name: {"component": rng.choice(cells), "settings": {"length": rng.uniform(1, 100)}}
        for name in names
    }
    placements = {
        name: {"x": rng.uniform(0, 1e3), "y": rng.uniform(0, 1e3), "rotation": 0, "mirror": False}
        for name in names
    }
    connections = {f"{a},o2": f"{b},o1" for a, b in zip(names[0::2], names[1::2], strict=False)}
    links = {f"{a},o3": f"{b},o3" for a, b in zip(names[1::4], names[2::4], strict=False)}
    routes = {"bundle": {"links": links, "settings": {"cross_section": "strip"}}}
    ports = {f"p{k}": f"{names[k]},o1" for k in range(0, size, max(size // 20, 1))}
    schematic = {
        "placements": {name: {"x": rng.randint(0, 500), "y": rng.randint(0, 500)} for name in names}
        | {f"gone{k}": {"x": 0, "y": 0} for k in range(size // 10)},
        "port_placements": {p: {"x": 0, "y": rng.randint(0, 500)} for p in ports},
        "manhattan_fractions": {f"{a}-{b}": 0.5 for a, b in connections.items()}
        | {f"stale{k}-x": 0.5 for k in range(size // 10)},
        "implicit_connections": {"a,o1": "b,o1"},
    }
    return {
        "pdk": "generic",
        "instances": instances,
        "connections": connections,
        "routes": routes,
        "ports": ports,
        "placements": placements,
        "info": {"schematic": schematic},
    }


def best_time(fn: Callable[[dict[str, Any]], Any], netlist: dict[str, Any], budget: float) -> float:
    """Best wall time of repeated runs within about `budget` seconds (at least 3 runs)."""
    times: list[float] = []
    start = time.perf_counter()
    while len(times) < 3 or (time.perf_counter() - start < budget and len(times) < 50):
        t0 = time.perf_counter()
        fn(netlist)
        times.append(time.perf_counter() - t0)
    return min(times)


def main() -> None:
    print("patch_netlist frame (copy, order, reset, order; every step through the keeper)")
    header = (
        f"{'instances':>10} {'python ms':>11} {'compiled ms':>12} {'speed-up':>9} "
        f"{'us/inst':>8} {'growth':>7} {'py growth':>10}"
    )
    print(header)
    print("-" * len(header))
    previous: tuple[float, float] | None = None
    results: list[tuple[int, float]] = []
    for size in SIZES:
        netlist = make_netlist(size)
        if frame_compiled(netlist) != frame_python(netlist):
            raise SystemExit(f"results differ at {size} instances")
        python = best_time(frame_python, netlist, budget=2.0)
        compiled = best_time(frame_compiled, netlist, budget=2.0)
        speedup = python / compiled
        growth = "" if previous is None else f"{compiled / previous[1]:.1f}x"
        py_growth = "" if previous is None else f"{python / previous[0]:.1f}x"
        print(
            f"{size:>10,} {python * 1e3:>11.2f} {compiled * 1e3:>12.3f} {speedup:>8.1f}x "
            f"{compiled / size * 1e6:>8.2f} {growth:>7} {py_growth:>10}"
        )
        previous = (python, compiled)
        results.append((size, speedup))
    print()
    print("growth: time over the previous size (10x the instances; linear is ~10x)")
    slow = [size for size, speedup in results if size >= 1_000 and speedup < TARGET_SPEEDUP]
    if slow:
        print(f"below the {TARGET_SPEEDUP:.0f}x target at: {', '.join(f'{s:,}' for s in slow)}")
    else:
        print(f"at least {TARGET_SPEEDUP:.0f}x faster from 1,000 instances up")


if __name__ == "__main__":
    main()
