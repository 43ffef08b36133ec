// The chart (Chart.js): the current trace as it grows, its markers, the
// traces kept for comparison, and the readout of the point under the
// pointer. Every number it shows as text comes from the analysis (each
// point carries its readout); the chart only draws.

const COLOURS = ['#6d4c41', '#7b1fa2', '#00897b', '#f57c00', '#5c6bc0', '#c2185b', '#558b2f'];
const MARKERS = 0, CURRENT = 1, USER_MARKERS = 2, OVERLOAD = 3;

const whiteBackground = {
  id: 'whiteBackground',
  beforeDraw(chart) {
    const c = chart.ctx;
    c.save();
    c.fillStyle = '#fff';
    c.fillRect(0, 0, chart.width, chart.height);
    c.restore();
  },
};

export class TraceChart {
  // canvas: the chart's element; onpointer(text): the readout under the pointer.
  constructor(canvas, onpointer) {
    this.onpointer = onpointer;
    this.nextColour = 0;
    const markerStyle = { showLine: false, pointRadius: 6, pointHoverRadius: 6, pointStyle: 'triangle', rotation: 180 };
    this.chart = new Chart(canvas, {
      type: 'line',
      data: {
        datasets: [
          { label: 'markers', data: [], borderColor: '#d32f2f', backgroundColor: '#d32f2f', ...markerStyle },
          { label: 'this sweep', data: [], borderColor: '#1565c0', backgroundColor: '#1565c0', borderWidth: 1.5,
            pointRadius: 0, spanGaps: false },
          { label: 'markers placed', data: [], borderColor: '#2e7d32', backgroundColor: '#2e7d32', showLine: false,
            pointRadius: 7, pointHoverRadius: 8, pointStyle: 'rectRot' },
          { label: 'overload', data: [], borderColor: '#d32f2f', backgroundColor: '#d32f2f', showLine: false,
            pointRadius: 5, pointHoverRadius: 6, pointStyle: 'crossRot', borderWidth: 2 },
        ],
      },
      options: {
        animation: false,
        parsing: false,
        normalized: true,
        maintainAspectRatio: false,
        interaction: { mode: 'nearest', axis: 'x', intersect: false },
        scales: {
          x: { type: 'linear', title: { display: true, text: 'frequency (MHz)' },
            ticks: { callback: (v) => (v / 1e6).toLocaleString('en', { maximumFractionDigits: 3 }) } },
          y: { title: { display: true, text: 'dB (full scale)' } },
        },
        plugins: {
          legend: { labels: { filter: (item, data) => item.text !== 'markers' && item.text !== 'markers placed'
        && !(item.text === 'overload' && !data.datasets[item.datasetIndex].data.length) } },
          tooltip: { callbacks: { label: (ctx) => ctx.dataset.label + ': ' + (ctx.raw.text || ''), title: () => '' } },
        },
        onHover: (event) => this.pointer(event),
        onClick: (event) => this.clicked(event),
      },
      plugins: [whiteBackground],
    });
    this.redrawing = false;
    this.onclick = null; // (hz, nearMarkerIndex or -1) for a click on the chart
  }

  // A click on the chart: its frequency, and the placed marker within 8
  // pixels of it, if any.
  clicked(event) {
    if (!this.onclick) return;
    const x = this.chart.scales.x;
    const hz = x.getValueForPixel(event.x);
    const marks = this.chart.data.datasets[USER_MARKERS].data;
    let near = -1;
    marks.forEach((m, i) => {
      if (Math.abs(x.getPixelForValue(m.x) - event.x) <= 8 && (near < 0 || m.index < marks[near].index)) near = i;
    });
    this.onclick(hz, near < 0 ? -1 : marks[near].index);
  }

  // The markers the user placed: [{index, frequency, db, text}] (db null:
  // no reading there), drawn where they read.
  userMarkers(readings) {
    this.chart.data.datasets[USER_MARKERS].data = readings.filter((m) => m.db !== null)
      .map((m) => ({ x: m.frequency, y: m.db, text: m.text, index: m.index }));
    this.redraw();
  }

  // The points the detector could not hold: [{x, y: what it read at least, text}].
  overload(points) {
    this.chart.data.datasets[OVERLOAD].data = points;
    this.redraw();
  }

  get current() { return this.chart.data.datasets[CURRENT].data; }

  redraw() {
    if (this.redrawing) return;
    this.redrawing = true;
    requestAnimationFrame(() => {
      this.redrawing = false;
      this.chart.update('none');
    });
  }

  pointer(event) {
    const data = this.current;
    if (!data.length) return;
    const x = this.chart.scales.x.getValueForPixel(event.x);
    let best = null;
    for (const p of data) if (p.y !== null && (!best || Math.abs(p.x - x) < Math.abs(best.x - x))) best = p;
    if (best) this.onpointer('pointer: ' + best.text);
  }

  // A new sweep: an empty trace over the plan's span.
  begin(plan, yTitle) {
    this.chart.data.datasets[CURRENT].data = [];
    this.chart.data.datasets[MARKERS].data = [];
    this.chart.data.datasets[OVERLOAD].data = [];
    this.chart.options.scales.x.type = plan.log ? 'logarithmic' : 'linear';
    this.chart.options.scales.x.min = plan.start;
    this.chart.options.scales.x.max = plan.stop;
    this.setTitle(yTitle);
    this.redraw();
  }

  setTitle(yTitle) { this.chart.options.scales.y.title.text = yTitle; }

  // The trace's points from the first without a dB on the chart: their dB
  // and readouts (`texts`); `from` 0 puts the whole trace anew.
  show(points, db, texts, from) {
    const data = this.current;
    data.length = Math.min(data.length, from);
    for (let i = data.length; i < db.length; ++i) data.push({ x: points[i][0], y: db[i], text: texts[i] });
    this.redraw();
  }

  // The markers of a summary (maximum, -3 dB points), or none.
  markers(summary) {
    const marks = [];
    if (summary && summary.max) {
      marks.push({ x: summary.max.frequency, y: summary.max.db, text: summary.texts.max });
      const level = summary.max.db - 3;
      if (summary.lower_3db !== null) marks.push({ x: summary.lower_3db, y: level, text: summary.texts.lower_3db });
      if (summary.upper_3db !== null) marks.push({ x: summary.upper_3db, y: level, text: summary.texts.upper_3db });
    }
    this.chart.data.datasets[MARKERS].data = marks;
    this.redraw();
  }

  // A copy of the current trace, kept in its own colour until `remove()`.
  keep(name) {
    const colour = COLOURS[this.nextColour++ % COLOURS.length];
    const data = this.current.map((p) => ({ ...p }));
    const dataset = { label: name, data, borderColor: colour, backgroundColor: colour, borderWidth: 1, pointRadius: 0,
      spanGaps: false };
    this.chart.data.datasets.push(dataset);
    this.redraw();
    return {
      colour,
      remove: () => {
        this.chart.data.datasets.splice(this.chart.data.datasets.indexOf(dataset), 1);
        this.redraw();
      },
    };
  }

  png() { return this.chart.toBase64Image('image/png'); }
}
