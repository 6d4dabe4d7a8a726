"""Running a script that works on a very deep tree, in a process of its own (a
stack overflow must not take the test run with it)."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

from lumencad.core import netlist as nl

# Calls the script's `run()` on the main thread, or on a thread with a stack
# of `stack` bytes.
RUNNER = """
import threading
if {stack}:
    threading.stack_size({stack})
    worker = threading.Thread(target=run)
    worker.start()
    worker.join()
else:
    run()
"""

# Levels and stacks that overflow without a stack check (also on a thread with
# a small stack), and a tree of FITS levels that is walked in full.
FITS = 5_000
CASES = [(60_000, 0), (60_000, 512 * 1024), (FITS, 0)]
CASE_IDS = ["too-deep", "too-deep-in-thread", "deep-but-fine"]


def run_deep(script: str, stack: int) -> str:
    """Standard output of `script` (which defines `run()`) run as RUNNER says."""
    env = {**os.environ, "PYTHONPATH": str(Path(nl.__file__).resolve().parents[2])}
    result = subprocess.run(
        [sys.executable, "-c", script + RUNNER.format(stack=stack)],
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout
