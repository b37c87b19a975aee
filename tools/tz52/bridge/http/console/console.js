// The bridge's console: a client of /api/v1/ and its event stream like any
// script. Every text that comes from the bridge (and through it from
// brokers, clients and users) is put in the page as text, never as markup.
'use strict';

// ---- the page's building blocks -------------------------------------------------------

// h('td', {class: 'num'}, 'text', node): an element; strings become text.
function h(tag, attributes, ...children) {
  const element = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes || {})) {
    if (value === false || value === null || value === undefined) continue;
    if (name.startsWith('on')) element.addEventListener(name.slice(2), value);
    else element.setAttribute(name, value === true ? '' : String(value));
  }
  for (const child of children.flat()) {
    if (child === null || child === undefined || child === false) continue;
    element.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return element;
}

const SVG = 'http://www.w3.org/2000/svg';
function svg(tag, attributes) {
  const element = document.createElementNS(SVG, tag);
  for (const [name, value] of Object.entries(attributes || {})) element.setAttribute(name, String(value));
  return element;
}

// A time from the bridge (ISO, UTC) in the browser's zone, UTC on hover.
function timeText(iso, withDate) {
  if (!iso) return '';
  const date = new Date(iso);
  if (Number.isNaN(date.getTime())) return String(iso);
  return withDate ? date.toLocaleString() : date.toLocaleTimeString();
}
function timeCell(iso, withDate) {
  return h('td', {}, h('time', {datetime: iso || '', title: iso ? `${iso} (UTC)` : ''}, timeText(iso, withDate)));
}
function ageText(ms) {
  if (ms === null || ms === undefined) return '';
  if (ms < 1000) return `${ms} ms`;
  if (ms < 120000) return `${(ms / 1000).toFixed(1)} s`;
  return `${Math.round(ms / 60000)} min`;
}
function periodText(ms) { return ms >= 1000 ? `${ms / 1000} s` : `${ms} ms`; }

function figure(label, value, id) {
  return h('div', {class: 'figure'}, h('div', {class: 'label'}, label),
    h('div', {class: 'number', id: id || null}, value));
}

// ---- the API ----------------------------------------------------------------------------

const session = {loggedIn: false, user: '', role: '', csrfToken: '', loginsAllowed: false};
const isOperator = () => session.loggedIn && session.role === 'operator';

class ApiError extends Error {
  constructor(status, message, document) { super(message); this.status = status; this.document = document; }
}

// The API's answer as JSON (or text); a refusal is an ApiError with the
// bridge's own words.
async function api(path, options = {}) {
  const init = {method: options.method || 'GET', headers: {}, credentials: 'same-origin'};
  // State-changing requests need the session's token; the backups' reads
  // too, as they are an operator's.
  if (session.csrfToken) init.headers['X-CSRF-Token'] = session.csrfToken;
  if (options.json !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(options.json);
  } else if (options.text !== undefined) {
    init.headers['Content-Type'] = 'text/plain; charset=utf-8';
    init.body = options.text;
  }
  const response = await fetch(path, init);
  const type = response.headers.get('Content-Type') || '';
  const body = type.startsWith('application/json') ? await response.json().catch(() => null) : await response.text();
  if (!response.ok) {
    const message = body && body.error ? body.error : `${response.status} ${response.statusText}`;
    throw new ApiError(response.status, message, body);
  }
  return body;
}

async function loadSession() {
  try {
    Object.assign(session, {user: '', role: '', csrfToken: ''}, await api('/api/v1/session'));
  } catch (error) {
    session.loggedIn = false;
  }
  document.getElementById('who').textContent = session.loggedIn ? `${session.user} (${session.role})` : '';
  document.getElementById('logout').hidden = !session.loggedIn;
  document.getElementById('nav-login').hidden = session.loggedIn || !session.loginsAllowed;
  document.getElementById('nav-backup').hidden = !isOperator();
}

// ---- the stream -------------------------------------------------------------------------

// One stream of the journal for the whole console. Pages listen to it; the
// Traffic page asks for every read, the others for the reads that changed a
// value. When it breaks, a banner says so and it opens again after the
// last event seen, so nothing is missed while the ring still holds it.
const stream = {
  source: null, lastId: null, reads: 'changed', listeners: new Set(), retryTimer: 0, broken: false,

  listen(listener) { this.listeners.add(listener); return () => this.listeners.delete(listener); },

  want(reads) {
    if (reads === this.reads && this.source) return;
    this.reads = reads;
    this.open();
  },

  open() {
    clearTimeout(this.retryTimer);
    if (this.source) this.source.close();
    const after = this.lastId !== null ? `&after=${encodeURIComponent(this.lastId)}` : '';
    const source = new EventSource(`/api/v1/stream?reads=${this.reads}${after}`);
    this.source = source;
    source.onopen = () => {
      if (this.broken) setBanner('');
      this.broken = false;
    };
    source.onerror = () => {
      // Opened again by hand, after the last event seen: the browser's own
      // retry gives up for good on some failures.
      source.close();
      if (this.source !== source) return;
      this.source = null;
      this.broken = true;
      setBanner('The live stream from the bridge is broken; reconnecting…');
      this.retryTimer = setTimeout(() => this.open(), 1000);
    };
    const deliver = (message) => {
      if (message.lastEventId) this.lastId = message.lastEventId;
      let event;
      try { event = JSON.parse(message.data); } catch (error) { return; }
      if (message.type === 'resync') event = {kind: 'resync', newest: event.newest};
      for (const listener of this.listeners) listener(event);
    };
    for (const kind of ['pointRead', 'writeDone', 'writeRefused', 'stationSilent', 'stationAnswered', 'portLost',
      'portBack', 'health', 'face', 'resync']) {
      source.addEventListener(kind, deliver);
    }
  },
};

function setBanner(text) {
  const banner = document.getElementById('banner');
  banner.textContent = text;
  banner.hidden = !text;
}

// ---- pages ------------------------------------------------------------------------------

// Each page draws itself into `view` and gives back what stops it.
const pages = {line: linePage, points: pointsPage, point: pointPage, traffic: trafficPage, events: eventsPage,
  backup: backupPage, login: loginPage};

function failure(error) { return h('p', {class: 'bad', role: 'status'}, `The bridge said: ${error.message}`); }

function every(milliseconds, work) {
  let stopped = false;
  let timer = 0;
  const run = async () => {
    try { await work(); } catch (error) { /* shown by the work; tried again */ }
    if (!stopped) timer = setTimeout(run, milliseconds);
  };
  run();
  return () => { stopped = true; clearTimeout(timer); };
}

// A line chart of the series (each [value or null], null a gap) over `width`
// samples, drawn by the console: gaps break the line and are marked.
function drawChart(chart, seriesList, labels) {
  chart.replaceChildren();
  const width = 600;
  const height = 100;
  const values = seriesList.flat().filter((v) => v !== null);
  const top = values.length ? Math.max(...values) : 1;
  const bottom = values.length ? Math.min(0, ...values) : 0;
  const span = top - bottom || 1;
  chart.setAttribute('viewBox', `0 0 ${width} ${height}`);
  chart.setAttribute('preserveAspectRatio', 'none');
  seriesList.forEach((series, which) => {
    const step = series.length > 1 ? width / (series.length - 1) : width;
    let run = [];
    const flush = () => {
      if (run.length) chart.append(svg('polyline', {points: run.join(' '), class: which ? 'second' : ''}));
      run = [];
    };
    series.forEach((value, i) => {
      const x = (i * step).toFixed(1);
      if (value === null) {
        flush();
        if (which === 0) chart.append(svg('line', {x1: x, x2: x, y1: 0, y2: height, class: 'gap'}));
        return;
      }
      run.push(`${x},${(height - 4 - ((value - bottom) / span) * (height - 8)).toFixed(1)}`);
    });
    if (run.length === 1) run.push(run[0]);
    flush();
  });
  const title = svg('title');
  title.textContent = labels || '';
  chart.append(title);
}

// -- Line

function linePage(view) {
  const samples = [];  // the last minutes of /api/v1/line, for the chart
  const figures = h('div', {class: 'figures'});
  const chart = svg('svg', {class: 'chart small', role: 'img', 'aria-label': 'Exchanges and failures'});
  const port = h('p');
  const faces = h('tbody');
  const stations = h('tbody');
  view.append(h('h1', {}, 'Line'), port, figures,
    h('h2', {}, 'Exchanges per interval (failures in red), last minutes'), chart,
    h('h2', {}, 'Faces'), h('div', {class: 'scroll'}, h('table', {}, h('thead', {}, h('tr', {},
      h('th', {}, 'Face'), h('th', {}, 'Figures'))), faces)),
    h('h2', {}, 'Stations'), h('div', {class: 'scroll'}, h('table', {'aria-label': 'Stations'}, h('thead', {},
      h('tr', {}, h('th', {}, 'Station'), h('th', {}, 'State'), h('th', {}, 'Since'))), stations)));
  const stop = every(2000, async () => {
    let line;
    try { line = await api('/api/v1/line'); } catch (error) { port.replaceChildren(failure(error)); throw error; }
    const p = line.port;
    port.replaceChildren(`Port ${p.name}, ${p.settings}, read limit ${p.readTimeoutMs} ms: `,
      h('strong', {class: p.open ? 'ok' : 'bad'}, p.open ? 'open' : 'missing'),
      p.open ? '' : ` (${p.closedWhy || ''})`, ` · bridge ${line.version}, up ${line.uptimeSeconds} s`);
    const health = line.health;
    figures.replaceChildren(
      figure('Exchanges', line.exchanges), figure('Failed', line.failedExchanges),
      figure('Line busy', `${Math.round(health.lineBusy * 100)} %`), figure('Polling late by', `${health.behindMs} ms`),
      figure('Overloaded', health.overloaded ? 'yes' : 'no'), figure('Points polled', line.points.polled),
      figure('On demand', line.points.onDemand), figure('Writes waiting', line.writesWaiting));
    samples.push([line.exchanges, line.failedExchanges]);
    if (samples.length > 151) samples.shift();
    const rates = [[], []];
    for (let i = 1; i < samples.length; i++) {
      rates[0].push(samples[i][0] - samples[i - 1][0]);
      rates[1].push(samples[i][1] - samples[i - 1][1]);
    }
    if (rates[0].length) drawChart(chart, rates, 'Exchanges and failures every 2 s');
    faces.replaceChildren(...Object.entries(line.faces).map(([name, values]) => h('tr', {},
      h('td', {}, name), h('td', {}, Object.entries(values).map(([k, v]) => `${k} ${v}`).join(', ')))));
    stations.replaceChildren(...line.stations.map((s) => h('tr', {},
      h('td', {}, s.station), h('td', {class: s.answering ? 'ok' : 'bad'}, s.answering ? 'answering' : 'silent'),
      timeCell(s.since, true))));
  });
  return stop;
}

// -- Points

function pointsPage(view) {
  const rows = new Map();  // address -> {row, cells, point}
  const tbody = h('tbody');
  const stationFilter = h('select', {id: 'filter-station'}, h('option', {value: ''}, 'all'));
  const typeFilter = h('select', {id: 'filter-type'}, h('option', {value: ''}, 'all'),
    ...'ABCMOS'.split('').map((t) => h('option', {value: t}, t)));
  const count = h('span', {class: 'muted', role: 'status'});
  const status = h('div');
  view.append(h('h1', {}, 'Points'),
    h('div', {class: 'row'}, h('label', {}, 'Station', stationFilter), h('label', {}, 'Type', typeFilter), count),
    status,
    h('div', {class: 'scroll'}, h('table', {'aria-label': 'Points'}, h('thead', {}, h('tr', {},
      h('th', {}, 'Point'), h('th', {class: 'num'}, 'Value'), h('th', {class: 'num'}, 'Hex'), h('th', {}, 'State'),
      h('th', {class: 'num'}, 'Age'), h('th', {class: 'num hide-narrow'}, 'Period'), h('th', {}, 'Polled'))), tbody)));

  const applyFilter = () => {
    const station = stationFilter.value;
    const type = typeFilter.value;
    let shown = 0;
    for (const entry of rows.values()) {
      const visible = (!station || String(entry.point.station) === station) && (!type || entry.point.type === type);
      entry.row.hidden = !visible;
      shown += visible ? 1 : 0;
    }
    count.textContent = `${shown} of ${rows.size} points`;
  };
  stationFilter.addEventListener('change', applyFilter);
  typeFilter.addEventListener('change', applyFilter);

  const fill = (entry) => {
    const p = entry.point;
    const c = entry.cells;
    c.value.textContent = p.value === null ? '—' : p.value;
    c.hex.textContent = p.hex === null ? '' : p.hex;
    const state = p.state;
    c.state.textContent = !state ? 'not read yet' : state.ok ? 'ok' : `result ${state.result}: ${state.message}`;
    c.state.className = !state ? 'muted message' : state.ok ? 'ok message' : 'bad message';
    c.age.textContent = state ? ageText(state.ageMs) : '';
    c.age.title = state ? `read ${timeText(state.time, true)} (${state.time} UTC)` : '';
  };
  // Changed values are marked for a moment.
  const flashed = new Map();
  const flashTimer = setInterval(() => {
    const now = Date.now();
    for (const [row, until] of flashed) if (until <= now) { row.classList.remove('changed'); flashed.delete(row); }
  }, 250);

  const load = async () => {
    let document;
    try { document = await api('/api/v1/points'); } catch (error) { status.replaceChildren(failure(error)); throw error; }
    status.replaceChildren();
    const stations = new Set();
    const fresh = [];
    for (const point of document.points) {
      stations.add(point.station);
      let entry = rows.get(point.address);
      if (!entry) {
        const cells = {value: h('td', {class: 'num'}), hex: h('td', {class: 'num'}), state: h('td'),
          age: h('td', {class: 'num'})};
        const row = h('tr', {'data-point': point.address},
          h('td', {}, h('a', {href: `#/point/${encodeURIComponent(point.address)}`}, point.address)),
          cells.value, cells.hex, cells.state, cells.age, h('td', {class: 'num hide-narrow'}, periodText(point.periodMs)),
          h('td', {}, point.onDemand ? h('span', {class: 'tag', title: 'read because a face asked for it'}, 'on demand')
            : 'configured'));
        entry = {row, cells, point};
        rows.set(point.address, entry);
        fresh.push(row);
      }
      entry.point = point;
      entry.point.receivedAt = Date.now();
      fill(entry);
    }
    if (fresh.length) tbody.append(...fresh);
    const known = new Set([...stationFilter.options].map((o) => o.value));
    for (const station of [...stations].sort((a, b) => a - b)) {
      if (!known.has(String(station))) stationFilter.append(h('option', {value: station}, station));
    }
    applyFilter();
  };
  // The stream brings every changed value at once; a fresh list now and
  // then brings the ages and the points that came or went.
  const stopLoading = every(5000, load);
  const stopListening = stream.listen((event) => {
    if (event.kind === 'resync') { load(); return; }
    if (event.kind !== 'pointRead') return;
    const entry = rows.get(event.point);
    if (!entry) return;
    const p = entry.point;
    const ok = event.result === 0;
    p.value = ok ? event.value : null;
    p.hex = ok ? `0x${event.value.toString(16).toUpperCase().padStart(4, '0')}` : null;
    p.state = {ok, result: event.result, message: event.message, time: event.time, ageMs: 0,
      stationSilent: event.stationSilent};
    fill(entry);
    if (event.changed) {
      entry.row.classList.add('changed');
      flashed.set(entry.row, Date.now() + 1500);
    }
  });
  return () => { stopLoading(); stopListening(); clearInterval(flashTimer); };
}

// -- Point

function pointPage(view, address) {
  const heading = h('h1', {}, `Point ${address}`);
  const facts = h('div', {class: 'figures'});
  const chart = svg('svg', {class: 'chart', role: 'img', 'aria-label': `Trend of ${address}`});
  const recent = h('tbody');
  const writeArea = h('section');
  view.append(heading, facts, h('h2', {}, 'Trend (failed reads as gaps)'), chart, writeArea,
    h('h2', {}, 'Recent reads'), h('div', {class: 'scroll'}, h('table', {'aria-label': 'Recent reads'}, h('thead', {},
      h('tr', {}, h('th', {}, 'Time'), h('th', {class: 'num'}, 'Value'), h('th', {}, 'Result'))), recent)));
  let formShown = false;

  const showWriteForm = (point) => {
    if (formShown || !isOperator() || !point.writable) return;
    formShown = true;
    const input = h('input', {type: 'number', id: 'write-value', min: 0, max: point.type === 'O' ? 1 : 65535,
      required: true, inputmode: 'numeric'});
    const outcome = h('div', {role: 'status', id: 'write-outcome'});
    const form = h('form', {class: 'row', id: 'write-form'}, h('label', {}, 'New value', input),
      h('button', {type: 'submit', class: 'primary'}, 'Write…'));
    form.addEventListener('submit', async (submit) => {
      submit.preventDefault();
      const value = Number(input.value);
      if (!Number.isInteger(value)) return;
      if (!await confirmWith(`Write ${value} to ${address}?`, 'Write')) return;
      outcome.replaceChildren(h('p', {}, 'Writing…'));
      try {
        const done = await api(`/api/v1/points/${encodeURIComponent(address)}`, {method: 'PUT', json: {value}});
        const back = done.readBack;
        outcome.replaceChildren(h('p', {class: 'outcome ok'}, `Written: ${done.value}. Read back: `,
          h('strong', {id: 'read-back'}, back && back.value !== null ? back.value : `failed (result ${back ? back.result : '?'})`)));
      } catch (error) {
        outcome.replaceChildren(h('p', {class: 'outcome bad'}, `Not written: ${error.message}`));
      }
    });
    writeArea.append(h('h2', {}, 'Write'), form, outcome);
  };

  const load = async () => {
    let point;
    let history;
    try {
      [point, history] = await Promise.all([api(`/api/v1/points/${encodeURIComponent(address)}`),
        api(`/api/v1/points/${encodeURIComponent(address)}/history`)]);
    } catch (error) { facts.replaceChildren(failure(error)); throw error; }
    const state = point.state;
    facts.replaceChildren(figure('Value', point.value === null ? '—' : point.value, 'point-value'),
      figure('Hex', point.hex || ''), figure('State', !state ? 'not read yet' : state.ok ? 'ok' : `result ${state.result}`),
      figure('Period', periodText(point.periodMs)), figure('Polled', point.onDemand ? 'on demand' : 'configured'),
      figure('Writable', point.writable ? 'yes' : 'no'));
    drawChart(chart, [history.reads.map((r) => r.value)], `${history.reads.length} reads of ${address}`);
    recent.replaceChildren(...history.reads.slice(-20).reverse().map((r) => h('tr', {}, timeCell(r.time),
      h('td', {class: 'num'}, r.value === null ? '—' : r.value),
      h('td', {class: r.result === 0 ? 'ok' : 'bad'}, r.result === 0 ? 'ok' : `result ${r.result}`))));
    showWriteForm(point);
  };
  return every(2000, load);
}

function confirmWith(text, action) {
  const dialog = document.getElementById('confirm');
  document.getElementById('confirm-text').textContent = text;
  document.getElementById('confirm-ok').textContent = action;
  return new Promise((resolve) => {
    dialog.addEventListener('close', () => resolve(dialog.returnValue === 'ok'), {once: true});
    dialog.returnValue = '';
    dialog.showModal();
    document.getElementById('confirm-cancel').focus();
  });
}

// -- Traffic

function trafficPage(view) {
  const most = 300;
  const tbody = h('tbody');
  const pause = h('button', {type: 'button', id: 'traffic-pause', 'aria-pressed': 'false'}, 'Pause');
  const missed = h('span', {class: 'muted', role: 'status'});
  let paused = false;
  let skipped = 0;
  pause.addEventListener('click', () => {
    paused = !paused;
    pause.textContent = paused ? 'Resume' : 'Pause';
    pause.setAttribute('aria-pressed', String(paused));
    if (!paused) { skipped = 0; missed.textContent = ''; }
  });
  view.append(h('h1', {}, 'Traffic'), h('div', {class: 'row'}, pause, missed),
    h('div', {class: 'scroll'}, h('table', {'aria-label': 'Exchanges'}, h('thead', {}, h('tr', {},
      h('th', {}, 'Time'), h('th', {class: 'num'}, 'Station'), h('th', {}, 'Point'), h('th', {}, 'Kind'),
      h('th', {class: 'num'}, 'Duration (wire time)'), h('th', {}, 'Result'))), tbody)));
  stream.want('all');
  const stop = stream.listen((event) => {
    if (event.kind !== 'pointRead' && event.kind !== 'writeDone' && event.kind !== 'writeRefused') return;
    if (paused) { skipped++; missed.textContent = `paused: ${skipped} exchanges not shown`; return; }
    const rows = event.kind === 'pointRead'
      ? [[event.point, 'read', `${event.durationMs} ms (wire ${event.wireMs} ms)`, event.result, event.message]]
      : (event.points.length ? event.points : [{point: ''}]).map((p) => [p.point,
        event.kind === 'writeDone' ? `write ${p.value} (${event.face})` : `write refused (${event.face})`,
        null, event.result, event.message]);
    for (const [point, kind, duration, result, message] of rows) {
      tbody.prepend(h('tr', {}, timeCell(event.time), h('td', {class: 'num'}, point ? Number(point.slice(0, 3)) : ''),
        h('td', {}, point), h('td', {}, kind), h('td', {class: 'num'}, duration === null ? '' : duration),
        h('td', {class: result === 0 ? 'ok message' : 'bad message'}, result === 0 ? 'ok' : `result ${result}: ${message}`)));
    }
    while (tbody.rows.length > most) tbody.lastElementChild.remove();
  });
  return () => { stop(); stream.want('changed'); };
}

// -- Events

function describeEvent(event) {
  switch (event.kind) {
    case 'writeDone':
    case 'writeRefused':
      return `${event.kind === 'writeDone' ? 'write' : 'write refused'} via ${event.face} by ${event.who}: ` +
        `${event.points.map((p) => `${p.point}=${p.value}`).join(', ')} — ${event.message}`;
    case 'stationSilent': return `station ${event.station} is silent: ${event.message}`;
    case 'stationAnswered': return `station ${event.station} answers again ${event.message || ''}`;
    case 'portLost': return `port lost: ${event.message}`;
    case 'portBack': return `port back ${event.message || ''}`;
    case 'health': return `health: ${event.health.exchanges} exchanges, ${event.health.failedExchanges} failed, ` +
      `line busy ${Math.round(event.health.lineBusy * 100)} %, ${event.health.behindMs} ms late`;
    case 'face': return `${event.face}: ${event.message}${event.who ? ` — ${event.who}` : ''}`;
    case 'pointRead': return `${event.point} read: ${event.result === 0 ? event.value : `result ${event.result}`}`;
    default: return event.kind;
  }
}

function eventsPage(view) {
  const tbody = h('tbody');
  const text = h('input', {type: 'search', id: 'events-filter', placeholder: 'words'});
  const kind = h('select', {id: 'events-kind'}, h('option', {value: ''}, 'all'),
    ...['writeDone', 'writeRefused', 'face', 'stationSilent', 'stationAnswered', 'portLost', 'portBack', 'health']
      .map((k) => h('option', {value: k}, k)));
  const status = h('div');
  view.append(h('h1', {}, 'Events'), h('div', {class: 'row'}, h('label', {}, 'Containing', text),
    h('label', {}, 'Kind', kind)), status,
    h('div', {class: 'scroll'}, h('table', {'aria-label': 'Events'}, h('thead', {}, h('tr', {}, h('th', {}, 'Time'),
      h('th', {}, 'Kind'), h('th', {}, 'What'))), tbody)));
  const shown = (row) => (!kind.value || row.dataset.kind === kind.value) &&
    (!text.value || row.textContent.toLowerCase().includes(text.value.toLowerCase()));
  const filter = () => { for (const row of tbody.rows) row.hidden = !shown(row); };
  text.addEventListener('input', filter);
  kind.addEventListener('change', filter);
  const seen = new Set();
  const rowOf = (event) => {
    const row = h('tr', {'data-kind': event.kind, 'data-seq': event.seq}, timeCell(event.time, true),
      h('td', {}, event.kind), h('td', {class: 'message'}, describeEvent(event)));
    row.hidden = !shown(row);
    return row;
  };
  const add = (event) => {
    if (seen.has(event.seq) || event.kind === 'pointRead') return;
    seen.add(event.seq);
    // Newest first, whichever came first: the list or the stream.
    let next = tbody.firstElementChild;
    while (next && Number(next.dataset.seq) > event.seq) next = next.nextElementSibling;
    tbody.insertBefore(rowOf(event), next);
    while (tbody.rows.length > 1000) tbody.lastElementChild.remove();
  };
  const load = async () => {
    try {
      const document = await api('/api/v1/events?limit=1000');
      for (const event of document.events) add(event);
    } catch (error) { status.replaceChildren(failure(error)); }
  };
  load();
  const stop = stream.listen((event) => { if (event.kind === 'resync') load(); else if (event.seq) add(event); });
  return stop;
}

// -- Backup

function backupPage(view) {
  if (!isOperator()) {
    view.append(h('h1', {}, 'Backup'), h('p', {}, 'Backups are for an operator: log in first.'));
    return () => {};
  }
  let stopped = false;
  // Follows a job until it stops running, calling `show` with each state.
  const follow = async (job, show) => {
    while (!stopped) {
      show(job);
      if (job.state !== 'running' && job.state !== 'writing') return job;
      await new Promise((resolve) => setTimeout(resolve, 400));
      job = await api(`/api/v1/backup/jobs/${job.id}`);
    }
    return job;
  };
  const progress = (job) => h('progress', {max: job.total || 1, value: job.done,
    'aria-label': `${job.kind}: ${job.done} of ${job.total}`});
  const said = (job) => h('p', {class: job.state === 'failed' ? 'bad' : ''},
    `${job.kind} ${job.state}: ${job.done} of ${job.total}${job.message ? ` — ${job.message}` : ''}`);

  // Scan
  const scanOut = h('div', {id: 'scan-out'});
  const first = h('input', {type: 'number', min: 1, max: 127, value: 1, id: 'scan-first'});
  const last = h('input', {type: 'number', min: 1, max: 127, value: 127, id: 'scan-last'});
  const scanForm = h('form', {class: 'row'}, h('label', {}, 'From station', first), h('label', {}, 'to', last),
    h('button', {type: 'submit', id: 'scan-start'}, 'Scan'));
  scanForm.addEventListener('submit', async (submit) => {
    submit.preventDefault();
    try {
      const job = await api('/api/v1/backup/scan', {method: 'POST',
        json: {first: Number(first.value), last: Number(last.value)}});
      await follow(job, (j) => scanOut.replaceChildren(progress(j), said(j),
        h('p', {}, `Answering: ${(j.stations || []).filter((s) => s.answering).map((s) => s.station).join(', ') || 'none yet'}`)));
    } catch (error) { scanOut.replaceChildren(failure(error)); }
  });

  // Dump
  const dumpOut = h('div', {id: 'dump-out'});
  const station = h('input', {type: 'number', min: 1, max: 127, value: 1, id: 'dump-station'});
  const dumpForm = h('form', {class: 'row'}, h('label', {}, 'Station', station), h('button', {type: 'submit', id: 'dump-start'}, 'Dump'));
  dumpForm.addEventListener('submit', async (submit) => {
    submit.preventDefault();
    try {
      let job = await api('/api/v1/backup/dump', {method: 'POST', json: {station: Number(station.value)}});
      job = await follow(job, (j) => dumpOut.replaceChildren(progress(j), said(j)));
      const text = await api(`/api/v1/backup/jobs/${job.id}/dump`);
      const name = `station-${String(job.station).padStart(3, '0')}.dump`;
      const link = h('a', {href: URL.createObjectURL(new Blob([text], {type: 'text/plain'})), download: name,
        id: 'dump-download'}, `Download ${name}`);
      dumpOut.append(link);
      if (job.state === 'done') link.click();
    } catch (error) { dumpOut.append(failure(error)); }
  });

  // Restore
  const restoreOut = h('div', {id: 'restore-out'});
  const file = h('input', {type: 'file', id: 'restore-file', accept: '.dump,.txt,text/plain'});
  const restoreForm = h('form', {class: 'row'}, h('label', {}, 'Dump file', file),
    h('button', {type: 'submit', id: 'restore-plan'}, 'Show the plan'));
  const planTable = (job) => h('div', {class: 'scroll'}, h('table', {'aria-label': 'Restore plan'}, h('thead', {},
    h('tr', {}, h('th', {}, 'Point'), h('th', {class: 'num'}, 'Current'), h('th', {class: 'num'}, 'New'),
      h('th', {}, 'Outcome'))), h('tbody', {}, job.plan.filter((p) => p.differs !== false).map((p) => h('tr', {},
    h('td', {}, p.point), h('td', {class: 'num'}, p.current === null ? '?' : p.current), h('td', {class: 'num'}, p.new),
    h('td', {class: p.outcome === 'failed' || !p.allowed ? 'bad message' : 'message'},
      p.outcome ? `${p.outcome}${p.readBack !== undefined ? `, read back ${p.readBack}` : ''}` +
        (p.outcome !== 'written' ? `: ${p.message}` : '')
        : p.allowed ? (p.differs ? 'to write' : 'reading…') : 'not allowed (--allow-write)'))))));
  restoreForm.addEventListener('submit', async (submit) => {
    submit.preventDefault();
    if (!file.files.length) return;
    // The lines of failed points are comments, of no use to a restore:
    // left out, so that a large dump fits a request.
    const text = (await file.files[0].text()).split('\n').filter((l) => !/^# \d{3}[A-Z]\d{3} failed:/.test(l)).join('\n');
    try {
      let job = await api('/api/v1/backup/restore', {method: 'POST', text});
      const show = (j) => restoreOut.replaceChildren(progress(j), said(j),
        ...(j.warnings || []).map((w) => h('p', {class: 'bad'}, `Warning: ${w}`)), planTable(j));
      job = await follow(job, show);
      if (job.state !== 'planned' || job.toWrite === 0) return;
      const go = h('button', {type: 'button', class: 'primary', id: 'restore-write'}, `Write ${job.toWrite} points…`);
      restoreOut.append(go);
      go.addEventListener('click', async () => {
        if (!await confirmWith(`Write ${job.toWrite} points of the file to the controller?`, 'Write')) return;
        go.disabled = true;
        try {
          await follow(await api(`/api/v1/backup/jobs/${job.id}/confirm`, {method: 'POST'}), show);
        } catch (error) { restoreOut.append(failure(error)); }
      });
    } catch (error) {
      const faults = error.document && error.document.faults ? error.document.faults : [];
      restoreOut.replaceChildren(failure(error), ...faults.map((f) => h('p', {class: 'bad'}, `line ${f.line}: ${f.message}`)));
    }
  });

  view.append(h('h1', {}, 'Backup'),
    h('section', {}, h('h2', {}, 'Which stations answer'), scanForm, scanOut),
    h('section', {}, h('h2', {}, 'Dump a station'), dumpForm, dumpOut),
    h('section', {}, h('h2', {}, 'Restore from a dump'), restoreForm, restoreOut));
  return () => { stopped = true; };
}

// -- Login

function loginPage(view) {
  const user = h('input', {id: 'login-user', autocomplete: 'username', required: true});
  const password = h('input', {id: 'login-password', type: 'password', autocomplete: 'current-password', required: true});
  const status = h('div', {role: 'status'});
  const form = h('form', {id: 'login-form'}, h('div', {class: 'row'}, h('label', {}, 'User', user),
    h('label', {}, 'Password', password), h('button', {type: 'submit', class: 'primary'}, 'Log in')), status);
  form.addEventListener('submit', async (submit) => {
    submit.preventDefault();
    status.replaceChildren(h('p', {}, 'Logging in…'));
    try {
      await api('/api/v1/login', {method: 'POST', json: {user: user.value, password: password.value}});
      await loadSession();
      location.hash = '#/points';
    } catch (error) { status.replaceChildren(failure(error)); }
  });
  view.append(h('h1', {}, 'Log in'), session.loginsAllowed ? form : h('p', {}, 'Logins are not possible here.'));
  user.focus();
  return () => {};
}

// ---- the console ------------------------------------------------------------------------

let stopPage = () => {};
// The pages that show or refuse by who is logged in wait for the session;
// the others start at once and take it when it comes.
let sessionLoaded = null;
let routed = 0;
async function route() {
  stopPage();
  stopPage = () => {};
  const turn = ++routed;
  const [name, ...rest] = location.hash.replace(/^#\/?/, '').split('/');
  const page = pages[name] ? name : 'line';
  if (page === 'backup' || page === 'login') await sessionLoaded;
  if (turn !== routed) return;  // another page was asked for meanwhile
  const view = document.getElementById('view');
  view.replaceChildren();
  for (const link of document.querySelectorAll('nav a')) {
    const current = link.getAttribute('href') === `#/${page === 'point' ? 'points' : page}`;
    if (current) link.setAttribute('aria-current', 'page'); else link.removeAttribute('aria-current');
  }
  document.title = `tz52 bridge · ${page}`;
  stopPage = pages[page](view, decodeURIComponent(rest.join('/'))) || (() => {});
}

document.getElementById('logout').addEventListener('click', async () => {
  try { await api('/api/v1/logout', {method: 'POST'}); } catch (error) { /* the session is gone either way */ }
  await loadSession();
  route();
});
window.addEventListener('hashchange', route);
sessionLoaded = loadSession();
stream.open();
route();
