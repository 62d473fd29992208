// A serial port of the Web Serial shape over a pseudo-terminal, for node: the
// bridge relays one of these to the browser, and the smoke run drives the
// program over it directly.
'use strict';

const fs = require('fs');
const tty = require('tty');

class PtyPort {
  constructor(path) {
    this.path = path;
    this.readable = null;
    this.writable = null;
    this.fd = -1;
  }

  getInfo() {
    return { usbVendorId: 0x03eb, usbProductId: 0x6124 };
  }

  async setSignals() {}

  async open() {
    if (this.fd >= 0) throw new Error('already open');
    const fd = fs.openSync(this.path, fs.constants.O_RDWR | fs.constants.O_NOCTTY);
    const input = new tty.ReadStream(fd);
    input.setRawMode(true);
    this.fd = fd;
    this.input = input;
    this.readable = new ReadableStream({
      start(controller) {
        input.on('data', (data) => controller.enqueue(new Uint8Array(data)));
        input.on('error', (e) => { try { controller.error(e); } catch (x) { /* closed */ } });
        input.on('end', () => { try { controller.error(new Error('line closed')); } catch (x) { /* closed */ } });
      },
      cancel() { input.pause(); },
    });
    this.writable = new WritableStream({
      // Written at once when the terminal takes it: a round through the
      // thread pool per chunk would add to every exchange's time.
      write(chunk) {
        let done = 0;
        try {
          done = fs.writeSync(fd, chunk);
        } catch (e) {
          if (e.code !== 'EAGAIN') throw e;
        }
        if (done === chunk.length) return undefined;
        return new Promise((resolve, reject) => {
          const more = (rest) => fs.write(fd, rest, (err, n) => {
            if (err) reject(err);
            else if (n === rest.length) resolve();
            else more(rest.subarray(n));
          });
          more(chunk.subarray(done));
        });
      },
    });
  }

  async close() {
    if (this.fd < 0) return;
    this.input.destroy();
    this.fd = -1;
    this.readable = null;
    this.writable = null;
  }
}

module.exports = { PtyPort };
