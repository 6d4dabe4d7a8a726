"""Stand-ins for layout objects and helpers shared by the netlist stage tests.

The fakes offer only what the stages read: component `ports` and `insts`;
instance `name`, `x`, `y`, `ports`; port `name`, `orientation`, `center`.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any


@dataclass
class FakePort:
    name: Any
    orientation: Any = 0.0
    center: Any = (0.0, 0.0)


@dataclass
class FakeInstance:
    name: str
    x: Any = 0.0
    y: Any = 0.0
    ports: list[FakePort] = field(default_factory=list)


@dataclass
class FakeComponent:
    ports: list[FakePort] = field(default_factory=list)
    insts: list[FakeInstance] = field(default_factory=list)


class FakeLibrary:
    """A `pl` replacement whose get_component serves fixed components by name."""

    def __init__(self, components: dict[str, FakeComponent]) -> None:
        self.components = components
        self.requested: list[Any] = []

    def get_component(self, name: Any) -> FakeComponent:
        self.requested.append(name)
        if name not in self.components:
            raise ValueError(f"unknown component {name!r}")
        return self.components[name]


def outcome(call: Callable[..., Any], *args: Any) -> Any:
    """The call's result, or the type and text of the exception it raised."""
    try:
        return call(*args)
    except Exception as error:
        return type(error), str(error)


def schematic_netlist(**keys: Any) -> dict[str, Any]:
    """A netlist with an empty schematic section, as the pipeline's reset leaves it."""
    schematic = {"implicit_connections": {}, "component_ports": {}, "hierarchical": []}
    schematic.update(placements={}, port_placements={}, manhattan_fractions={})
    netlist = {"instances": {}, "connections": {}, "routes": {}, "ports": {}}
    return {**netlist, "info": {"schematic": schematic}, **keys}
