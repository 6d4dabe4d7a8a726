"""The viewer's routes and refusals, through the web framework's test client.

One server application serves a built copy of the example project; its worker
process is real. The time stamps of the change polling live in a temporary
folder of this module.
"""

from __future__ import annotations

import logging
import os
import re
import shutil
import tempfile
from pathlib import Path

import polyloom as pl
import pytest
import yaml
from lumencad.core.shared import register_cells
from lumencad.viewer import Project, create_app
from lumencad.viewer import app as app_module
from polyloom.generic import PDK as GENERIC
from serve_helpers import EXPECTED, PYTHON_CELLS, build_project, copy_project, pic_paths
from starlette.testclient import TestClient
from starlette.websockets import WebSocketDisconnect

ORIGIN = "http://127.0.0.1:8765"
DEFAULT_ICON = "M 25.0 75.0 L 75.0 75.0 L 75.0 25.0 L 25.0 25.0 Z"


@pytest.fixture(scope="module")
def project(tmp_path_factory: pytest.TempPathFactory) -> Path:
    root = copy_project(tmp_path_factory.mktemp("served") / "project")
    build_project(root)
    shutil.copy(EXPECTED / "mzi_delay.lyrdb", root / "build" / "gds" / "mzi_delay.lyrdb")
    return root


@pytest.fixture(scope="module")
def client(project: Path, tmp_path_factory: pytest.TempPathFactory):
    patch = pytest.MonkeyPatch()
    patch.setattr(tempfile, "tempdir", str(tmp_path_factory.mktemp("stamps")))
    app = create_app(Project.open(project, "generic"), build_on_start=False, watch=False)
    try:
        with TestClient(app, base_url=ORIGIN) as test_client:
            yield test_client
    finally:
        patch.undo()


@pytest.fixture(scope="module")
def outside(project: Path, tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A folder outside the project, linked into it as "outside"."""
    folder = tmp_path_factory.mktemp("outside")
    (project / "outside").symlink_to(folder, target_is_directory=True)
    return folder


@pytest.fixture
def project_cells(project: Path, restore_pdk) -> None:
    """The project's cells registered in the generic PDK of this process."""
    GENERIC.activate()
    register_cells(project / "pics")


def test_index_lists_every_cell_with_its_state(client, project) -> None:
    page = client.get("/")
    assert page.status_code == 200
    sections = re.findall(r'<section [^>]*data-kind="(\w+)">(.*?)</section>', page.text, re.S)
    listed = {
        kind: re.findall(r'<tr data-cell="([^"]+)">.*?class="badge state-\w+">([^<]+)<', body)
        for kind, body in sections
    }
    assert {kind: {name for name, _ in rows} for kind, rows in listed.items()} == {
        "pic": set(pic_paths(project)),
        "python": set(PYTHON_CELLS),
        "pdk": set(GENERIC.cells),
    }
    assert {state for rows in listed.values() for _, state in rows} == {"built"}
    assert '<a href="/cell/ring_filter?theme=dark">ring_filter</a>' in page.text


@pytest.mark.parametrize("theme", ["dark", "light", None])
def test_cell_page(client, theme) -> None:
    query = "" if theme is None else f"?theme={theme}"
    page = client.get(f"/cell/mzi_delay{query}")
    assert page.status_code == 200
    assert f'<html lang="en" data-bs-theme="{theme or "dark"}">' in page.text
    assert '"/changed?path=" + encodeURIComponent("build/gds/mzi_delay.gds")' in page.text
    for element in ("reload", "rdb-tab", "rdbCategoryOptions", "rdbCellOptions", "rdbItems"):
        assert f'id="{element}"' in page.text
    assert page.text.count("</script>") == 3  # config, page script, polling script
    assert " shadow " not in page.text


def test_layout_drawing(client, project_cells) -> None:
    drawing = client.get("/drawing/heated_straight").json()
    component = pl.get_component("heated_straight")
    layout = drawing["layout"]
    assert (drawing["kind"], drawing["state"], drawing["gds"]) == (
        "python",
        "built",
        "build/gds/cells/heated_straight.gds",
    )
    assert layout["bbox"] == pytest.approx(component.bbox.ravel().tolist())
    # Lowest priority first: the waveguide core is drawn last, on top.
    assert [(lay["name"], lay["layer"], lay["datatype"]) for lay in layout["layers"]] == [
        ("HEATER", 47, 0),
        ("WG", 1, 0),
    ]
    by_layer = component.get_polygons(by_layer=True)
    assert [len(lay["polygons"]) for lay in layout["layers"]] == [
        len(by_layer[(47, 0)]),
        len(by_layer[(1, 0)]),
    ]
    assert len({lay["colour"] for lay in layout["layers"]}) == 2
    assert layout["ports"] == [
        {
            "name": p.name,
            "x": p.center[0],
            "y": p.center[1],
            "orientation": p.orientation,
            "width": p.width,
            "direction": {0.0: "e", 180.0: "w"}[p.orientation],
        }
        for p in component.ports
    ]
    assert drawing["schematic"] is None
    assert drawing["schematic_error"] == "Only pics have a schematic."


@pytest.mark.parametrize("cell", ["mzi_delay", "touching", "routed", "hierarchical"])
def test_schematic_drawing(client, project, project_cells, cell) -> None:
    from lumencad.core.cli.patch_netlist import patch_netlist_post
    from lumencad.core.netlist import _get_icon_poly_strings

    pic = yaml.safe_load(pic_paths(project)[cell].read_text())
    annotated = yaml.safe_load(patch_netlist_post(str(pic_paths(project)[cell]), "", "", "generic"))
    schematic = client.get(f"/drawing/{cell}").json()["schematic"]
    placements = annotated["info"]["schematic"]["placements"]
    icons = _get_icon_poly_strings()
    assert [(i["name"], i["x"], i["y"]) for i in schematic["instances"]] == [
        (name, placements[name]["x"], placements[name]["y"]) for name in pic["instances"]
    ]
    for instance in schematic["instances"]:
        assert instance["icon"] == icons.get(instance["component"], DEFAULT_ICON)
    links = dict(pic.get("connections", {}))
    for route in pic.get("routes", {}).values():
        links.update(route["links"])
    assert {frozenset(pair) for pair in schematic["explicit"]} == {
        frozenset(pair) for pair in links.items()
    }
    implicit = {"touching": {frozenset({"left,o2", "right,o1"})}}.get(cell, set())
    assert {frozenset(pair) for pair in schematic["implicit"]} == implicit
    assert {p["name"]: p["target"] for p in schematic["ports"]} == pic.get("ports", {})


def test_report_of_a_cell(client) -> None:
    drawing = client.get("/drawing/mzi_delay").json()
    report = drawing["report"]
    assert drawing["report_file"] == "build/gds/mzi_delay.lyrdb"
    assert report["categories"] == ["WG", "WG.min_width", "WG.min_space", "density"]
    assert report["cells"] == ["mzi_delay", "mmi1x2"]
    assert [(i["category"], i["cell"], i["shapes"]) for i in report["items"]] == [
        (
            "WG.min_width",
            "mzi_delay",
            [{"kind": "polygon", "rings": [[-10, -0.25, -10, 0.25, 0, 0.5, 0, -0.5]]}],
        ),
        (
            "WG.min_width",
            "mzi_delay",
            [{"kind": "polygon", "rings": [[81, -0.5, 91, -0.5, 91, 0.5, 81, 0.5]]}],
        ),
        (
            "WG.min_space",
            "mzi_delay",
            [{"kind": "lines", "lines": [[5.5, 0.125, 15.5, 0.375], [15.5, -0.375, 5.5, -0.125]]}],
        ),
        ("density", "mmi1x2", [{"kind": "point", "at": [2.75, 0], "label": "low density"}]),
    ]
    assert report["items"][3]["texts"] == ["text: ('low density',r0 2.75,0)", "string: 'WG 12%'"]
    assert client.get("/drawing/touching").json()["report"] is None


def test_missing_layout(client, project) -> None:
    gds = project / "build" / "gds" / "touching.gds"
    moved = gds.with_suffix(".moved")
    gds.rename(moved)
    try:
        drawing = client.get("/drawing/touching").json()
    finally:
        moved.rename(gds)
    assert (drawing["state"], drawing["layout"]) == ("not built", None)
    assert drawing["layout_error"] == "No layout yet: build/gds/touching.gds does not exist."


def test_change_polling(client, project) -> None:
    path = "build/gds/routed.gds"
    gds = project / path
    first = client.get("/changed", params={"path": path}).json()
    ts = int(os.stat(gds).st_mtime)
    assert first == {"changed": True, "ts": ts, "prevts": 0, "path": str(project / path)}
    assert client.get("/changed", params={"path": path}).json()["changed"] is False
    os.utime(gds, (ts + 7, ts + 7))
    assert client.get("/changed", params={"path": path}).json() == {
        "changed": True,
        "ts": ts + 7,
        "prevts": ts,
        "path": str(project / path),
    }


@pytest.mark.parametrize(
    ("path", "reason"),
    [
        ("", "Missing query parameter 'path'."),
        ("../x.gds", "Path must stay inside the project, without '.' or '..': '../x.gds'"),
        (
            "build/../../x.gds",
            "Path must stay inside the project, without '.' or '..': 'build/../../x.gds'",
        ),
        ("build//x.gds", "Path must stay inside the project, without '.' or '..': 'build//x.gds'"),
        ("/etc/x.gds", "Path must be relative to the project, with '/' separators: '/etc/x.gds'"),
        (
            "build\\x.gds",
            "Path must be relative to the project, with '/' separators: 'build\\\\x.gds'",
        ),
        (
            "pics/touching.pic.yml",
            "Path must name a layout file (.gds, .oas): 'pics/touching.pic.yml'",
        ),
        ("outside/x.gds", "Path leads out of the project: 'outside/x.gds'"),
    ],
)
def test_change_polling_refuses_paths(client, outside, path, reason) -> None:
    answer = client.get("/changed", params={"path": path})
    assert (answer.status_code, answer.text) == (400, reason)
    assert list(outside.iterdir()) == []


def test_change_polling_takes_one_path(client) -> None:
    answer = client.get("/changed?path=build/gds/a.gds&path=build/gds/b.gds")
    assert (answer.status_code, answer.text) == (400, "Give the query parameter 'path' once.")


@pytest.mark.parametrize(
    ("request_", "status", "reason"),
    [
        (
            ("GET", "/cell/mzi_delay?theme=blue", {}),
            400,
            "Unknown theme 'blue': use dark or light.",
        ),
        (("GET", "/cell/nope", {}), 404, "Unknown cell 'nope'."),
        (("GET", "/drawing/nope", {}), 404, "Unknown cell 'nope'."),
        (
            ("GET", "/", {"host": "evil.example"}),
            400,
            "Host 'evil.example' is not a name of this server.",
        ),
        (
            ("GET", "/changed?path=build/gds/mzi_delay.gds", {"host": "evil.example:8765"}),
            400,
            "Host 'evil.example:8765' is not a name of this server.",
        ),
        (
            ("GET", "/", {"host": "127.0.0.1:9999"}),
            400,
            "Host '127.0.0.1:9999' is not a name of this server.",
        ),
        (
            ("POST", "/netlist/touching", {"origin": "http://evil.example"}),
            403,
            "Cross-origin request refused: Origin 'http://evil.example'.",
        ),
        (
            ("POST", "/netlist/touching", {"origin": "null"}),
            403,
            "Cross-origin request refused: Origin 'null'.",
        ),
        (
            ("GET", "/changed?path=build/gds/mzi_delay.gds", {"origin": "http://localhost:9000"}),
            403,
            "Cross-origin request refused: Origin 'http://localhost:9000'.",
        ),
        (
            ("GET", "/drawing/mzi_delay", {"sec-fetch-site": "cross-site"}),
            403,
            "Cross-site request refused: Sec-Fetch-Site 'cross-site'.",
        ),
        (
            ("POST", "/netlist/touching", {"sec-fetch-site": "same-site"}),
            403,
            "Cross-site request refused: Sec-Fetch-Site 'same-site'.",
        ),
        (("GET", "/netlist/touching", {}), 405, "Method Not Allowed"),
        (
            ("POST", "/netlist/heated_straight", {}),
            400,
            "Cell 'heated_straight' is not a pic: only pics have a netlist.",
        ),
    ],
)
def test_refusals(client, request_, status, reason) -> None:
    method, url, headers = request_
    answer = client.request(method, url, headers=headers)
    assert (answer.status_code, answer.text) == (status, reason)


@pytest.mark.parametrize(
    "headers",
    [
        {"host": "localhost:8765"},
        {"host": "[::1]:8765", "origin": "http://[::1]:8765"},
        {"origin": ORIGIN, "sec-fetch-site": "same-origin"},
        {"sec-fetch-site": "cross-site", "sec-fetch-mode": "navigate"},
    ],
)
def test_own_names_and_navigations_pass(client, headers) -> None:
    assert client.get("/", headers=headers).status_code == 200


@pytest.mark.parametrize("body", ["from file", "sent"])
def test_netlist_post(client, project, body) -> None:
    pic = pic_paths(project)["mzi_delay"]
    sent = "" if body == "from file" else pic.read_text().replace("length: 10", "length: 12")
    answer = client.post("/netlist/mzi_delay", content=sent, headers={"origin": ORIGIN})
    assert answer.status_code == 200
    assert answer.headers["content-type"] == "application/yaml"
    header, _, text = answer.text.partition("\n")
    assert header == "# yaml-language-server: $schema=../build/schemas/netlist.json"
    netlist = yaml.safe_load(text)
    source = yaml.safe_load(sent or pic.read_text())
    assert netlist["pdk"] == "generic"
    assert netlist["instances"] == source["instances"]
    assert (project / "build" / "schemas" / "netlist.json").is_file()


@pytest.mark.parametrize(
    ("body", "status", "reason"),
    [
        (
            b"instances: [",
            400,
            "Invalid YAML: did not find expected node content (line 2, column 1)",
        ),
        (b"- 1\n- 2\n", 400, "Could not parse netlist yaml."),
        (
            b"instances:\n  a:\n    component: nope\n",
            400,
            "Cell 'nope' not found in PDK 'generic'.",
        ),
        (b"pdk: \xff\n", 400, "Body is not UTF-8 text (byte 5)."),
        (b"#" * (app_module.MAX_BODY_BYTES + 1), 413, "Body is larger than 1048576 bytes."),
    ],
)
def test_netlist_post_refuses_bad_bodies(client, body, status, reason) -> None:
    answer = client.post("/netlist/touching", content=body)
    assert (answer.status_code, answer.text) == (status, reason)


def test_websocket_greets_own_pages_and_refuses_others(client) -> None:
    own = {"host": "127.0.0.1:8765"}
    with client.websocket_connect("/ws", headers={**own, "origin": ORIGIN}) as socket:
        assert socket.receive_json() == {"event": "hello", "building": None, "last": None}
    with pytest.raises(WebSocketDisconnect) as refused:
        with client.websocket_connect("/ws", headers={**own, "origin": "http://evil.example"}):
            pass
    assert (refused.value.code, refused.value.reason) == (
        1008,
        "Cross-origin request refused: Origin 'http://evil.example'.",
    )


def test_handler_error_is_logged_and_answered_500(client, monkeypatch, caplog) -> None:
    def broken(project_dir: str, file_name: str) -> dict:
        raise RuntimeError("disk on fire\nsecond line")

    monkeypatch.setattr(app_module, "changed", broken)
    with caplog.at_level(logging.ERROR, logger="lumencad.viewer"):
        answer = client.get("/changed?path=build/gds/mzi_delay.gds")
    assert (answer.status_code, answer.text) == (500, "Internal error: RuntimeError: disk on fire")
    assert "Traceback" in caplog.text and "disk on fire" in caplog.text
    monkeypatch.undo()
    assert client.get("/changed?path=build/gds/mzi_delay.gds").status_code == 200


def test_static_files_are_served(client) -> None:
    for name in ("viewer.js", "viewer.css", "index.js"):
        assert client.get(f"/static/{name}").status_code == 200
    assert client.get("/static/../app.py").status_code == 404


def test_state_follows_sources(client, project) -> None:
    pic = pic_paths(project)["routed"]
    gds = project / "build" / "gds" / "routed.gds"
    later = os.stat(gds).st_mtime + 60
    os.utime(pic, (later, later))
    try:
        assert client.get("/drawing/routed").json()["state"] == "stale"
    finally:
        os.utime(pic, (later - 3600, later - 3600))
    assert client.get("/drawing/routed").json()["state"] == "built"
