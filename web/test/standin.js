// Installed into the page before its own scripts run: navigator.serial
// replaced by an object of the Web Serial shape whose port relays its bytes
// over a WebSocket to the test's bridge, and downloads kept for the test.
// Written out as the text of a function, since it runs in the browser.
'use strict';

function standIn(config) {
  // Downloads are kept, not saved.
  window.__downloads = [];
  HTMLAnchorElement.prototype.click = function () {
    window.__downloads.push({ name: this.download, href: this.href });
  };

  // As a browser that gives the page no lasting storage.
  if (config.storage === false) Object.defineProperty(window, 'indexedDB', { get() { throw new DOMException('no storage', 'SecurityError'); } });

  if (!config.serial) {
    delete Navigator.prototype.serial;
    if ('serial' in navigator) Object.defineProperty(Navigator.prototype, 'serial', { get: () => undefined, configurable: true });
    return;
  }

  const lost = () => new DOMException('The device has been lost.', 'NetworkError');

  // For the bench: how long the page takes from a reply's last bytes to the
  // last command it sends before it waits for the next reply (a command with
  // data goes out in two writes), the page's own share of every exchange.
  // The stand-in's own sending over the WebSocket, which a browser's port
  // does not do, is taken off where it falls inside that time (the write of
  // a flush is handed over while the page runs on).
  const turnaround = { times: [], lastIn: 0, spent: -1, standIn: 0 };
  window.__turnaround = turnaround;
  const received = () => {
    if (!config.measure) return;
    if (turnaround.spent >= 0) turnaround.times.push(turnaround.spent);
    turnaround.spent = -1;
    turnaround.standIn = 0;
    turnaround.lastIn = performance.now();
  };
  const sending = () => {
    if (config.measure && turnaround.lastIn)
      turnaround.spent = performance.now() - turnaround.lastIn - turnaround.standIn;
  };
  const sent = (since) => {
    if (config.measure && turnaround.lastIn) turnaround.standIn += performance.now() - since;
  };

  class StandInPort extends EventTarget {
    constructor() {
      super();
      this.readable = null;
      this.writable = null;
      this.ws = null;
    }

    getInfo() {
      return { usbVendorId: 0x03eb, usbProductId: 0x6124 };
    }

    async setSignals() {
      if (!this.ws) throw new DOMException('The port is closed.', 'InvalidStateError');
    }

    open(options) {
      return new Promise((resolve, reject) => {
        if (this.ws) return reject(new DOMException('The port is already open.', 'InvalidStateError'));
        if (!options || !options.baudRate) return reject(new TypeError('baudRate is required'));
        const ws = new WebSocket(config.url);
        ws.binaryType = 'arraybuffer';
        let opened = false;
        ws.onmessage = (e) => {
          if (opened) {
            received();
            this.rx.enqueue(new Uint8Array(e.data));
          } else if (e.data === 'ok') {
            opened = true;
            this.ws = ws;
            this.streams(ws);
            resolve();
          }
        };
        ws.onclose = () => {
          if (!opened) reject(new DOMException('Failed to open serial port.', 'NetworkError'));
          else if (this.ws === ws && !this.closing) this.lose();
        };
      });
    }

    streams(ws) {
      this.readable = new ReadableStream({ start: (c) => { this.rx = c; } });
      this.writable = new WritableStream({
        write: (chunk) => {
          if (ws.readyState !== WebSocket.OPEN) throw lost();
          sending();
          const since = performance.now();
          ws.send(chunk);
          sent(since);
        },
      });
    }

    lose() {
      try { this.rx.error(lost()); } catch (e) { /* already errored */ }
      this.readable = null;
      this.writable = null;
      this.ws = null;
      this.dispatchEvent(new Event('disconnect'));
    }

    async close() {
      if (!this.ws) throw new DOMException('The port is already closed.', 'InvalidStateError');
      // As the browser's port does: streams still locked cannot be closed.
      if ((this.readable && this.readable.locked) || (this.writable && this.writable.locked))
        throw new TypeError('Cannot close a port with locked streams.');
      const ws = this.ws;
      this.closing = true;
      await new Promise((resolve) => { ws.onclose = resolve; ws.close(); });
      this.closing = false;
      this.readable = null;
      this.writable = null;
      this.ws = null;
    }
  }

  const port = new StandInPort();
  const serial = new EventTarget();
  serial.requestPort = async () => {
    if (!config.choose) throw new DOMException('No port selected by the user.', 'NotFoundError');
    return port;
  };
  serial.getPorts = async () => (config.granted ? [port] : []);
  Object.defineProperty(Navigator.prototype, 'serial', { get: () => serial, configurable: true });
}

module.exports = { standIn };
