// The tester the page talks to itself (a serial port, or the virtual board
// in a worker), run as snt serve's controller runs its own: one job at a
// time, the device's state, the latest sweep's points, an idle device asked
// for its identification every 0.4 s so that a lost one shows. It tells the
// page in the events snt serve's stream carries, so the panels cannot tell
// the two apart:
//   state   {connected, identification, crystal, error, job, message, device}
//   sweep   {id, status: "running", plan}
//   points  {sweep, first, points: [[frequency_hz, level or null], ...]}
//   end     {id, status: "done" | "stopped" | "failed", message, plan}
// Commands answer {ok: true}, or {error, field} when refused.

import { Tester } from './tester.js';

const CHECK_EVERY_MS = 400;
const RECONNECT_EVERY_MS = 1000;

const CAL_MESSAGE = 'All three outputs now carry the crystal frequency. Count one of them, then store what it reads.';

export class LocalSource {
  // M: the module; analysis: ModuleAnalysis; open: async () => a transport;
  // device: what the page calls it; reconnect: try `open` again every
  // second after the tester is lost (the virtual board).
  constructor({ M, analysis, open, device, reconnect = false }) {
    this.M = M;
    this.analysis = analysis;
    this.open = open;
    this.reconnect = reconnect;
    this.tester = null;
    this.handlers = {};
    this.state = { connected: false, identification: '', crystal: null, error: '', job: '', message: '', device };
    this.sweep = { id: 0, status: 'done', message: '', plan: null };
    this.stopRequested = false;
    this.closed = false;
    this.chain = Promise.resolve();
    this.timer = setInterval(() => this.idle(), CHECK_EVERY_MS);
    this.lastTry = 0;
  }

  on(handlers) { this.handlers = handlers; }

  emit(name, data) {
    if (this.handlers[name]) this.handlers[name](data);
  }

  changed() { this.emit('state', { ...this.state }); }

  // One thing at a time on the tester, in order.
  serial(fn) {
    const run = this.chain.then(fn);
    this.chain = run.catch(() => {});
    return run;
  }

  // Opens the transport and makes sure a tester is on it. The message of a
  // failure (also in the state), or ''.
  connect() {
    return this.serial(async () => {
      if (this.closed || this.tester) return '';
      this.lastTry = performance.now();
      let transport = null;
      try {
        transport = await this.open();
        const tester = new Tester(this.M, transport);
        transport.onlost = (e) => { if (!this.state.job) this.lost(e.message); };
        const crystal = await tester.connect();
        if (this.closed) {
          await tester.close();
          return '';
        }
        this.tester = tester;
        Object.assign(this.state, { connected: true, identification: this.M.IDENTIFICATION, error: '' });
        if (crystal !== null) this.state.crystal = crystal;
        this.changed();
        return '';
      } catch (e) {
        if (transport) await transport.close().catch(() => {});
        Object.assign(this.state, { connected: false, error: e.message, job: '' });
        this.changed();
        return e.message;
      }
    });
  }

  lost(why) {
    const tester = this.tester;
    this.tester = null;
    if (tester) tester.close().catch(() => {});
    Object.assign(this.state, { connected: false, error: why, job: '' });
    if (this.sweep.status === 'running') {
      Object.assign(this.sweep, { status: 'failed', message: why });
      this.emit('end', { ...this.sweep });
    }
    this.changed();
  }

  idle() {
    if (this.closed || this.state.job || this.checking) return;
    if (!this.tester) {
      if (this.reconnect && performance.now() - this.lastTry >= RECONNECT_EVERY_MS) this.connect();
      return;
    }
    this.checking = true;
    this.serial(async () => {
      if (!this.tester || this.state.job) return;
      try {
        await this.tester.identify();
      } catch (e) {
        this.lost(e.message);
      }
    }).finally(() => { this.checking = false; });
  }

  // Starts a job unless the tester is away or busy; `fn` runs on it.
  job(name, fn) {
    if (!this.tester || this.closed) return { error: 'the tester is not connected' };
    if (this.state.job) return { error: 'busy: the tester is already running a job; wait for it or stop it' };
    this.state.job = name;
    this.state.message = '';
    this.changed();
    this.serial(async () => {
      try {
        if (!this.tester) throw new Error(this.state.error || 'the tester is not connected');
        const message = await fn(this.tester);
        if (!this.tester) return;
        this.state.job = '';
        if (message) this.state.message = message;
        this.changed();
      } catch (e) {
        this.lost(e.message);
      }
    });
    return { ok: true };
  }

  // options.average: that many sweeps, their mean in power (the
  // analysis'), with `progress` events over all of them and the mean's
  // points at the end.
  async startSweep(settings, options = {}) {
    const plan = await this.analysis.check(settings);
    if (!plan.ok) return { error: plan.error, field: plan.field };
    const frequencies = this.analysis.frequencies(settings);
    const n = Math.max(1, Math.floor(Number(options.average) || 1));
    const started = this.job('sweep', async (tester) => {
      const id = this.sweep.id;
      const sweeps = [];
      let done = plan.points;
      // The points that came together go on together: the trace, its
      // analysis and the panels follow once per batch, not once per point.
      let batch = null;
      const flush = () => {
        if (batch) this.emit('points', batch);
        batch = null;
      };
      for (let k = 0; k < n && done === plan.points && !this.stopRequested; ++k) {
        const levels = [];
        done = await tester.sweep({ ...plan, frequencies }, (index, level) => {
          levels.push(level);
          if (n === 1) {
            if (!batch) {
              batch = { sweep: id, first: index, points: [] };
              queueMicrotask(flush);
            }
            batch.points.push([frequencies[index], level]);
          } else {
            this.emit('progress', { sweep: id, done: k * plan.points + levels.length, total: n * plan.points });
          }
          return !this.stopRequested;
        });
        flush();
        if (done === plan.points) sweeps.push(levels);
      }
      if (n > 1 && sweeps.length) {
        const mean = await this.analysis.average(sweeps);
        this.emit('points', { sweep: id, first: 0, points: mean.map((l, i) => [frequencies[i], l]) });
      }
      const whole = n === 1 ? done === plan.points : sweeps.length === n;
      Object.assign(this.sweep, { status: whole ? 'done' : 'stopped', average: n, averaged: sweeps.length });
      this.emit('end', { ...this.sweep });
      return '';
    });
    if (started.ok) {
      this.stopRequested = false;
      this.sweep = { id: this.sweep.id + 1, status: 'running', message: '', plan };
      this.emit('sweep', { ...this.sweep });
    }
    return started;
  }

  // snt crystal's search for one crystal (options: nominal, fixture,
  // parallel): each of its sweeps shown as a sweep, `crystal` events
  // {stage, outcome, csv} as it goes and at its end.
  crystal(options) {
    let search;
    try {
      search = this.analysis.crystalSearch(options);
    } catch (e) {
      return { error: e.message, field: 'nominal' };
    }
    const started = this.job('crystal', async (tester) => {
      try {
        for (let plan = search.nextSweep(); plan && !this.stopRequested; plan = search.nextSweep()) {
          this.emit('crystal', { stage: search.stage(), outcome: null });
          this.sweep = { id: this.sweep.id + 1, status: 'running', message: '', plan };
          this.emit('sweep', { ...this.sweep });
          const id = this.sweep.id, f = plan.frequencies, levels = [];
          const done = await tester.sweep(plan, (index, level) => {
            levels.push(level);
            this.emit('points', { sweep: id, first: index, points: [[f[index], level]] });
            return !this.stopRequested;
          });
          Object.assign(this.sweep, { status: done < plan.points ? 'stopped' : 'done' });
          this.emit('end', { ...this.sweep });
          if (done < plan.points) break;
          search.feed(Float64Array.from(levels, (v) => (v === null ? NaN : v)));
        }
        const finished = search.done();
        this.emit('crystal', { stage: finished ? 'done' : 'stopped', outcome: finished ? search.outcome() : null,
          csv: finished ? search.csvRow('X1') : '' });
        return '';
      } finally {
        search.delete();
      }
    });
    if (started.ok) this.stopRequested = false;
    else search.delete();
    return started;
  }

  stop() {
    if (this.sweep.status !== 'running' && this.state.job !== 'crystal') return false;
    this.stopRequested = true;
    return true;
  }

  calibrate() {
    return this.job('cal', async (tester) => {
      await tester.calibrate();
      return CAL_MESSAGE;
    });
  }

  off() {
    return this.job('off', async (tester) => {
      await tester.off();
      return 'all outputs off';
    });
  }

  storeCrystal(text) {
    let hz = 0;
    try {
      hz = this.M.parseCrystal(text);
    } catch (e) {
      return { error: e.message, field: 'hz' };
    }
    return this.job('xtal', async (tester) => {
      await tester.setCrystal(hz);
      this.state.crystal = hz;
      return 'crystal frequency ' + hz + ' Hz stored and in use';
    });
  }

  async close() {
    this.closed = true;
    clearInterval(this.timer);
    this.stopRequested = true;
    const tester = this.tester;
    this.tester = null;
    if (tester) await tester.close().catch(() => {});
    // A connect under way lets go of its port too before this returns, so
    // that whoever comes next (a firmware update) can open it.
    await this.chain;
  }
}
