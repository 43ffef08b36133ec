// The analysis the page shows, with one face over two implementations of
// the same core code: the WebAssembly module in the page (the static
// site), or snt serve's API (the page it serves has no module). Points are
// [[frequency_hz, level or null], ...] as snt serve sends them.
//
//   check(settings)        {ok: true, start, step, points, stop, log,
//                          seconds, estimate} or {ok: false, error, field}
//   analyse(points, reference, {summary})
//                          {db: [dB or null], texts: ["-3.01 dB at 10.2 MHz"],
//                          summary: {text, max, min, lower_3db, upper_3db,
//                          bandwidth, several_peaks, texts: {...}}, csv};
//                          summary: false leaves out the summary and CSV
//   analyse(points, reference, {summary, job})
//                          job: the bench job's choices ({offset,
//                          reflection, swrLimit, plotSwr, average, marks,
//                          log, reference}) as snt sweep takes them: db as
//                          drawn, overload, atLeast, yLabel, markers and
//                          the summary's text as snt sweep prints it
//   average(sweeps)        the mean of sweeps' levels ([level or null]) in power
//   crystalSearch(options) the adaptive crystal search (Module.CrystalSearch)
//   views                  whether a trace can be read with a job's choices
//                          (both: the module, and snt serve's /api/analyse)
//   jobs                   whether averaging and the crystal search are here
//                          (the module)
//   reference(text, name)  the points of a sweep CSV read as a reference
//   crystalRefusal(text)   why a counted crystal frequency would be refused
//                          ('' when it would not, or only the server knows)
//   fullScale              "full scale (3.6864e10)"
// Refusals reject with an Error carrying the core's message.

function toNumbers(points) {
  const n = points.length;
  const frequencies = new Float64Array(n);
  const levels = new Float64Array(n);
  for (let i = 0; i < n; ++i) {
    frequencies[i] = points[i][0];
    levels[i] = points[i][1] === null ? NaN : points[i][1];
  }
  return { frequencies, levels };
}

export class ModuleAnalysis {
  constructor(M) {
    this.M = M;
    this.fullScale = M.FULL_SCALE_TEXT;
  }

  async check(settings) { return this.M.checkSweep(settings); }

  // Every point's frequency for settings check() accepted.
  frequencies(settings) { return this.M.sweepFrequencies(settings); }

  get views() { return true; }

  get jobs() { return true; }

  async analyse(points, reference, { summary = true, job = null } = {}) {
    const ref = reference ? toNumbers(reference) : null;
    const out = job ? this.M.viewSweep(toNumbers(points), ref, job)
      : this.M.analyseTrace(toNumbers(points), ref, summary);
    out.db = Array.from(out.db, (v) => (Number.isNaN(v) ? null : v));
    if (out.atLeast) out.atLeast = Array.from(out.atLeast, (v) => (Number.isNaN(v) ? null : v));
    return out;
  }

  async average(sweeps) {
    const mean = this.M.averageLevels(sweeps.map((l) => Float64Array.from(l, (v) => (v === null ? NaN : v))));
    return Array.from(mean, (v) => (Number.isNaN(v) ? null : v));
  }

  crystalSearch(options) { return new this.M.CrystalSearch(options); }

  hzText(hz) { return this.M.formatFrequency(hz); }

  // {hz} as snt takes a frequency, or {error}.
  hz(text, what) {
    try {
      return { hz: this.M.parseFrequency(text, what) };
    } catch (e) {
      return { error: e.message };
    }
  }

  crystalRefusal(text) {
    try {
      this.M.parseCrystal(text);
      return '';
    } catch (e) {
      return e.message;
    }
  }

  async reference(text, name) {
    const r = this.M.parseReference(text, name);
    return Array.from(r.frequencies, (f, i) => [f, Number.isNaN(r.levels[i]) ? null : r.levels[i]]);
  }
}

export class ServerAnalysis {
  constructor(token) {
    this.token = token;
    this.fullScale = 'full scale';
  }

  async post(path, body) {
    const headers = { 'Content-Type': 'application/json' };
    if (this.token) headers['X-SNT-Token'] = this.token;
    const res = await fetch(path, { method: 'POST', headers, body: JSON.stringify(body || {}) });
    let data = {};
    try {
      data = await res.json();
    } catch (e) {
      data = { error: 'no answer from snt serve' };
    }
    return { status: res.status, data };
  }

  async init() {
    if (!this.token) return;
    try {
      const res = await fetch('api/state', { headers: { 'X-SNT-Token': this.token }, cache: 'no-store' });
      if (res.ok) this.fullScale = (await res.json()).analysis.full_scale;
    } catch (e) { /* the page says so when it follows the tester */ }
  }

  crystalRefusal() { return ''; }

  // snt serve reads a trace with the bench job's choices (offset, return
  // loss, markers) as the module does; averaging and the crystal search
  // are the module's only (live sweeps and outputs off work here too).
  get views() { return true; }

  get jobs() { return false; }

  hzText(hz) { return hz + ' Hz'; }

  hz() { return { error: 'snt serve does not run the crystal search: open the static site for it' }; }

  async check(settings) {
    const { status, data } = await this.post('api/check', settings);
    if (status === 200) return data;
    return { ok: false, error: data.error || 'snt serve refused the check (' + status + ')' };
  }

  async analyse(points, reference, { summary = true, job = null } = {}) {
    const { status, data } = await this.post('api/analyse', { points, reference, summary, job });
    if (status !== 200) throw new Error(data.error || 'the trace could not be analysed (' + status + ')');
    return data;
  }

  async reference(text, name) {
    const { status, data } = await this.post('api/reference', { text, name });
    if (status !== 200) throw new Error(data.error || name + ' could not be read (' + status + ')');
    return data.points;
  }
}
