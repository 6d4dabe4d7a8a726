"""Benchmark: `_tree` against the same steps written in plain Python.

Workload: a copy of the example project (its pics and Python cells, built
with build-pics) on a generated PDK of N cells (built with build-pdk), so that
every cell has a ports file to read. Each PDK cell has seven parameters with
defaults, two of them sharing one layer tuple as real PDKs share their layer
constants, and every other cell has a model. The plain-Python side calls the
same host services and reads the same files, then does the introspection,
the grouping and the YAML dump in Python. Both sides must give the same text
(checked before timing). Both run by cell and by file, alternately, several
times; the best time of each is compared.

Targets: `_tree` at least 2x faster than the plain-Python steps at 500 PDK
cells, and linear in the number of cells (the time per cell stays roughly
flat from 125 to 1,000 cells).

Run: PYTHONPATH=python python bench/bench_tree.py [--dir FOLDER]
"""

from __future__ import annotations

import argparse
import inspect
import json
import os
import shutil
import sys
import tempfile
import time
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import Any

import polyloom as pl
import yaml
from benchlib import run_quietly
from lumencad.core.cli import tree as tree_module
from lumencad.core.cli.build_pdk import build_pdk
from lumencad.core.cli.build_pics import build_pics
from lumencad.core.cli.watch import validate_args
from lumencad.core.shared import (
    find_atelier_project_dir,
    get_yaml_cell_name,
    get_yaml_paths,
    import_python_modules,
    register_cells,
)
from lumencad.core.shared import get_cells as host_get_cells

REPO = Path(__file__).resolve().parents[1]
SIZES = (125, 250, 500, 1000)
TARGET_AT = 500
SPEEDUP_TARGET = 2.0
REPEATS = 5

CELL_TEMPLATE = """
@cell
def cell_{i}(
    length: float = {length},
    width: float = 0.5,
    count: int = {count},
    label: str = "cell_{i}",
    cross_section: str | None = None,
    layer: tuple = LAYER_WG,
    cladding_layer: tuple = LAYER_WG,
) -> pl.Component:
    c = pl.Component()
    half = width / 2
    c.add_polygon([(0, -half), (length, -half), (length, half), (0, half)], layer)
    c.add_port("o1", (0, 0), 180, width=width)
    c.add_port("o2", (length, 0), 0, width=width)
    return c
"""

MODEL_TEMPLATE = """
def model_{i}(wl: float = 1.55, neff: float = 2.4, loss: float = 0.0, length: float = {length}):
    return {{}}
"""


def pdk_module_source(name: str, cells: int) -> str:
    """A PDK module with `cells` generated cells and a model for every other one."""
    parts = ["import polyloom as pl", "from polyloom import cell", "", "LAYER_WG = (1, 0)"]
    for i in range(cells):
        parts.append(CELL_TEMPLATE.format(i=i, length=10 + i % 7, count=1 + i % 3))
        if i % 2 == 0:
            parts.append(MODEL_TEMPLATE.format(i=i, length=10 + i % 7))
    parts.append(f"CELLS = {{f'cell_{{i}}': globals()[f'cell_{{i}}'] for i in range({cells})}}")
    parts.append(
        f"MODELS = {{f'cell_{{i}}': globals()[f'model_{{i}}'] for i in range(0, {cells}, 2)}}"
    )
    parts.append(f'PDK = pl.Pdk("{name}", cells=CELLS, models=MODELS, layers={{"WG": (1, 0)}})')
    return "\n".join(parts) + "\n"


# --- the same steps in plain Python ------------------------------------------


def py_get_args(func: Callable[..., Any]) -> dict[str, Any]:
    defaults = {}
    for name, param in inspect.signature(func).parameters.items():
        if param.default == inspect.Parameter.empty:
            continue
        try:
            yaml.safe_dump({"x": param.default}, sort_keys=False)
        except Exception:
            continue
        defaults[name] = param.default
    return defaults


def py_get_cells(mod: Any) -> dict[str, Any]:
    cells = host_get_cells(mod)
    return {k: v for k, v in cells.items() if getattr(v, "__module__", None) == mod.__name__}


def py_remove_empty_defaults(obj: Any, none_str: str | None = None) -> Any:
    if isinstance(obj, dict):
        return {
            k: py_remove_empty_defaults(v, none_str=none_str)
            for k, v in obj.items()
            if not (k == "defaults" and not v)
        }
    if isinstance(obj, list):
        return [py_remove_empty_defaults(v, none_str=none_str) for v in obj]
    if obj is None and none_str is not None:
        return str(none_str)
    return obj


def py_read_ports(path: str) -> Any:
    try:
        with open(path) as f:
            return json.load(f)
    except Exception:
        return {}


def py_tree(path: str, pdk: str, by: str, none_str: str = "None") -> str:
    path, _ = validate_args(path, pdk)
    path = os.path.abspath(path)
    dirpath = os.path.dirname(path)
    if dirpath not in sys.path:
        sys.path.insert(0, dirpath)
    mods = import_python_modules(path)
    yamls = get_yaml_paths(path)
    register_cells()
    _pdk = pl.get_active_pdk()
    python_cells = {
        mod.__file__: {k: {"defaults": py_get_args(v)} for k, v in py_get_cells(mod).items()}
        for mod in mods
    }
    pdk_cells = {k: {"defaults": py_get_args(v)} for k, v in dict(_pdk.cells).items()}
    for k in pdk_cells:
        if k in _pdk.models:
            pdk_cells[k]["model"] = {"name": k, "defaults": py_get_args(_pdk.models[k])}
    yaml_cells = {p: {get_yaml_cell_name(p): {"defaults": {}}} for p in yamls}
    sources = {os.path.relpath(k, path): v for k, v in {**yaml_cells, **python_cells}.items()}
    cells = py_remove_empty_defaults({"pdk": pdk_cells, **sources}, none_str=none_str)
    repo_dir = find_atelier_project_dir()
    for name, cell in cells["pdk"].items():
        port_file = os.path.join(repo_dir, "build", "gds", "pdk", "ports", f"{name}.json")
        cell["ports"] = py_read_ports(port_file)
        cell["source"] = "pdk"
    for source in [s for s in cells if s != "pdk"]:
        for name in list(cells[source]):
            cell = cells[source][name]
            folder = os.path.dirname(source)
            port_file = os.path.join(repo_dir, "build", "gds", folder, "ports", f"{name}.json")
            cell["ports"] = py_read_ports(port_file)
            cell["source"] = source
            if name in cells["pdk"]:
                cells["pdk"][name] = cells[source].pop(name)
    if by == "file":
        return yaml.safe_dump(cells, sort_keys=True)
    new_cells: dict[str, dict[str, Any]] = {"pdk": {}, "custom": {}}
    for source, group in cells.items():
        for name, cell in group.items():
            if source == "pdk":
                folder = os.path.join("pdk", os.path.dirname(source))
                target = new_cells["pdk"]
            else:
                folder = os.path.dirname(source)
                target = new_cells["custom"]
            cell["gds"] = os.path.join(folder, name + ".gds")
            cell["logs"] = os.path.join(folder, name + ".log")
            cell["drc"] = os.path.join(folder, name + ".lyrdb")
            target[name] = cell
    return yaml.safe_dump(new_cells, sort_keys=True)


# --- workload ----------------------------------------------------------------------


def make_project(root: Path, sizes: Iterable[int]) -> Path:
    """The example project under `root`, built, with one generated PDK per size, built."""
    project = root / "project"
    shutil.copytree(REPO / "examples", project, ignore=shutil.ignore_patterns("build"))
    for size in sizes:
        (root / f"benchpdk{size}.py").write_text(pdk_module_source(f"benchpdk{size}", size))
    sys.path.insert(0, str(root))
    os.chdir(project)
    for size in sizes:
        run_quietly(build_pdk, str(project / "build"), f"benchpdk{size}", "stop")
    run_quietly(build_pics, str(project / "pics"), "generic", "stop")
    return project / "pics"


def best_of(runs: list[Callable[[], object]]) -> list[float]:
    best = [float("inf")] * len(runs)
    for _ in range(REPEATS):
        for i, run in enumerate(runs):
            start = time.perf_counter()
            run()
            best[i] = min(best[i], time.perf_counter() - start)
    return best


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default=None, help="folder for the temporary project")
    args = parser.parse_args()
    cwd = os.getcwd()
    speedup_at_target = 0.0
    with tempfile.TemporaryDirectory(prefix="bench-tree-", dir=args.dir) as folder:
        try:
            pics = str(make_project(Path(folder), SIZES))
            print(
                f"{'PDK cells':>9} {'by':>4}  {'_tree':>9}  {'plain Python':>12}  "
                f"{'speedup':>7}  {'_tree per cell':>14}"
            )
            for size in SIZES:
                pdk = f"benchpdk{size}"
                cells = size + 7  # the example project's own cells
                for by in ("cell", "file"):
                    ours = tree_module._tree(pics, pdk, by)
                    if ours != py_tree(pics, pdk, by):
                        raise SystemExit(f"different texts for {pdk} by {by}")
                    fast, plain = best_of(
                        [
                            lambda pdk=pdk, by=by: tree_module._tree(pics, pdk, by),
                            lambda pdk=pdk, by=by: py_tree(pics, pdk, by),
                        ]
                    )
                    speedup = plain / fast
                    if size == TARGET_AT:
                        speedup_at_target = min(speedup_at_target or speedup, speedup)
                    print(
                        f"{size:9d} {by:>4}  {fast * 1e3:6.1f} ms  {plain * 1e3:9.1f} ms  "
                        f"{speedup:6.1f}x  {fast / cells * 1e6:11.1f} us"
                    )
        finally:
            os.chdir(cwd)
    ok = speedup_at_target >= SPEEDUP_TARGET
    verdict = "ok" if ok else "SLOWER THAN TARGET"
    print(
        f"speedup at {TARGET_AT} PDK cells: {speedup_at_target:.1f}x "
        f"(target >= {SPEEDUP_TARGET}x: {verdict})"
    )
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
