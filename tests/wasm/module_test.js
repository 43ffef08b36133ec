// The WebAssembly module (shells/wasm) under Node.js, held against the
// native tools of the host build: the chip image, handed over as bytes,
// boots on the module's Cortex-M0 core and answers `w`; a sweep gives the
// same reply bytes as snt-sim --image with the same options; the protocol
// client, driven by the page's own loop over the board, gives the levels
// snt sweep gives; the analysis of a saved sweep is the native core's text,
// and its refusals are the command line's messages.
//
//   node module_test.js --module snt.js --image snt-fw.elf
//        --tools build/host/bin --scratch DIR
"use strict";
const assert = require("node:assert/strict");
const { execFileSync } = require("node:child_process");
const fs = require("node:fs");
const path = require("node:path");
const test = require("node:test");
const { loadBoardHost, sameThreadTransport } = require("../support/page_board.js");

function args() {
  const out = {};
  const argv = process.argv.slice(2);
  for (let i = 0; i + 1 < argv.length; i += 2) out[argv[i].replace(/^--/, "")] = argv[i + 1];
  for (const name of ["module", "image", "tools", "scratch"]) {
    if (!out[name]) throw new Error(`missing --${name}`);
  }
  return out;
}

const opt = args();
const image = fs.readFileSync(opt.image);
fs.mkdirSync(opt.scratch, { recursive: true });

// The module built for Node.js, handed its wasm bytes (it does not fetch a path).
const modulePromise = require(path.resolve(opt.module))({
  wasmBinary: fs.readFileSync(opt.module.replace(/\.js$/, ".wasm")),
});

const latin1 = (bytes) => Buffer.from(bytes).toString("latin1");
const sim = (argv, input) => execFileSync(path.join(opt.tools, "snt-sim"), argv, { input, encoding: "latin1" });

// One session on the module: the lines sent as snt-sim sends its standard
// input, each when the firmware waits idle, until all are answered.
function session(M, options, lines) {
  const board = new M.Board(options, image);
  try {
    assert.ok(board.runUntilIdle(M.CORE_HZ), "start-up reaches the main loop");
    board.queueLines(lines);
    assert.ok(board.runUntilIdle(60 * M.CORE_HZ), "every line is answered");
    return { out: latin1(board.takeOutput()), now: board.now(), stats: board.statistics() };
  } finally {
    board.delete();
  }
}

test("the chip image boots and answers w", async () => {
  const M = await modulePromise;
  const { out } = session(M, {}, "w\r");
  assert.equal(out, "25000000\r1.3;VORN\r1.3;VORN\r");
});

test("a sweep gives the bytes snt-sim gives on the same options", async () => {
  const M = await modulePromise;
  const lines = "w\rf 10200000\rr 50000 20\r";
  const { out, stats } = session(M, { dut: "bandpass:10.7M:1M", seed: 7 }, lines);
  const native = sim(["--image", opt.image, "--dut", "bandpass:10.7M:1M", "--seed", "7", "--stats"], lines);
  assert.equal(out, native);
  assert.equal(out.split("\r").length - 1, 3 + 20, "banner, two identifications, 20 levels");
  assert.match(stats, /^adc\.overruns 0$/m);
});

test("a device from a Touchstone text and a settings page both come in as bytes", async () => {
  const M = await modulePromise;
  const s2p = "# MHz S DB R 50\n1 0 0 -20 0 0 0 0 0\n20 0 0 -20 0 0 0 0 0\n";
  const file = path.join(opt.scratch, "flat.s2p");
  fs.writeFileSync(file, s2p);
  const lines = "f 7000000\rr 1000 3\r";
  const { out } = session(M, { dut: "touchstone:flat.s2p", touchstone: s2p, noise: 0 }, lines);
  const native = sim(["--image", opt.image, "--dut", "touchstone:" + file, "--noise", "0"], lines);
  // Below full scale the module's levels and snt-sim's part in the last
  // digits (0.13 per mille at -20 dB without noise, more with it, whereas
  // full-scale levels agree to the bit): held within 0.2 per mille
  // (0.001 dB) until that is explained.
  const levels = (text) => text.split("\r").slice(2, -1).map(Number);
  assert.equal(out.split("\r").slice(0, 2).join(), native.split("\r").slice(0, 2).join());
  assert.equal(levels(out).length, 3);
  levels(out).forEach((l, i) => assert.ok(Math.abs(l / levels(native)[i] - 1) < 2e-4, `${l}, snt-sim ${levels(native)[i]}`));

  // The crystal stored with x is in the page the module hands back, and a
  // board started from that page announces it.
  const board = new M.Board({}, image);
  board.runUntilIdle(M.CORE_HZ);
  board.queueLines("x 26000000\r");
  board.runUntilIdle(M.CORE_HZ);
  const page = board.settingsPage();
  board.delete();
  assert.equal(page.length, 1024);
  const again = session(M, { settings: page }, "w\r");
  assert.ok(again.out.startsWith("26000000\r"), again.out);
  assert.throws(() => new M.Board({ settings: new Uint8Array(10) }, image), /settings: a page has exactly 1024/);
});

test("the board's clock moves on with every run, however short, a flash write's stall included", async () => {
  const M = await modulePromise;
  const board = new M.Board({}, image);
  board.runUntilIdle(M.CORE_HZ);
  board.takeOutput();
  board.send(new TextEncoder().encode("x 25000123\r"));
  // 50 ms in runs of 100 cycles, as a client whose deadline is near asks.
  const start = board.now();
  let last = start;
  for (let i = 0; i < 4000; ++i) {
    board.runUntilLine(100);
    board.takeOutput();
    assert.ok(board.now() > last, `run ${i} left the clock at ${last}`);
    last = board.now();
  }
  assert.ok(last - start >= 400000, `${last - start} cycles`);
  assert.match(board.statistics(), /^flash\.stall_cycles [1-9]/m);
  board.delete();
});

test("what the board refuses comes back as an Error with its message", async () => {
  const M = await modulePromise;
  assert.throws(() => new M.Board({ dut: "cable" }, image), /unknown device under test "cable"/);
  assert.throws(() => new M.Board({ dut: "touchstone:f.s3p", touchstone: "" }, image), /only two-port files/);
  assert.throws(() => new M.Board({}, new Uint8Array(8)), /the chip image: the ELF header lies outside the file/);
  const board = new M.Board({}, image);
  assert.throws(() => board.runFor(-1), /cycles/);
  board.delete();
});

// A sweep saved by snt on the same board and seed.
function savedSweep(name, dut, seed, board = []) {
  const csv = path.join(opt.scratch, name);
  execFileSync(path.join(opt.tools, "snt"),
    ["--dut", dut, "--seed", String(seed), ...board, "sweep", "--start", "5M", "--stop", "16M", "--points", "221",
      "--csv", csv], { stdio: "ignore" });
  const rows = fs.readFileSync(csv, "utf8").trim().split("\n").slice(1).map((l) => l.split(","));
  const number = (field) => (field === "" ? NaN : Number(field));
  return { csv, frequencies: rows.map((r) => Number(r[0])), levels: rows.map((r) => number(r[1])) };
}

test("the analysis of a saved sweep is the native core's, summary, readouts and CSV", async () => {
  const M = await modulePromise;
  const saved = savedSweep("bandpass.csv", "bandpass:10.7M:1M", 7);
  const expected = execFileSync(path.join(opt.tools, "saved_summary"), [saved.csv], { encoding: "utf8" });
  const a = M.analyseTrace({ frequencies: saved.frequencies, levels: saved.levels }, null, true);
  assert.match(expected, /-3 dB bandwidth/);
  assert.equal(a.summary.text, expected);
  assert.equal(a.csv, fs.readFileSync(saved.csv, "utf8"));
  assert.equal(a.texts.length, 221);
  assert.ok(a.summary.text.startsWith("maximum " + a.summary.texts.max + "\n"), a.summary.texts.max);
  // Against itself as the reference: 0 dB everywhere it has a level.
  const self = M.analyseTrace(saved, M.parseReference(fs.readFileSync(saved.csv, "utf8"), "bandpass.csv"), false);
  assert.ok(Array.from(self.db).every((d) => Number.isNaN(d) || Math.abs(d) < 1e-9));
  assert.equal(self.summary, undefined);
});

test("refusals are the command line's messages", async () => {
  const M = await modulePromise;
  const cases = [
    [{ start: "5M", stop: "1M", points: "10" }, "stop", "the stop frequency is below the start frequency"],
    [{ start: "5Q", stop: "16M", points: "10" }, "start", "--start"],
    [{ start: "5M", stop: "16M", points: "10", step: "1k" }, "points", "give either --points or --step, not both"],
    [{ start: "5M", stop: "16M", step: "1k", scale: "log" }, "step", "--log spaces the points by a ratio"],
  ];
  for (const [settings, field, message] of cases) {
    const c = M.checkSweep(settings);
    assert.equal(c.ok, false, JSON.stringify(settings));
    assert.equal(c.field, field);
    assert.ok(c.error.includes(message), c.error);
  }
  const ok = M.checkSweep({ start: "5M", stop: "16M", points: "221" });
  assert.deepEqual([ok.ok, ok.start, ok.step, ok.points, ok.stop, ok.log], [true, 5e6, 50e3, 221, 16e6, false]);
  assert.equal(M.sweepFrequencies({ start: "1M", stop: "100M", points: "3", scale: "log" }).join(), "1000000,10000000,100000000");
  assert.match(M.checkBoard({ dut: "crystal:10M" }), /crystal/);
  assert.equal(M.checkBoard({ dut: "crystal:10M:50000" }), "");
  assert.match(M.checkBoard({ dut: "touchstone:a.s2p", touchstone: "# MHz S XX R 50\n" }), /a\.s2p/);
  assert.throws(() => M.parseReference("f,l,d\n", "thru.csv"), /thru\.csv is not a sweep CSV/);
  assert.throws(() => M.analyseTrace({ frequencies: [1], levels: [-1] }, null, true), /the trace point 1: the level is below 0/);
  assert.throws(() => M.parseCrystal("2M"), /crystal/);
  assert.equal(M.parseCrystal("25.000123M"), 25000123);
  assert.equal(M.parseFrequency("10.7M", "--start"), 10700000);
  assert.equal(M.formatFrequency(10700000), "10.7 MHz");
  assert.equal(M.FULL_SCALE_TEXT, "full scale (3.6864e10)");
});

test("the client over the page's loop sweeps the board as snt sweep does", async () => {
  const M = await modulePromise;
  const { Tester } = await import(path.resolve(__dirname, "../../shells/web/js/tester.js"));
  const host = new (loadBoardHost())(M);
  const transport = sameThreadTransport(host, host.open({ dut: "bandpass:10.7M:1M", noise: 0 }, image), 250);
  const tester = new Tester(M, transport);
  assert.equal(await tester.connect(), 25000000);
  const plan = M.checkSweep({ start: "5M", stop: "16M", points: "221" });
  const levels = [];
  transport.reads = 0;
  assert.equal(await tester.sweep(plan, (i, level) => { levels[i] = level; }), 221);
  // The points of one command come many to a read, as the page's worker
  // answers them.
  assert.ok(transport.reads < 221 / 4, `${transport.reads} reads for 221 points`);
  assert.equal(transport.overran, null);
  // The same filter measured by snt: the levels as close as two sweeps of
  // the board come (where in the beat each measurement starts depends on
  // the commands before it), within 0.05 dB.
  const saved = savedSweep("client.csv", "bandpass:10.7M:1M", 7, ["--noise", "0"]);
  assert.equal(levels.length, saved.levels.length);
  levels.forEach((l, i) => {
    const db = 10 * Math.log10(l / saved.levels[i]);
    assert.ok(Math.abs(db) < 0.05, `point ${i}: ${l}, snt ${saved.levels[i]} (${db.toFixed(3)} dB)`);
  });

  // Stop: the sweep ends at the point in hand, and the next command runs.
  let n = 0;
  const done = await tester.sweep(plan, () => ++n < 10);
  assert.ok(done >= 10 && done < 221, String(done));
  await tester.identify();
  // A board that says nothing is no tester: the client's message, in time.
  const silent = { ...transport, async write() {}, async read(until) { this.clock = until; return new Uint8Array(0); } };
  const mute = new Tester(M, silent);
  await assert.rejects(mute.connect(), (e) => e.failure === "no-answer" && /the virtual board/.test(e.message));
  await tester.close();
});

// The flashing job driven in the board's own time, as the page's loop
// drives it over a port: what it ended with, and the events.
function flashOnBoard(M, board, job) {
  const us = () => board.now() / (M.CORE_HZ / 1e6);
  const events = [];
  job.start(us());
  while (job.running()) {
    const out = job.takeOutput();
    if (out.length) board.send(out);
    const wake = job.wakeAt();
    const left = (wake === null ? us() : wake) * (M.CORE_HZ / 1e6) - board.now();
    if (left > 0) board.runUntilOutput(left);
    const got = board.takeOutput();
    if (got.length) job.receive(us(), got);
    else job.wake(us());
    for (let e = job.nextEvent(); e; e = job.nextEvent()) events.push(e);
  }
  for (let e = job.nextEvent(); e; e = job.nextEvent()) events.push(e);
  return events;
}

test("the flashing client writes an image through the board's bootloader, which then runs it from the rom", async () => {
  const M = await modulePromise;
  const bin = fs.readFileSync(opt.image.replace(/\.elf$/, ".bin"));
  const patched = Buffer.from(latin1(bin).replace("1.3;VORN", "9.9;TEST"), "latin1");
  const rom = new Uint8Array(16384).fill(0xff);
  rom.set([0x12, 0x34], 15 * 1024); // something in the settings page
  const board = new M.Board({ boot0: true, rom }, image);
  try {
    board.setLine({ baudRate: 115200, dataBits: 8, parity: "even", stopBits: 1 });
    const job = new M.FlashJob("patched.bin", patched, {});
    assert.match(job.describe(), /^raw binary image, \d+ bytes at 0x08000000 \(pages 0 to \d+\)$/);
    const events = flashOnBoard(M, board, job);
    const last = events[events.length - 1];
    assert.equal(last.kind, "finished", JSON.stringify(last));
    assert.equal(job.chipId(), 0x444);
    assert.ok(events.some((e) => e.kind === "progress" && e.step === "verify" && e.done === patched.length));
    job.delete();
    const kept = board.rom();
    assert.deepEqual(Buffer.from(kept.slice(0, patched.length)), patched);
    assert.deepEqual([...kept.slice(15 * 1024, 15 * 1024 + 2)], [0x12, 0x34], "the settings page is kept");
    board.setLine({ baudRate: 115200, dataBits: 8, parity: "none", stopBits: 1 });
    board.send(new TextEncoder().encode("w\r"));
    board.runFor(M.CORE_HZ / 2);
    assert.match(latin1(board.takeOutput()), /9\.9;TEST\r$/);
  } finally {
    board.delete();
  }

  // A port left at 8N1: 0x7F, odd in its ones, passes (the stop bit falls
  // where its even parity bit belongs), but Get's 0x00 arrives with a
  // parity error, and the bootloader never answers it.
  const wrong = new M.Board({ boot0: true, rom: new Uint8Array(16384).fill(0xff) }, image);
  try {
    wrong.setLine({ baudRate: 115200, dataBits: 8, parity: "none", stopBits: 1 });
    const job = new M.FlashJob("snt-fw.elf", image, {});
    const events = flashOnBoard(M, wrong, job);
    job.delete();
    assert.equal(events[events.length - 1].kind, "failed");
    assert.match(events[events.length - 1].message, /^get: no answer from the bootloader; nothing was erased/);
  } finally {
    wrong.delete();
  }
});

test("an image the flashing client refuses gets snt flash's message", async () => {
  const M = await modulePromise;
  for (const [name, bytes] of [["empty.bin", new Uint8Array(0)], ["large.bin", new Uint8Array(20000)],
    ["bad.hex", new TextEncoder().encode(":0400000001020304F0\n")]]) {
    const file = path.join(opt.scratch, name);
    fs.writeFileSync(file, bytes);
    let said = "";
    try {
      execFileSync(path.join(opt.tools, "snt"), ["--port", "/dev/null", "flash", file], { encoding: "latin1", stdio: "pipe" });
    } catch (e) {
      assert.equal(e.status, 2);
      said = e.stderr.trim();
    }
    const why = M.checkImage(name, bytes);
    assert.ok(why !== "", name);
    assert.equal(said, `snt: flash: ${file}: ${why}`);
    assert.throws(() => new M.FlashJob(name, bytes, {}), (e) => e.message === why);
  }
  assert.equal(M.checkImage("snt-fw.elf", image), "");
});
