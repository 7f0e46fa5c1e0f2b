// The forecourt page: pumps, sales, lines and alerts of one tarvenixd,
// kept current from its event stream.
import { Api, ApiError } from './api.js';

const TOKEN_KEY = 'tarvenix.token';
const CLIENT = 'web';
const ROLES = ['monitor', 'control', 'admin'];

const $ = (id) => document.getElementById(id);
const state = { api: null, role: 'monitor', pumps: new Map(), events: null, trace: null };

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

const volumeText = (v) => (v == null ? '–' : `${Number(v).toFixed(2)} L`);
const moneyText = (m) => (m == null ? '–' : Number(m).toFixed(2));
const priceText = (p) => (p == null ? '–' : Number(p).toFixed(3));
const timeText = (t) => (t ? new Date(t).toLocaleTimeString() : '–');

// --- Sign in

function showLogin(message = '') {
  state.events?.stop();
  state.trace?.stop();
  $('main').hidden = true;
  $('sign-out').hidden = true;
  $('stop-all').hidden = true;
  $('login').hidden = false;
  $('login-error').textContent = message;
  $('token').focus();
}

async function signIn(token) {
  state.api = new Api(token);
  try {
    const session = await state.api.get('/api/v1/session');
    state.role = session.role;
  } catch (error) {
    sessionStorage.removeItem(TOKEN_KEY);
    showLogin(error instanceof ApiError && error.status === 401 ? 'This token is not accepted.' : error.message);
    return;
  }
  sessionStorage.setItem(TOKEN_KEY, token);
  document.body.dataset.role = state.role;
  $('login').hidden = true;
  $('main').hidden = false;
  $('sign-out').hidden = false;
  $('stop-all').hidden = !may('control');
  state.pumps.clear();
  $('grid').replaceChildren();
  state.events = state.api.stream('/api/v1/events', {
    onOpen: () => {
      setLink(true);
      refreshAll();
    },
    onDown: () => setLink(false),
    onEvent: handleEvent,
    onRefused: (error) => showLogin(error.message),
  });
}

function setLink(up) {
  $('link').dataset.up = String(up);
  $('link').textContent = up ? 'Live' : 'Connection lost: reconnecting…';
}

// --- Events

let refreshTimer = null;
function refreshSoon() {
  clearTimeout(refreshTimer);
  refreshTimer = setTimeout(() => {
    refreshPumps();
    refreshSales();
  }, 100);
}

function handleEvent(event) {
  let data;
  try {
    data = JSON.parse(event.data);
  } catch {
    return;
  }
  switch (event.type) {
    case 'live': {
      const pump = state.pumps.get(String(data.pump));
      if (pump) {
        Object.assign(pump.data, { volume: data.volume, money: data.money });
        renderPump(pump);
      }
      break;
    }
    case 'pump': {
      const pump = state.pumps.get(String(data.pump));
      if (pump) {
        Object.assign(pump.data, { state: data.state, online: data.online, price: data.price });
        renderPump(pump);
      } else {
        refreshPumps();
      }
      break;
    }
    case 'transaction':
      refreshSoon();
      break;
    case 'alert':
      refreshAlerts();
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

function refreshAll() {
  refreshPumps();
  refreshSales();
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

function refreshPumps() {
  return quietly(async () => {
    const pumps = await state.api.get('/api/v1/pumps');
    for (const data of pumps) {
      let pump = state.pumps.get(String(data.id));
      if (!pump) {
        pump = makePump(data);
        state.pumps.set(String(data.id), pump);
        $('grid').append(pump.card);
      }
      pump.data = data;
      renderPump(pump);
    }
  });
}

function makePump(data) {
  const id = String(data.id);
  const key = `pump-${id}`.replace(/[^\w-]/g, '_');
  const refs = {};
  const card = el('li', { class: 'card', id: key, 'aria-labelledby': `${key}-name` });
  refs.name = el('h3', { id: `${key}-name` });
  refs.state = el('p', { class: 'state' });
  refs.volume = el('dd', { class: 'volume' });
  refs.money = el('dd', { class: 'money' });
  refs.price = el('dd', { class: 'price' });
  refs.unpaid = el('dd', { class: 'unpaid' });
  refs.message = el('p', { class: 'message', role: 'status', 'aria-live': 'polite' });
  card.append(
    refs.name,
    refs.state,
    el('dl', {},
      el('dt', { text: 'Volume' }), refs.volume,
      el('dt', { text: 'Money' }), refs.money,
      el('dt', { text: 'Price' }), refs.price,
      el('dt', { text: 'Unpaid' }), refs.unpaid),
  );
  const pump = { id, card, refs, data };
  if (may('control')) {
    card.append(makeControls(pump, key));
  }
  card.append(refs.message);
  return pump;
}

function makeControls(pump, key) {
  const kind = el('select', { id: `${key}-kind`, class: 'kind' },
    el('option', { value: 'volume', text: 'Volume (L)' }),
    el('option', { value: 'money', text: 'Money' }));
  const amount = el('input', { id: `${key}-amount`, class: 'amount', type: 'number', min: '0.01', step: '0.01', required: true, placeholder: 'Amount', inputmode: 'decimal' });
  const authorise = el('form', { class: 'authorise', 'aria-label': `Authorise ${pump.data.name}` },
    el('label', { for: `${key}-kind`, class: 'visually-hidden', text: 'Preset' }), kind,
    el('label', { for: `${key}-amount`, class: 'visually-hidden', text: 'Amount' }), amount,
    el('button', { type: 'submit', class: 'authorise-button', text: 'Authorise' }));
  authorise.addEventListener('submit', (event) => {
    event.preventDefault();
    command(pump, 'Authorised', () =>
      state.api.post(`/api/v1/pumps/${encodeURIComponent(pump.id)}/authorize`, { [kind.value]: Number(amount.value), client: CLIENT }));
  });
  const stop = el('button', { type: 'button', class: 'stop danger', text: 'Stop', 'aria-label': `Stop ${pump.data.name}` });
  stop.addEventListener('click', () =>
    command(pump, 'Stopped', () => state.api.post(`/api/v1/pumps/${encodeURIComponent(pump.id)}/stop`)));
  const price = el('input', { id: `${key}-new-price`, class: 'new-price', type: 'number', min: '0.001', step: '0.001', required: true, placeholder: 'Price', inputmode: 'decimal' });
  const setPrice = el('form', { class: 'set-price', 'aria-label': `Price of ${pump.data.name}` },
    el('label', { for: `${key}-new-price`, class: 'visually-hidden', text: 'New price' }), price,
    el('button', { type: 'submit', text: 'Set price' }));
  setPrice.addEventListener('submit', (event) => {
    event.preventDefault();
    command(pump, 'Price set', () =>
      state.api.put(`/api/v1/pumps/${encodeURIComponent(pump.id)}/price`, { price: Number(price.value) }));
  });
  return el('div', { class: 'controls control' }, authorise, stop, setPrice);
}

async function command(pump, done, send) {
  pump.refs.message.textContent = '…';
  pump.refs.message.dataset.refused = 'false';
  try {
    await send();
    pump.refs.message.textContent = done;
  } catch (error) {
    // The service's own words: it knows why it refused.
    pump.refs.message.textContent = error.message;
    pump.refs.message.dataset.refused = 'true';
  }
  refreshSoon();
}

function renderPump(pump) {
  const { data, refs, card } = pump;
  const shown = data.online === false ? 'offline' : data.state;
  card.dataset.state = shown;
  refs.name.textContent = data.name ?? `Pump ${pump.id}`;
  refs.state.textContent = shown;
  refs.volume.textContent = volumeText(data.volume);
  refs.money.textContent = moneyText(data.money);
  refs.price.textContent = priceText(data.price);
  refs.unpaid.textContent = String(data.unpaid ?? 0);
}

// --- Sales

function refreshSales() {
  return quietly(async () => {
    const [payable, locked] = await Promise.all([
      state.api.get('/api/v1/transactions?state=payable&limit=100'),
      state.api.get('/api/v1/transactions?state=locked&limit=100'),
    ]);
    const sales = [...payable, ...locked].sort((a, b) => Number(b.id) - Number(a.id));
    $('sales-body').replaceChildren(...sales.map(saleRow));
    $('sales-empty').hidden = sales.length > 0;
  });
}

function saleRow(sale) {
  const id = `sale-${sale.id}`;
  const actions = el('td', { class: 'control' });
  const message = el('span', { class: 'message', role: 'status', 'aria-live': 'polite' });
  const act = (verb) => async () => {
    try {
      await state.api.post(`/api/v1/transactions/${sale.id}/${verb}`, { client: CLIENT });
      refreshSoon();
    } catch (error) {
      message.textContent = error.message;
      message.dataset.refused = 'true';
    }
  };
  if (may('control')) {
    if (sale.state === 'payable') {
      actions.append(el('button', { type: 'button', class: 'lock', text: 'Lock', 'aria-label': `Lock sale ${sale.id}`, onclick: act('lock') }));
    } else if (sale.locked_by === CLIENT) {
      actions.append(
        el('button', { type: 'button', class: 'clear', text: 'Clear', 'aria-label': `Clear sale ${sale.id}`, onclick: act('clear') }),
        el('button', { type: 'button', class: 'unlock', text: 'Unlock', 'aria-label': `Unlock sale ${sale.id}`, onclick: act('unlock') }));
    } else {
      actions.append(`locked by ${sale.locked_by ?? '?'}`);
    }
    actions.append(message);
  }
  return el('tr', { id, 'data-state': sale.state },
    el('th', { scope: 'row', text: String(sale.id) }),
    el('td', { text: String(sale.pump) }),
    el('td', {}, el('time', { datetime: sale.updated, text: timeText(sale.updated) })),
    el('td', { class: 'volume', text: volumeText(sale.volume) }),
    el('td', { class: 'money', text: moneyText(sale.money) }),
    el('td', { text: priceText(sale.price) }),
    el('td', { class: 'sale-state', text: sale.state }),
    el('td', { class: `reconciliation ${sale.reconciliation}`, text: sale.reconciliation }),
    actions);
}

// --- Lines and their trace

function refreshLines() {
  return quietly(async () => {
    const lines = await state.api.get('/api/v1/lines');
    $('lines-body').replaceChildren(...lines.map((line) => {
      const r = line.rejected ?? {};
      const trace = el('button', { type: 'button', text: 'Trace', 'aria-label': `Trace line ${line.line}`, onclick: () => openTrace(line.line) });
      return el('tr', { id: `line-${line.line}` },
        el('th', { scope: 'row', text: String(line.line) }),
        el('td', { text: line.port }),
        el('td', { text: line.open ? 'yes' : `no: ${line.reason ?? ''}` }),
        ...[line.exchanges, line.accepted, r['209'], r['219'], r['222'], r['223'], line.timeouts, line.retries, line.reinitialisations, line.stale]
          .map((n) => el('td', { text: String(n ?? 0) })),
        el('td', {}, trace));
    }));
  });
}

function openTrace(line) {
  state.trace?.stop();
  const view = $('trace');
  view.textContent = '';
  $('trace-title').textContent = `Trace of line ${line}`;
  $('trace-panel').hidden = false;
  const add = (text) => {
    view.append(`${text}\n`);
    // Keep the last lines only, scrolled to the newest.
    while (view.childNodes.length > 500) {
      view.firstChild.remove();
    }
    view.scrollTop = view.scrollHeight;
  };
  state.trace = state.api.stream(`/api/v1/lines/${line}/trace`, {
    // Each exchange comes as the trace tool prints it, one line of text.
    onEvent: (event) => add(event.data),
    onRefused: (error) => add(`The trace is not available: ${error.message}`),
  });
  $('trace').focus();
}

$('trace-close').addEventListener('click', () => {
  state.trace?.stop();
  state.trace = null;
  $('trace-panel').hidden = true;
});

// --- Alerts

function refreshAlerts() {
  return quietly(async () => {
    const alerts = await state.api.get('/api/v1/alerts');
    const open = alerts.filter((a) => !a.acknowledged);
    $('alerts-list').replaceChildren(...open.map((alert) => {
      const item = el('li', { id: `alert-${alert.id}`, 'data-kind': alert.kind },
        el('strong', { text: alert.kind }), ` pump ${alert.pump ?? '–'}: ${alert.message} `,
        el('time', { datetime: alert.created, text: timeText(alert.created) }));
      if (may('admin')) {
        item.append(el('button', { type: 'button', text: 'Acknowledge', 'aria-label': `Acknowledge alert ${alert.id}`,
          onclick: () => quietly(async () => { await state.api.post(`/api/v1/alerts/${alert.id}/ack`); refreshAlerts(); }) }));
      }
      return item;
    }));
    $('alerts-empty').hidden = open.length > 0;
  });
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
$('stop-all').addEventListener('click', async () => {
  const message = $('stop-all-message');
  try {
    await state.api.post('/api/v1/stop-all');
    message.textContent = 'Every pump was told to stop.';
  } catch (error) {
    message.textContent = error.message;
  }
});
setInterval(() => {
  if (state.api && !$('main').hidden) {
    refreshLines();
  }
}, 5000);

const saved = sessionStorage.getItem(TOKEN_KEY);
if (saved !== null) {
  signIn(saved);
} else {
  showLogin();
}
