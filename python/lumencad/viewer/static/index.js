/* The index page: shows background builds and updates the cells' states. */
"use strict";

function showState(row, state) {
  const badge = row.querySelector(".badge");
  badge.textContent = state;
  badge.className = `badge state-${state.replace(" ", "-")}`;
}

function onEvent(event) {
  const status = document.getElementById("status");
  if (event.event === "hello" && event.building) status.textContent = `building ${event.building}…`;
  if (event.event !== "build") return;
  if (event.state === "running") {
    status.textContent = `building ${event.kind}…`;
    return;
  }
  status.textContent = `${event.kind} build: ${event.summary}`;
  for (const row of document.querySelectorAll("tr[data-cell]")) {
    const state = (event.states || {})[row.dataset.cell];
    if (state) showState(row, state);
  }
}

const scheme = location.protocol === "https:" ? "wss" : "ws";
window.socket = new WebSocket(`${scheme}://${location.host}/ws`);
window.socket.addEventListener("message", (message) => onEvent(JSON.parse(message.data)));
