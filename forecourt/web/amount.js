// Amounts as an attendant types them, and as the page shows them.
//
// A number field would read "2,5" as 25 in some browsers and accept "1e2";
// a text field read here takes a decimal comma or point, refuses anything
// else, and checks the amount against the pump's step and range.

// The browser's languages: Intl's default is the engine's, which need not
// be the one the user chose.
const LOCALES = globalThis.navigator?.languages?.length ? [...navigator.languages] : undefined;

// What a pump takes when the service does not say.
export const DEFAULT_LIMITS = {
  price: { step: 0.01, min: 0.01, max: 99.99 },
  volume: { step: 0.1, min: 0.1, max: 999.9 },
  money: { step: 1, min: 1, max: 9999 },
};

export function limitsOf(pump, kind) {
  return { ...DEFAULT_LIMITS[kind], ...(pump?.limits?.[kind] ?? {}) };
}

// The digits after the point of a step: 0.01 -> 2, 1 -> 0.
export function decimalsOf(step) {
  const text = String(step);
  const point = text.indexOf('.');
  return point < 0 ? 0 : text.length - point - 1;
}

// Rounds as the service does, half away from zero, on the step's decimals.
export function roundTo(value, decimals) {
  const scale = 10 ** decimals;
  return Math.sign(value) * Math.round(Math.abs(value) * scale + 1e-9) / scale;
}

// {value} or {error}: the amount typed, checked against {step, min, max}.
export function parseAmount(text, limits) {
  const typed = String(text).trim().replace(/\s/g, '');
  if (typed === '') {
    return { error: 'Type an amount.' };
  }
  if (!/^\d*([.,]\d*)?$/.test(typed) || !/\d/.test(typed)) {
    return { error: `"${typed}" is not an amount: digits and one decimal comma or point.` };
  }
  const value = Number(typed.replace(',', '.'));
  const decimals = decimalsOf(limits.step);
  const steps = value / limits.step;
  const show = (v) => roundTo(v, decimals).toFixed(decimals);
  if (value < limits.min || value > limits.max) {
    return { error: `${typed} is outside ${show(limits.min)}–${show(limits.max)}.` };
  }
  if (Math.abs(steps - Math.round(steps)) > 1e-6) {
    const below = Math.floor(steps) * limits.step;
    const above = Math.ceil(steps) * limits.step;
    return { error: `${typed} is not a step of ${show(limits.step)}: ${show(below)} or ${show(above)}.` };
  }
  return { value: roundTo(value, decimals) };
}

// Formatting in the browser's locale; one rounding, here, for the screen.
export class Formats {
  constructor(currency) {
    this.currency = currency || null;
    const money = this.currency
      ? new Intl.NumberFormat(LOCALES, { style: 'currency', currency: this.currency })
      : new Intl.NumberFormat(LOCALES, { minimumFractionDigits: 2, maximumFractionDigits: 2 });
    this.moneyDecimals = money.resolvedOptions().maximumFractionDigits;
    this.moneyFormat = money;
    this.volumeFormat = new Intl.NumberFormat(LOCALES, { minimumFractionDigits: 2, maximumFractionDigits: 2 });
    this.priceFormats = new Map();
  }

  volume(v) {
    return v == null ? '–' : `${this.volumeFormat.format(roundTo(Number(v), 2))} L`;
  }

  money(m) {
    return m == null ? '–' : this.moneyFormat.format(roundTo(Number(m), this.moneyDecimals));
  }

  // A price with the pump's own precision (its step), per litre.
  price(p, step = DEFAULT_LIMITS.price.step) {
    if (p == null) {
      return '–';
    }
    const decimals = decimalsOf(step);
    let format = this.priceFormats.get(decimals);
    if (!format) {
      const options = { minimumFractionDigits: decimals, maximumFractionDigits: decimals };
      format = new Intl.NumberFormat(LOCALES, this.currency ? { ...options, style: 'currency', currency: this.currency } : options);
      this.priceFormats.set(decimals, format);
    }
    return format.format(roundTo(Number(p), decimals));
  }

  preset(kind, amount) {
    return kind === 'money' ? this.money(amount) : this.volume(amount);
  }
}

export const clockText = (t) => (t ? new Date(t).toLocaleTimeString(LOCALES, { hour12: false }) : '–');
export const dateTimeText = (t) =>
  (t ? new Date(t).toLocaleString(LOCALES, { dateStyle: 'short', timeStyle: 'medium', hour12: false }) : '–');

// "45 s", "3 min", "2 h 5 min": how long a pump has been in its state.
export function ageText(ms) {
  const s = Math.floor(ms / 1000);
  if (s < 60) {
    return `${s} s`;
  }
  const m = Math.floor(s / 60);
  if (m < 60) {
    return `${m} min`;
  }
  return `${Math.floor(m / 60)} h ${m % 60} min`;
}
