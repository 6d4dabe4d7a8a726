"""Process design kits: cell registries with layers, cross-sections and models."""

from __future__ import annotations

import contextvars
import difflib
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any

from polyloom.component import Component, set_layer_lookup
from polyloom.port import Layer, as_layer

CellFactory = Callable[..., Component]

_active_pdk: Pdk | None = None
# The PDK whose get_component is running: cells built inside it (for example the
# instances of a pic) resolve names against that PDK even if it is not active.
_building_pdk: contextvars.ContextVar[Pdk | None] = contextvars.ContextVar(
    "polyloom_building_pdk", default=None
)


@dataclass(frozen=True)
class CrossSection:
    """A waveguide profile: a core of `width` on `layer`, optional claddings around it.

    Each cladding layer extends beyond the core by the matching offset on both
    sides; `radius` is the default bend radius for this profile.
    """

    name: str
    width: float
    layer: Layer
    radius: float = 10.0
    cladding_layers: tuple[Layer, ...] = ()
    cladding_offsets: tuple[float, ...] = ()
    port_names: tuple[str, str] = ("o1", "o2")

    def __post_init__(self) -> None:
        if self.width <= 0:
            raise ValueError(
                f"Cross-section {self.name!r} needs a positive width, got {self.width}"
            )
        object.__setattr__(self, "layer", as_layer(self.layer))
        object.__setattr__(
            self, "cladding_layers", tuple(as_layer(x) for x in self.cladding_layers)
        )
        offsets = tuple(float(x) for x in self.cladding_offsets)
        if len(offsets) != len(self.cladding_layers):
            raise ValueError(
                f"Cross-section {self.name!r} has {len(self.cladding_layers)} cladding layers "
                f"but {len(offsets)} offsets"
            )
        object.__setattr__(self, "cladding_offsets", offsets)

    def with_width(self, width: float) -> CrossSection:
        return CrossSection(
            self.name,
            width,
            self.layer,
            self.radius,
            self.cladding_layers,
            self.cladding_offsets,
            self.port_names,
        )

    def to_dict(self) -> dict[str, Any]:
        return {
            "name": self.name,
            "width": self.width,
            "layer": list(self.layer),
            "radius": self.radius,
            "cladding_layers": [list(x) for x in self.cladding_layers],
            "cladding_offsets": list(self.cladding_offsets),
        }

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> CrossSection:
        try:
            return cls(
                name=str(data.get("name", "custom")),
                width=float(data["width"]),
                layer=as_layer(data.get("layer", (1, 0))),
                radius=float(data.get("radius", 10.0)),
                cladding_layers=tuple(as_layer(x) for x in data.get("cladding_layers", ())),
                cladding_offsets=tuple(float(x) for x in data.get("cladding_offsets", ())),
            )
        except KeyError as err:
            raise ValueError(
                f"Cross-section mapping {dict(data)!r} lacks {err.args[0]!r}"
            ) from None


@dataclass(eq=False)  # PDKs compare and hash by identity
class Pdk:
    """A named set of cells (name -> factory), models, layers and cross-sections.

    `cells` lists the PDK's own cells. Cells registered on top of them under
    other names (a project's pics and Python cells) are kept in `extra_cells`:
    buildable by name like the PDK's own, but not part of the PDK.
    """

    name: str
    cells: dict[str, CellFactory] = field(default_factory=dict)
    models: dict[str, Callable[..., Any]] | None = None
    layers: dict[str, Layer] | None = None
    cross_sections: dict[str, CrossSection] | None = None
    layer_priority: list[Layer] | None = None
    default_cross_section: str = "strip"
    extra_cells: dict[str, CellFactory] = field(default_factory=dict, init=False, repr=False)

    def __post_init__(self) -> None:
        self.cells = dict(self.cells)
        for cell_name, factory in self.cells.items():
            _check_factory(cell_name, factory)
        self.models = dict(self.models or {})
        self.layers = {k: as_layer(v) for k, v in (self.layers or {}).items()}
        self.cross_sections = dict(self.cross_sections or {})
        if self.layer_priority is None:
            self.layer_priority = list(dict.fromkeys(self.layers.values()))
        else:
            self.layer_priority = [as_layer(x) for x in self.layer_priority]

    def __repr__(self) -> str:
        return f"Pdk({self.name!r}, cells={len(self.cells)}, models={len(self.models or {})})"

    # -- registry ---------------------------------------------------------------

    def register_cells(self, **factories: CellFactory) -> None:
        """Add or replace cells; a replaced cell's cached components are dropped.

        A cell named like one of `cells` replaces it there; any other goes into
        `extra_cells`.
        """
        for cell_name, factory in factories.items():
            _check_factory(cell_name, factory)
        for cell_name, factory in factories.items():
            table = self.cells if cell_name in self.cells else self.extra_cells
            old = table.get(cell_name)
            if old is not None and old is not factory:
                clear = getattr(old, "cache_clear", None)
                if callable(clear):
                    clear()
            table[cell_name] = factory

    def get_cell(self, cell_name: str) -> CellFactory | None:
        """The factory that builds `cell_name`: from `cells`, else `extra_cells`; else None."""
        factory = self.cells.get(cell_name)
        return factory if factory is not None else self.extra_cells.get(cell_name)

    def all_cells(self) -> dict[str, CellFactory]:
        """Every cell buildable by name: `cells`, then the `extra_cells` not named like one."""
        extra = {k: f for k, f in self.extra_cells.items() if k not in self.cells}
        return {**self.cells, **extra}

    def activate(self) -> Pdk:
        """Make this PDK the one that `polyloom.get_component` uses."""
        global _active_pdk
        _active_pdk = self
        return self

    # -- lookups ----------------------------------------------------------------

    def get_component(self, component: Any, **settings: Any) -> Component:
        """Build a cell by name (with settings), or pass a Component through unchanged.

        Also accepts a mapping {"component": name, "settings": {...}}.
        """
        if isinstance(component, Component):
            return component
        if isinstance(component, Mapping):
            if "component" not in component:
                raise ValueError(f"Component mapping {dict(component)!r} has no 'component' key")
            merged = dict(component.get("settings") or {})
            merged.update(settings)
            return self.get_component(component["component"], **merged)
        if not isinstance(component, str):
            if callable(component):
                return self._build(getattr(component, "__name__", "factory"), component, settings)
            raise TypeError(f"Expected a cell name or a Component, got {type(component).__name__}")
        factory = self.get_cell(component)
        if factory is None:
            raise ValueError(self._unknown_cell_message(component))
        return self._build(component, factory, settings)

    def _build(self, cell_name: str, factory: CellFactory, settings: dict[str, Any]) -> Component:
        token = _building_pdk.set(self)
        try:
            result = factory(**settings)
        finally:
            _building_pdk.reset(token)
        if not isinstance(result, Component):
            raise TypeError(
                f"Cell {cell_name!r} of PDK {self.name!r} returned {type(result).__name__}, "
                "not a Component"
            )
        return result

    def _unknown_cell_message(self, cell_name: str) -> str:
        message = f"Cell {cell_name!r} not found in PDK {self.name!r}."
        close = difflib.get_close_matches(cell_name, list(self.all_cells()), n=3, cutoff=0.6)
        if close:
            message += f" Did you mean: {', '.join(close)}?"
        return message

    def get_cross_section(self, cross_section: Any = None) -> CrossSection:
        """A CrossSection from a name of this PDK, a mapping, or a CrossSection."""
        if cross_section is None:
            cross_section = self.default_cross_section
        if isinstance(cross_section, CrossSection):
            return cross_section
        if isinstance(cross_section, Mapping):
            return CrossSection.from_dict(cross_section)
        assert self.cross_sections is not None
        if isinstance(cross_section, str) and cross_section in self.cross_sections:
            return self.cross_sections[cross_section]
        known = ", ".join(self.cross_sections) or "none"
        raise ValueError(
            f"Cross-section {cross_section!r} not found in PDK {self.name!r}; known: {known}"
        )

    def get_layer(self, layer: Any) -> Layer:
        """A (layer, datatype) pair from a layer name of this PDK or a pair."""
        assert self.layers is not None
        if isinstance(layer, str):
            if layer not in self.layers:
                known = ", ".join(self.layers) or "none"
                raise ValueError(f"Layer {layer!r} not found in PDK {self.name!r}; known: {known}")
            return self.layers[layer]
        return as_layer(layer)


def _check_factory(cell_name: str, factory: Any) -> None:
    if not isinstance(cell_name, str) or not cell_name:
        raise ValueError(f"Cell names must be non-empty strings, got {cell_name!r}")
    if not callable(factory):
        raise TypeError(f"Cell {cell_name!r} must be callable, got {type(factory).__name__}")


def get_active_pdk() -> Pdk:
    """The active PDK (importing `polyloom` activates its generic PDK)."""
    if _active_pdk is None:
        raise RuntimeError("No PDK is active; call activate() on one")
    return _active_pdk


def current_pdk() -> Pdk:
    """The PDK that is building a cell right now, else the active one."""
    return _building_pdk.get() or get_active_pdk()


def get_component(component: Any, **settings: Any) -> Component:
    """Build a cell by name through the PDK in use (see `current_pdk`)."""
    return current_pdk().get_component(component, **settings)


def get_cross_section(cross_section: Any = None) -> CrossSection:
    return current_pdk().get_cross_section(cross_section)


def _layer_of_pdk_in_use(name: str) -> Layer:
    return current_pdk().get_layer(name)


# Components take layer names of the PDK in use wherever they take layers.
set_layer_lookup(_layer_of_pdk_in_use)
