// The page end to end in headless Chromium (the one file, from file://) and
// Firefox ESR (the hosted files, from http://127.0.0.1), its port a stand-in
// relayed to tarvo-sim, against what the native tarvo does on the same
// simulator.
'use strict';

const assert = require('assert');
const crypto = require('crypto');
const { spawnSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { describe, test, before, after } = require('node:test');
const puppeteer = require('puppeteer-core');

const { Bridge } = require('./bridge.js');
const { WEB, startSim, runNative, withoutTimes, makePackage } = require('./harness.js');
const { BROWSERS, serveSite, openPage, idle, click, drop, update, choose, lastRun, shown, downloads } = require('./driver.js');

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

    test('connect shows the adapter in words; save and restore are those of tarvo -s and -u', async () => {
      await freshSim();
      const native = runNative('tarvo', ['-p', sim.path, '-i']);
      const page = await connected();
      // The card says what tarvo -i reports, in words.
      const card = await page.evaluate(() => document.getElementById('card').innerText);
      const field = (re) => re.exec(native.stdout)[1];
      for (const value of [field(/Adapter SN: (\S+)/), field(/PCB Ver: (0x[0-9A-F]+)/), field(/Type=(\S)/),
        field(/Firmware Version: (0x[0-9A-F]+)/), field(/Bootloader Version: (.*\S)/)])
        assert.ok(card.includes(value), `${value} is not on the card:\n${card}`);
      assert.doesNotMatch(card, /\$ |tarvo/, 'a command line on the card');
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

    test('the guided update: another board explained before anything is read, the backup kept, Undo after a reload', async () => {
      // A factory-fresh adapter, as the owner has it (the last simulator stopped first: it saves on its way out).
      if (sim) await sim.stop();
      fs.rmSync(state, { force: true });
      await freshSim();
      const page = await connected();
      assert.match((await shown(page)).state, /^Connected to adapter AB123456/);
      await sim.stop();
      const before = fs.readFileSync(state);
      await freshSim();

      // A package for another board: said before any backup or erase.
      const foreign = makePackage(tmp, 'other-board.fw', '0x0999', 4096);
      await drop(page, foreign.pkg);
      assert.match((await shown(page)).problem, /^No package in other-board\.fw fits this adapter \(board version 0x0203, type E\): it holds one for board versions 0x0999(, 0x0999)*\. Nothing was read or erased/);
      const log = () => page.evaluate(() => document.getElementById('log').textContent);
      assert.doesNotMatch(await log(), /^# (save|install)/m, 'the adapter was backed up or written');
      assert.ok(await page.evaluate(() => document.getElementById('confirm').hidden));

      // The maker's file: what it holds, then one confirm.
      // Its version word where the firmware keeps it, as a maker's build has it.
      const image = crypto.randomBytes(0x3E000);
      image.writeUInt16LE(0x0111, image.length - 16);
      const fitting = makePackage(tmp, 'adapter-1.1.fw', '0x0203', image, ['--sw-ver=0x0111']);
      await drop(page, fitting.pkg);
      const asked = await page.evaluate(() => document.getElementById('confirm-text').textContent);
      assert.match(asked, /^adapter-1\.1\.fw holds firmware 0x0111 for this adapter \(it runs 0x0105 now\)\. The update keeps the adapter's settings\..*kept in this browser/);
      assert.doesNotMatch(await log(), /^# (save|install)/m, 'the adapter was touched before the confirm');
      // The phases as named, and the one bar, as they run.
      await page.evaluate(() => {
        window.__seen = { phases: [], bar: [] };
        new MutationObserver(() => {
          const now = document.getElementById('progress-phase').textContent;
          if (now && window.__seen.phases[window.__seen.phases.length - 1] !== now) window.__seen.phases.push(now);
        }).observe(document.getElementById('progress-phase'), { childList: true, characterData: true, subtree: true });
        const bar = document.getElementById('bar');
        new MutationObserver(() => window.__seen.bar.push(bar.value)).observe(bar, { attributes: true });
      });
      await click(page, 'confirm-update');
      const seen = await page.evaluate(() => window.__seen);
      assert.deepStrictEqual(seen.phases, ['Backing up', 'Erasing and writing', 'Checking', 'Restarting'], (await lastRun(page)).out.slice(-1500));
      // One bar: it never goes back between the phases (each starts at 0 when shown on its own).
      const bar = seen.bar.filter((v, k) => v > 0 && v !== seen.bar[k - 1]);
      assert.ok(bar.length > 10 && bar.every((v, k) => k === 0 || v >= bar[k - 1]), `the bar went back: ${bar}`);
      assert.ok(Math.max(...bar) >= 90, `the bar stopped at ${Math.max(...bar)}`);
      const now = await shown(page);
      assert.strictEqual(now.problem, '');
      assert.match(now.state, /^Firmware installed and verified; .*Undo the last update puts the firmware it had back/);

      // The backup offered, and kept: the kept one downloads the same bytes.
      const [offered] = await downloads(page);
      assert.match(offered.name, /^tarvo-backup-AB123456-\d{8}-\d{6}\.zip$/);
      const kept = await page.evaluate(() => [...document.querySelectorAll('#kept-list li span')].map((e) => e.textContent));
      assert.strictEqual(kept.length, 1);
      assert.match(kept[0], /adapter AB123456, firmware 0x0105$/);
      await page.click('#kept-list li button');
      const again = await downloads(page);
      assert.strictEqual(again.length, 2);
      assert.deepStrictEqual(again[1], offered);
      await sim.stop();
      const installed = fs.readFileSync(state);
      assert.ok(installed.subarray(FIRMWARE_BASE, FIRMWARE_BASE + fitting.payload.length).equals(fitting.payload));
      assert.ok(installed.subarray(0, FIRMWARE_BASE).equals(before.subarray(0, FIRMWARE_BASE)), 'the bootloader changed');
      await freshSim();

      // The page closed and opened again: Undo, without a file.
      await page.reload();
      await page.waitForFunction(() => !document.getElementById('connect').disabled, { timeout: 30000 });
      assert.strictEqual(await page.evaluate(() => document.getElementById('undo').hidden), true, 'Undo before a connection');
      await click(page, 'connect');
      assert.strictEqual(await page.evaluate(() => document.getElementById('undo').hidden), false);

      // The read-only check with the package it runs now, its report without the serial number.
      await choose(page, 'check-file', fitting.pkg);
      assert.match((await shown(page)).state, /stores firmware exactly as it is sent: its backups can be put back\. Nothing on the adapter was changed/);
      await click(page, 'check-report');
      const report = (await downloads(page)).pop();
      assert.strictEqual(report.name, 'tarvo-check-report.txt');
      assert.match(Buffer.from(report.bytes).toString(), /^Board version: 0x0203$/m);
      assert.doesNotMatch(Buffer.from(report.bytes).toString(), /AB123456/);

      await click(page, 'undo');
      assert.strictEqual((await shown(page)).problem, '', (await lastRun(page)).out);
      assert.match((await shown(page)).state, /^Update undone: the adapter holds the backup of .* again, verified/);
      await sim.stop();
      assert.ok(fs.readFileSync(state).equals(before), 'Undo did not put the flash back byte for byte');
      sim = null;
      await page.close();
    });

    test('an install that does not verify is put back from its backup before the one restart, unless the monitor changes what it receives', async () => {
      // Swapped by a decoding monitor, the pairs keep the byte sum: the install
      // verifies though flash holds other bytes than were sent.
      const pairs = Buffer.alloc(0x3E000);
      for (let i = 1; i < pairs.length; i += 2) pairs[i] = 0x5A;
      const cases = [
        // A byte that does not program; after the restart this monitor answers nothing.
        { fault: '--stuck-byte=0x2000', status: /^Install failed; the adapter was put back as it was$/, verdict: 'failed',
          problem: /did not verify, so the adapter was put back as it was before the install/, restored: true, zips: 1 },
        { fault: '--xor-after-initd=0x5A', status: /^Install failed; the adapter holds no working firmware$/, verdict: 'failed',
          problem: /changes the firmware it receives, so its firmware cannot be put back from a backup: install the maker's package/,
          restored: false, inMonitor: true, zips: 1 },
        { fault: '--xor-after-initd=0x5A', payload: pairs, verdict: 'OK', problem: /^$/, restored: false, zips: 1,
          status: /^Firmware installed and verified; .*Its boot monitor changes the firmware it receives, so no backup can put its firmware back/ },
        // No two reads agree: without a backup nothing is erased.
        { fault: '--wrong-read=0x2000', status: /^Connected to adapter AB123456/,
          problem: /^No backup could be saved, so nothing was installed.*Nothing was erased\.$/, restored: true, zips: 0 },
      ];
      for (const c of cases) {
        fs.rmSync(state, { force: true });
        await freshSim([c.fault, '--silent-after-restart']);
        const page = await connected();
        await sim.stop();
        const before = fs.readFileSync(state);
        await freshSim([c.fault, '--silent-after-restart']);

        const pkg = makePackage(tmp, 'unverified.fw', '0x0203', c.payload || 0x3E000);
        await update(page, pkg.pkg);
        const run = await lastRun(page);
        assert.strictEqual((/\tFirmware update (\S+)\n/.exec(run.out) || [])[1], c.verdict, `${c.fault}: ${JSON.stringify(await shown(page))}\n${run.out.slice(-600)}`);
        const now = await shown(page);
        assert.match(now.state, c.status, `${c.fault}: ${now.problem}\n${run.out.slice(-800)}${run.err}`);
        assert.match(now.problem, c.problem, c.fault);
        const zips = await downloads(page);
        assert.strictEqual(zips.length, c.zips, c.fault);
        if (c.zips) {
          assert.doesNotMatch(now.problem, /Nothing was erased/, c.fault);
          const zipFile = path.join(tmp, 'unverified.zip');
          fs.writeFileSync(zipFile, Buffer.from(zips[0].bytes));
          const unzip = spawnSync('unzip', ['-p', zipFile, '*/firmware.pkg']);
          assert.ok(unzip.stdout.length > 0, c.fault);
        }
        if (c.inMonitor) {
          // Left in its boot monitor: the next install reaches it.
          await click(page, 'connect');
          assert.match((await shown(page)).state, /^Connected to adapter AB123456/, c.fault);
        }
        await sim.stop();
        const flash = fs.readFileSync(state);
        assert.ok(flash.subarray(0, FIRMWARE_BASE).equals(before.subarray(0, FIRMWARE_BASE)), `${c.fault}: the bootloader changed`);
        assert.strictEqual(flash.subarray(FIRMWARE_BASE).equals(before.subarray(FIRMWARE_BASE)), c.restored, c.fault);
        sim = null;
        await page.close();
      }
    });

    test('back up, install another package, verify says it differs, restore, verify says it matches', async () => {
      // A factory-fresh adapter: the settings test leaves an area a restore rightly refuses.
      fs.rmSync(state, { force: true });
      await freshSim();
      const page = await connected();
      await sim.stop();
      const original = fs.readFileSync(state);
      await freshSim();
      const nativeDir = path.join(tmp, 'native-backup');
      assert.strictEqual(runNative('tarvo-backup', ['-p', sim.path, 'save', nativeDir]).status, 0);

      // The backup is one zip of the folder tarvo-backup save makes.
      await click(page, 'backup');
      assert.strictEqual((await shown(page)).problem, '');
      assert.match((await shown(page)).state, /^Backup saved/);
      const [zip] = await downloads(page);
      assert.match(zip.name, /^tarvo-backup-AB123456-\d{8}-\d{6}\.zip$/);
      const zipFile = path.join(tmp, zip.name);
      fs.writeFileSync(zipFile, Buffer.from(zip.bytes));
      const unpacked = path.join(tmp, 'unpacked');
      const unzip = spawnSync('unzip', ['-q', zipFile, '-d', unpacked], { encoding: 'utf8' });
      assert.strictEqual(unzip.status, 0, unzip.stderr);
      const dir = path.join(unpacked, zip.name.replace(/\.zip$/, ''));
      assert.deepStrictEqual(fs.readdirSync(dir).sort(), ['adapter.txt', 'firmware.pkg', 'settings.dat']);
      for (const name of ['firmware.pkg', 'settings.dat'])
        assert.ok(fs.readFileSync(path.join(dir, name)).equals(fs.readFileSync(path.join(nativeDir, name))), name);
      const nativeVerify = runNative('tarvo-backup', ['-p', sim.path, 'verify', dir]);
      assert.strictEqual(nativeVerify.status, 0, nativeVerify.stdout);

      // The install offers the adapter as it was before its erase.
      const other = makePackage(tmp, 'other-1.2.fw', '0x0203', 0x3E000);
      await update(page, other.pkg);
      assert.match((await shown(page)).state, /^Firmware installed and verified/);
      const all = await downloads(page);
      assert.strictEqual(all.length, 2);
      const preInstall = path.join(tmp, 'pre-install.zip');
      fs.writeFileSync(preInstall, Buffer.from(all[1].bytes));
      const listed = spawnSync('unzip', ['-p', preInstall, '*/firmware.pkg']);
      assert.ok(listed.stdout.equals(fs.readFileSync(path.join(dir, 'firmware.pkg'))), 'the install\'s backup is not the adapter before it');

      await click(page, 'connect');
      await choose(page, 'verify-file', zipFile);
      assert.match((await shown(page)).state, /^The adapter differs from the backup \(firmware: differs, settings: matches\)/);

      // A changed file is refused by name before anything is erased.
      await sim.stop();
      const installed = fs.readFileSync(state);
      await freshSim();
      const changed = path.join(tmp, 'changed');
      fs.mkdirSync(changed);
      for (const name of ['firmware.pkg', 'settings.dat', 'adapter.txt'])
        fs.copyFileSync(path.join(dir, name), path.join(changed, name));
      const settings = fs.readFileSync(path.join(changed, 'settings.dat'));
      settings[100] ^= 1;
      fs.writeFileSync(path.join(changed, 'settings.dat'), settings);
      await choose(page, 'restore-backup-file', ['firmware.pkg', 'settings.dat', 'adapter.txt'].map((n) => path.join(changed, n)));
      assert.match((await lastRun(page)).out, /settings\.dat/);
      assert.match((await shown(page)).problem, /^The backup was not restored.*Nothing on the adapter was changed/);
      await sim.stop();
      assert.ok(fs.readFileSync(state).equals(installed), 'a refused restore changed the flash');
      await freshSim();

      // The three files, as a person picks them from the unpacked folder.
      await choose(page, 'restore-backup-file', ['firmware.pkg', 'settings.dat', 'adapter.txt'].map((n) => path.join(dir, n)));
      assert.strictEqual((await shown(page)).problem, '', (await lastRun(page)).out);
      assert.match((await shown(page)).state, /^Backup restored and verified/);
      if ((await shown(page)).save === false) await click(page, 'connect');
      await choose(page, 'verify-file', zipFile);
      assert.match((await shown(page)).state, /^The adapter matches the backup \(firmware: matches, settings: matches\)/);
      await sim.stop();
      const restored = fs.readFileSync(state);
      assert.ok(restored.subarray(FIRMWARE_BASE).equals(original.subarray(FIRMWARE_BASE)), 'the flash is not as it was');
      assert.ok(restored.subarray(0, FIRMWARE_BASE).equals(original.subarray(0, FIRMWARE_BASE)), 'the bootloader changed');
      sim = null;
      await page.close();
    });

    test('at 400 px wide and from the keyboard alone: the update reached by Tab, every control labelled, text readable', async () => {
      fs.rmSync(state, { force: true });
      await freshSim();
      const shots = path.join(WEB, 'screenshots');
      fs.mkdirSync(shots, { recursive: true });
      const shoot = (page, stage) => page.screenshot({ path: path.join(shots, `${kind.name.replace(/\W+/g, '-')}-${stage}.png`), fullPage: true });
      const page = await openPage(browser, url(), { url: bridge.url, serial: true, choose: true });
      await page.setViewport({ width: 400, height: 800 });
      const focused = () => page.evaluate((e = document.activeElement) => e.id || (e.tagName === 'SUMMARY' ? 'summary:' + e.textContent.trim() : e.tagName));
      const tabs = async (n, order = []) => { while (order.length < n) { await page.keyboard.press('Tab'); order.push(await focused()); } return order; };
      // Every control named, no text under 4.5:1 against what is behind it, nothing wider than the window.
      const looked = () => page.evaluate(() => {
        const rgb = (c) => (c.match(/[\d.]+/g) || []).map(Number);
        const lum = ([r, g, b]) => [r, g, b].map((v) => { v /= 255; return v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4; })
          .reduce((sum, v, k) => sum + v * [0.2126, 0.7152, 0.0722][k], 0);
        const behind = (e) => { for (let c; e; e = e.parentElement) if ((c = rgb(getComputedStyle(e).backgroundColor)).length === 3 || c[3] > 0) return c.slice(0, 3); return [255, 255, 255]; };
        const faint = [];
        for (const e of document.querySelectorAll('body *')) {
          if (e.disabled || !e.offsetParent || ![...e.childNodes].some((n) => n.nodeType === 3 && n.textContent.trim())) continue;
          const [a, b] = [lum(rgb(getComputedStyle(e).color)), lum(behind(e))];
          const ratio = (Math.max(a, b) + 0.05) / (Math.min(a, b) + 0.05);
          if (ratio < 4.5) faint.push(`${e.id || e.tagName} ${ratio.toFixed(2)}`);
        }
        const unnamed = [...document.querySelectorAll('button, input, progress, summary, pre')].filter((e) =>
          !((e.getAttribute('aria-label') || e.textContent).trim() || (e.closest('label') && e.closest('label').textContent.trim())))
          .map((e) => e.id || e.tagName);
        return { faint, unnamed, wide: document.documentElement.scrollWidth <= 400 };
      });

      // The owner's way in five pictures (README "In the browser").
      await idle(page);
      await shoot(page, '1-open');
      assert.deepStrictEqual(await tabs(1), ['connect']);
      await page.keyboard.press('Enter');
      await idle(page);
      assert.match((await shown(page)).state, /^Connected to adapter AB123456/);
      await shoot(page, '2-connected');
      // Undo and the kept backups' buttons (of the tests before) come between.
      const between = await page.evaluate(() => [...(document.getElementById('undo').hidden ? [] : ['undo']),
        ...[...document.querySelectorAll('#kept-list button')].map(() => 'BUTTON')]);
      assert.deepStrictEqual(await tabs(2 + between.length), ['install', ...between, 'summary:More']);
      await page.keyboard.press('Enter');
      assert.deepStrictEqual(await tabs(8), ['save', 'restore', 'backup', 'verify', 'restore-backup', 'check', 'power', 'summary:Log']);
      assert.deepStrictEqual(await looked(), { faint: [], unnamed: [], wide: true });

      // The file dropped; the confirm has the keyboard, Enter updates.
      const small = makePackage(tmp, 'small.fw', '0x0203', 4096);
      await drop(page, small.pkg);
      assert.strictEqual(await focused(), 'confirm-update');
      await shoot(page, '3-confirm');
      assert.deepStrictEqual(await looked(), { faint: [], unnamed: [], wide: true });
      await page.keyboard.press('Enter');
      // Taken while the backup runs: the bar past its start, the phase named.
      await page.waitForFunction(() => document.getElementById('bar').value > 0 &&
        document.getElementById('progress-phase').textContent, { polling: 20, timeout: 60000 });
      await shoot(page, '4-updating');
      await idle(page);
      assert.match((await shown(page)).state, /^Firmware installed and verified/);
      // The restarted adapter's next step is Connect.
      assert.strictEqual(await focused(), 'connect');
      await shoot(page, '5-updated');
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
      await choose(page, 'install-file', fitting.pkg);
      await page.click('#confirm-update');
      // Past the backup the install takes first, into the firmware's writing.
      await page.waitForFunction(() => /Updating firmware, please wait/.test(document.getElementById('log').textContent) &&
        document.getElementById('bar').value >= 10, { timeout: 60000, polling: 20 });
      // The backup went to the person before the erase.
      assert.deepStrictEqual((await downloads(page)).map((d) => /^tarvo-backup-AB123456-.*\.zip$/.test(d.name)), [true]);
      sim.proc.kill('SIGKILL');
      await idle(page);
      const now = await shown(page);
      assert.match(now.problem, /unplugged or stopped answering during the firmware install/);
      assert.match(now.problem, /press Connect and install the firmware again/);
      assert.match(now.problem, /offered as a download and is kept in this browser: Undo the last update puts it back/);
      assert.strictEqual((await downloads(page)).length, 1);
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

      // No storage that lasts: said before the update, which relies on the download; Cancel touches nothing.
      await freshSim();
      page = await connected({ storage: false });
      await drop(page, makePackage(tmp, 'unstored.fw', '0x0203', 4096).pkg);
      assert.match(await page.evaluate(() => document.getElementById('confirm-text').textContent), /keeps no backups for the page: keep the download/);
      await click(page, 'cancel-update');
      assert.doesNotMatch(await page.evaluate(() => document.getElementById('log').textContent), /^# (save|install)/m);
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
