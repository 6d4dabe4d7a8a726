"""The build_pics command, and the per-cell build loop it shares with build_pdk."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import gdstk
import lumencad
import pytest
import typer
from lumencad.core.cli import build_pics as bp
from lumencad.core.cli.app import app
from typer.testing import CliRunner

# Subprocesses import the same lumencad as this process (source tree or installed).
PACKAGE_ROOT = str(Path(lumencad.__file__).resolve().parents[1])
PORTS_JSON = '{"o1": "w", "o2": "e"}'
SUCCESS_LOG = "SUCCESS: Succesfully built '{}.gds'.\n"

# Builds register cells and import project modules: undo that after each test.
pytestmark = [
    pytest.mark.usefixtures("restore_pdk"),
    pytest.mark.filterwarnings("ignore:(importing a fake PDK|building )"),
]


def make_project(root: Path, files: list[str], source: str = "instances: {}\n") -> Path:
    """A project whose pics folder holds `files` (all with `source`); returns the pics folder."""
    pics_dir = root / "proj" / "pics"
    for rel in files:
        (pics_dir / rel).parent.mkdir(parents=True, exist_ok=True)
        (pics_dir / rel).write_text(source if rel.endswith(".pic.yml") else "")
    return pics_dir


def run(pics_dir: Path, on_error: str = "continue") -> tuple[int, str, str]:
    result = CliRunner().invoke(app, ["build-pics", str(pics_dir), "--on-error", on_error])
    if result.exception is not None and not isinstance(result.exception, SystemExit):
        raise result.exception
    return result.exit_code, result.stdout, result.stderr


def test_success_writes_outputs_and_rebuild_truncates_logs(tmp_path: Path, fake_pdk) -> None:
    pics_dir = make_project(tmp_path, ["ring.pic.yml", "sub/coupler.pic.yml"])
    fake_pdk()
    gds, log = tmp_path / "proj" / "build" / "gds", tmp_path / "proj" / "build" / "log"
    expected = (
        f"[picyml] ring... SUCCESS. -> {gds}/ring.gds\n"
        f"[picyml] coupler... SUCCESS. -> {gds}/sub/coupler.gds\n"
    )
    assert run(pics_dir) == run(pics_dir) == (0, expected, "")
    assert (gds / "sub" / "coupler.gds").read_text() == "layout of coupler"
    assert (gds / "sub" / "ports" / "coupler.json").read_text() == PORTS_JSON
    assert (gds / "ports" / "ring.json").read_text() == PORTS_JSON
    assert (log / "sub" / "coupler.log").read_text() == (
        "building coupler\n" + SUCCESS_LOG.format("coupler") + "writing coupler\n"
    )
    assert sorted(p.name for p in gds.iterdir()) == ["ports", "ring.gds", "sub"]  # no temp files


@pytest.mark.parametrize(
    ("outcomes", "on_error", "code", "console", "stderr"),
    [
        (
            {"a": RuntimeError("broken a"), "b": RuntimeError("broken b")},
            "continue",
            0,
            "[picyml] a... FAILED.\n[picyml] b... FAILED.\n[picyml] c... SUCCESS. -> {gds}/c.gds\n",
            "",
        ),
        (
            {"b": RuntimeError("broken b")},
            " STOP ",
            1,
            "[picyml] a... SUCCESS. -> {gds}/a.gds\n[picyml] b... FAILED.\n",
            "broken b\n",
        ),
        ({"a": None}, "continue", 2, "[picyml] a... FAILED.\n", ""),
    ],
)
def test_failure_policies(tmp_path, fake_pdk, outcomes, on_error, code, console, stderr) -> None:
    pics_dir = make_project(tmp_path, ["a.pic.yml", "b.pic.yml", "c.pic.yml"])
    fake_pdk(outcomes)
    gds, log_dir = tmp_path / "proj" / "build" / "gds", tmp_path / "proj" / "build" / "log"
    assert run(pics_dir, on_error) == (code, console.format(gds=gds), stderr)
    logs = {p.stem: p.read_text() for p in log_dir.glob("*.log")}
    for name, log in logs.items():
        outcome = outcomes.get(name, "ok")
        if isinstance(outcome, Exception):
            assert log.startswith(f"building {name}\nERROR\nTraceback (most recent call last):\n")
            assert log.endswith(f"\nRuntimeError: broken {name}\n")
            assert not (gds / f"{name}.gds").exists()
        else:
            assert log.startswith(f"building {name}\n" + SUCCESS_LOG.format(name))
    # A stop or a missing component ends the run: later cells are not built.
    assert sorted(logs) == (["a", "b", "c"] if code == 0 else ["a", "b"] if code == 1 else ["a"])


def test_python_cell_replaces_pic_in_place(tmp_path: Path, fake_pdk) -> None:
    files = ["alpha.pic.yml", "ring.pic.yml", "zeta.pic.yml", "__init__.py", "sub/__init__.py"]
    pics_dir = make_project(tmp_path, files)
    (pics_dir / "sub" / "mycells.py").write_text(
        "from polyloom.cell import cell\n\n@cell\ndef ring():\n    raise AssertionError\n"
    )
    pdk = fake_pdk()
    gds = tmp_path / "proj" / "build" / "gds"
    assert run(pics_dir) == (
        0,
        f"[picyml] alpha... SUCCESS. -> {gds}/alpha.gds\n"
        f"[python] ring... SUCCESS. -> {gds}/sub/ring.gds\n"
        f"[picyml] zeta... SUCCESS. -> {gds}/zeta.gds\n",
        "",
    )
    assert list(pdk.registered) == ["alpha", "ring", "zeta"]
    assert pdk.registered["ring"].__module__ == "pics.sub.mycells"


def test_python_cells_are_filed_by_module_path(tmp_path: Path, monkeypatch) -> None:
    def cell_in(module: str) -> Any:
        return type("Cell", (), {"__module__": module})()

    found = {"a": cell_in("pics.sub.deep.mine"), "b": cell_in("loose"), "c": cell_in("pics.top")}
    monkeypatch.setattr(bp, "import_python_modules", lambda folder: [folder])
    monkeypatch.setattr(bp, "_get_cells", lambda modules: found)
    assert bp.get_python_cells(str(tmp_path)) == {
        f"{tmp_path}/sub/deep/mine.py": [found["a"]],
        f"{tmp_path}/top.py": [found["c"]],
    }


def test_empty_project_builds_nothing_and_makes_no_folders(tmp_path: Path, fake_pdk) -> None:
    fake_pdk()
    (tmp_path / "empty").mkdir()
    assert run(tmp_path / "empty") == (0, "", "")
    assert [p.name for p in tmp_path.iterdir()] == ["empty"]


@pytest.mark.parametrize(
    ("outcome", "on_error", "raised"),
    [
        (RuntimeError("boom"), "continue", typer.Exit),
        (RuntimeError("boom"), "stop", typer.Exit),
        (None, "continue", typer.Exit),
        (KeyboardInterrupt(), "continue", KeyboardInterrupt),
        (SystemExit(3), "continue", SystemExit),
        ("write interrupted", "continue", KeyboardInterrupt),
        ("write fails", "continue", OSError),
        ("log is a folder", "continue", IsADirectoryError),
    ],
)
def test_streams_are_restored_on_every_way_out(tmp_path, fake_pdk, outcome, on_error, raised):
    pics_dir = make_project(tmp_path, ["a.pic.yml"])
    if outcome == "log is a folder":
        (tmp_path / "proj" / "build" / "log" / "a.log").mkdir(parents=True)
        outcome = "ok"
    fake_pdk({"a": outcome})
    streams = (sys.stdout, sys.stderr)
    with pytest.raises(raised):
        bp.build_pics(str(pics_dir), "fake", on_error)
    assert (sys.stdout, sys.stderr) == streams


def test_failed_writes_keep_the_previous_files(tmp_path: Path, fake_pdk, monkeypatch) -> None:
    pics_dir = make_project(tmp_path, ["a.pic.yml"])
    pdk = fake_pdk()
    assert run(pics_dir)[0] == 0
    gds = tmp_path / "proj" / "build" / "gds"

    # A writer that writes nothing leaves the layout alone; the ports are still written.
    pdk.cells["a"] = SimpleNamespace(write_gds=lambda path: None)
    (gds / "ports" / "a.json").unlink()
    assert run(pics_dir)[0] == 0
    assert (gds / "a.gds").read_text() == "layout of a"

    pdk.cells["a"] = "write fails"
    with pytest.raises(OSError, match="disk full while writing a"):
        bp.build_pics(str(pics_dir), "fake", "continue")
    assert (gds / "a.gds").read_text() == "layout of a"

    pdk.cells["a"] = "ok"
    monkeypatch.setattr(bp, "_try_get_ports", lambda comp: {"o1": {1j}})
    with pytest.raises(TypeError, match="is not JSON serializable"):
        bp.build_pics(str(pics_dir), "fake", "continue")
    assert (gds / "ports" / "a.json").read_text() == PORTS_JSON
    assert sorted(p.name for p in gds.rglob("*")) == ["a.gds", "a.json", "ports"]


@pytest.mark.usefixtures("generic_pdk_active")
def test_example_project_builds_every_cell_from_the_command_line(examples_dir, tmp_path) -> None:
    import polyloom as pl
    from lumencad.core.netlist import _try_get_ports
    from lumencad.core.shared import register_cells

    shutil.copytree(examples_dir, tmp_path / "ex", ignore=shutil.ignore_patterns("build"))
    result = subprocess.run(
        [sys.executable, "-m", "lumencad", "build-pics", "ex/pics", "--pdk", " Generic "],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": PACKAGE_ROOT},
        cwd=tmp_path,
    )
    assert (result.returncode, result.stderr) == (0, "")
    lines = result.stdout.splitlines()
    assert [line.split("] ")[0] for line in lines] == ["[picyml"] * 5 + ["[python"] * 2
    built = sorted(str(p) for p in (tmp_path / "ex" / "build" / "gds").rglob("*.gds"))
    assert sorted(line.split("... SUCCESS. -> ")[1] for line in lines) == built
    register_cells(str(tmp_path / "ex" / "pics"))
    for gds_path in map(Path, built):
        top = gdstk.read_gds(str(gds_path)).top_level()
        assert [c.name for c in top] == [gds_path.stem] and top[0].bounding_box() is not None
        component = pl.get_component(gds_path.stem)
        ports = (gds_path.parent / "ports" / f"{gds_path.stem}.json").read_text()
        assert ports == json.dumps(_try_get_ports(component))
