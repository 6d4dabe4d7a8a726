"""Helpers of the viewer tests: example project copies, builds, and a served project."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import threading
import urllib.request
from pathlib import Path

import lumencad

REPO = Path(__file__).resolve().parents[1]
EXAMPLES = REPO / "examples"
EXPECTED = REPO / "tests" / "expected" / "serve"
PACKAGE_ROOT = Path(lumencad.__file__).resolve().parents[1]
# The example project's Python cells (examples/pics/cells/mycells.py).
PYTHON_CELLS = ("waveguide_array", "heated_straight")
# How long a started server may take to print its address (it loads the PDK first).
START_TIMEOUT_S = 120
STOP_TIMEOUT_S = 30


def environment(**extra: str) -> dict[str, str]:
    env = {**os.environ, "PYTHONPATH": str(PACKAGE_ROOT), **extra}
    env.pop("LUMENCAD_PDK", None)
    return env


def copy_project(destination: Path) -> Path:
    """A copy of the example project without build outputs or caches."""
    ignore = shutil.ignore_patterns("build", "__pycache__")
    shutil.copytree(EXAMPLES, destination, ignore=ignore)
    return destination


def run_cli(*args: str, cwd: Path = REPO, **env: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "lumencad", *args],
        cwd=cwd,
        env=environment(**env),
        capture_output=True,
        text=True,
        timeout=600,
    )


def build_project(project: Path) -> None:
    """Build the project's pics and the PDK's cells, as the server would."""
    for args in (("build-pics", str(project / "pics")), ("build-pdk", str(project / "build"))):
        result = run_cli(*args, cwd=project)
        assert result.returncode == 0, result.stderr


def pic_paths(project: Path) -> dict[str, Path]:
    return {p.name.removesuffix(".pic.yml"): p for p in (project / "pics").rglob("*.pic.yml")}


def layout_path(project: Path, cell: str) -> Path:
    """Where the builders put a project cell's layout (sources under pics/<dir>)."""
    pics = pic_paths(project)
    folder = (
        "cells" if cell in PYTHON_CELLS else str(pics[cell].parent.relative_to(project / "pics"))
    )
    return project / "build" / "gds" / folder / f"{cell}.gds"


class Server:
    """``lumencad serve`` on a free port in a child process."""

    def __init__(self, project: Path, *args: str, **env: str) -> None:
        self.process = subprocess.Popen(
            [sys.executable, "-m", "lumencad", "serve", str(project), "--port", "0", *args],
            cwd=project,
            env=environment(**env),
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        self.first_line = self._read_first_line()
        self.url = self.first_line.rpartition(" at ")[2].strip()

    def _read_first_line(self) -> str:
        lines: list[str] = []
        reader = threading.Thread(target=lambda: lines.append(self.process.stdout.readline()))
        reader.start()
        reader.join(START_TIMEOUT_S)
        if not lines or not lines[0]:
            self.process.kill()
            out, err = self.process.communicate()
            raise AssertionError(f"server did not start: {out}{err}")
        return lines[0]

    def get(self, path: str) -> tuple[int, str]:
        with urllib.request.urlopen(self.url + path.lstrip("/"), timeout=60) as response:
            return response.status, response.read().decode()

    def stop(self) -> tuple[int, str, str]:
        """Ctrl-C the server; its exit code and remaining output."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        try:
            out, err = self.process.communicate(timeout=STOP_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, err = self.process.communicate()
        return self.process.returncode, out, err
