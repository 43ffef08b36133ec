// The virtual board in a Web Worker, so that running it never holds up the
// page. Messages in order, each answered with the same `id`:
//   {op: 'init', wasm}            wasm: the compiled WebAssembly.Module
//   {op: 'open', options, image}  a new board; answers {now}
//   {op: 'write', bytes}          (no answer)
//   {op: 'read', until}           answers {bytes, now}: a line, or until
//   {op: 'run', until}            answers {bytes, now}: run until, whatever comes;
//                                 with `rom` too when the board's rom changed
//   {op: 'line', line}            the host's port settings (no answer)
//   {op: 'settings'}              answers {page}: the settings page's bytes
//   {op: 'close'}
// A refusal or a fault of the board answers {error: message}.
'use strict';

importScripts('board_host.js', '../snt.js');

let host = null;
let queue = Promise.resolve();

async function handle(m) {
  switch (m.op) {
  case 'init': {
    const M = await createSnt({
      instantiateWasm(imports, receive) {
        WebAssembly.instantiate(m.wasm, imports).then((instance) => receive(instance, m.wasm));
        return {};
      },
    });
    host = new BoardHost(M);
    return {};
  }
  case 'open':
    return { now: host.open(m.options, new Uint8Array(m.image)) };
  case 'write':
    host.write(m.bytes);
    return null;
  case 'read':
    return host.read(m.until);
  case 'run': {
    const answer = host.runTo(m.until);
    const rom = host.romIfChanged();
    return rom ? { ...answer, rom } : answer;
  }
  case 'line':
    host.setLine(m.line);
    return null;
  case 'settings':
    return { page: host.settingsPage() };
  case 'close':
    host.close();
    return null;
  default:
    throw new Error('unknown request ' + m.op);
  }
}

self.onmessage = (event) => {
  const m = event.data;
  queue = queue.then(async () => {
    try {
      const answer = await handle(m);
      if (answer) self.postMessage({ id: m.id, ...answer });
    } catch (e) {
      self.postMessage({ id: m.id, error: String((e && e.message) || e) });
    }
  });
};
