"""Extracting the netlist a layout really makes from port positions.

Instance ports are hashed on a 1 nm grid; each distinct port position looks
into its own and the neighbouring grid cells, so ports within 1 nm of each
other are found in linear time even when they straddle a cell edge, and any
number of ports at one point costs no more than one.
"""

from __future__ import annotations

import copy
import math
from collections import defaultdict
from typing import Any

from natsort import natsort_keygen, natsorted

from polyloom.layout import Layout
from polyloom.port import Port

SNAP = 1e-3  # micrometres: ports closer than this meet
ANGLE_TOLERANCE = 1e-6  # degrees

# Natural order of instance-port references ("w2,o1" before "w10,o1"); one key
# function for all comparisons, as building one per call is costly.
_natural = natsort_keygen()

Point = tuple[float, float]


def _cell_of(point: Point) -> tuple[int, int]:
    return (math.floor(point[0] / SNAP), math.floor(point[1] / SNAP))


def _close(a: Point, b: Point) -> bool:
    return math.dist(a, b) <= SNAP * (1 + 1e-9)


def facing(a: Port, b: Port) -> bool:
    """True when two ports point at each other (orientations differ by 180 degrees).

    Ports without an orientation face anything.
    """
    if a.orientation is None or b.orientation is None:
        return True
    difference = (a.orientation - b.orientation - 180.0) % 360.0
    return min(difference, 360.0 - difference) <= ANGLE_TOLERANCE


class PortGrid:
    """Ports bucketed by position and 1 nm grid cell, for finding the ports at a point."""

    def __init__(self, ports: list[Port]) -> None:
        self.ports = ports
        # Distinct positions, each with the ports sitting exactly there.
        self.at: dict[Point, list[int]] = {}
        for index, port in enumerate(ports):
            self.at.setdefault(port.center, []).append(index)
        self.cells: dict[tuple[int, int], list[Point]] = defaultdict(list)
        for point in self.at:
            self.cells[_cell_of(point)].append(point)

    def _near_points(self, point: Point) -> list[Point]:
        cx, cy = _cell_of(point)
        found = []
        for dx in (-1, 0, 1):
            for dy in (-1, 0, 1):
                for other in self.cells.get((cx + dx, cy + dy), ()):
                    if _close(point, other):
                        found.append(other)
        return found

    def near(self, port: Port) -> list[int]:
        """Indices of the ports within 1 nm of `port`, in ascending order."""
        found = [i for point in self._near_points(port.center) for i in self.at[point]]
        found.sort()
        return found

    def groups(self) -> list[list[int]]:
        """Clusters of ports that meet (transitively within 1 nm), in first-port order."""
        points = list(self.at)
        number = {point: n for n, point in enumerate(points)}
        parent = list(range(len(points)))

        def root(i: int) -> int:
            while parent[i] != i:
                parent[i] = parent[parent[i]]
                i = parent[i]
            return i

        for n, point in enumerate(points):
            for other in self._near_points(point):
                a, b = root(n), root(number[other])
                if a != b:
                    parent[max(a, b)] = min(a, b)
        clusters: dict[int, list[int]] = {}
        for index, port in enumerate(self.ports):
            clusters.setdefault(root(number[port.center]), []).append(index)
        return list(clusters.values())


def _format_point(port: Port) -> str:
    return f"({port.center[0]!r}, {port.center[1]!r})"


def extract_netlist(component: Layout, allow_multiple: bool = False) -> dict[str, Any]:
    """Instances, placements, connections and exposed ports of a component's layout.

    A connection is recorded wherever exactly two instance ports meet facing
    each other; its key is the reference that sorts first (natural order).
    Three or more ports at one point raise a ValueError, or with
    `allow_multiple` are listed under "nets".
    """
    instances: dict[str, Any] = {}
    placements: dict[str, Any] = {}
    refs: list[str] = []
    ports: list[Port] = []
    for inst in component.insts:
        child = inst.component
        instances[inst.name] = {"component": child.name, "settings": copy.deepcopy(child.settings)}
        placements[inst.name] = {
            "x": inst.x,
            "y": inst.y,
            "rotation": inst.rotation,
            "mirror": inst.mirrored,
        }
        for port in inst.ports:
            refs.append(f"{inst.name},{port.name}")
            ports.append(port)

    grid = PortGrid(ports)
    connections: dict[str, str] = {}
    nets: list[list[str]] = []
    for group in grid.groups():
        if len(group) == 2:
            a, b = group
            if facing(ports[a], ports[b]):
                first, second = sorted((refs[a], refs[b]), key=_natural)
                connections[first] = second
        elif len(group) > 2:
            members = sorted((refs[i] for i in group), key=_natural)
            if not allow_multiple:
                listed = ", ".join(repr(m) for m in members)
                raise ValueError(
                    f"More than two ports meet at {_format_point(ports[group[0]])}: {listed} "
                    "(use allow_multiple=True to report them as nets)"
                )
            nets.append(members)

    exposed: dict[str, str] = {}
    for top in component.ports:
        candidates = grid.near(top)
        if not candidates:
            continue
        same_way = [
            i
            for i in candidates
            if top.orientation is None
            or ports[i].orientation is None
            or facing(ports[i], top.copy(orientation=top.orientation + 180.0))
        ]
        exposed[top.name] = refs[(same_way or candidates)[0]]

    netlist: dict[str, Any] = {
        "name": component.name,
        "instances": instances,
        "placements": placements,
        "connections": {key: connections[key] for key in natsorted(connections)},
        "ports": exposed,
    }
    if allow_multiple:
        netlist["nets"] = natsorted(nets, key=lambda net: net[0])
    return netlist
