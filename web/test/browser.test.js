// The page end to end in headless Chromium (the one file, from file://) and
// Firefox ESR (the hosted files, from http://127.0.0.1), its port a stand-in
// relayed to tarvo-sim, against what the native tarvo does on the same
// simulator.
'use strict';

const assert = require('assert');
const crypto = require('crypto');
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');
const { describe, test, before, after } = require('node:test');
const puppeteer = require('puppeteer-core');

const { Bridge } = require('./bridge.js');
const { standIn } = require('./standin.js');
const { WEB, startSim, runNative, withoutTimes } = require('./harness.js');

const CHROMIUM_ARGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

const BROWSERS = [
  {
    name: 'Chromium',
    launch: { executablePath: process.env.TARVO_CHROMIUM || '/usr/bin/chromium', headless: true, args: CHROMIUM_ARGS },
    url: () => 'file://' + path.join(WEB, 'tarvo-web.html'),
  },
  {
    name: 'Firefox ESR',
    launch: { browser: 'firefox', executablePath: process.env.TARVO_FIREFOX || '/usr/bin/firefox-esr', headless: true },
    url: (site) => site + '/index.html',
  },
];

// The hosted files, served as a web server would.
function serveSite() {
  const root = path.join(WEB, 'site');
  const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm' };
  const server = http.createServer((req, res) => {
    const file = path.join(root, path.normalize(decodeURIComponent(req.url.split('?')[0])));
    if (!file.startsWith(root) || !fs.existsSync(file)) {
      res.writeHead(404);
      return res.end();
    }
    res.writeHead(200, { 'content-type': types[path.extname(file)] || 'application/octet-stream' });
    fs.createReadStream(file).pipe(res);
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve({
    url: `http://127.0.0.1:${server.address().port}`,
    stop: () => new Promise((done) => { server.closeAllConnections(); server.close(done); }),
  })));
}

// --- Driving the page.

async function openPage(browser, url, config) {
  const page = await browser.newPage();
  await page.evaluateOnNewDocument(`(${standIn.toString()})(${JSON.stringify(config)})`);
  await page.goto(url);
  await page.waitForFunction(() => !document.getElementById('connect').disabled ||
    !document.getElementById('problem').hidden, { timeout: 30000 });
  return page;
}

function idle(page, timeout = 120000) {
  return page.waitForFunction(() => !document.getElementById('connect').disabled, { timeout, polling: 50 });
}

async function click(page, id) {
  await page.click('#' + id);
  await idle(page);
}

async function choose(page, input, file) {
  const handle = await page.$('#' + input);
  await handle.uploadFile(file);
  // Some drivers set the files without the change event a person's pick fires.
  await page.waitForFunction(() => document.getElementById('connect').disabled, { timeout: 2000, polling: 10 })
    .catch(() => handle.evaluate((e) => e.dispatchEvent(new Event('change'))));
  await idle(page);
}

// The last run's lines in the log, as the program wrote them to each stream.
function lastRun(page) {
  return page.evaluate(() => {
    const spans = [...document.querySelectorAll('#log span')];
    let i = spans.length - 1;
    while (i >= 0 && spans[i].className !== 'cmd') i--;
    const run = spans.slice(i + 1);
    const text = (kind) => run.filter((s) => (s.className || 'out') === kind).map((s) => s.textContent).join('');
    return { command: spans[i] ? spans[i].textContent.trim() : '', out: text('out'), err: text('err') };
  });
}

const shown = (page) => page.evaluate(() => ({
  problem: document.getElementById('problem').hidden ? '' : document.getElementById('problem').textContent,
  state: document.getElementById('state').textContent,
  save: !document.getElementById('save').disabled,
  connect: !document.getElementById('connect').disabled,
}));

async function downloads(page) {
  return page.evaluate(async () => Promise.all(window.__downloads.map(async (d) => ({
    name: d.name,
    bytes: Array.from(new Uint8Array(await (await fetch(d.href)).arrayBuffer())),
  }))));
}

// --- Files the tests install.

function makePackage(dir, name, hw, payloadSize) {
  const payload = path.join(dir, name + '.bin');
  fs.writeFileSync(payload, crypto.randomBytes(payloadSize));
  const pkg = path.join(dir, name);
  const made = runNative('tarvo-pack', ['create', '--type=E', `--hw=${hw}`, '--fit=256k', payload, pkg]);
  assert.strictEqual(made.status, 0, made.stderr);
  return { pkg, payload: fs.readFileSync(payload) };
}

const FIRMWARE_BASE = 0x1000;

for (const kind of BROWSERS) {
  describe(`the page in ${kind.name}`, () => {
    let browser, bridge, site, sim, tmp, state;
    const url = () => kind.url(site.url);

    before(async () => {
      tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'tarvo-page-'));
      state = path.join(tmp, 'adapter.flash');
      bridge = await new Bridge().start();
      site = await serveSite();
      browser = await puppeteer.launch({ ...kind.launch, userDataDir: path.join(tmp, 'profile') });
    });

    // Everything is stopped whatever failed.
    after(async () => {
      if (browser) await browser.close().catch(() => {});
      if (sim) await sim.stop();
      if (bridge) await bridge.stop();
      if (site) await site.stop();
      fs.rmSync(tmp, { recursive: true, force: true });
    });

    async function freshSim(options = []) {
      if (sim) await sim.stop();
      sim = await startSim([`--state=${state}`, ...options]);
      bridge.target = sim.path;
      return sim;
    }

    async function connected(config = {}) {
      const page = await openPage(browser, url(), { url: bridge.url, serial: true, choose: true, ...config });
      await click(page, 'connect');
      return page;
    }

    test('connect shows the report of tarvo -i; save and restore are those of tarvo -s and -u', async () => {
      await freshSim();
      const native = runNative('tarvo', ['-p', sim.path, '-i']);
      const page = await connected();
      const run = await lastRun(page);
      assert.match(run.command, /^\$ tarvo -p usb-03eb:6124 -i$/);
      assert.strictEqual(withoutTimes(run.out), withoutTimes(native.stdout));
      assert.strictEqual(run.err, native.stderr.replace(sim.path, 'usb-03eb:6124'));
      const after = await shown(page);
      assert.strictEqual(after.problem, '');
      assert.strictEqual(after.state, 'Connected to adapter AB123456 on usb-03eb:6124');
      assert.ok(after.save);

      await click(page, 'save');
      const nativeFile = path.join(tmp, 'native.dat');
      assert.strictEqual(runNative('tarvo', ['-p', sim.path, '-s', nativeFile]).status, 0);
      const [saved] = await downloads(page);
      assert.strictEqual(saved.name, 'settings-AB123456.dat');
      assert.deepStrictEqual(Buffer.from(saved.bytes), fs.readFileSync(nativeFile));

      // Restored from a changed image, the adapter holds that image.
      const changed = Buffer.from(saved.bytes);
      for (let i = 0; i < 64; i++) changed[200 + i] ^= 0x5A;
      const upload = path.join(tmp, 'changed.dat');
      fs.writeFileSync(upload, changed);
      await choose(page, 'restore-file', upload);
      assert.strictEqual((await shown(page)).problem, '');
      assert.strictEqual((await shown(page)).state, 'Settings restored and read back');
      assert.match((await lastRun(page)).out, /Updating adapter setting, please wait \.\.\. \.{64} Done\n/);
      const back = path.join(tmp, 'back.dat');
      assert.strictEqual(runNative('tarvo', ['-p', sim.path, '-s', back]).status, 0);
      assert.deepStrictEqual(fs.readFileSync(back), changed);

      // A short settings file is refused before the area is erased.
      const short = path.join(tmp, 'short.dat');
      fs.writeFileSync(short, changed.subarray(0, 100));
      await choose(page, 'restore-file', short);
      assert.match((await lastRun(page)).out, /Adapter setting file short\.dat is shorter than 4096 bytes, abort/);
      assert.match((await shown(page)).problem, /short\.dat was not written.*settings are as they were/);
      assert.strictEqual(runNative('tarvo', ['-p', sim.path, '-s', back]).status, 0);
      assert.deepStrictEqual(fs.readFileSync(back), changed);
      await page.close();
    });

    test('install shows the package, erases nothing for a package that does not fit, and writes one that does', async () => {
      await freshSim();
      const page = await connected();
      await sim.stop();
      const before = fs.readFileSync(state);
      await freshSim();

      const foreign = makePackage(tmp, 'other-board.fw', '0x0999', 4096);
      await choose(page, 'install-file', foreign.pkg);
      const listing = await page.evaluate(() => document.getElementById('log').textContent);
      assert.match(listing, /\$ tarvo-pack info other-board\.fw\nPackage 1 at offset 0x00000000\n  type letter: +E\n/);
      assert.match((await lastRun(page)).out, /No valid firmware found in other-board\.fw, abort/);
      assert.match((await shown(page)).problem, /No package in other-board\.fw fits this adapter \(board version 0x0203, type E\).*Nothing was erased/);
      await sim.stop();
      assert.ok(fs.readFileSync(state).equals(before), 'the flash changed');
      await freshSim();

      const fitting = makePackage(tmp, 'adapter-1.1.fw', '0x0203', 0x3E000);
      await choose(page, 'install-file', fitting.pkg);
      const run = await lastRun(page);
      assert.match(run.out, /\tFirmware update OK\n/);
      assert.strictEqual((await shown(page)).problem, '');
      assert.match((await shown(page)).state, /^Firmware installed and verified/);
      assert.strictEqual((await shown(page)).save, false, 'the restarted adapter needs a new connection');
      await sim.stop();
      const flash = fs.readFileSync(state);
      assert.ok(flash.subarray(FIRMWARE_BASE, FIRMWARE_BASE + fitting.payload.length).equals(fitting.payload));
      assert.ok(flash.subarray(0, FIRMWARE_BASE).equals(before.subarray(0, FIRMWARE_BASE)), 'the bootloader changed');
      sim = null;
      await page.close();
    });

    test('power cycle resets the adapter', async () => {
      await freshSim();
      const page = await connected();
      await click(page, 'power');
      assert.strictEqual((await shown(page)).problem, '');
      assert.match((await shown(page)).state, /restarting/);
      await page.close();
    });

    test('the simulator gone in the middle of an install is explained, and the page can connect again', async () => {
      await freshSim();
      const page = await connected();
      const fitting = makePackage(tmp, 'cut.fw', '0x0203', 0x3E000);
      const handle = await page.$('#install-file');
      await handle.uploadFile(fitting.pkg);
      await page.waitForFunction(() => document.getElementById('bar').value >= 10, { timeout: 60000, polling: 20 });
      sim.proc.kill('SIGKILL');
      await idle(page);
      const now = await shown(page);
      assert.match(now.problem, /unplugged or stopped answering during the firmware install/);
      assert.match(now.problem, /press Connect and install the firmware again/);
      assert.strictEqual(now.save, false);
      assert.strictEqual(now.connect, true);
      sim = null;
      await page.close();
    });

    test('what a person is told when the page cannot reach an adapter', async () => {
      // No Web Serial in this browser.
      let page = await openPage(browser, url(), { serial: false });
      assert.match((await shown(page)).problem, /no Web Serial.*Chrome, Microsoft Edge or Opera.*Firefox/);
      assert.strictEqual((await shown(page)).connect, false);
      await page.close();

      // The chooser closed without a port.
      page = await openPage(browser, url(), { url: bridge.url, serial: true, choose: false });
      await click(page, 'connect');
      assert.match((await shown(page)).problem, /^No port was chosen/);
      await page.close();

      // The port cannot be opened.
      bridge.target = null;
      page = await connected();
      assert.match((await shown(page)).problem, /could not be opened.*Another program may be using it.*'dialout'/s);
      assert.match((await lastRun(page)).err, /No device found on usb-03eb:6124/);
      await page.close();

      // Something answers that is no adapter.
      await freshSim(['--no-version-reply']);
      page = await connected();
      assert.match((await shown(page)).problem, /^No adapter answered on usb-03eb:6124/);
      assert.strictEqual((await shown(page)).save, false);
      await page.close();

      // A port granted before is offered again.
      await freshSim();
      page = await openPage(browser, url(), { url: bridge.url, serial: true, choose: false, granted: true });
      await click(page, 'reconnect');
      assert.match((await shown(page)).state, /^Connected to adapter AB123456/);
      await page.close();
    });
  });
}
