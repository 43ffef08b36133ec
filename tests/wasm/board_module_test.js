// The board's WebAssembly module (shells/wasm) under Node.js, held against
// the native tools of the host build: the chip image, handed over as bytes,
// boots on the module's Cortex-M0 core and answers `w`; a sweep gives the
// same reply bytes as snt-sim --image with the same options; the core's
// summary of a saved sweep is the same text as the native core's.
//
//   node board_module_test.js --module snt_board.js --image snt-fw.elf
//        --tools build/host/bin --scratch DIR
"use strict";
const assert = require("node:assert/strict");
const { execFileSync } = require("node:child_process");
const fs = require("node:fs");
const path = require("node:path");
const test = require("node:test");

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
  const { out } = session(M, { dut: "touchstone:flat.s2p", touchstone: s2p, seed: 3 }, lines);
  const native = sim(["--image", opt.image, "--dut", "touchstone:" + file, "--seed", "3"], lines);
  assert.equal(out, native);

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

test("what the board refuses comes back as an Error with its message", async () => {
  const M = await modulePromise;
  assert.throws(() => new M.Board({ dut: "cable" }, image), /unknown device under test "cable"/);
  assert.throws(() => new M.Board({ dut: "touchstone:f.s3p", touchstone: "" }, image), /only two-port files/);
  assert.throws(() => new M.Board({}, new Uint8Array(8)), /the chip image: the ELF header lies outside the file/);
  const board = new M.Board({}, image);
  assert.throws(() => board.runFor(-1), /cycles/);
  board.delete();
});

test("the summary of a saved sweep is the native core's text", async () => {
  const M = await modulePromise;
  const csv = path.join(opt.scratch, "bandpass.csv");
  execFileSync(
    path.join(opt.tools, "snt"),
    ["--dut", "bandpass:10.7M:1M", "--seed", "7", "sweep", "--start", "5M", "--stop", "16M", "--points", "221", "--csv", csv],
    { stdio: "ignore" },
  );
  const expected = execFileSync(path.join(opt.tools, "saved_summary"), [csv], { encoding: "utf8" });
  const rows = fs.readFileSync(csv, "utf8").trim().split("\n").slice(1).map((l) => l.split(","));
  const number = (field) => (field === "" ? NaN : Number(field));
  const text = M.summary(rows.map((r) => Number(r[0])), rows.map((r) => number(r[1])), rows.map((r) => number(r[2])));
  assert.match(expected, /-3 dB bandwidth/);
  assert.equal(text, expected);
});
