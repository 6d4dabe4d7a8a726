"""Fixtures shared by the test modules."""

from __future__ import annotations

import sys
from collections.abc import Iterator
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
EXAMPLES = REPO / "examples"


@pytest.fixture
def examples_dir() -> Path:
    """The example project shipped with the repository (do not write into it)."""
    return EXAMPLES


@pytest.fixture
def generic_pdk_active() -> Iterator[None]:
    """Run a test on the generic PDK, then re-activate the PDK active before."""
    import polyloom
    from polyloom.generic import PDK as generic

    previous = polyloom.get_active_pdk()
    generic.activate()
    yield
    previous.activate()


@pytest.fixture
def restore_pdk() -> Iterator[None]:
    """Undo what a test does to the PDK registry and the import system.

    Restores the active PDK, the cell tables of the active and the generic
    PDK, ``sys.path``, and forgets the modules a test imported from project
    folders (such as a ``pics`` package).
    """
    import polyloom
    from polyloom.generic import PDK as generic

    active = polyloom.get_active_pdk()
    saved_cells = {id(pdk): (pdk, dict(pdk.cells)) for pdk in (active, generic)}
    saved_path = list(sys.path)
    saved_modules = set(sys.modules)
    try:
        yield
    finally:
        for pdk, cells in saved_cells.values():
            pdk.cells.clear()
            pdk.cells.update(cells)
        active.activate()
        sys.path[:] = saved_path
        for name in set(sys.modules) - saved_modules:
            module = sys.modules.get(name)
            if module is not None and _is_project_module(module):
                sys.modules.pop(name, None)


def _is_project_module(module: object) -> bool:
    """True for a module imported from a project folder (not the package or the venv)."""
    import lumencad
    import polyloom

    packages = [Path(m.__file__).resolve().parents[1] for m in (lumencad, polyloom)]
    installed = (REPO / "python", *packages, Path(sys.prefix), Path(sys.base_prefix))
    locations = [getattr(module, "__file__", None), *(getattr(module, "__path__", None) or [])]
    locations = [Path(p).resolve() for p in locations if p]
    return bool(locations) and not any(
        loc.is_relative_to(root.resolve()) for loc in locations for root in installed
    )
