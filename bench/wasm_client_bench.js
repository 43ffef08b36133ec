// The page's sweep on the virtual board without the page: the protocol
// client of the WebAssembly module driven by the page's own loop
// (shells/web/js/tester.js) over the board in the same thread
// (board_host.js), under Node.js. Prints the wall time of each 221-point
// sweep from 5 to 16 MHz, as the page runs it; the first one includes the
// JIT's warming up.
//
//   node bench/wasm_client_bench.js [runs] [build/wasm/shells/wasm/snt.js] [snt-fw.elf]
"use strict";
const fs = require("node:fs");
const path = require("node:path");
const { loadBoardHost, sameThreadTransport } = require("../tests/support/page_board.js");

const root = path.join(__dirname, "..");
const runs = Number(process.argv[2] || 5);
const modulePath = path.resolve(process.argv[3] || path.join(root, "build/wasm/shells/wasm/snt.js"));
const imagePath = process.argv[4] || path.join(root, "build/chip/firmware/snt-fw.elf");

async function main() {
  const M = await require(modulePath)({ wasmBinary: fs.readFileSync(modulePath.replace(/\.js$/, ".wasm")) });
  const { Tester } = await import(path.join(root, "shells/web/js/tester.js"));
  const { VIRTUAL_POINTS_PER_COMMAND } = await import(path.join(root, "shells/web/js/transports.js"));
  const host = new (loadBoardHost())(M);
  const transport = sameThreadTransport(host, host.open({ dut: "bandpass:10.7M:1M" }, fs.readFileSync(imagePath)),
    VIRTUAL_POINTS_PER_COMMAND);
  const tester = new Tester(M, transport);
  await tester.connect();
  const settings = { start: "5M", stop: "16M", points: "221", step: "", scale: "linear" };
  const plan = M.checkSweep(settings);
  for (let i = 0; i < runs; ++i) {
    const boardStart = transport.now();
    const start = process.hrtime.bigint();
    const cpuStart = process.cpuUsage();
    let n = 0;
    await tester.sweep(plan, () => { ++n; });
    const wall = Number(process.hrtime.bigint() - start) / 1e9;
    const cpuUsed = process.cpuUsage(cpuStart);
    const cpu = (cpuUsed.user + cpuUsed.system) / 1e6;
    const board = (transport.now() - boardStart) / 1e6;
    console.log(`sweep ${i + 1}: ${n} points, ${board.toFixed(2)} s on the board's clock, ${wall.toFixed(3)} s wall, ` +
      `${cpu.toFixed(3)} s CPU (${(4.5 / wall).toFixed(1)} times a real tester's 4.5 s)`);
  }
  await tester.close();
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
