"""Ports: named, oriented connection points of a component, and references to them."""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any, overload

from polyloom import _geometry
from polyloom.geometry import as_xy, clean, cos_sin

Layer = tuple[int, int]


def as_layer(layer: Any) -> Layer:
    """A (layer, datatype) pair from a pair or a bare layer number."""
    if isinstance(layer, int) and not isinstance(layer, bool):
        return (layer, 0)
    try:
        number, datatype = layer
        return (int(number), int(datatype))
    except (TypeError, ValueError):
        raise ValueError(f"Expected a (layer, datatype) pair, got {layer!r}") from None


def check_name(value: Any, what: str) -> str:
    """`value` when it is a non-empty string; else a ValueError naming `what` ("Port")."""
    if not isinstance(value, str) or not value:
        raise ValueError(f"{what} name must be a non-empty string, got {value!r}")
    return value


@dataclass(frozen=True)
class Port:
    """An immutable port: name, centre (x, y) in micrometres, orientation in degrees.

    The orientation is the direction the port faces, pointing out of the
    component: 0 east, 90 north, 180 west, 270 south. It may be None for
    ports without a direction (some electrical ports).
    """

    name: str
    center: tuple[float, float]
    orientation: float | None
    width: float = 0.5
    layer: Layer = field(default=(1, 0))

    def __post_init__(self) -> None:
        check_name(self.name, "Port")
        object.__setattr__(self, "center", as_xy(self.center, f"port {self.name!r}"))
        if self.orientation is not None:
            object.__setattr__(self, "orientation", float(self.orientation))
        object.__setattr__(self, "width", float(self.width))
        object.__setattr__(self, "layer", as_layer(self.layer))

    def __str__(self) -> str:
        return self.name

    @property
    def x(self) -> float:
        return self.center[0]

    @property
    def y(self) -> float:
        return self.center[1]

    def copy(self, **changes: Any) -> Port:
        """A new port with some fields replaced."""
        if changes.keys() == {"name"}:  # a rename: the other fields are checked already
            name = check_name(changes["name"], "Port")
            return clean_port(name, self.center, self.orientation, self.width, self.layer)
        values = {
            "name": self.name,
            "center": self.center,
            "orientation": self.orientation,
            "width": self.width,
            "layer": self.layer,
        }
        values.update(changes)
        return Port(**values)

    def transformed(
        self,
        origin: tuple[float, float] = (0.0, 0.0),
        rotation: float = 0.0,
        mirror: bool = False,
    ) -> Port:
        """This port mirrored across x (if asked), rotated about (0, 0), then moved."""
        return transformed_ports((self,), origin, rotation, mirror)[self.name]

    def moved(self, dx: float, dy: float) -> Port:
        return self.copy(center=(clean(self.center[0] + dx), clean(self.center[1] + dy)))


_new_object = object.__new__
_set_field = object.__setattr__  # past the frozen dataclass's guard


def clean_port(
    name: str,
    center: tuple[float, float],
    orientation: float | None,
    width: float,
    layer: Layer,
) -> Port:
    """A `Port` from fields already in the form its checks give them.

    That is a non-empty name, a pair of floats, a float or None, a float and
    a pair of ints: the fields of another port, or values computed from them.
    Skipping the checks matters where ports are made by the thousand.
    """
    port = _new_object(Port)
    _set_field(port, "name", name)
    _set_field(port, "center", center)
    _set_field(port, "orientation", orientation)
    _set_field(port, "width", width)
    _set_field(port, "layer", layer)
    return port


def transformed_ports(
    ports: Iterable[Port],
    origin: tuple[float, float] = (0.0, 0.0),
    rotation: float = 0.0,
    mirror: bool = False,
) -> dict[str, Port]:
    """The ports mirrored across x (if asked), rotated about (0, 0), then moved, by name.

    Centres are rounded to drop floating-point noise (`geometry.clean`) and
    orientations reduced into [0, 360), exactly as `geometry.transform_point`
    and `geometry.transform_angle` do; the rotation is looked up once, and
    plain ports are moved in C++.
    """
    if not isinstance(ports, tuple):
        ports = tuple(ports)
    c, s = cos_sin(rotation)
    ox, oy = origin[0], origin[1]
    moved = _geometry.transformed_ports(Port, ports, ox, oy, c, s, rotation, mirror)
    if moved is not None:
        return moved
    # Values that are not plain floats, and ports of other types: the same in Python.
    result: dict[str, Port] = {}
    for port in ports:
        x, y = port.center
        if mirror:
            y = -y
        center = (clean(ox + c * x - s * y), clean(oy + s * x + c * y))
        orientation = port.orientation
        if orientation is not None:
            angle = float((-orientation if mirror else orientation) + rotation) % 360.0
            orientation = 0.0 if angle >= 360.0 else angle + 0.0
        result[port.name] = clean_port(port.name, center, orientation, port.width, port.layer)
    return result


def split_reference(ref: Any) -> tuple[str, str]:
    """The instance name and port name of an instance-port reference "inst,port".

    The reference must split on "," into exactly two parts; blanks around each
    part are dropped. Anything else raises a ValueError naming the reference.
    """
    parts = ref.split(",") if isinstance(ref, str) else ()
    if len(parts) != 2:
        raise ValueError(f"Invalid instance-port reference {ref!r}: expected 'instance,port'")
    instance, port = parts
    return instance.strip(), port.strip()


class PortNotFoundError(KeyError):
    """A port name that a collection of ports does not hold.

    A `KeyError`, so that mapping-style code keeps working, whose text is the
    plain message (a bare `KeyError` would print only the quoted name).
    """

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""


class Ports:
    """An ordered, read-only collection of ports.

    Iterating yields `Port` objects in the order they were added; indexing by
    name (or by position) and `in` by name (or by port) work as well.
    """

    __slots__ = ("_ports", "_owner", "_values")

    def __init__(self, ports: Iterable[Port] | dict[str, Port] = (), owner: str = "") -> None:
        if isinstance(ports, dict):
            self._ports: dict[str, Port] = ports
        else:
            self._ports = {}
            for port in ports:
                self._ports[port.name] = port
        self._owner = owner
        self._values: tuple[Port, ...] | None = None

    def _ordered(self) -> tuple[Port, ...]:
        if self._values is None:
            self._values = tuple(self._ports.values())
        return self._values

    def __iter__(self) -> Iterator[Port]:
        return iter(self._ordered())

    def __len__(self) -> int:
        return len(self._ports)

    def __bool__(self) -> bool:
        return bool(self._ports)

    @overload
    def __getitem__(self, key: str) -> Port: ...
    @overload
    def __getitem__(self, key: int) -> Port: ...
    def __getitem__(self, key: str | int) -> Port:
        if isinstance(key, int):
            return self._ordered()[key]
        try:
            return self._ports[key]
        except KeyError:
            where = f" of {self._owner}" if self._owner else ""
            available = ", ".join(self._ports) or "none"
            raise PortNotFoundError(
                f"Port {key!r} not found{where}; available: {available}"
            ) from None

    def __contains__(self, key: object) -> bool:
        if isinstance(key, Port):
            return self._ports.get(key.name) == key
        return key in self._ports

    def get(self, name: str, default: Port | None = None) -> Port | None:
        return self._ports.get(name, default)

    def names(self) -> list[str]:
        return list(self._ports)

    keys = names

    def values(self) -> list[Port]:
        return list(self._ordered())

    def items(self) -> list[tuple[str, Port]]:
        return list(self._ports.items())

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Ports):
            return list(self._ports.items()) == list(other._ports.items())
        return NotImplemented

    def __repr__(self) -> str:
        return f"Ports({list(self._ports.values())!r})"
