"""Components (cells of layout) and instances (placed references to them)."""

from __future__ import annotations

import copy
import itertools
import operator
from collections.abc import Callable, Iterable
from typing import Any

import gdstk
import numpy as np

from polyloom.gds import write_gds
from polyloom.geometry import (
    as_xy,
    clean,
    cos_sin,
    normalize_angle,
    transform_point,
    transform_points,
)
from polyloom.layout import hierarchy
from polyloom.netlist import extract_netlist
from polyloom.port import Layer, Port, Ports, as_layer, check_name, transformed_ports

LayerLookup = Callable[[str], Layer]

_unnamed_counter = itertools.count(1)

# Turns layer names ("WG") into (layer, datatype) pairs. The names belong to a
# PDK, so the PDK layer installs this (see `set_layer_lookup`).
_layer_lookup: LayerLookup | None = None


def set_layer_lookup(lookup: LayerLookup) -> None:
    """Install how `add_polygon` and `add_port` look up layer names."""
    global _layer_lookup
    _layer_lookup = lookup


def _resolve_layer(layer: Any) -> Layer:
    """A (layer, datatype) pair from a pair, a number or a layer name."""
    if not isinstance(layer, str):
        return as_layer(layer)
    if _layer_lookup is None:
        raise ValueError(f"Layer name {layer!r} needs a PDK to look it up")
    return _layer_lookup(layer)


def _bbox_edge(corner: int, axis: int, doc: str) -> Any:
    """A read-only property: coordinate `axis` of bounding box corner `corner` (0 min, 1 max)."""
    return property(lambda c: float(c.bbox[corner][axis]), doc=doc)


class Component:
    """A named cell of layout: polygons, ports and instances of other components.

    Components returned by cell functions are cached and locked: they must not
    be changed. Call `dup()` for an editable copy.
    """

    def __init__(self, name: str | None = None) -> None:
        self._name = ""
        self.name = name if name is not None else f"Unnamed_{next(_unnamed_counter)}"
        self._polygons: list[gdstk.Polygon] = []
        self._ports: dict[str, Port] = {}
        # Read-only snapshot handed out by `ports`; rebuilt after add_port.
        self._ports_view: Ports | None = None
        self._insts: list[Instance] = []
        # Instance names index, so name checks stay constant-time in big circuits.
        self._inst_names: dict[str, Instance] = {}
        self.info: dict[str, Any] = {}
        self.settings: dict[str, Any] = {}
        self.function_name: str | None = None
        self._locked = False
        # Set once this component is placed in another: only then can it
        # occur below a component it is asked to contain.
        self._referenced = False

    # -- identity -----------------------------------------------------------

    @property
    def name(self) -> str:
        """The component's name; its GDS cell is named after it."""
        return self._name

    @name.setter
    def name(self, value: str) -> None:
        check_name(value, "Component")
        self._check_unlocked()
        self._name = value
        self._ports_view = None  # its error texts name the component

    @property
    def locked(self) -> bool:
        return self._locked

    def lock(self) -> None:
        """Forbid further changes (done for components held in a cell cache)."""
        self._locked = True

    def _check_unlocked(self) -> None:
        if getattr(self, "_locked", False):
            raise ValueError(
                f"Component {self._name!r} is locked (it is shared through a cell cache); "
                "call dup() for an editable copy"
            )

    def __repr__(self) -> str:
        return (
            f"Component({self._name!r}, polygons={len(self._polygons)}, "
            f"ports={list(self._ports)}, insts={len(self._insts)})"
        )

    # -- geometry -------------------------------------------------------------

    def add_polygon(self, points: Any, layer: Any = (1, 0)) -> gdstk.Polygon:
        """Add a polygon given by its vertices (or a gdstk polygon) on a layer."""
        self._check_unlocked()
        number, datatype = _resolve_layer(layer)
        if isinstance(points, gdstk.Polygon):
            points = points.points
        pts = np.asarray(points, dtype=float)
        if pts.ndim != 2 or pts.shape[1] != 2 or len(pts) < 3:
            raise ValueError(f"A polygon needs at least 3 (x, y) points, got shape {pts.shape}")
        polygon = gdstk.Polygon(pts, layer=number, datatype=datatype)
        self._polygons.append(polygon)
        return polygon

    @property
    def polygons(self) -> list[gdstk.Polygon]:
        """This component's own polygons (after `flatten()`, those of the whole hierarchy)."""
        return list(self._polygons)

    def get_polygons(self, by_layer: bool = False) -> Any:
        """All polygons of the hierarchy in this component's frame.

        With `by_layer`, a mapping of (layer, datatype) to lists of polygons.
        """
        flat = list(self._iter_flat_polygons((0.0, 0.0), 0.0, False))
        if not by_layer:
            return flat
        grouped: dict[Layer, list[gdstk.Polygon]] = {}
        for polygon in flat:
            grouped.setdefault((polygon.layer, polygon.datatype), []).append(polygon)
        return grouped

    def _iter_flat_polygons(
        self, origin: tuple[float, float], rotation: float, mirror: bool
    ) -> Iterable[gdstk.Polygon]:
        identity = origin == (0.0, 0.0) and rotation == 0.0 and not mirror
        for polygon in self._polygons:
            if identity:
                yield polygon.copy()
            else:
                pts = transform_points(polygon.points, origin, rotation, mirror)
                yield gdstk.Polygon(pts, layer=polygon.layer, datatype=polygon.datatype)
        for inst in self._insts:
            # Compose: outer(inner(p)) = origin + R(rot) M(mirror) (t + R(r) M(m) p)
            inner_origin = transform_point((inst.x, inst.y), origin, rotation, mirror)
            inner_rotation = (-inst.rotation if mirror else inst.rotation) + rotation
            inner_mirror = mirror != inst.mirrored
            yield from inst.component._iter_flat_polygons(
                inner_origin, normalize_angle(inner_rotation), inner_mirror
            )

    @property
    def layers(self) -> list[Layer]:
        """The (layer, datatype) pairs used anywhere in the hierarchy, in first-seen order."""
        seen: dict[Layer, None] = {}
        for component in hierarchy(self):
            for polygon in component.polygons:
                seen.setdefault((polygon.layer, polygon.datatype), None)
        return list(seen)

    @property
    def bbox(self) -> np.ndarray:
        """Bounding box of the whole hierarchy: [[xmin, ymin], [xmax, ymax]]; zeros if empty."""
        box = self._bbox_in((0.0, 0.0), 0.0, False)
        if box is None:
            return np.zeros((2, 2))
        return box

    def _bbox_in(
        self,
        origin: tuple[float, float],
        rotation: float,
        mirror: bool,
        own_boxes: dict[int, np.ndarray | None] | None = None,
    ) -> np.ndarray | None:
        """Bounding box under a transform; `own_boxes` memoises untransformed child boxes."""
        if own_boxes is None:
            own_boxes = {}
        boxes: list[np.ndarray] = []
        if self._polygons:
            pts = np.concatenate([p.points for p in self._polygons])
            if origin != (0.0, 0.0) or rotation != 0.0 or mirror:
                pts = transform_points(pts, origin, rotation, mirror)
            boxes.append(np.array([pts.min(axis=0), pts.max(axis=0)]))
        for inst in self._insts:
            inner_origin = transform_point((inst.x, inst.y), origin, rotation, mirror)
            inner_rotation = normalize_angle(
                (-inst.rotation if mirror else inst.rotation) + rotation
            )
            inner_mirror = mirror != inst.mirrored
            child_component = inst.component
            if inner_rotation % 90.0 == 0.0:
                # Axis-aligned: the child's own box maps exactly onto the parent's.
                key = id(child_component)
                if key not in own_boxes:
                    own_boxes[key] = child_component._bbox_in((0.0, 0.0), 0.0, False, own_boxes)
                child = own_boxes[key]
                if child is None:
                    continue
                corners = np.array(
                    [child[0], child[1], [child[0][0], child[1][1]], [child[1][0], child[0][1]]]
                )
                corners = transform_points(corners, inner_origin, inner_rotation, inner_mirror)
                boxes.append(np.array([corners.min(axis=0), corners.max(axis=0)]))
            else:
                child = child_component._bbox_in(
                    inner_origin, inner_rotation, inner_mirror, own_boxes
                )
                if child is not None:
                    boxes.append(child)
        if not boxes:
            return None
        stacked = np.concatenate(boxes)
        return np.array([stacked.min(axis=0), stacked.max(axis=0)])

    xmin = _bbox_edge(0, 0, "Left edge of the bounding box.")
    ymin = _bbox_edge(0, 1, "Bottom edge of the bounding box.")
    xmax = _bbox_edge(1, 0, "Right edge of the bounding box.")
    ymax = _bbox_edge(1, 1, "Top edge of the bounding box.")

    # -- ports ----------------------------------------------------------------

    def add_port(
        self,
        name: str | Port | None = None,
        center: Any = None,
        orientation: float | None = None,
        width: float = 0.5,
        layer: Any = (1, 0),
        port: Port | None = None,
    ) -> Port:
        """Add a port, given by its fields or as a `Port` (renamed when `name` is given)."""
        self._check_unlocked()
        if isinstance(name, Port):
            name, port = None, name
        if port is not None:
            new = port if name is None else port.copy(name=name)
        else:
            if name is None or center is None:
                raise ValueError("add_port needs a name and a center, or a Port")
            new = Port(name, center, orientation, width, _resolve_layer(layer))
        if new.name in self._ports:
            raise ValueError(f"Port {new.name!r} already exists in component {self._name!r}")
        self._ports[new.name] = new
        self._ports_view = None
        return new

    def add_ports(self, ports: Iterable[Port], prefix: str = "") -> None:
        for port in ports:
            self.add_port(port=port.copy(name=prefix + port.name))

    @property
    def ports(self) -> Ports:
        view = self._ports_view
        if view is None:
            view = Ports(dict(self._ports), owner=f"component {self._name!r}")
            self._ports_view = view
        return view

    # -- hierarchy ------------------------------------------------------------

    def add_ref(self, component: Component, name: str | None = None) -> Instance:
        """Add an instance of `component`, named `name` or after the component."""
        self._check_unlocked()
        if not isinstance(component, Component):
            raise TypeError(f"Expected a Component, got {type(component).__name__}")
        if component is self or (self._referenced and any(c is self for c in hierarchy(component))):
            raise ValueError(f"Component {component.name!r} cannot contain itself")
        if name is None:
            name = self._fresh_instance_name(component.name)
        elif name in self._inst_names:
            raise ValueError(f"Instance name {name!r} is already used in component {self._name!r}")
        inst = Instance(component, name, parent=self)
        self._insts.append(inst)
        self._inst_names[name] = inst
        component._referenced = True
        return inst

    def __lshift__(self, component: Component) -> Instance:
        return self.add_ref(component)

    @property
    def insts(self) -> list[Instance]:
        return list(self._insts)

    def _instance_named(self, name: str) -> Instance | None:
        return self._inst_names.get(name)

    def _fresh_instance_name(self, base: str) -> str:
        taken = self._inst_names
        if base not in taken:
            return base
        for i in itertools.count(1):
            candidate = f"{base}_{i}"
            if candidate not in taken:
                return candidate
        raise AssertionError("unreachable")

    def remove_instance(self, inst: Instance) -> None:
        self._check_unlocked()
        self._insts.remove(inst)
        del self._inst_names[inst.name]
        inst._parent = None

    # -- copies and transforms of the whole ----------------------------------

    def dup(self) -> Component:
        """An independent, unlocked copy; instances still reference the same children."""
        new = Component(self._name)
        new._polygons = [p.copy() for p in self._polygons]
        new._ports = dict(self._ports)
        for inst in self._insts:
            copied = Instance(inst.component, inst.name, parent=new)
            copied._x, copied._y = inst._x, inst._y
            copied._rotation, copied._mirror = inst._rotation, inst._mirror
            new._insts.append(copied)
            new._inst_names[copied.name] = copied
        new.info = copy.deepcopy(self.info)
        new.settings = copy.deepcopy(self.settings)
        new.function_name = self.function_name
        return new

    def flatten(self) -> Component:
        """Bring every instance's polygons to the top level and drop the instances."""
        self._check_unlocked()
        self._polygons = list(self._iter_flat_polygons((0.0, 0.0), 0.0, False))
        for inst in self._insts:
            inst._parent = None
        self._insts = []
        self._inst_names = {}
        return self

    # -- output ---------------------------------------------------------------

    def write_gds(self, path: Any) -> Any:
        """Write the hierarchy to a GDS file (one cell per distinct component)."""
        return write_gds(self, path)

    def get_netlist(self, allow_multiple: bool = False) -> dict[str, Any]:
        """The netlist this layout really makes (instances, placements, connections, ports)."""
        return extract_netlist(self, allow_multiple=allow_multiple)


def _transform_part(attribute: str, convert: Callable[[Any], Any], doc: str) -> Any:
    """A property for one part of an instance's transform, stored converted in `attribute`.

    Setting it is a change of the parent component, so a locked parent refuses it.
    """

    def set_(inst: Instance, value: Any) -> None:
        inst._check_unlocked()
        setattr(inst, attribute, convert(value))

    return property(operator.attrgetter(attribute), set_, doc=doc)


class Instance:
    """A placement of a component inside a parent component.

    The transform maps a point p of the component to origin + R(rotation) M p,
    where M mirrors across the x axis when `mirror` is set.
    """

    def __init__(self, component: Component, name: str, parent: Component | None = None) -> None:
        self.component = component
        self._name = name
        self._parent = parent
        self._x = 0.0
        self._y = 0.0
        self._rotation = 0.0
        self._mirror = False
        # (component ports snapshot, name and transform, result) of the last `ports`.
        self._ports_cache: tuple[Ports, tuple[str, float, float, float, bool], Ports] | None = None

    def __repr__(self) -> str:
        return (
            f"Instance({self._name!r}, component={self.component.name!r}, x={self._x}, "
            f"y={self._y}, rotation={self._rotation}, mirrored={self._mirror})"
        )

    def _check_unlocked(self) -> None:
        if self._parent is not None:
            self._parent._check_unlocked()

    @property
    def name(self) -> str:
        return self._name

    @name.setter
    def name(self, value: str) -> None:
        if check_name(value, "Instance") == self._name:
            return
        self._check_unlocked()
        if self._parent is not None and self._parent._instance_named(value) is not None:
            raise ValueError(
                f"Instance name {value!r} is already used in component {self._parent.name!r}"
            )
        if self._parent is not None:
            del self._parent._inst_names[self._name]
            self._parent._inst_names[value] = self
        self._name = value

    # -- transform state ------------------------------------------------------

    x = _transform_part("_x", clean, "The x coordinate of the component's origin in the parent.")
    y = _transform_part("_y", clean, "The y coordinate of the component's origin in the parent.")
    rotation = _transform_part(
        "_rotation", normalize_angle, "Counter-clockwise rotation in degrees, in [0, 360)."
    )
    mirrored = _transform_part(
        "_mirror",
        bool,
        "Whether the component is mirrored across its own x axis (before rotation).",
    )

    def _set_transform(self, x: float, y: float, rotation: float, mirrored: bool) -> None:
        """Set `mirrored`, `rotation`, `x` and `y`, in this order, in one step."""
        self._check_unlocked()
        self._mirror = bool(mirrored)
        self._rotation = normalize_angle(rotation)
        self._x = clean(x)
        self._y = clean(y)

    @property
    def center(self) -> tuple[float, float]:
        box = self.bbox
        return (clean((box[0][0] + box[1][0]) / 2), clean((box[0][1] + box[1][1]) / 2))

    # -- derived geometry -----------------------------------------------------

    def transform_point(self, point: tuple[float, float]) -> tuple[float, float]:
        """A point of the component in the parent's frame."""
        return transform_point(point, (self._x, self._y), self._rotation, self._mirror)

    @property
    def ports(self) -> Ports:
        own = self.component.ports
        state = (self._name, self._x, self._y, self._rotation, self._mirror)
        cached = self._ports_cache
        if cached is not None and cached[0] is own and cached[1] == state:
            return cached[2]
        transformed = transformed_ports(own, (self._x, self._y), self._rotation, self._mirror)
        ports = Ports(transformed, owner=f"instance {self._name!r}")
        self._ports_cache = (own, state, ports)
        return ports

    def _port(self, name: str) -> Port | None:
        """The component's port `name` in the parent's frame (None if it has none).

        Transforms only that port unless all of them are at hand already, and
        keeps nothing: an instance being placed is asked for one port at each
        step.
        """
        cached = self._ports_cache
        if (
            cached is not None
            and cached[0] is self.component._ports_view
            and cached[1] == (self._name, self._x, self._y, self._rotation, self._mirror)
        ):
            return cached[2].get(name)
        port = self.component._ports.get(name)
        if port is None:
            return None
        return transformed_ports((port,), (self._x, self._y), self._rotation, self._mirror)[name]

    @property
    def bbox(self) -> np.ndarray:
        box = self.component._bbox_in((self._x, self._y), self._rotation, self._mirror)
        if box is None:
            return np.zeros((2, 2))
        return box

    # -- transforms (each returns self so calls can be chained) ---------------

    def move(self, dx: Any, dy: float | None = None) -> Instance:
        """Move by (dx, dy); accepts `move((dx, dy))` or `move(dx, dy)`."""
        self._check_unlocked()
        if dy is None:
            dx, dy = as_xy(dx, "move")
        self._x = clean(self._x + float(dx))
        self._y = clean(self._y + float(dy))
        return self

    def movex(self, dx: float) -> Instance:
        return self.move(dx, 0.0)

    def movey(self, dy: float) -> Instance:
        return self.move(0.0, dy)

    def rotate(self, angle: float, center: Any = (0.0, 0.0)) -> Instance:
        """Rotate counter-clockwise by `angle` degrees about `center` (parent frame)."""
        self._check_unlocked()
        cx, cy = as_xy(center, "rotation center")
        c, s = cos_sin(angle)
        dx, dy = self._x - cx, self._y - cy
        self._x = clean(cx + c * dx - s * dy)
        self._y = clean(cy + s * dx + c * dy)
        self._rotation = normalize_angle(self._rotation + float(angle))
        return self

    def mirror(self, p1: Any = (0.0, 1.0), p2: Any = (0.0, 0.0)) -> Instance:
        """Mirror across the line through p1 and p2 (parent frame)."""
        self._check_unlocked()
        x1, y1 = as_xy(p1, "mirror line point")
        x2, y2 = as_xy(p2, "mirror line point")
        if (x1, y1) == (x2, y2):
            raise ValueError(f"Mirror line needs two distinct points, got {p1!r} twice")
        if y1 == y2:
            line_angle = 0.0
        elif x1 == x2:
            line_angle = 90.0
        else:
            line_angle = float(np.degrees(np.arctan2(y2 - y1, x2 - x1)))
        # Reflection across a line at angle a is R(2a) M; applied after this
        # instance's R(rot) M^m it gives R(2a - rot) M^(m+1).
        c, s = cos_sin(2.0 * line_angle)
        dx, dy = self._x - x1, -(self._y - y1)
        self._x = clean(x1 + c * dx - s * dy)
        self._y = clean(y1 + s * dx + c * dy)
        self._rotation = normalize_angle(2.0 * line_angle - self._rotation)
        self._mirror = not self._mirror
        return self

    def mirror_x(self, y0: float = 0.0) -> Instance:
        """Mirror across the horizontal line y = y0 (flips y)."""
        return self.mirror((0.0, y0), (1.0, y0))

    def mirror_y(self, x0: float = 0.0) -> Instance:
        """Mirror across the vertical line x = x0 (flips x)."""
        return self.mirror((x0, 1.0), (x0, 0.0))

    def connect(self, port: str | Port, other: Port, mirror: bool = False) -> Instance:
        """Place this instance so that its `port` sits on `other`, facing it.

        With `mirror`, the instance is mirrored across its own x axis first.
        """
        self._check_unlocked()
        name = port.name if isinstance(port, Port) else port
        if name not in self.component._ports:
            available = ", ".join(self.component._ports) or "none"
            raise ValueError(
                f"Port {name!r} not found on instance {self._name!r} "
                f"(component {self.component.name!r}); available: {available}"
            )
        if not isinstance(other, Port):
            raise TypeError(f"connect() needs a Port to connect to, got {type(other).__name__}")
        if mirror:
            # Mirror the component in its own frame, before the current transform.
            self._mirror = not self._mirror
        own = self._port(name)
        assert own is not None
        if own.orientation is not None and other.orientation is not None:
            turn = other.orientation + 180.0 - own.orientation
            self.rotate(turn, own.center)
            own = self._port(name)
            assert own is not None
        return self.move(other.center[0] - own.center[0], other.center[1] - own.center[1])
