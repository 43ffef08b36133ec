// The page of `snt serve`: asks the server for sweeps, draws the points as
// they arrive (server-sent events) and has the server compute the dB, the
// summary and the CSV with the same code as `snt sweep`.
'use strict';

(function () {
  const FULL_SCALE = 3.6864e10;
  const COLOURS = ['#6d4c41', '#7b1fa2', '#00897b', '#f57c00', '#5c6bc0', '#c2185b', '#558b2f'];
  const $ = (id) => document.getElementById(id);
  const token = new URLSearchParams(location.search).get('token') || '';

  // What the page knows: the device, the sweep in the server, our reference
  // and the traces kept for comparison.
  const state = {
    device: null,
    sweep: null,        // {id, status, plan}
    points: [],         // [[frequency_hz, level or null], ...] of the current sweep
    started: 0,         // when the first point came (ms), for the time left
    analysis: null,     // the server's dB, summary and CSV of the finished sweep
    reference: null,    // {name, points}
    kept: [],           // {name, colour, data}
    nextColour: 0,
  };

  // --- formatting -------------------------------------------------------
  function hz(f) {
    if (f === null || f === undefined) return '–';
    const units = [[1e9, 'GHz'], [1e6, 'MHz'], [1e3, 'kHz']];
    for (const [scale, name] of units) {
      if (Math.abs(f) >= scale) return trim((f / scale).toFixed(6)) + ' ' + name;
    }
    return trim(f.toFixed(1)) + ' Hz';
  }
  function trim(text) { return text.indexOf('.') < 0 ? text : text.replace(/0+$/, '').replace(/\.$/, ''); }
  function db(v) { return v === null || v === undefined ? '–' : (Math.abs(v) < 0.005 ? 0 : v).toFixed(2) + ' dB'; }

  // --- requests ---------------------------------------------------------
  async function post(path, body) {
    const headers = { 'Content-Type': 'application/json' };
    if (token) headers['X-SNT-Token'] = token;
    const res = await fetch(path, { method: 'POST', headers, body: JSON.stringify(body || {}) });
    let data = {};
    try { data = await res.json(); } catch (e) { data = { error: 'no answer from snt serve' }; }
    return { status: res.status, data };
  }

  // --- the chart --------------------------------------------------------
  const markerStyle = { showLine: false, pointRadius: 6, pointHoverRadius: 6, pointStyle: 'triangle', rotation: 180 };
  const whiteBackground = {
    id: 'whiteBackground',
    beforeDraw(chart) {
      const c = chart.ctx;
      c.save();
      c.fillStyle = '#fff';
      c.fillRect(0, 0, chart.width, chart.height);
      c.restore();
    },
  };
  const chart = new Chart($('chart'), {
    type: 'line',
    data: {
      datasets: [
        { label: 'markers', data: [], borderColor: '#d32f2f', backgroundColor: '#d32f2f', ...markerStyle },
        { label: 'this sweep', data: [], borderColor: '#1565c0', backgroundColor: '#1565c0', borderWidth: 1.5, pointRadius: 0,
          spanGaps: false },
      ],
    },
    options: {
      animation: false,
      parsing: false,
      normalized: true,
      maintainAspectRatio: false,
      interaction: { mode: 'nearest', axis: 'x', intersect: false },
      scales: {
        x: { type: 'linear', title: { display: true, text: 'frequency (MHz)' },
             ticks: { callback: (v) => trim((v / 1e6).toFixed(3)) } },
        y: { title: { display: true, text: 'dB (full scale)' } },
      },
      plugins: {
        legend: { labels: { filter: (item) => item.text !== 'markers' } },
        tooltip: { callbacks: { label: (ctx) => ctx.dataset.label + ': ' + db(ctx.parsed.y) + ' at ' + hz(ctx.parsed.x),
                                title: () => '' } },
      },
      onHover: (event, elements) => showPointer(event),
    },
    plugins: [whiteBackground],
  });
  const MARKERS = 0, CURRENT = 1;

  function showPointer(event) {
    const data = chart.data.datasets[CURRENT].data;
    if (!data.length) return;
    const x = chart.scales.x.getValueForPixel(event.x);
    let best = null;
    for (const p of data) if (p.y !== null && (!best || Math.abs(p.x - x) < Math.abs(best.x - x))) best = p;
    if (best) $('pointer').textContent = 'pointer: ' + db(best.y) + ' at ' + hz(best.x);
  }

  // The dB of a point: against the reference when its frequencies fit,
  // else against full scale. The server's figures replace these when the
  // sweep has ended.
  function referenceLevels() {
    const ref = state.reference;
    if (!ref || !state.sweep || ref.points.length !== state.sweep.plan.points) return null;
    return ref.points;
  }
  function liveDb(i, level) {
    const ref = referenceLevels();
    let base = FULL_SCALE;
    if (ref) {
      if (ref[i][0] !== state.points[i][0] || ref[i][1] === null) return null;
      base = ref[i][1];
    }
    return level === null || level <= 0 ? null : 10 * Math.log10(level / base);
  }

  let redraw = false;
  function scheduleRedraw() {
    if (redraw) return;
    redraw = true;
    requestAnimationFrame(() => { redraw = false; chart.update('none'); });
  }

  function setAxis() {
    const log = state.sweep && state.sweep.plan.log;
    chart.options.scales.x.type = log ? 'logarithmic' : 'linear';
    chart.options.scales.y.title.text = state.reference ? 'dB (reference: ' + state.reference.name + ')' : 'dB (full scale)';
  }

  // --- the sweep --------------------------------------------------------
  function sweepStarted(sweep) {
    state.sweep = sweep;
    state.points = [];
    state.started = 0;
    state.analysis = null;
    chart.data.datasets[CURRENT].data = [];
    chart.data.datasets[MARKERS].data = [];
    showMarkers(null);
    setAxis();
    chart.options.scales.x.min = sweep.plan.start;
    chart.options.scales.x.max = sweep.plan.stop;
    $('plan').textContent = sweep.plan.estimate || '';
    progress();
    buttons();
    scheduleRedraw();
  }

  function pointsArrived(msg) {
    if (!state.sweep || msg.sweep !== state.sweep.id || msg.first !== state.points.length) return;
    if (!state.started) state.started = performance.now();
    const data = chart.data.datasets[CURRENT].data;
    for (const p of msg.points) {
      state.points.push(p);
      data.push({ x: p[0], y: liveDb(state.points.length - 1, p[1]) });
    }
    progress();
    scheduleRedraw();
  }

  function sweepEnded(sweep) {
    if (!state.sweep || sweep.id !== state.sweep.id) return;
    state.sweep = sweep;
    progress();
    buttons();
    if (sweep.status === 'failed') $('sweep-msg').textContent = 'The sweep failed: ' + sweep.message;
    if (state.points.length) analyse();
  }

  function progress() {
    const s = state.sweep;
    const bar = $('progress');
    if (!s) return;
    const total = s.plan.points, done = state.points.length;
    bar.max = total;
    bar.value = done;
    let text = done + ' of ' + total + ' points';
    if (s.status === 'running') {
      if (done > 1 && state.started) {
        const left = (performance.now() - state.started) / (done - 1) * (total - done) / 1000;
        text += ', about ' + (left < 10 ? left.toFixed(1) : Math.round(left)) + ' s left';
      }
    } else {
      text += ' — ' + s.status;
    }
    $('progress-text').textContent = text;
  }

  // The server's dB, summary and CSV for the current trace.
  async function analyse() {
    const body = { points: state.points, reference: state.reference ? state.reference.points : null };
    const { status, data } = await post('/api/analyse', body);
    if (status !== 200) {
      $('ref-msg').textContent = data.error || 'the trace could not be analysed';
      state.analysis = null;
      showMarkers(null);
      buttons();
      return;
    }
    $('ref-msg').textContent = '';
    state.analysis = data;
    const trace = chart.data.datasets[CURRENT].data;
    data.db.forEach((v, i) => { if (trace[i]) trace[i].y = v; });
    showMarkers(data.summary);
    buttons();
    scheduleRedraw();
  }

  function showMarkers(s) {
    const marks = [];
    const set = (id, text) => { $(id).textContent = text; };
    if (!s || !s.max) {
      ['mk-max', 'mk-lower', 'mk-upper', 'mk-bw', 'mk-centre', 'mk-q', 'mk-min'].forEach((id) => set(id, '–'));
      $('summary').textContent = s ? s.text : '';
      chart.data.datasets[MARKERS].data = marks;
      return;
    }
    set('mk-max', db(s.max.db) + ' at ' + hz(s.max.frequency));
    set('mk-min', db(s.min.db) + ' at ' + hz(s.min.frequency));
    marks.push({ x: s.max.frequency, y: s.max.db });
    const level = s.max.db - 3;
    set('mk-lower', s.lower_3db !== null && !s.several_peaks ? hz(s.lower_3db) : '–');
    set('mk-upper', s.upper_3db !== null && !s.several_peaks ? hz(s.upper_3db) : '–');
    if (s.lower_3db !== null && !s.several_peaks) marks.push({ x: s.lower_3db, y: level });
    if (s.upper_3db !== null && !s.several_peaks) marks.push({ x: s.upper_3db, y: level });
    if (s.bandwidth !== null) {
      const centre = (s.lower_3db + s.upper_3db) / 2;
      set('mk-bw', hz(s.bandwidth));
      set('mk-centre', hz(centre));
      set('mk-q', (centre / s.bandwidth).toFixed(2));
    } else {
      ['mk-bw', 'mk-centre', 'mk-q'].forEach((id) => set(id, '–'));
    }
    $('summary').textContent = s.text;
    chart.data.datasets[MARKERS].data = marks;
  }

  function buttons() {
    const running = !!state.sweep && state.sweep.status === 'running';
    const busy = running || !!(state.device && state.device.job);
    const connected = !!(state.device && state.device.connected);
    $('sweep-btn').disabled = !token || busy || !connected;
    $('stop-btn').disabled = !token || !running;
    const finished = !!state.analysis;
    $('ref-save').disabled = !finished;
    $('keep').disabled = !finished;
    $('csv').disabled = !finished;
    $('png').disabled = !state.points.length;
    $('ref-clear').disabled = !state.reference;
    document.querySelectorAll('.needs-token').forEach((e) => { e.disabled = !token || busy || !connected; });
  }

  // --- settings ---------------------------------------------------------
  const FIELDS = ['start', 'stop', 'points', 'step', 'scale'];
  function settings() {
    const s = {};
    for (const f of FIELDS) s[f] = $(f).value.trim();
    return s;
  }
  function showFieldError(field, text) {
    for (const f of FIELDS) {
      $(f + '-msg').textContent = f === field ? text : '';
      $(f).classList.toggle('bad', f === field);
      $(f).setAttribute('aria-invalid', f === field ? 'true' : 'false');
    }
  }
  let checkTimer = 0;
  async function check() {
    const { status, data } = await post('/api/check', settings());
    if (status === 200 && data.ok) {
      showFieldError(null, '');
      $('plan').textContent = data.estimate || '';
      return true;
    }
    showFieldError(data.field || 'start', data.error);
    $('plan').textContent = '';
    return false;
  }
  FIELDS.forEach((f) => $(f).addEventListener('input', () => {
    clearTimeout(checkTimer);
    checkTimer = setTimeout(check, 250);
  }));

  $('sweep-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    $('sweep-msg').textContent = '';
    const { status, data } = await post('/api/sweep', settings());
    if (status === 202) { showFieldError(null, ''); return; }
    if (status === 400) { showFieldError(data.field || 'start', data.error); return; }
    $('sweep-msg').textContent = data.error || ('refused (' + status + ')');
  });
  $('stop-btn').addEventListener('click', () => post('/api/stop'));

  // --- reference ----------------------------------------------------------
  $('ref-save').addEventListener('click', () => {
    state.reference = { name: 'sweep ' + state.sweep.id, points: state.points.map((p) => [p[0], p[1]]) };
    referenceChanged();
  });
  $('ref-clear').addEventListener('click', () => { state.reference = null; referenceChanged(); });
  $('ref-file').addEventListener('change', async () => {
    const file = $('ref-file').files[0];
    $('ref-file').value = '';
    if (!file) return;
    const lines = (await file.text()).split(/\r?\n/);
    if (lines[0] !== 'frequency_hz,level,db') {
      $('ref-msg').textContent = file.name + ' is not a sweep CSV (its first line is not frequency_hz,level,db)';
      return;
    }
    const points = [];
    for (let i = 1; i < lines.length; ++i) {
      if (!lines[i]) continue;
      const cols = lines[i].split(',');
      const f = Number(cols[0]);
      if (cols.length !== 3 || !Number.isInteger(f) || cols[0] === '') {
        $('ref-msg').textContent = file.name + ' line ' + (i + 1) + ': cannot read "' + lines[i].slice(0, 80) + '"';
        return;
      }
      points.push([f, cols[1] === '' ? null : Number(cols[1])]);
    }
    state.reference = { name: file.name, points };
    referenceChanged();
  });
  function referenceChanged() {
    $('ref-state').textContent = state.reference
      ? state.reference.name + ' (' + state.reference.points.length + ' points)'
      : 'full scale (3.6864e10)';
    setAxis();
    buttons();
    if (state.points.length && (!state.sweep || state.sweep.status !== 'running')) analyse();
  }

  // --- kept traces and downloads -------------------------------------------
  $('keep').addEventListener('click', () => {
    const colour = COLOURS[state.nextColour++ % COLOURS.length];
    const name = 'sweep ' + state.sweep.id + (state.reference ? ' vs ' + state.reference.name : '');
    const data = chart.data.datasets[CURRENT].data.map((p) => ({ x: p.x, y: p.y }));
    const dataset = { label: name, data, borderColor: colour, backgroundColor: colour, borderWidth: 1, pointRadius: 0,
                      spanGaps: false };
    chart.data.datasets.push(dataset);
    const li = document.createElement('li');
    const swatch = document.createElement('span');
    swatch.className = 'swatch';
    swatch.style.background = colour;
    const remove = document.createElement('button');
    remove.type = 'button';
    remove.textContent = 'remove';
    remove.setAttribute('aria-label', 'remove ' + name);
    remove.addEventListener('click', () => {
      chart.data.datasets.splice(chart.data.datasets.indexOf(dataset), 1);
      li.remove();
      scheduleRedraw();
    });
    li.append(swatch, document.createTextNode(name), remove);
    $('kept').append(li);
    scheduleRedraw();
  });

  function download(name, url) {
    const a = document.createElement('a');
    a.href = url;
    a.download = name;
    document.body.append(a);
    a.click();
    a.remove();
  }
  $('csv').addEventListener('click', () => {
    const url = URL.createObjectURL(new Blob([state.analysis.csv], { type: 'text/csv' }));
    download('sweep-' + state.sweep.id + '.csv', url);
    setTimeout(() => URL.revokeObjectURL(url), 10000);
  });
  $('png').addEventListener('click', () => download('sweep-' + state.sweep.id + '.png', chart.toBase64Image('image/png')));

  // --- the device ---------------------------------------------------------
  function deviceChanged(d) {
    state.device = d;
    $('dev-dot').className = 'dot ' + (d.connected ? 'on' : 'off');
    $('dev-state').textContent = d.connected ? (d.job ? 'busy: ' + d.job : 'connected') : 'not connected: ' + d.error;
    $('dev-name').textContent = d.device;
    $('dev-id').textContent = d.identification ? 'identification ' + d.identification : '';
    $('dev-xtal').textContent = d.crystal ? 'crystal ' + d.crystal + ' Hz' : '';
    if (d.message) $('dev-msg').textContent = d.message;
    buttons();
  }
  $('cal').addEventListener('click', async () => {
    const { status, data } = await post('/api/cal');
    if (status !== 202) $('dev-msg').textContent = data.error;
  });
  $('off').addEventListener('click', async () => {
    const { status, data } = await post('/api/off');
    if (status !== 202) $('dev-msg').textContent = data.error;
  });
  $('xtal-btn').addEventListener('click', async () => {
    const value = $('xtal').value.trim();
    if (!value) { $('hz-msg').textContent = 'give the crystal frequency you counted'; return; }
    if (!confirm('Store ' + value + ' Hz as the crystal frequency in the tester\'s flash?')) return;
    const { status, data } = await post('/api/xtal', { hz: value });
    $('hz-msg').textContent = status === 202 ? '' : data.error;
  });

  // --- the live stream ----------------------------------------------------
  // Server-sent events, read with fetch so that the token goes in a header
  // and a refusal (too many pages follow the tester already) can be read and
  // shown. A stream that ends or is refused is opened again after 1 s, then
  // 2, 4 ... up to 30 s; one that opens starts the count again.
  const HANDLERS = { state: deviceChanged, sweep: sweepStarted, points: pointsArrived, end: sweepEnded };
  const FIRST_RETRY = 1000, LAST_RETRY = 30000;
  let retry = FIRST_RETRY;

  function notFollowing(text) {
    $('dev-dot').className = 'dot off';
    $('dev-state').textContent = text;
  }

  function dispatch(block) {
    let name = 'message', data = '';
    for (const line of block.split('\n')) {
      if (line.startsWith('event:')) name = line.slice(6).trim();
      else if (line.startsWith('data:')) data += (data ? '\n' : '') + line.slice(5).replace(/^ /, '');
    }
    if (HANDLERS[name] && data) HANDLERS[name](JSON.parse(data));
  }

  // Follows one stream to its end; false when it was refused for good.
  async function follow() {
    const res = await fetch('/api/events', { headers: { 'X-SNT-Token': token }, cache: 'no-store' });
    if (res.status !== 200) {
      let data = {};
      try { data = await res.json(); } catch (e) { data = {}; }
      notFollowing(data.error || 'snt serve refused the live view (' + res.status + ')');
      return res.status !== 401 && res.status !== 403;
    }
    retry = FIRST_RETRY;
    $('dev-dot').classList.remove('off');
    const reader = res.body.getReader();
    const decoder = new TextDecoder();
    let pending = '';
    for (;;) {
      const { done, value } = await reader.read();
      if (done) break;
      pending += decoder.decode(value, { stream: true });
      for (let end = pending.indexOf('\n\n'); end >= 0; end = pending.indexOf('\n\n')) {
        dispatch(pending.slice(0, end));
        pending = pending.slice(end + 2);
      }
    }
    notFollowing('snt serve is not answering');
    return true;
  }

  async function listen() {
    let again = true;
    try {
      again = await follow();
    } catch (e) {
      notFollowing('snt serve is not answering');
    }
    if (!again) return;
    setTimeout(listen, retry);
    retry = Math.min(retry * 2, LAST_RETRY);
  }

  $('readonly').hidden = !!token;
  buttons();
  listen();
  setInterval(progress, 1000);
}());
