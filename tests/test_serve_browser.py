"""The viewer's pages in a real headless Chromium (Debian's chromium and chromium-driver).

One server serves a built copy of the example project; Selenium drives the
browser through the system's chromedriver, so nothing is downloaded.
"""

from __future__ import annotations

import json
import os
import shutil
import time
from pathlib import Path

import gdstk
import pytest
import yaml
from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.remote.webdriver import WebDriver
from selenium.webdriver.support.ui import WebDriverWait
from serve_helpers import EXPECTED, PYTHON_CELLS, Server, build_project, copy_project, pic_paths

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
# The page must show a changed layout within this long.
RELOAD_LIMIT_S = 3
# Bound of the wait for a background build (never reached when things work).
BUILD_WAIT_S = 60
PAGE_WAIT_S = 30


@pytest.fixture(scope="module")
def project(tmp_path_factory: pytest.TempPathFactory) -> Path:
    root = copy_project(tmp_path_factory.mktemp("browser") / "project")
    build_project(root)
    shutil.copy(EXPECTED / "mzi_delay.lyrdb", root / "build" / "gds" / "mzi_delay.lyrdb")
    return root


@pytest.fixture(scope="module")
def server(project: Path, tmp_path_factory: pytest.TempPathFactory):
    served = Server(project, TMPDIR=str(tmp_path_factory.mktemp("stamps")))
    yield served
    code, _, err = served.stop()
    assert code == 130, err


@pytest.fixture(scope="module")
def driver():
    options = Options()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    options.add_argument("--window-size=1400,900")
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    browser = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)
    yield browser
    browser.quit()


def gds_of(project: Path, cell: str) -> str:
    if cell in PYTHON_CELLS:
        return f"build/gds/cells/{cell}.gds"
    if cell in pic_paths(project):
        folder = pic_paths(project)[cell].parent.relative_to(project / "pics").as_posix()
        return f"build/gds/{'' if folder == '.' else folder + '/'}{cell}.gds"
    return f"build/gds/pdk/{cell}.gds"


def drawn(driver: WebDriver) -> int:
    return int(driver.execute_script("return document.body.dataset.drawn || 0"))


def open_page(driver: WebDriver, server: Server, project: Path, cell: str, query: str = "") -> int:
    """Load a cell's page once its change stamp is current; the number of drawings it made."""
    server.get(f"/changed?path={gds_of(project, cell)}")
    driver.get(f"{server.url}cell/{cell}{query}")
    WebDriverWait(driver, PAGE_WAIT_S).until(lambda d: drawn(d) >= 1)
    return drawn(driver)


def severe_console_entries(driver: WebDriver) -> list[dict]:
    return [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]


def count(driver: WebDriver, selector: str) -> int:
    return len(driver.find_elements(By.CSS_SELECTOR, selector))


def test_every_cell_is_drawn(driver, server, project, tmp_path) -> None:
    cells = [*pic_paths(project), *PYTHON_CELLS, "mmi1x2"]
    for cell in cells:
        open_page(driver, server, project, cell)
        library = gdstk.read_gds(project / gds_of(project, cell))
        layers = {(p.layer, p.datatype) for p in library.top_level()[0].get_polygons()}
        gds = project / gds_of(project, cell)
        ports = json.loads((gds.parent / "ports" / f"{cell}.json").read_text())
        assert count(driver, "#layout path.layer") == len(layers), cell
        markers = driver.find_elements(By.CSS_SELECTOR, "#layout g.port")
        assert [m.get_attribute("data-port") for m in markers] == list(ports), cell
        if cell in pic_paths(project):
            pic = yaml.safe_load(pic_paths(project)[cell].read_text())
            links = len(pic.get("connections", {}))
            links += sum(len(r["links"]) for r in pic.get("routes", {}).values())
            assert count(driver, "#schematic g.inst") == len(pic["instances"]), cell
            assert count(driver, "#schematic line.conn-explicit") == links, cell
            assert count(driver, "#schematic line.conn-implicit") == (cell == "touching"), cell
            assert count(driver, "#schematic g.pin-group") == len(pic.get("ports", {})), cell
        else:
            assert not driver.find_element(By.ID, "schematic-pane").is_displayed()
        shot = tmp_path / f"{cell}.png"
        assert driver.save_screenshot(str(shot))
        assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert severe_console_entries(driver) == []


def test_page_reloads_when_the_layout_changes(driver, server, project) -> None:
    first = open_page(driver, server, project, "routed")
    gds = project / gds_of(project, "routed")
    # The poll compares whole seconds: write in a later second than the stored stamp.
    stamp = int(os.stat(gds).st_mtime)
    while int(time.time()) <= stamp:
        time.sleep(0.05)
    library = gdstk.Library()
    library.new_cell("routed").add(gdstk.rectangle((0, 0), (5, 5), layer=1))
    library.write_gds(str(gds))
    WebDriverWait(driver, RELOAD_LIMIT_S).until(lambda d: drawn(d) > first)
    path = driver.find_element(By.CSS_SELECTOR, "#layout path.layer")
    assert path.get_attribute("d") == "M0 0L5 0L5 -5L0 -5Z"


def test_saved_pic_is_rebuilt_and_redrawn(driver, server, project) -> None:
    first = open_page(driver, server, project, "touching")
    pic = pic_paths(project)["touching"]
    pic.write_text(pic.read_text().replace("length: 15", "length: 30"))
    WebDriverWait(driver, BUILD_WAIT_S).until(lambda d: drawn(d) > first)
    box = gdstk.read_gds(project / gds_of(project, "touching")).top_level()[0].bounding_box()
    assert driver.execute_script("return layoutData.bbox") == pytest.approx([*box[0], *box[1]])
    assert box[1][0] == pytest.approx(40.0)


def test_message_steers_the_report_panel(driver, server, project, tmp_path) -> None:
    first = open_page(driver, server, project, "mzi_delay")
    message = {"category": "WG.min_width", "cell": "mzi_delay", "itemIdxs": [1]}
    driver.execute_script("window.postMessage(arguments[0], '*')", json.dumps(message))
    items = driver.find_element(By.ID, "rdbItems")
    WebDriverWait(driver, RELOAD_LIMIT_S).until(
        lambda d: count(d, "#rdb-highlight path.rdb-shape") == 1
    )
    assert driver.find_element(By.ID, "rdb-panel").is_displayed()
    selected = [(o.text, o.is_selected()) for o in items.find_elements(By.TAG_NAME, "option")]
    assert selected == [
        ("1: polygon: (-10,-0.25;-10,0.25;0,0.5;0,-0.5)", False),
        ("2: box: (81,-0.5;91,0.5)", True),
    ]
    for select, text in (("rdbCategoryOptions", "WG.min_width"), ("rdbCellOptions", "mzi_delay")):
        element = driver.find_element(By.ID, select)
        assert driver.execute_script("return arguments[0].selectedOptions[0].text", element) == text
    shape = driver.find_element(By.CSS_SELECTOR, "#rdb-highlight path.rdb-shape")
    assert shape.get_attribute("d") == "M81 0.5L91 0.5L91 -0.5L81 -0.5Z"
    assert driver.find_element(By.ID, "rdb-values").text == "box: (81,-0.5;91,0.5)"
    assert driver.save_screenshot(str(tmp_path / "report.png"))
    driver.execute_script("window.postMessage(arguments[0], '*')", json.dumps({"reload": True}))
    WebDriverWait(driver, RELOAD_LIMIT_S).until(lambda d: drawn(d) > first)


def test_report_panel_without_a_report(driver, server, project) -> None:
    open_page(driver, server, project, "hierarchical")
    driver.find_element(By.ID, "rdb-tab").click()
    assert driver.find_element(By.ID, "rdb-message").text == (
        "No report for this cell: build/gds/hierarchical.lyrdb does not exist."
    )
    assert count(driver, "#rdbCategoryOptions option") == 0


def test_light_theme_pan_and_zoom(driver, server, project) -> None:
    open_page(driver, server, project, "mzi_delay", "?theme=light")
    assert driver.find_element(By.TAG_NAME, "html").get_attribute("data-bs-theme") == "light"
    background = driver.execute_script("return getComputedStyle(document.body).backgroundColor")
    assert background == "rgb(245, 245, 245)"
    svg = driver.find_element(By.ID, "layout")

    def view_box() -> list[float]:
        return [float(v) for v in svg.get_dom_attribute("viewBox").split()]

    fitted = view_box()
    driver.execute_script(
        "const r = arguments[0].getBoundingClientRect();"
        "arguments[0].dispatchEvent(new WheelEvent('wheel', {deltaY: -400, bubbles: true,"
        " cancelable: true, clientX: r.x + r.width / 2, clientY: r.y + r.height / 2}));",
        svg,
    )
    zoomed = view_box()
    assert zoomed[2] == pytest.approx(fitted[2] * 2.718281828 ** (-0.6), rel=1e-3)
    driver.execute_script("arguments[0].dispatchEvent(new MouseEvent('dblclick'))", svg)
    assert view_box() == pytest.approx(fitted)
