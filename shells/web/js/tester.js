// The tester over a transport: the protocol client of the WebAssembly core
// (Module.Client) driven by a small loop, as snt's Device drives it. The
// loop hands the client what the transport received and its time, sends
// what the client asks for, and waits no longer than the client's
// deadline; every command's failure is the client's, with its message.

export class TesterError extends Error {
  constructor(failure, message) {
    super(message);
    this.failure = failure; // "no-answer", "protocol", "closed", ... or "busy"
  }
}

// Points per `r` command unless the transport says otherwise: Stop takes
// effect after the point in hand, and the tester finishes at most this many
// points meanwhile (0.45 s on a real tester), whose replies are dropped.
export const POINTS_PER_COMMAND = 25;

export class Tester {
  // `M` is the module, `transport` as in transports.js.
  constructor(M, transport) {
    this.client = new M.Client(transport.name);
    this.transport = transport;
  }

  get name() { return this.transport.name; }

  // Makes sure a tester is there: `w`, the identification, a start-up
  // banner on the way. The crystal its banner announced, or null.
  async connect() {
    await this.run(this.client.connect(this.transport.now()));
    return this.client.bannerCrystal();
  }

  identify() { return this.run(this.client.identify(this.transport.now())); }
  off() { return this.run(this.client.off(this.transport.now())); }
  calibrate() { return this.run(this.client.calibrate(this.transport.now())); }
  setCrystal(hz) { return this.run(this.client.setCrystal(this.transport.now(), hz)); }
  setFrequency(hz) { return this.run(this.client.setFrequency(this.transport.now(), hz)); }

  // The plan's points (plan: start, step, points, log; `frequencies` for a
  // log plan); `onPoint(index, level)` hears each, and asks to stop by
  // returning false. The number of points handed on.
  async sweep(plan, onPoint) {
    const now = this.transport.now();
    const perCommand = this.transport.pointsPerCommand || POINTS_PER_COMMAND;
    const started = plan.log
      ? this.client.sweepFrequencies(now, plan.frequencies, perCommand)
      : this.client.sweep(now, plan.start, plan.step, plan.points, perCommand);
    const done = await this.run(started, (e) => {
      if (e.kind === 'point' && onPoint(e.index, e.level) === false) this.client.stop();
    });
    return done.points;
  }

  // Runs the command just started to its end; its `done` event.
  async run(started, onEvent) {
    if (!started) throw new TesterError('busy', 'the device on ' + this.name + ' is still busy with a command');
    try {
      for (;;) {
        for (let e = this.client.nextEvent(); e; e = this.client.nextEvent()) {
          if (e.kind === 'done') return e;
          if (e.kind === 'failed') throw new TesterError(e.failure, e.text);
          if (onEvent) onEvent(e);
        }
        const out = this.client.takeOutput();
        if (out.length) await this.transport.write(out);
        const wake = this.client.wakeAt();
        const bytes = await this.transport.read(wake === null ? this.transport.now() : wake);
        this.client.receive(this.transport.now(), bytes);
      }
    } catch (e) {
      // Whatever ended the wait ends the command too, so the next one
      // starts afresh.
      if (!(e instanceof TesterError)) {
        this.client.abort(e.message);
        while (this.client.nextEvent()) { /* dropped */ }
        this.client.takeOutput();
      }
      throw e;
    }
  }

  async close() {
    this.client.delete();
    await this.transport.close();
  }
}
