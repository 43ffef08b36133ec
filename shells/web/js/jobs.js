// The bench jobs in the page, as snt sweep and snt crystal do them: live
// sweeps with the outputs off afterwards, averaging, an offset added back,
// return loss and SWR through a bridge, markers placed on the chart, and a
// crystal's parameters. Every figure comes from the analysis (the core's
// code); these panels only gather the user's choices and show the answers.

const $ = (id) => document.getElementById(id);
const setText = (id, text) => { $(id).textContent = text; };

// ------------------------------------------------------------ average, offset, reflection

// The choices that change how a trace is read (page.trace.job) and how it
// is measured (page.sweepOptions: how many sweeps to average).
export function benchPanel(page) {
  const t = page.trace;
  const read = () => {
    const average = Number($('average').value.trim() || '1');
    const offset = Number($('offset').value.trim() || '0');
    const swrLimit = Number($('swr-limit').value.trim() || '2');
    let error = '';
    if (!Number.isInteger(average) || average < 1 || average > 1000) error = 'average: a whole number of sweeps, 1 to 1000';
    else if (!Number.isFinite(offset)) error = 'offset: a number of dB';
    else if (!(swrLimit > 1)) error = 'SWR limit: a number above 1';
    setText('bench-msg', error);
    return error ? null : { average, offset, reflection: $('reflection').checked, swrLimit,
      plotSwr: $('plot-swr').checked };
  };
  let applied = null;
  const apply = () => {
    const job = read();
    if (!job) return;
    const key = JSON.stringify({ ...job, average: 0 });
    if (key !== applied) {
      applied = key;
      t.setJob(page.analysis.views ? job : null);
    }
  };
  ['offset', 'swr-limit', 'average'].forEach((id) => $(id).addEventListener('change', apply));
  ['reflection', 'plot-swr'].forEach((id) => $(id).addEventListener('change', apply));
  // The number of sweeps is the measurement's; the summary says how many
  // the trace on the chart is the mean of.
  page.sweepOptions = () => ({ average: page.analysis.jobs ? (read() || { average: 1 }).average : 1,
    offAfter: $('off-after').checked });
  if (!page.analysis.jobs) {
    document.querySelectorAll('.needs-module').forEach((e) => { e.disabled = true; });
    setText('bench-msg', 'Averaging and crystals need the page\'s own analysis: open the static site (make web) '
      + 'for them.');
  }
  apply();
  return {
    trace(what) {
      // Before the ended sweep is analysed: what its trace is the mean of.
      if (what === 'end' && t.job) t.job.average = t.sweep.averaged || 1;
    },
  };
}

// ------------------------------------------------------------ live sweeps and outputs off

// Live: the sweep again as soon as one ends, until Stop or the switch is
// turned off; then, and after any sweep with "outputs off after" ticked,
// the outputs are switched off once the tester is idle.
export function livePanel(page, sweep) {
  let running = false, stopped = false, pending = '', began = 0, count = 0;
  const act = async () => {
    const d = page.device;
    if (!pending || !d || !d.connected || d.job) return;
    const what = pending;
    pending = '';
    if (what === 'again' && (await sweep.start())) return;
    running = false;
    page.source.off();
    setText('live-state', count ? 'live: stopped after ' + count + ' sweeps; outputs off' : 'outputs off');
  };
  $('live').addEventListener('change', () => {
    if ($('live').checked) {
      stopped = false;
      count = 0;
      if (page.canCommand()) sweep.start();
    }
  });
  $('stop-btn').addEventListener('click', () => { stopped = true; });
  $('sweep-btn').addEventListener('click', () => { stopped = false; count = 0; });
  return {
    refresh() { $('live').disabled = !page.mayCommand(); },
    trace(what) {
      const t = page.trace;
      if (what === 'sweep') {
        began = performance.now();
        running = running || $('live').checked;
      }
      if (what !== 'end') return;
      if (t.sweep.status === 'done' && running) {
        ++count;
        setText('live-state', 'live: sweep ' + count + ', ' + ((performance.now() - began) / 1000).toFixed(2)
          + ' s a sweep');
      }
      const again = running && $('live').checked && !stopped && t.sweep.status === 'done';
      if (again) pending = 'again';
      else if (running || $('off-after').checked) pending = 'off';
      act();
    },
    device() { act(); },
  };
}

// ------------------------------------------------------------ markers placed on the chart

const MAX_MARKERS = 4;

// Up to four markers, placed by a click on the chart, each kept at its
// frequency across sweeps and read there by the analysis; a click on one
// (or its button) removes it.
export function userMarkersPanel(page) {
  const t = page.trace;
  const show = () => {
    const readings = (t.result && t.result.markers) || [];
    const list = $('user-marks');
    list.replaceChildren();
    t.marks.forEach((hz, i) => {
      const r = readings.find((m, k) => k === i && m.hz === hz);
      const li = document.createElement('li');
      li.className = 'user-mark';
      li.dataset.hz = String(hz);
      if (r && r.db !== null) {
        li.dataset.frequency = String(r.frequency);
        li.dataset.db = String(r.db);
        if (r.delta_hz !== null) {
          li.dataset.deltaHz = String(r.delta_hz);
          li.dataset.deltaDb = String(r.delta_db);
        }
      }
      const remove = document.createElement('button');
      remove.type = 'button';
      remove.textContent = 'remove';
      remove.className = 'remove-mark';
      remove.setAttribute('aria-label', 'remove marker ' + (i + 1));
      remove.addEventListener('click', () => t.setMarks(t.marks.filter((_, k) => k !== i)));
      li.append(document.createTextNode(r ? r.text : 'marker ' + (i + 1) + ' at ' + page.analysis.hzText(hz)), remove);
      list.append(li);
    });
    page.chart.userMarkers(readings.map((m, index) => ({ ...m, index })).filter((m) => m.db !== null));
    setText('marks-hint', t.marks.length >= MAX_MARKERS ? 'Four markers: remove one to place another.'
      : 'Click the chart to place a marker (up to four); click one to remove it.');
  };
  page.chart.onclick = (hz, near) => {
    if (!page.analysis.views || !t.sweep) return;
    if (near >= 0) {
      t.setMarks(t.marks.filter((_, k) => k !== near));
    } else if (t.marks.length < MAX_MARKERS) {
      const plan = t.sweep.plan;
      t.setMarks([...t.marks, Math.round(Math.min(Math.max(hz, plan.start), plan.stop))]);
    }
    show();
  };
  return {
    trace(what) {
      if (what === 'analysed' || what === 'refused') {
        show();
        const r = t.result;
        const over = [];
        if (r && r.overload) {
          r.overload.forEach((o, i) => {
            if (o) over.push({ x: t.points[i][0], y: r.atLeast[i], text: r.texts[i] });
          });
        }
        page.chart.overload(over);
      }
    },
  };
}

// ------------------------------------------------------------ a crystal's parameters

const PARAMETERS = [['fs_hz', 'fs', ' Hz'], ['fp_hz', 'fp', ' Hz'], ['rm_ohm', 'Rm', ' Ω'], ['lm_h', 'Lm', ' H'],
  ['cm_f', 'Cm', ' F'], ['c0_f', 'C0', ' F'], ['qu', 'Qu', ''], ['ql', 'Ql', '']];

// snt crystal --nominal F [--parallel] [--fixture OHMS] for one crystal,
// on a tester the page drives itself.
export function crystalPanel(page) {
  let csv = '';
  $('xtal-measure').addEventListener('click', () => {
    const nominal = page.analysis.hz($('xtal-nominal').value.trim(), 'the nominal frequency');
    const fixture = Number($('xtal-fixture').value.trim() || '50');
    if (nominal.error) {
      setText('xtal-msg', nominal.error);
      return;
    }
    if (!(fixture > 0)) {
      setText('xtal-msg', 'the fixture\'s resistance: a number of ohms above 0');
      return;
    }
    if (!page.source.crystal) {
      setText('xtal-msg', 'snt serve does not run the crystal search: open the static site for it');
      return;
    }
    const answer = page.source.crystal({ nominal: nominal.hz, fixture, parallel: $('xtal-parallel').checked });
    setText('xtal-msg', answer.ok ? '' : answer.error);
  });
  $('xtal-csv').addEventListener('click', () => {
    const a = document.createElement('a');
    a.href = URL.createObjectURL(new Blob(['label,fs_hz,fp_hz,rm_ohm,lm_h,cm_f,c0_f,qu,ql\n' + csv],
      { type: 'text/csv' }));
    a.download = 'crystal.csv';
    document.body.append(a);
    a.click();
    a.remove();
  });
  return {
    refresh() {
      $('xtal-measure').disabled = !page.canCommand() || !page.analysis.jobs;
      $('xtal-csv').disabled = !csv;
    },
    crystal(c) {
      if (!c.outcome) {
        setText('xtal-stage', c.stage === 'stopped' ? 'stopped' : c.stage + '…');
        return;
      }
      const o = c.outcome, p = o.parameters;
      csv = c.csv;
      page.crystalOutcome = o; // for tests, as page.trace
      page.crystalCsv = csv;
      setText('xtal-stage', (p ? 'measured' : 'no parameters') + ' in ' + o.sweeps + ' sweeps, ' + o.points
        + ' points: ' + o.seconds.toFixed(2) + ' s on a real tester');
      const dl = $('xtal-params');
      dl.replaceChildren();
      if (p) {
        for (const [key, name, unit] of PARAMETERS) {
          const dt = document.createElement('dt'), dd = document.createElement('dd');
          dt.textContent = name;
          dd.id = 'xtal-' + key;
          dd.textContent = p[key] === null ? '–' : Number(p[key].toPrecision(key === 'fs_hz' || key === 'fp_hz' ? 10 : 4)) + unit;
          dl.append(dt, dd);
        }
      }
      setText('xtal-result', (p ? p.text : '') + o.notes.map((n) => 'note: ' + n + '\n').join(''));
      page.refresh();
    },
  };
}
