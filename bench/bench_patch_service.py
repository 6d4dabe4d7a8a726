"""Benchmark: the netlist POST entry against the annotation pipeline alone.

Pics of 100 and 1,000 instances (the circuits of bench_patch_netlist.py) are
written into a temporary project's pics folder. For each size the script
times, in the same run and interleaved:

- `patch_netlist_post(path, body, schemapath, pdk)`: validation, PDK import
  and cell registration, parsing the body, the pipeline, the PDK stamp, the
  YAML dump and the schema file;
- `_patch_netlist(cellname, netlist)` alone, on the parsed body, right after
  the same registration (untimed), so that it builds the pic's layout anew
  just as the POST does.

It prints the fastest of each (other processes on a shared machine only
ever add time) and the share the POST adds around the pipeline, then the
YAML parse and dump of the annotated netlist with the C (libyaml) classes
against the pure-Python ones. Target: the POST adds at most 25% at 1,000
instances.

Run: PYTHONPATH=python .venv/bin/python bench/bench_patch_service.py
"""

from __future__ import annotations

import contextlib
import gc
import os
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import yaml

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_patch_netlist import make_circuit  # noqa: E402
from lumencad.core import shared  # noqa: E402
from lumencad.core.cli import patch_netlist as pn  # noqa: E402

SIZES = (100, 1000)
REPEATS = 9
TARGET_OVERHEAD = 0.25


def timed(run: Callable[[], Any]) -> float:
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        run()
        return time.perf_counter() - start
    finally:
        gc.enable()


def best_of(repeats: int, run: Callable[[], Any]) -> float:
    return min(timed(run) for _ in range(repeats))


def measure(project: Path, size: int) -> dict[str, float]:
    pics = project / "pics"
    name = f"circuit_{size}"
    path = pics / f"{name}.pic.yml"
    body = yaml.safe_dump(make_circuit(size), sort_keys=False)
    path.write_text(body)
    schemapath = str(project / "build" / "schemas" / "netlist.json")
    netlist = yaml.safe_load(body)

    def pipeline_alone() -> float:
        shared.import_pdk("generic").activate()
        shared.register_cells(str(pics))
        return timed(lambda: pn._patch_netlist(name, netlist))

    post = lambda: pn.patch_netlist_post(str(path), body, schemapath, "generic")  # noqa: E731
    post()  # warm caches of the PDK's own cells
    post_times, pipeline_times = [], []
    for _ in range(REPEATS):
        post_times.append(timed(post))
        pipeline_times.append(pipeline_alone())

    annotated = pn._patch_netlist(name, netlist)
    row = {
        "instances": float(size),
        "post": min(post_times),
        "pipeline": min(pipeline_times),
    }
    for kind, loader, dumper in (
        ("c", yaml.CSafeLoader, yaml.CSafeDumper),
        ("pure", yaml.SafeLoader, yaml.SafeDumper),
    ):
        text = yaml.dump(annotated, Dumper=dumper, sort_keys=False)
        row[f"load_{kind}"] = best_of(REPEATS, lambda t=text, lo=loader: yaml.load(t, lo))
        row[f"dump_{kind}"] = best_of(
            REPEATS, lambda d=dumper: yaml.dump(annotated, Dumper=d, sort_keys=False)
        )
    return row


def main() -> int:
    if not yaml.__with_libyaml__:
        print("PyYAML without libyaml: both paths are the pure-Python classes")
    # The layout library warns about every placement a connection overrides,
    # and registration lists every cell: keep the console for the figures.
    with (
        tempfile.TemporaryDirectory() as folder,
        open(os.devnull, "w") as quiet,
        contextlib.redirect_stderr(quiet),
    ):
        project = Path(folder)
        (project / "pics").mkdir()
        rows = [measure(project, size) for size in SIZES]

    print(f"{'instances':>9} {'post ms':>9} {'pipeline ms':>12} {'added':>7}")
    for r in rows:
        added = r["post"] / r["pipeline"] - 1.0
        print(
            f"{r['instances']:>9.0f} {r['post'] * 1e3:>9.1f} {r['pipeline'] * 1e3:>12.1f} "
            f"{added:>7.1%}"
        )
    print("\nYAML of the annotated netlist, ms (C classes / pure-Python classes):")
    print(
        f"{'instances':>9} {'load C':>8} {'load py':>8} {'ratio':>6} "
        f"{'dump C':>8} {'dump py':>8} {'ratio':>6}"
    )
    for r in rows:
        print(
            f"{r['instances']:>9.0f} {r['load_c'] * 1e3:>8.1f} {r['load_pure'] * 1e3:>8.1f} "
            f"{r['load_c'] / r['load_pure']:>6.2f} {r['dump_c'] * 1e3:>8.1f} "
            f"{r['dump_pure'] * 1e3:>8.1f} {r['dump_c'] / r['dump_pure']:>6.2f}"
        )

    largest = rows[-1]
    added = largest["post"] / largest["pipeline"] - 1.0
    ok = added <= TARGET_OVERHEAD
    print(
        f"\n{largest['instances']:.0f} instances: the POST adds {added:.1%} to the pipeline "
        f"(target <= {TARGET_OVERHEAD:.0%}) {'ok' if ok else 'TOO SLOW'}"
    )
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
