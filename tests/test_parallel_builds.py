"""Builds on worker processes (the `jobs` setting) and on a Dask cluster (the
`scheduler` setting): the same console lines in the same order, the same files
as a sequential build, and the failure policy kept."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path

import lumencad.core.workers
import pytest
from builder_helpers import PACKAGE_ROOT, build_outputs
from distributed import LocalCluster
from lumencad.core.cli.app import app
from lumencad.core.cli.main import load_commands
from lumencad.settings import SETTINGS
from typer.testing import CliRunner

pytestmark = pytest.mark.usefixtures("restore_pdk")
load_commands()

PIC = """\
instances:
  wg:
    component: straight
    settings:
      length: {length}
  bend:
    component: bend_euler
connections:
  wg,o2: bend,o1
ports:
  o1: wg,o1
  o2: bend,o2
"""
BROKEN_PIC = "instances:\n  x:\n    component: no_such_cell\n"

CELLS_HEADER = """\
import os
import signal
import time
from pathlib import Path

from polyloom import cell
from polyloom.generic.cells import straight

LOGS = Path(__file__).resolve().parents[2] / "build" / "log" / "sub"


def wait_for(log, text):
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and not (log.exists() and text in log.read_text()):
        time.sleep(0.01)
"""

# Python cells for the module pics/sub/cells.py, by name. Where `slow` is
# one of them, it and `broken` build side by side: `broken` fails once `slow`
# has started, `slow` ends a second after that failure.
CELLS = {
    "fine": """
@cell
def fine():
    print("building fine")
    return straight(length=3)
""",
    "broken": """
@cell
def broken():
    print("about to fail")
    if "slow" in globals():
        wait_for(LOGS / "slow.log", "")
    raise RuntimeError("broken cell")
""",
    "killer": """
@cell
def killer():
    os.kill(os.getpid(), signal.SIGKILL)
""",
    "slow": """
@cell
def slow():
    wait_for(LOGS / "broken.log", "ERROR")
    time.sleep(1)
    return straight(length=2)
""",
}

PDK_MODULE = """\
from polyloom import Pdk
from polyloom.generic import PDK as GENERIC


class SomePdk(Pdk):
    def get_component(self, component, **settings):
        return None if component == "nothing" else super().get_component(component, **settings)


def broken():
    raise ValueError("no such layer")


PDK = SomePdk(
    "somepdk",
    cells={
        "straight": GENERIC.cells["straight"],
        "broken": broken,
        "bend_euler": GENERIC.cells["bend_euler"],
        "mmi1x2": GENERIC.cells["mmi1x2"],
        "nothing": GENERIC.cells["straight"],
    },
    layers=GENERIC.layers,
    cross_sections=GENERIC.cross_sections,
    layer_priority=GENERIC.layer_priority,
)
"""


@pytest.fixture(scope="module")
def cluster() -> Iterator[str]:
    """The address of a local Dask cluster of two single-threaded worker processes."""
    with LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as local:
        yield local.scheduler_address


@pytest.fixture(params=["jobs", "spawned jobs", "cluster"])
def workers(request, monkeypatch) -> str:
    """Builds on three local worker processes (forked, or spawned as where
    fork is not used), or on the local Dask cluster."""
    if request.param.endswith("jobs"):
        monkeypatch.setattr(SETTINGS, "jobs", 3)
        if request.param == "spawned jobs":
            monkeypatch.setattr(lumencad.core.workers, "START_METHOD", "spawn")
    else:
        monkeypatch.setattr(SETTINGS, "scheduler", request.getfixturevalue("cluster"))
    return request.param


def make_project(root: Path, pics: int, cells: list[str], broken_pic: bool = True) -> Path:
    """A project of `pics` generated pics, a broken pic, and the Python `cells`
    (in this order) in a module of a subfolder; returns its pics folder."""
    pics_dir = root / "proj" / "pics"
    (pics_dir / "sub").mkdir(parents=True)
    for i in range(pics):
        (pics_dir / f"pic{i}.pic.yml").write_text(PIC.format(length=1 + i / 10))
    if broken_pic:
        (pics_dir / "pic3_broken.pic.yml").write_text(BROKEN_PIC)
    (pics_dir / "__init__.py").write_text("")
    (pics_dir / "sub" / "__init__.py").write_text("")
    source = CELLS_HEADER + "".join("\n" + CELLS[name] for name in cells)
    (pics_dir / "sub" / "cells.py").write_text(source)
    return pics_dir


def invoke(*args: str) -> tuple[int, str, str]:
    result = CliRunner().invoke(app, list(args))
    if result.exception is not None and not isinstance(result.exception, SystemExit):
        raise result.exception
    return result.exit_code, result.stdout, result.stderr


def sequential_and_parallel(
    monkeypatch, build_dir: Path, *args: str
) -> tuple[tuple[int, str, str], dict[str, bytes], tuple[int, str, str], dict[str, bytes]]:
    """Console and files of a sequential build and of a build with the
    workers the settings say. The parallel build runs first: forked workers
    start from this process's cell caches, which a sequential build fills."""
    parallel = invoke(*args)
    parallel_files = build_outputs(build_dir)
    shutil.rmtree(build_dir)
    with monkeypatch.context() as m:
        m.setattr(SETTINGS, "jobs", 1)
        m.setattr(SETTINGS, "scheduler", None)
        sequential = invoke(*args)
    return sequential, build_outputs(build_dir), parallel, parallel_files


@pytest.mark.parametrize("on_error", ["continue", "stop"])
def test_pics_build_like_a_sequential_run(tmp_path, monkeypatch, workers, on_error) -> None:
    # Under "stop" the first failure is the project's last cell.
    pics_dir = make_project(tmp_path, 8, ["fine", "broken"], broken_pic=on_error == "continue")
    args = ("build-pics", str(pics_dir), "--pdk", "generic", "--on-error", on_error)
    first, files, second, files_again = sequential_and_parallel(
        monkeypatch, tmp_path / "proj" / "build", *args
    )
    assert second == first
    assert files_again == files
    log = tmp_path / "proj" / "build" / "log" / "sub"
    broken = f"FAILED broken: RuntimeError: broken cell (log: {log}/broken.log)\n"
    if on_error == "continue":
        assert first[0] == 0 and first[2].endswith(broken + "9 cells built, 2 failed.\n")
        assert len(first[1].splitlines()) == 11
    else:
        assert first == (1, first[1], broken + "broken cell\n9 cells built, 1 failed.\n")


def test_pdk_build_like_a_sequential_run(tmp_path, monkeypatch) -> None:
    (tmp_path / "somepdk.py").write_text(PDK_MODULE)
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setattr(SETTINGS, "jobs", 2)
    first, files, second, files_again = sequential_and_parallel(
        monkeypatch, tmp_path / "out", "build-pdk", str(tmp_path / "out"), "--pdk", "somepdk"
    )
    assert (second, files_again) == (first, files)
    log = tmp_path / "out" / "log" / "pdk"
    assert first[0] == 2 and first[2] == (
        f"FAILED broken: ValueError: no such layer (log: {log}/broken.log)\n"
        f"FAILED nothing: get_component returned None (log: {log}/nothing.log)\n"
        "3 cells built, 2 failed.\n"
    )


@pytest.mark.parametrize(
    ("order", "console"),
    [
        (["slow", "broken"], "[python] slow... {ok}/slow.gds\n[python] broken... FAILED.\n"),
        # `slow` was running when `broken` failed: it finishes and is reported.
        (["broken", "slow"], "[python] broken... FAILED.\n[python] slow... {ok}/slow.gds\n"),
    ],
)
def test_no_cell_starts_after_a_failure_under_stop(tmp_path, monkeypatch, order, console) -> None:
    # Two workers: `slow` and `broken` build side by side, the cells after
    # them wait in the workers' queues until `broken` has failed; `killer`
    # would end its worker.
    pics_dir = make_project(tmp_path, 0, [*order, "fine", "killer"], broken_pic=False)
    monkeypatch.setattr(SETTINGS, "jobs", 2)
    gds, log = tmp_path / "proj" / "build" / "gds" / "sub", tmp_path / "proj" / "build" / "log"
    assert invoke("build-pics", str(pics_dir), "--pdk", "generic", "--on-error", "stop") == (
        1,
        console.format(ok=f"SUCCESS. -> {gds}"),
        f"FAILED broken: RuntimeError: broken cell (log: {log}/sub/broken.log)\n"
        "broken cell\n1 cell built, 1 failed.\n",
    )
    assert sorted(p.name for p in (log / "sub").iterdir()) == ["broken.log", "slow.log"]


def test_a_dead_worker_fails_its_cell_and_the_run_goes_on(tmp_path, monkeypatch) -> None:
    pics_dir = make_project(tmp_path, 3, ["killer", "fine"], broken_pic=False)
    monkeypatch.setattr(SETTINGS, "jobs", 2)
    gds, log = tmp_path / "proj" / "build" / "gds", tmp_path / "proj" / "build" / "log"
    built = "".join(f"[picyml] pic{i}... SUCCESS. -> {gds}/pic{i}.gds\n" for i in range(3))
    assert invoke("build-pics", str(pics_dir), "--pdk", "generic") == (
        0,
        built + f"[python] killer... FAILED.\n[python] fine... SUCCESS. -> {gds}/sub/fine.gds\n",
        "FAILED killer: build worker died: killed by SIGKILL "
        f"(log: {log}/sub/killer.log)\n4 cells built, 1 failed.\n",
    )
    assert (log / "sub" / "killer.log").read_text() == (
        "ERROR\nbuild worker died: killed by SIGKILL\n"
    )


def test_an_error_outside_the_failure_policy_ends_the_run(tmp_path, monkeypatch) -> None:
    pics_dir = make_project(tmp_path, 4, [], broken_pic=False)
    (tmp_path / "proj" / "build" / "log" / "pic2.log").mkdir(parents=True)
    monkeypatch.setattr(SETTINGS, "jobs", 2)
    streams = (sys.stdout, sys.stderr)
    with pytest.raises(IsADirectoryError):
        invoke("build-pics", str(pics_dir), "--pdk", "generic")
    assert (sys.stdout, sys.stderr) == streams


def run_cli(cwd: Path, *args: str, spawn: bool = False, **env: str) -> tuple[int, str, str]:
    """The console script's outcome; with ``spawn`` local workers are spawned."""
    start = "import lumencad.core.workers as w; w.START_METHOD = 'spawn'; " if spawn else ""
    result = subprocess.run(
        [sys.executable, "-c", start + "from lumencad.__main__ import main; main()", *args],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": PACKAGE_ROOT, **env},
        cwd=cwd,
    )
    return result.returncode, result.stdout, result.stderr


def test_example_project_from_the_command_line(examples_dir, tmp_path, cluster) -> None:
    shutil.copytree(examples_dir, tmp_path / "ex", ignore=shutil.ignore_patterns("build"))
    build = tmp_path / "ex" / "build"
    sequential = run_cli(tmp_path, "build-pics", "ex/pics")
    files = build_outputs(build)
    assert sequential[0] == 0 and len(files) == 21
    for env in ({"LUMENCAD_JOBS": "2"}, {"LUMENCAD_JOBS": "auto"}, {"LUMENCAD_SCHEDULER": cluster}):
        shutil.rmtree(build)
        assert run_cli(tmp_path, "build-pics", "ex/pics", **env) == sequential
        assert build_outputs(build) == files


def test_a_worker_that_cannot_prepare_is_a_one_line_error(tmp_path) -> None:
    pics_dir = make_project(tmp_path, 1, ["fine"], broken_pic=False)
    cells = pics_dir / "sub" / "cells.py"
    guard = "import multiprocessing\n\nif multiprocessing.parent_process():\n"
    cells.write_text(guard + "    raise ImportError('not here')\n" + cells.read_text())
    assert run_cli(tmp_path, "build-pics", "proj/pics", spawn=True, LUMENCAD_JOBS="2") == (
        1,
        "[picyml] pic0... ",
        "error: A build worker could not prepare the build: ImportError: not here\n",
    )


def test_dask_is_imported_only_for_a_scheduler(tmp_path, monkeypatch) -> None:
    code = (
        "import sys, lumencad.core.cli.build_pics, lumencad.core.workers\n"
        "print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed')))"
    )
    env = {**os.environ, "PYTHONPATH": PACKAGE_ROOT}
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert (result.stdout, result.stderr) == ("[]\n", "")

    monkeypatch.setitem(sys.modules, "distributed", None)  # as if not installed
    monkeypatch.setattr(SETTINGS, "scheduler", "tcp://127.0.0.1:8786")
    pics_dir = make_project(tmp_path, 1, [], broken_pic=False)
    assert invoke("build-pics", str(pics_dir), "--pdk", "generic") == (
        1,
        "",
        "error: Building on the Dask scheduler 'tcp://127.0.0.1:8786' needs Dask's "
        "distributed scheduler: pip install 'lumencad[cluster]'\n",
    )


def test_workers_are_forked_as_cells_come(tmp_path, monkeypatch) -> None:
    pics_dir = make_project(tmp_path, 3, [], broken_pic=False)
    monkeypatch.setattr(SETTINGS, "jobs", 16)
    forked = []
    fork = lumencad.core.workers._fork
    monkeypatch.setattr(lumencad.core.workers, "_fork", lambda p: forked.append(fork(p)))
    code, out, err = invoke("build-pics", str(pics_dir), "--pdk", "generic")
    assert (code, err, len(forked)) == (0, "3 cells built, 0 failed.\n", 3)
