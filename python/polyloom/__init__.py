"""polyloom: a small layout library for photonic integrated circuits.

Geometry is in micrometres and GDS files are written with a unit of 1e-6 m
and a precision of 1e-9 m. The main objects:

- `Port`: an immutable, named, oriented connection point.
- `Component`: a cell of polygons, ports and instances of other components.
- `Instance`: a placed (moved, rotated, mirrored) reference to a component.
- `Pdk`: a registry of cells, models, layers and cross-sections; the built-in
  generic PDK (`polyloom.generic.PDK`) is active until another is activated.
- `polyloom.read.from_yaml`: builds a component from a pic netlist.
- `split_reference`: the instance and port names of an "instance,port" reference.

Cell functions are marked with the `@cell` decorator. A decorated function
carries the attribute `_is_cell = True` (test it with `polyloom.is_cell`),
which is how host code collects the cells of a module; its components are
cached per distinct arguments, named after the function and its non-default
arguments, and locked against changes (use `dup()` for an editable copy).
"""

from polyloom import generic, read
from polyloom.cell import cell, component_name, is_cell
from polyloom.component import Component, Instance
from polyloom.pdk import (
    CrossSection,
    Pdk,
    current_pdk,
    get_active_pdk,
    get_component,
    get_cross_section,
)
from polyloom.port import Port, Ports, split_reference

# The built-in PDK is the one in use until another is activated.
generic.PDK.activate()

__all__ = [
    "Component",
    "CrossSection",
    "Instance",
    "Pdk",
    "Port",
    "Ports",
    "cell",
    "component_name",
    "current_pdk",
    "get_active_pdk",
    "get_component",
    "get_cross_section",
    "is_cell",
    "read",
    "split_reference",
]
