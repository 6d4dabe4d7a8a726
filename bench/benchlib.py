"""What several benchmarks share: a generated pic and the timing loops."""

from __future__ import annotations

import contextlib
import io
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any

import typer

# A small pic: a straight and a bend joined, with two exposed ports.
PIC_TEMPLATE = """\
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


def best_of(
    runs: list[Callable[[], None]], prepare: Callable[[], None], repeats: int
) -> list[float]:
    """Best wall time of each run, interleaving the runs `repeats` times."""
    best = [float("inf")] * len(runs)
    for _ in range(repeats):
        for i, run in enumerate(runs):
            prepare()
            start = time.perf_counter()
            run()
            best[i] = min(best[i], time.perf_counter() - start)
    return best


def run_quietly(command: Callable[..., Any], *args: str) -> None:
    """Runs a builder command with its console output captured; a run that
    ends with a non-zero exit code is an error showing that output."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(out):
        try:
            command(*args)
        except typer.Exit as exit_:
            if exit_.exit_code != 0:
                raise RuntimeError(f"build failed: {out.getvalue()}") from None


def start_server(
    project: Path, env: Mapping[str, str], timeout: float
) -> tuple[subprocess.Popen[str], str]:
    """A `lumencad serve` of `project` on a free loopback port, and its URL."""
    process = subprocess.Popen(
        [sys.executable, "-m", "lumencad", "serve", str(project), "--port", "0"],
        cwd=project,
        env=dict(env),
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        text=True,
    )
    lines: list[str] = []
    reader = threading.Thread(target=lambda: lines.append(process.stdout.readline()))
    reader.start()
    reader.join(timeout)
    if not lines or " at http://" not in lines[0]:
        process.kill()
        raise SystemExit("the server did not start")
    return process, lines[0].rpartition(" at ")[2].strip()
