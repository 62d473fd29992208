// The page's rows of the benchmark: a 256 KB install through the page in
// headless Chromium and Firefox ESR against tarvo-sim's model of a real
// adapter, beside the native tarvo -f of the same package on the same
// simulator options, and the size of the one-file page. Run by scripts/web bench.
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');
const puppeteer = require('puppeteer-core');
const { WebSocketServer } = require('ws');

const { Bridge } = require('./bridge.js');
const { BROWSERS, serveSite, openPage, click, choose, lastRun, shown } = require('./driver.js');
const { WEB, startSim, runNative, makePackage } = require('./harness.js');

const SIM_OPTIONS = ['--real-adapter'];
// The firmware region of the 256 KB chip: all but the bootloader and the setting area.
const PAYLOAD = 0x40000 - 0x1000 - 0x1000;
const RATIO_TARGET = 1.10;
const SIZE_TARGET_KB = 400;
// The page's own share of an install, against the native install's time.
const SHARE_TARGET = 0.05;

// The native run, and the replies the simulator sent in it: the page's
// tarvo -f speaks the same exchanges.
async function nativeInstall(pkg, tmp) {
  const stats = path.join(tmp, 'native.stats');
  const sim = await startSim([...SIM_OPTIONS, `--stats=${stats}`]);
  let seconds;
  try {
    const start = process.hrtime.bigint();
    const run = runNative('tarvo', ['-p', sim.path, '-f', pkg]);
    seconds = Number(process.hrtime.bigint() - start) / 1e9;
    if (run.status !== 0 || !/Firmware update OK/.test(run.stdout))
      throw new Error(`native tarvo -f failed (${run.status}): ${run.stderr}`);
  } finally {
    await sim.stop();
  }
  const replies = Number((/^replies (\d+)$/m.exec(fs.readFileSync(stats, 'latin1')) || [])[1]);
  return { seconds, replies };
}

// What one exchange costs the test's stand-in port alone: a round trip from
// the page over the browser's WebSocket to node and back, which a browser's
// own serial port does not take.
async function bridgeRoundTrip(page) {
  const server = new WebSocketServer({ host: '127.0.0.1', port: 0 });
  await new Promise((resolve) => server.on('listening', resolve));
  server.on('connection', (ws) => ws.on('message', (data) => ws.send(data)));
  try {
    return await page.evaluate(async (url) => {
      const ws = new WebSocket(url);
      ws.binaryType = 'arraybuffer';
      await new Promise((resolve) => { ws.onopen = resolve; });
      const rounds = 2000;
      const bytes = new Uint8Array(20);
      let n = 0;
      const start = performance.now();
      await new Promise((done) => {
        ws.onmessage = () => (++n === rounds ? done() : ws.send(bytes));
        ws.send(bytes);
      });
      const each = (performance.now() - start) / rounds;
      ws.close();
      return each;
    }, `ws://127.0.0.1:${server.address().port}/`);
  } finally {
    for (const ws of server.clients) ws.terminate();
    await new Promise((resolve) => server.close(resolve));
  }
}

async function pageInstall(pkg, kind) {
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'tarvo-page-bench-'));
  let browser, sim, site;
  const bridge = await new Bridge().start();
  try {
    site = await serveSite();
    sim = await startSim(SIM_OPTIONS);
    bridge.target = sim.path;
    browser = await puppeteer.launch({ ...kind.launch, userDataDir: path.join(tmp, 'profile') });
    const page = await openPage(browser, kind.url(site.url), { url: bridge.url, serial: true, choose: true, measure: true });
    await click(page, 'connect');
    if (!(await shown(page)).save) throw new Error('the page did not connect: ' + (await shown(page)).problem);
    // The page's clock marks each command line in the log, the install's steps
    // and the buttons coming back, so the install is timed apart from the
    // backup it takes first.
    await page.evaluate(() => {
      window.__marks = [];
      const mark = (text) => {
        window.__marks.push({ text, at: performance.now() });
        if (/^Erasing and writing/.test(text)) window.__turnaround.times = [];
      };
      new MutationObserver((records) => {
        for (const r of records) for (const n of r.addedNodes) if (n.className === 'cmd') mark(n.textContent.trim());
      }).observe(document.getElementById('log'), { childList: true });
      new MutationObserver(() => mark(document.getElementById('state').textContent))
        .observe(document.getElementById('state'), { childList: true, characterData: true, subtree: true });
      new MutationObserver(() => { if (!document.getElementById('connect').disabled) mark('idle'); })
        .observe(document.getElementById('connect'), { attributes: true, attributeFilter: ['disabled'] });
    });
    // From the confirm to the buttons coming back, as a person waits for it.
    await choose(page, 'install-file', pkg);
    const start = process.hrtime.bigint();
    await click(page, 'confirm-update');
    const whole = Number(process.hrtime.bigint() - start) / 1e9;
    const run = await lastRun(page);
    if (!/Firmware update OK/.test(run.out))
      throw new Error('the page install failed: ' + (await shown(page)).problem + '\n' + run.out + run.err);
    const marks = await page.evaluate(() => window.__marks);
    const from = marks.find((m) => /^Erasing and writing/.test(m.text));
    const to = marks.find((m) => m.text === 'idle' && from && m.at > from.at);
    if (!from || !to) throw new Error('the page did not show the install step: ' + JSON.stringify(marks));
    // The page's turnarounds within the install; the first one holds the
    // hand-over from the backup.
    const times = await page.evaluate(() => window.__turnaround.times);
    const turns = times.slice(1);
    const total = turns.reduce((a, b) => a + b, 0) / 1000;
    const own = { total, mean: total / Math.max(1, turns.length) };
    return { whole, install: (to.at - from.at) / 1000, roundTrip: (await bridgeRoundTrip(page)) / 1000, own };
  } finally {
    if (browser) await browser.close().catch(() => {});
    if (sim) await sim.stop();
    if (site) await site.stop();
    await bridge.stop();
    fs.rmSync(tmp, { recursive: true, force: true });
  }
}

function row(cells) {
  const widths = [44, 9, 9, 6, 0];
  return '| ' + cells.map((c, i) => (i === 0 || i === 4 ? c.padEnd(widths[i]) : c.padStart(widths[i]))).join(' | ') + ' |';
}

async function main() {
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'tarvo-bench-'));
  try {
    const { pkg } = makePackage(tmp, 'bench-256k.fw', '0x0203', PAYLOAD, ['--warm-reset=1']);
    const native = await nativeInstall(pkg, tmp);
    const size = fs.statSync(path.join(WEB, 'tarvo-web.html')).size / 1024;
    console.log(row(['what', 'figure', 'bound', 'ratio', 'detail']));
    console.log(row(['**In the browser**', '', '', '', '']));
    for (const kind of BROWSERS) {
      const web = await pageInstall(pkg, kind);
      const ratio = web.install / native.seconds;
      const bridge = web.roundTrip * native.replies;
      console.log(row([`page install, 256 KB chip, usb (${kind.name})`, `${web.install.toFixed(3)} s`,
        `${native.seconds.toFixed(3)} s`, ratio.toFixed(2),
        `the page's install against native tarvo -f on tarvo-sim ${SIM_OPTIONS.join(' ')}; ` +
        `target ratio <= ${RATIO_TARGET.toFixed(2)}` + (ratio <= RATIO_TARGET ? '' : ' MISSED')]));
      const share = web.own.total / native.seconds;
      console.log(row([`  the page's own share (${kind.name})`, `${web.own.total.toFixed(3)} s`,
        `${(SHARE_TARGET * native.seconds).toFixed(3)} s`, share.toFixed(3),
        `from each reply to the page's last write before the next, ${(web.own.mean * 1000).toFixed(3)} ms on average; ` +
        `${(share * 100).toFixed(1)} % of native, target <= ${SHARE_TARGET * 100} %` + (share <= SHARE_TARGET ? '' : ' MISSED')]));
      console.log(row([`  the test's stand-in port (${kind.name})`, `${bridge.toFixed(3)} s`, '', '',
        `${native.replies} replies x ${(web.roundTrip * 1000).toFixed(3)} ms, the round trip over the browser's ` +
        `WebSocket to node, which a browser's own port does not take; without it ${((web.install - bridge) / native.seconds).toFixed(2)}`]));
      console.log(row([`  with the backup first (${kind.name})`, `${web.whole.toFixed(3)} s`, '', '',
        'from the pick of the file to the buttons back']));
    }
    console.log(row(['one-file page, tarvo-web.html', `${Math.round(size)} KB`, `${SIZE_TARGET_KB} KB`,
      (size / SIZE_TARGET_KB).toFixed(2), `target <= ${SIZE_TARGET_KB} KB` + (size <= SIZE_TARGET_KB ? '' : ' MISSED')]));
  } finally {
    fs.rmSync(tmp, { recursive: true, force: true });
  }
}

main().catch((e) => {
  console.error('page bench: ' + ((e && e.stack) || e));
  process.exit(1);
});
