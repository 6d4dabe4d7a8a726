"""Work that needs the project's PDK and cells, done in a child process.

Building components, registering the project's cells and annotating netlists
import the project's own Python code and change process-wide state (the
active PDK, the cell registry, ``sys.path``). The server keeps all that out of
its own process: one long-lived worker process does it, one call at a time,
while the server's event loop goes on answering the page's polls. A call that
hangs is cut off after a time limit and the worker is started anew.
"""

from __future__ import annotations

import asyncio
import contextlib
import io
import logging
import multiprocessing
import os
import signal
import sys
import traceback
from collections.abc import Callable
from functools import partial
from multiprocessing.connection import Connection
from typing import Any

__all__ = ["WorkError", "Worker"]

log = logging.getLogger("lumencad.viewer")

# How long the worker may take to start (import the PDK) and to answer one call.
START_TIMEOUT = 120.0
CALL_TIMEOUT = 120.0


class WorkError(Exception):
    """A call in the worker failed.

    ``bad_input`` is true when the caller's input was at fault (a netlist that
    does not parse or names unknown cells), false for a failure of the server
    or of the project's code; ``details`` holds the worker's traceback.
    """

    def __init__(self, message: str, bad_input: bool = False, details: str = "") -> None:
        super().__init__(message)
        self.bad_input = bad_input
        self.details = details


class Worker:
    """The client side: starts the worker process and sends it calls, one at a time."""

    def __init__(self, project_dir: str, pics_dir: str, pdk: str) -> None:
        self._args = (project_dir, pics_dir, pdk)
        self._lock = asyncio.Lock()
        self._process: multiprocessing.process.BaseProcess | None = None
        self._conn: Connection | None = None

    @property
    def running(self) -> bool:
        return self._process is not None and self._process.is_alive()

    def start(self) -> None:
        """Start the worker process and wait until it has loaded the PDK.

        A worker that cannot start (an unknown PDK, say) raises WorkError.
        """
        context = multiprocessing.get_context("spawn")
        parent, child = context.Pipe()
        process = context.Process(
            target=_serve, args=(child, *self._args), name="lumencad-viewer-worker", daemon=True
        )
        process.start()
        child.close()
        self._process, self._conn = process, parent
        try:
            _unpack(self._receive(START_TIMEOUT, "start"))
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        """Stop the worker process (asking first, then by force)."""
        process, conn = self._process, self._conn
        self._process = self._conn = None
        if conn is not None:
            with contextlib.suppress(OSError):
                conn.send(None)
            conn.close()
        if process is not None:
            process.join(2.0)
            if process.is_alive():
                process.kill()
                process.join()

    async def call(self, name: str, *args: Any, timeout: float = CALL_TIMEOUT) -> Any:
        """Run ``name`` (a method of the worker's state) with ``args`` in the worker."""
        async with self._lock:
            if self._conn is None:
                await asyncio.to_thread(self.start)
            assert self._conn is not None
            try:
                self._conn.send((name, args))
                reply = await asyncio.to_thread(self._receive, timeout, name)
            except (WorkError, OSError) as exc:
                # A worker that died or hangs is replaced for the next call.
                await asyncio.to_thread(self.close)
                if isinstance(exc, WorkError):
                    raise
                raise WorkError(f"Worker process failed during {name}: {exc}") from exc
        return _unpack(reply)

    def _receive(self, timeout: float, what: str) -> tuple[Any, ...]:
        conn, process = self._conn, self._process
        assert conn is not None and process is not None
        if not conn.poll(timeout):
            raise WorkError(f"Worker took longer than {timeout:g} s for {what}.")
        try:
            return conn.recv()
        except EOFError:
            process.join(1.0)
            raise WorkError(
                f"Worker process ended during {what} (exit code {process.exitcode})."
            ) from None


def _unpack(reply: tuple[Any, ...]) -> Any:
    if reply[0] == "ok":
        return reply[1]
    _, message, bad_input, details = reply
    raise WorkError(message, bad_input, details)


# --- the worker process --------------------------------------------------------


def _serve(conn: Connection, project_dir: str, pics_dir: str, pdk: str) -> None:
    """The worker's main loop: answer calls until the pipe closes or None arrives."""
    # Ctrl-C in the terminal reaches the whole process group: the server
    # decides when the worker ends.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    os.chdir(project_dir)
    try:
        state = _quietly(lambda: _WorkerState(pics_dir, pdk))
    except Exception as exc:
        conn.send(_failure(exc))
        return
    conn.send(("ok", None))
    while True:
        try:
            request = conn.recv()
        except (EOFError, OSError):
            return
        if request is None:
            return
        name, args = request
        try:
            method: Callable[..., Any] = getattr(state, name)
            conn.send(("ok", _quietly(partial(method, *args))))
        except Exception as exc:
            conn.send(_failure(exc))


def _quietly(work: Callable[[], Any]) -> Any:
    """Run ``work`` with its printed output kept off the server's console."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(out):
        result = work()
    if out.getvalue():
        log.debug("worker output:\n%s", out.getvalue().rstrip())
    return result


def _failure(exc: BaseException) -> tuple[str, str, bool, str]:
    import yaml

    from lumencad.core.shared import _one_line

    if isinstance(exc, yaml.MarkedYAMLError) and exc.problem_mark is not None:
        mark = exc.problem_mark
        message = f"Invalid YAML: {exc.problem} (line {mark.line + 1}, column {mark.column + 1})"
    else:
        message = _one_line(exc)
    bad_input = isinstance(exc, ValueError | yaml.YAMLError)
    details = "".join(traceback.format_exception(exc))
    return ("error", message, bad_input, details)


class _WorkerState:
    """The worker's PDK and project; each public method is one call of the protocol."""

    def __init__(self, pics_dir: str, pdk: str) -> None:
        from lumencad.core.shared import import_pdk

        self.pics = pics_dir
        self.pdk_name = pdk.lower().strip()
        self.pdk = import_pdk(self.pdk_name)
        self.pdk.activate()

    def _register(self) -> dict[str, Any]:
        from lumencad.core.shared import register_cells

        return register_cells(self.pics) if os.path.isdir(self.pics) else {}

    def pdk_info(self) -> dict[str, Any]:
        """The PDK's layer table (name, layer, datatype) and its layers by priority."""
        layers = self.pdk.layers or {}
        return {
            "name": self.pdk_name,
            "layers": [[name, int(ld[0]), int(ld[1])] for name, ld in layers.items()],
            "priority": [[int(ld[0]), int(ld[1])] for ld in self.pdk.layer_priority or ()],
        }

    def cells(self) -> list[tuple[str, str, str | None]]:
        """(name, kind, source file) of every cell: pics, Python cells, then PDK cells."""
        from lumencad.core.pdk import get_pdk_pics, is_hierarchical_pic
        from lumencad.core.shared import get_yaml_cell_name, get_yaml_paths

        registered = self._register()
        pic_files: dict[str, str] = {}
        if os.path.isdir(self.pics):
            for path in get_yaml_paths(self.pics):
                pic_files[get_yaml_cell_name(path)] = path
        pics, python = [], []
        for name, factory in registered.items():
            if is_hierarchical_pic(name) and name in pic_files:
                pics.append((name, "pic", pic_files[name]))
            else:
                module = sys.modules.get(getattr(factory, "__module__", ""))
                source = getattr(module, "__file__", None)
                if source:
                    python.append((name, "python", source))
        own = [(name, "pdk", None) for name in get_pdk_pics()]
        return pics + python + own

    def ports(self, name: str) -> list[dict[str, Any]]:
        """The ports of cell ``name`` as built now: name, centre, orientation, width, direction."""
        from lumencad.core.netlist import _try_get_ports

        self._register()
        component = self.pdk.get_component(name)
        directions = _try_get_ports(component)
        return [
            {
                "name": str(port.name),
                "x": float(port.center[0]),
                "y": float(port.center[1]),
                "orientation": None if port.orientation is None else float(port.orientation),
                "width": float(port.width),
                "direction": directions.get(str(port.name), ""),
            }
            for port in component.ports
        ]

    def schematic(self, pic: str) -> dict[str, Any]:
        """The schematic drawing of the pic file ``pic`` (see lumencad.viewer.schematic)."""
        import yaml

        from lumencad.core.cli.patch_netlist import patch_netlist_post
        from lumencad.viewer.schematic import schematic_drawing

        text = patch_netlist_post(pic, "", "", self.pdk_name)
        netlist = yaml.safe_load(text)
        return schematic_drawing(netlist, _icons_for(netlist))

    def post_netlist(self, pic: str, body: str, schema: str) -> str:
        """The annotated netlist text of ``body`` (or of the pic file when empty)."""
        from lumencad.core.cli.patch_netlist import patch_netlist_post

        return patch_netlist_post(pic, body, schema, self.pdk_name)


def _icons_for(netlist: dict[str, Any]) -> dict[str, str]:
    """Icon path strings of the netlist's components: the PDK's icons, else each one's outline."""
    from lumencad.core.netlist import _get_component_name, _get_icon_poly, _get_icon_poly_strings

    strings = _get_icon_poly_strings()
    icons: dict[str, str] = {}
    for record in (netlist.get("instances") or {}).values():
        name = _get_component_name(record)
        if name and name not in icons:
            icons[name] = strings[name] if name in strings else _path_string(_get_icon_poly(name))
    return icons


def _path_string(outline: list[tuple[float, float]]) -> str:
    """An outline (unit box, y up) as an icon path in a 100 by 100 box with y down."""
    parts = [
        f"{'M' if i == 0 else 'L'} {x * 100.0!r} {100.0 - y * 100.0!r} "
        for i, (x, y) in enumerate(outline)
    ]
    return "".join(parts) + "Z"
