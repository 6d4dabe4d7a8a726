"""The viewer's web application: routes, pages and the live state behind them.

Routes:

- ``GET /``: the project's cells (pics, Python cells, PDK cells) with their build state;
- ``GET /cell/{name}?theme=dark|light``: the page of one cell;
- ``GET /drawing/{name}``: what the page draws (layout, schematic, report), as JSON;
- ``GET /changed?path=``: whether a watched layout file changed since the last poll;
- ``POST /netlist/{name}``: the annotated netlist of a pic, for the YAML sent (or the file);
- ``/ws``: a WebSocket that tells the pages about background builds;
- ``/static/...``: the page's script and style.

Bad requests get a 4xx with a one-line reason (plain text).
"""

from __future__ import annotations

import asyncio
import html
import json
import logging
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager
from pathlib import Path
from string import Template
from typing import Any
from urllib.parse import quote

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.requests import Request
from starlette.responses import HTMLResponse, JSONResponse, PlainTextResponse, Response
from starlette.routing import Mount, Route, WebSocketRoute
from starlette.staticfiles import StaticFiles
from starlette.websockets import WebSocket, WebSocketDisconnect

from lumencad.core.cli.patch_netlist import changed, modify_body
from lumencad.viewer.builds import BuildKind, Builds
from lumencad.viewer.guard import LocalOnly, own_hosts
from lumencad.viewer.layout import LayerTable, LayoutError, read_layout, read_port_directions
from lumencad.viewer.project import Cell, CellKind, Project, State, check_watch_path
from lumencad.viewer.report import ReportError, read_report
from lumencad.viewer.worker import Worker, WorkError

__all__ = ["MAX_BODY_BYTES", "THEMES", "ViewerState", "create_app"]

log = logging.getLogger("lumencad.viewer")

PACKAGE_DIR = Path(__file__).parent
THEMES = ("dark", "light")
MAX_BODY_BYTES = 1 << 20
# Where the netlist route writes the JSON schema its answers point to.
SCHEMA_FILE = Path("schemas") / "netlist.json"
KIND_TITLES = {CellKind.PIC: "Pics", CellKind.PYTHON: "Python cells", CellKind.PDK: "PDK cells"}


def _template(name: str) -> Template:
    return Template((PACKAGE_DIR / "templates" / name).read_text(encoding="utf-8").strip())


def _script_json(value: Any) -> str:
    """JSON that can stand inside a <script> element."""
    return json.dumps(value).replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


class ViewerState:
    """The server's live state: the project, its worker and builds, caches and sockets."""

    def __init__(self, project: Project, worker: Worker, build_on_start: bool, watch: bool) -> None:
        self.project = project
        self.worker = worker
        self.builds = Builds(project, self.broadcast)
        self.builds.on_sources_changed = self.forget_cells
        self.build_on_start = build_on_start
        self.watch = watch
        self.layers = LayerTable()
        self.sockets: set[WebSocket] = set()
        self._cells: dict[str, Cell] | None = None
        # Per cell: (the GDS file's stat key, its drawing without ports).
        self._layouts: dict[str, tuple[tuple[int, int], dict[str, Any]]] = {}
        # Per cell: (the GDS file's stat key, its ports as built).
        self._ports: dict[str, tuple[tuple[int, int], list[dict[str, Any]]]] = {}

    # -- lifecycle ------------------------------------------------------------------

    async def start(self) -> None:
        if not self.worker.running:
            await asyncio.to_thread(self.worker.start)
        self.layers = LayerTable.from_pdk_info(await self.worker.call("pdk_info"))
        cells = await self.cells(refresh=True)
        if self.build_on_start:
            states = {(c.kind is CellKind.PDK, self.project.state(c)) for c in cells.values()}
            if {(False, State.NOT_BUILT), (False, State.STALE)} & states:
                self.builds.request(BuildKind.PICS)
            if (True, State.NOT_BUILT) in states:
                self.builds.request(BuildKind.PDK)
        if self.watch:
            self.builds.watch()

    async def stop(self) -> None:
        await self.builds.close()
        for socket in list(self.sockets):
            try:
                await socket.close(1001)
            except Exception:  # already gone
                pass
        self.sockets.clear()
        await asyncio.to_thread(self.worker.close)

    # -- cells ----------------------------------------------------------------------------

    def forget_cells(self) -> None:
        self._cells = None

    async def cells(self, refresh: bool = False) -> dict[str, Cell]:
        """The project's cells by name, listed anew when asked or when sources changed."""
        if refresh or self._cells is None:
            listed: dict[str, Cell] = {}
            for name, kind, source in await self.worker.call("cells"):
                if kind == CellKind.PDK:
                    listed[name] = self.project.pdk_cell(name)
                else:
                    listed[name] = self.project.project_cell(name, CellKind(kind), source)
            self._cells = listed
        return self._cells

    async def cell(self, name: str) -> Cell:
        cell = (await self.cells()).get(name)
        if cell is None:
            cell = (await self.cells(refresh=True)).get(name)
        if cell is None:
            raise HTTPException(404, f"Unknown cell {name!r}.")
        return cell

    def state(self, cell: Cell) -> State:
        running = self.builds.running
        if running is BuildKind.PDK and cell.kind is CellKind.PDK:
            return State.BUILDING
        if running is BuildKind.PICS and cell.kind is not CellKind.PDK:
            return State.BUILDING
        return self.project.state(cell)

    # -- drawings ------------------------------------------------------------------------

    async def layout(self, cell: Cell) -> dict[str, Any]:
        """The cell's layout drawing with its ports; LayoutError when there is none.

        Ports come from building the cell now; when that fails the layout is
        drawn without them and "ports_error" says why.
        """
        path = self.project.absolute(cell.gds)
        try:
            stat = path.stat()
        except FileNotFoundError:
            raise LayoutError(f"No layout yet: {cell.gds} does not exist.") from None
        key = (stat.st_mtime_ns, stat.st_size)
        cached = self._layouts.get(cell.name)
        if cached is None or cached[0] != key:
            drawing = await asyncio.to_thread(read_layout, path, cell.name, self.layers)
            self._layouts[cell.name] = cached = (key, drawing)
        drawing = dict(cached[1])
        try:
            drawing["ports"] = await self._ports_of(cell, key)
        except WorkError as exc:
            _log_work_error(cell, "ports", exc)
            drawing["ports"], drawing["ports_error"] = [], f"Ports unavailable: {exc}"
        return drawing

    async def _ports_of(self, cell: Cell, key: tuple[int, int]) -> list[dict[str, Any]]:
        cached = self._ports.get(cell.name)
        if cached is None or cached[0] != key:
            ports = await self.worker.call("ports", cell.name)
            recorded = read_port_directions(self.project.absolute(cell.ports))
            for port in ports:
                port["direction"] = recorded.get(port["name"], port["direction"])
            self._ports[cell.name] = cached = (key, ports)
        return cached[1]

    async def drawing(self, cell: Cell) -> dict[str, Any]:
        """Everything the page draws for ``cell``; each part carries its own error."""
        result: dict[str, Any] = {
            "cell": cell.name,
            "kind": cell.kind,
            "state": self.state(cell),
            "gds": cell.gds,
            "report_file": cell.report,
        }
        try:
            result["layout"] = await self.layout(cell)
        except LayoutError as exc:
            result["layout"], result["layout_error"] = None, str(exc)
        if cell.kind is CellKind.PIC:
            assert cell.source is not None
            source = str(self.project.absolute(cell.source))
            try:
                result["schematic"] = await self.worker.call("schematic", source)
            except WorkError as exc:
                _log_work_error(cell, "schematic", exc)
                result["schematic"], result["schematic_error"] = None, str(exc)
        else:
            result["schematic"] = None
            result["schematic_error"] = "Only pics have a schematic."
        report = self.project.absolute(cell.report)
        result["report"] = None
        if report.is_file():
            try:
                result["report"] = await asyncio.to_thread(read_report, report)
            except ReportError as exc:
                result["report_error"] = str(exc)
        return result

    # -- sockets ----------------------------------------------------------------------------

    async def broadcast(self, event: dict[str, Any]) -> None:
        """Send ``event`` to every page; after a build, with every cell's state."""
        if event.get("state") == "done" and self._cells is not None:
            event = {**event, "states": {n: self.state(c) for n, c in self._cells.items()}}
        for socket in list(self.sockets):
            try:
                await socket.send_json(event)
            except Exception:
                self.sockets.discard(socket)


def _log_work_error(cell: Cell, what: str, exc: WorkError) -> None:
    """Failures of the project's own input are the page's business; others are logged."""
    if not exc.bad_input:
        log.error("%s of %s failed: %s\n%s", what, cell.name, exc, exc.details)


# --- routes ---------------------------------------------------------------------------------


def _state(request: Request | WebSocket) -> ViewerState:
    return request.app.state.viewer


def _theme(request: Request) -> str:
    theme = request.query_params.get("theme", "dark")
    if theme not in THEMES:
        raise HTTPException(400, f"Unknown theme {theme!r}: use dark or light.")
    return theme


async def index(request: Request) -> Response:
    viewer = _state(request)
    theme = _theme(request)
    cells = await viewer.cells(refresh=True)
    states = {name: viewer.state(cell) for name, cell in cells.items()}
    sections = []
    for kind, title in KIND_TITLES.items():
        rows = [
            _TEMPLATES["row"].substitute(
                name=html.escape(c.name),
                href=html.escape(f"/cell/{quote(c.name, safe='')}?theme={theme}"),
                source=html.escape(c.source or "PDK"),
                state=html.escape(states[c.name]),
                state_class=states[c.name].replace(" ", "-"),
                gds=html.escape(c.gds),
            )
            for c in cells.values()
            if c.kind is kind
        ]
        body = "\n".join(rows) if rows else '<tr><td colspan="4">none</td></tr>'
        sections.append(_TEMPLATES["section"].substitute(title=title, kind=kind, rows=body))
    page = _TEMPLATES["index"].substitute(
        theme=theme,
        other_theme="light" if theme == "dark" else "dark",
        project=html.escape(str(viewer.project.dir)),
        pdk=html.escape(viewer.project.pdk),
        sections="\n".join(sections),
    )
    return HTMLResponse(page)


async def cell_page(request: Request) -> Response:
    viewer = _state(request)
    theme = _theme(request)
    cell = await viewer.cell(request.path_params["name"])
    config = {"cell": cell.name, "kind": cell.kind, "gds": cell.gds, "theme": theme}
    page = _TEMPLATES["cell"].substitute(
        name=html.escape(cell.name),
        kind=html.escape(cell.kind),
        state=html.escape(viewer.state(cell)),
        gds=html.escape(cell.gds),
        theme=theme,
        other_theme="light" if theme == "dark" else "dark",
        config=_script_json(config),
    )
    return HTMLResponse(modify_body(page, theme, cell.gds))


async def drawing(request: Request) -> Response:
    viewer = _state(request)
    cell = await viewer.cell(request.path_params["name"])
    return JSONResponse(await viewer.drawing(cell))


async def changed_route(request: Request) -> Response:
    viewer = _state(request)
    paths = request.query_params.getlist("path")
    if len(paths) > 1:
        raise HTTPException(400, "Give the query parameter 'path' once.")
    try:
        path = check_watch_path(viewer.project, paths[0] if paths else "")
        answer = changed(str(viewer.project.dir), path)
    except ValueError as exc:
        raise HTTPException(400, str(exc)) from None
    return JSONResponse(answer)


async def _body_text(request: Request) -> str:
    data = bytearray()
    async for chunk in request.stream():
        data += chunk
        if len(data) > MAX_BODY_BYTES:
            raise HTTPException(413, f"Body is larger than {MAX_BODY_BYTES} bytes.")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise HTTPException(400, f"Body is not UTF-8 text (byte {exc.start}).") from None


async def netlist(request: Request) -> Response:
    viewer = _state(request)
    cell = await viewer.cell(request.path_params["name"])
    if cell.kind is not CellKind.PIC or cell.source is None:
        raise HTTPException(400, f"Cell {cell.name!r} is not a pic: only pics have a netlist.")
    body = await _body_text(request)
    pic = str(viewer.project.absolute(cell.source))
    schema = str(viewer.project.build / SCHEMA_FILE)
    try:
        text = await viewer.worker.call("post_netlist", pic, body, schema)
    except WorkError as exc:
        if not exc.bad_input:
            _log_work_error(cell, "netlist", exc)
            return PlainTextResponse(f"Internal error: {exc}", 500)
        raise HTTPException(400, str(exc)) from None
    return PlainTextResponse(text, media_type="application/yaml")


async def events(websocket: WebSocket) -> None:
    viewer = _state(websocket)
    await websocket.accept()
    viewer.sockets.add(websocket)
    try:
        await websocket.send_json(
            {"event": "hello", "building": viewer.builds.running, "last": viewer.builds.last}
        )
        while True:
            message = await websocket.receive()
            if message["type"] == "websocket.disconnect":
                break
    except WebSocketDisconnect:
        pass
    finally:
        viewer.sockets.discard(websocket)


_TEMPLATES = {
    "index": _template("index.html"),
    "section": _template("index_section.html"),
    "row": _template("index_row.html"),
    "cell": _template("cell.html"),
}


def create_app(
    project: Project,
    host: str = "127.0.0.1",
    port: int = 8765,
    *,
    worker: Worker | None = None,
    build_on_start: bool = True,
    watch: bool = True,
) -> Starlette:
    """The viewer application for ``project``, answering to ``host``:``port``.

    ``worker`` (started here when not given or not running) does the work
    that needs the PDK; ``build_on_start`` builds cells that were never built
    or whose sources are newer than their layout; ``watch`` rebuilds the pics
    when sources change.
    """
    if worker is None:
        worker = Worker(str(project.dir), str(project.pics), project.pdk)
    viewer = ViewerState(project, worker, build_on_start, watch)

    @asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        await viewer.start()
        try:
            yield
        finally:
            await viewer.stop()

    routes = [
        Route("/", index),
        Route("/cell/{name}", cell_page),
        Route("/drawing/{name}", drawing),
        Route("/changed", changed_route),
        Route("/netlist/{name}", netlist, methods=["POST"]),
        WebSocketRoute("/ws", events),
        Mount("/static", StaticFiles(directory=PACKAGE_DIR / "static"), name="static"),
    ]
    app = Starlette(
        routes=routes,
        middleware=[Middleware(LocalOnly, hosts=own_hosts(host, port))],
        lifespan=lifespan,
    )
    app.state.viewer = viewer
    return app
