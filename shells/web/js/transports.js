// The two ways the page itself reaches a tester, with one face for the
// protocol client's loop (tester.js): a name for messages, now() in
// microseconds, write(bytes), read(until) that gives what has come by
// `until` (as soon as a line is there), and close(). A transport that goes
// away (a port unplugged, the board stopped by a fault) fails its next
// read or write with TransportLost, and tells `onlost` at once.

export class TransportLost extends Error {}

const LINE_END = 13;

// ---------------------------------------------------------------- serial

// What a serial port must be opened with to talk to the tester.
export const TESTER_LINE = { baudRate: 115200, dataBits: 8, stopBits: 1, parity: 'none', flowControl: 'none' };
// What the chip's serial bootloader (BOOT0 high) takes: 8 data bits, even
// parity, one stop bit.
export const BOOT_LINE = { baudRate: 115200, dataBits: 8, stopBits: 1, parity: 'even', flowControl: 'none' };

export const WEB_SERIAL_BROWSERS =
  'Chrome, Edge, Opera and other Chromium-based browsers on a desktop computer';

// Why this page cannot use Web Serial, or '' when it can.
export function webSerialMissing() {
  if (!window.isSecureContext) {
    return 'Web Serial needs a secure page: open this site over https, or from localhost.';
  }
  if (!('serial' in navigator)) {
    return 'This browser has no Web Serial, so the page cannot open a serial port. Browsers that have it: ' +
      WEB_SERIAL_BROWSERS + '. (The virtual board works here.)';
  }
  return '';
}

function portName(port) {
  const info = port.getInfo ? port.getInfo() : {};
  const hex = (n) => n.toString(16).padStart(4, '0');
  if (info.usbVendorId !== undefined && info.usbProductId !== undefined) {
    return 'the serial port (USB ' + hex(info.usbVendorId) + ':' + hex(info.usbProductId) + ')';
  }
  return 'the serial port';
}

export class SerialTransport {
  // Asks the user for a port (needs a click) and opens it.
  static async choose() {
    return SerialTransport.open(await navigator.serial.requestPort());
  }

  // `line`: the options of open(), the tester's line unless told.
  static async open(port, line = TESTER_LINE) {
    try {
      await port.open(line);
    } catch (e) {
      throw new TransportLost('could not open ' + portName(port) + ': ' + e.message);
    }
    return new SerialTransport(port);
  }

  constructor(port) {
    this.port = port;
    this.name = portName(port);
    this.chunks = [];
    this.held = 0;
    this.lost = null;
    this.onlost = null;
    this.wake = null;
    this.writer = port.writable.getWriter();
    this.reader = port.readable.getReader();
    this.reading = this.readLoop();
    this.onDisconnect = (event) => {
      if (event.target === port) this.fail('the tester was unplugged (' + this.name + ' went away)');
    };
    navigator.serial.addEventListener('disconnect', this.onDisconnect);
  }

  now() { return Math.round(performance.now() * 1000); }

  async readLoop() {
    try {
      for (;;) {
        const { value, done } = await this.reader.read();
        if (done) break;
        if (value && value.length) {
          this.chunks.push(value);
          this.held += value.length;
          if (this.wake && (this.anyByte || value.includes(LINE_END))) this.wake();
        }
      }
      if (!this.closing) this.fail(this.name + ' was closed');
    } catch (e) {
      if (!this.closing) this.fail('the tester was unplugged or its port failed (' + e.message + ')');
    }
  }

  fail(why) {
    if (this.lost) return;
    this.lost = new TransportLost(why);
    if (this.wake) this.wake();
    if (this.onlost) this.onlost(this.lost);
  }

  take() {
    const out = new Uint8Array(this.held);
    let at = 0;
    for (const c of this.chunks) {
      out.set(c, at);
      at += c.length;
    }
    this.chunks = [];
    this.held = 0;
    return out;
  }

  hasLine() { return this.chunks.some((c) => c.includes(LINE_END)); }

  // Bytes another reader took off the line but did not use: they come
  // first in the next read.
  replay(bytes) {
    if (!bytes.length) return;
    this.chunks.unshift(bytes);
    this.held += bytes.length;
  }

  async write(bytes) {
    if (this.lost) throw this.lost;
    try {
      await this.writer.write(bytes);
    } catch (e) {
      this.fail('could not write to ' + this.name + ' (' + e.message + ')');
      throw this.lost;
    }
  }

  // `anyByte`: as soon as any byte is there, not only a whole line (the
  // bootloader's answers are bytes).
  async read(until, { anyByte = false } = {}) {
    this.anyByte = anyByte;
    if (!(anyByte ? this.held > 0 : this.hasLine()) && !this.lost) {
      const wait = Math.max(0, (until - this.now()) / 1000);
      await new Promise((resolve) => {
        const timer = setTimeout(resolve, wait);
        this.wake = () => { clearTimeout(timer); resolve(); };
      });
      this.wake = null;
    }
    if (this.held) return this.take();
    if (this.lost) throw this.lost;
    return new Uint8Array(0);
  }

  async close() {
    this.closing = true;
    navigator.serial.removeEventListener('disconnect', this.onDisconnect);
    try {
      await this.reader.cancel();
    } catch (e) { /* the port is gone already */ }
    this.reader.releaseLock();
    try {
      await this.writer.close();
    } catch (e) { /* the port is gone already */ }
    this.writer.releaseLock();
    await this.reading;
    try {
      await this.port.close();
    } catch (e) { /* the port is gone already */ }
  }
}

// ---------------------------------------------------------------- virtual

// Every command begins with `f` and its `w` (0.2 s of the board's time):
// the virtual board takes longer commands, since after a Stop it finishes
// the rest of one (a quarter of a second's wall time) much faster than a
// tester would.
export const VIRTUAL_POINTS_PER_COMMAND = 250;

// The virtual board in a Web Worker, in the board's own time: a read runs
// the board until a line comes or its clock reaches `until`, so waiting
// costs no wall-clock time.
export class VirtualTransport {
  static async open(wasm, options, image) {
    const t = new VirtualTransport();
    await t.call({ op: 'init', wasm });
    const { now } = await t.call({ op: 'open', options, image });
    t.clock = now;
    return t;
  }

  constructor() {
    this.name = 'the virtual board';
    this.pointsPerCommand = VIRTUAL_POINTS_PER_COMMAND;
    this.worker = new Worker(new URL('board_worker.js', import.meta.url));
    this.pending = new Map();
    this.nextId = 1;
    this.clock = 0;
    this.lost = null;
    this.onlost = null;
    this.worker.onmessage = (event) => {
      const m = event.data;
      const waiting = this.pending.get(m.id);
      if (m.error && !waiting) this.fail('the virtual board stopped: ' + m.error);
      if (!waiting) return;
      this.pending.delete(m.id);
      if (m.error) waiting.reject(new TransportLost(m.error));
      else waiting.resolve(m);
    };
    this.worker.onerror = (event) => {
      event.preventDefault();
      this.fail('the virtual board stopped: ' + (event.message || 'its worker failed'));
    };
  }

  call(message) {
    if (this.lost) return Promise.reject(this.lost);
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      this.pending.set(id, { resolve, reject });
      this.worker.postMessage({ ...message, id });
    });
  }

  fail(why) {
    if (this.lost) return;
    this.lost = new TransportLost(why);
    for (const w of this.pending.values()) w.reject(this.lost);
    this.pending.clear();
    if (this.onlost) this.onlost(this.lost);
  }

  now() { return this.clock; }

  async write(bytes) {
    if (this.lost) throw this.lost;
    this.worker.postMessage({ op: 'write', bytes });
  }

  async read(until) {
    try {
      const { bytes, now } = await this.call({ op: 'read', until });
      this.clock = now;
      return bytes;
    } catch (e) {
      this.fail('the virtual board stopped: ' + e.message);
      throw this.lost;
    }
  }

  async settingsPage() { return (await this.call({ op: 'settings' })).page; }

  async close() {
    this.onlost = null;
    this.worker.terminate();
    this.fail('the virtual board was closed');
  }
}
