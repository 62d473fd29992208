// Node-side helpers for the web tests: tarvo-sim on a pseudo-terminal, the
// native programs, and the WebAssembly build run under node.
'use strict';

const { spawn, spawnSync } = require('child_process');
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const readline = require('readline');

const ROOT = path.resolve(__dirname, '..', '..');
const NATIVE = process.env.TARVO_NATIVE_DIR || path.join(ROOT, 'build', 'release');
const WEB = process.env.TARVO_WEB_DIR || path.join(ROOT, 'build', 'web');

// Starts tarvo-sim with the options; resolves to { path, proc, stop() }.
function startSim(options = []) {
  return new Promise((resolve, reject) => {
    const proc = spawn(path.join(NATIVE, 'tarvo-sim'), options, { stdio: ['ignore', 'pipe', 'inherit'] });
    const lines = readline.createInterface({ input: proc.stdout });
    proc.on('error', reject);
    proc.on('exit', (code) => reject(new Error(`tarvo-sim exited with ${code}`)));
    lines.once('line', (line) => {
      resolve({
        path: line.trim(),
        proc,
        stop() {
          if (proc.exitCode === null && proc.signalCode === null) proc.kill('SIGTERM');
          return new Promise((done) => (proc.exitCode !== null || proc.signalCode !== null ? done() : proc.once('exit', done)));
        },
      });
    });
  });
}

// Runs a native program; { status, stdout, stderr }.
function runNative(program, args, options = {}) {
  const result = spawnSync(path.join(NATIVE, program), args, { encoding: 'latin1', ...options });
  return { status: result.status, stdout: result.stdout, stderr: result.stderr };
}

// The lines that say how long something took differ from run to run.
function withoutTimes(text) {
  return text.replace(/done in +[0-9.]+ seconds/g, 'done in N seconds');
}

// A package file in dir for board hw on the 256 KB chip, over a random
// payload of payloadSize bytes (or over those bytes); { pkg, payload }.
function makePackage(dir, name, hw, payloadSize, options = []) {
  const payload = path.join(dir, name + '.bin');
  fs.writeFileSync(payload, Buffer.isBuffer(payloadSize) ? payloadSize : crypto.randomBytes(payloadSize));
  const pkg = path.join(dir, name);
  const made = runNative('tarvo-pack', ['create', '--type=E', `--hw=${hw}`, '--fit=256k', ...options, payload, pkg]);
  if (made.status !== 0) throw new Error(`tarvo-pack create failed: ${made.stderr}`);
  return { pkg, payload: fs.readFileSync(payload) };
}

module.exports = { ROOT, NATIVE, WEB, startSim, runNative, withoutTimes, makePackage };
