"""Benchmark: the viewer server's change polling under load, while netlists are posted.

A real ``lumencad serve`` (uvicorn) serves a built copy of the example project
on 127.0.0.1. Four client processes poll ``/changed?path=`` as fast as they
can, each over one kept-alive connection: first alone (the baseline, measured
in the same run), then for 10 s while a fifth process posts the mzi_delay pic
to the netlist route over and over. Every loop is bounded in time and in
count. Reported: polls per second, latency percentiles, failed requests, the
posts' figures, and the ratios of the loaded phase to the baseline.
Target: at least 500 polls/s with p99 under 20 ms while posts run, no failure.
Run: PYTHONPATH=python python bench/bench_viewer_load.py
"""

from __future__ import annotations

import http.client
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor
from multiprocessing import get_context
from pathlib import Path
from urllib.parse import urlsplit

import lumencad
from benchlib import start_server

REPO = Path(__file__).resolve().parents[1]
# Children import the lumencad under test, also when it comes from the source tree.
ENV = {**os.environ, "PYTHONPATH": str(Path(lumencad.__file__).resolve().parents[1])}
CLIENTS = 4
BASELINE_S = 5.0
LOAD_S = 10.0
# Upper bounds of each client's requests, whatever the speed.
MAX_POLLS = 200_000
MAX_POSTS = 10_000
TARGET_RATE = 500.0
TARGET_P99_MS = 20.0
POLLED = "build/gds/mzi_delay.gds"
POSTED = "mzi_delay"
START_TIMEOUT_S = 120.0


def run(args: list[str], cwd: Path) -> None:
    subprocess.run(
        [sys.executable, "-m", "lumencad", *args], cwd=cwd, env=ENV, check=True, capture_output=True
    )


def client(
    url: str, method: str, path: str, body: bytes, start: float, seconds: float, limit: int
) -> tuple[list[float], int]:
    """Send requests from ``start`` for ``seconds`` (at most ``limit``): latencies, failures."""
    parts = urlsplit(url)
    connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=30)
    headers = {"Content-Type": "application/yaml"} if body else {}
    latencies: list[float] = []
    failures = 0
    while time.time() < start:
        time.sleep(0.001)
    end = start + seconds
    while time.time() < end and len(latencies) + failures < limit:
        began = time.perf_counter()
        try:
            connection.request(method, path, body=body or None, headers=headers)
            response = connection.getresponse()
            response.read()
            ok = response.status == 200
        except (OSError, http.client.HTTPException):
            ok = False
            connection.close()
            connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=30)
        if ok:
            latencies.append(time.perf_counter() - began)
        else:
            failures += 1
    connection.close()
    return latencies, failures


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else float("nan")


def phase(pool: ProcessPoolExecutor, url: str, seconds: float, posts: bytes | None) -> dict:
    start = time.time() + 1.0  # every client starts together
    poll_path = f"/changed?path={POLLED}"
    polls = [
        pool.submit(client, url, "GET", poll_path, b"", start, seconds, MAX_POLLS)
        for _ in range(CLIENTS)
    ]
    poster = None
    if posts is not None:
        poster = pool.submit(
            client, url, "POST", f"/netlist/{POSTED}", posts, start, seconds, MAX_POSTS
        )
    latencies: list[float] = []
    failures = 0
    for future in polls:
        done, failed = future.result()
        latencies += done
        failures += failed
    result = {
        "polls": len(latencies),
        "rate": len(latencies) / seconds,
        "failed": failures,
        "p50": percentile(latencies, 0.50) * 1e3,
        "p99": percentile(latencies, 0.99) * 1e3,
        "max": max(latencies, default=float("nan")) * 1e3,
    }
    if poster is not None:
        posted, post_failures = poster.result()
        result.update(
            posts=len(posted),
            post_failed=post_failures,
            post_mean=statistics.fmean(posted) * 1e3 if posted else float("nan"),
            post_p99=percentile(posted, 0.99) * 1e3,
        )
    return result


def line(label: str, r: dict) -> str:
    text = (
        f"{label}: {r['polls']} polls, {r['rate']:.0f}/s, p50 {r['p50']:.2f} ms, "
        f"p99 {r['p99']:.2f} ms, max {r['max']:.1f} ms, {r['failed']} failed"
    )
    if "posts" in r:
        text += (
            f"; {r['posts']} posts, mean {r['post_mean']:.1f} ms, "
            f"p99 {r['post_p99']:.1f} ms, {r['post_failed']} failed"
        )
    return text


def main() -> None:
    with tempfile.TemporaryDirectory(prefix="viewer-load-") as folder:
        root = Path(folder)
        project = root / "project"
        shutil.copytree(
            REPO / "examples", project, ignore=shutil.ignore_patterns("build", "__pycache__")
        )
        run(["build-pics", str(project / "pics")], project)
        run(["build-pdk", str(project / "build")], project)
        (root / "stamps").mkdir()
        process, url = start_server(
            project, {**ENV, "TMPDIR": str(root / "stamps")}, START_TIMEOUT_S
        )
        try:
            body = (project / "pics" / f"{POSTED}.pic.yml").read_bytes()
            with ProcessPoolExecutor(CLIENTS + 1, mp_context=get_context("spawn")) as pool:
                phase(pool, url, 1.0, body)  # warm-up: connections, worker, caches
                baseline = phase(pool, url, BASELINE_S, None)
                loaded = phase(pool, url, LOAD_S, body)
        finally:
            process.send_signal(signal.SIGINT)
            try:
                process.wait(30)
            except subprocess.TimeoutExpired:
                process.kill()
    print(
        f"viewer load on {url} ({os.cpu_count()} CPUs, shared with other work): "
        f"{CLIENTS} clients polling /changed?path={POLLED}"
    )
    print(line(f"baseline, polls only, {BASELINE_S:.0f} s", baseline))
    print(line(f"with netlist posts, {LOAD_S:.0f} s", loaded))
    print(
        f"with posts / baseline: rate {loaded['rate'] / baseline['rate']:.2f}, "
        f"p99 {loaded['p99'] / baseline['p99']:.2f}"
    )
    met = (
        loaded["rate"] >= TARGET_RATE
        and loaded["p99"] < TARGET_P99_MS
        and loaded["failed"] == 0
        and loaded["post_failed"] == 0
    )
    print(
        f"target (>= {TARGET_RATE:.0f} polls/s, p99 < {TARGET_P99_MS:.0f} ms while posts run, "
        f"no failed request): {'met' if met else 'missed'}"
    )


if __name__ == "__main__":
    main()
