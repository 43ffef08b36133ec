// The virtual board as the page's virtual transport reaches it: the
// module's Board with its serial line read in the client's terms (bytes,
// and microseconds of the board's own clock). The page runs it in a Web
// Worker (board_worker.js); Node.js tests and benchmarks use it directly.
// A classic script, so that a worker can importScripts() it.
'use strict';

(function (root) {
  // Wall time a read may go on gathering lines. Each answer costs the page a
  // round trip and a refresh, a few milliseconds in which the board stands
  // idle: at 10 ms a 221-point sweep spent a quarter of its time in them,
  // at 30 ms a tenth, and the trace still moves at over 30 frames a second.
  const BATCH_MS = 30;

  function joined(parts) {
    const bytes = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
    let at = 0;
    for (const p of parts) {
      bytes.set(p, at);
      at += p.length;
    }
    return bytes;
  }

  class BoardHost {
    // `M` is the module (createSnt()).
    constructor(M) {
      this.M = M;
      this.board = null;
      this.perMicrosecond = M.CORE_HZ / 1e6;
    }

    // A new board from the options (as Module.Board takes them) and the
    // chip image's bytes, started as a board powered up before the port
    // is opened: its banner waits to be read. Returns the board's time.
    open(options, image) {
      this.close();
      this.board = new this.M.Board(options, image);
      this.romSeen = 0;
      this.board.runUntilIdle(this.M.CORE_HZ);
      return this.now();
    }

    now() { return Math.floor(this.board.now() / this.perMicrosecond); }

    write(bytes) { this.board.send(bytes); }

    // What the host's port is set to (Web Serial's open() options).
    setLine(line) { this.board.setLine(line); }

    // A board with a rom (options.rom): its bytes when they changed since
    // the last call, else null.
    romIfChanged() {
      const changes = this.board.romChanges();
      if (changes === this.romSeen) return null;
      this.romSeen = changes;
      return this.board.rom();
    }

    // Runs the board until a whole line has come or its clock reaches
    // `until` (microseconds); what came, and the time. While the firmware
    // is still busy with the command (a sweep's points), the lines that
    // follow within a few milliseconds of wall time come in the same
    // answer: one message for many points, and the client, which acts on
    // a sweep's points only when it ends, loses nothing by hearing them
    // together. The board never runs past `until`, so no deadline of the
    // client's passes unseen.
    read(until) {
      const end = until * this.perMicrosecond;
      const ran = () => {
        const left = end - this.board.now();
        return left > 0 && this.board.runUntilLine(left);
      };
      if (!ran()) return { bytes: this.board.takeOutput(), now: this.now() };
      const parts = [this.board.takeOutput()];
      const started = Date.now();
      while (Date.now() - started < BATCH_MS && !this.board.idle() && ran()) parts.push(this.board.takeOutput());
      parts.push(this.board.takeOutput());
      return { bytes: joined(parts), now: this.now() };
    }

    // Runs the board until its clock reaches `until`, whatever comes: for a
    // board paced by a wall clock, as a real one is.
    runTo(until) {
      const left = until * this.perMicrosecond - this.board.now();
      if (left > 0) this.board.runFor(left);
      return { bytes: this.board.takeOutput(), now: this.now() };
    }

    settingsPage() { return this.board.settingsPage(); }
    statistics() { return this.board.statistics(); }

    close() {
      if (this.board) this.board.delete();
      this.board = null;
    }
  }

  if (typeof module === 'object' && module.exports) module.exports = BoardHost;
  else root.BoardHost = BoardHost;
}(typeof self !== 'undefined' ? self : this));
