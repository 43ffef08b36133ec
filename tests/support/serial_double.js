// A stand-in for the browser's serial port (navigator.serial), put into the
// page before its own scripts run, so that the page's Web Serial code runs
// unchanged: requestPort() gives a SerialPort with open(options), getInfo(),
// readable and writable streams, close() and forget(), and `connect` and
// `disconnect` events reach navigator.serial with the port as their target.
// Behind the port is what window.serialDouble.use(kind) chose:
//   "tester"   the virtual board (the site's own board_worker.js and chip
//              image), its time paced by the wall clock, a new board at
//              every plugging in, as a tester powered by its USB cable
//   "silent"   nothing answers
//   "garbage"  bytes of line noise, now and then a carriage return
//   "wrong"    every line answered with an identification not a tester's
//   "bootloader" the virtual board over a 16 KB rom the double keeps
//              (window.serialDouble.rom; null: the site's chip image in an
//              otherwise erased flash), started with BOOT0 high, as the
//              chip's bootloader answers at 8E1 until Go starts what the rom
//              holds; with serialDouble.boot0 = false it runs the rom at
//              once. Either is read at power-up: use() powers the board
//              anew, as plug() does; the rom outlives both.
// Every board hears the line each open() set (baud rate, data bits,
// parity, stop bits): a byte sent in another format than its receiver's
// arrives as a line error would.
// window.serialDouble.unplug() takes the cable out (the streams fail, a
// `disconnect` event), plug() puts it back (a `connect` event once the
// tester has started); `ready` settles once it has; openedWith lists every
// open()'s options, `written` counts the bytes the page sent.
(() => {
  if (!location.protocol.startsWith('http')) return;

  // The board's clock runs this many times the wall clock's.
  const PACE = 4;

  const ERASED_ROM = () => new Uint8Array(16 * 1024).fill(0xff);

  class Board {
    // `serial`: the double, for a board over its rom (kind "bootloader").
    constructor(emit, serial = null) {
      this.emit = emit;
      this.serial = serial;
      this.worker = new Worker('js/board_worker.js');
      this.pending = new Map();
      this.next = 1;
      this.worker.onmessage = (e) => {
        const waiting = this.pending.get(e.data.id);
        this.pending.delete(e.data.id);
        if (waiting) waiting(e.data);
      };
      this.ready = this.start();
    }

    call(message) {
      const id = this.next++;
      return new Promise((resolve) => {
        this.pending.set(id, resolve);
        this.worker.postMessage({ ...message, id });
      });
    }

    async start() {
      const [wasm, image] = await Promise.all([
        fetch('snt.wasm').then((r) => r.arrayBuffer()).then((b) => WebAssembly.compile(b)),
        fetch('snt-fw.elf').then((r) => r.arrayBuffer()),
      ]);
      await this.call({ op: 'init', wasm });
      const options = { dut: 'bandpass:10.7M:1M', noise: 0 };
      if (this.serial) Object.assign(options, { rom: this.serial.rom || ERASED_ROM(), boot0: this.serial.boot0 });
      const { now, error } = await this.call({ op: 'open', options, image });
      if (error) throw new Error('the double\'s board: ' + error);
      this.origin = now;
      this.wall = performance.now();
      this.timer = setInterval(() => this.pump(), 5);
    }

    async pump() {
      if (this.running || this.stopped) return;
      this.running = true;
      const until = this.origin + (performance.now() - this.wall) * 1000 * PACE;
      const { bytes, rom } = await this.call({ op: 'run', until });
      this.running = false;
      if (rom && this.serial && !this.stopped) this.serial.rom = rom;
      if (bytes && bytes.length && !this.stopped) this.emit(bytes);
    }

    async write(bytes) {
      await this.ready;
      if (!this.stopped) this.worker.postMessage({ op: 'write', bytes, id: 0 });
    }

    async setLine(line) {
      await this.ready;
      if (!this.stopped) this.worker.postMessage({ op: 'line', line, id: 0 });
    }

    stop() {
      this.stopped = true;
      clearInterval(this.timer);
      this.worker.terminate();
    }
  }

  class Responder {
    constructor(kind, emit) {
      this.kind = kind;
      this.emit = emit;
      this.line = '';
      if (kind === 'garbage') {
        let n = 0;
        this.timer = setInterval(() => {
          const noise = new Uint8Array(16).map((_, i) => (n * 31 + i * 17) % 256);
          if (++n % 4 === 0) noise[7] = 13;
          emit(noise);
        }, 20);
      }
    }

    async write(bytes) {
      if (this.kind !== 'wrong') return;
      for (const b of bytes) {
        if (b !== 13) continue;
        this.emit(new TextEncoder().encode('0.9;OTHER\r'));
      }
    }

    stop() { clearInterval(this.timer); }
  }

  const lost = () => new DOMException('The device has been lost.', 'NetworkError');

  class SerialPortDouble extends EventTarget {
    constructor(serial) {
      super();
      this.serial = serial;
      this.readable = null;
      this.writable = null;
      this.behind = null;
    }

    getInfo() { return { usbVendorId: 0x1a86, usbProductId: 0x7523 }; }

    async open(options) {
      if (this.readable) throw new DOMException('The port is already open.', 'InvalidStateError');
      if (!this.serial.plugged) throw lost();
      if (!options || !options.baudRate) throw new TypeError('Failed to execute \'open\' on \'SerialPort\': baudRate required');
      this.serial.openedWith.push({ ...options });
      let controller = null;
      this.readable = new ReadableStream({
        start: (c) => { controller = c; },
        cancel: () => { controller = null; },
      });
      const emit = (bytes) => { if (controller) controller.enqueue(new Uint8Array(bytes)); };
      const board = this.serial.kind === 'tester' || this.serial.kind === 'bootloader';
      this.behind = board ? this.serial.board(emit) : new Responder(this.serial.kind, emit);
      if (board) this.behind.setLine(options);
      this.writable = new WritableStream({
        write: async (chunk) => {
          if (!this.serial.plugged) throw lost();
          this.serial.written += chunk.length;
          await this.behind.write(new Uint8Array(chunk));
        },
      });
      this.fail = () => {
        if (controller) controller.error(lost());
        controller = null;
      };
    }

    async close() {
      if (!this.readable) throw new DOMException('The port is already closed.', 'InvalidStateError');
      if (this.behind instanceof Responder) this.behind.stop();
      this.readable = null;
      this.writable = null;
    }

    async forget() {}
  }

  class SerialDouble extends EventTarget {
    constructor() {
      super();
      this.kind = 'tester';
      this.plugged = true;
      this.openedWith = [];
      this.written = 0;
      this.rom = null;
      this.boot0 = true;
      this.port = new SerialPortDouble(this);
      this.power();
    }

    use(kind) {
      const powered = (k) => k === 'tester' || k === 'bootloader';
      const again = kind !== this.kind && powered(kind) && this.plugged;
      this.kind = kind;
      if (again) {
        if (this.tester) this.tester.stop();
        this.power();
      }
    }

    // The tester is powered by its cable: it starts when plugged in (what
    // it says before the port is opened is lost) and keeps running while
    // the port is closed and opened again.
    power() {
      this.tester = new Board(() => {}, this.kind === 'bootloader' ? this : null);
      this.ready = this.tester.ready;
    }

    board(emit) {
      this.tester.emit = emit;
      return this.tester;
    }

    tell(name) {
      const event = new Event(name);
      Object.defineProperty(event, 'target', { value: this.port });
      this.dispatchEvent(event);
    }

    unplug() {
      this.plugged = false;
      if (this.tester) this.tester.stop();
      this.tester = null;
      if (this.port.fail) this.port.fail();
      this.port.dispatchEvent(new Event('disconnect'));
      this.tell('disconnect');
    }

    plug() {
      this.plugged = true;
      this.power();
      this.ready.then(() => this.tell('connect'));
    }

    async requestPort() { return this.port; }
    async getPorts() { return [this.port]; }
  }

  const serial = new SerialDouble();
  window.serialDouble = serial;
  Object.defineProperty(Navigator.prototype, 'serial', { get: () => serial, configurable: true });
})();
