// The page: a sweep of a scalar network tester, drawn as it comes, with its
// markers, summary, reference, kept traces and downloads, the device and
// its crystal. Where it comes from decides what it can reach:
//   - the static site (make web; site.json {"server": false}): the
//     WebAssembly module of the core and the board runs in the page, and the
//     tester is on a serial port (Web Serial) or the virtual board;
//   - snt serve (site.json {"server": true}): the server owns the tester and
//     computes the analysis with the same core code, through its API.
// The address may choose the tester and the sweep:
//   ?transport=virtual&dut=crystal:10M:50000&noise=2&seed=1&start=9.997M&stop=10.003M&points=241
//
// The page is a set of panels (panels.js, connection.js) around one page
// object: the analysis, the source of events (the tester), the current
// trace and the chart. A panel added later (say, flashing the firmware)
// mounts itself with page.add(panel) and hears the same calls.

import { ModuleAnalysis, ServerAnalysis } from './analysis.js';
import { connectionPanel } from './connection.js';
import { compiledModule, loadModule } from './module.js';
import { flashPanel } from './flash_panel.js';
import { devicePanel, markersPanel, referencePanel, sweepPanel, tracesPanel } from './panels.js';
import { benchPanel, crystalPanel, livePanel, userMarkersPanel } from './jobs.js';
import { Trace } from './trace.js';
import { TraceChart } from './trace_chart.js';

const $ = (id) => document.getElementById(id);

function pageMessage(text) {
  $('page-msg').textContent = text;
  $('page-msg').hidden = !text;
}

async function siteOf() {
  try {
    const res = await fetch('site.json', { cache: 'no-cache' });
    if (res.ok) return await res.json();
  } catch (e) { /* a plain copy of the files: the static site */ }
  return { server: false };
}

class Page {
  constructor(site, analysis, params) {
    this.site = site;
    this.analysis = analysis;
    this.params = params;
    this.token = params.get('token') || '';
    this.source = null;
    this.device = null;
    this.panels = [];
    this.chart = new TraceChart($('chart'), (text) => { $('pointer').textContent = text; });
    this.trace = new Trace(analysis, (what) => this.traceChanged(what));
    this.following = (text) => {
      if (text) {
        $('dev-dot').className = 'dot off';
        $('dev-state').textContent = text;
      } else {
        $('dev-dot').classList.remove('off');
      }
    };
  }

  add(panel) {
    this.panels.push(panel);
    return panel;
  }

  notify(method, ...args) {
    for (const p of this.panels) if (p[method]) p[method](...args);
  }

  refresh() { this.notify('refresh'); }

  // Commands may reach the tester at all (snt serve's page needs its token).
  mayCommand() { return !!this.source && (!this.site.server || !!this.token); }

  // A command may start now.
  canCommand() {
    const d = this.device;
    return this.mayCommand() && !!d && d.connected && !d.job && !this.trace.running();
  }

  yTitle() {
    return this.trace.reference ? 'dB (reference: ' + this.trace.reference.name + ')' : 'dB (full scale)';
  }

  traceChanged(what) {
    const t = this.trace;
    if (what === 'sweep') this.chart.begin(t.sweep.plan, this.yTitle());
    if (what === 'live') this.chart.show(t.points, t.db, t.texts, this.chart.current.length);
    if (what === 'analysed') {
      this.chart.show(t.points, t.db, t.texts, 0);
      this.chart.setTitle((t.result && t.result.yLabel) || this.yTitle());
    }
    if (what === 'reference') this.chart.setTitle(this.yTitle());
    this.notify('trace', what);
    this.refresh();
  }

  deviceChanged(d) {
    this.device = d;
    this.notify('device', d);
    this.refresh();
  }

  // The source of the tester's events: a LocalSource, a ServerSource, or
  // none. The trace on the chart stays.
  async setSource(source) {
    const old = this.source;
    this.source = source;
    if (old) await old.close();
    if (source) {
      source.on({
        state: (d) => this.deviceChanged(d),
        sweep: (s) => this.trace.begin(s),
        points: (m) => this.trace.add(m),
        end: (s) => this.trace.end(s),
        progress: (m) => this.trace.progressed(m),
        crystal: (c) => this.notify('crystal', c),
      });
    }
    this.deviceChanged({ connected: false, error: source ? 'connecting…' : 'choose a tester', device: '' });
  }
}

async function registerServiceWorker() {
  if (!('serviceWorker' in navigator)) return;
  try {
    await navigator.serviceWorker.register('sw.js');
  } catch (e) {
    console.warn('the page will not work offline: ' + e.message);
  }
}

async function main() {
  const params = new URLSearchParams(location.search);
  const site = await siteOf();
  let image = null;
  const chipImage = () => {
    if (!image) {
      image = fetch(site.image || 'snt-fw.elf').then((res) => {
        if (!res.ok) throw new Error('could not load the chip image (' + res.status + ')');
        return res.arrayBuffer();
      }).catch((e) => {
        image = null; // asked again next time
        throw e;
      });
    }
    return image;
  };
  let M = null, wasm = null, analysis;
  if (site.server) {
    analysis = new ServerAnalysis(params.get('token') || '');
    await analysis.init();
  } else {
    // The chip image comes while the module compiles: the virtual board
    // needs both.
    chipImage().catch(() => {});
    [M, wasm] = await Promise.all([loadModule(), compiledModule()]);
    analysis = new ModuleAnalysis(M);
    registerServiceWorker();
  }
  const page = new Page(site, analysis, params);
  window.sntPage = page; // for a later panel, and for tests

  const sweep = page.add(sweepPanel(page));
  page.add(markersPanel(page));
  page.add(referencePanel(page));
  page.add(tracesPanel(page));
  page.add(devicePanel(page));
  page.add(benchPanel(page));
  page.add(livePanel(page, sweep));
  page.add(userMarkersPanel(page));
  page.add(crystalPanel(page));
  const connection = connectionPanel(page, { M, wasm, image: chipImage });
  page.add(flashPanel(page, { M, image: chipImage, connection }));

  $('readonly').hidden = !site.server || !!page.token;
  sweep.fill(params);
  page.refresh();
  await connection.start(params);
  sweep.check();
}

main().catch((e) => pageMessage('The page could not start: ' + e.message));
