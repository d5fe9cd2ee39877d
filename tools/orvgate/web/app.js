// orvgate's web view: the overview and the values from the gateway's live
// events (server-sent), ages counted here between updates, and a trend of
// one value kept in the page since it was opened. Plain script, no build.
'use strict';

const $ = (selector) => document.querySelector(selector);
const trendSeconds = 600;
let points = [];      // what /api/points lists, by index
let readings = [];    // [health, text, readAt ms] by index
let history = [];     // [[seconds], [value]] by index, for the trend
let skewMs = 0;       // the gateway's clock minus this one's
let picked = null;
let plot = null;

function el(tag, text, cls) {
  const e = document.createElement(tag);
  if (text !== undefined) e.textContent = text;
  if (cls) e.className = cls;
  return e;
}

function duration(ms) {
  let s = Math.max(0, Math.round(ms / 1000));
  if (s < 60) return s + ' s';
  if (s < 3600) return Math.floor(s / 60) + ' min ' + (s % 60) + ' s';
  if (s < 86400) return Math.floor(s / 3600) + ' h ' + Math.floor((s % 3600) / 60) + ' min';
  return Math.floor(s / 86400) + ' d ' + Math.floor((s % 86400) / 3600) + ' h';
}

function gatewayNow() { return Date.now() + skewMs; }

function badge(state) { return el('span', state, 'badge ' + state); }

function since(h) {
  return h.sinceText.slice(11) + ' (' + duration(gatewayNow() - h.since) + ')';
}

function errorCell(h) {
  const td = el('td', '', 'error');
  if (h.state === 'failing') td.textContent = h.meaning + ': ' + h.error;
  return td;
}

function row(cells, attrs) {
  const tr = document.createElement('tr');
  for (const [k, v] of Object.entries(attrs || {})) tr.setAttribute(k, v);
  for (const c of cells) tr.appendChild(typeof c === 'string' ? el('td', c) : c);
  return tr;
}

function cell(node) { const td = el('td'); td.appendChild(node); return td; }

function renderStatus(s) {
  const channels = $('#channels tbody');
  const secondaries = $('#secondaries tbody');
  channels.replaceChildren();
  secondaries.replaceChildren();
  for (const c of s.channels) {
    channels.appendChild(row([String(c.channel), cell(badge(c.state)), since(c),
      c.cycleMs.toFixed(1) + ' ms', errorCell(c)], { 'data-channel': c.channel, 'data-state': c.state }));
    for (const d of c.secondaries) {
      secondaries.appendChild(row([String(c.channel), String(d.secondary), cell(badge(d.state)), since(d),
        d.transfers + ' / ' + d.failures, errorCell(d)],
        { 'data-secondary': c.channel + '/' + d.secondary, 'data-state': d.state }));
    }
  }
  const classes = $('#classes tbody');
  classes.replaceChildren();
  for (const c of s.channels) {
    for (const k of c.classes) {
      const period = k.effectiveMs > k.periodMs + 0.5
        ? k.periodMs.toFixed(0) + ' ms, stretched to ' + k.effectiveMs.toFixed(0) + ' ms' : k.periodMs.toFixed(0) + ' ms';
      classes.appendChild(row([String(c.channel), k.name, period,
        k.achievedMs.toFixed(0) + ' / ' + k.p99Ms.toFixed(0) + ' ms',
        (100 * k.line).toFixed(1) + ' % (line busy ' + (100 * c.lineBusy).toFixed(1) + ' %)',
        cell(badge(k.missing ? 'failing' : 'good'))], { 'data-class': c.channel + '/' + k.name }));
    }
  }
  list($('#modbus'), 'Modbus TCP', s.modbus && {
    'connected now': s.modbus.connected, accepted: s.modbus.accepted, refused: s.modbus.refused,
    'closed: gave way / idle / malformed / not taking answers':
      [s.modbus.gaveWay, s.modbus.idle, s.modbus.malformed, s.modbus.stalled].join(' / '),
    'requests answered': s.modbus.answered, 'with exceptions': s.modbus.exceptions });
  list($('#mqtt'), 'MQTT session', s.mqtt && {
    state: s.mqtt.phase, connections: s.mqtt.connections, births: s.mqtt.births,
    'commands applied / refused / failed / rejected':
      [s.mqtt.applied, s.mqtt.refused, s.mqtt.failed, s.mqtt.rejected].join(' / '),
    'held for the broker': s.mqtt.storeHeld, 'dropped': s.mqtt.storeDropped });
  list($('#writes'), null, s.writes);
  const recent = $('#recent-writes');
  recent.replaceChildren();
  for (const w of s.recentWrites.slice().reverse()) {
    recent.appendChild(el('li', w.at.slice(11) + ' ' + w.line, w.applied ? '' : 'failing'));
  }
}

function list(dl, title, figures) {
  dl.replaceChildren();
  if (title) { dl.appendChild(el('dt', title)); dl.appendChild(el('dd', figures ? '' : 'off')); }
  for (const [k, v] of Object.entries(figures || {})) { dl.appendChild(el('dt', k)); dl.appendChild(el('dd', String(v))); }
}

function deviceOf(p) { return 'channel ' + p.channel + ', secondary ' + p.secondary; }

function buildValues() {
  const select = $('#device');
  const devices = [...new Set(points.map(deviceOf))];
  select.replaceChildren(...['all', ...devices].map((d) => el('option', d)));
  select.onchange = showValues;
  showValues();
}

function showValues() {
  const device = $('#device').value;
  const body = $('#points tbody');
  body.replaceChildren();
  points.forEach((p, i) => {
    if (device !== 'all' && deviceOf(p) !== device) return;
    const where = p.unit === undefined ? '-' : p.table + ' ' + p.address + ' @' + p.unit;
    const tr = row([p.label + ' (' + deviceOf(p) + ')', where, '', '', cell(badge('unknown'))], { 'data-point': i });
    tr.onclick = () => pick(i);
    body.appendChild(tr);
    paint(i);
  });
}

function paint(i) {
  const tr = document.querySelector('tr[data-point="' + i + '"]');
  const r = readings[i];
  if (!tr || !r) return;
  tr.children[2].textContent = r[1] === undefined ? '-' : r[1];
  tr.children[3].textContent = r[2] === undefined ? '-' : ((gatewayNow() - r[2]) / 1000).toFixed(1) + ' s';
  tr.children[4].replaceChildren(badge(r[0]));
  tr.classList.toggle('picked', i === picked);
}

function applyValues(update) {
  for (const [i, health, text, readAt] of update.changes) {
    readings[i] = [health, text, readAt];
    if (health === 'good') {
      const h = history[i] || (history[i] = [[], []]);
      const t = readAt / 1000;
      if (h[0].length === 0 || t > h[0][h[0].length - 1]) { h[0].push(t); h[1].push(Number(text)); }
      while (h[0].length && h[0][0] < t - trendSeconds) { h[0].shift(); h[1].shift(); }
    }
    paint(i);
  }
  if (picked !== null && plot) plot.setData(history[picked] || [[], []]);
}

function pick(i) {
  const before = picked;
  picked = i;
  if (before !== null) paint(before);
  paint(i);
  $('#trend-name').textContent = points[i].label + ' (' + deviceOf(points[i]) + '), the last ' + trendSeconds / 60 + ' min';
  const chart = $('#chart');
  const width = Math.min(chart.clientWidth || 600, 900);
  if (plot) plot.destroy();
  plot = new uPlot({ width: width, height: 220, series: [{}, { label: points[i].label, stroke: '#2a6fdb' }] },
                   history[i] || [[], []], chart);
}

function connect() {
  const live = $('#live');
  const events = new EventSource('/api/events');
  events.onopen = () => { live.textContent = 'live'; live.className = 'badge good'; };
  events.onerror = () => {
    live.textContent = 'reconnecting'; live.className = 'badge failing';
    if (events.readyState === EventSource.CLOSED) setTimeout(connect, 10000); // refused: as many pages as allowed
  };
  events.addEventListener('status', (e) => {
    const s = JSON.parse(e.data);
    skewMs = s.now - Date.now();
    renderStatus(s);
  });
  events.addEventListener('values', (e) => applyValues(JSON.parse(e.data)));
}

fetch('/api/points').then((r) => r.json()).then((list) => {
  points = list;
  buildValues();
  connect();
});
// Ages grow between updates.
setInterval(() => { for (let i = 0; i < points.length; ++i) paint(i); }, 500);
