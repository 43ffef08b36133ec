// "Update firmware": a new image into the tester's chip through its serial
// bootloader, over Web Serial. The image is the chip image this site
// carries or a file chosen from disk (.bin, .hex, .elf); the WebAssembly
// core reads it (its refusals are those of `snt flash`) and runs the
// flashing job (Module.FlashJob), which this loop feeds what the port
// brings and the time, as snt's Flasher does: the port is opened at 115200
// 8E1 for the bootloader, then closed and opened again at 115200 8N1 to ask
// the started image for its identification, and handed back to the
// connection panel so that a sweep can follow. Only for a tester on a
// serial port: the virtual board and snt serve's tester are not flashed
// from here.

import { Tester } from './tester.js';
import { BOOT_LINE, SerialTransport, TransportLost, webSerialMissing } from './transports.js';

const $ = (id) => document.getElementById(id);

// What a browser, a USB adapter and its driver may add to every answer of
// the bootloader (USB adapters deliver in frames of up to 16 ms).
const REPLY_MARGIN_US = 250000;

// The steps whose progress the bar shows, and what they count.
const COUNTED = { erase: 'pages', write: 'bytes', verify: 'bytes' };

export function flashPanel(page, { M, image, connection }) {
  let file = null; // {name, bytes} chosen from disk; null: the site's image
  let busy = false;
  const message = (text, bad = false) => {
    $('fw-msg').textContent = text;
    $('fw-msg').classList.toggle('bad', bad);
  };
  const stepText = (text) => { $('fw-step').textContent = text; };

  // Why the update cannot start now, or ''.
  const unavailable = () => {
    if (!M) return 'Firmware updates need the static site (make web), not the page snt serve gives: there, use snt flash.';
    if ($('transport').value !== 'serial') {
      return 'Firmware updates go to a tester on a serial port: choose "on a serial port" above. ' +
        '(The virtual board runs the chip image this site carries.)';
    }
    return webSerialMissing();
  };

  const siteImage = async () => ({ name: page.site.image || 'snt-fw.elf', bytes: new Uint8Array(await image()) });

  // The image's account, or the reader's refusal.
  const describe = async () => {
    try {
      const chosen = file || await siteImage();
      const refused = M.checkImage(chosen.name, chosen.bytes);
      if (refused) return chosen.name + ': ' + refused;
      const job = new M.FlashJob(chosen.name, chosen.bytes, {});
      const text = (file ? chosen.name : 'the chip image this site carries (' + chosen.name + ')') + ': ' + job.describe();
      job.delete();
      return text;
    } catch (e) {
      return e.message;
    }
  };
  const showImage = async () => { if (M) $('fw-image').textContent = await describe(); };

  const refresh = () => {
    const why = unavailable();
    $('fw-why').textContent = why;
    $('fw-why').hidden = !why;
    $('fw-start').disabled = busy || !!why;
    $('fw-file').disabled = busy;
    $('fw-site').disabled = busy || !file;
    $('fw-erase-settings').disabled = busy;
  };

  const progress = (e) => {
    const counted = COUNTED[e.step];
    if (!counted || !e.total) return;
    $('fw-progress').max = e.total;
    $('fw-progress').value = e.done;
    stepText(e.step + ': ' + e.done + ' of ' + e.total + ' ' + counted);
  };

  // Runs the job over the transport to its end: {failed, message, after}.
  const drive = async (job, transport) => {
    job.start(transport.now());
    for (;;) {
      for (let e = job.nextEvent(); e; e = job.nextEvent()) {
        if (e.kind === 'progress') progress(e);
        if (e.kind === 'step') stepText(e.step + ': ' + e.message);
        if (e.kind === 'failed') return { failed: true, message: e.message };
        if (e.kind === 'finished') return { failed: false, message: e.message, after: job.takeAfter() };
      }
      try {
        const out = job.takeOutput();
        if (out.length) await transport.write(out);
        const wake = job.wakeAt();
        const bytes = await transport.read(wake === null ? transport.now() : wake, { anyByte: true });
        if (bytes.length) job.receive(transport.now(), bytes);
        else job.wake(transport.now());
      } catch (e) {
        if (!(e instanceof TransportLost)) throw e;
        job.lost(e.message);
      }
    }
  };

  // The started image at 115200 8N1: its identification (and banner).
  const confirm = async (port, after, eraseSettings) => {
    const transport = await SerialTransport.open(port);
    transport.replay(after);
    const tester = new Tester(M, transport);
    try {
      const crystal = await tester.connect();
      let text = 'the tester answers ' + M.IDENTIFICATION;
      if (crystal !== null) {
        text += '; crystal frequency ' + crystal + ' Hz announced at start-up (the settings page ' +
          (eraseSettings ? 'erased)' : 'kept)');
      }
      return { ok: true, text };
    } catch (e) {
      return { ok: false, text: 'the started image did not answer as this page\'s tester: ' + e.message };
    } finally {
      await tester.close();
    }
  };

  const flash = async () => {
    const chosen = file || await siteImage();
    const eraseSettings = $('fw-erase-settings').checked;
    let job, lent = false;
    try {
      job = new M.FlashJob(chosen.name, chosen.bytes, { eraseSettings, replyMargin: REPLY_MARGIN_US });
    } catch (e) {
      // Refused before anything is sent, in snt flash's words.
      message(chosen.name + ': ' + e.message, true);
      return;
    }
    try {
      let port = connection.serialPort();
      if (!port) {
        try {
          port = await navigator.serial.requestPort();
        } catch (e) {
          message('No port chosen (' + e.message + ').', true);
          return;
        }
      }
      busy = true;
      page.refresh();
      // The tester's own line lets go of the port first.
      await page.setSource(null);
      lent = true;
      connection.released('The port is with the firmware update.');
      $('fw-progress').value = 0;
      stepText('');
      message('Flashing ' + chosen.name + ' through the bootloader (115200 baud, 8E1)…');
      let transport;
      try {
        transport = await SerialTransport.open(port, BOOT_LINE);
      } catch (e) {
        message(e.message, true);
        return;
      }
      let result;
      try {
        result = await drive(job, transport);
      } finally {
        await transport.close();
      }
      if (result.failed) {
        message('The update stopped: ' + result.message + '.', true);
        return;
      }
      message('Flashed and verified ' + chosen.name + '; asking the started image at 115200 8N1…');
      const confirmed = await confirm(port, result.after, eraseSettings);
      message((confirmed.ok ? 'Flashed and verified ' + chosen.name + ': ' : 'Flashed and verified ' +
        chosen.name + ', but ') + confirmed.text + '. Set BOOT0 low again for the next reset.', !confirmed.ok);
      if (confirmed.ok) {
        lent = false;
        await connection.useSerial(port);
      }
    } catch (e) {
      message('The update stopped: ' + e.message, true);
    } finally {
      if (lent) connection.released('Not connected: the tester was left to the firmware update. Choose its port again to go on.');
      job.delete();
      busy = false;
      page.refresh();
    }
  };

  $('fw-file').addEventListener('change', async () => {
    const chosen = $('fw-file').files[0];
    $('fw-file').value = '';
    if (!chosen) return;
    file = { name: chosen.name, bytes: new Uint8Array(await chosen.arrayBuffer()) };
    message('');
    await showImage();
    refresh();
  });
  $('fw-site').addEventListener('click', async () => {
    file = null;
    message('');
    await showImage();
    refresh();
  });
  $('fw-start').addEventListener('click', () => { if (!busy) flash(); });
  $('transport').addEventListener('change', refresh);
  showImage();

  return { refresh };
}
