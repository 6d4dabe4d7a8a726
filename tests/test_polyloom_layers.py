"""polyloom's modules import only their own layer and the layers below, without cycles."""

import ast
import graphlib
from importlib.machinery import EXTENSION_SUFFIXES
from importlib.util import resolve_name
from pathlib import Path

import polyloom

PACKAGE = Path(polyloom.__file__).parent

# Lowest first. A module may import modules of its own layer or below.
LAYERS = {
    # geometry, and its innermost loops in C++
    "polyloom.geometry": 0,
    "polyloom._geometry": 0,
    # ports and references to them
    "polyloom.port": 1,
    # components and instances, and what reads them (GDS writing, netlist extraction)
    "polyloom.layout": 2,
    "polyloom.gds": 2,
    "polyloom.netlist": 2,
    "polyloom.component": 2,
    # cells and PDKs, and what builds with them
    "polyloom.cell": 3,
    "polyloom.pdk": 3,
    "polyloom.paths": 3,
    "polyloom.routing": 3,
    # readers and the generic PDK
    "polyloom.read": 4,
    "polyloom.read.netlist_reader": 4,
    "polyloom.read.pic_yaml": 4,
    "polyloom.read.from_yaml_template": 4,
    "polyloom.generic": 4,
    "polyloom.generic.cells": 4,
    "polyloom.generic.models": 4,
    "polyloom.generic.tech": 4,
    # the package, which wires them together
    "polyloom": 5,
}


def _name(path: Path) -> str:
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def _compiled_modules() -> list[str]:
    """The compiled modules of the package (they import no polyloom module)."""
    found = []
    for path in PACKAGE.rglob("*"):
        suffixes = [s for s in EXTENSION_SUFFIXES if path.name.endswith(s)]
        if suffixes:
            stem = path.name.removesuffix(max(suffixes, key=len))
            found.append(_name(path.with_name(stem + ".py")))
    return found


def _imports(path: Path) -> set[str]:
    """The polyloom modules that the file imports, at module level or inside functions."""
    name = _name(path)
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = resolve_name("." * node.level + (node.module or ""), package)
            for alias in node.names:
                found.add(f"{base}.{alias.name}" if f"{base}.{alias.name}" in LAYERS else base)
    return {module for module in found if module.partition(".")[0] == "polyloom"}


def test_imports_follow_the_layers_without_cycles():
    graph = {_name(path): _imports(path) for path in PACKAGE.rglob("*.py")}
    graph.update({name: set() for name in _compiled_modules()})
    assert sorted(graph) == sorted(LAYERS)
    edges = [(m, target) for m, targets in graph.items() for target in targets]
    assert [(m, t) for m, t in edges if LAYERS[t] > LAYERS[m]] == []
    graphlib.TopologicalSorter(graph).prepare()  # raises CycleError on a cycle
