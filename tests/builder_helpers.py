"""Helpers of the builder tests: example projects and running build-pics."""

from __future__ import annotations

from pathlib import Path

import lumencad
from lumencad.core.cli.app import app
from typer.testing import CliRunner

# Subprocesses import the same lumencad as this process (source tree or installed).
PACKAGE_ROOT = str(Path(lumencad.__file__).resolve().parents[1])
SUCCESS_LOG = "SUCCESS: Succesfully built '{}.gds'.\n"


def make_project(root: Path, files: list[str], source: str = "instances: {}\n") -> Path:
    """A project whose pics folder holds `files` (all with `source`); returns the pics folder."""
    pics_dir = root / "proj" / "pics"
    for rel in files:
        (pics_dir / rel).parent.mkdir(parents=True, exist_ok=True)
        (pics_dir / rel).write_text(source if rel.endswith(".pic.yml") else "")
    return pics_dir


def run(pics_dir: Path, on_error: str = "continue") -> tuple[int, str, str]:
    """build-pics on the fake PDK: (exit code, standard output, standard error)."""
    args = ["build-pics", str(pics_dir), "--on-error", on_error, "--pdk", "fake"]
    result = CliRunner().invoke(app, args)
    if result.exception is not None and not isinstance(result.exception, SystemExit):
        raise result.exception
    return result.exit_code, result.stdout, result.stderr


def without_timestamps(gds: bytes) -> bytes:
    """A GDS file's bytes with the time stamps of its library and cells zeroed:
    two builds of one layout differ in nothing else."""
    data, offset = bytearray(gds), 0
    while offset + 4 <= len(data):
        length = int.from_bytes(data[offset : offset + 2], "big")
        if length < 4:
            break
        if data[offset + 2] in (0x01, 0x05):  # BGNLIB, BGNSTR
            data[offset + 4 : offset + length] = bytes(length - 4)
        offset += length
    return bytes(data)


def build_outputs(build_dir: Path) -> dict[str, bytes]:
    """Every file of a build folder by relative path, GDS files without time stamps."""
    files = sorted(p for p in build_dir.rglob("*") if p.is_file())
    return {
        str(p.relative_to(build_dir)): without_timestamps(p.read_bytes())
        if p.suffix == ".gds"
        else p.read_bytes()
        for p in files
    }
