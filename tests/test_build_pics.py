"""The build_pics command, and the per-cell build loop it shares with build_pdk."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import gdstk
import pytest
import typer
from builder_helpers import PACKAGE_ROOT, SUCCESS_LOG, make_project, run
from lumencad.core.cli import build_pics as bp

PORTS_JSON = '{"o1": "w", "o2": "e"}'
EXPECTED_PORTS = Path(__file__).parent / "expected" / "ports"
CELL_MODULE = "from polyloom.cell import cell\n\n@cell\ndef ring():\n    raise AssertionError\n"

# Builds register cells and import project modules: undo that after each test.
pytestmark = [
    pytest.mark.usefixtures("restore_pdk"),
    pytest.mark.filterwarnings("ignore:(importing a fake PDK|building )"),
]


def test_success_writes_outputs_and_rebuild_truncates_logs(tmp_path: Path, fake_pdk) -> None:
    pics_dir = make_project(tmp_path, ["ring.pic.yml", "sub/coupler.pic.yml"])
    fake_pdk()
    gds, log = tmp_path / "proj" / "build" / "gds", tmp_path / "proj" / "build" / "log"
    expected = (
        f"[picyml] ring... SUCCESS. -> {gds}/ring.gds\n"
        f"[picyml] coupler... SUCCESS. -> {gds}/sub/coupler.gds\n"
    )
    assert run(pics_dir) == run(pics_dir) == (0, expected, "2 cells built, 0 failed.\n")
    assert [c.name for c in gdstk.read_gds(str(gds / "sub" / "coupler.gds")).cells] == ["coupler"]
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
            "FAILED a: RuntimeError: broken a (log: {log}/a.log)\n"
            "FAILED b: RuntimeError: broken b (log: {log}/b.log)\n"
            "1 cell built, 2 failed.\n",
        ),
        (
            {"b": RuntimeError("broken b")},
            " STOP ",
            1,
            "[picyml] a... SUCCESS. -> {gds}/a.gds\n[picyml] b... FAILED.\n",
            "FAILED b: RuntimeError: broken b (log: {log}/b.log)\nbroken b\n"
            "1 cell built, 1 failed.\n",
        ),
        (
            {"a": None},
            "continue",
            2,
            "[picyml] a... FAILED.\n",
            "FAILED a: get_component returned None (log: {log}/a.log)\n0 cells built, 1 failed.\n",
        ),
    ],
)
def test_failure_policies(tmp_path, fake_pdk, outcomes, on_error, code, console, stderr) -> None:
    pics_dir = make_project(tmp_path, ["a.pic.yml", "b.pic.yml", "c.pic.yml"])
    fake_pdk(outcomes)
    gds, log_dir = tmp_path / "proj" / "build" / "gds", tmp_path / "proj" / "build" / "log"
    expected = (code, console.format(gds=gds), stderr.format(log=log_dir))
    assert run(pics_dir, on_error) == expected
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
    (pics_dir / "sub" / "mycells.py").write_text(CELL_MODULE)
    pdk = fake_pdk(pdk_cells=["zeta", "other"])
    gds = tmp_path / "proj" / "build" / "gds"
    expected = (
        0,
        f"[picyml] alpha... SUCCESS. -> {gds}/alpha.gds\n"
        f"[python] ring... SUCCESS. -> {gds}/sub/ring.gds\n"
        f"[picyml] zeta... SUCCESS. -> {gds}/zeta.gds\n",
        f"warning: Python cell 'ring' in {pics_dir}/sub/mycells.py replaces the pic "
        f"{pics_dir}/ring.pic.yml\n"
        f"warning: cell 'zeta' in {pics_dir}/zeta.pic.yml shadows cell 'zeta' of PDK 'fake'\n"
        "3 cells built, 0 failed.\n",
    )
    # The second run finds the project's cells registered: still not the PDK's own.
    assert run(pics_dir) == run(pics_dir) == expected
    assert list(pdk.registered) == ["alpha", "ring", "zeta"]
    assert pdk.registered["ring"].__module__ == "pics.sub.mycells"


def fake_cell(module: str) -> Any:
    return type("Cell", (), {"__module__": module, "__name__": "ring"})()


@pytest.mark.parametrize(
    ("files", "found", "first", "second"),
    [
        (["a/ring.pic.yml", "b/ring.pic.yml"], None, "a/ring.pic.yml", "b/ring.pic.yml"),
        (
            ["a/__init__.py", "a/cells.py", "b/__init__.py", "b/cells.py"],
            None,
            "a/cells.py",
            "b/cells.py",
        ),
        # A cell collector that files both (the builder's own check).
        (
            [],
            {"x": fake_cell("pics.a.cells"), "y": fake_cell("pics.b.cells")},
            "a/cells.py",
            "b/cells.py",
        ),
    ],
)
def test_two_cells_of_one_name_stop_the_run_before_any_build(
    tmp_path, fake_pdk, monkeypatch, files, found, first, second
) -> None:
    pics_dir = make_project(tmp_path, ["__init__.py", "other.pic.yml", *files])
    for rel in files:
        if rel.endswith("cells.py"):
            (pics_dir / rel).write_text(CELL_MODULE)
    if found is not None:
        monkeypatch.setattr(bp, "_get_cells", lambda modules: found)
    pdk = fake_pdk()
    message = f"Duplicate cell 'ring': defined in {pics_dir / first} and in {pics_dir / second}."
    assert run(pics_dir) == (1, "", f"error: {message}\n")
    assert (pdk.registered, (tmp_path / "proj" / "build").exists()) == ({}, False)


def test_only_regular_files_are_pics(tmp_path: Path, fake_pdk) -> None:
    pics_dir = make_project(tmp_path, ["a.pic.yml"])
    os.mkfifo(pics_dir / "fifo.pic.yml")  # reading it would block the build
    (pics_dir / "gone.pic.yml").symlink_to(pics_dir / "missing.yml")
    (pics_dir / "link.pic.yml").symlink_to(pics_dir / "a.pic.yml")
    fake_pdk()
    gds = tmp_path / "proj" / "build" / "gds"
    assert run(pics_dir)[:2] == (
        0,
        f"[picyml] a... SUCCESS. -> {gds}/a.gds\n[picyml] link... SUCCESS. -> {gds}/link.gds\n",
    )


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
    assert run(tmp_path / "empty") == (0, "", "0 cells built, 0 failed.\n")
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
        ("write fails", "continue", typer.Exit),
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
    assert not list((tmp_path / "proj" / "build").rglob(".*.tmp-*"))  # no temporary file left


def test_failed_writes_keep_the_previous_files(tmp_path: Path, fake_pdk, monkeypatch) -> None:
    pics_dir = make_project(tmp_path, ["a.pic.yml"])
    pdk = fake_pdk()
    assert run(pics_dir)[0] == 0
    gds = tmp_path / "proj" / "build" / "gds"
    layout = (gds / "a.gds").read_bytes()

    # A writer that writes nothing leaves the layout alone; the ports are still written.
    pdk.outcomes["a"] = SimpleNamespace(write_gds=lambda path: None)
    (gds / "ports" / "a.json").unlink()
    assert run(pics_dir)[0] == 0
    assert (gds / "a.gds").read_bytes() == layout
    assert (gds / "ports" / "a.json").read_text() == PORTS_JSON

    # Writing that fails fails the cell, not the whole run.
    pdk.outcomes["a"] = "write fails"
    assert run(pics_dir)[:2] == (0, "[picyml] a... FAILED.\n")
    assert (gds / "a.gds").read_bytes() == layout

    pdk.outcomes["a"] = "ok"
    monkeypatch.setattr(bp, "_try_get_ports", lambda comp: {"o1": {1j}})
    assert run(pics_dir)[:2] == (0, "[picyml] a... FAILED.\n")
    assert (gds / "ports" / "a.json").read_text() == PORTS_JSON
    assert sorted(p.name for p in gds.rglob("*")) == ["a.gds", "a.json", "ports"]


def test_example_project_builds_every_cell_from_the_command_line(examples_dir, tmp_path) -> None:
    shutil.copytree(examples_dir, tmp_path / "ex", ignore=shutil.ignore_patterns("build"))
    result = subprocess.run(
        [sys.executable, "-m", "lumencad", "build-pics", "ex/pics", "--pdk", " Generic "],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": PACKAGE_ROOT},
        cwd=tmp_path,
    )
    assert (result.returncode, result.stderr) == (0, "7 cells built, 0 failed.\n")
    lines = result.stdout.splitlines()
    assert [line.split("] ")[0] for line in lines] == ["[picyml"] * 5 + ["[python"] * 2
    out = tmp_path / "ex" / "build" / "gds"
    built = sorted(str(p) for p in out.rglob("*.gds"))
    assert sorted(line.split("... SUCCESS. -> ")[1] for line in lines) == built
    for gds_path in map(Path, built):
        top = gdstk.read_gds(str(gds_path)).top_level()
        assert [c.name for c in top] == [gds_path.stem] and top[0].bounding_box() is not None
    # Ports files, byte for byte as reviewed against each cell's geometry.
    expected = EXPECTED_PORTS / "examples"
    written = {p.relative_to(out): p.read_bytes() for p in out.rglob("*.json")}
    assert written == {p.relative_to(expected): p.read_bytes() for p in expected.rglob("*.json")}
