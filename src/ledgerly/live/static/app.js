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

const state = { serverZone: null, generation: -1, loading: 0, shownGeneration: null, currency: null, prices: null };
// A saved report (`ledgerly report --html`) holds the answers in the page
// itself: then nothing is asked of a server and no event stream is opened.
const REPORT = (() => {
  const node = document.getElementById("ledgerly-report");
  return node ? JSON.parse(node.textContent) : null;
})();
const SESSIONS_SHOWN = 15;

// ---------------------------------------------------------------- formatting

function num(n) {
  return n == null ? "–" : Number(n).toLocaleString("en-US");
}

// How an amount of the costs' currency is written: a sign before it, or
// the code; bare numbers when the prices name no currency.
const CURRENCY_SIGNS = { USD: "$", EUR: "€", GBP: "£", JPY: "¥" };

function inCurrency(text) {
  const code = state.currency;
  if (!code) return text;
  const sign = CURRENCY_SIGNS[code];
  if (!sign) return code + " " + text;
  const [, relation, rest] = /^([<>]?-?)(.*)$/.exec(text);
  return relation + sign + rest;
}

// Two decimals; four below one cent; below 0.0001 (which four decimals
// would show as 0.0000) two significant digits, trailing zeros dropped,
// down to twelve decimals and "<0.000000000001" below: as the command
// line writes amounts.
const SMALLEST_DECIMALS = 12;

function money(v) {
  if (v == null) return "–";
  const size = Math.abs(v);
  let relation = "";
  let digits;
  if (size === 0 || size >= 0.01) {
    digits = size.toLocaleString("en-US", { minimumFractionDigits: 2, maximumFractionDigits: 2 });
  } else if (size >= 0.0001) {
    digits = size.toFixed(4);
  } else {
    const decimals = Math.min(SMALLEST_DECIMALS, 1 - Math.floor(Math.log10(size)));
    digits = size.toFixed(decimals).replace(/0+$/, "");
    if (digits.endsWith(".")) {
      relation = v < 0 ? ">" : "<";
      digits = "0." + "0".repeat(SMALLEST_DECIMALS - 1) + "1";
    }
  }
  const minus = v < 0 && /[1-9]/.test(digits) ? "-" : "";
  return inCurrency(relation + minus + digits);
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

// How a saved report finds an answer: the path and the parameters as
// name=value, sorted (as ledgerly.live.report_page writes them).
function answerKey(path, params) {
  return path + "?" + [...(params || [])].map(([k, v]) => k + "=" + v).sort().join("&");
}

async function api(path, params) {
  if (REPORT) {
    const key = answerKey(path, params);
    if (!(key in REPORT.answers)) throw new Error("this report holds no answer for " + key);
    return { body: REPORT.answers[key], generation: 0 };
  }
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
    const [daily, models, projects, status, sessions, everModels, insights] = await Promise.all([
      api("/report", query({ group: "day", breakdown: "true" })),
      api("/report", query({ group: "model" })),
      api("/report", query({ group: "project" })),
      api("/status", zoneParams()),
      api("/sessions", query({ top: String(SESSIONS_SHOWN) })),
      api("/report", allTime),
      api("/insights", query()),
    ]);
    if (ticket !== state.loading) return; // a newer load is under way
    showError(null);
    state.currency = daily.body.currency || null; // every answer is priced alike
    const colour = colours(everModels.body);
    drawCards(daily.body, status.body);
    drawChart(daily.body, colour);
    drawTable($("models"), models.body, "model", "Model", colour);
    drawTable($("projects"), projects.body, "project", "Project", null);
    drawSessions($("sessions"), sessions.body);
    drawInsights(insights.body);
    fitNames();
    state.shownGeneration = Math.min(daily.generation, models.generation, projects.generation, status.generation,
      sessions.generation, everModels.generation, insights.generation);
    document.body.dataset.generation = String(state.shownGeneration);
    state.generation = Math.max(state.generation, state.shownGeneration);
    $("footer").textContent = REPORT
      ? "Report made " + REPORT.made.slice(0, 16).replace("T", " ") + " · time zone " + daily.body.timezone
      : "Updated " + new Date().toLocaleTimeString() + " · time zone " + daily.body.timezone +
        " · data generation " + state.shownGeneration;
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
  // The unit smaller, so that the figure stays on one line in a narrow card.
  $("burn-rate").replaceChildren(short(status.burn.tokens_per_minute) + " ", el("span", "tokens/min", { class: "unit" }));
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
  return inCurrency(value.toLocaleString("en-US", { minimumFractionDigits: digits, maximumFractionDigits: digits }));
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
// (the API's `input` is all input, its cached part included). The cache
// columns fold into one ("Cache": everything written to or read from a
// cache) when names need the room.
const FRESH = ["Fresh in", (g) => g.input - g.cached_input, "input"];
const OUTPUT = ["Output", (g) => g.output, "output"];
const TOTAL = ["Total", (g) => g.total_tokens, "total_tokens"];
const SPLIT = [FRESH, OUTPUT,
  ["Cache write", (g) => g.cache_write_5m + g.cache_write_1h, "cache_write"],
  ["Cache read", (g) => g.cached_input + g.cache_read, "cache_read"], TOTAL];
const FOLDED = [FRESH, OUTPUT,
  ["Cache", (g) => g.cache_write_5m + g.cache_write_1h + g.cached_input + g.cache_read, "cache"], TOTAL];
// The forms of a table's figures, the widest first: a table takes the first
// in which its names are whole, else the last (names get the room first).
const FORMS = [{ columns: SPLIT, number: num }, { columns: FOLDED, number: num }, { columns: FOLDED, number: short }];

// A figure's cell: the figure as the form writes it, the exact value in
// `data-value` and, when abbreviated, in the tooltip.
function figure(value, field, number) {
  const text = number(value);
  const cell = el("td", text, { "data-field": field, "data-value": String(value) });
  if (text !== num(value)) cell.title = num(value);
  return cell;
}

// A name's cell: the text shown is fitted to the cell later (`fitNames`);
// the whole name is its tooltip and its `data-text`.
function nameCell(text, field, tip, kind) {
  const cell = el("td", null, { "data-field": field, title: tip == null ? text : tip, class: "name" });
  cell.appendChild(el("span", text, { class: "fit", "data-text": text, "data-kind": kind || "name" }));
  return cell;
}

function drawTable(table, report, key, title, colour) {
  for (const form of FORMS) {
    drawTableAs(table, report, key, title, colour, form);
    if (namesFit(table)) break;
  }
}

function drawTableAs(table, report, key, title, colour, form) {
  const priced = "unpriced" in report;
  table.replaceChildren();
  const head = el("thead"), headRow = el("tr");
  headRow.appendChild(el("th", title));
  for (const [name] of form.columns) headRow.appendChild(el("th", name));
  if (priced) headRow.appendChild(el("th", "Cost"));
  head.appendChild(headRow);
  table.appendChild(head);
  const body = el("tbody");
  const line = (label, group, swatch) => {
    const tr = el("tr");
    const name = nameCell(label, key, label, group === report.totals ? "fixed" : key === "project" ? "path" : "name");
    if (swatch) {
      const mark = el("span", null, { class: "swatch" });
      mark.style.background = swatch;
      name.prepend(mark);
    }
    tr.appendChild(name);
    for (const [, value, field] of form.columns) tr.appendChild(figure(value(group), field, form.number));
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
// the subagents' share, and the totals of every session in range. Ids,
// projects and models share the room the figures leave: figures are
// abbreviated before names are cut, ids are cut to the start that names
// them first, then the widest of projects and models.
function drawSessions(table, result) {
  for (const [number, times] of [[num, "full"], [short, "full"], [short, "short"]]) {
    drawSessionsAs(table, result, number, times);
    if (sizeSessionColumns(table)) break;
  }
  const priced = "unpriced" in result;
  const order = priced ? "the costliest" : "the most tokens";
  $("sessions-note").textContent = result.sessions > result.rows.length
    ? `${result.rows.length} of ${result.sessions}, ${order} first; the total covers all` : `${order} first`;
}

// `times`: "full" (2025-03-15 13:05), or "short" without the year (the
// whole time in the tooltip and `data-value`).
function drawSessionsAs(table, result, number, times) {
  const priced = "unpriced" in result;
  table.replaceChildren();
  const head = el("thead"), headRow = el("tr");
  // Headers over figures and times may break (at a space, or "Sub-agents") to leave names the room.
  const titles = ["Session", "Project", "Last event", "Models", "Total"].concat(priced ? ["Cost"] : [], ["Sub\u00adagents"]);
  for (const title of titles) headRow.appendChild(el("th", title));
  head.appendChild(headRow);
  table.appendChild(head);
  const prefixes = uniquePrefixes(result.rows.map((r) => r.id));
  const line = (name, tip, row, group) => {
    const tr = el("tr");
    const id = nameCell(name, "id", tip, row ? "id" : "fixed");
    if (row) id.firstChild.dataset.prefix = String(prefixes.get(row.id));
    tr.appendChild(id);
    tr.appendChild(nameCell(row ? row.project : "", "project", null, "path"));
    const when = row && row.last_event ? row.last_event.slice(0, 10) + " " + row.last_event.slice(11, 16) : "";
    const time = el("td", times === "short" ? when.slice(5) : when, { "data-field": "last_event", "data-value": when });
    if (times === "short") time.title = when;
    tr.appendChild(time);
    tr.appendChild(nameCell(row ? row.models.join(", ") : "", "models", null, "list"));
    tr.appendChild(figure(group.total_tokens, "total_tokens", number));
    if (priced) tr.appendChild(costCell(group));
    tr.appendChild(figure(group.subagent_tokens, "subagent_tokens", number));
    return tr;
  };
  const body = el("tbody");
  for (const row of result.rows) body.appendChild(line(row.id, row.session, row, row));
  table.appendChild(body);
  const foot = el("tfoot");
  foot.appendChild(line("Total", result.sessions + " sessions", null, result.totals));
  table.appendChild(foot);
}

// For each id, the length of its shortest start (8 characters at least)
// that no other id shares; the whole id when it is shorter.
function uniquePrefixes(ids) {
  const out = new Map();
  for (const id of ids) {
    let shared = 0;
    for (const other of ids) {
      if (other === id) continue;
      let same = 0;
      while (same < id.length && same < other.length && id[same] === other[same]) same++;
      shared = Math.max(shared, same);
    }
    out.set(id, Math.min(id.length, Math.max(8, shared + 1)));
  }
  return out;
}

// ---------------------------------------------------------------- names that fit

const measure = document.createElement("canvas").getContext("2d");

function fontOf(element) {
  const style = getComputedStyle(element);
  // The computed `font` shorthand is empty in some browsers: build it.
  return `${style.fontStyle} ${style.fontWeight} ${style.fontSize} ${style.fontFamily}`;
}

function textWidth(text, font) {
  measure.font = font;
  return measure.measureText(text).width;
}

// The room a name's text has in its cell (less its padding and swatch).
function roomOf(span) {
  const cell = span.parentElement;
  const style = getComputedStyle(cell);
  const swatch = cell.querySelector(".swatch");
  return cell.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight) -
    (swatch ? swatch.offsetWidth + parseFloat(getComputedStyle(swatch).marginRight) : 0) - 1;
}

function namesFit(table) {
  return [...table.querySelectorAll("td .fit")].every((span) =>
    textWidth(span.dataset.text, fontOf(span.parentElement)) <= roomOf(span));
}

// Sizes the session table's name columns: with their names whole when they
// fit beside the figures; otherwise ids are cut to their unique starts, then
// the widest of the project and models columns gives way, down to a floor of
// about sixteen characters (never below what tells two names apart). Says
// whether every project and models list fits whole.
function sizeSessionColumns(table) {
  const heads = [...table.querySelectorAll("thead th")];
  const names = { id: 0, project: 1, models: 3 };  // the name columns' places
  const cellsOf = (i) => [...table.querySelectorAll("tr")].map((tr) => tr.children[i]).filter((c) => c && c.tagName === "TD");
  const sample = table.querySelector("td.name");
  if (!sample) return true;
  const style = getComputedStyle(sample);
  const padding = parseFloat(style.paddingLeft) + parseFloat(style.paddingRight) + 2;
  const widest = (cells, text) => Math.max(...cells.map((c) => textWidth(text(c), fontOf(c)))) + padding;
  // The figures and times keep their natural width; the names get the rest.
  const word = (th) => Math.max(...th.textContent.split(/[\s\u00ad]+/).map((w) => textWidth(w + "-", fontOf(th))));
  const others = heads.reduce((sum, th, i) => Object.values(names).includes(i) ? sum :
    sum + Math.max(word(th) + padding, widest(cellsOf(i), (c) => c.textContent)), 0);
  const room = table.clientWidth - others;
  const full = (c) => c.querySelector(".fit") ? c.querySelector(".fit").dataset.text : c.textContent;
  const natural = Object.values(names).map((i) => widest([heads[i], ...cellsOf(i)], full));
  const sixteen = textWidth("0".repeat(16), fontOf(sample)) + padding;
  const floors = [
    widest([heads[0], ...cellsOf(0)], (c) => {
      const span = c.querySelector(".fit");
      return span && span.dataset.prefix ? span.dataset.text.slice(0, Number(span.dataset.prefix)) + "…" : full(c);
    }),
    Math.max(Math.min(natural[1], sixteen), tellingWidth(cellsOf(1), padding)),
    Math.min(natural[2], sixteen),
  ];
  const widths = natural.slice();
  let excess = widths.reduce((a, b) => a + b, 0) - room;
  if (excess > 0) { excess -= widths[0] - floors[0]; widths[0] = floors[0]; }
  // Then the wider of the two gives way, down to the other's width, then
  // both alike, each down to its floor: the widest widths are cut to one
  // level, found by halving.
  if (excess > 0) {
    const fixed = widths[0], target = room - fixed;
    const at = (level) => [1, 2].reduce((sum, i) => sum + Math.max(floors[i], Math.min(natural[i], level)), 0);
    let low = 0, high = Math.max(natural[1], natural[2]);
    for (let step = 0; step < 40; step++) {
      const mid = (low + high) / 2;
      if (at(mid) > target) high = mid; else low = mid;
    }
    for (const i of [1, 2]) widths[i] = Math.max(floors[i], Math.min(natural[i], low));
    excess = widths.reduce((a, b) => a + b, 0) - room;
  }
  if (excess < 0) widths[1] -= excess;  // room left over goes to the project
  Object.values(names).forEach((col, i) => { heads[col].style.width = (100 * widths[i] / table.clientWidth) + "%"; });
  return widths[1] >= natural[1] - 0.5 && widths[2] >= natural[2] - 0.5;
}

// The narrowest a column of names can be with every name told apart.
function tellingWidth(cells, padding) {
  const texts = [...new Set(cells.map((c) => c.querySelector(".fit")).filter(Boolean).map((s) => s.dataset.text))];
  let widest = 0;
  for (const cell of cells) {
    const span = cell.querySelector(".fit");
    if (!span || !span.dataset.text) continue;
    const font = fontOf(cell), text = span.dataset.text;
    const others = texts.filter((t) => t !== text);
    const labels = [shortened(text, others, () => false, "name")];
    if (span.dataset.kind === "path" && text.split("/").length >= 3) {
      labels.push(joinParts(text.split("/"), tellingParts(text.split("/"), others)));
    }
    const telling = labels.filter((l) => !others.some((o) => couldBe(l, o)));
    widest = Math.max(widest, Math.min(textWidth(text, font), ...telling.map((l) => textWidth(l, font))) + padding);
  }
  return widest;
}

// Fits every name to its cell: whole when it fits; otherwise an id to its
// unique start, a list of names as whole names and "+N", a name or path cut
// in the middle (keeping more of the end, which tells paths apart). A
// shortened name never reads as another name of its column could: when the
// usual cut would, the cut moves, a path keeps the part that tells it
// apart ("/…/runner-42/…/core"), or the name keeps more, and its column
// grows to show it.
function fitNames() {
  const columns = new Map();
  const spans = [...document.querySelectorAll("td .fit")];
  // All texts whole first, then every cell measured, then every text set:
  // reading a width after each change would lay the page out once per name.
  for (const span of spans) span.textContent = span.dataset.text;
  for (const span of spans) {
    const key = span.closest("table").id + " " + span.parentElement.dataset.field;
    if (!columns.has(key)) columns.set(key, []);
    columns.get(key).push({ span, font: fontOf(span.parentElement), room: roomOf(span) });
  }
  for (const cells of columns.values()) {
    const texts = [...new Set(cells.map((c) => c.span.dataset.text))];
    let least = 0;
    for (const { span, font, room } of cells) {
      const full = span.dataset.text, kind = span.dataset.kind;
      if (!full || kind === "fixed") continue;
      const fits = (t) => textWidth(t, font) <= room;
      if (fits(full)) continue;
      if (kind === "id") {
        span.textContent = full.slice(0, Number(span.dataset.prefix)) + "…";
      } else if (kind === "list") {
        span.textContent = fitList(full.split(", "), fits);
      } else {
        span.textContent = shortened(full, texts.filter((t) => t !== full), fits, kind);
        least = Math.max(least, textWidth(span.textContent, font) - room);
      }
    }
    // A name kept longer than its cell, so as to tell it apart: the column widens.
    if (least > 0.5) {
      const cell = cells[0].span.parentElement;
      const th = cell.closest("table").querySelector("thead tr").children[cell.cellIndex];
      th.style.minWidth = (cell.clientWidth + least + 1) + "px";
    }
  }
}

// Names joined by ", ": as many whole names as fit, then "+N" for the rest.
function fitList(names, fits) {
  for (let shown = names.length - 1; shown > 0; shown--) {
    const text = names.slice(0, shown).join(", ") + " +" + (names.length - shown);
    if (fits(text)) return text;
  }
  return names.length > 1 ? names[0] + " +" + (names.length - 1) : names[0];
}

// Whether a shortened text ("…" for each left-out run) could stand for `text`.
function couldBe(label, text) {
  const pieces = label.split("…");
  if (pieces.length === 1) return label === text;
  if (!text.startsWith(pieces[0])) return false;
  let at = pieces[0].length;
  for (const piece of pieces.slice(1, -1)) {
    at = text.indexOf(piece, at);
    if (at < 0) return false;
    at += piece.length;
  }
  const last = pieces[pieces.length - 1];
  return text.length - last.length >= at && text.endsWith(last);
}

// `text` shortened to fit (`fits`) such that none of `others` could be what
// it shows: a path at folder boundaries, keeping its first and last parts;
// otherwise cut in the middle, the usual cut first, then moved; a path then
// keeping the parts that tell it apart; else keeping more (then it does not
// fit, and the caller widens the column).
function shortened(text, others, fits, kind) {
  const telling = (label) => !others.some((o) => couldBe(label, o));
  // A path is cut at folder boundaries where its last part fits.
  const folders = kind === "path" ? pathLabel(text, [], fits) : null;
  if (folders && telling(folders)) return folders;
  let low = 0, high = text.length - 1;  // the most characters kept that fit with the ellipsis
  while (low < high) {
    const mid = Math.ceil((low + high) / 2);
    if (fits(cut(text, mid, defaultTail(text, mid)))) low = mid; else high = mid - 1;
  }
  const moved = (keep) => {
    const usual = defaultTail(text, keep);
    for (let shift = 0; shift <= keep; shift++) {
      for (const tail of shift ? [usual + shift, usual - shift] : [usual]) {
        if (tail >= 0 && tail <= keep && telling(cut(text, keep, tail))) return cut(text, keep, tail);
      }
    }
    return null;
  };
  const first = moved(low);
  if (first) return first;
  if (kind === "path") {
    const parts = pathLabel(text, others, fits);
    if (parts && telling(parts)) return parts;
  }
  for (let keep = low + 1; keep < text.length; keep++) {
    const label = moved(keep);
    if (label) return label;
  }
  return text;
}

// A path as its first part, the parts that tell it from `others` (the last
// part in which it differs from each, counted from the ends) and as many of
// its last parts as fit, each left-out run as "…" ("/…/runner-42/…/core").
function pathLabel(text, others, fits) {
  const parts = text.split("/");
  const last = parts.length - 1;
  const shown = tellingParts(parts, others);
  if (parts.length < 3 || !fits(joinParts(parts, shown))) return null;
  for (const order of [[...Array(last).keys()].slice(1).reverse(), [...Array(last).keys()].slice(1)]) {
    for (const i of order) {
      if (shown.has(i)) continue;
      const more = new Set(shown).add(i);
      if (more.size === parts.length || !fits(joinParts(parts, more))) break;
      shown.add(i);
    }
  }
  return joinParts(parts, shown);
}

// The first and last parts of a path, and for each of `others` the last
// part in which the two differ, counted from their ends.
function tellingParts(parts, others) {
  const last = parts.length - 1;
  const shown = new Set([0, last]);
  for (const other of others) {
    const theirs = other.split("/");
    let back = 0;
    while (back < Math.min(parts.length, theirs.length) && parts[last - back] === theirs[theirs.length - 1 - back]) back++;
    if (last - back > 0 && last - back < last) shown.add(last - back);
  }
  return shown;
}

// The parts at the indexes `shown`, each left-out run written as "…".
function joinParts(parts, shown) {
  const order = [...shown].sort((a, b) => a - b);
  let out = parts[order[0]];
  for (let i = 1; i < order.length; i++) out += (order[i] > order[i - 1] + 1 ? "/…/" : "/") + parts[order[i]];
  return out;
}

function cut(text, keep, tail) {
  return text.slice(0, keep - tail) + "…" + text.slice(text.length - tail);
}

// How much of the end a cut keeps: the larger share, and the whole last
// path part when that leaves the start a third.
function defaultTail(text, keep) {
  const lastPart = text.length - text.lastIndexOf("/");
  return Math.max(Math.ceil(keep / 2), Math.min(lastPart, keep - Math.ceil(keep / 3)));
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
            // Newly imported prices change the costs without a new generation.
            const repriced = state.prices != null && data.prices !== state.prices;
            state.prices = data.prices;
            if (data.generation !== state.generation || repriced) {
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

// A saved report: its range in the controls (which cannot change it), the
// status cards named for the instant they were taken at, no live updates.
function startReport() {
  document.body.classList.add("report");
  $("tz").value = REPORT.timezone;
  $("since").value = REPORT.since;
  $("until").value = REPORT.until;
  for (const control of document.querySelectorAll("#controls input, #controls button")) control.disabled = true;
  $("live-text").textContent = "report";
  $("live").title = "a saved report: the figures as of " + REPORT.made.slice(0, 16).replace("T", " ");
  const at = REPORT.at.slice(5, 10) + " " + REPORT.at.slice(11, 16);
  $("today-title").textContent = "Day of " + REPORT.at.slice(0, 10);
  $("block-title").textContent = "5-hour block at " + at;
  $("burn-title").textContent = "Burn rate, hour to " + at;
  window.addEventListener("resize", () => load());
  load();
}

// On paper names and paths are shown whole (they may wrap there); back on
// screen they are fitted to their cells again.
function showWhole() {
  document.querySelectorAll("td .fit").forEach((span) => { span.textContent = span.dataset.text; });
}
window.matchMedia("print").addEventListener("change", (e) => (e.matches ? showWhole() : fitNames()));
window.addEventListener("beforeprint", showWhole);
window.addEventListener("afterprint", () => fitNames());

async function start() {
  if (REPORT) return startReport();
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
