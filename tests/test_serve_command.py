"""The ``serve`` command as a user runs it: a real server in a child process."""

from __future__ import annotations

import os
import re
import socket
import time
from pathlib import Path

import pytest
from polyloom.generic import PDK as GENERIC
from serve_helpers import PYTHON_CELLS, Server, copy_project, layout_path, pic_paths, run_cli

# Bounds of the waits for background builds (never reached when things work).
BUILD_WAIT_S = 120
POLL_S = 0.2


def wait_for(condition, timeout: float) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(POLL_S)
    return condition()


def mtime(path: Path) -> int:
    try:
        return os.stat(path).st_mtime_ns
    except FileNotFoundError:
        return 0


def test_serve_builds_shows_rebuilds_and_stops_on_ctrl_c(tmp_path: Path) -> None:
    project = copy_project(tmp_path / "project")
    cells = [*pic_paths(project), *PYTHON_CELLS]
    server = Server(project, TMPDIR=str(tmp_path))
    try:
        port = int(server.url.rstrip("/").rpartition(":")[2])
        assert server.first_line == (
            f"lumencad viewer of {project} (PDK generic) at http://127.0.0.1:{port}/\n"
        )
        # Nothing was built: the server builds the project and the PDK in the background.
        pdk_layouts = [project / "build" / "gds" / "pdk" / f"{n}.gds" for n in GENERIC.cells]
        layouts = [layout_path(project, cell) for cell in cells] + pdk_layouts
        assert wait_for(lambda: all(p.is_file() for p in layouts), BUILD_WAIT_S)
        assert wait_for(lambda: "state-building" not in server.get("/")[1], BUILD_WAIT_S)
        status, index = server.get("/")
        states = re.findall(r'<tr data-cell="([^"]+)">.*?state-[\w-]+">([^<]+)<', index)
        assert status == 200
        assert dict(states) == {cell: "built" for cell in [*cells, *GENERIC.cells]}
        # Saving a pic rebuilds it.
        gds = layout_path(project, "touching")
        before = mtime(gds)
        pic = pic_paths(project)["touching"]
        pic.write_text(pic.read_text().replace("length: 15", "length: 30"))
        assert wait_for(lambda: mtime(gds) != before, BUILD_WAIT_S)
    finally:
        code, out, err = server.stop()
    assert (code, out) == (130, "")
    assert err.endswith("Aborted!\n")
    assert "sources changed: pics/touching.pic.yml" in err
    assert "pics build: 7 cells built, 0 failed." in err


def test_serve_is_listed() -> None:
    result = run_cli("serve", "--help")
    assert result.returncode == 0
    assert "Serve a live view of a project's layouts and schematics" in result.stdout


@pytest.fixture
def busy_port():
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        yield taken.getsockname()[1]


def outside_pics(tmp_path: Path) -> Path:
    project = tmp_path / "project"
    project.mkdir()
    (project / "pyproject.toml").write_text('[tool.lumencad]\npics = "../elsewhere"\n')
    return project


@pytest.mark.parametrize(
    ("case", "message"),
    [
        ("missing", "Project folder does not exist: {tmp}/missing"),
        ("file", "Project path is not a folder: {tmp}/file"),
        ("outside", "Pics folder {tmp}/elsewhere lies outside the project {tmp}/project"),
        ("pdk", "Unknown PDK 'nope'. Available PDKs: generic"),
        ("port", "Cannot listen on 127.0.0.1:{port}: Address already in use"),
    ],
)
def test_serve_errors_are_one_line(tmp_path: Path, busy_port: int, case: str, message: str) -> None:
    (tmp_path / "file").write_text("")
    examples = copy_project(tmp_path / "examples")
    args = {
        "missing": [str(tmp_path / "missing")],
        "file": [str(tmp_path / "file")],
        "outside": [str(outside_pics(tmp_path))],
        "pdk": [str(examples), "--pdk", "nope"],
        "port": [str(examples), "--port", str(busy_port)],
    }[case]
    result = run_cli("serve", *args, cwd=tmp_path)
    expected = message.format(tmp=tmp_path, port=busy_port)
    assert (result.returncode, result.stdout, result.stderr) == (1, "", f"error: {expected}\n")
