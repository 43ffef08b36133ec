// The chooser of the tester (select#transport) and its panels: a tester on
// a serial port (Web Serial), the virtual board in a worker (the device
// under test typed as snt-sim --dut takes it, or a Touchstone file; noise
// and seed), or snt serve's tester when the page comes from snt serve.
// Choosing one makes the page's source (page.setSource).

import { LocalSource } from './local_source.js';
import { ServerSource } from './server_source.js';
import { SerialTransport, VirtualTransport, webSerialMissing } from './transports.js';

const $ = (id) => document.getElementById(id);

export function connectionPanel(page, { M, wasm, image }) {
  const kinds = { serial: $('serial-panel'), virtual: $('virtual-panel'), server: $('server-panel') };
  const select = $('transport');
  const hasModule = !!M;
  for (const option of select.options) {
    option.disabled = option.value === 'server' ? !page.site.server : !hasModule;
    if (option.disabled) {
      option.title = option.value === 'server'
        ? 'only when the page comes from snt serve'
        : 'not in the page snt serve gives: open the static site (make web) for the serial port and the virtual board';
    }
  }

  // ---- the serial port
  let port = null;
  const serialMessage = (text) => { $('serial-msg').textContent = text; };
  const useSerial = async (chosen) => {
    port = chosen;
    const source = new LocalSource({
      M, analysis: page.analysis, device: 'tester on a serial port', open: () => SerialTransport.open(port),
    });
    await page.setSource(source);
    serialMessage('Opening the port and asking for the tester…');
    const failed = await source.connect();
    serialMessage(failed ? 'That port did not answer as a tester: ' + failed +
      ' Check the cable and the port, then choose it again.' : 'Connected to ' + source.tester.name + '.');
    $('serial-disconnect').disabled = false;
  };
  $('serial-connect').addEventListener('click', async () => {
    let chosen = null;
    try {
      chosen = await navigator.serial.requestPort();
    } catch (e) {
      serialMessage('No port chosen (' + e.message + ').');
      return;
    }
    await useSerial(chosen);
  });
  $('serial-disconnect').addEventListener('click', async () => {
    await page.setSource(null);
    port = null;
    $('serial-disconnect').disabled = true;
    serialMessage('Disconnected. Choose the port again to go on.');
  });
  if (hasModule && !webSerialMissing()) {
    // A tester plugged in again on a port this page may use: take it back.
    navigator.serial.addEventListener('connect', (event) => {
      const source = page.source;
      if (select.value === 'serial' && source instanceof LocalSource && !source.state.connected &&
          event.target === port) {
        source.connect();
      }
    });
  }

  // ---- the virtual board
  let touchstone = null; // {name, text} of the file chosen from disk
  const boardOptions = () => {
    const options = { dut: $('dut').value.trim(), noise: Number($('noise').value), seed: Number($('seed').value) };
    if (touchstone && options.dut === 'touchstone:' + touchstone.name) options.touchstone = touchstone.text;
    if ($('noise').value.trim() === '') options.noise = NaN;
    if ($('seed').value.trim() === '') options.seed = NaN;
    return options;
  };
  // The --dut parser's message for the device typed, before anything runs.
  const checkDut = () => {
    const options = boardOptions();
    const message = M.checkBoard({ dut: options.dut, touchstone: options.touchstone });
    $('dut-msg').textContent = message;
    $('dut').classList.toggle('bad', !!message);
    $('dut').setAttribute('aria-invalid', message ? 'true' : 'false');
    return !message;
  };
  const startBoard = async () => {
    $('virtual-msg').textContent = '';
    if (!checkDut()) return false;
    const options = boardOptions();
    const refused = M.checkBoard(options);
    if (refused) {
      $('virtual-msg').textContent = refused;
      return false;
    }
    const source = new LocalSource({
      M, analysis: page.analysis, device: 'virtual board: ' + options.dut, reconnect: true,
      open: async () => VirtualTransport.open(wasm, options, (await image()).slice(0)),
    });
    await page.setSource(source);
    const failed = await source.connect();
    if (failed) $('virtual-msg').textContent = failed;
    return !failed;
  };
  let dutTimer = 0;
  if (hasModule) {
    $('dut').addEventListener('input', () => {
      clearTimeout(dutTimer);
      dutTimer = setTimeout(checkDut, 200);
    });
  }
  $('touchstone-file').addEventListener('change', async () => {
    const file = $('touchstone-file').files[0];
    $('touchstone-file').value = '';
    if (!file) return;
    touchstone = { name: file.name, text: await file.text() };
    $('dut').value = 'touchstone:' + file.name;
    if (checkDut()) startBoard();
  });
  $('virtual-panel').addEventListener('submit', (event) => {
    event.preventDefault();
    startBoard();
  });

  // ---- choosing
  const choose = async (kind) => {
    for (const [k, panel] of Object.entries(kinds)) panel.hidden = k !== kind;
    if (kind === 'server') {
      await page.setSource(new ServerSource(page.analysis, page.following));
      page.source.connect();
    } else if (kind === 'virtual') {
      await startBoard();
    } else {
      await page.setSource(null);
      const missing = webSerialMissing();
      $('serial-connect').disabled = !!missing;
      serialMessage(missing || 'Plug in the tester, then choose its port (115200 baud, 8N1).');
    }
  };
  select.addEventListener('change', () => choose(select.value));

  return {
    // The serial port chosen last (null before one is), and taking it as
    // the tester's again: for the firmware update, which borrows it.
    serialPort: () => port,
    useSerial,
    // The serial panel once the page let go of the tester's line for
    // someone else (the firmware update): `why` in place of "Connected".
    released(why) {
      serialMessage(why);
      $('serial-disconnect').disabled = true;
    },
    // The transport and board the address asks for (?transport=virtual&dut=...).
    async start(params) {
      let kind = params.get('transport') || (page.site.server ? 'server' : 'virtual');
      if (!kinds[kind] || [...select.options].find((o) => o.value === kind).disabled) {
        kind = page.site.server ? 'server' : 'virtual';
      }
      for (const f of ['dut', 'noise', 'seed']) if (params.has(f)) $(f).value = params.get(f);
      select.value = kind;
      await choose(kind);
    },
  };
}
