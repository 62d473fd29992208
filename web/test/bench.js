// The page's row of the benchmark: a 256 KB install through the page in
// headless Chromium against tarvo-sim's model of a real adapter, beside the
// native tarvo -f of the same package on the same simulator options, and the
// size of the one-file page. Run by scripts/web bench.
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');
const puppeteer = require('puppeteer-core');

const { Bridge } = require('./bridge.js');
const { BROWSERS, openPage, click, choose, lastRun, shown } = require('./driver.js');
const { WEB, startSim, runNative, makePackage } = require('./harness.js');

const SIM_OPTIONS = ['--real-adapter'];
// The firmware region of the 256 KB chip: all but the bootloader and the setting area.
const PAYLOAD = 0x40000 - 0x1000 - 0x1000;
const RATIO_TARGET = 1.10;
const SIZE_TARGET_KB = 400;

async function nativeInstall(pkg) {
  const sim = await startSim(SIM_OPTIONS);
  try {
    const start = process.hrtime.bigint();
    const run = runNative('tarvo', ['-p', sim.path, '-f', pkg]);
    const seconds = Number(process.hrtime.bigint() - start) / 1e9;
    if (run.status !== 0 || !/Firmware update OK/.test(run.stdout))
      throw new Error(`native tarvo -f failed (${run.status}): ${run.stderr}`);
    return seconds;
  } finally {
    await sim.stop();
  }
}

async function pageInstall(pkg) {
  const chromium = BROWSERS[0];
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'tarvo-page-bench-'));
  let browser, sim;
  const bridge = await new Bridge().start();
  try {
    sim = await startSim(SIM_OPTIONS);
    bridge.target = sim.path;
    browser = await puppeteer.launch({ ...chromium.launch, userDataDir: path.join(tmp, 'profile') });
    const page = await openPage(browser, chromium.url(), { url: bridge.url, serial: true, choose: true });
    await click(page, 'connect');
    if (!(await shown(page)).save) throw new Error('the page did not connect: ' + (await shown(page)).problem);
    // From the pick to the buttons coming back, as a person waits for it.
    const start = process.hrtime.bigint();
    await choose(page, 'install-file', pkg);
    const seconds = Number(process.hrtime.bigint() - start) / 1e9;
    const run = await lastRun(page);
    if (!/Firmware update OK/.test(run.out))
      throw new Error('the page install failed: ' + (await shown(page)).problem + '\n' + run.out + run.err);
    return seconds;
  } finally {
    if (browser) await browser.close().catch(() => {});
    if (sim) await sim.stop();
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
    const native = await nativeInstall(pkg);
    const web = await pageInstall(pkg);
    const ratio = web / native;
    const size = fs.statSync(path.join(WEB, 'tarvo-web.html')).size / 1024;
    console.log(row(['what', 'figure', 'bound', 'ratio', 'detail']));
    console.log(row(['**In the browser**', '', '', '', '']));
    console.log(row(['page install, 256 KB chip, usb (Chromium)', `${web.toFixed(3)} s`, `${native.toFixed(3)} s`,
      ratio.toFixed(2), `against native tarvo -f on tarvo-sim ${SIM_OPTIONS.join(' ')}; target ratio <= ${RATIO_TARGET.toFixed(2)}` +
      (ratio <= RATIO_TARGET ? '' : ' MISSED')]));
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
