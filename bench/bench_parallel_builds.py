"""Benchmark: builds on worker processes and on a Dask cluster against one process.

Each build is a whole `lumencad` command in a fresh process, as a user runs it
(interpreter start, imports, setup, workers started, every cell's GDS, ports
and log file written): `build-pics` on a generated project of small pics, and
`build-pdk` on a generated PDK of small cells. Two times are taken of each
run: the whole command, and the builder command's own call inside it (from
parsing its arguments to its exit; the interpreter start and the imports
before it are the same for every setting). Settings compared:
LUMENCAD_JOBS=1 (the baseline), 2 and auto, and LUMENCAD_SCHEDULER naming a
Dask LocalCluster of two single-threaded worker processes started by this
script (long-lived workers, as a cluster's are). For reference, "two halves"
runs two sequential commands side by side, each building half of the pics in a
project of its own: about the best two cores can do for this work, startup
and setup included. The runs alternate, several times; the best time of each
is compared with the baseline of the same run. The targets are checked on the
whole command, what a user waits for.

Every run writes into a build folder of its own, and earlier outputs are only
moved aside until the end: deleting thousands of files just before a run
slows the file system's inode allocation for the next minute (it skips
recently freed inodes), which would time this script's clean-up, not the
builds.
Run: PYTHONPATH=python python bench/bench_parallel_builds.py [--dir FOLDER]
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

import lumencad
from benchlib import PIC_TEMPLATE

PICS = 2000
PDK_CELLS = 500
REPEATS = 5
TARGET_JOBS_2 = 1.7  # speed-up of jobs 2 over jobs 1 at PICS pics, on two cores
TARGET_CLUSTER = 1.3  # the cluster's time over the local pool's (jobs 2)


PDK_TEMPLATE = """\
from polyloom import Pdk
from polyloom.generic import PDK as GENERIC
from polyloom.generic.cells import bend_euler, mmi1x2, straight, taper


def _cell(i):
    kind = i % 4
    if kind == 0:
        return lambda: straight(length=1 + i / 10)
    if kind == 1:
        return lambda: bend_euler(radius=5 + i / 100)
    if kind == 2:
        return lambda: taper(length=5 + i / 10, width2=1 + i / 1000)
    return lambda: mmi1x2(length_mmi=5 + i / 100)


PDK = Pdk(
    "benchpdk",
    cells={{f"cell{{i}}": _cell(i) for i in range({cells})}},
    layers=GENERIC.layers,
    cross_sections=GENERIC.cross_sections,
    layer_priority=GENERIC.layer_priority,
)
"""

PACKAGE_ROOT = str(Path(lumencad.__file__).resolve().parents[1])


def make_project(folder: Path, pics: range) -> Path:
    pics_dir = folder / "pics"
    pics_dir.mkdir(parents=True)
    (folder / "pyproject.toml").write_text('[tool.lumencad]\npdk = "generic"\n')
    for i in pics:
        (pics_dir / f"pic{i}.pic.yml").write_text(PIC_TEMPLATE.format(length=1 + i / 10))
    return pics_dir


def make_pdk(root: Path) -> Path:
    folder = root / "pdk"
    folder.mkdir()
    (folder / "benchpdk.py").write_text(PDK_TEMPLATE.format(cells=PDK_CELLS))
    return folder


# Runs the command line in this interpreter and reports on standard error how
# long the builder command's call took, whatever way it ends.
TIMED_MAIN = """\
import sys, time
from lumencad.core.cli.app import app
from lumencad.core.cli.main import load_commands
load_commands()
start = time.perf_counter()
try:
    app(sys.argv[1:], prog_name="lumencad")
finally:
    print(f"call: {time.perf_counter() - start}", file=sys.stderr)
"""


@dataclass
class Timing:
    command: float = float("inf")  # the whole process
    call: float = float("inf")  # the builder command's call


# One build: the command lines run side by side (one, or the halves of a
# split project), each with its folder to work in and its output folder.
Build = list[tuple[list[str], Path, Path]]


def park(outputs: Path, parking: Path) -> None:
    """Moves what an earlier run left in `outputs` into `parking`."""
    if outputs.exists():
        parking.mkdir(exist_ok=True)
        outputs.rename(parking / f"{len(os.listdir(parking))}")


def build(commands: Build, env: dict[str, str], parking: Path) -> Timing:
    """Times of one build into new output folders: until the last command ends,
    and the longest builder call."""
    for _, _, outputs in commands:
        park(outputs, parking)
    os.sync()  # earlier runs' files are written out, not flushed during this one
    start = time.perf_counter()
    processes = [
        subprocess.Popen(
            [sys.executable, "-c", TIMED_MAIN, *args],
            env=env,
            cwd=cwd,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
        )
        for args, cwd, _ in commands
    ]
    errors = [process.communicate()[1] for process in processes]
    elapsed = time.perf_counter() - start
    for process, (args, _, _), error in zip(processes, commands, errors, strict=True):
        if process.returncode != 0:
            raise RuntimeError(f"{' '.join(args)} failed: {error}")
    call = max(float(error.rpartition("call: ")[2]) for error in errors)
    return Timing(elapsed, call)


def bench(
    label: str, builds: dict[str, tuple[Build, dict[str, str]]], parking: Path
) -> dict[str, Timing]:
    base = {k: v for k, v in os.environ.items() if not k.startswith("LUMENCAD_")}
    best = {name: Timing() for name in builds}
    for _ in range(REPEATS):
        for name, (commands, extra) in builds.items():
            timing = build(commands, {**base, **extra}, parking)
            best[name].command = min(best[name].command, timing.command)
            best[name].call = min(best[name].call, timing.call)
    shutil.rmtree(parking, ignore_errors=True)
    base_time = best["jobs 1"]
    for name, t in best.items():
        print(
            f"{label:<18} {name:<13} command {t.command:5.2f} s "
            f"({base_time.command / t.command:4.2f}x)   "
            f"builder call {t.call:5.2f} s ({base_time.call / t.call:4.2f}x)"
        )
    return best


def busy_loop(_: int = 0) -> float:
    """Seconds of a fixed piece of pure Python work."""
    start = time.perf_counter()
    total = 0
    for i in range(3_000_000):
        total += i
    return time.perf_counter() - start


def parallel_capacity() -> float:
    """How many cores two busy processes get now: 2.0 on two idle cores, less
    where others share them. The ceiling of the speed-up of jobs 2."""
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        pool.map(busy_loop, [0, 0])  # started and warm
        alone = min(busy_loop() for _ in range(3))
        together = min(max(pool.map(busy_loop, [0, 0])) for _ in range(3))
    return 2 * alone / together


def main() -> int:
    from distributed import LocalCluster

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default=None, help="folder for the generated projects")
    args = parser.parse_args()
    print(f"{os.cpu_count()} cores, {len(os.sched_getaffinity(0))} available to this process")
    print(f"two busy processes get {parallel_capacity():.2f} cores now")
    with tempfile.TemporaryDirectory(prefix="bench-parallel-", dir=args.dir) as folder:
        root = Path(folder)
        whole = make_project(root / "project", range(PICS))
        halves = [
            make_project(root / "first-half", range(PICS // 2)),
            make_project(root / "second-half", range(PICS // 2, PICS)),
        ]
        pdk_dir = make_pdk(root)
        # Every build, and the cluster's workers, import lumencad and the generated PDK.
        paths = [str(pdk_dir), PACKAGE_ROOT, os.environ.get("PYTHONPATH", "")]
        os.environ["PYTHONPATH"] = os.pathsep.join(p for p in paths if p)
        sys.path.insert(0, str(pdk_dir))  # what spawned cluster workers start from
        with LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster:
            settings = {
                "jobs 1": {"LUMENCAD_JOBS": "1"},
                "jobs 2": {"LUMENCAD_JOBS": "2"},
                "jobs auto": {"LUMENCAD_JOBS": "auto"},
                "cluster": {"LUMENCAD_SCHEDULER": cluster.scheduler_address},
            }

            def pics_build(pics_dir: Path) -> tuple[list[str], Path, Path]:
                return ["build-pics", str(pics_dir)], root, pics_dir.parent / "build"

            pics_builds = {name: ([pics_build(whole)], env) for name, env in settings.items()}
            # Two sequential processes, each building half of the pics in a
            # project of its own: what two cores give this work at best.
            pics_builds["two halves"] = ([pics_build(half) for half in halves], settings["jobs 1"])
            pics = bench(f"{PICS} pics", pics_builds, root / "parked")
            pdk_build = ["build-pdk", str(root / "pdk-build"), "--pdk", "benchpdk"]
            bench(
                f"PDK of {PDK_CELLS} cells",
                {
                    name: ([(pdk_build, root, root / "pdk-build")], env)
                    for name, env in settings.items()
                },
                root / "parked",
            )
    print(f"after the builds, two busy processes get {parallel_capacity():.2f} cores")
    jobs = pics["jobs 1"].command / pics["jobs 2"].command
    ceiling = pics["jobs 1"].command / pics["two halves"].command
    call = pics["jobs 1"].call / pics["jobs 2"].call
    cluster_ratio = pics["cluster"].command / pics["jobs 2"].command
    ok = jobs >= TARGET_JOBS_2 and cluster_ratio <= TARGET_CLUSTER
    print(
        f"jobs 2 over jobs 1 at {PICS} pics: {jobs:.2f}x (target >= {TARGET_JOBS_2}x; "
        f"builder call alone {call:.2f}x; two processes building half each {ceiling:.2f}x); "
        f"cluster over jobs 2: {cluster_ratio:.2f}x (target <= {TARGET_CLUSTER}x): "
        + ("ok" if ok else "MISSED")
    )
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
