// Driving the page in a headless browser, for the browser tests and the
// bench: the two browsers, the hosted files served as a web server would,
// and the page's buttons, file pickers, log and downloads.
'use strict';

const fs = require('fs');
const http = require('http');
const path = require('path');

const { standIn } = require('./standin.js');
const { WEB } = require('./harness.js');

const CHROMIUM_ARGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

// Chromium opens the one file from file://, Firefox ESR the hosted files.
const BROWSERS = [
  {
    name: 'Chromium',
    launch: { executablePath: process.env.TARVO_CHROMIUM || '/usr/bin/chromium', headless: true, args: CHROMIUM_ARGS },
    url: () => 'file://' + path.join(WEB, 'tarvo-web.html'),
  },
  {
    name: 'Firefox ESR',
    launch: {
      browser: 'firefox', executablePath: process.env.TARVO_FIREFOX || '/usr/bin/firefox-esr', headless: true,
      // A driven page is a debuggee, and Firefox then records the script's
      // stack at every promise, timer and microtask, which it does not for
      // a person's page.
      extraPrefsFirefox: { 'javascript.options.asyncstack': false },
    },
    url: (site) => site + '/index.html',
  },
];

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

// As a person does: a control under a closed "More" is opened to first.
async function click(page, id) {
  await page.evaluate((id) => {
    for (let d = document.getElementById(id).closest('details'); d; d = d.parentElement.closest('details')) d.open = true;
  }, id);
  await page.click('#' + id);
  await idle(page);
}

// The file dropped on the update's box, as a person drags it from a folder.
async function drop(page, file) {
  const bytes = fs.readFileSync(file).toString('base64');
  await page.evaluate((name, bytes) => {
    const data = new DataTransfer();
    data.items.add(new File([Uint8Array.from(atob(bytes), (c) => c.charCodeAt(0))], name));
    const box = document.getElementById('update');
    for (const type of ['dragover', 'drop'])
      box.dispatchEvent(new DragEvent(type, { dataTransfer: data, bubbles: true, cancelable: true }));
  }, path.basename(file), bytes);
  await idle(page);
}

// The guided update of a picked file: the file, then its one confirm.
async function update(page, file) {
  await choose(page, 'install-file', file);
  if (await page.evaluate(() => !document.getElementById('confirm').hidden)) await click(page, 'confirm-update');
}

// files: one path, or several for a picker that takes several.
async function choose(page, input, files) {
  const handle = await page.$('#' + input);
  // As the page's button does before it opens the chooser: a pick of files
  // named as the last ones is still a new pick.
  await handle.evaluate((e) => { e.value = ''; });
  await handle.uploadFile(...[].concat(files));
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

module.exports = { BROWSERS, serveSite, openPage, idle, click, drop, update, choose, lastRun, shown, downloads };
