// The page's panels. Each is mounted on the page (app.js) and hears what
// happens through optional methods: refresh() when what may be done has
// changed, device(state) when the tester's state has, trace(what) when
// the current trace has (see trace.js). A panel reaches the tester only
// through page.source and the analysis only through page.analysis.

const $ = (id) => document.getElementById(id);

function setText(id, text) { $(id).textContent = text; }

function download(name, url) {
  const a = document.createElement('a');
  a.href = url;
  a.download = name;
  document.body.append(a);
  a.click();
  a.remove();
}

// ------------------------------------------------------------ the sweep

const FIELDS = ['start', 'stop', 'points', 'step', 'scale'];

export function sweepPanel(page) {
  let checkTimer = 0;
  const settings = () => Object.fromEntries(FIELDS.map((f) => [f, $(f).value.trim()]));
  const showFieldError = (field, text) => {
    for (const f of FIELDS) {
      setText(f + '-msg', f === field ? text : '');
      $(f).classList.toggle('bad', f === field);
      $(f).setAttribute('aria-invalid', f === field ? 'true' : 'false');
    }
  };
  const check = async () => {
    const data = await page.analysis.check(settings());
    if (data.ok) {
      showFieldError(null, '');
      setText('plan', data.estimate || '');
      return true;
    }
    showFieldError(data.field || 'start', data.error);
    setText('plan', '');
    return false;
  };
  FIELDS.forEach((f) => $(f).addEventListener('input', () => {
    clearTimeout(checkTimer);
    checkTimer = setTimeout(check, 250);
  }));
  // Starts a sweep with the bench job's choices (page.sweepOptions: the
  // number of sweeps to average); true when it started.
  const start = async () => {
    setText('sweep-msg', '');
    if (!page.source) return false;
    const answer = await page.source.startSweep(settings(), page.sweepOptions ? page.sweepOptions() : {});
    if (answer.ok) {
      showFieldError(null, '');
    } else if (answer.field && FIELDS.includes(answer.field)) {
      showFieldError(answer.field, answer.error);
    } else {
      setText('sweep-msg', answer.error);
    }
    return !!answer.ok;
  };
  $('sweep-form').addEventListener('submit', (event) => {
    event.preventDefault();
    start();
  });
  $('stop-btn').addEventListener('click', () => page.source && page.source.stop());

  const progress = () => {
    const t = page.trace, s = t.sweep;
    if (!s) return;
    const total = t.progress ? t.progress.total : s.plan.points;
    const done = t.progress && s.status === 'running' ? t.progress.done : Math.min(t.points.length, total);
    $('progress').max = total;
    $('progress').value = done;
    let text = done + ' of ' + total + ' points' + (t.progress ? ' (all sweeps)' : '');
    if (s.status === 'running') {
      if (done > 1 && t.started) {
        const left = (performance.now() - t.started) / (done - 1) * (total - done) / 1000;
        text += ', about ' + (left < 10 ? left.toFixed(1) : Math.round(left)) + ' s left';
      }
    } else {
      text += ' — ' + s.status;
    }
    setText('progress-text', text);
  };
  setInterval(progress, 1000);

  return {
    check,
    settings,
    start,
    fill(params) {
      for (const f of FIELDS) if (params.has(f)) $(f).value = params.get(f);
    },
    refresh() {
      $('sweep-btn').disabled = !page.canCommand();
      $('stop-btn').disabled = !page.mayCommand() || !page.trace.running();
    },
    trace(what) {
      if (what === 'sweep') {
        setText('plan', page.trace.sweep.plan.estimate || '');
        setText('sweep-msg', '');
      }
      if (what === 'end' && page.trace.sweep.status === 'failed') {
        setText('sweep-msg', 'The sweep failed: ' + page.trace.sweep.message);
      }
      if (what === 'sweep' || what === 'live' || what === 'end') progress();
    },
  };
}

// ------------------------------------------------------------ markers

const MARKER_IDS = { max: 'mk-max', lower_3db: 'mk-lower', upper_3db: 'mk-upper', bandwidth: 'mk-bw',
  centre: 'mk-centre', q: 'mk-q', min: 'mk-min' };

export function markersPanel(page) {
  const show = (summary) => {
    for (const [key, id] of Object.entries(MARKER_IDS)) setText(id, (summary && summary.texts && summary.texts[key]) || '–');
    setText('summary', summary ? summary.text : '');
    page.chart.markers(summary);
  };
  return {
    trace(what) {
      if (what === 'sweep' || what === 'refused') show(null);
      if (what === 'analysed') show(page.trace.result.summary);
    },
  };
}

// ------------------------------------------------------------ reference

export function referencePanel(page) {
  const t = page.trace;
  $('ref-save').addEventListener('click', () => {
    t.setReference({ name: 'sweep ' + t.sweep.id, points: t.points.map((p) => [p[0], p[1]]) });
  });
  $('ref-clear').addEventListener('click', () => t.setReference(null));
  $('ref-file').addEventListener('change', async () => {
    const file = $('ref-file').files[0];
    $('ref-file').value = '';
    if (!file) return;
    try {
      const points = await page.analysis.reference(await file.text(), file.name);
      setText('ref-msg', '');
      t.setReference({ name: file.name, points });
    } catch (e) {
      setText('ref-msg', e.message);
    }
  });
  const describe = () => (t.reference ? t.reference.name + ' (' + t.reference.points.length + ' points)'
    : page.analysis.fullScale);
  setText('ref-state', describe());
  return {
    refresh() {
      $('ref-save').disabled = !t.result;
      $('ref-clear').disabled = !t.reference;
    },
    trace(what) {
      if (what === 'reference') setText('ref-state', describe());
      if (what === 'refused') setText('ref-msg', t.refusal);
      if (what === 'analysed') setText('ref-msg', '');
    },
  };
}

// ------------------------------------------------------------ kept traces and downloads

export function tracesPanel(page) {
  const t = page.trace;
  $('keep').addEventListener('click', () => {
    const name = 'sweep ' + t.sweep.id + (t.reference ? ' vs ' + t.reference.name : '');
    const kept = page.chart.keep(name);
    const li = document.createElement('li');
    const swatch = document.createElement('span');
    swatch.className = 'swatch';
    swatch.style.background = kept.colour;
    const remove = document.createElement('button');
    remove.type = 'button';
    remove.textContent = 'remove';
    remove.setAttribute('aria-label', 'remove ' + name);
    remove.addEventListener('click', () => {
      kept.remove();
      li.remove();
    });
    li.append(swatch, document.createTextNode(name), remove);
    $('kept').append(li);
  });
  $('csv').addEventListener('click', () => {
    const url = URL.createObjectURL(new Blob([t.result.csv], { type: 'text/csv' }));
    download('sweep-' + t.sweep.id + '.csv', url);
    setTimeout(() => URL.revokeObjectURL(url), 10000);
  });
  $('png').addEventListener('click', () => download('sweep-' + t.sweep.id + '.png', page.chart.png()));
  return {
    refresh() {
      $('keep').disabled = !t.result;
      $('csv').disabled = !t.result;
      $('png').disabled = !t.points.length;
    },
  };
}

// ------------------------------------------------------------ the device and its crystal

export function devicePanel(page) {
  const report = (answer, id) => {
    if (answer && answer.error) setText(id, answer.error);
  };
  $('cal').addEventListener('click', async () => report(await page.source.calibrate(), 'dev-msg'));
  $('off').addEventListener('click', async () => report(await page.source.off(), 'dev-msg'));
  $('xtal-btn').addEventListener('click', async () => {
    const value = $('xtal').value.trim();
    const refusal = value ? page.analysis.crystalRefusal(value) : 'give the crystal frequency you counted';
    setText('hz-msg', refusal);
    if (refusal) return;
    if (!confirm('Store ' + value + ' Hz as the crystal frequency in the tester\'s flash?')) return;
    const answer = await page.source.storeCrystal(value);
    setText('hz-msg', answer.ok ? '' : answer.error);
  });
  return {
    refresh() {
      document.querySelectorAll('.needs-device').forEach((e) => { e.disabled = !page.canCommand(); });
    },
    device(d) {
      $('dev-dot').className = 'dot ' + (d.connected ? 'on' : 'off');
      setText('dev-state', d.connected ? (d.job ? 'busy: ' + d.job : 'connected') : 'not connected: ' + d.error);
      setText('dev-name', d.device || '');
      setText('dev-id', d.identification ? 'identification ' + d.identification : '');
      setText('dev-xtal', d.crystal ? 'crystal ' + d.crystal + ' Hz' : '');
      if (d.message) setText('dev-msg', d.message);
    },
  };
}
