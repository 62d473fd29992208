// The test's stand-in for the browser's serial implementation, node side: a
// WebSocket server on 127.0.0.1 whose every connection is one open of the
// tarvo-sim terminal in target. With no target, opens are refused.
'use strict';

const { WebSocketServer } = require('ws');
const { PtyPort } = require('./ptyport.js');

class Bridge {
  constructor() {
    this.target = null;
    this.sockets = new Set();
    this.opens = 0;
  }

  start() {
    return new Promise((resolve) => {
      this.server = new WebSocketServer({ host: '127.0.0.1', port: 0 });
      this.server.on('connection', (ws) => this.relay(ws));
      this.server.on('listening', () => {
        this.url = `ws://127.0.0.1:${this.server.address().port}/`;
        resolve(this);
      });
    });
  }

  async relay(ws) {
    this.sockets.add(ws);
    ws.on('close', () => this.sockets.delete(ws));
    if (!this.target) {
      ws.close(4001, 'refused');
      return;
    }
    const port = new PtyPort(this.target);
    try {
      await port.open();
    } catch (e) {
      ws.close(4001, 'refused');
      return;
    }
    this.opens++;
    const reader = port.readable.getReader();
    const writer = port.writable.getWriter();
    ws.on('message', (data) => writer.write(new Uint8Array(data)).catch(() => ws.close()));
    ws.on('close', () => port.close());
    ws.send('ok');
    try {
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        if (ws.readyState === ws.OPEN) ws.send(value);
      }
    } catch (e) {
      // The terminal went away with the simulator: the device is lost.
    }
    ws.close();
  }

  stop() {
    for (const ws of this.sockets) ws.terminate();
    return new Promise((resolve) => (this.server ? this.server.close(() => resolve()) : resolve()));
  }
}

module.exports = { Bridge };
