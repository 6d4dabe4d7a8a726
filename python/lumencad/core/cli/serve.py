"""The ``serve`` command: a live page of a project's layouts and schematics in the browser.

Loading this module stays cheap: the web stack is imported when the command runs.
"""

from __future__ import annotations

import logging
import socket
import sys
import threading
import time
import webbrowser
from pathlib import Path
from typing import TYPE_CHECKING, Annotated

import typer

from lumencad.core.cli.app import app

if TYPE_CHECKING:
    import uvicorn

__all__ = ["DEFAULT_HOST", "DEFAULT_PORT", "serve"]

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8765
# Open connections (pages' WebSockets) get this long to close when the server stops.
SHUTDOWN_GRACE_S = 3
BROWSER_WAIT_S = 60.0


@app.command()
def serve(
    project: Annotated[
        Path | None,
        typer.Argument(
            metavar="PROJECT",
            help="Project folder (default: the project of the working directory).",
            show_default=False,
        ),
    ] = None,
    host: Annotated[
        str, typer.Option("--host", help="Address to listen on; keep it a loopback address.")
    ] = DEFAULT_HOST,
    port: Annotated[
        int,
        typer.Option("--port", min=0, max=65535, help="Port to listen on (0: any free port)."),
    ] = DEFAULT_PORT,
    pdk: Annotated[
        str | None,
        typer.Option("--pdk", help="PDK to use (default: the project's PDK).", show_default=False),
    ] = None,
    open_browser: Annotated[
        bool, typer.Option("--open", help="Open the page in the web browser.")
    ] = False,
) -> None:
    """Serve a live view of a project's layouts and schematics; Ctrl-C stops it."""
    from lumencad.core.shared import cli_environment

    with cli_environment():
        server, sock, url, summary = _prepare(project, host, port, pdk)
    print(f"lumencad viewer of {summary} at {url}", flush=True)
    if open_browser:
        threading.Thread(target=_open_when_started, args=(server, url), daemon=True).start()
    try:
        server.run(sockets=[sock])
    finally:
        sock.close()


def _prepare(
    project: Path | None, host: str, port: int, pdk: str | None
) -> tuple[uvicorn.Server, socket.socket, str, str]:
    import uvicorn

    from lumencad.core.shared import find_atelier_project_dir
    from lumencad.settings import load_settings
    from lumencad.viewer import Project, create_app
    from lumencad.viewer.guard import LOOPBACK_NAMES
    from lumencad.viewer.worker import Worker

    folder = project if project is not None else Path(find_atelier_project_dir())
    name = pdk if pdk is not None else load_settings(cwd=folder).pdk.name
    served = Project.open(folder, str(name).lower().strip())
    sock = _listen(host, port)
    bound_port = sock.getsockname()[1]
    _configure_logging()
    # Started before serving, so that a PDK that does not load is a one-line error.
    worker = Worker(str(served.dir), str(served.pics), served.pdk)
    try:
        worker.start()
    except BaseException:
        sock.close()
        raise
    config = uvicorn.Config(
        create_app(served, host, bound_port, worker=worker),
        log_config=None,
        log_level="warning",
        access_log=False,
        timeout_graceful_shutdown=SHUTDOWN_GRACE_S,
    )
    shown = LOOPBACK_NAMES[1] if host in ("", "0.0.0.0", "::") else host
    shown = f"[{shown}]" if ":" in shown else shown
    url = f"http://{shown}:{bound_port}/"
    return uvicorn.Server(config), sock, url, f"{served.dir} (PDK {served.pdk})"


def _listen(host: str, port: int) -> socket.socket:
    """A listening socket on ``host``:``port``, or a one-line error saying why not."""
    try:
        infos = socket.getaddrinfo(
            host or None, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE
        )
    except socket.gaierror as exc:
        raise ValueError(f"Cannot resolve host {host!r}: {exc.strerror}") from None
    family, kind, proto, _, address = infos[0]
    sock = socket.socket(family, kind, proto)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        sock.listen(2048)
    except OSError as exc:
        sock.close()
        raise OSError(f"Cannot listen on {host}:{port}: {exc.strerror or exc}") from None
    return sock


def _configure_logging() -> None:
    """The viewer's log (builds, refused requests, errors) goes to standard error."""
    logger = logging.getLogger("lumencad.viewer")
    if not logger.handlers:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("%(asctime)s %(message)s", "%H:%M:%S"))
        logger.addHandler(handler)
        logger.setLevel(logging.INFO)
        logger.propagate = False


def _open_when_started(server: uvicorn.Server, url: str) -> None:
    deadline = time.monotonic() + BROWSER_WAIT_S
    while not server.started and not server.should_exit and time.monotonic() < deadline:
        time.sleep(0.1)
    if server.started:
        webbrowser.open(url)
