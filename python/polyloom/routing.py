"""A small Manhattan router: straights and 90 degree bends between two ports.

The route leaves the first port along its orientation and enters the second
port against its orientation. Waypoints are found in a frame where the first
port sits at (0, 0) facing east; every corner becomes a bend, so each segment
must leave room for the bends at its ends (one radius per bend).
"""

from __future__ import annotations

from typing import Any

from polyloom.component import Component, Instance
from polyloom.geometry import cos_sin, normalize_angle
from polyloom.pdk import Pdk, current_pdk
from polyloom.port import Port

TOLERANCE = 1e-6  # micrometres


def _manhattan_orientation(port: Port, label: str) -> float:
    if port.orientation is None or normalize_angle(port.orientation) % 90.0 != 0.0:
        raise ValueError(
            f"Cannot route {label} port {port.name!r}: orientation {port.orientation!r} "
            "is not a multiple of 90 degrees"
        )
    return normalize_angle(port.orientation)


def _waypoints_east(x: float, y: float, arrival: float, r: float) -> list[tuple[float, float]]:
    """Waypoints from (0, 0) heading east to (x, y) arriving with heading `arrival`."""
    if arrival == 270.0:  # arriving southwards: mirror image of arriving northwards
        return [(px, -py) for px, py in _waypoints_east(x, -y, 90.0, r)]
    if arrival == 0.0:
        if abs(y) < TOLERANCE and x > -TOLERANCE:
            return [(0.0, 0.0), (x, y)]
        if x >= 2 * r and abs(y) >= 2 * r:
            return [(0.0, 0.0), (x / 2, 0.0), (x / 2, y), (x, y)]
        # Too close for an S-shape: loop out and back.
        ym = y / 2 if abs(y) >= 4 * r else (max(y, 0.0) + 2 * r)
        b = min(x - r, -r)
        return [(0.0, 0.0), (r, 0.0), (r, ym), (b, ym), (b, y), (x, y)]
    if arrival == 180.0:  # U-turn
        if abs(y) >= 2 * r:
            a = max(0.0, x) + r
            return [(0.0, 0.0), (a, 0.0), (a, y), (x, y)]
        ym = max(y, 0.0) + 2 * r
        a = max(r, x + 3 * r)
        b = a - 2 * r
        return [(0.0, 0.0), (a, 0.0), (a, ym), (b, ym), (b, y), (x, y)]
    # arrival == 90.0: arriving northwards
    if x >= r and y >= r:
        return [(0.0, 0.0), (x, 0.0), (x, y)]
    ym = min(y - r, -2 * r)
    a = r if x >= 3 * r else max(r, x + 2 * r)
    return [(0.0, 0.0), (a, 0.0), (a, ym), (x, ym), (x, y)]


def manhattan_waypoints(start: Port, end: Port, radius: float) -> list[tuple[float, float]]:
    """Corner points of a Manhattan route from `start` into `end`, both included."""
    o1 = _manhattan_orientation(start, "start")
    o2 = _manhattan_orientation(end, "end")
    c, s = cos_sin(-o1)
    dx, dy = end.center[0] - start.center[0], end.center[1] - start.center[1]
    x, y = c * dx - s * dy, s * dx + c * dy
    arrival = normalize_angle(o2 + 180.0 - o1)
    local = _waypoints_east(x, y, arrival, radius)
    c, s = cos_sin(o1)
    sx, sy = start.center
    return [(sx + c * px - s * py, sy + s * px + c * py) for px, py in local]


def route_manhattan(
    component: Component,
    start: Port,
    end: Port,
    cross_section: Any = None,
    radius: float | None = None,
    name_prefix: str = "route",
    pdk: Pdk | None = None,
) -> list[Instance]:
    """Add straights and bends to `component` joining `start` to `end`.

    Instances are named `<name_prefix>_<n>`; names already taken get a suffix.
    """
    pdk = pdk or current_pdk()
    xs = pdk.get_cross_section(cross_section)
    r = float(radius if radius is not None else xs.radius)
    xs_setting = (
        xs.name if isinstance(cross_section, str) or cross_section is None else cross_section
    )
    points = manhattan_waypoints(start, end, r)

    bend_name = "bend_euler" if "bend_euler" in pdk.cells else "bend_circular"
    bend_settings: dict[str, Any] = {"cross_section": xs_setting}
    if radius is not None:
        bend_settings["radius"] = r
    bend = pdk.get_component(bend_name, **bend_settings)
    instances: list[Instance] = []
    port = start
    count = len(points) - 1
    for index in range(count):
        (x0, y0), (x1, y1) = points[index], points[index + 1]
        length = abs(x1 - x0) + abs(y1 - y0)
        length -= (r if index > 0 else 0.0) + (r if index < count - 1 else 0.0)
        if length < -TOLERANCE:
            raise ValueError(
                f"Cannot route {start.name!r} to {end.name!r}: ports too close for bends "
                f"of radius {r}"
            )
        if length > TOLERANCE:
            wg = pdk.get_component("straight", length=round(length, 9), cross_section=xs_setting)
            inst = component.add_ref(
                wg, component._fresh_instance_name(f"{name_prefix}_{len(instances)}")
            )
            inst.connect(wg.ports[0].name, port)
            port = inst.ports[1]
            instances.append(inst)
        if index < count - 1:
            (x2, y2) = points[index + 2]
            turn = (x1 - x0) * (y2 - y1) - (y1 - y0) * (x2 - x1)
            inst = component.add_ref(
                bend, component._fresh_instance_name(f"{name_prefix}_{len(instances)}")
            )
            inst.connect("o1", port, mirror=turn < 0)
            port = inst.ports["o2"]
            instances.append(inst)
    return instances
