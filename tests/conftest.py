"""Fixtures shared by the test modules."""

from __future__ import annotations

import sys
import warnings
from collections.abc import Iterator
from pathlib import Path
from types import SimpleNamespace
from typing import Any

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


class FakeComponent:
    """Writes "layout of NAME" as its layout; `mode` "write fails" stops after five
    characters with an OSError, "write interrupted" raises KeyboardInterrupt."""

    def __init__(self, name: str, mode: str = "ok") -> None:
        self.name, self.mode = name, mode

    def write_gds(self, path: str) -> None:
        print(f"writing {self.name}")
        if self.mode == "write interrupted":
            raise KeyboardInterrupt
        with open(path, "w") as f:
            f.write(f"layout of {self.name}"[: 5 if self.mode == "write fails" else None])
        if self.mode == "write fails":
            raise OSError(f"disk full while writing {self.name}")


class FakePdk:
    """A PDK whose cells build to preset outcomes: an exception is raised, a string is
    the mode of a FakeComponent, anything else is returned. It warns while imported,
    activated and building, and lists the folders under `root` when imported."""

    def __init__(self, cells: dict[str, Any], root: Path) -> None:
        self.cells, self.root, self.active = cells, root, False
        self.registered, self.requested, self.folders_at_import = {}, [], []

    def imported_as(self, name: str) -> FakePdk:
        warnings.warn("importing a fake PDK", DeprecationWarning, stacklevel=2)
        self.requested.append(name)
        self.folders_at_import = sorted(str(p.relative_to(self.root)) for p in self.root.rglob("*"))
        return self

    def register_cells(self, **cells: Any) -> None:
        self.registered.update(cells)

    def activate(self) -> None:
        warnings.warn("activating a fake PDK", UserWarning, stacklevel=2)
        self.active = True

    def get_component(self, name: str) -> Any:
        print(f"building {name}", file=sys.stderr)
        warnings.warn(f"building {name}", UserWarning, stacklevel=2)
        outcome = self.cells.get(name, "ok")
        if isinstance(outcome, BaseException):
            raise outcome
        return FakeComponent(name, outcome) if isinstance(outcome, str) else outcome


@pytest.fixture
def fake_pdk(monkeypatch: pytest.MonkeyPatch, tmp_path: Path):
    """Make both builder commands import a FakePdk of the given cells (watching tmp_path)."""
    from lumencad.core.cli import build_pdk, build_pics

    def install(cells: dict[str, Any] | None = None) -> FakePdk:
        pdk = FakePdk(dict(cells or {}), tmp_path)
        for module in (build_pics, build_pdk):
            monkeypatch.setattr(module, "import_pdk", pdk.imported_as)
            monkeypatch.setattr(module, "_try_get_ports", lambda comp: {"o1": "w", "o2": "e"})
        monkeypatch.setattr(build_pics, "cell_from_yaml_template", lambda path, name: lambda: None)
        monkeypatch.setattr(build_pdk, "pl", SimpleNamespace(get_component=pdk.get_component))
        return pdk

    return install


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
