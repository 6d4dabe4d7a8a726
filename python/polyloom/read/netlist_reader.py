"""Building components from pic netlists (mappings, YAML text or .pic.yml files)."""

from __future__ import annotations

import math
import sys
from collections.abc import Mapping
from pathlib import Path
from typing import Any

import yaml

from polyloom.component import Component, Instance
from polyloom.pdk import Pdk, current_pdk
from polyloom.port import Port, split_reference
from polyloom.read.pic_yaml import safe_load
from polyloom.routing import route_manhattan

PLACEMENT_KEYS = ("x", "y", "rotation", "mirror", "dx", "dy")


def _load_file(path: Path) -> Any:
    # Parsing the open file (not its text) makes YAML errors name the file.
    with open(path, encoding="utf-8") as stream:
        return safe_load(stream)


def load_netlist(netlist: Any) -> Any:
    """The netlist as a Python value: mappings pass through, paths and YAML text are read."""
    if isinstance(netlist, Path):
        return _load_file(netlist)
    if isinstance(netlist, str):
        stripped = netlist.strip()
        if "\n" not in stripped and stripped.endswith((".yml", ".yaml")):
            path = Path(stripped)
            if not path.is_file():
                raise FileNotFoundError(f"Netlist file {stripped!r} does not exist")
            return _load_file(path)
        return safe_load(netlist)
    return netlist


class _Builder:
    def __init__(self, component: Component, pdk: Pdk, pic: str | None) -> None:
        self.component = component
        self.pdk = pdk
        # " in pic 'name'" for messages, empty when the netlist has no name.
        self.in_pic = f" in pic {pic!r}" if pic else ""
        self.instances: dict[str, Instance] = {}
        # The parts of placements that a connection overrides (all but mirror).
        self.placements: dict[str, dict[str, Any]] = {}
        # (instance, port) -> the connection or route link using that port.
        self.uses: dict[tuple[str, str], str] = {}

    def use(self, key: tuple[str, str], user: str) -> None:
        """Claim the port (instance, port) for `user`; a waveguide port has one neighbour."""
        earlier = self.uses.get(key)
        if earlier is not None:
            instance, port = key
            raise ValueError(
                f"Port {port!r} of instance {instance!r} is used twice{self.in_pic}: "
                f"by {earlier} and by {user}"
            )
        self.uses[key] = user

    def instance(self, name: Any) -> Instance:
        inst = self.instances.get(name)
        if inst is None:
            available = ", ".join(self.instances) or "none"
            raise ValueError(f"Instance {name!r} not found; available: {available}")
        return inst

    def locate(self, ref: Any) -> tuple[tuple[str, str], Instance]:
        """The (instance, port) names of `ref`, and the instance, which has that port."""
        key = split_reference(ref)
        instance_name, port_name = key
        inst = self.instance(instance_name)
        own = inst.component.ports
        if port_name not in own:
            available = ", ".join(own.names()) or "none"
            raise ValueError(
                f"Port {port_name!r} not found on instance {instance_name!r} "
                f"(component {inst.component.name!r}); available: {available}"
            )
        return key, inst

    def port(self, ref: Any) -> tuple[tuple[str, str], Port]:
        """The (instance, port) names of `ref` and that port where the instance is now."""
        key, inst = self.locate(ref)
        port = inst._port(key[1])
        assert port is not None  # located
        return key, port

    def add_instances(self, records: Any) -> None:
        for name, record in _mapping(records, "instances").items():
            if not isinstance(name, str) or not name:
                raise ValueError(f"Instance names must be non-empty strings, got {name!r}")
            if "," in name:
                raise ValueError(f"Instance name {name!r} must not contain a comma")
            if isinstance(record, str):
                component_name, settings = record, {}
            elif type(record) is dict or isinstance(record, Mapping):
                if "component" not in record:
                    raise ValueError(f"Instance {name!r} has no 'component'")
                component_name = record["component"]
                settings = _mapping(record.get("settings"), "settings of instance {!r}", name)
            else:
                raise ValueError(
                    f"Instance {name!r} must be a component name or a mapping, "
                    f"got {type(record).__name__}"
                )
            child = self.pdk.get_component(component_name, **settings)
            self.instances[name] = self.component.add_ref(child, name)

    def place(self, placements: Any) -> None:
        for name, placement in _mapping(placements, "placements").items():
            inst = self.instance(name)
            values = _mapping(placement, "placement of instance {!r}", name)
            for key in values:
                if key not in PLACEMENT_KEYS:
                    raise ValueError(
                        f"Unknown placement key {key!r} for instance {name!r}; "
                        f"expected any of: {', '.join(PLACEMENT_KEYS)}"
                    )
            mirror = values.get("mirror", False)
            if not isinstance(mirror, bool):
                raise ValueError(
                    f"Placement mirror of instance {name!r} must be true or false, got {mirror!r}"
                )
            moves = {key: value for key, value in values.items() if key != "mirror"}
            if moves:
                self.placements[name] = moves
            rotation = _number(values, "rotation", name)
            x = _number(values, "x", name)
            y = _number(values, "y", name)
            dx = _number(values, "dx", name)
            dy = _number(values, "dy", name)
            inst._set_transform(x, y, rotation, mirror)
            if dx or dy:  # a move by nothing leaves the clean x and y as they are
                inst.move(dx, dy)

    def connect(self, connections: Any) -> None:
        for first, second in _mapping(connections, "connections").items():
            # Only the ports in use are worked out: all of them are once the
            # instances stand where they belong.
            first_key, fixed = self.port(first)
            second_key, moving = self.locate(second)
            connection = f"connection {first!r}: {second!r}"
            self.use(first_key, connection)
            self.use(second_key, connection)
            moving_name, moving_port = second_key
            placement = self.placements.pop(moving_name, None)
            if placement is not None:  # popped: one warning per instance
                print(
                    f"warning: placement {_flow_yaml(placement)} of instance {moving_name!r}"
                    f"{self.in_pic} is ignored: {connection} moves it",
                    file=sys.stderr,
                )
            moving.connect(moving_port, fixed)

    def route(self, routes: Any) -> None:
        for route_name, record in _mapping(routes, "routes").items():
            route = _mapping(record, "route {!r}", route_name)
            settings = dict(_mapping(route.get("settings"), "settings of route {!r}", route_name))
            cross_section = settings.pop("cross_section", None)
            radius = settings.pop("radius", None)
            if settings:
                raise ValueError(
                    f"Unknown settings for route {route_name!r}: {', '.join(map(str, settings))}"
                )
            links = _mapping(route.get("links"), "links of route {!r}", route_name)
            for index, (first, second) in enumerate(links.items()):
                first_key, start = self.port(first)
                second_key, end = self.port(second)
                link = f"route {route_name!r} link {first!r}: {second!r}"
                self.use(first_key, link)
                self.use(second_key, link)
                route_manhattan(
                    self.component,
                    start,
                    end,
                    cross_section=cross_section,
                    radius=radius,
                    name_prefix=f"route_{route_name}_{index}",
                    pdk=self.pdk,
                )

    def expose(self, ports: Any) -> None:
        for name, ref in _mapping(ports, "ports").items():
            if not isinstance(name, str) or not name:
                raise ValueError(f"Port names must be non-empty strings, got {name!r}")
            _, port = self.port(ref)
            self.component.add_port(name, port=port)


def _mapping(value: Any, what: str, *names: Any) -> Mapping[Any, Any]:
    """`value` ({} for None), which must be a mapping; `what`, formatted with the
    reprs in `names` when there is something wrong, says which value it is."""
    if value is None:
        return {}
    if type(value) is not dict and not isinstance(value, Mapping):
        what = what.format(*names)
        raise ValueError(
            f"{what[0].upper()}{what[1:]} must be a mapping, got {type(value).__name__}"
        )
    return value


def _flow_yaml(value: dict[str, Any]) -> str:
    """`value` as one line of YAML, as a pic file would write it inline."""
    if all(type(number) in (int, float) for number in value.values()):
        # Placement numbers, written here as PyYAML's safe dumper writes them
        # (its emitter, in Python, would take most of the time of a build).
        return "{" + ", ".join(f"{key}: {_yaml_number(n)}" for key, n in value.items()) + "}"
    return yaml.safe_dump(value, default_flow_style=True, sort_keys=False, width=math.inf).strip()


def _yaml_number(number: float) -> str:
    """An int or float as PyYAML's safe representer writes it (a plain scalar)."""
    if type(number) is int:
        return str(number)
    if number != number:
        return ".nan"
    if number in (math.inf, -math.inf):
        return ".inf" if number > 0 else "-.inf"
    text = repr(number).lower()
    # "1e+17" is no YAML float: PyYAML writes "1.0e+17".
    return text.replace("e", ".0e", 1) if "." not in text and "e" in text else text


def _number(values: Mapping[str, Any], key: str, instance: str) -> float:
    value = values.get(key, 0.0)
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(
            f"Placement {key} of instance {instance!r} must be a number, got {value!r}"
        )
    return float(value)


def from_yaml(netlist: Any, name: str | None = None) -> Component:
    """Build a component from a pic netlist.

    `netlist` is a mapping, YAML text, or the path of a .pic.yml file. The
    instances keep the netlist's names; placements are applied first, then
    connections (the second instance of each moves onto the first, dropping
    its placement with a warning on standard error), then routes, then the
    exposed ports. A port may take part in one connection or route link
    only; a second use is a ValueError. `name` (or the netlist's "name") names
    the component. Nothing is written to disk.
    """
    data = load_netlist(netlist)
    if not isinstance(data, Mapping):
        raise ValueError(f"Netlist must be a mapping, got {type(data).__name__}")
    component_name = name if name is not None else data.get("name")
    if component_name is not None and not isinstance(component_name, str):
        raise ValueError(f"Netlist name must be a string, got {component_name!r}")
    component = Component(component_name or None)
    builder = _Builder(component, current_pdk(), component_name)
    builder.add_instances(data.get("instances"))
    builder.place(data.get("placements"))
    builder.connect(data.get("connections"))
    builder.route(data.get("routes"))
    builder.expose(data.get("ports"))
    return component
