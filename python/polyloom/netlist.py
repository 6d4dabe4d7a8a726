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

from natsort import natsort_keygen

from polyloom import _geometry
from polyloom.geometry import cos_sin
from polyloom.layout import Layout
from polyloom.port import Port, transformed_ports

SNAP = 1e-3  # micrometres: ports closer than this meet
ANGLE_TOLERANCE = 1e-6  # degrees

# Natural order of instance-port references ("w2,o1" before "w10,o1"); one key
# function for all comparisons, as building one per call is costly.
_natsort_key = natsort_keygen()

# Setting values that copy.deepcopy hands back as they are.
_ATOMIC = frozenset({str, int, float, bool, type(None)})

Point = tuple[float, float]


def natural_key(text: str) -> tuple[Any, ...]:
    """natsort's sort key of `text` (text runs and numbers, alternating).

    ASCII text, which is what names nearly always are, is split in C++;
    natsort itself handles the rest (its Unicode digits and normalisation).
    """
    key = _geometry.natural_key(text)
    return _natsort_key(text) if key is None else key


def _cell_of(point: Point) -> tuple[int, int]:
    return (math.floor(point[0] / SNAP), math.floor(point[1] / SNAP))


def _close(a: Point, b: Point) -> bool:
    return math.dist(a, b) <= SNAP * (1 + 1e-9)


def facing(a: Port, b: Port) -> bool:
    """True when two ports point at each other (orientations differ by 180 degrees).

    Ports without an orientation face anything.
    """
    return _facing(a.orientation, b.orientation)


def _facing(a: float | None, b: float | None) -> bool:
    if a is None or b is None:
        return True
    difference = (a - b - 180.0) % 360.0
    return min(difference, 360.0 - difference) <= ANGLE_TOLERANCE


Neighbours = tuple[list[tuple[int, int]], list[list[int]]]


def _grid_neighbours(points: list[Point], probes: list[Point]) -> Neighbours:
    """Pairs (i, j), i < j, of points in neighbouring grid cells (at most one
    cell apart in x and in y), and per probe the points in the 3 x 3 cells
    around it."""
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    found = _geometry.grid_neighbours(xs, ys, [p[0] for p in probes], [p[1] for p in probes], SNAP)
    if found is not None:
        return found
    # Coordinates that are not plain floats, or cells beyond 64-bit integers.
    cells: dict[tuple[int, int], list[int]] = defaultdict(list)
    for n, point in enumerate(points):
        cells[_cell_of(point)].append(n)

    def around(point: Point) -> list[int]:
        cx, cy = _cell_of(point)
        return [
            n for dx in (-1, 0, 1) for dy in (-1, 0, 1) for n in cells.get((cx + dx, cy + dy), ())
        ]

    pairs = [(i, j) for i, point in enumerate(points) for j in around(point) if j > i]
    return pairs, [around(probe) for probe in probes]


class PortGrid:
    """Ports by position on a 1 nm grid: the clusters of ports that meet, and
    the ports at each of some probe points."""

    def __init__(self, centers: list[Point], probes: list[Point]) -> None:
        # Distinct positions, each with the ports sitting exactly there.
        at: dict[Point, list[int]] = {}
        for index, center in enumerate(centers):
            sharing = at.get(center)
            if sharing is None:
                at[center] = [index]
            else:
                sharing.append(index)
        self.at = at
        self.points = list(at)
        self.probes = probes
        self._pairs, self._near_probes = _grid_neighbours(self.points, probes)

    def near(self, probe: int) -> list[int]:
        """Indices of the ports within 1 nm of probe number `probe`, in ascending order."""
        point, points, at = self.probes[probe], self.points, self.at
        found = [
            i for n in self._near_probes[probe] if _close(point, points[n]) for i in at[points[n]]
        ]
        found.sort()
        return found

    def groups(self) -> list[list[int]]:
        """Clusters of ports that meet (transitively within 1 nm), in first-port order."""
        parent = list(range(len(self.points)))

        def root(i: int) -> int:
            while parent[i] != i:
                parent[i] = parent[parent[i]]
                i = parent[i]
            return i

        points = self.points
        for i, j in self._pairs:
            if _close(points[i], points[j]):
                a, b = root(i), root(j)
                if a != b:
                    parent[max(a, b)] = min(a, b)
        # Positions are numbered in the order of their first port, so each
        # cluster is met first at its first port; ports ascending within it.
        clusters: dict[int, list[int]] = {}
        joined = []
        for n, indices in enumerate(self.at.values()):
            first = root(n) if parent[n] != n else n
            cluster = clusters.get(first)
            if cluster is None:
                clusters[first] = list(indices)
            else:
                cluster.extend(indices)
                joined.append(cluster)
        for cluster in joined:
            cluster.sort()
        return list(clusters.values())


def _format_point(center: Point) -> str:
    return f"({center[0]!r}, {center[1]!r})"


def extract_netlist(component: Layout, allow_multiple: bool = False) -> dict[str, Any]:
    """Instances, placements, connections and exposed ports of a component's layout.

    A connection is recorded wherever exactly two instance ports meet facing
    each other; its key is the reference that sorts first (natural order).
    Three or more ports at one point raise a ValueError, or with
    `allow_multiple` are listed under "nets".
    """
    instances: dict[str, Any] = {}
    placements: dict[str, Any] = {}
    # Each instance port's reference "instance,port", centre and orientation.
    refs: list[str] = []
    centers: list[Point] = []
    orientations: list[float | None] = []
    # What instances of one child share: its name, its ports, and whether its
    # settings are plain values that copy in one step.
    children: dict[int, tuple[str, tuple[Port, ...], bool]] = {}
    for inst in component.insts:
        child = inst.component
        shared = children.get(id(child))
        if shared is None:
            settings = child.settings
            plain = type(settings) is dict and all(type(v) in _ATOMIC for v in settings.values())
            shared = children[id(child)] = (child.name, tuple(child.ports), plain)
        child_name, child_ports, plain = shared
        settings = dict(child.settings) if plain else copy.deepcopy(child.settings)
        name = inst.name
        x, y, rotation, mirror = inst.x, inst.y, inst.rotation, inst.mirrored
        instances[name] = {"component": child_name, "settings": settings}
        placements[name] = {"x": x, "y": y, "rotation": rotation, "mirror": mirror}
        # The instance's ports, worked out here rather than through `inst.ports`,
        # which would keep them on the instance: a layout built only to be
        # extracted is then freed with no ports attached. Plain values take
        # the C++ path, which makes no port objects.
        c, s = cos_sin(rotation)
        placed = _geometry.place_ports(
            Port, name, child_ports, x, y, c, s, rotation, mirror, refs, centers, orientations
        )
        if not placed:
            for port in transformed_ports(child_ports, (x, y), rotation, mirror).values():
                refs.append(f"{name},{port.name}")
                centers.append(port.center)
                orientations.append(port.orientation)

    tops = list(component.ports)
    grid = PortGrid(centers, [top.center for top in tops])
    connections: dict[str, str] = {}
    # The natural sort key of each connection's first reference.
    first_keys: dict[str, tuple[Any, ...]] = {}
    nets: list[list[str]] = []
    for group in grid.groups():
        if len(group) == 2:
            a, b = group
            if _facing(orientations[a], orientations[b]):
                first, second = refs[a], refs[b]
                first_key, second_key = natural_key(first), natural_key(second)
                if second_key < first_key:  # a stable sort of the pair
                    first, second, first_key = second, first, second_key
                connections[first] = second
                first_keys[first] = first_key
        elif len(group) > 2:
            members = sorted((refs[i] for i in group), key=natural_key)
            if not allow_multiple:
                listed = ", ".join(repr(m) for m in members)
                raise ValueError(
                    f"More than two ports meet at {_format_point(centers[group[0]])}: {listed} "
                    "(use allow_multiple=True to report them as nets)"
                )
            nets.append(members)

    exposed: dict[str, str] = {}
    for probe, top in enumerate(tops):
        candidates = grid.near(probe)
        if not candidates:
            continue
        # The direction a port meeting `top` from inside points to, as the
        # port `top.copy(orientation=top.orientation + 180.0)` holds it.
        inward = None if top.orientation is None else float(top.orientation + 180.0)
        same_way = [i for i in candidates if _facing(orientations[i], inward)]
        exposed[top.name] = refs[(same_way or candidates)[0]]

    netlist: dict[str, Any] = {
        "name": component.name,
        "instances": instances,
        "placements": placements,
        "connections": {
            key: connections[key] for key in sorted(connections, key=first_keys.__getitem__)
        },
        "ports": exposed,
    }
    if allow_multiple:
        netlist["nets"] = sorted(nets, key=lambda net: natural_key(net[0]))
    return netlist
