"""Background builds: the project's builders run in a child process when its sources change.

Saving a pic or a Python cell in the pics folder starts ``lumencad build-pics``
on that folder, so the outputs are exactly the builders' (GDS, ports and log
files, and the console summary). Changes that arrive while a build runs start
one more build after it. The pages learn about builds through the server's
WebSocket, and about new layouts through their change polling.
"""

from __future__ import annotations

import asyncio
import contextlib
import logging
import sys
from collections.abc import Awaitable, Callable
from enum import StrEnum
from typing import Any

import watchfiles

from lumencad.viewer.project import PIC_SUFFIX, Project

__all__ = ["BuildKind", "Builds"]

log = logging.getLogger("lumencad.viewer")

# Saves come in bursts (editor swap files, several files at once): wait this
# long for quiet before building.
DEBOUNCE_MS = 200
SOURCE_SUFFIXES = (PIC_SUFFIX, ".py")

Notify = Callable[[dict[str, Any]], Awaitable[None]]


class BuildKind(StrEnum):
    PICS = "pics"  # the project's pics and Python cells
    PDK = "pdk"  # the PDK's own cells


class _SourceFilter(watchfiles.DefaultFilter):
    """Pic files and Python modules, outside caches and hidden folders."""

    def __call__(self, change: watchfiles.Change, path: str) -> bool:
        return path.endswith(SOURCE_SUFFIXES) and super().__call__(change, path)


class Builds:
    """Runs the builders for one project, one build at a time, and watches its sources."""

    def __init__(self, project: Project, notify: Notify) -> None:
        self.project = project
        self._notify = notify
        self._pending: list[BuildKind] = []
        self.running: BuildKind | None = None
        self.last: dict[str, Any] | None = None
        self._runner: asyncio.Task[None] | None = None
        self._watcher: asyncio.Task[None] | None = None
        self._process: asyncio.subprocess.Process | None = None
        self._stop = asyncio.Event()
        # Called when the watched sources change (the cell list may have changed).
        self.on_sources_changed: Callable[[], None] = lambda: None

    def request(self, kind: BuildKind) -> None:
        """Build ``kind`` soon; a request already waiting is not repeated."""
        if kind not in self._pending:
            self._pending.append(kind)
        if self._runner is None or self._runner.done():
            self._runner = asyncio.create_task(self._run_pending())

    def watch(self) -> None:
        """Rebuild the pics whenever a pic or Python file under the pics folder changes."""
        if self.project.pics.is_dir():
            self._watcher = asyncio.create_task(self._watch())

    async def close(self) -> None:
        """Stop watching, stop a running build and forget waiting ones."""
        self._stop.set()
        self._pending.clear()
        if self._process is not None and self._process.returncode is None:
            with contextlib.suppress(ProcessLookupError):
                self._process.kill()
        for task in (self._watcher, self._runner):
            if task is not None:
                task.cancel()
                with contextlib.suppress(asyncio.CancelledError):
                    await task

    async def _watch(self) -> None:
        try:
            async for changes in watchfiles.awatch(
                self.project.pics,
                watch_filter=_SourceFilter(),
                debounce=DEBOUNCE_MS,
                stop_event=self._stop,
            ):
                names = sorted(self.project.relative(path) for _, path in changes)
                log.info("sources changed: %s", ", ".join(names))
                self.on_sources_changed()
                self.request(BuildKind.PICS)
        except Exception:
            log.exception(
                "watching %s failed; saved sources are no longer rebuilt", self.project.pics
            )

    def _command(self, kind: BuildKind) -> list[str]:
        if kind is BuildKind.PICS:
            target = ["build-pics", str(self.project.pics)]
        else:
            target = ["build-pdk", str(self.project.build)]
        return [sys.executable, "-m", "lumencad", *target, "--pdk", self.project.pdk]

    async def _run_pending(self) -> None:
        while self._pending:
            kind = self._pending.pop(0)
            self.running = kind
            try:
                await self._notify({"event": "build", "kind": kind, "state": "running"})
                event = await self._build(kind)
            except Exception as exc:
                log.exception("%s build could not run", kind)
                event = {"event": "build", "kind": kind, "state": "done", "ok": False}
                event["summary"] = f"build could not run: {exc}"
                event["failed"] = []
            finally:
                self.running = None
            self.last = event
            await self._notify(event)

    async def _build(self, kind: BuildKind) -> dict[str, Any]:
        command = self._command(kind)
        log.info("building %s: %s", kind, " ".join(command[1:]))
        self._process = await asyncio.create_subprocess_exec(
            *command,
            cwd=self.project.dir,
            stdin=asyncio.subprocess.DEVNULL,
            stdout=asyncio.subprocess.PIPE,
            stderr=asyncio.subprocess.PIPE,
        )
        out, err = await self._process.communicate()
        code = self._process.returncode
        lines = out.decode(errors="replace").splitlines()
        failed = [_cell_of(line) for line in lines if line.endswith("FAILED.")]
        errors = [line for line in err.decode(errors="replace").splitlines() if line.strip()]
        summary = errors[-1] if errors else f"exit code {code}"
        ok = code == 0 and not failed
        (log.info if ok else log.warning)("%s build: %s", kind, summary)
        return {
            "event": "build",
            "kind": kind,
            "state": "done",
            "ok": ok,
            "summary": summary,
            "failed": failed,
        }


def _cell_of(line: str) -> str:
    """The cell named by a builder's console line "[kind] name... FAILED."."""
    return line.partition("] ")[2].rpartition("... ")[0]
