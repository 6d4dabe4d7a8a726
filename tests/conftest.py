"""Fixtures shared by the test modules."""

from __future__ import annotations

import datetime
import sys
import warnings
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import pytest

REPO = Path(__file__).resolve().parents[1]
EXAMPLES = REPO / "examples"


@pytest.fixture(autouse=True)
def sequential_builds() -> Iterator[None]:
    """Builds run in one process unless a test asks for workers, whatever the
    environment of the test run says (subprocesses included)."""
    from lumencad.settings import SETTINGS

    # A patcher of its own: the tests' `monkeypatch` keeps its place in the
    # order of fixture teardowns.
    patch = pytest.MonkeyPatch()
    patch.setattr(SETTINGS, "jobs", 1)
    patch.setattr(SETTINGS, "scheduler", None)
    patch.delenv("LUMENCAD_JOBS", raising=False)
    patch.delenv("LUMENCAD_SCHEDULER", raising=False)
    yield
    patch.undo()


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

    Restores the active PDK, the cell tables (own and extra) of the active and
    the generic PDK, ``sys.path``, and forgets the modules a test imported from project
    folders (such as a ``pics`` package).
    """
    import polyloom
    from polyloom.generic import PDK as generic

    active = polyloom.get_active_pdk()
    saved_cells = {
        id(pdk): (pdk, dict(pdk.cells), dict(pdk.extra_cells)) for pdk in (active, generic)
    }
    saved_path = list(sys.path)
    saved_modules = set(sys.modules)
    try:
        yield
    finally:
        for pdk, cells, extra_cells in saved_cells.values():
            pdk.cells.clear()
            pdk.cells.update(cells)
            pdk.extra_cells.clear()
            pdk.extra_cells.update(extra_cells)
        active.activate()
        sys.path[:] = saved_path
        for name in set(sys.modules) - saved_modules:
            module = sys.modules.get(name)
            if module is not None and _is_project_module(module):
                sys.modules.pop(name, None)


# A fixed time stamp keeps the fake layouts byte for byte reproducible.
FAKE_GDS_TIME = datetime.datetime(2024, 1, 2, 3, 4, 5)


class FakeComponent:
    """Writes a real minimal GDS file: one empty cell named like the component.

    `mode` "write fails" writes four bytes and raises OSError, "write interrupted"
    does the same but raises KeyboardInterrupt, "short write" returns normally
    after writing all but the last two bytes (as a writer does on a full disk);
    `mangle`, when given, rewrites the bytes of a file written whole.
    """

    def __init__(
        self, name: str, mode: str = "ok", mangle: Callable[[bytes], bytes] | None = None
    ) -> None:
        self.name, self.mode, self.mangle = name, mode, mangle

    def write_gds(self, path: str) -> None:
        import gdstk

        print(f"writing {self.name}")
        library = gdstk.Library()
        library.new_cell(self.name)
        library.write_gds(path, timestamp=FAKE_GDS_TIME)
        data = Path(path).read_bytes()
        if self.mode in ("write fails", "write interrupted"):
            Path(path).write_bytes(data[:4])
            if self.mode == "write fails":
                raise OSError(f"disk full while writing {self.name}")
            raise KeyboardInterrupt
        if self.mode == "short write":
            Path(path).write_bytes(data[:-2])
        elif self.mangle is not None:
            Path(path).write_bytes(self.mangle(data))


class FakePdk:
    """A PDK whose cells build to preset outcomes: an exception is raised, a string is
    the mode of a FakeComponent, a callable is called and its result taken as the
    outcome, anything else is returned. `pdk_cells` are its own cells. It warns while
    imported, activated and building, and lists the folders under `root` when imported."""

    def __init__(self, outcomes: dict[str, Any], root: Path, pdk_cells: Iterable[str]) -> None:
        self.outcomes, self.root, self.active = outcomes, root, False
        self.cells = {name: self.get_component for name in pdk_cells}
        self.registered, self.requested, self.folders_at_import = {}, [], []

    def imported_as(self, name: str) -> FakePdk:
        warnings.warn("importing a fake PDK", DeprecationWarning, stacklevel=2)
        self.requested.append(name)
        self.folders_at_import = sorted(str(p.relative_to(self.root)) for p in self.root.rglob("*"))
        return self

    def register_cells(self, **cells: Any) -> None:
        self.registered.update(cells)
        self.cells.update(cells)

    def activate(self) -> None:
        warnings.warn("activating a fake PDK", UserWarning, stacklevel=2)
        self.active = True

    def get_component(self, name: str) -> Any:
        print(f"building {name}", file=sys.stderr)
        warnings.warn(f"building {name}", UserWarning, stacklevel=2)
        outcome = self.outcomes.get(name, "ok")
        if callable(outcome) and not isinstance(outcome, FakeComponent):
            outcome = outcome()
        if isinstance(outcome, BaseException):
            raise outcome
        return FakeComponent(name, outcome) if isinstance(outcome, str) else outcome


@pytest.fixture
def fake_pdk(monkeypatch: pytest.MonkeyPatch, tmp_path: Path):
    """Make both builder commands import a FakePdk of the given outcomes (watching
    tmp_path); its own cells are `pdk_cells` (build-pdk builds those)."""
    from lumencad.core.cli import build_pdk, build_pics

    def install(outcomes: dict[str, Any] | None = None, pdk_cells: Iterable[str] = ()) -> FakePdk:
        pdk = FakePdk(dict(outcomes or {}), tmp_path, pdk_cells)
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
