"""Benchmark: the two builder commands against a bare loop over the same cells.

The bare loop does only what a build cannot skip: get the component, write its
GDS file and write its ports JSON. The commands add everything else (argument
checks, collecting and registering the project's cells, folders, console
lines, per-cell log files with redirected output, replacing files whole).
Both sides build the same cells from cold caches, alternately, several times;
the best time of each is compared. Workloads: the generic PDK, and a
generated project of small pics in a temporary folder (under the system
temporary directory, or under --dir). Most of the commands' extra cost is file
system work (a truncated log file per cell, outputs replaced whole), so the
ratio depends on the file system the folder lives on.
Run: PYTHONPATH=python python bench/bench_builders.py [--dir FOLDER]
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path
from typing import Any

import polyloom as pl
from benchlib import PIC_TEMPLATE, best_of, run_quietly
from lumencad.core.cli.build_pdk import build_pdk
from lumencad.core.cli.build_pics import build_pics
from lumencad.core.netlist import _try_get_ports
from lumencad.core.shared import import_pdk
from polyloom.read.from_yaml_template import cell_from_yaml_template

PICS = 500
REPEATS = 5
TARGET_RATIO = 1.3


def clear_cell_caches(pdk: Any) -> None:
    """Drop every cached component so that each run builds from scratch."""
    for factory in pdk.cells.values():
        clear = getattr(factory, "cache_clear", None)
        if callable(clear):
            clear()


def bare_loop(get_component: Callable[[str], Any], names: list[str], out_dir: Path) -> None:
    ports_dir = out_dir / "ports"
    ports_dir.mkdir(parents=True, exist_ok=True)
    for name in names:
        comp = get_component(name)
        comp.write_gds(str(out_dir / f"{name}.gds"))
        with open(ports_dir / f"{name}.json", "w") as f:
            f.write(json.dumps(_try_get_ports(comp)))


def report(label: str, cells: int, command: float, bare: float) -> tuple[float, float]:
    print(
        f"{label:<22} {cells:4d} cells  command {command * 1e3:8.1f} ms  "
        f"bare loop {bare * 1e3:8.1f} ms  ratio {command / bare:5.2f}x"
    )
    return command, bare


def bench_pdk(tmp: Path) -> tuple[float, float]:
    pdk = import_pdk("generic")
    pdk.activate()
    names = list(pdk.cells)
    command, bare = best_of(
        [
            lambda: run_quietly(build_pdk, str(tmp / "command"), "generic", "stop"),
            lambda: bare_loop(pl.get_component, names, tmp / "bare"),
        ],
        prepare=lambda: clear_cell_caches(pdk),
        repeats=REPEATS,
    )
    return report("generic PDK", len(names), command, bare)


def bench_pics(tmp: Path) -> tuple[float, float]:
    project = tmp / "project"
    pics_dir = project / "pics"
    pics_dir.mkdir(parents=True)
    (project / "pyproject.toml").write_text('[tool.lumencad]\npdk = "generic"\n')
    names = [f"pic{i}" for i in range(PICS)]
    for i, name in enumerate(names):
        (pics_dir / f"{name}.pic.yml").write_text(PIC_TEMPLATE.format(length=1 + i / 10))
    pdk = import_pdk("generic")
    pdk.activate()

    def prepare() -> None:
        # Fresh pic factories (each caches its component) and cold cell caches.
        clear_cell_caches(pdk)
        pdk.register_cells(
            **{
                name: cell_from_yaml_template(str(pics_dir / f"{name}.pic.yml"), name)
                for name in names
            }
        )

    command, bare = best_of(
        [
            lambda: run_quietly(build_pics, str(pics_dir), "generic", "stop"),
            lambda: bare_loop(pdk.get_component, names, tmp / "bare-pics"),
        ],
        prepare=prepare,
        repeats=REPEATS,
    )
    return report(f"project of {PICS} pics", len(names), command, bare)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default=None, help="folder for the temporary projects")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench-builders-", dir=args.dir) as folder:
        tmp = Path(folder)
        print(f"outputs under {tmp}")
        cwd = os.getcwd()
        os.chdir(tmp)
        try:
            results = [bench_pdk(tmp), bench_pics(tmp)]
        finally:
            os.chdir(cwd)
    command = sum(c for c, _ in results)
    bare = sum(b for _, b in results)
    ratio = command / bare
    verdict = "ok" if ratio <= TARGET_RATIO else "SLOWER THAN TARGET"
    print(
        f"{'total':<33}command {command * 1e3:8.1f} ms  bare loop {bare * 1e3:8.1f} ms  "
        f"ratio {ratio:5.2f}x  (target <= {TARGET_RATIO}x: {verdict})"
    )
    return 0 if ratio <= TARGET_RATIO else 1


if __name__ == "__main__":
    sys.exit(main())
