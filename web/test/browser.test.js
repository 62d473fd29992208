// The page end to end in headless Chromium (the one file, from file://) and
// Firefox ESR (the hosted files, from http://127.0.0.1), its port a stand-in
// relayed to tarvo-sim, against what the native tarvo does on the same
// simulator.
'use strict';

const assert = require('assert');
const { spawnSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { describe, test, before, after } = require('node:test');
const puppeteer = require('puppeteer-core');

const { Bridge } = require('./bridge.js');
const { startSim, runNative, withoutTimes, makePackage } = require('./harness.js');
const { BROWSERS, serveSite, openPage, idle, click, choose, lastRun, shown, downloads } = require('./driver.js');

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
      assert.deepStrictEqual(await downloads(page), [], 'a backup was offered for a package that cannot go on');
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
      assert.deepStrictEqual((await downloads(page)).map((d) => /^tarvo-backup-.*\.zip$/.test(d.name)), [true]);
      await sim.stop();
      const flash = fs.readFileSync(state);
      assert.ok(flash.subarray(FIRMWARE_BASE, FIRMWARE_BASE + fitting.payload.length).equals(fitting.payload));
      assert.ok(flash.subarray(0, FIRMWARE_BASE).equals(before.subarray(0, FIRMWARE_BASE)), 'the bootloader changed');
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
        await choose(page, 'install-file', pkg.pkg);
        const run = await lastRun(page);
        assert.strictEqual((/\tFirmware update (\S+)\n/.exec(run.out) || [])[1], c.verdict, c.fault);
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
      await choose(page, 'install-file', other.pkg);
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
      assert.match(now.problem, /offered as a download: Restore backup puts it back/);
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

      // A port granted before is offered again.
      await freshSim();
      page = await openPage(browser, url(), { url: bridge.url, serial: true, choose: false, granted: true });
      await click(page, 'reconnect');
      assert.match((await shown(page)).state, /^Connected to adapter AB123456/);
      await page.close();
    });
  });
}
