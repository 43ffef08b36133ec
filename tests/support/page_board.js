// The page's virtual board without its worker, for Node.js tests and
// benchmarks: board_host.js loaded as the worker loads it (a classic
// script), and the transport the worker gives the page (transports.js's
// VirtualTransport), over the board in the same thread. The transport
// counts its reads and notes a read whose board ran past its `until`.
"use strict";
const fs = require("node:fs");
const path = require("node:path");

const root = path.join(__dirname, "..", "..");
// A core idling in a polling loop skips to just before the board's next
// event, which may lie a little past a run's limit (nothing can happen in
// between): a read may end that much late, never the milliseconds of a
// batch that ran on.
const IDLE_SKIP_US = 1000;

function loadBoardHost() {
  const module = { exports: {} };
  const file = path.join(root, "shells/web/js/board_host.js");
  new Function("self", "module", fs.readFileSync(file, "utf8"))({}, module);
  return module.exports;
}

function sameThreadTransport(host, clock, pointsPerCommand) {
  return {
    name: "the virtual board",
    pointsPerCommand,
    clock,
    reads: 0,
    overran: null,
    now() { return this.clock; },
    async write(bytes) { host.write(bytes); },
    async read(until) {
      const r = host.read(until);
      if (r.now > Math.max(until, this.clock) + IDLE_SKIP_US && !this.overran) {
        this.overran = `read to ${until} ran on to ${r.now}`;
      }
      this.clock = r.now;
      ++this.reads;
      return r.bytes;
    },
    async close() { host.close(); },
  };
}

module.exports = { loadBoardHost, sameThreadTransport };
