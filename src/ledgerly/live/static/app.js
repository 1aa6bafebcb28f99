// The ledgerly dashboard: reads the JSON API of the server that serves it,
// draws its own chart (SVG), and reloads when the event stream says the
// accounted usage changed. Every name from the logs is inserted as text,
// never as markup.
"use strict";

const API = "/api/v1";
const SVG = "http://www.w3.org/2000/svg";
// Ten hues that stay apart in light and dark mode; models beyond them share
// OTHER (see `colours`).
const PALETTE = ["#4e79a7", "#f28e2b", "#e15759", "#76b7b2", "#59a14f", "#edc948", "#b07aa1", "#ff9da7",
  "#9c755f", "#6b6ecf"];
const OTHER = "#a0a4aa";
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

// A cost; when some of the usage has no price (`cost` null), the cost of
// the part that has one marked "+", as the command line writes it.
function partialMoney(cost, pricedCost) {
  if (cost != null) return money(cost);
  if (pricedCost) return money(pricedCost) + "+";
  return "no price";
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
    const allTime = new URLSearchParams({ group: "model" });
    const [daily, models, projects, status, sessions, everModels] = await Promise.all([
      api("/report", query({ group: "day", breakdown: "true" })),
      api("/report", query({ group: "model" })),
      api("/report", query({ group: "project" })),
      api("/status", zoneParams()),
      api("/sessions", query({ top: String(SESSIONS_SHOWN) })),
      api("/report", allTime),
    ]);
    if (ticket !== state.loading) return; // a newer load is under way
    showError(null);
    const colour = colours(everModels.body);
    drawCards(daily.body, status.body);
    drawChart(daily.body, colour);
    drawTable($("models"), models.body, "model", "Model", colour);
    drawTable($("projects"), projects.body, "project", "Project", null);
    drawSessions($("sessions"), sessions.body);
    fitAll();
    state.shownGeneration = Math.min(daily.generation, models.generation, projects.generation, status.generation,
      sessions.generation, everModels.generation);
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
  const range = $("range-cost");
  range.textContent = "unpriced" in daily ? costText(daily.totals, daily.unpriced) : "no price table";
  range.title = "unpriced" in daily && daily.unpriced.length ? "no price for: " + daily.unpriced.join(", ") : "";
  drawStatus(status);
}

function drawStatus(status) {
  $("today-tokens").textContent = num(status.today.total_tokens);
  $("today-cost").textContent = status.priced ? costText(status.today) : status.today.day;
  const block = status.block;
  if (block) {
    $("block-left").textContent = duration(block.seconds_left) + " left";
    let detail = num(block.total_tokens) + " tokens, heading for " + num(block.projected_tokens);
    if (status.priced) {
      detail += " · cost " + partialMoney(block.cost, block.priced_cost) + " → " +
        partialMoney(block.projected_cost, block.projected_priced_cost);
    }
    $("block-detail").textContent = detail + " (ends " + block.end.slice(11, 16) + ")";
  } else {
    $("block-left").textContent = "none open";
    $("block-detail").textContent = "the next request opens one";
  }
  $("burn-rate").textContent = short(status.burn.tokens_per_minute) + " tokens/min";
  $("burn-cost").textContent = !status.priced ? "" :
    "cost " + partialMoney(status.burn.cost_per_hour, status.burn.priced_cost_per_hour) + " per hour";
  drawLimits(status.limits || [], status.now);
}

// The limits against their current periods: a bar, the percentage, the
// use, and when the last hour's pace reaches the limit.
function drawLimits(limits, now) {
  const box = $("limits");
  box.hidden = !limits.length;
  const list = $("limit-list");
  list.replaceChildren();
  for (const use of limits) {
    const row = el("div", null, { class: "limit" + (use.passed ? " passed" : ""), "data-limit": use.name });
    row.appendChild(el("span", use.name.replace("_", " "), { class: "limit-name" }));
    const track = el("span", null, { class: "limit-bar" });
    const fill = el("span", null, { class: "limit-fill" });
    fill.style.width = Math.min(100, use.percent || 0) + "%";
    track.appendChild(fill);
    row.appendChild(track);
    row.appendChild(el("span", use.percent == null ? "–" : Math.floor(use.percent) + "%", { class: "limit-percent" }));
    const amount = (v) => use.name.endsWith("_tokens") ? num(v) : money(v);
    const used = use.used == null ? "no price table" : amount(use.used) + (use.partial ? "+" : "") + " of " + amount(use.limit) + (use.limit_partial ? "+" : "");
    let note = use.passed ? "passed" : use.reaches_at ? "full at " + clock(use.reaches_at, now) + " at this pace" : "";
    if (use.period === "block" && !use.start) note = "no block open";
    if (use.source !== "config") note += (note ? " · " : "") + "limit: the largest block so far";
    row.appendChild(el("span", used + (note ? " · " + note : ""), { class: "limit-detail" }));
    list.appendChild(row);
  }
}

function clock(at, now) {
  return at.slice(0, 10) === now.slice(0, 10) ? at.slice(11, 16) : at.slice(5, 10) + " " + at.slice(11, 16);
}

// One colour per model for every view, from the models' all-time ranking
// by tokens (ties by name), so that it does not change with the range or
// between the chart and the table. When there are more models than
// colours, the smallest share one: "other".
function colours(everModels) {
  const ranked = everModels.rows.slice().sort((a, b) => b.total_tokens - a.total_tokens ||
    (a.model < b.model ? -1 : a.model > b.model ? 1 : 0));
  const own = ranked.length <= PALETTE.length ? ranked.length : PALETTE.length - 1;
  const out = new Map();
  ranked.forEach((row, i) => out.set(row.model, i < own ? PALETTE[i] : OTHER));
  return { of: (model) => out.get(model) || OTHER, isOther: (model) => !out.has(model) || out.get(model) === OTHER };
}

// Every day of the range chosen (both dates given), or from the first to
// the last day with usage; when such a span is long and mostly empty, only
// the days with usage (so that bars stay visible).
function allDays(rows, since, until) {
  const step = 86400000;
  const bounded = since && until && Date.parse(until) >= Date.parse(since) &&
    (Date.parse(until) - Date.parse(since)) / step < 366;
  if (!rows.length && !bounded) return [];
  const first = Date.parse((bounded ? since : rows[0].day) + "T00:00:00Z");
  const last = Date.parse((bounded ? until : rows[rows.length - 1].day) + "T00:00:00Z");
  const byDay = new Map(rows.map((r) => [r.day, r]));
  const days = [];
  for (let t = first; t <= last; t += step) {
    const day = new Date(t).toISOString().slice(0, 10);
    days.push({ day, row: byDay.get(day) || null });
  }
  if (!bounded && days.length > 62 && rows.length < days.length * 0.4) return rows.map((row) => ({ day: row.day, row }));
  return days;
}

function allDaysSpan(rows) {
  return rows.length ? (Date.parse(rows[rows.length - 1].day) - Date.parse(rows[0].day)) / 86400000 + 1 : 0;
}

// Axis ticks at round numbers: a step of 1, 2 or 5 times a power of ten,
// about `count` of them from 0 to at least `value`.
function niceTicks(value, count) {
  if (!(value > 0)) return { step: 1, top: 1, ticks: [0, 1] };
  const rough = value / count;
  const power = Math.pow(10, Math.floor(Math.log10(rough)));
  const step = [1, 2, 5, 10].map((m) => m * power).find((s) => s >= rough);
  const n = Math.max(1, Math.ceil(value / step - 1e-9));
  const ticks = [];
  for (let i = 0; i <= n; i++) ticks.push(Number((i * step).toPrecision(12)));
  return { step, top: n * step, ticks };
}

function axisMoney(value, step) {
  const digits = Math.max(0, Math.min(6, -Math.floor(Math.log10(step) + 1e-9)));
  return value.toLocaleString("en-US", { minimumFractionDigits: digits, maximumFractionDigits: digits });
}

// A table's cost cell: the cost, or the priced part marked "+" when some
// usage has no price.
function costCell(group) {
  const cell = el("td", partialMoney(group.cost, group.priced_cost), { "data-field": "cost" });
  if (group.cost == null) { cell.className = "unknown"; cell.title = "some of this usage has no price: the figure covers the part that has one"; }
  return cell;
}

function costText(group, unpriced) {
  const text = "cost " + partialMoney(group.cost, group.priced_cost);
  if (group.cost != null || !unpriced || !unpriced.length) return text;
  return text + " · " + unpriced.length + (unpriced.length === 1 ? " model" : " models") + " without a price";
}

function drawChart(daily, colour) {
  const box = $("chart");
  box.replaceChildren();
  const legend = $("legend");
  legend.replaceChildren();
  const days = allDays(daily.rows, $("since").value, $("until").value);
  const width = Math.max(320, box.clientWidth || 800), height = 300;
  const priced = "unpriced" in daily;
  const left = 58, right = priced ? 62 : 12, top = 12, bottom = 30;
  const plot = svg("svg", { viewBox: `0 0 ${width} ${height}`, preserveAspectRatio: "none" });
  box.appendChild(plot);
  if (!days.length) {
    plot.appendChild(svg("text", { x: width / 2, y: height / 2, "text-anchor": "middle", class: "empty" },
      "No usage in this range"));
    $("chart-note").textContent = "";
    return;
  }
  const tokens = niceTicks(Math.max(...days.map((d) => (d.row ? d.row.total_tokens : 0))), 4);
  const innerW = width - left - right, innerH = height - top - bottom;
  const slot = innerW / days.length, barW = Math.max(1, Math.min(48, slot * 0.78));
  const y = (v) => top + innerH - (v / tokens.top) * innerH;
  for (const v of tokens.ticks) {
    plot.appendChild(svg("line", { x1: left, x2: width - right, y1: y(v), y2: y(v), class: "grid" }));
    plot.appendChild(svg("text", { x: left - 6, y: y(v) + 4, "text-anchor": "end", class: "axis" }, short(v)));
  }
  const manyYears = days[0].day.slice(0, 4) !== days[days.length - 1].day.slice(0, 4);
  const every = Math.max(1, Math.ceil(days.length / Math.max(1, Math.floor(innerW / 70))));
  const others = new Set();
  days.forEach((d, i) => {
    const x = left + i * slot + (slot - barW) / 2;
    if (i % every === 0) {
      plot.appendChild(svg("text", { x: x + barW / 2, y: height - 10, "text-anchor": "middle", class: "axis day" },
        manyYears ? d.day : d.day.slice(5)));
    }
    if (!d.row) return;
    // The models that share the "other" colour make one segment.
    const segments = [];
    let other = 0;
    for (const m of d.row.models) {
      if (!m.total_tokens) continue;
      if (colour.isOther(m.model)) { other += m.total_tokens; others.add(m.model); }
      else segments.push([m.model, m.total_tokens, colour.of(m.model)]);
    }
    if (other) segments.push(["other", other, OTHER]);
    let base = 0;
    for (const [name, value, fill] of segments) {
      const rect = svg("rect", { x, y: y(base + value), width: barW, height: Math.max(0.5, y(base) - y(base + value)),
        fill, "data-model": name });
      rect.appendChild(svg("title", {}, `${d.day} ${name}: ${num(value)} tokens`));
      plot.appendChild(rect);
      base += value;
    }
  });
  // The cumulative cost of the usage that has a price, on its own scale at
  // the right; "+" at its end when some usage in range has none.
  let note = "";
  if (priced) {
    let sum = 0, partial = false;
    const points = days.map((d, i) => {
      if (d.row) { sum += d.row.priced_cost; partial = partial || d.row.cost == null; }
      return [left + i * slot + slot / 2, sum];
    });
    const costs = niceTicks(sum, 4);
    const cy = (v) => top + innerH - (v / costs.top) * innerH;
    plot.appendChild(svg("polyline", { points: points.map(([x, v]) => `${x},${cy(v)}`).join(" "), class: "cost",
      "data-end": String(sum) }));
    for (const v of costs.ticks) {
      plot.appendChild(svg("text", { x: width - right + 6, y: cy(v) + 4, class: "cost-axis" }, axisMoney(v, costs.step)));
    }
    const [endX] = points[points.length - 1];
    plot.appendChild(svg("text", { x: endX - 4, y: cy(sum) - 6, "text-anchor": "end", class: "cost-end" },
      money(sum) + (partial ? "+" : "")));
    note = "bars: tokens; line: cumulative cost" + (partial ? " of the usage that has a price (+: some has none)" : "");
  }
  if (days.length < allDaysSpan(daily.rows)) {
    note += (note ? "; " : "") + "days without usage left out";
  }
  $("chart-note").textContent = note;
  const shown = new Set(days.flatMap((d) => (d.row ? d.row.models.map((m) => m.model) : [])));
  for (const model of shown) {
    if (colour.isOther(model)) continue;
    const key = el("span", model, { "data-model": model });
    key.style.setProperty("--swatch", colour.of(model));
    legend.appendChild(key);
  }
  if (others.size) {
    const key = el("span", `other (${others.size} ${others.size === 1 ? "model" : "models"})`, { "data-model": "other" });
    key.title = [...others].sort().join(", ");
    key.style.setProperty("--swatch", OTHER);
    legend.appendChild(key);
  }
  if (priced) {
    const key = el("span", "cumulative cost", { class: "cost-key" });
    key.style.setProperty("--swatch", "var(--cost)");
    legend.appendChild(key);
  }
}

// "Fresh in" as in the command's tables: the input not read from a cache
// (the API's `input` is all input, its cached part included).
const COLUMNS = [
  ["Fresh in", (g) => g.input - g.cached_input, "input"],
  ["Output", (g) => g.output, "output"],
  ["Cache write", (g) => g.cache_write_5m + g.cache_write_1h, "cache_write"],
  ["Cache read", (g) => g.cached_input + g.cache_read, "cache_read"],
  ["Total", (g) => g.total_tokens, "total_tokens"],
];

function drawTable(table, report, key, title, colour) {
  const priced = "unpriced" in report;
  table.replaceChildren();
  const head = el("thead"), headRow = el("tr");
  headRow.appendChild(el("th", title));
  for (const [name] of COLUMNS) headRow.appendChild(el("th", name));
  if (priced) headRow.appendChild(el("th", "Cost"));
  head.appendChild(headRow);
  table.appendChild(head);
  const body = el("tbody");
  const line = (label, group, swatch) => {
    const tr = el("tr");
    const name = el("td", null, { "data-field": key, title: label, class: "name" });
    if (swatch) {
      const mark = el("span", null, { class: "swatch" });
      mark.style.background = swatch;
      name.appendChild(mark);
    }
    name.appendChild(el("span", label, { class: "fit", "data-text": label }));
    tr.appendChild(name);
    for (const [, value, field] of COLUMNS) tr.appendChild(el("td", num(value(group)), { "data-field": field }));
    if (priced) tr.appendChild(costCell(group));
    return tr;
  };
  for (const row of report.rows) body.appendChild(line(row[key], row, colour && colour.of(row[key])));
  table.appendChild(body);
  const foot = el("tfoot");
  foot.appendChild(line("Total", report.totals, null));
  table.appendChild(foot);
}

// The costliest sessions (the most tokens without a price table; a session
// whose cost is unknown by the part that has a price): one line each, with
// the subagents' share, and the totals of every session in range.
function drawSessions(table, result) {
  const priced = "unpriced" in result;
  table.replaceChildren();
  const head = el("thead"), headRow = el("tr");
  const titles = ["Session", "Project", "Last event", "Models", "Total"].concat(priced ? ["Cost"] : [], ["Subagents"]);
  for (const title of titles) headRow.appendChild(el("th", title));
  head.appendChild(headRow);
  table.appendChild(head);
  const text = (value, field, tip) => {
    const cell = el("td", null, { "data-field": field, title: tip, class: "name" });
    cell.appendChild(el("span", value, { class: "fit", "data-text": value }));
    return cell;
  };
  const line = (name, tip, row, group) => {
    const tr = el("tr");
    tr.appendChild(text(name, "id", tip));
    tr.appendChild(text(row ? row.project : "", "project", row ? row.project : ""));
    const when = row && row.last_event ? row.last_event.slice(0, 10) + " " + row.last_event.slice(11, 16) : "";
    tr.appendChild(el("td", when, { "data-field": "last_event" }));
    tr.appendChild(text(row ? row.models.join(", ") : "", "models", row ? row.models.join(", ") : ""));
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

// Names and paths that do not fit their cell are shortened in the middle
// ("/home/dev/…/volcano"), keeping the end, which tells paths apart; the
// whole text stays in the cell's title.
const measure = document.createElement("canvas").getContext("2d");

function fitMiddle(span) {
  const full = span.dataset.text;
  const cell = span.parentElement;
  const style = getComputedStyle(cell);
  const swatch = cell.querySelector(".swatch");
  const room = cell.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight) -
    (swatch ? swatch.offsetWidth + parseFloat(getComputedStyle(swatch).marginRight) : 0) - 1;
  // The computed `font` shorthand is empty in some browsers: build it.
  measure.font = `${style.fontStyle} ${style.fontWeight} ${style.fontSize} ${style.fontFamily}`;
  const fits = (t) => measure.measureText(t).width <= room;
  if (fits(full)) { span.textContent = full; return; }
  let low = 0, high = full.length - 1;  // the most characters kept that fit with the ellipsis
  while (low < high) {
    const mid = Math.ceil((low + high) / 2);
    if (fits(middle(full, mid))) low = mid; else high = mid - 1;
  }
  span.textContent = middle(full, low);
}

// `text` with `keep` of its characters around an ellipsis: the end gets
// the larger share (the whole last path part when that leaves the start a
// third), since paths differ most at their end.
function middle(text, keep) {
  const lastPart = text.length - text.lastIndexOf("/");
  const tail = Math.max(Math.ceil(keep / 2), Math.min(lastPart, keep - Math.ceil(keep / 3)));
  return text.slice(0, keep - tail) + "…" + text.slice(text.length - tail);
}

function fitAll() {
  document.querySelectorAll("td .fit").forEach((span) => { span.textContent = span.dataset.text; });
  document.querySelectorAll("td .fit").forEach(fitMiddle);
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

// The event stream, read with fetch rather than EventSource: a browser
// that waits for the network to go quiet before it calls a page done
// (a headless screenshot with a virtual-time budget) waits for an open
// EventSource forever, but not for a response body being read. It opens
// after the first load, and reconnects after the server's `retry` delay.
async function listen() {
  const mark = (live, text) => {
    $("live").classList.toggle("offline", !live);
    $("live-text").textContent = text;
  };
  let retry = 2000;
  for (;;) {
    try {
      const response = await fetch(API + "/events", { headers: { Accept: "text/event-stream" }, cache: "no-store" });
      if (!response.ok || !response.body) throw new Error(response.status + " " + response.statusText);
      mark(true, "live");
      const reader = response.body.getReader();
      const decoder = new TextDecoder();
      let buffer = "";
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        buffer += decoder.decode(value, { stream: true }).replace(/\r\n?/g, "\n");
        let end;
        while ((end = buffer.indexOf("\n\n")) >= 0) {
          const message = { event: "message", data: [] };
          for (const field of buffer.slice(0, end).split("\n")) {
            const colon = field.indexOf(":");
            if (colon === 0) continue; // a comment: the keep-alive
            const name = colon < 0 ? field : field.slice(0, colon);
            const text = colon < 0 ? "" : field.slice(colon + 1).replace(/^ /, "");
            if (name === "event") message.event = text;
            else if (name === "data") message.data.push(text);
            else if (name === "retry" && /^\d+$/.test(text)) retry = Number(text);
          }
          buffer = buffer.slice(end + 2);
          if (message.event === "update" && message.data.length) {
            const data = JSON.parse(message.data.join("\n"));
            if (data.generation !== state.generation) {
              state.generation = data.generation;
              load();
            }
          }
        }
      }
    } catch (error) { /* reconnect below */ }
    mark(false, "reconnecting");
    await new Promise((resolve) => setTimeout(resolve, retry));
  }
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
