// The ledgerly dashboard: reads the JSON API of the server that serves it,
// draws its own chart (SVG), and reloads when the event stream says the
// accounted usage changed. Every name from the logs is inserted as text,
// never as markup.
"use strict";

const API = "/api/v1";
const SVG = "http://www.w3.org/2000/svg";
const PALETTE = ["#4e79a7", "#f28e2b", "#59a14f", "#e15759", "#76b7b2", "#edc948", "#b07aa1", "#ff9da7",
  "#9c755f", "#8cd17d", "#86bcb6", "#d37295"];
const $ = (id) => document.getElementById(id);

const state = { serverZone: null, generation: -1, loading: 0, shownGeneration: null };
const SESSIONS_SHOWN = 15;

// ---------------------------------------------------------------- formatting

function num(n) {
  return n == null ? "–" : Number(n).toLocaleString("en-US");
}

function money(v) {
  if (v == null) return "–";
  const digits = v !== 0 && Math.abs(v) < 0.01 ? 4 : 2;
  return v.toLocaleString("en-US", { minimumFractionDigits: digits, maximumFractionDigits: digits });
}

function short(n) {
  const steps = [[1e12, "T"], [1e9, "B"], [1e6, "M"], [1e3, "K"]];
  for (const [limit, suffix] of steps) {
    if (Math.abs(n) >= limit) return (n / limit).toFixed(1).replace(/\.0$/, "") + suffix;
  }
  return String(Math.round(n));
}

function duration(seconds) {
  const minutes = Math.floor(Math.max(0, seconds) / 60);
  return minutes >= 60 ? Math.floor(minutes / 60) + "h" + String(minutes % 60).padStart(2, "0") + "m" : minutes + "m";
}

function el(tag, text, attrs) {
  const node = document.createElement(tag);
  if (text != null) node.textContent = text;
  for (const [k, v] of Object.entries(attrs || {})) node.setAttribute(k, v);
  return node;
}

function svg(tag, attrs, text) {
  const node = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs || {})) node.setAttribute(k, v);
  if (text != null) node.textContent = text;
  return node;
}

// ---------------------------------------------------------------- the API

// The zone the page asks for (the server's own when the field is empty).
function zoneParams() {
  const p = new URLSearchParams();
  const tz = $("tz").value.trim();
  if (tz) p.set("tz", tz);
  return p;
}

// The zone, the date range and `extra`.
function query(extra) {
  const p = zoneParams();
  const since = $("since").value, until = $("until").value;
  if (since) p.set("since", since);
  if (until) p.set("until", until);
  for (const [k, v] of Object.entries(extra || {})) p.set(k, v);
  return p;
}

async function api(path, params) {
  const response = await fetch(API + path + (params && [...params].length ? "?" + params : ""),
    { headers: { Accept: "application/json" } });
  let body = null;
  try { body = await response.json(); } catch (e) { body = null; }
  if (!response.ok) {
    const message = body && body.error ? body.error : response.status + " " + response.statusText;
    const error = new Error(body && body.parameter ? body.parameter + ": " + message : message);
    error.parameter = body && body.parameter;
    throw error;
  }
  const generation = Number(response.headers.get("X-Ledgerly-Generation"));
  return { body, generation };
}

function showError(error) {
  const box = $("error");
  if (!error) { box.hidden = true; box.textContent = ""; return; }
  box.hidden = false;
  box.textContent = error.message;
}

// ---------------------------------------------------------------- loading

async function load() {
  const ticket = ++state.loading;
  try {
    const [daily, models, projects, status, sessions] = await Promise.all([
      api("/report", query({ group: "day", breakdown: "true" })),
      api("/report", query({ group: "model" })),
      api("/report", query({ group: "project" })),
      api("/status", zoneParams()),
      api("/sessions", query({ top: String(SESSIONS_SHOWN) })),
    ]);
    if (ticket !== state.loading) return; // a newer load is under way
    showError(null);
    drawCards(daily.body, status.body);
    drawChart(daily.body, models.body);
    drawTable($("models"), models.body, "model", "Model");
    drawTable($("projects"), projects.body, "project", "Project");
    drawSessions($("sessions"), sessions.body);
    state.shownGeneration = Math.min(daily.generation, models.generation, projects.generation, status.generation,
      sessions.generation);
    document.body.dataset.generation = String(state.shownGeneration);
    state.generation = Math.max(state.generation, state.shownGeneration);
    $("footer").textContent = "Updated " + new Date().toLocaleTimeString() + " · time zone " +
      daily.body.timezone + " · data generation " + state.shownGeneration;
  } catch (error) {
    if (ticket === state.loading) showError(error);
  }
}

async function loadStatus() {
  try {
    const status = await api("/status", zoneParams());
    drawStatus(status.body);
  } catch (error) { /* the next full load reports it */ }
}

// ---------------------------------------------------------------- drawing

function drawCards(daily, status) {
  $("range-tokens").textContent = num(daily.totals.total_tokens);
  $("range-cost").textContent = "unpriced" in daily ? costText(daily.totals.cost, daily.unpriced) : "no price table";
  drawStatus(status);
}

function drawStatus(status) {
  $("today-tokens").textContent = num(status.today.total_tokens);
  $("today-cost").textContent = status.priced ? costText(status.today.cost) : status.today.day;
  const block = status.block;
  if (block) {
    $("block-left").textContent = duration(block.seconds_left) + " left";
    let detail = num(block.total_tokens) + " tokens, heading for " + num(block.projected_tokens);
    if (status.priced && block.cost != null) detail += " · cost " + money(block.cost) + " → " + money(block.projected_cost);
    $("block-detail").textContent = detail + " (ends " + block.end.slice(11, 16) + ")";
  } else {
    $("block-left").textContent = "none open";
    $("block-detail").textContent = "the next request opens one";
  }
  $("burn-rate").textContent = short(status.burn.tokens_per_minute) + " tokens/min";
  $("burn-cost").textContent = !status.priced ? "" :
    status.burn.cost_per_hour == null ? costText(null) : "cost " + money(status.burn.cost_per_hour) + " per hour";
}

function colours(models) {
  const out = new Map();
  models.rows.forEach((row, i) => out.set(row.model, PALETTE[i % PALETTE.length]));
  return out;
}

// Every day from the first to the last with usage; when that span is long
// and mostly empty, only the days with usage (so that bars stay visible).
function allDays(rows) {
  if (!rows.length) return [];
  const first = Date.parse(rows[0].day + "T00:00:00Z"), last = Date.parse(rows[rows.length - 1].day + "T00:00:00Z");
  const byDay = new Map(rows.map((r) => [r.day, r]));
  const days = [];
  for (let t = first; t <= last; t += 86400000) {
    const day = new Date(t).toISOString().slice(0, 10);
    days.push({ day, row: byDay.get(day) || null });
  }
  if (days.length > 62 && rows.length < days.length * 0.4) return rows.map((row) => ({ day: row.day, row }));
  return days;
}

function axisMoney(value, step) {
  const digits = Math.max(0, Math.min(6, -Math.floor(Math.log10(step || 1))));
  return value.toLocaleString("en-US", { minimumFractionDigits: digits, maximumFractionDigits: digits });
}

// A table's cost cell: the cost, or marked unknown when some usage has no price.
function costCell(group) {
  const cell = el("td", money(group.cost), { "data-field": "cost" });
  if (group.cost == null) { cell.className = "unknown"; cell.title = "some of this usage has no price"; }
  return cell;
}

function costText(cost, unpriced) {
  if (cost != null) return "cost " + money(cost);
  return unpriced && unpriced.length ? "cost unknown: no price for " + unpriced.join(", ") : "cost unknown (usage without a price)";
}

function allDaysSpan(rows) {
  return rows.length ? (Date.parse(rows[rows.length - 1].day) - Date.parse(rows[0].day)) / 86400000 + 1 : 0;
}

function niceCeiling(value) {
  if (value <= 0) return 1;
  const power = Math.pow(10, Math.floor(Math.log10(value)));
  for (const step of [1, 2, 2.5, 5, 10]) if (step * power >= value) return step * power;
  return 10 * power;
}

function drawChart(daily, models) {
  const box = $("chart");
  box.replaceChildren();
  const legend = $("legend");
  legend.replaceChildren();
  const colour = colours(models);
  const days = allDays(daily.rows);
  const width = Math.max(320, box.clientWidth || 800), height = 300;
  const left = 58, right = daily.unpriced ? 62 : 12, top = 12, bottom = 30;
  const plot = svg("svg", { viewBox: `0 0 ${width} ${height}`, preserveAspectRatio: "none" });
  box.appendChild(plot);
  if (!days.length) {
    plot.appendChild(svg("text", { x: width / 2, y: height / 2, "text-anchor": "middle", class: "empty" },
      "No usage in this range"));
    $("chart-note").textContent = "";
    return;
  }
  const peak = niceCeiling(Math.max(...days.map((d) => (d.row ? d.row.total_tokens : 0))));
  const innerW = width - left - right, innerH = height - top - bottom;
  const slot = innerW / days.length, barW = Math.max(1, Math.min(48, slot * 0.78));
  const y = (v) => top + innerH - (v / peak) * innerH;
  for (let i = 0; i <= 4; i++) {
    const v = (peak * i) / 4;
    plot.appendChild(svg("line", { x1: left, x2: width - right, y1: y(v), y2: y(v), class: "grid" }));
    plot.appendChild(svg("text", { x: left - 6, y: y(v) + 4, "text-anchor": "end", class: "axis" }, short(v)));
  }
  const manyYears = days[0].day.slice(0, 4) !== days[days.length - 1].day.slice(0, 4);
  const every = Math.max(1, Math.ceil(days.length / Math.max(1, Math.floor(innerW / 70))));
  days.forEach((d, i) => {
    const x = left + i * slot + (slot - barW) / 2;
    if (i % every === 0) {
      plot.appendChild(svg("text", { x: x + barW / 2, y: height - 10, "text-anchor": "middle", class: "axis" },
        manyYears ? d.day : d.day.slice(5)));
    }
    if (!d.row) return;
    let base = 0;
    for (const m of d.row.models) {
      const value = m.total_tokens;
      if (!value) continue;
      const rect = svg("rect", { x, y: y(base + value), width: barW, height: Math.max(0.5, y(base) - y(base + value)),
        fill: colour.get(m.model) || "#888" });
      rect.appendChild(svg("title", {}, `${d.day} ${m.model}: ${num(value)} tokens`));
      plot.appendChild(rect);
      base += value;
    }
  });
  // The cumulative cost, on its own scale at the right.
  const priced = "unpriced" in daily;
  let note = "";
  if (priced) {
    let sum = 0, missing = false;
    const points = days.map((d, i) => {
      if (d.row) { if (d.row.cost == null) missing = true; else sum += d.row.cost; }
      return [left + i * slot + slot / 2, sum];
    });
    const costTop = niceCeiling(sum);
    const cy = (v) => top + innerH - (v / costTop) * innerH;
    plot.appendChild(svg("polyline", { points: points.map(([x, v]) => `${x},${cy(v)}`).join(" "), class: "cost" }));
    for (let i = 0; i <= 4; i++) {
      const v = (costTop * i) / 4;
      plot.appendChild(svg("text", { x: width - right + 6, y: cy(v) + 4, class: "cost-axis" }, axisMoney(v, costTop / 4)));
    }
    note = "bars: tokens; line: cumulative cost" + (missing ? " (leaves out usage without a price)" : "");
  }
  if (days.length && days.length < allDaysSpan(daily.rows)) {
    note += (note ? "; " : "") + "days without usage left out";
  }
  $("chart-note").textContent = note;
  for (const row of models.rows) {
    const key = el("span", row.model);
    key.style.setProperty("--swatch", colour.get(row.model));
    legend.appendChild(key);
  }
  if (priced) {
    const key = el("span", "cumulative cost", { class: "cost-key" });
    key.style.setProperty("--swatch", "var(--cost)");
    legend.appendChild(key);
  }
}

const COLUMNS = [
  ["Input", (g) => g.input - g.cached_input, "input"],
  ["Output", (g) => g.output, "output"],
  ["Cache write", (g) => g.cache_write_5m + g.cache_write_1h, "cache_write"],
  ["Cache read", (g) => g.cached_input + g.cache_read, "cache_read"],
  ["Total", (g) => g.total_tokens, "total_tokens"],
];

function drawTable(table, report, key, title) {
  const priced = "unpriced" in report;
  table.replaceChildren();
  const head = el("thead"), headRow = el("tr");
  headRow.appendChild(el("th", title));
  for (const [name] of COLUMNS) headRow.appendChild(el("th", name));
  if (priced) headRow.appendChild(el("th", "Cost"));
  head.appendChild(headRow);
  table.appendChild(head);
  const body = el("tbody");
  const colour = key === "model" ? colours(report) : null;
  const line = (label, group, swatch) => {
    const tr = el("tr");
    const name = el("td", null, { "data-field": key, title: label });
    if (swatch) {
      const mark = el("span", null, { class: "swatch" });
      mark.style.background = swatch;
      name.appendChild(mark);
    }
    name.appendChild(document.createTextNode(label));
    tr.appendChild(name);
    for (const [, value, field] of COLUMNS) tr.appendChild(el("td", num(value(group)), { "data-field": field }));
    if (priced) tr.appendChild(costCell(group));
    return tr;
  };
  for (const row of report.rows) body.appendChild(line(row[key], row, colour && colour.get(row[key])));
  table.appendChild(body);
  const foot = el("tfoot");
  foot.appendChild(line("Total", report.totals, null));
  table.appendChild(foot);
}

// The costliest sessions (the most tokens without a price table): one line
// each, with the subagents' share, and the totals of every session in range.
function drawSessions(table, result) {
  const priced = "unpriced" in result;
  table.replaceChildren();
  const head = el("thead"), headRow = el("tr");
  const titles = ["Session", "Project", "Last event", "Models", "Total"].concat(priced ? ["Cost"] : [], ["Subagents"]);
  for (const title of titles) headRow.appendChild(el("th", title));
  head.appendChild(headRow);
  table.appendChild(head);
  const line = (name, tip, row, group) => {
    const tr = el("tr");
    tr.appendChild(el("td", name, { "data-field": "id", title: tip }));
    tr.appendChild(el("td", row ? row.project : "", { "data-field": "project", title: row ? row.project : "" }));
    const when = row && row.last_event ? row.last_event.slice(0, 10) + " " + row.last_event.slice(11, 16) : "";
    tr.appendChild(el("td", when, { "data-field": "last_event" }));
    tr.appendChild(el("td", row ? row.models.join(", ") : "", { "data-field": "models" }));
    tr.appendChild(el("td", num(group.total_tokens), { "data-field": "total_tokens" }));
    if (priced) tr.appendChild(costCell(group));
    tr.appendChild(el("td", num(group.subagent_tokens), { "data-field": "subagent_tokens" }));
    return tr;
  };
  const body = el("tbody");
  for (const row of result.rows) body.appendChild(line(row.id, row.session, row, row));
  table.appendChild(body);
  const foot = el("tfoot");
  foot.appendChild(line("Total", result.sessions + " sessions", null, result.totals));
  table.appendChild(foot);
  const order = priced ? "the costliest" : "the most tokens";
  $("sessions-note").textContent = result.sessions > result.rows.length
    ? `${result.rows.length} of ${result.sessions}, ${order} first; the total covers all` : `${order} first`;
}

// ---------------------------------------------------------------- controls and live updates

function setRange(days) {
  document.querySelectorAll(".quick button").forEach((b) => b.classList.toggle("active", b.dataset.days === days));
  if (days === "0") {
    $("since").value = "";
    $("until").value = "";
  } else {
    const now = new Date();
    const start = new Date(now.getFullYear(), now.getMonth(), now.getDate() - Number(days) + 1);
    const iso = (d) => `${d.getFullYear()}-${String(d.getMonth() + 1).padStart(2, "0")}-${String(d.getDate()).padStart(2, "0")}`;
    $("since").value = iso(start);
    $("until").value = iso(now);
  }
  load();
}

function listen() {
  const stream = new EventSource(API + "/events");
  const mark = (live, text) => {
    $("live").classList.toggle("offline", !live);
    $("live-text").textContent = text;
  };
  stream.addEventListener("open", () => mark(true, "live"));
  stream.addEventListener("error", () => mark(false, "reconnecting"));
  stream.addEventListener("update", (event) => {
    mark(true, "live");
    const data = JSON.parse(event.data);
    if (data.generation !== state.generation) {
      state.generation = data.generation;
      load();
    }
  });
}

async function start() {
  try {
    const status = await api("/status");
    state.serverZone = status.body.timezone;
    $("tz").value = status.body.timezone;
  } catch (error) {
    showError(error);
  }
  const zones = new Set(["UTC"]);
  if (state.serverZone) zones.add(state.serverZone);
  try { zones.add(Intl.DateTimeFormat().resolvedOptions().timeZone); } catch (e) { /* no Intl zone */ }
  if (Intl.supportedValuesOf) for (const z of Intl.supportedValuesOf("timeZone")) zones.add(z);
  const list = $("zones");
  for (const z of zones) list.appendChild(el("option", null, { value: z }));

  $("since").addEventListener("change", () => load());
  $("until").addEventListener("change", () => load());
  $("tz").addEventListener("change", () => load());
  $("controls").addEventListener("submit", (e) => { e.preventDefault(); load(); });
  document.querySelectorAll(".quick button").forEach((b) => b.addEventListener("click", () => setRange(b.dataset.days)));
  window.addEventListener("resize", () => load());
  setInterval(loadStatus, 30000); // the block's time left moves with the clock
  await load();
  listen();
}

document.addEventListener("DOMContentLoaded", start);
