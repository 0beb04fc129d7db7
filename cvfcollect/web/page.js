// The live page of cvfcollect: polls api/lines every second and shows the
// collector and one row per gateway and line.
//
// Rows are made once and updated in place, each cell written only when its
// text changed; rows off screen are not laid out (content-visibility in
// page.css). Charts exist only for rows on screen: a row scrolled into view
// gets its chart, one scrolled out loses it, so a collector with 10,000
// lines costs the charts of a screenful. Each line's per-second
// history (records and lost frames, the last HISTORY seconds) is kept in
// two ring buffers; after the first answer the page asks only for the
// seconds after the last ones it holds, and takes the newest of the seconds
// it already had again, as they may have grown.
'use strict';

const POLL_MS = 1000;
const HISTORY = 300;
const RESEND = 3;  // seconds asked for again: the latest may still have grown
const STATE_WORDS = {receiving: 'receiving', silent: 'silent', losing: 'losing frames'};

const page = {
  started: null,    // start_time of the collector whose lines are shown
  since: null,      // the ?since= of the next poll
  updated: 0,
  lines: new Map(), // key -> line (see makeLine)
  order: [],        // keys in gateway, line order
  visible: new Set(),
  observer: null,
  charts: typeof Dygraph !== 'undefined',
  now: null,        // the collector's clock at its last answer
};

const $ = (sel, root) => (root || document).querySelector(sel);
const lineKey = (gw, line) => gw * 65536 + line;

function pad2(n) { return String(n).padStart(2, '0'); }

// A time as HH:MM:SS, with the date in front when it is not today.
function clock(t) {
  if (!t) return '\u2013';
  const d = new Date(t * 1000);
  const hms = pad2(d.getHours()) + ':' + pad2(d.getMinutes()) + ':' + pad2(d.getSeconds());
  const now = new Date();
  if (d.getDate() === now.getDate() && d.getMonth() === now.getMonth() &&
      d.getFullYear() === now.getFullYear())
    return hms;
  return d.getFullYear() + '-' + pad2(d.getMonth() + 1) + '-' + pad2(d.getDate()) + ' ' + hms;
}

function duration(s) {
  s = Math.max(0, Math.floor(s));
  if (s < 60) return s + ' s';
  if (s < 3600) return Math.floor(s / 60) + ' min';
  if (s < 86400) return Math.floor(s / 3600) + ' h ' + Math.floor(s % 3600 / 60) + ' min';
  return Math.floor(s / 86400) + ' d ' + Math.floor(s % 86400 / 3600) + ' h';
}

function bytes(n) {
  const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
  let i = 0;
  while (n >= 1024 && i < units.length - 1) { n /= 1024; i++; }
  return (i ? n.toFixed(1) : String(n)) + ' ' + units[i];
}

function rate(x) { return (Math.round(x * 10) / 10).toFixed(1); }

function setText(el, text) {
  if (el.textContent !== text) el.textContent = text;
}

// --- The collector at the top ---------------------------------------------

function showCollector(c) {
  const f = name => $('#collector [data-field="' + name + '"]');
  setText($('h1 [data-field="version"]'), c.version || '');
  setText(f('start_time'), clock(c.start_time) + ' (' + duration(c.now - c.start_time) + ')');
  f('start_time').dataset.value = c.start_time;
  setText(f('records_per_second'), rate(c.records_per_second));
  setText(f('records_total'), String(c.records_total));
  setText(f('invalid_total'), String(c.invalid_total));
  setText(f('tcp_connections_open'), String(c.tcp_connections_open));
  setText(f('capture_file'), c.capture_file === null ? 'none' : c.capture_file);
  setText(f('capture_bytes'), c.capture_file === null ? '' : '(' + bytes(c.capture_bytes) + ')');
  f('capture_bytes').dataset.value = c.capture_bytes;
  setText(f('write_errors'), String(c.write_errors));
  f('write_errors').classList.toggle('bad', c.write_errors > 0);
}

// --- History ----------------------------------------------------------------

function makeHistory() {
  return {end: 0, first: 0, rec: new Uint32Array(HISTORY), lost: new Uint32Array(HISTORY)};
}

// Takes the seconds of h (from the answer) into the ring buffers of line.
function mergeHistory(line, h) {
  const r = line.history;
  const start = Math.round(h.start);
  for (let i = 0; i < h.records.length; i++) {
    const t = start + i;
    if (r.end === 0) r.end = r.first = t;
    if (t < r.end - HISTORY) continue;
    for (let z = Math.max(r.end, t - HISTORY + 1); z <= t; z++) {  // seconds not heard of: none
      r.rec[z % HISTORY] = 0;
      r.lost[z % HISTORY] = 0;
    }
    if (t >= r.end) r.end = t + 1;
    if (t < r.first) r.first = t;
    r.rec[t % HISTORY] = h.records[i];
    r.lost[t % HISTORY] = h.lost[i];
  }
}

function chartData(line) {
  const r = line.history;
  const rows = [];
  for (let t = Math.max(r.first, r.end - HISTORY); t < r.end; t++)
    rows.push([new Date(t * 1000), r.rec[t % HISTORY], r.lost[t % HISTORY]]);
  return rows.length ? rows : [[new Date(), 0, 0]];
}

// --- Rows -----------------------------------------------------------------------

function makeLine(gw, ln) {
  const row = document.createElement('div');
  row.className = 'row';
  row.setAttribute('role', 'row');
  row.dataset.gw = gw;
  row.dataset.line = ln;
  const cells = {};
  const cell = (field, cls) => {
    const el = document.createElement('div');
    el.setAttribute('role', 'cell');
    if (field) el.dataset.field = field;
    if (cls) el.className = cls;
    row.appendChild(el);
    return el;
  };
  cell('gw').textContent = gw;
  cell('line').textContent = ln;
  for (const name of ['state', 'records_per_second', 'records_total']) cells[name] = cell(name);
  const split = cell(null);
  cells.tx = document.createElement('span');
  cells.tx.dataset.field = 'tx';
  cells.rx = document.createElement('span');
  cells.rx.dataset.field = 'rx';
  const bar = document.createElement('div');
  bar.className = 'split';
  bar.title = 'Tx share of the records';
  cells.txShare = document.createElement('i');
  bar.appendChild(cells.txShare);
  split.append(cells.tx, ' / ', cells.rx, bar);
  for (const name of ['lost_last_minute', 'lost_total', 'last_record_time']) cells[name] = cell(name);
  const chartCell = cell(null, 'chart');
  const box = document.createElement('div');
  chartCell.appendChild(box);
  const line = {key: lineKey(gw, ln), row, cells, box, graph: null, history: makeHistory(),
                last: {}};
  box.cvfLine = line;
  if (page.observer) page.observer.observe(box);
  return line;
}

function showLine(line, l) {
  const c = line.cells;
  if (line.row.dataset.state !== l.state) line.row.dataset.state = l.state;
  setText(c.state, STATE_WORDS[l.state] || l.state);
  setText(c.records_per_second, rate(l.records_per_second));
  setText(c.records_total, String(l.records_total));
  setText(c.tx, String(l.tx));
  setText(c.rx, String(l.rx));
  const share = l.tx + l.rx ? Math.round(100 * l.tx / (l.tx + l.rx)) + '%' : '0%';
  if (c.txShare.style.width !== share) c.txShare.style.width = share;
  setText(c.lost_last_minute, String(l.lost_last_minute));
  setText(c.lost_total, String(l.lost_total));
  if (line.last.time !== l.last_record_time) {
    line.last.time = l.last_record_time;
    setText(c.last_record_time, clock(l.last_record_time));
    c.last_record_time.dataset.value = l.last_record_time;
  }
}

// The row of key goes before the first row of a larger key.
function insertRow(line) {
  const order = page.order;
  let lo = 0, hi = order.length;
  while (lo < hi) {
    const mid = (lo + hi) >> 1;
    if (order[mid] < line.key) lo = mid + 1; else hi = mid;
  }
  const next = lo < order.length ? page.lines.get(order[lo]).row : null;
  $('#rows').insertBefore(line.row, next);
  order.splice(lo, 0, line.key);
}

function showLines(lines) {
  const fresh = [];
  for (const l of lines) {
    const key = lineKey(l.gw, l.line);
    let line = page.lines.get(key);
    if (!line) {
      line = makeLine(l.gw, l.line);
      page.lines.set(key, line);
      fresh.push(line);
    }
    if (l.history) mergeHistory(line, l.history);
    showLine(line, l);
  }
  if (fresh.length && page.order.length === 0) {  // the first answer: all at once
    fresh.sort((a, b) => a.key - b.key);
    const frag = document.createDocumentFragment();
    for (const line of fresh) frag.appendChild(line.row);
    $('#rows').appendChild(frag);
    page.order = fresh.map(line => line.key);
  } else {
    for (const line of fresh) insertRow(line);
  }
  $('#empty').hidden = page.lines.size > 0;
}

// --- Charts -------------------------------------------------------------------

function drawChart(line, now) {
  if (!page.charts) return;
  const data = chartData(line);
  const span = [new Date((now - HISTORY) * 1000), new Date(now * 1000)];
  if (line.graph) {
    line.graph.updateOptions({file: data, dateWindow: span});
    return;
  }
  line.graph = new Dygraph(line.box, data, {
    labels: ['time', 'records/s', 'lost/s'],
    colors: ['#2f6fb0', '#c62828'],
    series: {'lost/s': {axis: 'y2'}},
    axes: {
      x: {pixelsPerLabel: 70, axisLabelWidth: 50},
      y: {axisLabelWidth: 34, includeZero: true, pixelsPerLabel: 14},
      y2: {axisLabelWidth: 26, includeZero: true, independentTicks: true, pixelsPerLabel: 14},
    },
    dateWindow: span,
    fillGraph: true,
    stepPlot: true,
    strokeWidth: 1,
    includeZero: true,
    axisLabelFontSize: 10,
    xAxisHeight: 14,
    rightGap: 4,
    legend: 'onmouseover',
    labelsSeparateLines: false,
    showLabelsOnHighlight: true,
  });
}

function dropChart(line) {
  if (line.graph) {
    line.graph.destroy();
    line.graph = null;
  }
}

function watchCharts() {
  if (!page.charts) {
    document.body.classList.add('no-charts');
    const note = $('#charts-note');
    note.textContent = 'Charts are off: ' +
        (window.cvfChartsMissing || 'the charting library did not load') + '.';
    note.hidden = false;
    return;
  }
  page.observer = new IntersectionObserver(entries => {
    for (const e of entries) {
      const line = e.target.cvfLine;
      if (e.isIntersecting) {
        page.visible.add(line);
        if (page.now !== null) drawChart(line, page.now);
      } else {
        page.visible.delete(line);
        dropChart(line);
      }
    }
  }, {rootMargin: '200px 0px'});
}

// --- Polling ----------------------------------------------------------------------

function reset() {
  for (const line of page.lines.values()) {
    dropChart(line);
    if (page.observer) page.observer.unobserve(line.box);
    line.row.remove();
  }
  page.lines.clear();
  page.order = [];
  page.visible.clear();
}

function take(answer) {
  const c = answer.collector;
  page.started = c.start_time;
  page.now = c.now;
  showCollector(c);
  showLines(answer.lines);
  for (const line of page.visible) drawChart(line, c.now);
  page.since = Math.floor(c.now) - RESEND;
}

async function poll() {
  try {
    const url = page.since === null ? 'api/lines' : 'api/lines?since=' + page.since;
    const r = await fetch(url, {cache: 'no-store'});
    if (!r.ok) throw new Error('HTTP ' + r.status);
    const answer = await r.json();
    if (page.since !== null && answer.collector.start_time !== page.started) {
      page.since = null;  // the collector restarted: ask again for everything
      reset();
    } else {
      const t0 = performance.now();
      take(answer);
      document.body.dataset.applyMs = Math.round(performance.now() - t0);
      page.updated++;
      document.body.dataset.updated = page.updated;
      delete document.body.dataset.stale;
      setText($('#status'), 'Updated ' + clock(answer.collector.now) + ', every second.');
    }
  } catch (e) {
    document.body.dataset.stale = '1';
    const since = page.now !== null ? ' since ' + clock(page.now) : '';
    setText($('#status'), 'No answer from the collector' + since + ': ' + e.message);
  }
  setTimeout(poll, POLL_MS);
}

watchCharts();
poll();
