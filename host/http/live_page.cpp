#include "host/http/live_page.h"

namespace host {

const char *const kLivePage = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>mpx23 site</title>
<style>
body { font: 14px/1.4 sans-serif; margin: 1em; background: #f6f7f9; color: #222; }
h1 { font-size: 1.3em; margin: 0 0 .5em; }
h2 { font-size: 1.1em; margin: 0; }
h3 { font-size: 1em; margin: .8em 0 .3em; }
.device { background: #fff; border: 1px solid #ccd; border-radius: 6px; padding: .8em;
          margin-bottom: 1em; }
.up { color: #0a0; } .lost { color: #c00; font-weight: bold; } .waiting { color: #888; }
table { border-collapse: collapse; }
td, th { padding: 1px 8px; text-align: left; border-bottom: 1px solid #eee; }
td.v { text-align: right; font-variant-numeric: tabular-nums; }
.alarm { color: #c00; }
.cols { display: flex; flex-wrap: wrap; gap: 2em; }
svg { background: #fff; border: 1px solid #ddd; }
#status { color: #888; font-size: .9em; }
</style>
</head>
<body>
<h1>mpx23 site <span id="status">connecting</span></h1>
<div id="devices"></div>
<script>
"use strict";
const esc = t => String(t).replace(/[&<>"]/g, c => ({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;"}[c]));
const num = (v, d) => typeof v === "number" ? v.toFixed(d) : "-";

function plot(points) {
  const w = 640, h = 200, pad = 36;
  if (!points.length) return '<p class="waiting">no rounds yet</p>';
  const t0 = points[0][0], t1 = Math.max(points[points.length - 1][0], t0 + 1000);
  const x = t => pad + (t - t0) / (t1 - t0) * (w - 2 * pad);
  const range = i => {
    let lo = Math.min(...points.map(p => p[i])), hi = Math.max(...points.map(p => p[i]));
    if (hi - lo < 1) { lo -= 0.5; hi += 0.5; }
    return [lo, hi];
  };
  const line = (i, colour, cls) => {
    const [lo, hi] = range(i);
    const y = v => h - pad - (v - lo) / (hi - lo) * (h - 2 * pad);
    const path = points.map((p, n) => (n ? "L" : "M") + x(p[0]).toFixed(1) + " " + y(p[i]).toFixed(1)).join(" ");
    const dots = points.map(p => '<circle class="' + cls + '" cx="' + x(p[0]).toFixed(1) + '" cy="' +
                             y(p[i]).toFixed(1) + '" r="1.5" fill="' + colour + '"/>').join("");
    return '<path d="' + path + '" fill="none" stroke="' + colour + '" stroke-width="1.5"/>' + dots +
           '<text x="' + (i == 1 ? 2 : w - pad + 2) + '" y="' + (pad - 6) + '" font-size="10" fill="' + colour + '">' +
           num(hi, 1) + '</text><text x="' + (i == 1 ? 2 : w - pad + 2) + '" y="' + (h - pad + 12) +
           '" font-size="10" fill="' + colour + '">' + num(lo, 1) + '</text>';
  };
  const when = t => new Date(t).toLocaleTimeString();
  return '<svg class="plot" width="' + w + '" height="' + h + '" viewBox="0 0 ' + w + ' ' + h + '">' +
    '<rect x="' + pad + '" y="' + pad + '" width="' + (w - 2 * pad) + '" height="' + (h - 2 * pad) +
    '" fill="none" stroke="#ccc"/>' + line(1, "#1560bd", "dc") + line(2, "#d2691e", "load") +
    '<text x="' + pad + '" y="14" font-size="11" fill="#1560bd">DC voltage (V)</text>' +
    '<text x="' + (pad + 120) + '" y="14" font-size="11" fill="#d2691e">load current (A)</text>' +
    '<text x="' + pad + '" y="' + (h - 6) + '" font-size="10">' + when(t0) + '</text>' +
    '<text x="' + (w - pad - 60) + '" y="' + (h - 6) + '" font-size="10">' + when(t1) + '</text></svg>';
}

function readings(list) {
  return '<table class="readings"><tr><th>name</th><th>reading</th><th></th><th>what</th></tr>' +
    list.map(r => '<tr data-name="' + esc(r.name) + '"><td>' + esc(r.name) + '</td><td class="v">' +
      num(r.value, 2) + '</td><td>' + esc(r.unit) + '</td><td>' + esc(r.title) + '</td></tr>').join("") + '</table>';
}

function modules(state) {
  if (!state || !state.rc_channels.length) return "";
  return '<table class="modules"><tr><th>module</th><th>state</th><th>current</th><th>charge</th><th></th></tr>' +
    state.rc_channels.map((m, i) => '<tr><td>' + (i + 1) + '</td><td>' + (m.on ? "on" : "off") +
      '</td><td class="v">' + num(m.out_i, 1) + ' A</td><td>' + esc(m.charge) + '</td><td class="alarm">' +
      (m.failed ? "fault " : "") + (m.current_limited ? "limited" : "") + '</td></tr>').join("") + '</table>';
}

function alarms(list) {
  if (!list.length) return '<p class="no-alarms">no active alarm</p>';
  return '<table class="alarms"><tr><th>alarm</th><th>identifier</th><th>raised</th></tr>' +
    list.map(a => '<tr class="alarm" data-signal="' + esc(a.signal_id) + '"><td>' + esc(a.name || a.text) +
      '</td><td>' + esc(a.signal_id) + '</td><td>' + esc(new Date(a.since).toLocaleString()) +
      '</td></tr>').join("") + '</table>';
}

function device(d, points) {
  const link = {up: "communicating", lost: "communication lost", waiting: "waiting for a first round"}[d.communication];
  const last = d.last_round_ms ? " &middot; last round " + new Date(d.last_round_ms).toLocaleTimeString() : "";
  return '<div class="device" id="device-' + d.data_id + '"><h2>Device ' + d.data_id +
    (d.name ? " &middot; " + esc(d.name) : "") + ' <span class="' + d.communication + '">' + link +
    (d.cause ? " (" + esc(d.cause) + ")" : "") + '</span><small>' + last + '</small></h2>' +
    '<div class="cols"><div><h3>Readings</h3>' + readings(d.readings) + '</div><div><h3>Active alarms</h3>' +
    alarms(d.alarms.active) + '<h3>Modules</h3>' + modules(d.state) + '</div></div>' +
    '<h3>DC voltage and load current</h3>' + plot(points) + '</div>';
}

async function json(url) {
  const r = await fetch(url, {cache: "no-store"});
  if (!r.ok) throw new Error(url + ": " + r.status);
  return r.json();
}

async function update() {
  let refresh = 2;
  try {
    const site = await json("/api/state");
    refresh = site.refresh_s;
    const plots = await Promise.all(site.devices.map(d => json("/api/plot?device=" + d.data_id)));
    document.getElementById("devices").innerHTML = site.devices.map((d, i) => device(d, plots[i].points)).join("");
    document.getElementById("status").textContent = "updated " + new Date().toLocaleTimeString();
  } catch (e) {
    document.getElementById("status").textContent = "host unreachable: " + e.message;
  }
  setTimeout(update, refresh * 1000);
}
update();
</script>
</body>
</html>
)html";

} // namespace host
