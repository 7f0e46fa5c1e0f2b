// The forecourt page: pumps, sales, lines and alerts of one tarvenixd,
// kept current from its event stream. Events are applied from their own
// data and drawn once per animation frame; reads of whole lists happen on
// connection, on a resync and when the user pages.
import { Api, ApiError } from './api.js';
import { Formats, ageText, clockText, dateTimeText, limitsOf, parseAmount } from './amount.js';
import { Shifts } from './shifts.js';

const TOKEN_KEY = 'tarvenix.token';
const CLIENT_KEY = 'tarvenix.client';
const ROLES = ['monitor', 'control', 'admin'];
const OPEN_STATES = new Set(['authorising', 'authorised', 'fuelling']);
const UNPAID_STATES = new Set(['payable', 'locked']);
const AGE_SHOWN_AFTER_MS = 5000;
const PAGE = 25;
const TRACE_KEPT = 2000;

const $ = (id) => document.getElementById(id);
const state = {
  api: null,
  role: 'monitor',
  client: 'web',
  formats: new Formats(null),
  presets: { volume: [], money: [] },
  pumps: new Map(),
  txns: new Map(),
  alerts: new Map(),
  events: null,
  trace: null,
  up: false,
  downSince: null,
  seq: 0, // events applied, for telling a late snapshot from newer events
  dirty: new Set(),
  frame: 0,
  sales: { state: 'to-pay', pump: '', offset: 0, total: 0, rows: new Map() },
  lines: [],
  health: [],
  // ?bench: the benchmark reads when each live event reached the screen.
  bench: new URLSearchParams(location.search).has('bench') ? { drawn: [], frames: 0, dropped: 0 } : null,
};
window.forecourtBench = state.bench;

function may(role) {
  return ROLES.indexOf(state.role) >= ROLES.indexOf(role);
}

function el(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (name === 'text') {
      node.textContent = value;
    } else if (name.startsWith('on')) {
      node.addEventListener(name.slice(2), value);
    } else if (value !== false && value !== null && value !== undefined) {
      node.setAttribute(name, value === true ? '' : value);
    }
  }
  node.append(...children);
  return node;
}

function setText(node, text) {
  if (node.textContent !== text) {
    node.textContent = text;
  }
}

// A button that acts on one press of a pointer, but asks for a second
// press when the keyboard triggered it: Enter on a focused Stop must not
// stop a pump by accident, and a tap on the emergency stop must not wait.
function guarded(button, label, confirmLabel, act) {
  let armed = null;
  button.addEventListener('click', (event) => {
    const byKeyboard = event.detail === 0;
    if (byKeyboard && !armed) {
      button.textContent = confirmLabel;
      armed = setTimeout(() => {
        armed = null;
        button.textContent = label;
      }, 4000);
      return;
    }
    clearTimeout(armed);
    armed = null;
    button.textContent = label;
    act();
  });
}

// --- Sign in

function showLogin(message = '') {
  state.events?.stop();
  state.trace?.stop();
  for (const id of ['main', 'sign-out', 'stop-all', 'nav', 'who']) {
    $(id).hidden = true;
  }
  $('login').hidden = false;
  $('login-error').textContent = message;
  setLink('signed-out');
  $('token').focus();
}

async function start() {
  const token = sessionStorage.getItem(TOKEN_KEY) ?? '';
  const api = new Api(token);
  let session;
  try {
    session = await api.get('/api/v1/session');
  } catch (error) {
    if (error instanceof ApiError && (error.status === 401 || error.status === 403)) {
      sessionStorage.removeItem(TOKEN_KEY);
      showLogin(token ? 'This token is no longer accepted.' : '');
    } else {
      // The service is not up yet: keep saying so and try again.
      setLink('connecting');
      setTimeout(start, 2000);
    }
    return;
  }
  if (!session.role) {
    showLogin();  // the service has tokens and we hold none
    return;
  }
  enter(api, token, session);
}

async function signIn(token) {
  const api = new Api(token);
  try {
    const session = await api.get('/api/v1/session');
    if (!session.role) {
      showLogin('Give the token of this till.');
      return;
    }
    sessionStorage.setItem(TOKEN_KEY, token);
    enter(api, token, session);
  } catch (error) {
    showLogin(error instanceof ApiError && error.status === 401 ? 'This token is not accepted.' : error.message);
  }
}

function tabClient() {
  let client = sessionStorage.getItem(CLIENT_KEY);
  if (!client) {
    client = `web-${Math.random().toString(36).slice(2, 6)}`;
    sessionStorage.setItem(CLIENT_KEY, client);
  }
  return client;
}

function enter(api, token, session) {
  state.api = api;
  state.role = session.role;
  // A named token is the till: the service locks in its name whatever we
  // send. Without one, each tab is a client of its own.
  state.client = session.name ?? tabClient();
  state.formats = new Formats(session.currency);
  state.presets = session.presets ?? { volume: [], money: [] };
  document.body.dataset.role = state.role;
  $('login').hidden = true;
  $('main').hidden = false;
  $('nav').hidden = false;
  $('sign-out').hidden = session.open;
  $('stop-all').hidden = !may('control');
  $('who').hidden = !session.name;
  $('who').textContent = session.name ? `Till: ${session.name}` : '';
  state.pumps.clear();
  state.txns.clear();
  state.alerts.clear();
  $('grid').replaceChildren();
  showView();
  state.events = state.api.stream('/api/v1/events', {
    onOpen: () => {
      setLink('up');
      refreshAll();
    },
    onDown: () => setLink('down'),
    onEvent: handleEvent,
    onRefused: (error) => showLogin(error.message),
  });
}

function setLink(link) {
  const wasUp = state.up;
  state.up = link === 'up';
  if (link === 'down' && !state.downSince) {
    state.downSince = Date.now();
  } else if (link !== 'down') {
    state.downSince = null;
  }
  document.body.dataset.link = link;
  $('link').dataset.up = String(state.up);
  const since = state.downSince ? `Disconnected since ${clockText(state.downSince)}` : '';
  $('link').textContent = { up: 'Live', down: since, connecting: 'Connecting…', 'signed-out': '' }[link];
  $('outage').hidden = link !== 'down';
  $('outage').textContent = `${since}: reconnecting. The pumps below may have moved on.`;
  if (wasUp !== state.up) {
    setControls(state.up);
  }
}

// While the stream is down nothing on the page is current: no command
// but the stops, which cost nothing to try when the stream alone is down
// and whose result says whether they reached the pumps.
function setControls(enabled) {
  for (const node of document.querySelectorAll('#main .control :is(button, input, select)')) {
    node.disabled = !enabled && !node.classList.contains('stop');
  }
}

// --- Views

function showView() {
  const name = location.hash.slice(1) || 'pumps';
  const known = ['pumps', 'sales', 'lines', 'alerts', 'shifts'].includes(name) ? name : 'pumps';
  for (const section of document.querySelectorAll('main > .view')) {
    section.hidden = section.id !== known;
  }
  for (const link of document.querySelectorAll('#nav a')) {
    if (link.getAttribute('href') === `#${known}`) {
      link.setAttribute('aria-current', 'page');
    } else {
      link.removeAttribute('aria-current');
    }
  }
  if (known === 'lines' && state.api) {
    refreshLines();
  }
  if (known === 'shifts' && state.api) {
    quietly(() => shifts.refresh());
  }
}
const shifts = new Shifts(() => ({ api: state.api, formats: state.formats }));
addEventListener('hashchange', () => {
  showView();
  window.scrollTo(0, 0);
});

// --- Events

function handleEvent(event) {
  let data;
  try {
    data = JSON.parse(event.data);
  } catch {
    return;
  }
  state.seq += 1;
  switch (event.type) {
    case 'live': {
      const pump = state.pumps.get(String(data.pump));
      if (pump) {
        pump.data.volume = data.volume;
        pump.data.money = data.money;
        if (data.transaction != null) {
          pump.data.transaction = data.transaction;
        }
        pump.touched = state.seq;
        pump.liveId = event.id;
        mark(pump);
      }
      break;
    }
    case 'pump': {
      const pump = state.pumps.get(String(data.pump));
      if (!pump) {
        refreshPumps();
        break;
      }
      if (data.state !== pump.data.state || data.online !== pump.data.online) {
        pump.since = Date.now();
        // What was said under the card was about the state before.
        if (!pump.busy) {
          setMessage(pump, '');
        }
      }
      Object.assign(pump.data, { state: data.state, online: data.online, price: data.price, state_code: data.state_code });
      pump.touched = state.seq;
      mark(pump);
      break;
    }
    case 'transaction':
      applyTransaction(data);
      break;
    case 'alert':
      applyAlert(data);
      break;
    case 'line':
      refreshLines();
      break;
    case 'resync':
      refreshAll();
      break;
    default:
      break;
  }
}

function applyTransaction(txn) {
  const before = state.txns.get(txn.id);
  state.txns.set(txn.id, txn);
  if (state.txns.size > 2000) {
    state.txns.delete(state.txns.keys().next().value);
  }
  const pump = state.pumps.get(String(txn.pump));
  if (pump) {
    if (!pump.lastTxn || txn.id >= pump.lastTxn) {
      pump.lastTxn = txn.id;
    }
    if (OPEN_STATES.has(txn.state)) {
      pump.data.transaction = txn.id;
    } else if (txn.id === pump.data.transaction) {
      // The final reading: live events are thinned and may have missed it.
      pump.data.transaction = null;
      if (txn.state !== 'failed') {
        pump.data.volume = txn.volume;
        pump.data.money = txn.money;
      }
    }
    const wasUnpaid = before ? UNPAID_STATES.has(before.state) : null;
    const isUnpaid = UNPAID_STATES.has(txn.state);
    if (wasUnpaid === null) {
      if (isUnpaid || txn.state === 'cleared') {
        refreshPump(pump);  // a sale not seen before: ask for the count
      }
    } else if (wasUnpaid !== isUnpaid) {
      pump.data.unpaid = Math.max(0, (pump.data.unpaid ?? 0) + (isUnpaid ? 1 : -1));
    }
    pump.touched = state.seq;
    mark(pump);
  }
  applySale(txn);
}

// --- Drawing, once per frame

function mark(pump) {
  state.dirty.add(pump);
  if (!state.frame) {
    state.frame = requestAnimationFrame(flush);
  }
}

function flush() {
  state.frame = 0;
  const began = performance.now();
  for (const pump of state.dirty) {
    renderPump(pump);
  }
  if (state.bench) {
    const drawn = performance.timeOrigin + performance.now();
    state.bench.drawMs = (state.bench.drawMs ?? 0) + (performance.now() - began);
    for (const pump of state.dirty) {
      if (pump.liveId) {
        state.bench.drawn.push([pump.liveId, drawn]);
        pump.liveId = null;
      }
    }
  }
  state.dirty.clear();
}

if (state.bench) {
  let last = 0;
  const tick = (now) => {
    if (last && now - last > 1000 / 60 * 1.5) {
      state.bench.dropped += Math.round((now - last) / (1000 / 60)) - 1;
    }
    state.bench.frames += 1;
    last = now;
    requestAnimationFrame(tick);
  };
  requestAnimationFrame(tick);
}

// A pump's age in its state is worth showing once it is a few seconds old.
setInterval(() => {
  const now = Date.now();
  for (const pump of state.pumps.values()) {
    if (pump.since && now - pump.since >= AGE_SHOWN_AFTER_MS) {
      mark(pump);
    }
  }
}, 1000);

function refreshAll() {
  refreshPumps().then(() => {
    refreshSales();
    fillPumpChoices();
  });
  refreshLines();
  refreshAlerts();
}

// Reads that fail while the service is away are retried on reconnection.
async function quietly(read) {
  try {
    await read();
  } catch (error) {
    if (error instanceof ApiError && error.status === 401) {
      showLogin('This token is no longer accepted.');
    }
  }
}

// --- Pumps

// Takes a snapshot of a pump, except what events newer than the request
// already told: a late reply must not move a live value back.
function takeSnapshot(pump, data, asked) {
  if (pump.touched > asked) {
    const { state: s, online, price, volume, money, transaction, unpaid } = pump.data;
    pump.data = { ...data, state: s, online, price, volume, money, transaction, unpaid };
  } else {
    if (!pump.since || pump.data.state !== data.state || pump.data.online !== data.online) {
      pump.since = data.state_age_ms != null ? Date.now() - data.state_age_ms : Date.now();
    }
    pump.data = data;
  }
}

function refreshPumps() {
  return quietly(async () => {
    const asked = state.seq;
    const pumps = await state.api.get('/api/v1/pumps');
    for (const data of pumps) {
      let pump = state.pumps.get(String(data.id));
      if (!pump) {
        pump = makePump(data);
        state.pumps.set(pump.id, pump);
        $('grid').append(pump.card);
      }
      takeSnapshot(pump, data, asked);
      if (data.transaction != null && !state.txns.has(data.transaction)) {
        pump.lastTxn = Math.max(pump.lastTxn ?? 0, data.transaction);
        readTransaction(data.transaction);
      }
      mark(pump);
    }
    setControls(state.up);
  });
}

const pending = new Set();
function refreshPump(pump) {
  if (pending.has(pump)) {
    return;
  }
  pending.add(pump);
  quietly(async () => {
    const asked = state.seq;
    try {
      const data = await state.api.get(`/api/v1/pumps/${encodeURIComponent(pump.id)}`);
      // Only the count of unpaid sales is wanted; the rest comes by events.
      if (pump.touched > asked) {
        pump.data.unpaid = data.unpaid;
      } else {
        takeSnapshot(pump, data, asked);
      }
      mark(pump);
    } finally {
      pending.delete(pump);
    }
  });
}

function readTransaction(id) {
  quietly(async () => {
    const txn = await state.api.get(`/api/v1/transactions/${id}`);
    if (!state.txns.has(txn.id)) {
      applyTransaction(txn);
    }
  });
}

function makePump(data) {
  const id = String(data.id);
  const key = `pump-${id}`.replace(/[^\w-]/g, '_');
  const refs = {};
  const card = el('li', { class: 'card', id: key, 'aria-labelledby': `${key}-name` });
  refs.name = el('h3', { id: `${key}-name` });
  refs.state = el('span', { class: 'state' });
  refs.age = el('span', { class: 'age' });
  refs.noPrice = el('p', { class: 'no-price', hidden: true });
  refs.volume = el('dd', { class: 'volume' });
  refs.money = el('dd', { class: 'money' });
  refs.price = el('dd', { class: 'price' });
  refs.unpaid = el('dd', { class: 'unpaid' });
  refs.presetText = el('span', { class: 'preset' });
  refs.progress = el('progress', { max: '1', value: '0', 'aria-label': 'Delivered of the preset' });
  refs.presetBox = el('div', { class: 'preset-box', hidden: true }, refs.presetText, refs.progress);
  refs.message = el('p', { class: 'message', role: 'status', 'aria-live': 'polite' });
  card.append(
    el('div', { class: 'title' }, refs.name, el('p', { class: 'status' }, refs.state, refs.age)),
    refs.noPrice,
    el('dl', {},
      el('dt', { text: 'Volume' }), refs.volume,
      el('dt', { text: 'Money' }), refs.money,
      el('dt', { text: 'Price' }), refs.price,
      el('dt', { text: 'Unpaid' }), refs.unpaid),
    refs.presetBox,
  );
  const pump = { id, key, card, refs, data, since: 0, touched: 0, lastTxn: 0, busy: false };
  if (may('control')) {
    card.append(makeControls(pump, key));
  }
  // Every sale of this pump, whatever its state.
  const history = el('a', { href: '#sales', class: 'history', text: 'Sales history', 'aria-label': `Sales history of ${data.name ?? id}` });
  history.addEventListener('click', () => {
    Object.assign(state.sales, { state: '', pump: id, offset: 0 });
    $('sales-state').value = '';
    $('sales-pump').value = id;
    refreshSales();
  });
  card.append(refs.message, history);
  return pump;
}

function makeControls(pump, key) {
  const name = pump.data.name ?? `Pump ${pump.id}`;
  const kind = el('select', { id: `${key}-kind`, class: 'kind' },
    el('option', { value: 'volume', text: 'Litres' }),
    el('option', { value: 'money', text: 'Money' }));
  const amount = el('input', {
    id: `${key}-amount`, class: 'amount', type: 'text', inputmode: 'decimal', autocomplete: 'off',
    placeholder: 'Amount', 'aria-describedby': `${key}-message`,
  });
  pump.refs.message.id = `${key}-message`;
  const authorise = (value) => {
    const checked = value != null ? { value } : parseAmount(amount.value, limitsOf(pump.data, kind.value));
    if (checked.error) {
      setMessage(pump, checked.error, true);
      amount.focus();
      return;
    }
    const body = { [kind.value]: checked.value, client: state.client };
    command(pump, `Authorised: ${state.formats.preset(kind.value, checked.value)}`, () =>
      state.api.post(`/api/v1/pumps/${encodeURIComponent(pump.id)}/authorize`, body), (txn) => {
      amount.value = '';
      if (txn?.id && !state.txns.has(txn.id)) {
        applyTransaction(txn);
      }
    });
  };
  const form = el('form', { class: 'authorise', 'aria-label': `Authorise ${name}` },
    el('label', { for: `${key}-kind`, class: 'visually-hidden', text: 'Preset in' }), kind,
    el('label', { for: `${key}-amount`, class: 'visually-hidden', text: 'Amount' }), amount,
    el('button', { type: 'submit', class: 'authorise-button', text: 'Authorise' }));
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    authorise();
  });

  // One tap on a usual amount.
  const quick = el('div', { class: 'quick', role: 'group', 'aria-label': `Usual amounts for ${name}` });
  const fillQuick = () => {
    quick.replaceChildren(...(state.presets[kind.value] ?? []).map((value) =>
      el('button', {
        type: 'button', class: 'quick-amount', text: state.formats.preset(kind.value, value),
        'aria-label': `Authorise ${name} for ${state.formats.preset(kind.value, value)}`,
        onclick: () => authorise(value),
      })));
    setControls(state.up);
  };
  kind.addEventListener('change', fillQuick);
  fillQuick();

  // Digits for a touch screen without a keyboard.
  const keypad = el('div', { class: 'keypad', hidden: true, role: 'group', 'aria-label': `Keypad for ${name}` },
    ...['7', '8', '9', '4', '5', '6', '1', '2', '3', ',', '0', '⌫'].map((k) =>
      el('button', {
        type: 'button', text: k, 'aria-label': k === '⌫' ? 'Delete a digit' : k,
        onclick: () => {
          amount.value = k === '⌫' ? amount.value.slice(0, -1) : amount.value + k;
        },
      })));
  const keypadToggle = el('button', { type: 'button', class: 'keypad-toggle', text: 'Keypad', 'aria-expanded': 'false' });
  keypadToggle.addEventListener('click', () => {
    keypad.hidden = !keypad.hidden;
    keypadToggle.setAttribute('aria-expanded', String(!keypad.hidden));
  });

  const stop = el('button', { type: 'button', class: 'stop danger', text: 'Stop', 'aria-label': `Stop ${name}` });
  guarded(stop, 'Stop', 'Press again to stop', () =>
    command(pump, 'Stopped', () => state.api.post(`/api/v1/pumps/${encodeURIComponent(pump.id)}/stop`)));

  const price = el('input', {
    id: `${key}-new-price`, class: 'new-price', type: 'text', inputmode: 'decimal', autocomplete: 'off', placeholder: 'Price',
  });
  const setPrice = el('form', { class: 'set-price', 'aria-label': `Price of ${name}` },
    el('label', { for: `${key}-new-price`, class: 'visually-hidden', text: 'New price' }), price,
    el('button', { type: 'submit', text: 'Set price' }));
  setPrice.addEventListener('submit', (event) => {
    event.preventDefault();
    const checked = parseAmount(price.value, limitsOf(pump.data, 'price'));
    if (checked.error) {
      setMessage(pump, checked.error, true);
      price.focus();
      return;
    }
    command(pump, `Price set: ${state.formats.price(checked.value, limitsOf(pump.data, 'price').step)}`, () =>
      state.api.put(`/api/v1/pumps/${encodeURIComponent(pump.id)}/price`, { price: checked.value }), () => {
      price.value = '';
    });
  });
  pump.refs.priceInput = price;
  return el('fieldset', { class: 'controls control' },
    el('legend', { class: 'visually-hidden', text: `Commands for ${name}` }),
    form, quick, keypadToggle, keypad, stop, setPrice);
}

function setMessage(pump, text, refused = false) {
  pump.refs.message.textContent = text;
  pump.refs.message.dataset.refused = String(refused);
}

async function command(pump, done, send, accepted = () => {}) {
  setMessage(pump, '…');
  pump.busy = true;
  try {
    const reply = await send();
    setMessage(pump, done);
    accepted(reply);
  } catch (error) {
    // The service's own words: it knows why it refused.
    setMessage(pump, error.message, true);
  } finally {
    pump.busy = false;
  }
}

function renderPump(pump) {
  const { data, refs, card } = pump;
  const f = state.formats;
  let shown = data.state;
  if (data.state !== 'connecting' && data.online === false) {
    shown = 'offline';
  }
  card.dataset.state = shown;
  setText(refs.name, data.name ?? `Pump ${pump.id}`);
  setText(refs.state, shown);
  const age = pump.since ? Date.now() - pump.since : 0;
  setText(refs.age, age >= AGE_SHOWN_AFTER_MS ? `for ${ageText(age)}` : '');
  setText(refs.volume, f.volume(data.volume));
  setText(refs.money, f.money(data.money));
  const priceStep = limitsOf(data, 'price').step;
  setText(refs.price, f.price(data.price, priceStep));
  setText(refs.unpaid, String(data.unpaid ?? 0));
  const noPrice = data.price == null && shown !== 'connecting' && shown !== 'offline';
  refs.noPrice.hidden = !noPrice;
  if (noPrice) {
    setText(refs.noPrice, may('control') ? 'No price yet: set one below before authorising.' : 'No price yet: a till must set one.');
  }
  // The preset of the running or last unpaid sale, and how far it got.
  const txn = state.txns.get(pump.lastTxn);
  const showPreset = txn && (OPEN_STATES.has(txn.state) || UNPAID_STATES.has(txn.state)) && txn.preset;
  refs.presetBox.hidden = !showPreset;
  if (showPreset) {
    const [kind, amount] = Object.entries(txn.preset)[0];
    const delivered = OPEN_STATES.has(txn.state) ? Number(data[kind] ?? 0) : Number(txn[kind] ?? 0);
    setText(refs.presetText, `Preset ${f.preset(kind, amount)} · sale ${txn.id}`);
    refs.presetText.dataset.amount = String(amount);
    refs.progress.max = amount;
    refs.progress.value = Math.min(delivered, amount);
  }
}

// --- Sales

const salesHeaders = ['Sale', 'Pump', 'Created', 'Preset', 'Volume', 'Money', 'Price', 'State', 'Reconciliation', 'Actions'];

function salesMatch(txn) {
  const { state: wanted, pump } = state.sales;
  if (pump && String(txn.pump) !== pump) {
    return false;
  }
  if (wanted === 'to-pay') {
    return UNPAID_STATES.has(txn.state);
  }
  if (wanted === 'recovered') {
    return txn.recovered === true;
  }
  return !wanted || txn.state === wanted;
}

function salesQuery(extra) {
  const query = new URLSearchParams(extra);
  if (state.sales.pump) {
    query.set('pump', state.sales.pump);
  }
  return `/api/v1/transactions?${query}`;
}

function refreshSales() {
  return quietly(async () => {
    const { state: wanted } = state.sales;
    let sales;
    let total;
    if (wanted === 'to-pay') {
      // Never many: max_unpaid per pump. Both lists whole.
      const a = new Map();
      const b = new Map();
      const [payable, locked] = await Promise.all([
        state.api.get(salesQuery({ state: 'payable', limit: 1000 }), a),
        state.api.get(salesQuery({ state: 'locked', limit: 1000 }), b),
      ]);
      sales = [...payable, ...locked].sort((x, y) => y.id - x.id);
      total = Number(a.get('total') ?? sales.length) + Number(b.get('total') ?? 0);
      state.sales.offset = 0;
    } else {
      const headers = new Map();
      const filter = { limit: PAGE, offset: state.sales.offset };
      if (wanted === 'recovered') {
        filter.recovered = 'true';
      } else if (wanted) {
        filter.state = wanted;
      }
      sales = await state.api.get(salesQuery(filter), headers);
      total = Number(headers.get('total') ?? sales.length);
    }
    const rows = state.sales.rows;
    rows.clear();
    for (const sale of sales) {
      state.txns.set(sale.id, state.txns.get(sale.id) ?? sale);
      rows.set(sale.id, makeSaleRow(sale));
    }
    $('sales-body').replaceChildren(...[...rows.values()].map((row) => row.tr));
    state.sales.total = total;
    showSalesCount();
  });
}

function showSalesCount() {
  const { offset, total, rows, state: wanted } = state.sales;
  const shown = rows.size;
  $('sales-empty').hidden = shown > 0;
  $('sales-count').textContent = shown === 0 ? (total ? `None here of ${total}` : '')
    : `${offset + 1}–${offset + shown} of ${total}`;
  $('sales-newer').disabled = offset === 0;
  $('sales-older').disabled = wanted === 'to-pay' || offset + shown >= total;
}

// A sale event: the row changes in place, keeping its message and focus.
function applySale(txn) {
  const rows = state.sales.rows;
  const row = rows.get(txn.id);
  const matches = salesMatch(txn);
  if (row && matches) {
    updateSaleRow(row, txn);
  } else if (row) {
    row.tr.remove();
    rows.delete(txn.id);
    state.sales.total = Math.max(0, state.sales.total - 1);
    showSalesCount();
  } else if (matches && state.sales.offset === 0) {
    const fresh = makeSaleRow(txn);
    // Before the newest of the older rows: the list stays newest first.
    const next = [...rows.values()].filter((r) => r.id < txn.id).reduce((a, b) => (!a || b.id > a.id ? b : a), null);
    $('sales-body').insertBefore(fresh.tr, next ? next.tr : null);
    rows.set(txn.id, fresh);
    state.sales.total += 1;
    if (state.sales.state !== 'to-pay' && rows.size > PAGE) {
      const last = [...rows.values()].reduce((a, b) => (a.id < b.id ? a : b));
      last.tr.remove();
      rows.delete(last.id);
    }
    showSalesCount();
  }
}

function makeSaleRow(sale) {
  const cells = {};
  const cell = (name, label) => {
    cells[name] = el('td', { 'data-label': label, class: name });
    return cells[name];
  };
  const tr = el('tr', { id: `sale-${sale.id}` },
    el('th', { scope: 'row', 'data-label': 'Sale', text: String(sale.id) }),
    cell('pump', 'Pump'), cell('created', 'Created'), cell('preset', 'Preset'), cell('volume', 'Volume'),
    cell('money', 'Money'), cell('price', 'Price'), cell('sale-state', 'State'),
    cell('reconciliation', 'Reconciliation'));
  const actions = el('td', { class: 'control actions', 'data-label': 'Actions' });
  const buttons = el('span', { class: 'buttons' });
  const message = el('span', { class: 'message', role: 'status', 'aria-live': 'polite' });
  actions.append(buttons, message);
  tr.append(actions);
  const row = { id: sale.id, tr, cells, buttons, message, actionsKey: '' };
  updateSaleRow(row, sale);
  return row;
}

function updateSaleRow(row, sale) {
  const f = state.formats;
  const { cells } = row;
  row.tr.dataset.state = sale.state;
  const pump = state.pumps.get(String(sale.pump));
  setText(cells.pump, pump?.data.name ?? String(sale.pump));
  if (!cells.created.firstChild) {
    cells.created.append(el('time', { datetime: sale.created, text: dateTimeText(sale.created) }));
  }
  const [kind, amount] = Object.entries(sale.preset ?? {})[0] ?? [];
  setText(cells.preset, kind ? f.preset(kind, amount) : '–');
  setText(cells.volume, f.volume(sale.volume));
  setText(cells.money, f.money(sale.money));
  setText(cells.price, f.price(sale.price, pump ? limitsOf(pump.data, 'price').step : undefined));
  // A sale the service authorised itself in fallback shows it, as a recovered one does.
  const notes = [sale.recovered && 'recovered', sale.fallback && 'fallback'].filter(Boolean);
  setText(cells['sale-state'], notes.length ? `${sale.state} (${notes.join(', ')})` : sale.state);
  setText(cells.reconciliation, sale.reconciliation ?? '–');
  cells.reconciliation.className = `reconciliation ${sale.reconciliation}`;
  const key = `${sale.state}/${sale.locked_by}`;
  if (key !== row.actionsKey && may('control')) {
    row.actionsKey = key;
    row.buttons.replaceChildren(...saleActions(row, sale));
    setControls(state.up);
  }
}

function saleActions(row, sale) {
  const act = (verb) => async () => {
    row.message.textContent = '';
    try {
      const updated = await state.api.post(`/api/v1/transactions/${sale.id}/${verb}`, { client: state.client });
      applyTransaction(updated);
    } catch (error) {
      row.message.textContent = error.message;
      row.message.dataset.refused = 'true';
    }
  };
  const button = (verb, text) => el('button', { type: 'button', class: verb, text, 'aria-label': `${text} sale ${sale.id}`, onclick: act(verb) });
  if (sale.state === 'payable') {
    return [button('lock', 'Lock')];
  }
  if (sale.state !== 'locked') {
    return [];
  }
  if (sale.locked_by === state.client) {
    return [button('clear', 'Clear'), button('unlock', 'Unlock')];
  }
  return [el('span', { class: 'locked-by', text: `locked by ${sale.locked_by ?? '?'}` })];
}

function fillPumpChoices() {
  for (const id of ['sales-pump', 'trace-pump']) {
    const select = $(id);
    const chosen = select.value;
    const pumps = [...state.pumps.values()].filter((p) => id === 'sales-pump' || p.data.line === state.traceLine);
    select.replaceChildren(select.options[0],
      ...pumps.map((p) => el('option', { value: id === 'sales-pump' ? p.id : String(p.data.address), text: p.data.name ?? p.id })));
    select.value = chosen;
  }
}

$('sales-state').addEventListener('change', () => {
  state.sales.state = $('sales-state').value;
  state.sales.offset = 0;
  refreshSales();
});
$('sales-pump').addEventListener('change', () => {
  state.sales.pump = $('sales-pump').value;
  state.sales.offset = 0;
  refreshSales();
});
$('sales-newer').addEventListener('click', () => {
  state.sales.offset = Math.max(0, state.sales.offset - PAGE);
  refreshSales();
});
$('sales-older').addEventListener('click', () => {
  state.sales.offset += PAGE;
  refreshSales();
});

// --- Lines, their health and their trace

// The head office's link, when the site has one: connected or not, and
// what waits in the outbox.
function showUplink(uplink) {
  const shown = $('uplink');
  shown.hidden = !uplink?.enabled;
  if (shown.hidden) {
    return;
  }
  const backlog = uplink.backlog ?? { records: 0 };
  const waiting = backlog.records === 0
    ? 'nothing waiting'
    : `${backlog.records} record${backlog.records === 1 ? '' : 's'} waiting, the oldest ${backlog.oldest_age_s} s`;
  shown.textContent = `Head office (${uplink.broker ?? 'broker'}): ${uplink.connected ? 'connected' : 'not connected'}, ${waiting}.`;
}

function refreshLines() {
  return quietly(async () => {
    const [lines, health, uplink] = await Promise.all([
      state.api.get('/api/v1/lines'),
      state.api.get('/api/v1/health'),
      state.api.get('/api/v1/uplink'),
    ]);
    state.lines = lines;
    showUplink(uplink);
    const reasons = health.reasons ?? [];
    $('health').replaceChildren(reasons.length === 0
      ? el('p', { class: 'healthy', text: 'Healthy: every line open, every pump answering.' })
      : el('div', { class: 'unhealthy' }, el('p', { text: 'Not healthy:' }), el('ul', {}, ...reasons.map((r) => el('li', { text: r })))));
    for (const line of lines) {
      const r = line.rejected ?? {};
      const pumps = [...state.pumps.values()].filter((p) => p.data.line === line.line);
      const offline = pumps.filter((p) => p.data.online === false && p.data.state !== 'connecting').length;
      let health = 'ok';
      let text = 'ok';
      if (!line.open) {
        health = 'dead';
        text = `down: ${line.reason ?? 'the port is not open'}`;
      } else if (pumps.length > 0 && offline === pumps.length) {
        health = 'dead';
        text = 'dead: no pump answers';
      } else if (offline > 0) {
        health = 'degraded';
        text = `${offline} of ${pumps.length} pumps offline`;
      }
      const row = lineRow(line);
      row.tr.dataset.health = health;
      const values = [line.port, text, line.exchanges, line.accepted, r['209'], r['219'], r['222'], r['223'],
        line.timeouts, line.retries, line.reinitialisations, line.stale];
      values.forEach((value, i) => setText(row.cells[i], String(value ?? 0)));
    }
  });
}

setInterval(() => {
  if (state.api && !$('lines').hidden) {
    refreshLines();
  }
}, 5000);

// A row per line, updated in place: the Trace button keeps its focus.
const lineRows = new Map();
const LINE_LABELS = ['Port', 'Health', 'Exchanges', 'Accepted', 'Rejected 209', '219', '222', '223', 'Timeouts', 'Retries',
  'Re-initialisations', 'Stale'];
function lineRow(line) {
  let row = lineRows.get(line.line);
  if (!row) {
    const cells = LINE_LABELS.map((label, i) => el('td', { 'data-label': label, class: i === 1 ? 'health' : null }));
    const trace = el('button', { type: 'button', text: 'Trace', 'aria-label': `Trace line ${line.line}`, onclick: () => openTrace(line.line) });
    const tr = el('tr', { id: `line-${line.line}` },
      el('th', { scope: 'row', 'data-label': 'Line', text: String(line.line) }), ...cells,
      el('td', { 'data-label': 'Trace' }, trace));
    row = { tr, cells };
    lineRows.set(line.line, row);
    $('lines-body').append(tr);
  }
  return row;
}

const trace = { lines: [], paused: false, held: [], address: '', lastAddress: null };

function traceName(address) {
  const pump = [...state.pumps.values()].find((p) => p.data.line === state.traceLine && p.data.address === address);
  return pump ? `${pump.data.name ?? pump.id}` : `address ${address}`;
}

// One exchange as the service decoded it, with the clock time it came and
// the pump's name for its address. A reply carries no address: it belongs
// to the frame sent before it.
function traceEntry(text) {
  const match = /^\s*[\d.]+\s+L\d+\s?(.*)$/.exec(text);
  const rest = match ? match[1] : text;
  const address = /address (\d+)/.exec(rest);
  if (address) {
    trace.lastAddress = address[1];
  } else if (/^->/.test(rest)) {
    trace.lastAddress = null;
  }
  const named = rest.replace(/address (\d+)/, (all, n) => `${traceName(Number(n))} (address ${n})`);
  const now = new Date();
  const stamp = `${clockText(now)}.${String(now.getMilliseconds()).padStart(3, '0')}`;
  return { address: trace.lastAddress, text: `${stamp} ${named}` };
}

function traceShows(entry) {
  return !trace.address || entry.address === trace.address;
}

function traceDraw(entries) {
  const view = $('trace');
  // Stay where the reader is, unless they are at the newest line.
  const atEnd = view.scrollHeight - view.scrollTop - view.clientHeight < 24;
  const before = view.scrollHeight;
  const shown = entries.filter(traceShows);
  if (shown.length > 0) {
    view.append(shown.map((e) => e.text).join('\n') + '\n');
  }
  while (trace.lines.length > TRACE_KEPT) {
    trace.lines.shift();
  }
  // One text node per frame's batch: dropping the oldest keeps a few
  // thousand lines without touching the rest.
  while (view.childNodes.length > 300) {
    view.firstChild.remove();
  }
  if (atEnd) {
    view.scrollTop = view.scrollHeight;
  } else if (view.scrollHeight < before) {
    view.scrollTop -= before - view.scrollHeight;
  }
}

function traceRedraw() {
  const view = $('trace');
  view.textContent = '';
  trace.held = [];  // they are among the lines drawn now
  traceStatus();
  traceDraw(trace.lines);
  view.scrollTop = view.scrollHeight;
}

function traceStatus() {
  $('trace-status').textContent = trace.paused ? `Paused: ${trace.held.length} exchanges held` : '';
}

function openTrace(line) {
  state.trace?.stop();
  state.traceLine = line;
  Object.assign(trace, { lines: [], held: [], paused: false, address: '', lastAddress: null });
  fillPumpChoices();
  $('trace-pump').value = '';
  $('trace-pause').textContent = 'Pause';
  $('trace-pause').setAttribute('aria-pressed', 'false');
  $('trace').textContent = '';
  $('trace-title').textContent = `Trace of line ${line}`;
  $('trace-panel').hidden = false;
  traceStatus();
  let batch = [];
  let frame = 0;
  state.trace = state.api.stream(`/api/v1/lines/${line}/trace`, {
    // Each exchange comes as one line of text; drawn a frame's worth at once.
    onEvent: (event) => {
      const entry = traceEntry(event.data);
      trace.lines.push(entry);
      if (trace.paused) {
        trace.held.push(entry);
        if (trace.held.length > TRACE_KEPT) {
          trace.held.shift();
        }
        traceStatus();
        return;
      }
      batch.push(entry);
      if (!frame) {
        frame = requestAnimationFrame(() => {
          frame = 0;
          traceDraw(batch);
          batch = [];
        });
      }
    },
    onRefused: (error) => traceDraw([{ address: null, text: `The trace is not available: ${error.message}` }]),
  });
  $('trace-panel').scrollIntoView({ block: 'start' });
  $('trace').focus();
}

$('trace-pause').addEventListener('click', () => {
  trace.paused = !trace.paused;
  $('trace-pause').textContent = trace.paused ? 'Resume' : 'Pause';
  $('trace-pause').setAttribute('aria-pressed', String(trace.paused));
  if (!trace.paused) {
    traceDraw(trace.held);
    trace.held = [];
  }
  traceStatus();
});
$('trace-pump').addEventListener('change', () => {
  trace.address = $('trace-pump').value;
  traceRedraw();
});
$('trace-download').addEventListener('click', () => {
  const blob = new Blob([$('trace').textContent], { type: 'text/plain' });
  const link = el('a', { href: URL.createObjectURL(blob), download: `trace-line-${state.traceLine}.txt` });
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 1000);
});
$('trace-close').addEventListener('click', () => {
  state.trace?.stop();
  state.trace = null;
  $('trace-panel').hidden = true;
});

// --- Alerts: the open ones, from the service

function refreshAlerts() {
  return quietly(async () => {
    const open = await state.api.get('/api/v1/alerts?unacknowledged=true');
    state.alerts = new Map(open.map((a) => [a.id, a]));
    drawAlerts();
  });
}

function applyAlert(alert) {
  if (alert.acknowledged) {
    state.alerts.delete(alert.id);
  } else {
    state.alerts.set(alert.id, alert);
  }
  drawAlerts();
}

function drawAlerts() {
  const open = [...state.alerts.values()].sort((a, b) => b.id - a.id);
  $('alerts-list').replaceChildren(...open.map((alert) => {
    const pump = state.pumps.get(String(alert.pump));
    const item = el('li', { id: `alert-${alert.id}`, 'data-kind': alert.kind },
      el('strong', { text: alert.kind }), ` ${pump?.data.name ?? `pump ${alert.pump ?? '–'}`}: ${alert.message} `,
      el('time', { datetime: alert.created, text: dateTimeText(alert.created) }));
    if (may('admin')) {
      item.append(el('button', {
        type: 'button', text: 'Acknowledge', 'aria-label': `Acknowledge alert ${alert.id}`,
        onclick: () => quietly(async () => {
          await state.api.post(`/api/v1/alerts/${alert.id}/ack`);
          state.alerts.delete(alert.id);
          drawAlerts();
        }),
      }));
    }
    return item;
  }));
  $('alerts-empty').hidden = open.length > 0;
  const count = $('alert-count');
  count.hidden = open.length === 0;
  count.textContent = String(open.length);
  count.setAttribute('aria-label', `${open.length} open`);
}

// --- Stop all: one press, then a banner that says what happened

async function stopAll() {
  const banner = $('stop-all-banner');
  $('stop-all-text').textContent = 'Stopping every pump…';
  $('stop-all-failed').replaceChildren();
  banner.hidden = false;
  banner.dataset.outcome = 'pending';
  let result;
  try {
    result = await state.api.post('/api/v1/stop-all');
  } catch (error) {
    result = error.data?.pumps ? error.data : null;
    if (!result) {
      $('stop-all-text').textContent = `Stop all failed: ${error.message}. Stop the pumps at the emergency switch.`;
      banner.dataset.outcome = 'failed';
      return;
    }
  }
  const pumps = result.pumps ?? [];
  const failed = pumps.filter((p) => (p.outcome ? p.outcome === 'failed' : p.stopped === false));
  const nameOf = (p) => {
    const id = String(p.id ?? p.pump);
    return state.pumps.get(id)?.data.name ?? `Pump ${id}`;
  };
  banner.dataset.outcome = failed.length ? 'failed' : 'stopped';
  $('stop-all-text').textContent = failed.length
    ? `${failed.length} of ${pumps.length} pumps NOT stopped (${clockText(Date.now())}):`
    : `Every pump stopped or idle (${clockText(Date.now())}).`;
  $('stop-all-failed').replaceChildren(...failed.map((p) =>
    el('li', { 'data-pump': String(p.id ?? p.pump), text: `${nameOf(p)}: ${p.message || p.error || 'not stopped'}` })));
}

// --- Start

$('login').addEventListener('submit', (event) => {
  event.preventDefault();
  signIn($('token').value.trim());
});
$('sign-out').addEventListener('click', () => {
  sessionStorage.removeItem(TOKEN_KEY);
  $('token').value = '';
  showLogin();
});
guarded($('stop-all'), 'Stop all', 'Press again to stop all', stopAll);
$('stop-all-dismiss').addEventListener('click', () => {
  $('stop-all-banner').hidden = true;
});

start();
