"""Writing components to GDS files, keeping the hierarchy."""

from __future__ import annotations

import contextlib
import errno
import math
import mmap
import os
import stat
import uuid
from pathlib import Path
from typing import Any

import gdstk

from polyloom.layout import Layout, hierarchy

UNIT = 1e-6  # one micrometre
PRECISION = 1e-9  # one nanometre
ENDLIB = b"\x04\x00"  # record type and data type of the record closing a GDS file
PROBE_SIZE = 64 * 1024  # bytes written to learn why a GDS file came out short


def _unique_cell_names(components: list[Layout]) -> dict[int, str]:
    """A distinct GDS cell name per component; later namesakes get a "$n" suffix."""
    names: dict[int, str] = {}
    taken: set[str] = set()
    next_suffix: dict[str, int] = {}  # per name, so many namesakes stay linear
    for component in components:
        name = component.name
        if name in taken:
            n = next_suffix.get(name, 1)
            while f"{name}${n}" in taken:
                n += 1
            next_suffix[name] = n + 1
            name = f"{name}${n}"
        taken.add(name)
        names[id(component)] = name
    return names


def to_library(top: Layout) -> gdstk.Library:
    """A gdstk library holding one cell per distinct component of the hierarchy."""
    components = hierarchy(top)
    names = _unique_cell_names(components)
    library = gdstk.Library(unit=UNIT, precision=PRECISION)
    cells = {id(component): gdstk.Cell(names[id(component)]) for component in components}
    for component in components:
        cell = cells[id(component)]
        for polygon in component.polygons:
            cell.add(polygon.copy())
        for inst in component.insts:
            cell.add(
                gdstk.Reference(
                    cells[id(inst.component)],
                    origin=(inst.x, inst.y),
                    rotation=math.radians(inst.rotation),
                    x_reflection=inst.mirrored,
                )
            )
        library.add(cell)
    return library


def _is_complete_gds(path: str) -> bool:
    """True when the GDS records of the file at `path` tile it exactly and end with ENDLIB.

    A GDS file is a sequence of records, each starting with its length in
    bytes (two bytes, big-endian, even, at least 4 for the header itself)
    followed by the record type and data type bytes.
    """
    with open(path, "rb") as handle:
        size = os.fstat(handle.fileno()).st_size
        if size < 4 or size % 2:
            return False
        with mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ) as data:
            offset = last = 0
            while offset < size:  # offset stays even, so both length bytes exist
                length = data[offset] << 8 | data[offset + 1]
                if length < 4 or length % 2:
                    return False
                last = offset
                offset += length
            return offset == size and data[last + 2 : last + 4] == ENDLIB


def _write_errno(folder: Path) -> int:
    """The error number a write into `folder` meets now, EIO if the write succeeds.

    gdstk does not report failed writes, so this asks the file system again
    with a write of our own (while the short file still takes its space).
    """
    probe = folder / f".{uuid.uuid4().hex}.probe"
    try:
        fd = os.open(probe, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except OSError as error:
        return error.errno or errno.EIO
    try:
        pending = memoryview(bytes(PROBE_SIZE))
        while pending:
            pending = pending[os.write(fd, pending) :]
        os.fsync(fd)
    except OSError as error:
        return error.errno or errno.EIO
    finally:
        os.close(fd)
        with contextlib.suppress(OSError):
            os.unlink(probe)
    return errno.EIO


def _permission_bits(path: Path) -> int | None:
    """The permission bits of the file at `path`, None when there is none."""
    try:
        return stat.S_IMODE(os.stat(path).st_mode)
    except FileNotFoundError:
        return None


def write_gds(top: Layout, path: Any) -> Path:
    """Write `top` and everything below it to `path`, atomically.

    An existing file is replaced whole, keeping its permission bits: the
    layout goes to a temporary file in the same folder that is moved into
    place once it is complete. A new file is written in place, as there is
    nothing to protect. The written file is checked to hold whole GDS records
    up to the closing ENDLIB (gdstk does not report a full disk or quota);
    an incomplete one raises an OSError with the file system's reason and is
    removed, so a failure never leaves a half-written file behind.
    """
    target = Path(path)
    if target.parent and not target.parent.exists():
        raise FileNotFoundError(f"Folder {str(target.parent)!r} does not exist")
    library = to_library(top)
    if os.path.lexists(target):
        # A fresh name (not mkstemp) so the file gets the usual permissions.
        written = str(target.parent / f".{target.name}.{uuid.uuid4().hex}.tmp")
    else:
        written = str(target)
    try:
        library.write_gds(written)
        if not _is_complete_gds(written):
            code = _write_errno(target.parent)
            raise OSError(code, os.strerror(code), str(target))
        if written != str(target):
            mode = _permission_bits(target)
            if mode is not None:
                os.chmod(written, mode)
            os.replace(written, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(written)
        raise
    return target
