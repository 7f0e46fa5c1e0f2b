// Requests to tarvenixd with the bearer token, and its event streams read
// with fetch(): EventSource cannot send an Authorization header.

export class ApiError extends Error {
  constructor(status, reason, message, data = null) {
    super(message);
    this.status = status;
    this.reason = reason;
    this.data = data;  // the whole body: stop-all lists every pump even when one failed
  }
}

export class Api {
  constructor(token) {
    this.token = token;
  }

  headers(extra = {}) {
    const headers = { ...extra };
    if (this.token) {
      headers.Authorization = `Bearer ${this.token}`;
    }
    return headers;
  }

  // The body, and the reply's headers in `headers` when given a Map.
  async request(method, path, body, headers = null) {
    const init = { method, headers: this.headers(), cache: 'no-store' };
    if (body !== undefined) {
      init.headers['Content-Type'] = 'application/json';
      init.body = JSON.stringify(body);
    }
    const response = await fetch(path, init);
    const text = await response.text();
    let data = null;
    try {
      data = text ? JSON.parse(text) : null;
    } catch {
      data = null;
    }
    if (!response.ok) {
      const message = data?.dispenser_message ? `${data.message} (${data.dispenser_message})` : data?.message;
      throw new ApiError(response.status, data?.error ?? 'http', message ?? response.statusText, data);
    }
    headers?.set('total', response.headers.get('X-Total-Count'));
    return data;
  }

  get(path, headers = null) {
    return this.request('GET', path, undefined, headers);
  }

  post(path, body = {}) {
    return this.request('POST', path, body);
  }

  put(path, body) {
    return this.request('PUT', path, body);
  }

  // Reads a text/event-stream until stopped, reconnecting with a growing
  // pause and resuming after the last event id seen. onOpen runs on every
  // connection, so the caller can read the state again after an outage.
  stream(path, { onEvent, onOpen, onDown, onRefused }) {
    const control = { stopped: false, abort: null };
    let lastId = '';
    let pause = 250;
    const run = async () => {
      while (!control.stopped) {
        const abort = new AbortController();
        control.abort = abort;
        try {
          const headers = this.headers({ Accept: 'text/event-stream' });
          if (lastId) {
            headers['Last-Event-ID'] = lastId;
          }
          const response = await fetch(path, { headers, cache: 'no-store', signal: abort.signal });
          if (!response.ok) {
            const data = await response.json().catch(() => ({}));
            const error = new ApiError(response.status, data.error, data.message ?? response.statusText);
            // Access and missing routes do not mend by retrying.
            if (response.status < 500 || response.status === 501) {
              onRefused?.(error);
              return;
            }
            throw error;
          }
          pause = 250;
          onOpen?.();
          const reader = response.body.pipeThrough(new TextDecoderStream()).getReader();
          let buffer = '';
          for (;;) {
            const { value, done } = await reader.read();
            if (done) {
              break;
            }
            buffer += value.replace(/\r\n?/g, '\n');
            let end;
            while ((end = buffer.indexOf('\n\n')) >= 0) {
              const event = parseEvent(buffer.slice(0, end));
              buffer = buffer.slice(end + 2);
              if (event.id) {
                lastId = event.id;
              }
              if (event.data !== null) {
                onEvent(event);
              }
            }
          }
        } catch (error) {
          if (control.stopped) {
            return;
          }
        }
        onDown?.();
        await new Promise((resolve) => setTimeout(resolve, pause));
        pause = Math.min(pause * 2, 4000);
      }
    };
    run();
    return {
      stop() {
        control.stopped = true;
        control.abort?.abort();
      },
    };
  }
}

function parseEvent(block) {
  const event = { id: '', type: 'message', data: null };
  const data = [];
  for (const line of block.split('\n')) {
    if (line.startsWith(':')) {
      continue;
    }
    const colon = line.indexOf(':');
    const field = colon < 0 ? line : line.slice(0, colon);
    let value = colon < 0 ? '' : line.slice(colon + 1);
    if (value.startsWith(' ')) {
      value = value.slice(1);
    }
    if (field === 'id') {
      event.id = value;
    } else if (field === 'event') {
      event.type = value;
    } else if (field === 'data') {
      data.push(value);
    }
  }
  if (data.length > 0) {
    event.data = data.join('\n');
  }
  return event;
}
