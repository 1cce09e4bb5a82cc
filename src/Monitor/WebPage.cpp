#include "Monitor/WebPage.h"

namespace {

// The script reads the fields AgentsJson writes; every text from an agent
// goes into the page as text, never as markup.
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
  header { display: flex; align-items: baseline; gap: 24px; padding: 14px 24px; background: #fff; border-bottom: 1px solid var(--line); }
  h1 { margin: 0; font-size: 18px; font-weight: 600; }
  .count { font-size: 15px; }
  .count b { font-size: 18px; }
  .count.up b { color: var(--up); }
  .count.lost b { color: var(--lost); }
  #updated { margin-left: auto; color: var(--muted); font-size: 12px; }
  main { padding: 16px 24px; }
  .note { padding: 14px 16px; background: #fff; border: 1px solid var(--line); border-radius: 6px; color: var(--muted); }
  .note.error { color: var(--lost); border-color: #f1c0bb; background: #fff6f5; margin-bottom: 12px; }
  table { width: 100%; border-collapse: collapse; background: #fff; border: 1px solid var(--line); border-radius: 6px; }
  th, td { padding: 7px 10px; text-align: left; border-bottom: 1px solid var(--line); vertical-align: middle; white-space: nowrap; }
  th { font-size: 12px; font-weight: 600; color: var(--muted); text-transform: uppercase; letter-spacing: .03em; }
  td.num, th.num { text-align: right; font-variant-numeric: tabular-nums; }
  td.status { white-space: normal; max-width: 320px; }
  tr.lost td { color: #9aa1ad; }
  tr.lost td.status { color: var(--lost); }
  .dot { display: inline-block; width: 8px; height: 8px; border-radius: 50%; margin-right: 6px; background: var(--up); }
  tr.lost .dot { background: #c4c8cf; }
  tr.section td { padding: 14px 10px 6px; font-size: 12px; font-weight: 600; color: var(--muted); text-transform: uppercase; letter-spacing: .03em; background: #fafbfc; }
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
  <span id="updated"></span>
</header>
<main>
  <div id="error" class="note error" hidden></div>
  <div id="empty" class="note" hidden>No agent has reported yet. Agents report here once their
    <code>[coordinator] coordinator_ip</code> names this machine, or they find it by discovery.</div>
  <div id="tables" hidden>
    <table id="agents">
      <thead><tr><th>Address</th><th>Machine</th><th class="num">CPUs</th><th class="num">Pool</th>
        <th class="num">CPU load</th><th class="num">Agent</th><th class="num">Free memory</th>
        <th>Status</th><th class="num">Last report</th><th>Load, last 10 min</th></tr></thead>
      <tbody id="up-rows"></tbody>
      <tbody id="lost-part" hidden><tr class="section"><td colspan="10">Lost agents</td></tr></tbody>
      <tbody id="lost-rows"></tbody>
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
const SVG = "http://www.w3.org/2000/svg";

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
  for (const level of [50]) {
    const grid = document.createElementNS(SVG, "line");
    grid.setAttribute("x1", 0); grid.setAttribute("x2", width);
    grid.setAttribute("y1", y(level)); grid.setAttribute("y2", y(level));
    grid.setAttribute("stroke", "#e3e6ec"); grid.setAttribute("stroke-dasharray", "2 3");
    svg.appendChild(grid);
  }
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
  cell(tr, agent.up ? agent.status : "lost: " + agent.lost_reason, "status");
  cell(tr, ago(now, agent.last_report), "num");
  cell(tr, "").appendChild(chart(agent.history || [], now));
  return tr;
}

// Dotted addresses in numeric order (10.0.0.7 before 10.0.0.12).
function byAddress(a, b) {
  const key = agent => agent.address.split(".").map(part => part.padStart(3, "0")).join(".");
  return key(a) < key(b) ? -1 : key(a) > key(b) ? 1 : a.id - b.id;
}

function show(data) {
  const agents = (data.agents || []).slice().sort(byAddress);
  const up = agents.filter(a => a.up), lost = agents.filter(a => !a.up);
  document.getElementById("agents-up").textContent = up.length;
  document.getElementById("agents-lost").textContent = lost.length;
  document.getElementById("empty").hidden = agents.length > 0;
  document.getElementById("tables").hidden = agents.length === 0;
  document.getElementById("lost-part").hidden = lost.length === 0;
  document.getElementById("up-rows").replaceChildren(...up.map(a => row(a, data.now)));
  document.getElementById("lost-rows").replaceChildren(...lost.map(a => row(a, data.now)));
  document.getElementById("updated").textContent = "updated " + new Date(data.now).toLocaleTimeString();
  document.getElementById("error").hidden = true;
}

async function refresh() {
  try {
    const answer = await fetch("agents.json", {cache: "no-store"});
    if (!answer.ok) throw new Error("the monitor answered " + answer.status);
    show(await answer.json());
  } catch (error) {
    const banner = document.getElementById("error");
    banner.textContent = "Cannot read agents.json (" + error.message + "); trying again.";
    banner.hidden = false;
  }
  setTimeout(refresh, REFRESH_MS);
}

refresh();
</script>
</body>
</html>
)PAGE";

}  // namespace

std::string_view MonitorPageHtml() { return kPage; }
