// The shifts view: open and close a shift (control), the list of shifts, and
// a closed shift's report, printable on A4 with a bar chart of the volume
// each pump sold. The chart is inline SVG drawn here: one chart of a few
// bars needs no library, and the page fetches nothing at run time.
import { dateTimeText } from './amount.js';

const SVG = 'http://www.w3.org/2000/svg';
const $ = (id) => document.getElementById(id);

const FLAGS = {
  'missing-opening': 'no reading at the opening',
  'missing-closing': 'no reading at the closing',
  'counters-went-back': 'the counters went back',
  'busy-at-opening': 'a sale ran at the opening',
  'busy-at-closing': 'a sale ran at the closing',
};

function svg(tag, attributes = {}, ...children) {
  const node = document.createElementNS(SVG, tag);
  for (const [name, value] of Object.entries(attributes)) {
    node.setAttribute(name, value);
  }
  node.append(...children);
  return node;
}

function html(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (name === 'text') {
      node.textContent = value;
    } else {
      node.setAttribute(name, value);
    }
  }
  node.append(...children);
  return node;
}

// 1, 2 or 5 times a power of ten, at least `value`: the top of the axis.
function niceTop(value) {
  if (!(value > 0)) {
    return 1;
  }
  const power = 10 ** Math.floor(Math.log10(value));
  return [1, 2, 5, 10].map((m) => m * power).find((top) => top >= value);
}

// A bar per entry of `bars` ({key, label, value, text}), labelled axes, and
// a title and description for screen readers.
export function barChart({ id, title, description, bars, axisLabel, format }) {
  const width = 640;
  const height = 280;
  const left = 72;
  const bottom = 56;
  const top = 24;
  const right = 16;
  const plotWidth = width - left - right;
  const plotHeight = height - top - bottom;
  const max = niceTop(Math.max(0, ...bars.map((b) => b.value)));
  const y = (v) => top + plotHeight - (Math.max(0, v) / max) * plotHeight;
  const chart = svg('svg', {
    viewBox: `0 0 ${width} ${height}`, role: 'img', class: 'chart',
    'aria-labelledby': `${id}-title ${id}-desc`,
  }, svg('title', { id: `${id}-title` }, title), svg('desc', { id: `${id}-desc` }, description));
  for (let i = 0; i <= 4; i += 1) {
    const value = (max * i) / 4;
    chart.append(
      svg('line', { class: 'grid', x1: left, x2: width - right, y1: y(value), y2: y(value) }),
      svg('text', { class: 'tick', x: left - 6, y: y(value) + 4, 'text-anchor': 'end' }, format(value)));
  }
  chart.append(
    svg('text', { class: 'axis-label', transform: `translate(14 ${top + plotHeight / 2}) rotate(-90)`, 'text-anchor': 'middle' }, axisLabel),
    svg('text', { class: 'axis-label', x: left + plotWidth / 2, y: height - 6, 'text-anchor': 'middle' }, 'Pump'),
    svg('line', { class: 'axis', x1: left, x2: left, y1: top, y2: top + plotHeight }),
    svg('line', { class: 'axis', x1: left, x2: width - right, y1: top + plotHeight, y2: top + plotHeight }));
  const slot = plotWidth / Math.max(1, bars.length);
  bars.forEach((bar, i) => {
    const x = left + i * slot + slot * 0.2;
    const barWidth = slot * 0.6;
    chart.append(
      svg('rect', {
        class: 'bar', 'data-pump': bar.key, x, y: y(bar.value), width: barWidth,
        height: top + plotHeight - y(bar.value),
      }, svg('title', {}, `${bar.label}: ${bar.text}`)),
      svg('text', { class: 'value', x: x + barWidth / 2, y: y(bar.value) - 4, 'text-anchor': 'middle' }, bar.text),
      svg('text', { class: 'tick', x: x + barWidth / 2, y: top + plotHeight + 18, 'text-anchor': 'middle' }, bar.label));
  });
  return chart;
}

export class Shifts {
  // `context()` gives the page's api, formats and may(role) when asked.
  constructor(context) {
    this.context = context;
    this.current = null;
    this.shown = null;
    $('shift-open').addEventListener('click', () => this.change('/api/v1/shifts', 'Shift opened'));
    $('shift-close').addEventListener('click', () => this.change('/api/v1/shifts/current/close', 'Shift closed'));
    $('shift-print').addEventListener('click', () => window.print());
    $('shift-csv').addEventListener('click', () => this.download());
  }

  async change(path, done) {
    const { api } = this.context();
    $('shift-open').disabled = $('shift-close').disabled = true;
    $('shift-status').textContent = 'Reading the pumps’ counters…';
    try {
      const shift = await api.post(path);
      $('shift-status').textContent = `${done}: shift ${shift.id}.`;
      await this.refresh();
      if (shift.closed_at) {
        await this.report(shift.id);
      }
    } catch (error) {
      $('shift-status').textContent = error.message;
      await this.refresh();
    }
  }

  async refresh() {
    const { api } = this.context();
    const shifts = await api.get('/api/v1/shifts?limit=20');
    this.current = shifts.find((s) => !s.closed_at) ?? null;
    $('shift-open').disabled = Boolean(this.current);
    $('shift-close').disabled = !this.current;
    $('shift-current').textContent = this.current
      ? `Shift ${this.current.id} is open since ${dateTimeText(Date.parse(this.current.opened_at))} (${this.current.opened_by}).`
      : 'No shift is open.';
    $('shifts-body').replaceChildren(...shifts.map((s) => {
      const report = html('button', { type: 'button', text: 'Report' });
      report.disabled = !s.closed_at;
      report.addEventListener('click', () => this.report(s.id).catch((error) => {
        $('shift-status').textContent = error.message;
      }));
      return html('tr', { 'data-shift': s.id },
        html('td', { 'data-label': 'Shift', text: String(s.id) }),
        html('td', { 'data-label': 'Opened', text: `${dateTimeText(Date.parse(s.opened_at))} · ${s.opened_by}` }),
        html('td', { 'data-label': 'Closed', text: s.closed_at ? `${dateTimeText(Date.parse(s.closed_at))} · ${s.closed_by}` : 'open' }),
        html('td', { 'data-label': 'Report' }, report));
    }));
    $('shifts-empty').hidden = shifts.length > 0;
  }

  async report(id) {
    const { api, formats } = this.context();
    const data = await api.get(`/api/v1/shifts/${id}/report`);
    this.shown = id;
    const volume = (v) => formats.volume(v);
    const money = (m) => formats.money(m);
    const reading = (r) => (!r ? '–' : r.missing ? `missing: ${r.missing}` : volume(r.volume));
    $('report-title').textContent = `Shift ${id}`;
    $('report-period').textContent =
      `${dateTimeText(Date.parse(data.from))} (${data.shift.opened_by}) to ${dateTimeText(Date.parse(data.to))} (${data.shift.closed_by})`;
    const names = new Map(data.pumps.map((p) => [p.pump, p.name || `Pump ${p.pump}`]));
    $('report-chart').replaceChildren(barChart({
      id: 'report-chart',
      title: `Volume sold per pump, shift ${id}`,
      description: data.pumps.map((p) => `${names.get(p.pump)}: ${volume(p.sales.volume)}`).join('; '),
      bars: data.pumps.map((p) => ({
        key: p.pump, label: names.get(p.pump), value: p.sales.volume, text: volume(p.sales.volume),
      })),
      axisLabel: 'Volume sold (L)',
      format: (v) => formats.volumeFormat.format(v),
    }));
    const row = (p, label) => {
      const state = (name) => String(p.by_state[name].count);
      const notes = label ? '' : p.flags.map((f) => FLAGS[f] ?? f).join('; ');
      const cells = [
        ['Pump', label ?? names.get(p.pump), ''],
        ['Opening', label ? '' : reading(p.opening), 'volume'],
        ['Closing', label ? '' : reading(p.closing), 'volume'],
        ['Meters', p.meter ? volume(p.meter.volume) : '–', 'volume'],
        ['Meters, money', p.meter ? money(p.meter.money) : '–', 'money'],
        ['Sold', volume(p.sales.volume), 'volume'],
        ['Sold, money', money(p.sales.money), 'money'],
        ['Cleared', state('cleared'), 'volume'],
        ['Payable', state('payable'), 'volume'],
        ['Locked', state('locked'), 'volume'],
        ['Cancelled', state('cancelled'), 'volume'],
        ['Fallback', state('fallback'), 'volume'],
        ['Variance', p.variance ? volume(p.variance.volume) : '–', 'volume'],
        ['Variance, money', p.variance ? money(p.variance.money) : '–', 'money'],
        ['Alerts', String(p.alerts), 'volume'],
        ['Notes', label ? p.flags.join(', ') : notes, ''],
      ];
      // Beyond the counters' rounding the variance is fuel (or its lack).
      const v = p.variance;
      const beyond = v && (Math.abs(v.volume) > v.rounding.volume || Math.abs(v.money) > v.rounding.money);
      const tr = html('tr', { 'data-pump': p.pump, 'data-variance': v ? (beyond ? 'beyond-rounding' : 'rounding') : 'none' });
      if (p.flags.length) {
        tr.dataset.flagged = 'true';
      }
      for (const [name, text, kind] of cells) {
        tr.append(html(name === 'Pump' ? 'th' : 'td', { 'data-label': name, class: kind, text }));
      }
      tr.firstChild.setAttribute('scope', 'row');
      return tr;
    };
    $('report-body').replaceChildren(...data.pumps.map((p) => row(p)), row(data.total, 'Total'));
    $('report-alerts').replaceChildren(...data.alerts.map((a) =>
      html('li', { text: `${dateTimeText(Date.parse(a.created))} · ${a.pump ? `pump ${a.pump} · ` : ''}${a.message}` })));
    $('report-no-alerts').hidden = data.alerts.length > 0;
    $('report-printed').textContent = `Printed ${dateTimeText(Date.now())}`;
    $('shift-report').hidden = false;
  }

  // The CSV as the service writes it, saved as a file.
  async download() {
    const { api } = this.context();
    const response = await fetch(`/api/v1/shifts/${this.shown}/report`, {
      headers: api.headers({ Accept: 'text/csv' }), cache: 'no-store',
    });
    if (!response.ok) {
      $('shift-status').textContent = `The CSV could not be read (${response.status}).`;
      return;
    }
    const link = html('a', { href: URL.createObjectURL(await response.blob()), download: `shift-${this.shown}.csv` });
    link.click();
    URL.revokeObjectURL(link.href);
  }
}
