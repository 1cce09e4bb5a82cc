// SPDX-License-Identifier: Apache-2.0
#include "Monitor/WebPage.h"

namespace {

// The script reads the fields AgentsJson writes, one page of agents at a
// time; every text from an agent goes into the page as text, never as
// markup.
constexpr std::string_view kPage = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>kelvra monitor</title>
<style>
  :root { --ink: #1d2330; --muted: #6b7280; --line: #e3e6ec; --busy: #3b6fd8; --share: #e8832a; --up: #1f9d55; --lost: #b42318; }
  * { box-sizing: border-box; }
  body { margin: 0; font: 14px/1.4 system-ui, -apple-system, "Segoe UI", Roboto, "DejaVu Sans", sans-serif; color: var(--ink); background: #f6f7f9; }
  header { display: flex; flex-wrap: wrap; align-items: baseline; gap: 8px 24px; padding: 14px 24px; background: #fff; border-bottom: 1px solid var(--line); }
  h1 { margin: 0; font-size: 18px; font-weight: 600; }
  .count { font-size: 15px; }
  .count b { font-size: 18px; }
  .count.up b { color: var(--up); }
  .count.lost b { color: var(--lost); }
  #updated { margin-left: auto; color: var(--muted); font-size: 12px; }
  main { padding: 16px 24px; }
  .note { padding: 14px 16px; background: #fff; border: 1px solid var(--line); border-radius: 6px; color: var(--muted); }
  .note.error { color: var(--lost); border-color: #f1c0bb; background: #fff6f5; margin-bottom: 12px; }
  .controls { display: flex; flex-wrap: wrap; align-items: center; gap: 8px 14px; margin-bottom: 10px; }
  .controls label { color: var(--muted); font-size: 12px; }
  .controls input, .controls select, .controls button { font: inherit; padding: 4px 8px; border: 1px solid var(--line); border-radius: 4px; background: #fff; }
  .controls input { width: 260px; }
  .controls button:disabled { color: #c4c8cf; }
  #range { color: var(--muted); }
  table { width: 100%; border-collapse: collapse; background: #fff; border: 1px solid var(--line); border-radius: 6px; }
  th, td { padding: 7px 10px; text-align: left; border-bottom: 1px solid var(--line); vertical-align: middle; white-space: nowrap; }
  th { font-size: 12px; font-weight: 600; color: var(--muted); text-transform: uppercase; letter-spacing: .03em; }
  td.num, th.num { text-align: right; font-variant-numeric: tabular-nums; }
  td.status { white-space: normal; max-width: 320px; overflow-wrap: anywhere; }
  tr.lost td { color: #9aa1ad; }
  tr.lost td.status { color: var(--lost); }
  .dot { display: inline-block; width: 8px; height: 8px; border-radius: 50%; margin-right: 6px; background: var(--up); }
  tr.lost .dot { background: #c4c8cf; }
  svg.chart { display: block; background: #fafbfc; border: 1px solid var(--line); border-radius: 3px; }
  .legend { margin-top: 10px; color: var(--muted); font-size: 12px; }
  .legend i { display: inline-block; width: 14px; height: 3px; vertical-align: middle; margin: 0 4px 0 12px; }
  footer { padding: 0 24px 20px; color: var(--muted); font-size: 12px; }
  footer a { color: var(--muted); }
</style>
</head>
<body>
<header>
  <h1>kelvra monitor</h1>
  <span class="count up"><b id="agents-up">0</b> up</span>
  <span class="count lost"><b id="agents-lost">0</b> lost</span>
  <span class="count"><b id="processors">0</b> processors</span>
  <span class="count"><b id="pool-threads">0</b> pool threads</span>
  <span class="count"><b id="load">0 %</b> mean load</span>
  <span id="updated"></span>
</header>
<main>
  <div id="error" class="note error" hidden></div>
  <div id="empty" class="note" hidden>No agent has reported yet. Agents report here once their
    <code>[coordinator] coordinator_ip</code> names this machine, or they find it by discovery.</div>
  <div id="tables" hidden>
    <div class="controls">
      <input id="filter" type="search" placeholder="Filter: name, address, status" aria-label="Filter">
      <label>Show <select id="state"><option value="">all</option><option value="up">up</option><option value="lost">lost</option></select></label>
      <label>Sort by <select id="sort"><option value="address">address</option><option value="name">name</option>
        <option value="load">CPU load</option><option value="status">status</option></select></label>
      <select id="order" aria-label="Order"><option value="">ascending</option><option value="desc">descending</option></select>
      <button id="previous" type="button">&lsaquo; Previous</button>
      <span id="range"></span>
      <button id="next" type="button">Next &rsaquo;</button>
    </div>
    <table id="agents">
      <thead><tr><th>Address</th><th>Machine</th><th class="num">CPUs</th><th class="num">Pool</th>
        <th class="num">CPU load</th><th class="num">Agent</th><th class="num">Free memory</th>
        <th>Status</th><th class="num">Last report</th><th>Load, last 10 min</th></tr></thead>
      <tbody id="rows"></tbody>
    </table>
    <div class="legend">Charts:<i style="background: var(--busy)"></i>machine load<i style="background: var(--share)"></i>the agent's share</div>
  </div>
</main>
<footer>Refreshes every 2 s. The same facts: <a href="agents.json">agents.json</a> · <a href="metrics">metrics</a></footer>
<script>
"use strict";
const REFRESH_MS = 2000;
const HISTORY_MS = 10 * 60 * 1000;
const SLOT_MS = 5000;
const PAGE_SIZE = 50;
const SVG = "http://www.w3.org/2000/svg";
// What the reader asked for; the monitor sorts, filters and pages, and
// sends only the agents on screen.
const view = {filter: "", state: "", sort: "address", order: "", offset: 0};
let timer = null;
let asked = 0;

function cell(row, text, className) {
  const td = document.createElement("td");
  td.textContent = text;
  if (className) td.className = className;
  row.appendChild(td);
  return td;
}

function memory(mb) {
  return mb >= 10240 ? (mb / 1024).toFixed(1) + " GB" : mb + " MB";
}

function ago(now, then) {
  const s = Math.max(0, Math.round((now - then) / 1000));
  if (s < 120) return s + " s ago";
  if (s < 7200) return Math.round(s / 60) + " min ago";
  return Math.round(s / 3600) + " h ago";
}

// Machine load as a filled area, the agent's share as a line, over the
// last ten minutes up to `now`, 0 to 100 %.
function chart(history, now) {
  const width = 180, height = 36;
  const svg = document.createElementNS(SVG, "svg");
  svg.setAttribute("class", "chart");
  svg.setAttribute("width", width);
  svg.setAttribute("height", height);
  svg.setAttribute("viewBox", "0 0 " + width + " " + height);
  const x = t => Math.max(0, Math.min(width, (t + SLOT_MS / 2 - (now - HISTORY_MS)) / HISTORY_MS * width));
  const y = p => height - 1 - Math.max(0, Math.min(100, p)) / 100 * (height - 2);
  const grid = document.createElementNS(SVG, "line");
  grid.setAttribute("x1", 0); grid.setAttribute("x2", width);
  grid.setAttribute("y1", y(50)); grid.setAttribute("y2", y(50));
  grid.setAttribute("stroke", "#e3e6ec"); grid.setAttribute("stroke-dasharray", "2 3");
  svg.appendChild(grid);
  if (history.length > 0) {
    const busy = history.map(p => x(p[0]).toFixed(1) + "," + y(p[1]).toFixed(1));
    const area = document.createElementNS(SVG, "polygon");
    area.setAttribute("points", x(history[0][0]).toFixed(1) + "," + y(0) + " " + busy.join(" ") + " " +
                      x(history[history.length - 1][0]).toFixed(1) + "," + y(0));
    area.setAttribute("fill", "rgba(59,111,216,0.18)");
    area.setAttribute("stroke", "#3b6fd8");
    area.setAttribute("stroke-width", "1.2");
    svg.appendChild(area);
    const share = document.createElementNS(SVG, "polyline");
    share.setAttribute("points", history.map(p => x(p[0]).toFixed(1) + "," + y(p[2]).toFixed(1)).join(" "));
    share.setAttribute("fill", "none");
    share.setAttribute("stroke", "#e8832a");
    share.setAttribute("stroke-width", "1.5");
    svg.appendChild(share);
  }
  const title = document.createElementNS(SVG, "title");
  const last = history[history.length - 1];
  title.textContent = last ? "load " + last[1] + " %, agent " + last[2] + " %" : "no reports in the last 10 min";
  svg.appendChild(title);
  return svg;
}

// A share as the agent sent it, within 0-100: its sampler may go a little
// beyond 100, or below zero and wrap to a value beyond 2^31.
function within100(share) {
  return share > 2147483647 ? 0 : Math.min(share, 100);
}

function row(agent, now) {
  const tr = document.createElement("tr");
  if (!agent.up) tr.className = "lost";
  const address = cell(tr, agent.address);
  const dot = document.createElement("span");
  dot.className = "dot";
  address.prepend(dot);
  cell(tr, agent.name || "(no name)");
  cell(tr, agent.processors, "num");
  cell(tr, agent.pool_size, "num");
  cell(tr, (100 - within100(agent.idle_percent)) + " %", "num");
  cell(tr, within100(agent.agent_percent) + " %", "num");
  cell(tr, memory(agent.free_memory_mb), "num");
  const status = cell(tr, agent.up ? agent.status : "lost: " + agent.lost_reason, "status");
  if (agent.up && agent.status_bytes > agent.status.length) status.title = agent.status_bytes + " bytes, cut";
  cell(tr, ago(now, agent.last_report), "num");
  cell(tr, "").appendChild(chart(agent.history || [], now));
  return tr;
}

function show(data) {
  const known = data.agents_known, up = data.agents_up, matched = data.agents_matched;
  document.getElementById("agents-up").textContent = up;
  document.getElementById("agents-lost").textContent = known - up;
  document.getElementById("processors").textContent = data.processors_up;
  document.getElementById("pool-threads").textContent = data.pool_threads_up;
  document.getElementById("load").textContent = data.load_percent_up + " %";
  document.getElementById("empty").hidden = known > 0;
  document.getElementById("tables").hidden = known === 0;
  const agents = data.agents || [];
  document.getElementById("rows").replaceChildren(...agents.map(a => row(a, data.now)));
  document.getElementById("range").textContent = matched === 0 ? "no agent matches" :
    (data.offset + 1) + "–" + (data.offset + agents.length) + " of " + matched +
    (matched < known ? " (of " + known + ")" : "");
  document.getElementById("previous").disabled = data.offset === 0;
  document.getElementById("next").disabled = data.offset + agents.length >= matched;
  view.offset = data.offset;
  document.getElementById("updated").textContent = "updated " + new Date(data.now).toLocaleTimeString();
  document.getElementById("error").hidden = true;
}

function query() {
  const parts = ["limit=" + PAGE_SIZE, "offset=" + view.offset, "sort=" + view.sort];
  if (view.order) parts.push("order=" + view.order);
  if (view.state) parts.push("state=" + view.state);
  if (view.filter) parts.push("filter=" + encodeURIComponent(view.filter));
  return "agents.json?" + parts.join("&");
}

async function refresh() {
  clearTimeout(timer);
  const mine = ++asked;
  try {
    const answer = await fetch(query(), {cache: "no-store"});
    if (!answer.ok) throw new Error("the monitor answered " + answer.status);
    const data = await answer.json();
    if (mine === asked) show(data);  // a later question's answer wins
  } catch (error) {
    const banner = document.getElementById("error");
    banner.textContent = "Cannot read agents.json (" + error.message + "); trying again.";
    banner.hidden = false;
  }
  if (mine === asked) timer = setTimeout(refresh, REFRESH_MS);
}

function changed(update) {
  update();
  refresh();
}

let typing = null;
document.getElementById("filter").addEventListener("input", event => {
  clearTimeout(typing);
  typing = setTimeout(() => changed(() => { view.filter = event.target.value.trim(); view.offset = 0; }), 250);
});
for (const id of ["state", "sort", "order"])
  document.getElementById(id).addEventListener("change", event => changed(() => { view[id] = event.target.value; view.offset = 0; }));
document.getElementById("previous").addEventListener("click", () => changed(() => { view.offset = Math.max(0, view.offset - PAGE_SIZE); }));
document.getElementById("next").addEventListener("click", () => changed(() => { view.offset += PAGE_SIZE; }));
// A link may open the page filtered: /#filter=node12
const start = new URLSearchParams(location.hash.slice(1));
if (start.get("filter")) {
  view.filter = start.get("filter");
  document.getElementById("filter").value = view.filter;
}

refresh();
</script>
</body>
</html>
)PAGE";

}  // namespace

std::string_view MonitorPageHtml() { return kPage; }
