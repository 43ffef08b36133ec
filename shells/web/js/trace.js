// The current trace: the sweep the tester runs or ran last, its points as
// they came, their dB and readouts as the analysis gives them (live, a few
// at a time, then the whole trace with its summary and CSV once the sweep
// has ended), and the reference they are taken against. Panels hear
// `onchange(what)`: "sweep" (a new one), "live" (more points), "end",
// "analysed", "reference", "refused" (the analysis refused: `refusal`).

export class Trace {
  constructor(analysis, onchange) {
    this.analysis = analysis;
    this.onchange = onchange;
    this.sweep = null;     // {id, status, plan, message}
    this.points = [];      // [[frequency_hz, level or null], ...]
    this.db = [];          // dB of each point so far, or null
    this.texts = [];       // readout of each point so far
    this.started = 0;      // when the first point came (ms), for the time left
    this.result = null;    // the whole trace's analysis, once ended
    this.refusal = '';
    this.reference = null; // {name, points}
    this.live = null;      // the live analysis in flight
    this.generation = 0;   // a new sweep or reference makes answers in flight stale
    this.job = null;       // the bench job's choices (analysis.js), or null
    this.marks = [];       // marker frequencies the user placed, in order
    this.progress = null;  // {done, total} of a job of several sweeps
  }

  // The analysis' options for the whole trace, or for points as they come.
  jobOptions(whole) {
    if (!this.job) return null;
    const o = { ...this.job, log: !!(this.sweep && this.sweep.plan.log),
      reference: this.reference ? this.reference.name : '' };
    o.marks = whole ? this.marks.slice() : [];
    return o;
  }

  // Markers: placed, removed, read again on the trace there is.
  setMarks(marks) {
    this.marks = marks;
    if (this.points.length && !this.running()) this.analyse();
  }

  setJob(job) {
    this.job = job;
    this.onchange('reference');
    if (this.points.length && !this.running()) this.analyse();
  }

  progressed(msg) {
    if (!this.sweep || msg.sweep !== this.sweep.id) return;
    if (!this.started) this.started = performance.now();
    this.progress = { done: msg.done, total: msg.total };
    this.onchange('live');
  }

  running() { return !!this.sweep && this.sweep.status === 'running'; }

  begin(sweep) {
    this.sweep = sweep;
    this.points = [];
    this.db = [];
    this.texts = [];
    this.started = 0;
    this.result = null;
    this.refusal = '';
    this.progress = null;
    ++this.generation;
    this.onchange('sweep');
  }

  add(msg) {
    if (!this.sweep || msg.sweep !== this.sweep.id || msg.first !== this.points.length) return;
    if (!this.started) this.started = performance.now();
    for (const p of msg.points) this.points.push(p);
    this.follow();
  }

  end(sweep) {
    if (!this.sweep || sweep.id !== this.sweep.id) return;
    this.sweep = sweep;
    this.onchange('end');
    if (this.points.length) this.analyse();
  }

  // The reference's points where they fit the current sweep point for
  // point, else null (dB against full scale).
  fittingReference(from, to) {
    const ref = this.reference;
    if (!ref || !this.sweep || ref.points.length !== this.sweep.plan.points) return null;
    return ref.points.slice(from, to);
  }

  // The dB of the points that have none yet, one request at a time.
  follow() {
    if (this.live) {
      this.again = true;
      return;
    }
    const generation = this.generation;
    const from = this.db.length, to = this.points.length;
    if (from >= to) return;
    const slice = this.points.slice(from, to);
    const job = this.jobOptions(false);
    this.live = this.analysis.analyse(slice, this.fittingReference(from, to), { summary: false, job })
      .catch(() => this.analysis.analyse(slice, null, { summary: false }))
      .then((a) => {
        if (generation !== this.generation || this.result) return;
        for (let i = 0; i < a.db.length; ++i) {
          this.db.push(a.db[i]);
          this.texts.push(a.texts[i]);
        }
        this.onchange('live');
      })
      .catch(() => {})
      .finally(() => {
        this.live = null;
        if (this.again) {
          this.again = false;
          this.follow();
        }
      });
  }

  // The whole trace against the reference (or full scale), with the summary
  // and the CSV.
  async analyse() {
    const generation = ++this.generation;
    const points = this.points.slice();
    const reference = this.reference ? this.reference.points : null;
    try {
      const a = await this.analysis.analyse(points, reference, { job: this.jobOptions(true) });
      if (generation !== this.generation) return;
      this.result = a;
      this.refusal = '';
      this.db = a.db.slice();
      this.texts = a.texts.slice();
      this.onchange('analysed');
    } catch (e) {
      if (generation !== this.generation) return;
      this.result = null;
      this.refusal = e.message || 'the trace could not be analysed';
      this.onchange('refused');
    }
  }

  setReference(reference) {
    this.reference = reference;
    this.onchange('reference');
    if (this.points.length && !this.running()) this.analyse();
  }
}
