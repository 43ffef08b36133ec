// A sweep on the chip image in the board's WebAssembly module under Node.js:
// simulated seconds against wall seconds, as sweep_bench does natively.
//
//   node bench/wasm_sweep_bench.js [points] [build/wasm/shells/wasm/snt.js] [snt-fw.elf]
"use strict";
const fs = require("node:fs");
const path = require("node:path");

const root = path.join(__dirname, "..");
const points = Number(process.argv[2] || 1000);
const modulePath = path.resolve(process.argv[3] || path.join(root, "build/wasm/shells/wasm/snt.js"));
const imagePath = process.argv[4] || path.join(root, "build/chip/firmware/snt-fw.elf");

require(modulePath)({ wasmBinary: fs.readFileSync(modulePath.replace(/\.js$/, ".wasm")) }).then((M) => {
  const board = new M.Board({ dut: "thru" }, fs.readFileSync(imagePath));
  // Start-up, then the measurement it starts.
  board.runUntilIdle(M.CORE_HZ);
  board.runFor(M.CORE_HZ / 25);
  board.runUntilIdle(M.CORE_HZ);
  board.queueLines(`f 1000000\rr 10000 ${points}\r`);
  const wallStart = process.hrtime.bigint();
  const start = board.now();
  if (!board.runUntilIdle(3600 * M.CORE_HZ)) throw new Error("the sweep did not finish");
  const wall = Number(process.hrtime.bigint() - wallStart) / 1e9;
  const simulated = (board.now() - start) / M.CORE_HZ;
  const lines = Buffer.from(board.takeOutput()).toString("latin1").split("\r").length - 1;
  console.log(
    `chip image in WebAssembly (Node.js ${process.version}): sweep of ${points} points (${lines} lines): ` +
      `simulated ${simulated.toFixed(3)} s, wall ${wall.toFixed(3)} s, ${(simulated / wall).toFixed(1)} times faster than the device`,
  );
  process.stdout.write(board.statistics());
  board.delete();
});
