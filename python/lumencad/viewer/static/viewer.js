/* The cell page: draws one cell's layout, schematic and report, keeps them
   current and shows the server's build events.

   The server injects the change-polling script into the page; it expects the
   global `socket`, the button "reload" (redraw from the files on disk), the
   report panel's "rdb-tab", "rdbCategoryOptions", "rdbCellOptions" and
   "rdbItems", and the global function requestItemDrawings(). */
"use strict";

const SVG_NS = "http://www.w3.org/2000/svg";
const config = JSON.parse(document.getElementById("viewer-config").textContent);
const views = {};
let report = null;
let layoutData = null;
let drawSequence = 0;
let drawCount = 0;

function $(id) {
  return document.getElementById(id);
}

function svgEl(tag, attrs, parent) {
  const node = document.createElementNS(SVG_NS, tag);
  for (const [key, value] of Object.entries(attrs || {})) node.setAttribute(key, value);
  if (parent) parent.appendChild(node);
  return node;
}

function setStatus(text) {
  $("status").textContent = text;
}

function setState(state) {
  const badge = $("state");
  badge.textContent = state;
  badge.dataset.state = state;
}

/* ---- pan and zoom: each drawing keeps its own view box ---- */

function makeView(id) {
  const svg = $(id);
  const view = { svg, box: null, content: null, touched: false };
  views[id] = view;
  svg.addEventListener(
    "wheel",
    (event) => {
      if (!view.box) return;
      event.preventDefault();
      zoomAt(view, event.clientX, event.clientY, Math.exp(event.deltaY * 0.0015));
    },
    { passive: false },
  );
  let drag = null;
  svg.addEventListener("pointerdown", (event) => {
    if (!view.box || event.button !== 0) return;
    drag = { x: event.clientX, y: event.clientY, box: view.box.slice(), scale: unitsPerPixel(view) };
    svg.setPointerCapture(event.pointerId);
    svg.classList.add("panning");
  });
  svg.addEventListener("pointermove", (event) => {
    if (!drag) return;
    const dx = (event.clientX - drag.x) * drag.scale;
    const dy = (event.clientY - drag.y) * drag.scale;
    setBox(view, [drag.box[0] - dx, drag.box[1] - dy, drag.box[2], drag.box[3]]);
    view.touched = true;
  });
  const endDrag = () => {
    drag = null;
    svg.classList.remove("panning");
  };
  svg.addEventListener("pointerup", endDrag);
  svg.addEventListener("pointercancel", endDrag);
  svg.addEventListener("dblclick", () => fit(view));
  return view;
}

function unitsPerPixel(view) {
  const width = view.svg.clientWidth || 1;
  const height = view.svg.clientHeight || 1;
  return Math.max(view.box[2] / width, view.box[3] / height);
}

function setBox(view, box) {
  view.box = box;
  view.svg.setAttribute("viewBox", box.map((v) => +v.toFixed(6)).join(" "));
}

function fit(view) {
  if (!view.content) return;
  const [x, y, w, h] = view.content;
  const pad = Math.max(w, h, 1) * 0.06;
  setBox(view, [x - pad, y - pad, Math.max(w, 1e-3) + 2 * pad, Math.max(h, 1e-3) + 2 * pad]);
  view.touched = false;
}

function zoomAt(view, clientX, clientY, factor) {
  const matrix = view.svg.getScreenCTM();
  if (!matrix) return;
  const point = new DOMPoint(clientX, clientY).matrixTransform(matrix.inverse());
  const [x, y, w, h] = view.box;
  setBox(view, [point.x - (point.x - x) * factor, point.y - (point.y - y) * factor, w * factor, h * factor]);
  view.touched = true;
}

/* Shows `content` ([x, y, w, h]); keeps the user's pan and zoom across redraws. */
function showContent(view, content) {
  view.content = content;
  if (!view.box || !view.touched) fit(view);
}

/* ---- layout ---- */

function polygonPath(flat) {
  let d = `M${flat[0]} ${-flat[1]}`;
  for (let i = 2; i < flat.length; i += 2) d += `L${flat[i]} ${-flat[i + 1]}`;
  return d + "Z";
}

function renderLayout(layout, error) {
  const view = views.layout;
  const svg = view.svg;
  const hidden = new Set(
    Array.from(document.querySelectorAll("#layer-legend input:not(:checked)")).map((i) => i.value),
  );
  svg.replaceChildren();
  $("layer-legend").replaceChildren();
  layoutData = layout;
  $("layout-message").textContent = layout ? "" : error || "No layout.";
  if (!layout) return;
  const shapes = svgEl("g", { id: "layout-shapes" }, svg);
  for (const layer of layout.layers) {
    const key = `${layer.layer}/${layer.datatype}`;
    svgEl(
      "path",
      {
        class: "layer",
        "data-layer": key,
        d: layer.polygons.map(polygonPath).join(""),
        fill: layer.colour,
        "fill-opacity": 0.45,
        stroke: layer.colour,
        "stroke-width": 1,
        "vector-effect": "non-scaling-stroke",
        visibility: hidden.has(key) ? "hidden" : "visible",
      },
      shapes,
    );
    addLegendEntry(layer, key, !hidden.has(key));
  }
  const box = layout.bbox || [0, 0, 1, 1];
  const [x0, y0, x1, y1] = box;
  const size = Math.hypot(x1 - x0, y1 - y0) || 1;
  drawPorts(svgEl("g", { id: "layout-ports" }, svg), layout.ports || [], size);
  svgEl("g", { id: "rdb-highlight" }, svg);
  showContent(view, [x0, -y1, x1 - x0, y1 - y0]);
  requestItemDrawings();
}

function addLegendEntry(layer, key, visible) {
  const label = document.createElement("label");
  const box = document.createElement("input");
  box.type = "checkbox";
  box.value = key;
  box.checked = visible;
  box.addEventListener("change", () => {
    const path = document.querySelector(`#layout-shapes path[data-layer="${key}"]`);
    if (path) path.setAttribute("visibility", box.checked ? "visible" : "hidden");
  });
  const swatch = document.createElement("span");
  swatch.className = "swatch";
  swatch.style.background = layer.colour;
  label.append(box, swatch, `${layer.name} (${key})`);
  $("layer-legend").appendChild(label);
}

function drawPorts(group, ports, size) {
  for (const port of ports) {
    const s = Math.max(size * 0.012, port.width * 0.6);
    const x = port.x;
    const y = -port.y;
    const g = svgEl("g", { class: "port", "data-port": port.name }, group);
    if (port.orientation === null) {
      svgEl("circle", { class: "port-marker", cx: x, cy: y, r: s / 2 }, g);
    } else {
      const a = (port.orientation * Math.PI) / 180;
      const ux = Math.cos(a);
      const uy = -Math.sin(a);
      const tip = [x + ux * s, y + uy * s];
      const left = [x - uy * s * 0.5, y + ux * s * 0.5];
      const right = [x + uy * s * 0.5, y - ux * s * 0.5];
      svgEl("polygon", { class: "port-marker", points: [left, tip, right].join(" ") }, g);
    }
    const label = svgEl(
      "text",
      { class: "port-label", x: x + s * 0.3, y: y - s * 0.6, "font-size": s * 1.1 },
      g,
    );
    label.textContent = port.direction ? `${port.name} ${port.direction}` : port.name;
  }
}

/* ---- schematic ---- */

function iconSize(instances) {
  if (instances.length < 2) return 60;
  const nearest = instances.map((a) => {
    let best = Infinity;
    for (const b of instances) if (a !== b) best = Math.min(best, Math.hypot(a.x - b.x, a.y - b.y));
    return best;
  });
  nearest.sort((a, b) => a - b);
  const median = nearest[Math.floor(nearest.length / 2)];
  return Math.min(70, Math.max(14, median * 0.7));
}

function portPositions(inst, size) {
  const half = size / 2;
  const sides = { n: [], e: [], s: [], w: [] };
  for (const [name, letter] of inst.ports) (sides[letter] || sides.e).push(name);
  const where = {};
  for (const [letter, names] of Object.entries(sides)) {
    names.forEach((name, i) => {
      const t = -half + (size * (i + 1)) / (names.length + 1);
      where[name] = {
        n: [inst.x + t, inst.y - half],
        s: [inst.x + t, inst.y + half],
        e: [inst.x + half, inst.y + t],
        w: [inst.x - half, inst.y + t],
      }[letter];
    });
  }
  return where;
}

function renderSchematic(schematic, error) {
  const view = views.schematic;
  const svg = view.svg;
  svg.replaceChildren();
  $("schematic-message").textContent = schematic ? "" : error || "No schematic.";
  if (!schematic) return;
  const size = iconSize(schematic.instances);
  const font = size * 0.22;
  const wires = svgEl("g", { id: "schematic-wires" }, svg);
  const icons = svgEl("g", { id: "schematic-instances" }, svg);
  const ends = {};
  const bounds = [Infinity, Infinity, -Infinity, -Infinity];
  const grow = (x, y) => {
    bounds[0] = Math.min(bounds[0], x);
    bounds[1] = Math.min(bounds[1], y);
    bounds[2] = Math.max(bounds[2], x);
    bounds[3] = Math.max(bounds[3], y);
  };
  for (const inst of schematic.instances) {
    const g = svgEl(
      "g",
      { class: inst.hierarchical ? "inst hierarchical" : "inst", "data-instance": inst.name },
      icons,
    );
    const left = inst.x - size / 2;
    const top = inst.y - size / 2;
    svgEl("rect", { class: "inst-box", x: left, y: top, width: size, height: size, "vector-effect": "non-scaling-stroke" }, g);
    if (inst.icon) {
      svgEl(
        "path",
        {
          class: "inst-icon",
          d: inst.icon,
          transform: `translate(${left} ${top}) scale(${size / 100})`,
          "vector-effect": "non-scaling-stroke",
        },
        g,
      );
    }
    const label = svgEl("text", { class: "inst-label", x: left, y: top + size + font * 1.1, "font-size": font }, g);
    label.textContent = inst.name;
    const title = svgEl("title", {}, g);
    title.textContent = `${inst.name}: ${inst.component}`;
    const positions = portPositions(inst, size);
    for (const [name, [px, py]] of Object.entries(positions)) {
      ends[`${inst.name},${name}`] = [px, py];
      svgEl("circle", { class: "inst-port", cx: px, cy: py, r: size * 0.04 }, g);
      const text = svgEl("text", { class: "port-name", x: px + size * 0.04, y: py - size * 0.05, "font-size": font * 0.7 }, g);
      text.textContent = name;
    }
    grow(left, top);
    grow(left + size, top + size + font * 1.4);
  }
  const line = (cls, a, b) => {
    if (!a || !b) return;
    svgEl("line", { class: cls, x1: a[0], y1: a[1], x2: b[0], y2: b[1], "vector-effect": "non-scaling-stroke", "stroke-width": 1.5 }, wires);
  };
  for (const [a, b] of schematic.explicit) line("conn-explicit", ends[a], ends[b]);
  for (const [a, b] of schematic.implicit) line("conn-implicit", ends[a], ends[b]);
  for (const pin of schematic.ports) {
    const g = svgEl("g", { class: "pin-group", "data-port": pin.name }, icons);
    const r = size * 0.12;
    svgEl("rect", { class: "pin", x: pin.x - r, y: pin.y - r, width: 2 * r, height: 2 * r, transform: `rotate(45 ${pin.x} ${pin.y})`, "vector-effect": "non-scaling-stroke" }, g);
    const text = svgEl("text", { class: "pin-label", x: pin.x + r * 1.5, y: pin.y - r * 1.5, "font-size": font }, g);
    text.textContent = pin.name;
    line("pin-link", [pin.x, pin.y], ends[pin.target]);
    grow(pin.x - r * 2, pin.y - r * 2);
    grow(pin.x + r * 2 + font * pin.name.length * 0.6, pin.y + r * 2);
  }
  if (bounds[0] <= bounds[2]) showContent(view, [bounds[0], bounds[1], bounds[2] - bounds[0], bounds[3] - bounds[1]]);
}

/* ---- report panel ---- */

function selectedText(select) {
  const option = select.options[select.selectedIndex];
  return option ? option.textContent : null;
}

function fillSelect(select, names, keep) {
  select.replaceChildren();
  names.forEach((name, i) => {
    const option = document.createElement("option");
    option.value = String(i);
    option.textContent = name;
    select.appendChild(option);
  });
  const index = names.indexOf(keep);
  if (index >= 0) select.selectedIndex = index;
}

function renderReport(data, error, file) {
  const categories = $("rdbCategoryOptions");
  const cells = $("rdbCellOptions");
  const keepCategory = selectedText(categories);
  const keepCell = selectedText(cells);
  report = data;
  if (!data) {
    fillSelect(categories, [], null);
    fillSelect(cells, [], null);
    $("rdbItems").replaceChildren();
    $("rdb-message").textContent = error || `No report for this cell: ${file} does not exist.`;
    requestItemDrawings();
    return;
  }
  $("rdb-message").textContent = `${data.items.length} findings in ${file}`;
  fillSelect(categories, data.categories, keepCategory);
  fillSelect(cells, data.cells, keepCell);
  fillItems();
}

function fillItems() {
  const items = $("rdbItems");
  const keep = new Set(Array.from(items.selectedOptions).map((o) => o.value));
  items.replaceChildren();
  if (!report) return;
  const category = selectedText($("rdbCategoryOptions"));
  const cell = selectedText($("rdbCellOptions"));
  let n = 0;
  report.items.forEach((item, index) => {
    if (item.category !== category || item.cell !== cell) return;
    n += 1;
    const option = document.createElement("option");
    option.value = String(index);
    option.textContent = `${n}: ${item.texts[0] || item.category}`;
    option.selected = keep.has(option.value);
    items.appendChild(option);
  });
  requestItemDrawings();
}

/* Highlights the selected report items on the layout and lists their values. */
function requestItemDrawings() {
  const group = $("rdb-highlight");
  const chosen = report ? Array.from($("rdbItems").selectedOptions).map((o) => report.items[+o.value]) : [];
  $("rdb-values").textContent = chosen.map((item) => item.texts.join("\n")).join("\n\n");
  if (!group) return;
  group.replaceChildren();
  const bbox = (layoutData && layoutData.bbox) || [0, 0, 1, 1];
  const size = Math.hypot(bbox[2] - bbox[0], bbox[3] - bbox[1]) || 1;
  for (const item of chosen) {
    for (const shape of item.shapes) {
      if (shape.kind === "polygon") {
        svgEl("path", { class: "rdb-shape", d: shape.rings.map(polygonPath).join(""), "fill-rule": "evenodd", "vector-effect": "non-scaling-stroke", "stroke-width": 2 }, group);
      } else if (shape.kind === "lines") {
        for (const flat of shape.lines) {
          const d = polygonPath(flat).slice(0, -1);
          svgEl("path", { class: "rdb-line", d, "vector-effect": "non-scaling-stroke", "stroke-width": 3 }, group);
        }
      } else if (shape.kind === "point") {
        svgEl("circle", { class: "rdb-shape", cx: shape.at[0], cy: -shape.at[1], r: size * 0.01, "vector-effect": "non-scaling-stroke" }, group);
      }
    }
  }
}

/* ---- loading ---- */

async function reloadDrawing() {
  const sequence = ++drawSequence;
  let data;
  try {
    const response = await fetch(`/drawing/${encodeURIComponent(config.cell)}`, { cache: "no-store" });
    if (!response.ok) {
      setStatus(`Cannot load the drawing: ${await response.text()}`);
      return;
    }
    data = await response.json();
  } catch (error) {
    setStatus(`Cannot reach the server: ${error}`);
    return;
  }
  if (sequence !== drawSequence) return; // a later reload is under way
  setState(data.state);
  renderLayout(data.layout, data.layout_error);
  if (data.layout && data.layout.ports_error) $("layout-message").textContent = data.layout.ports_error;
  renderSchematic(data.schematic, data.schematic_error);
  renderReport(data.report, data.report_error, data.report_file);
  drawCount += 1;
  document.body.dataset.drawn = String(drawCount);
  setStatus(`drawn ${new Date().toLocaleTimeString()}`);
}

function onEvent(event) {
  if (event.event === "hello" && event.building) setStatus(`building ${event.building}…`);
  if (event.event !== "build") return;
  if (event.state === "running") {
    setStatus(`building ${event.kind}…`);
    return;
  }
  const states = event.states || {};
  if (states[config.cell]) setState(states[config.cell]);
  const failed = event.failed && event.failed.length ? ` (failed: ${event.failed.join(", ")})` : "";
  setStatus(`${event.kind} build: ${event.summary}${failed}`);
  pollNow();
}

/* Asks at once whether the layout changed (a build just ended), instead of
   waiting for the next poll; a change seen here is not reported again. */
async function pollNow() {
  try {
    const response = await fetch(`/changed?path=${encodeURIComponent(config.gds)}`, { cache: "no-store" });
    if (response.ok && (await response.json()).changed) reloadDrawing();
  } catch (error) {
    setStatus(`Cannot reach the server: ${error}`);
  }
}

function openSocket() {
  const scheme = location.protocol === "https:" ? "wss" : "ws";
  const ws = new WebSocket(`${scheme}://${location.host}/ws`);
  ws.addEventListener("message", (message) => onEvent(JSON.parse(message.data)));
  ws.addEventListener("close", () => setStatus("connection to the server lost"));
  return ws;
}

window.socket = openSocket();
window.requestItemDrawings = requestItemDrawings;

makeView("layout");
makeView("schematic");
$("reload").addEventListener("click", reloadDrawing);
$("rdb-tab").addEventListener("click", () => {
  $("rdb-panel").hidden = false;
});
$("rdb-close").addEventListener("click", () => {
  $("rdb-panel").hidden = true;
});
$("rdbCategoryOptions").addEventListener("change", fillItems);
$("rdbCellOptions").addEventListener("change", fillItems);
$("rdbItems").addEventListener("change", requestItemDrawings);
for (const button of document.querySelectorAll("button.fit")) {
  button.addEventListener("click", () => fit(views[button.dataset.target]));
}
if (config.kind !== "pic") $("schematic-pane").hidden = true;
reloadDrawing();
