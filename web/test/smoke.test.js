// The WebAssembly build under node, over a pseudo-terminal to tarvo-sim: the
// same program as the native one, byte for byte in what it prints and saves.
'use strict';

const assert = require('assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const test = require('node:test');

const { SerialLink } = require('../page/link.js');
const { PtyPort } = require('./ptyport.js');
const { WEB, startSim, runNative, withoutTimes } = require('./harness.js');

async function loadProgram(port) {
  const createTarvo = require(path.join(WEB, 'tarvo-web.js'));
  const out = { stdout: '', stderr: '' };
  const module = await createTarvo({
    link: new SerialLink(port),
    stdout: (c) => { out.stdout += String.fromCharCode(c); },
    stderr: (c) => { out.stderr += String.fromCharCode(c); },
  });
  module.FS.mkdir('/work');
  module.FS.chdir('/work');
  return {
    module,
    async run(program, args, portName = 'sim') {
      out.stdout = '';
      out.stderr = '';
      const status = await module.ccall('tarvo_web_run', 'number', ['string', 'string', 'string'],
        [program, args.join('\n'), portName], { async: true });
      return { status, stdout: out.stdout, stderr: out.stderr };
    },
  };
}

test('runs of tarvo in one module print what the native program prints', async (t) => {
  const sim = await startSim();
  t.after(() => sim.stop());
  const web = await loadProgram(new PtyPort(sim.path));
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'tarvo-web-'));
  t.after(() => fs.rmSync(tmp, { recursive: true, force: true }));

  const cases = [
    // Usage errors and the help text need no adapter.
    { args: [] },
    { args: ['-s'] },
    { args: ['-h'] },
    // The second run in one module starts from fresh options.
    { args: ['-p', 'PORT', '-i'] },
    { args: ['-p', 'PORT', '-i', '-R'] },
  ];
  for (const { args } of cases) {
    const native = runNative('tarvo', args.map((a) => (a === 'PORT' ? sim.path : a)));
    const got = await web.run('tarvo', args.map((a) => (a === 'PORT' ? sim.path : a)), sim.path);
    const what = `tarvo ${args.join(' ')}`;
    assert.strictEqual(got.status, native.status, what);
    assert.strictEqual(withoutTimes(got.stdout), withoutTimes(native.stdout), what);
    assert.strictEqual(got.stderr, native.stderr, what);
  }

  // The C library words getopt's own complaint; the hint after it is ours.
  const bad = await web.run('tarvo', ['-x'], sim.path);
  assert.strictEqual(bad.status, 1);
  assert.match(bad.stderr, /\nTry 'tarvo -h' or 'tarvo --help' for more information\n$/);

  // The saved file, read from the module's file system, is the native one.
  const native = runNative('tarvo', ['-p', sim.path, '-s', path.join(tmp, 'native.dat')]);
  assert.strictEqual(native.status, 0);
  const got = await web.run('tarvo', ['-p', sim.path, '-s', 'user.dat'], sim.path);
  assert.strictEqual(got.status, 0, got.stderr);
  const saved = web.module.FS.readFile('/work/user.dat');
  assert.deepStrictEqual(Buffer.from(saved), fs.readFileSync(path.join(tmp, 'native.dat')));
  assert.strictEqual(web.module.FS.stat('/work/user.dat').mode & 0o777, 0o644);
});

test('a port that cannot be opened is no device found', async () => {
  const web = await loadProgram(new PtyPort('/nonexistent/tty'));
  const got = await web.run('tarvo', ['-p', 'usb-03eb:6124', '-i'], 'usb-03eb:6124');
  assert.strictEqual(got.status, 1);
  assert.strictEqual(got.stderr, 'Try to open USB device ... No device found on usb-03eb:6124\n');
});
