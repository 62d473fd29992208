// The byte channel between the program and the chosen Web Serial port. The
// program's port (WebSerialPort.cpp) calls these through Module.link; reads
// are served from what the port's stream delivered, so a reply that has
// already come costs no wait.
'use strict';

// A wait's timer this much later than asked was held up, and gets one more
// look of at most GRACE_MS before the wait is called silent.
const LATE_MS = 20;
const GRACE_MS = 100;

class SerialLink {
  constructor(port) {
    this.port = port;
    this.chunks = [];          // received, not yet taken
    this.offset = 0;           // into chunks[0]
    this.waiter = null;        // wakes a wait() when bytes come or the line fails
    this.failed = false;       // the port is lost until the next open
    this.gone = false;         // the device went away (unplugged)
    this.openError = null;     // why the last open failed
    this.received = 0;         // bytes since the link was made
    this.sent = 0;
    this.reader = null;
    this.writer = null;
    this.readLoop = null;
    this.lastWrite = Promise.resolve();
    this.pending = [];         // written by the program, not yet handed to the port
  }

  isUsb() {
    const info = this.port.getInfo ? this.port.getInfo() : {};
    return info && info.usbVendorId !== undefined;
  }

  // Called by the page when the browser reports the device unplugged.
  lost() {
    this.gone = true;
    this.fail();
  }

  fail() {
    this.failed = true;
    this.wake();
  }

  wake() {
    const waiter = this.waiter;
    this.waiter = null;
    if (waiter) waiter();
  }

  async open(baud, dataBits, parity, stop) {
    this.chunks = [];
    this.offset = 0;
    this.failed = false;
    this.openError = null;
    if (this.gone) {
      this.openError = 'the device is gone';
      return false;
    }
    try {
      await this.port.open({
        baudRate: baud,
        dataBits,
        parity: ['none', 'odd', 'even'][parity],
        stopBits: stop === 2 ? 2 : 1,
        flowControl: 'none',
      });
    } catch (e) {
      this.openError = (e && e.message) || String(e);
      return false;
    }
    try {
      await this.port.setSignals({ dataTerminalReady: true, requestToSend: true });
    } catch (e) {
      // A port without modem lines still carries the bytes.
    }
    this.writer = this.port.writable.getWriter();
    this.lastWrite = Promise.resolve();
    this.pending = [];
    this.readLoop = this.pump();
    return true;
  }

  async pump() {
    while (!this.failed && this.port.readable) {
      this.reader = this.port.readable.getReader();
      for (;;) {
        let result;
        try {
          result = await this.reader.read();
        } catch (e) {
          // A fatal error leaves no readable; a framing error or a break gives
          // a fresh one, and the loop goes on with it.
          break;
        }
        if (result.done) break;
        if (result.value && result.value.length) {
          this.chunks.push(result.value);
          this.received += result.value.length;
          // The program goes on from here; what it throws is its own, not the line's.
          this.wake();
        }
      }
      try { this.reader.releaseLock(); } catch (e) { /* already released */ }
      this.reader = null;
      if (this.closing) return;
    }
    if (!this.closing) this.fail();
  }

  take(into) {
    let n = 0;
    while (n < into.length && this.chunks.length) {
      const chunk = this.chunks[0];
      const count = Math.min(into.length - n, chunk.length - this.offset);
      into.set(chunk.subarray(this.offset, this.offset + count), n);
      n += count;
      this.offset += count;
      if (this.offset === chunk.length) {
        this.chunks.shift();
        this.offset = 0;
      }
    }
    if (n === 0 && this.failed) return -1;
    return n;
  }

  // done(1) when bytes are there, done(0) when millisecs passed without any,
  // done(-1) when the line failed; at once when that is known already, so a
  // reply that came first costs the program no suspension. Without done, a
  // promise of the same.
  wait(millisecs, done) {
    if (!done) return new Promise((resolve) => this.wait(millisecs, resolve));
    this.send();
    if (this.chunks.length) return done(1);
    if (this.failed) return done(-1);
    const start = performance.now();
    let timer;
    const expire = (graced) => {
      // A timer that ran late means the page itself was held up, and what
      // the port got meanwhile may still be on its way through the browser:
      // as a system's poll would, that is looked at before calling it silence.
      if (!graced && performance.now() - start > millisecs + LATE_MS) {
        timer = setTimeout(() => expire(true), Math.min(millisecs, GRACE_MS));
        return;
      }
      this.waiter = null;
      done(0);
    };
    timer = setTimeout(() => expire(false), millisecs);
    this.waiter = () => {
      clearTimeout(timer);
      done(this.chunks.length ? 1 : (this.failed ? -1 : 0));
    };
  }

  // What the program writes between two of its waits goes to the port as one
  // write, not one per call: each write is a transfer and a round through the
  // browser. A flush or a wait sends what is pending first.
  write(bytes) {
    if (this.failed || !this.writer) return -1;
    this.sent += bytes.length;
    if (!this.pending.length) queueMicrotask(() => this.send());
    this.pending.push(bytes);
    return bytes.length;
  }

  send() {
    if (!this.pending.length) return;
    const parts = this.pending;
    this.pending = [];
    if (this.failed || !this.writer) return;
    let bytes = parts[0];
    if (parts.length > 1) {
      bytes = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
      let at = 0;
      for (const p of parts) {
        bytes.set(p, at);
        at += p.length;
      }
    }
    this.lastWrite = this.writer.write(bytes).catch(() => this.fail());
  }

  // What is pending goes to the port now, as a write of its own. The port's
  // stream hands a write over only once the one before it has been taken,
  // so what follows a flush still reaches the device after it; the program
  // need not stop until then. A refused write shows at the next flush, read
  // or write.
  flush() {
    this.send();
    return !this.failed;
  }

  async close() {
    this.closing = true;
    this.send();
    try { await this.lastWrite; } catch (e) { /* failed already */ }
    try { if (this.reader) await this.reader.cancel(); } catch (e) { /* lost */ }
    try { await this.readLoop; } catch (e) { /* lost */ }
    try { if (this.writer) this.writer.releaseLock(); } catch (e) { /* lost */ }
    this.writer = null;
    try { await this.port.close(); } catch (e) { /* already closed or gone */ }
    this.closing = false;
    this.chunks = [];
    this.offset = 0;
    this.pending = [];
  }
}

if (typeof module !== 'undefined') module.exports = { SerialLink };
