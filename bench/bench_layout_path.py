"""Benchmark: the layout path under `patch_netlist` and `build-pics`, against a baseline tree.

The same work runs on two source trees in one run: this tree and a baseline
tree (a git worktree of an earlier commit with its own developer build):

    git worktree add /tmp/speed-baseline <commit>
    cd /tmp/speed-baseline && cmake -S . -B build/dev -G Ninja ... && cmake --build build/dev
    PYTHONPATH=python python bench/bench_layout_path.py --baseline /tmp/speed-baseline

Each tree gets a worker process of its own (`PYTHONPATH=<tree>/python`); the
parent hands both workers the same requests, alternately and in alternating
order, so that a busy machine slows both alike. Workloads:

- `patch_netlist` of generated circuits of the generic PDK (rows of units made
  of the generic cells: declared connections, touching ports that are not
  declared, rotated and mirrored instances) at 100, 1,000, 5,000 and 20,000
  instances. As in the editor, the circuit is a pic file registered as a cell,
  so the placement stage finds its layout built and cached.
- The first patch after a save: the pic file gets a new modification time, so
  its cell reads and builds it again inside the call; 1,000 instances.
- `build_pics` of a generated project of 2,000 small pics, cell caches
  cleared and the build folder removed before each run (both untimed).

The growth exponent of each tree comes from a series of its own, 1,000 and
20,000 instances in turn, so that a machine whose speed drifts slows both
sizes alike. A sample is the CPU time of one call plus a collection of the youngest
generation right after it: code that holds the cyclic garbage collector off
leaves its cycles to that collection, which is part of its cost. Each figure
is the median of the samples; wall times are shown beside. The ratios are
baseline over this tree.

Outputs must be identical: for every workload each worker reports a digest of
what it produced (the annotated netlists; the console text, ports files and
log files byte for byte and the GDS files as cells, polygons and references),
and so it does for the example project (built with `build_pics`, and every
pic patched); the run fails when the trees disagree.

Run: PYTHONPATH=python python bench/bench_layout_path.py --baseline DIR [--dir FOLDER]
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import hashlib
import io
import json
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import traceback
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

from bench_patch_netlist import tree_unit as patch_netlist_tree_unit
from benchlib import PIC_TEMPLATE

HERE = Path(__file__).resolve()
TREE = HERE.parents[1]

SIZES = (100, 1000, 5000, 20000)
SAMPLES = {100: 15, 1000: 9, 5000: 7, 20000: 5}
SAVE_SIZE = 1000
SAVE_SAMPLES = 9
PICS = 2000
BUILD_SAMPLES = 5
ROW_PITCH = 100.0

# Ratios to reach (baseline time over this tree's time), and the largest
# growth exponent of this tree's patch time from 1,000 to 20,000 instances.
TARGETS = {"patch 1000": 2.5, "patch 20000": 3.0, "save 1000": 4.0, "build": 1.6}
GROWTH_LIMIT = 1.1
GROWTH_SMALL, GROWTH_LARGE = 1000, 20000
GROWTH_ROUNDS = 7


# --- generated inputs -----------------------------------------------------------


def tree_unit(p: str, y: float) -> tuple[dict, dict, dict]:
    """An mmi1x2 feeding two straights on one output and a bend and a straight on the other."""
    return patch_netlist_tree_unit(p, 0.0, y)


def chain_unit(p: str, y: float) -> tuple[dict, dict, dict]:
    """Five straights end to end: two joints declared, two only touching."""
    names = [f"{p}c{i}" for i in range(5)]
    instances = {n: {"component": "straight", "settings": {"length": 10}} for n in names}
    connections = {f"{names[i]},o2": f"{names[i + 1]},o1" for i in (0, 2)}
    placements = {names[i]: {"x": 10.0 * i, "y": y} for i in (0, 2, 4)}
    return instances, connections, placements


def turn_unit(p: str, y: float) -> tuple[dict, dict, dict]:
    """A turned mmi2x2 with a mirrored bend and a straight after it, and a turned pair."""
    instances = {
        f"{p}q": {"component": "mmi2x2"},
        f"{p}r": {"component": "bend_euler"},
        f"{p}t": {"component": "straight", "settings": {"length": 5}},
        f"{p}u": {"component": "straight", "settings": {"length": 20}},
        f"{p}v": {"component": "straight", "settings": {"length": 5}},
    }
    connections = {f"{p}q,o3": f"{p}r,o1", f"{p}r,o2": f"{p}t,o1", f"{p}u,o2": f"{p}v,o1"}
    placements = {
        f"{p}q": {"x": 0.0, "y": y, "rotation": 90},
        f"{p}r": {"mirror": True},
        f"{p}u": {"x": 60.0, "y": y, "rotation": 270},
    }
    return instances, connections, placements


UNITS = (tree_unit, chain_unit, turn_unit)


def make_circuit(size: int) -> dict[str, Any]:
    """A circuit of `size` instances (a multiple of 5), one unit per row."""
    instances: dict[str, Any] = {}
    connections: dict[str, str] = {}
    placements: dict[str, Any] = {}
    unit = 0
    while len(instances) < size:
        i, c, p = UNITS[unit % len(UNITS)](f"u{unit}_", unit * ROW_PITCH)
        instances.update(i)
        connections.update(c)
        placements.update(p)
        unit += 1
    ports = {"in": "u0_m,o1", "out": "u0_s2,o2", "tap": "u0_s3,o2"}
    return {
        "instances": instances,
        "connections": connections,
        "ports": ports,
        "placements": placements,
    }


PIC_TEMPLATES = (
    PIC_TEMPLATE,
    """\
instances:
  split:
    component: mmi1x2
  top:
    component: straight
    settings:
      length: {length}
  bottom:
    component: straight
    settings:
      length: {length}
placements:
  split:
    x: 0
    y: {y}
connections:
  split,o2: top,o1
  split,o3: bottom,o1
ports:
  in: split,o1
  out1: top,o2
  out2: bottom,o2
""",
    """\
instances:
  a:
    component: straight
    settings:
      length: {length}
  b:
    component: straight
    settings:
      length: 10
  c:
    component: bend_euler
placements:
  a:
    rotation: 90
connections:
  a,o2: b,o1
  b,o2: c,o1
ports:
  o1: a,o1
  o2: c,o2
""",
)


def write_project(root: Path, pics: int) -> Path:
    """A project of `pics` generated pic files; returns its pics folder."""
    pics_dir = root / "pics"
    pics_dir.mkdir(parents=True)
    (root / "pyproject.toml").write_text('[tool.lumencad]\npdk = "generic"\n')
    for i in range(pics):
        text = PIC_TEMPLATES[i % len(PIC_TEMPLATES)].format(length=1 + i % 50 / 10, y=i % 7)
        (pics_dir / f"pic{i}.pic.yml").write_text(text)
    return pics_dir


# --- digests of outputs ------------------------------------------------------------


def digest_of(value: Any) -> str:
    return hashlib.sha256(json.dumps(value).encode()).hexdigest()


def gds_content(path: Path) -> list[Any]:
    """Cells, polygons and references of a GDS file (its time stamps left out)."""
    import gdstk

    library = gdstk.read_gds(str(path))
    return [
        [
            cell.name,
            [[p.layer, p.datatype, p.points.tolist()] for p in cell.polygons],
            [
                [
                    r.cell.name if hasattr(r.cell, "name") else r.cell,
                    list(r.origin),
                    r.rotation,
                    r.magnification,
                    r.x_reflection,
                ]
                for r in cell.references
            ],
        ]
        for cell in library.cells
    ]


def folder_digest(root: Path, replace: dict[str, str]) -> dict[str, str]:
    """A digest per file under `root`; GDS files by content, other files as text
    with the paths in `replace` put by their stand-ins."""
    found = {}
    for path in sorted(root.rglob("*")):
        if not path.is_file():
            continue
        if path.suffix == ".gds":
            value: Any = gds_content(path)
        else:
            value = normalized(path.read_text(encoding="utf-8"), replace)
        found[str(path.relative_to(root))] = digest_of(value)
    return found


def normalized(text: str, replace: dict[str, str]) -> str:
    for old, new in replace.items():
        text = text.replace(old, new)
    return text


# --- the worker: runs requests on one tree ---------------------------------------------


@contextlib.contextmanager
def captured() -> Iterator[io.StringIO]:
    """Standard output and error of the work, kept off the request channel."""
    text = io.StringIO()
    with contextlib.redirect_stdout(text), contextlib.redirect_stderr(text):
        yield text


def sample(run: Callable[[], Any]) -> tuple[float, float, Any]:
    """CPU and wall time of `run` and of the young-generation collection after it."""
    gc.collect()
    wall, cpu = time.perf_counter(), time.process_time()
    result = run()
    gc.collect(0)
    return time.process_time() - cpu, time.perf_counter() - wall, result


class Worker:
    def __init__(self, root: Path) -> None:
        import polyloom as pl
        from lumencad.core import netlist

        self.root = root
        self.pl = pl
        self.nl = netlist
        self.circuits: dict[int, tuple[str, dict[str, Any], Path]] = {}
        self.project: Path | None = None

    def circuit(self, size: int) -> tuple[str, dict[str, Any], Path]:
        """The circuit of `size` instances, written and registered as a pic on first use."""
        if size not in self.circuits:
            import yaml
            from polyloom.read.from_yaml_template import cell_from_yaml_template

            name = f"circuit_{size}"
            netlist = make_circuit(size)
            path = self.root / "circuits" / f"{name}.pic.yml"
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(yaml.safe_dump(netlist, sort_keys=False))
            self.pl.get_active_pdk().register_cells(**{name: cell_from_yaml_template(path, name)})
            with captured():
                self.nl.patch_netlist(name, netlist)  # reads and builds the pic
            self.circuits[size] = (name, netlist, path)
        return self.circuits[size]

    def patch(self, size: int, save: bool) -> dict[str, Any]:
        name, netlist, path = self.circuit(size)
        if save:
            # A save: the cell's factory sees a new modification time.
            os.utime(path, ns=(path.stat().st_atime_ns, path.stat().st_mtime_ns + 1000))
        with captured():
            cpu, wall, result = sample(lambda: self.nl.patch_netlist(name, netlist))
        return {"cpu": cpu, "wall": wall, "digest": digest_of(result)}

    def build(self) -> dict[str, Any]:
        from lumencad.core.cli.build_pics import build_pics

        if self.project is None:
            self.project = self.root / "project"
            write_project(self.project, PICS)
        shutil.rmtree(self.project / "build", ignore_errors=True)
        self.clear_cell_caches()
        with captured() as console:
            cpu, wall, code = sample(lambda: run_command(build_pics, str(self.project / "pics")))
        if code != 0:
            raise RuntimeError(f"build-pics exited with {code}: {console.getvalue()[-2000:]}")
        files = folder_digest(self.project / "build", {str(self.project): "<project>"})
        console_text = normalized(console.getvalue(), {str(self.project): "<project>"})
        return {"cpu": cpu, "wall": wall, "digest": digest_of([console_text, files])}

    def examples(self, source: str) -> dict[str, Any]:
        """Digest of what the example project gives: its build and every pic patched."""
        import yaml
        from lumencad.core import shared
        from lumencad.core.cli.build_pics import build_pics

        project = self.root / "examples"
        shutil.copytree(source, project, ignore=shutil.ignore_patterns("build", "__pycache__"))
        replace = {str(project): "<project>"}
        self.clear_cell_caches()
        with captured() as console:
            code = run_command(build_pics, str(project / "pics"))
        outputs: dict[str, Any] = {
            "exit": code,
            "console": normalized(console.getvalue(), replace),
            "files": folder_digest(project / "build", replace),
        }
        with captured():
            shared.register_cells(project / "pics")
            for path in sorted((project / "pics").rglob("*.pic.yml")):
                netlist = yaml.safe_load(path.read_text())
                name = path.name.removesuffix(".pic.yml")
                outputs[name] = self.nl.patch_netlist(name, netlist)
        return {"digest": digest_of(outputs)}

    def clear_cell_caches(self) -> None:
        for factory in self.pl.get_active_pdk().cells.values():
            clear = getattr(factory, "cache_clear", None)
            if callable(clear):
                clear()


def run_command(command: Callable[..., Any], *args: str) -> int:
    import typer

    try:
        command(*args)
    except typer.Exit as exit_:
        return int(exit_.exit_code)
    return 0


def serve(root: Path) -> None:
    """Answer one JSON request per line of standard input with one JSON line."""
    channel = sys.stdout
    worker = Worker(root)
    for line in sys.stdin:
        request = json.loads(line)
        try:
            op = request["op"]
            if op == "patch":
                answer = worker.patch(request["size"], save=False)
            elif op == "save":
                answer = worker.patch(request["size"], save=True)
            elif op == "build":
                answer = worker.build()
            elif op == "examples":
                answer = worker.examples(request["source"])
            else:
                raise ValueError(f"unknown request {op!r}")
        except Exception:
            answer = {"error": traceback.format_exc()}
        channel.write(json.dumps(answer) + "\n")
        channel.flush()


# --- the parent: drives both workers and reports ---------------------------------------


class Tree:
    def __init__(self, label: str, tree: Path, root: Path) -> None:
        self.label = label
        root.mkdir(parents=True)
        env = dict(os.environ, PYTHONPATH=str(tree / "python"))
        self.stderr = open(root / "stderr.txt", "w")  # closed in close()
        self.process = subprocess.Popen(
            [sys.executable, str(HERE), "--worker", str(root)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self.stderr,
            text=True,
            cwd=root,
            env=env,
        )

    def ask(self, request: dict[str, Any]) -> dict[str, Any]:
        assert self.process.stdin is not None and self.process.stdout is not None
        self.process.stdin.write(json.dumps(request) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"the {self.label} worker stopped (see {self.stderr.name})")
        answer = json.loads(line)
        if "error" in answer:
            raise RuntimeError(f"the {self.label} worker failed:\n{answer['error']}")
        return answer

    def close(self) -> None:
        if self.process.stdin is not None:
            self.process.stdin.close()
        self.process.wait()
        self.stderr.close()


def compare(trees: list[Tree], request: dict[str, Any], samples: int) -> dict[str, Any]:
    """Runs `request` `samples` times on each tree, alternating which goes first."""
    times: dict[str, list[tuple[float, float]]] = {t.label: [] for t in trees}
    digests: dict[str, set[str]] = {t.label: set() for t in trees}
    for i in range(samples):
        for tree in trees if i % 2 == 0 else trees[::-1]:
            answer = tree.ask(request)
            times[tree.label].append((answer["cpu"], answer["wall"]))
            digests[tree.label].add(answer["digest"])
    same = all(digests[t.label] == digests[trees[0].label] for t in trees)
    if not same or len(digests[trees[0].label]) != 1:
        raise SystemExit(f"outputs differ between the trees for {request}: {digests}")
    return {
        label: (
            statistics.median(c for c, _ in pairs),
            statistics.median(w for _, w in pairs),
        )
        for label, pairs in times.items()
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", help="source tree (with a developer build) to compare with")
    parser.add_argument("--dir", default=None, help="folder for the generated projects")
    parser.add_argument("--worker", default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker is not None:
        serve(Path(args.worker))
        return 0
    if not args.baseline:
        parser.error("--baseline DIR is required")
    baseline = Path(args.baseline).resolve()
    if not (baseline / "python" / "lumencad").is_dir():
        parser.error(f"--baseline {str(baseline)!r} is not a source tree")

    with tempfile.TemporaryDirectory(prefix="bench-layout-path-", dir=args.dir) as folder:
        root = Path(folder)
        print(f"baseline {baseline}\nthis tree {TREE}\noutputs under {root}", flush=True)
        trees = [
            Tree("baseline", baseline, root / "baseline"),
            Tree("this tree", TREE, root / "new"),
        ]
        try:
            return report(trees)
        finally:
            for tree in trees:
                tree.close()


def report(trees: list[Tree]) -> int:
    examples = {t.label: t.ask({"op": "examples", "source": str(TREE / "examples")}) for t in trees}
    if len({answer["digest"] for answer in examples.values()}) != 1:
        raise SystemExit("the example project gives different outputs on the two trees")
    print("example project: build outputs and patched netlists identical", flush=True)

    rows: dict[str, dict[str, Any]] = {}
    for size in SIZES:
        rows[f"patch {size}"] = compare(trees, {"op": "patch", "size": size}, SAMPLES[size])
        show(f"patch {size}", rows[f"patch {size}"])
    rows[f"save {SAVE_SIZE}"] = compare(trees, {"op": "save", "size": SAVE_SIZE}, SAVE_SAMPLES)
    show(f"save {SAVE_SIZE}", rows[f"save {SAVE_SIZE}"])
    rows["build"] = compare(trees, {"op": "build"}, BUILD_SAMPLES)
    show(f"build {PICS} pics", rows["build"])

    ok = True
    print("\ntargets (CPU time, baseline / this tree):")
    for name, target in TARGETS.items():
        ratio = rows[name]["baseline"][0] / rows[name]["this tree"][0]
        ok &= ratio >= target
        print(f"  {name:<12} x{ratio:5.2f}  (at least x{target})  {verdict(ratio >= target)}")
    growth = {tree.label: growth_exponent(tree) for tree in trees}
    ok &= growth["this tree"] <= GROWTH_LIMIT
    print(
        "  growth exponent of patch_netlist from 1,000 to 20,000 instances: "
        f"{growth['this tree']:.3f} (baseline {growth['baseline']:.3f}; at most {GROWTH_LIMIT})  "
        f"{verdict(growth['this tree'] <= GROWTH_LIMIT)}"
    )
    print("outputs identical on both trees for every workload")
    return 0 if ok else 1


def growth_exponent(tree: Tree) -> float:
    """log(t(20,000) / t(1,000)) / log(20) of one tree's patch CPU time, from
    samples of the two sizes taken in turn, so that both see the machine in the
    same states; each size's time is its median."""
    times: dict[int, list[float]] = {GROWTH_SMALL: [], GROWTH_LARGE: []}
    for _ in range(GROWTH_ROUNDS):
        for size in times:
            times[size].append(tree.ask({"op": "patch", "size": size})["cpu"])
    small, large = (statistics.median(times[size]) for size in (GROWTH_SMALL, GROWTH_LARGE))
    return math.log(large / small) / math.log(GROWTH_LARGE / GROWTH_SMALL)


def show(name: str, row: dict[str, tuple[float, float]]) -> None:
    (base_cpu, base_wall), (new_cpu, new_wall) = row["baseline"], row["this tree"]
    print(
        f"{name:<18} CPU ms: baseline {base_cpu * 1e3:9.1f}  this tree {new_cpu * 1e3:9.1f}  "
        f"x{base_cpu / new_cpu:5.2f}   wall ms: {base_wall * 1e3:9.1f} {new_wall * 1e3:9.1f}  "
        f"x{base_wall / new_wall:5.2f}",
        flush=True,
    )


def verdict(ok: bool) -> str:
    return "ok" if ok else "MISSED"


if __name__ == "__main__":
    sys.exit(main())
