"""A pic's annotated netlist as a schematic drawing for the page.

Every instance stands at its schematic placement with the icon outline of its
component and its ports on the sides their direction letters name; the
circuit's own ports stand at their port placements. Connections are explicit
(declared connections and route links) or implicit (made by the layout only,
as the annotation found them); the page draws the two kinds in two styles.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

__all__ = ["schematic_drawing"]

# Where instances without a placement (their layout could not be built) are
# lined up: below the canvas of the placement stage, one step apart.
UNPLACED_ROW_Y = 650.0
UNPLACED_STEP = 60.0


def _mapping(value: Any) -> Mapping[str, Any]:
    return value if isinstance(value, Mapping) else {}


def _point(value: Any) -> tuple[float, float] | None:
    point = _mapping(value)
    try:
        return float(point["x"]), float(point["y"])
    except (KeyError, TypeError, ValueError):
        return None


def _component(record: Any) -> str:
    if isinstance(record, str):
        return record
    name = _mapping(record).get("component", "")
    return name if isinstance(name, str) else ""


def _pairs(connections: Any) -> list[list[str]]:
    return [[str(a), str(b)] for a, b in _mapping(connections).items()]


def schematic_drawing(netlist: Mapping[str, Any], icons: Mapping[str, str]) -> dict[str, Any]:
    """The drawing of an annotated netlist; ``icons`` maps component names to icon paths."""
    schematic = _mapping(_mapping(netlist.get("info")).get("schematic"))
    placements = _mapping(schematic.get("placements"))
    component_ports = _mapping(schematic.get("component_ports"))
    hierarchical = set(schematic.get("hierarchical") or ())
    instances = []
    unplaced = 0
    for name, record in _mapping(netlist.get("instances")).items():
        component = _component(record)
        point = _point(placements.get(name))
        if point is None:
            point = (100.0 + unplaced * UNPLACED_STEP, UNPLACED_ROW_Y)
            unplaced += 1
        instances.append(
            {
                "name": str(name),
                "component": component,
                "x": point[0],
                "y": point[1],
                "icon": icons.get(component, ""),
                "ports": [
                    [str(p), str(d)] for p, d in _mapping(component_ports.get(component)).items()
                ],
                "hierarchical": component in hierarchical,
            }
        )
    port_placements = _mapping(schematic.get("port_placements"))
    ports = []
    for name, target in _mapping(netlist.get("ports")).items():
        point = _point(port_placements.get(name))
        if point is not None:
            ports.append({"name": str(name), "x": point[0], "y": point[1], "target": str(target)})
    explicit = _pairs(netlist.get("connections"))
    for route in _mapping(netlist.get("routes")).values():
        explicit += _pairs(_mapping(route).get("links"))
    return {
        "instances": instances,
        "ports": ports,
        "explicit": explicit,
        "implicit": _pairs(schematic.get("implicit_connections")),
    }
