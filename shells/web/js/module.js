// The WebAssembly module of the core and the board (snt.js and snt.wasm
// beside index.html), compiled once for the page: the page's instance runs
// the protocol client and the analysis, the virtual board's worker gets the
// compiled module and makes its own instance.

let compiled = null;
let instance = null;

function loadScript(url) {
  return new Promise((resolve, reject) => {
    const script = document.createElement('script');
    script.src = url;
    script.onload = resolve;
    script.onerror = () => reject(new Error('could not load ' + url));
    document.head.append(script);
  });
}

// The compiled WebAssembly.Module.
export function compiledModule() {
  if (!compiled) {
    compiled = WebAssembly.compileStreaming(fetch('snt.wasm')).catch(async () => {
      // A server that does not say application/wasm: compile from the bytes.
      const response = await fetch('snt.wasm');
      if (!response.ok) throw new Error('could not load snt.wasm (' + response.status + ')');
      return WebAssembly.compile(await response.arrayBuffer());
    });
  }
  return compiled;
}

// The page's instance of the module: Module.Client, Module.analyseTrace ...
export function loadModule() {
  if (!instance) {
    instance = Promise.all([compiledModule(), loadScript('snt.js')]).then(([wasm]) => createSnt({
      instantiateWasm(imports, receive) {
        WebAssembly.instantiate(wasm, imports).then((inst) => receive(inst, wasm));
        return {};
      },
    }));
  }
  return instance;
}
