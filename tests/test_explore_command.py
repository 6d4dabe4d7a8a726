"""The ``lumencad explore`` command: summary on stdout, drawing written whole."""

from __future__ import annotations

import os
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import lumencad
import pytest
from lumencad.core.cli import main as cli_main

EXPECTED = Path(__file__).parent / "expected" / "explore"
PACKAGE_ROOT = Path(lumencad.__file__).resolve().parents[1]

# The nodes of the generic PDK's graph: its cells, and the straight variants
# that its mzi uses.
GENERIC_NODES = [
    "bend_circular",
    "bend_euler",
    "coupler",
    "grating_coupler_elliptical",
    "mmi1x2",
    "mmi2x2",
    "mzi",
    "pad",
    "ring_single",
    "straight",
    "straight_length0p1",
    "straight_length2",
    "straight_length7",
    "taper",
]
GRAPHVIZ_HINT = "install Graphviz (Debian packages graphviz and libgraphviz-dev)"


def run_explore(cwd: Path, *args: str, path: str | None = None) -> subprocess.CompletedProcess:
    env = {**os.environ, "PYTHONPATH": str(PACKAGE_ROOT)}
    env.pop("LUMENCAD_PDK", None)
    if path is not None:
        env["PATH"] = path
    return subprocess.run(
        [sys.executable, "-m", "lumencad", "explore", *args],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
    )


def png_size(data: bytes) -> tuple[int, int]:
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


def test_explore_draws_an_svg(tmp_path: Path) -> None:
    result = run_explore(tmp_path, "--output", "graph.svg", "--reverse")
    expected = (EXPECTED / "generic_summary_reverse.txt").read_text()
    assert (result.returncode, result.stdout) == (0, expected + "drawing written to graph.svg\n")
    assert "11/11" in result.stderr  # the progress bar
    assert [p.name for p in tmp_path.iterdir()] == ["graph.svg"]
    data = (tmp_path / "graph.svg").read_bytes()
    root = ET.fromstring(data)
    labels = sorted(t.text or "" for t in root.iter("{http://www.w3.org/2000/svg}text"))
    assert labels == GENERIC_NODES
    for color in ("#00ff00", "#0000ff", "#ff0000"):  # good, composite, without ports
        assert f"fill: {color}" in data.decode()


@pytest.mark.usefixtures("generic_pdk_active")
def test_explore_draws_a_png(tmp_path: Path, monkeypatch, capsys) -> None:
    from matplotlib.figure import Figure

    saved = []
    savefig = Figure.savefig

    def watched_savefig(self: Figure, stream, **kwargs) -> None:
        saved.append((sorted(t.get_text() for t in self.axes[0].texts), kwargs["format"]))
        savefig(self, stream, **kwargs)

    monkeypatch.setattr(Figure, "savefig", watched_savefig)
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as info:
        cli_main.main(["explore", "--output", "graph.png"])
    assert info.value.code == 0
    expected = (EXPECTED / "generic_summary.txt").read_text() + "drawing written to graph.png\n"
    assert capsys.readouterr().out == expected
    assert saved == [(GENERIC_NODES, "png")]
    assert [p.name for p in tmp_path.iterdir()] == ["graph.png"]
    assert png_size((tmp_path / "graph.png").read_bytes()) == (1000, 1000)


@pytest.mark.parametrize(
    ("args", "path", "message"),
    [
        (["--output", "graph.pdf"], None, "Drawing must be a .png or .svg file: graph.pdf"),
        (["--output", "folder.svg"], None, "Output path is a folder: {tmp}/folder.svg"),
        (["--pdk", " NoPe "], None, "Unknown PDK 'nope'. Available PDKs: generic"),
        (
            [],
            "{tmp}",
            "Graphviz program 'circo' not found on PATH: "
            "install Graphviz (Debian package graphviz)",
        ),
    ],
)
def test_explore_errors_are_one_line(
    tmp_path: Path, args: list, path: str | None, message: str
) -> None:
    (tmp_path / "folder.svg").mkdir()
    path = path and path.format(tmp=tmp_path)
    result = run_explore(tmp_path, *args, path=path)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == f"error: {message.format(tmp=tmp_path)}\n"
    assert [p.name for p in tmp_path.iterdir()] == ["folder.svg"]


def test_explore_without_pygraphviz(tmp_path: Path, monkeypatch, capsys) -> None:
    monkeypatch.setitem(sys.modules, "pygraphviz", None)
    with pytest.raises(SystemExit) as info:
        cli_main.main(["explore", "--output", str(tmp_path / "graph.svg")])
    assert info.value.code == 1
    assert capsys.readouterr().err == (
        "error: Cannot import pygraphviz (import of pygraphviz halted; None in sys.modules): "
        f"{GRAPHVIZ_HINT}, then pip install pygraphviz\n"
    )
    assert list(tmp_path.iterdir()) == []


@pytest.mark.usefixtures("generic_pdk_active")
def test_a_failed_write_keeps_the_previous_drawing(tmp_path: Path, monkeypatch, capsys) -> None:
    from matplotlib.figure import Figure

    def disk_full(self: Figure, stream, **kwargs) -> None:
        stream.write(b"<svg")
        raise OSError(28, "No space left on device")

    target = tmp_path / "graph.svg"
    target.write_text("previous")
    monkeypatch.setattr(Figure, "savefig", disk_full)
    with pytest.raises(SystemExit) as info:
        cli_main.main(["explore", "--output", str(target)])
    assert info.value.code == 1
    assert capsys.readouterr().err.splitlines()[-1] == (
        f"error: Cannot write drawing {target}: No space left on device"
    )
    assert [p.name for p in tmp_path.iterdir()] == ["graph.svg"]
    assert target.read_text() == "previous"
