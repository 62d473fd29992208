// The page's byte channel over a port of the Web Serial shape: what the
// program writes reaches the port whole and in order, one write per run of
// writes, and a refused write is not reported as sent.
'use strict';

const assert = require('assert');
const test = require('node:test');

const { SerialLink } = require('../page/link.js');

// A port that keeps every write it is handed; refuse makes its writes fail,
// takeMs makes each take that long, as a port whose device is slow to take.
function recordingPort() {
  const port = {
    writes: [],
    events: [],
    refuse: false,
    takeMs: 0,
    readable: null,
    writable: null,
    getInfo: () => ({}),
    async open() {
      port.readable = new ReadableStream({ start: (c) => { port.rx = c; } });
      port.writable = new WritableStream({
        write(chunk) {
          if (port.refuse) throw new Error('refused');
          const text = Buffer.from(chunk).toString('latin1');
          port.writes.push(text);
          port.events.push('start ' + text);
          if (!port.takeMs) return undefined;
          return new Promise((resolve) => setTimeout(resolve, port.takeMs)).then(() => port.events.push('taken ' + text));
        },
      });
    },
    async setSignals() {},
    async close() { port.readable = null; port.writable = null; },
  };
  return port;
}

const bytes = (text) => new Uint8Array(Buffer.from(text, 'latin1'));

test('writes between two waits go to the port as one, in order', async () => {
  const port = recordingPort();
  const link = new SerialLink(port);
  assert.ok(await link.open(115200, 8, 0, 1));
  link.write(bytes('S00001000,'));
  link.write(bytes('00000040#'));
  assert.deepStrictEqual(port.writes, [], 'nothing is handed over while the program runs on');
  // A flush sends what is pending at once: the command goes alone, as the
  // monitor takes it before its data.
  assert.strictEqual(link.flush(), true);
  assert.deepStrictEqual(port.writes, ['S00001000,00000040#']);
  link.write(bytes('data'));
  port.rx.enqueue(bytes('>'));
  assert.strictEqual(await link.wait(1000), 1);
  // A reply already there is given at once, without waiting for the page.
  let given;
  link.wait(1000, (v) => { given = v; });
  assert.strictEqual(given, 1);
  link.flush();
  assert.deepStrictEqual(port.writes, ['S00001000,00000040#', 'data']);
  assert.strictEqual(link.sent, 'S00001000,00000040#data'.length);
  await link.close();
});

test('what follows a flush reaches the port only once the flushed write was taken', async () => {
  const port = recordingPort();
  const link = new SerialLink(port);
  await link.open(115200, 8, 0, 1);
  port.takeMs = 30;
  link.write(bytes('S20001000,00000040#'));
  assert.strictEqual(link.flush(), true, 'the program is not held while the port takes it');
  link.write(bytes('<64 bytes>'));
  link.write(bytes('Y20001000,0#'));
  const waited = link.wait(1000);
  setTimeout(() => port.rx.enqueue(bytes('Y\n\r')), 100);
  assert.strictEqual(await waited, 1);
  assert.deepStrictEqual(port.events, ['start S20001000,00000040#', 'taken S20001000,00000040#',
    'start <64 bytes>Y20001000,0#', 'taken <64 bytes>Y20001000,0#']);
  await link.close();
});

test('what is written before the program yields is sent without a flush', async () => {
  const port = recordingPort();
  const link = new SerialLink(port);
  await link.open(115200, 8, 0, 1);
  link.write(bytes('N#'));
  await new Promise((resolve) => setTimeout(resolve, 0));
  assert.deepStrictEqual(port.writes, ['N#']);
  link.write(bytes('V#'));
  await link.close();
  assert.deepStrictEqual(port.writes, ['N#', 'V#'], 'a close sends what is pending first');
});

test('a refused write fails the wait after it, and every flush, read and write from then', async () => {
  const port = recordingPort();
  const link = new SerialLink(port);
  await link.open(115200, 8, 0, 1);
  port.refuse = true;
  link.write(bytes('W41004000,A5000004#'));
  link.flush();
  assert.strictEqual(await link.wait(1000), -1, 'a wait is woken by the refusal, not left to its time-out');
  assert.strictEqual(link.flush(), false);
  assert.strictEqual(link.write(bytes('x')), -1);
  assert.strictEqual(await link.wait(1000), -1);
  assert.strictEqual(link.take(new Uint8Array(4)), -1);
  await link.close();
});

test('a wait whose timer ran late takes the reply that came meanwhile, and silence is still silence', async () => {
  const port = recordingPort();
  const link = new SerialLink(port);
  await link.open(115200, 8, 0, 1);
  const hold = (ms) => { const until = performance.now() + ms; while (performance.now() < until); };
  for (const c of [
    // The page held up past the window; the reply was due before it could look.
    { held: 150, replyAt: 120, expect: 1 },
    // On time, and nothing came within the window.
    { held: 0, replyAt: -1, expect: 0 },
    // Held up, and nothing came: silence, a grace later.
    { held: 150, replyAt: -1, expect: 0 },
  ]) {
    const waited = link.wait(100);
    if (c.replyAt >= 0) setTimeout(() => port.rx.enqueue(bytes('Y\n\r')), c.replyAt);
    hold(c.held);
    assert.strictEqual(await waited, c.expect, JSON.stringify(c));
    link.take(new Uint8Array(8));
  }
  await link.close();
});
