// The tester behind snt serve, which owns the port: commands go to its API
// and what happens comes back on its event stream (state, sweep, points,
// end), the same events a LocalSource gives. The stream is read with fetch,
// so that the token goes in a header and a refusal (too many pages follow
// the tester already) can be read and shown; a stream that ends or is
// refused is opened again after 1 s, then 2, 4 ... up to 30 s, and one that
// opens starts the count again.

const FIRST_RETRY = 1000, LAST_RETRY = 30000;

export class ServerSource {
  // analysis: the ServerAnalysis with this run's token; onfollow(text):
  // why the page cannot follow the tester now ('' once it does).
  constructor(analysis, onfollow) {
    this.analysis = analysis;
    this.token = analysis.token;
    this.onfollow = onfollow;
    this.handlers = {};
    this.retry = FIRST_RETRY;
    this.closed = false;
  }

  on(handlers) { this.handlers = handlers; }

  async command(path, body) {
    const { status, data } = await this.analysis.post(path, body);
    if (status === 200 || status === 202) return { ok: true, ...data };
    return { error: data.error || 'refused (' + status + ')', field: data.field };
  }

  connect() {
    this.listen();
    return Promise.resolve('');
  }

  startSweep(settings) { return this.command('api/sweep', settings); }
  stop() { return this.command('api/stop'); }
  calibrate() { return this.command('api/cal'); }
  off() { return this.command('api/off'); }
  storeCrystal(text) { return this.command('api/xtal', { hz: text }); }

  dispatch(block) {
    let name = 'message', data = '';
    for (const line of block.split('\n')) {
      if (line.startsWith('event:')) name = line.slice(6).trim();
      else if (line.startsWith('data:')) data += (data ? '\n' : '') + line.slice(5).replace(/^ /, '');
    }
    if (this.handlers[name] && data) this.handlers[name](JSON.parse(data));
  }

  // Follows one stream to its end; false when it was refused for good.
  async follow() {
    this.controller = new AbortController();
    const res = await fetch('api/events', {
      headers: { 'X-SNT-Token': this.token }, cache: 'no-store', signal: this.controller.signal,
    });
    if (res.status !== 200) {
      let data = {};
      try {
        data = await res.json();
      } catch (e) {
        data = {};
      }
      this.onfollow(data.error || 'snt serve refused the live view (' + res.status + ')');
      return res.status !== 401 && res.status !== 403;
    }
    this.retry = FIRST_RETRY;
    this.onfollow('');
    const reader = res.body.getReader();
    const decoder = new TextDecoder();
    let pending = '';
    for (;;) {
      const { done, value } = await reader.read();
      if (done) break;
      pending += decoder.decode(value, { stream: true });
      for (let end = pending.indexOf('\n\n'); end >= 0; end = pending.indexOf('\n\n')) {
        this.dispatch(pending.slice(0, end));
        pending = pending.slice(end + 2);
      }
    }
    this.onfollow('snt serve is not answering');
    return true;
  }

  async listen() {
    if (this.closed) return;
    let again = true;
    try {
      again = await this.follow();
    } catch (e) {
      if (this.closed) return;
      this.onfollow('snt serve is not answering');
    }
    if (!again || this.closed) return;
    setTimeout(() => this.listen(), this.retry);
    this.retry = Math.min(this.retry * 2, LAST_RETRY);
  }

  async close() {
    this.closed = true;
    if (this.controller) this.controller.abort();
  }
}
