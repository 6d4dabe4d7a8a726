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
