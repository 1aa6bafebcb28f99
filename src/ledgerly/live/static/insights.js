// The dashboard's insights panel: tokens by weekday and hour as a heat map
// (SVG), what the cache saved, the sessions' active time, and this week and
// month against the last. Drawn from the JSON of /api/v1/insights (the
// same as `ledgerly insights --json`); uses the page's helpers in app.js.
"use strict";

const WEEKDAYS = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"];

// A span of seconds as 45s, 12m05s, 3h20m or 2d04h (as the command line writes it).
function span(seconds) {
  if (seconds == null) return "–";
  let s = Math.round(seconds);
  if (s < 60) return s + "s";
  let m = Math.floor(s / 60); s %= 60;
  if (m < 60) return m + "m" + String(s).padStart(2, "0") + "s";
  let h = Math.floor(m / 60); m %= 60;
  if (h < 24) return h + "h" + String(m).padStart(2, "0") + "m";
  return Math.floor(h / 24) + "d" + String(h % 24).padStart(2, "0") + "h";
}

function percent(change) {
  return change == null ? "–" : (change >= 0 ? "+" : "") + Math.round(change * 100) + "%";
}

function drawInsights(found) {
  const priced = "unpriced" in found;
  drawHeatMap(found, priced);
  const cache = found.cache;
  $("cache-share").textContent = cache.share == null ? "–" : (cache.share * 100).toFixed(1) + "%";
  let saved = num(cache.cache_tokens) + " of " + num(cache.input_tokens) + " input tokens";
  if (priced) {
    saved += " · saved " + partialMoney(cache.saved_cost, cache.priced_saved_cost) + " against fresh input";
    if (cache.unpriced.length) saved += " (+: " + cache.unpriced.join(", ") + " left out, no price)";
  }
  $("cache-saved").textContent = saved;
  const s = found.sessions;
  $("sessions-active").textContent = s.count ? "median " + span(s.median_active_seconds) : "–";
  $("sessions-detail").textContent = num(s.count) + (s.count === 1 ? " session" : " sessions") +
    " · 90th percentile " + span(s.p90_active_seconds) + " · " +
    (s.tokens_per_active_hour == null ? "–" : short(s.tokens_per_active_hour)) + " tokens per active hour" +
    " (idle gaps over " + s.idle_gap_minutes + " min left out)";
  drawPeriods(found.periods, priced);
}

// 7 rows of 24 cells, each shaded by its share of the busiest hour; a
// cell's title has its figures, the row ends with the weekday's total.
function drawHeatMap(found, priced) {
  const box = $("heatmap");
  box.replaceChildren();
  const matrix = found.by_weekday_hour;
  const costs = found.priced_cost_by_weekday_hour;
  const totals = matrix.map((day) => day.reduce((a, b) => a + b, 0));
  const peak = Math.max(0, ...matrix.map((day) => Math.max(...day)));
  const width = Math.max(320, box.clientWidth || 800);
  const left = 36, right = 64, top = 18, row = 22;
  const cell = (width - left - right) / 24;
  const height = top + 7 * row + 4;
  const plot = svg("svg", { viewBox: `0 0 ${width} ${height}`, preserveAspectRatio: "none", height });
  box.appendChild(plot);
  for (let h = 0; h < 24; h += cell >= 28 ? 1 : 3) {
    plot.appendChild(svg("text", { x: left + h * cell + 2, y: 12, class: "axis" }, String(h).padStart(2, "0")));
  }
  matrix.forEach((day, d) => {
    const y = top + d * row;
    plot.appendChild(svg("text", { x: left - 6, y: y + row * 0.68, "text-anchor": "end", class: "axis" }, WEEKDAYS[d]));
    day.forEach((value, h) => {
      const rect = svg("rect", { x: left + h * cell + 1, y: y + 1, width: Math.max(1, cell - 2), height: row - 2,
        rx: 2, class: value ? "hot" : "cold", "data-cell": d + "," + h, "data-tokens": String(value) });
      if (value) rect.setAttribute("fill-opacity", (0.25 + 0.75 * value / peak).toFixed(3));
      let tip = `${WEEKDAYS[d]} ${String(h).padStart(2, "0")}:00–${String(h + 1).padStart(2, "0")}:00: ${num(value)} tokens`;
      if (priced && value) tip += ", priced cost " + money(costs[d][h]);
      rect.appendChild(svg("title", {}, tip));
      plot.appendChild(rect);
    });
    plot.appendChild(svg("text", { x: width - 4, y: y + row * 0.68, "text-anchor": "end", class: "axis total",
      "data-day": WEEKDAYS[d] }, short(totals[d])));
  });
  $("heatmap-note").textContent = "tokens by local hour (" + found.timezone + "); darker: more, up to " +
    num(peak) + " in the busiest hour";
}

// This week and month so far, the previous ones to the same point and whole, and the change.
function drawPeriods(periods, priced) {
  const table = $("periods");
  table.replaceChildren();
  const head = el("thead"), headRow = el("tr");
  const titles = ["Period", "Until", "Tokens"].concat(priced ? ["Cost"] : [], ["Change"]);
  for (const title of titles) headRow.appendChild(el("th", title));
  head.appendChild(headRow);
  table.appendChild(head);
  const clock = (text) => text.slice(5, 10) + " " + text.slice(11, 16);
  const body = el("tbody");
  const line = (label, until, figures, field, change) => {
    const tr = el("tr", null, { "data-period": field });
    tr.appendChild(el("td", label));
    tr.appendChild(el("td", until, { "data-field": "until" }));
    tr.appendChild(el("td", num(figures.total_tokens), { "data-field": "total_tokens" }));
    if (priced) tr.appendChild(el("td", partialMoney(figures.cost, figures.priced_cost), { "data-field": "cost" }));
    // Against the previous period at the same point: tokens, and the priced cost.
    let text = "";
    if (change && (change.total_tokens != null || change.priced_cost != null)) {
      text = percent(change.total_tokens) + (priced ? " · " + percent(change.priced_cost) : "");
    } else if (change) text = "–";
    tr.appendChild(el("td", text, { "data-field": "change" }));
    body.appendChild(tr);
  };
  const names = { week: ["This week", "Last week"], month: ["This month", "Last month"] };
  for (const name of ["week", "month"]) {
    const p = periods[name];
    const [now, last] = names[name];
    line(now, clock(periods.at), p.current, name + "-current", p.change);
    line(last + ", same point", clock(p.previous_point), p.previous_same_point, name + "-same-point", null);
    line(last, "whole", p.previous, name + "-previous", null);
  }
  table.appendChild(body);
}
