"""A served project: its folders, its cells, where their build outputs lie, and their state.

The outputs follow the builders' layout: a cell from ``<pics>/<dir>/<file>``
has ``build/gds/<dir>/<name>.gds``, ``build/gds/<dir>/ports/<name>.json`` and
``build/log/<dir>/<name>.log``; a PDK cell the same under ``pdk``. The report
of a cell (``.lyrdb``) lies beside its GDS file. ``build`` is the folder beside
the pics folder.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from enum import StrEnum
from pathlib import Path

from lumencad.core.shared import get_pics_dir

__all__ = ["Cell", "CellKind", "Project", "ProjectError", "State", "check_watch_path"]

PIC_SUFFIX = ".pic.yml"
# File types whose changes the page may watch; `changed` keys its time stamps
# by the name less its last four characters.
WATCHABLE_SUFFIXES = (".gds", ".oas")
# The line a builder writes into a cell's log when the cell failed.
_FAILED_LOG_LINE = "ERROR"
# Only the head of a log is searched for the failure line: builds print little
# before it, and a huge log must not stall the index.
_LOG_SCAN_BYTES = 1 << 20


class ProjectError(ValueError):
    """A project the viewer cannot serve."""


class CellKind(StrEnum):
    PIC = "pic"
    PYTHON = "python"
    PDK = "pdk"


class State(StrEnum):
    BUILT = "built"
    STALE = "stale"
    FAILED = "failed"
    NOT_BUILT = "not built"
    BUILDING = "building"


@dataclass(frozen=True)
class Cell:
    """One cell of the project; every path is relative to the project folder, "/"-separated."""

    name: str
    kind: CellKind
    source: str | None  # the pic or Python file; None for a PDK cell
    gds: str
    ports: str
    log: str
    report: str


@dataclass(frozen=True)
class Project:
    """The folders of a served project, all absolute and with links resolved."""

    dir: Path
    pics: Path
    build: Path
    pdk: str

    @classmethod
    def open(cls, folder: str | os.PathLike[str], pdk: str) -> Project:
        """The project in ``folder``; its pics and build folders must lie inside it."""
        root = Path(folder)
        if not root.exists():
            raise ProjectError(f"Project folder does not exist: {os.fspath(folder)}")
        if not root.is_dir():
            raise ProjectError(f"Project path is not a folder: {os.fspath(folder)}")
        root = root.resolve()
        pics = Path(get_pics_dir(root)).resolve()
        build = pics.parent / "build"
        if not pics.is_relative_to(root):
            raise ProjectError(f"Pics folder {pics} lies outside the project {root}")
        return cls(dir=root, pics=pics, build=build, pdk=pdk)

    def relative(self, path: str | os.PathLike[str]) -> str:
        """``path`` relative to the project folder, "/"-separated."""
        return Path(os.path.relpath(path, self.dir)).as_posix()

    def absolute(self, relative: str) -> Path:
        return self.dir / relative

    def project_cell(self, name: str, kind: CellKind, source: str) -> Cell:
        """A pic or Python cell defined in ``source`` (an absolute path under the pics folder)."""
        sub = os.path.relpath(os.path.dirname(source), self.pics)
        sub = "" if sub == "." else sub
        return self._cell(name, kind, self.relative(source), sub)

    def pdk_cell(self, name: str) -> Cell:
        return self._cell(name, CellKind.PDK, None, "pdk")

    def _cell(self, name: str, kind: CellKind, source: str | None, sub: str) -> Cell:
        gds_dir = self.build / "gds" / sub
        return Cell(
            name=name,
            kind=kind,
            source=source,
            gds=self.relative(gds_dir / f"{name}.gds"),
            ports=self.relative(gds_dir / "ports" / f"{name}.json"),
            log=self.relative(self.build / "log" / sub / f"{name}.log"),
            report=self.relative(gds_dir / f"{name}.lyrdb"),
        )

    def state(self, cell: Cell) -> State:
        """The cell's build state, from its files' presence and times."""
        gds = _mtime(self.absolute(cell.gds))
        log = _mtime(self.absolute(cell.log))
        source = _mtime(self.absolute(cell.source)) if cell.source else None
        if log is not None and _log_says_failed(self.absolute(cell.log)):
            return State.STALE if source is not None and source > log else State.FAILED
        if gds is None:
            return State.NOT_BUILT
        if source is not None and source > gds:
            return State.STALE
        return State.BUILT


def check_watch_path(project: Project, path: str) -> str:
    """``path`` if the page may watch it; else a ValueError saying why.

    A watched path is a plain relative path (no ".", "..", empty parts or
    backslashes) of a layout file inside the project folder, also after
    following links.
    """
    if not path:
        raise ValueError("Missing query parameter 'path'.")
    if "\0" in path or "\\" in path or path.startswith("/"):
        raise ValueError(f"Path must be relative to the project, with '/' separators: {path!r}")
    if any(part in ("", ".", "..") for part in path.split("/")):
        raise ValueError(f"Path must stay inside the project, without '.' or '..': {path!r}")
    if not path.endswith(WATCHABLE_SUFFIXES):
        raise ValueError(
            f"Path must name a layout file ({', '.join(WATCHABLE_SUFFIXES)}): {path!r}"
        )
    if not Path(os.path.realpath(project.dir / path)).is_relative_to(project.dir):
        raise ValueError(f"Path leads out of the project: {path!r}")
    return path


def _mtime(path: Path) -> int | None:
    try:
        return path.stat().st_mtime_ns
    except OSError:
        return None


def _log_says_failed(path: Path) -> bool:
    try:
        with open(path, "rb") as log:
            head = log.read(_LOG_SCAN_BYTES)
    except OSError:
        return False
    return _FAILED_LOG_LINE.encode() in head.splitlines()
