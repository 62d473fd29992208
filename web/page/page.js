// The page: buttons, files in and out, progress and the log. Every command,
// check and message is the program's own (tarvo compiled to WebAssembly);
// this only runs it over the chosen Web Serial port and explains failures.
'use strict';

(function () {
  const $ = (id) => document.getElementById(id);
  const ACTIONS = ['save', 'restore', 'install', 'undo', 'backup', 'verify', 'restore-backup', 'check', 'power'];
  // The files of a backup folder, as tarvo-backup save writes them.
  const BACKUP_FILES = ['firmware.pkg', 'settings.dat', 'adapter.txt'];
  // Below it the bootloader, which nothing reads or writes.
  const FIRMWARE_BASE = 0x1000;
  const BROWSERS = 'Google Chrome, Microsoft Edge or Opera (version 89 or newer) on a computer, ' +
    'or a recent Firefox';

  let tarvo = null;        // the program, once loaded
  let link = null;         // the chosen port's link
  let portName = '';
  let adapter = null;      // the connected adapter: { serial, board, type, chip, ... }
  let connected = false;
  let busy = false;
  let current = null;      // the running program's output and progress watcher

  // --- Messages.

  function problem(text) {
    $('problem').textContent = text || '';
    $('problem').hidden = !text;
  }

  // A problem whose details are the tool's own lines: the log is opened.
  function problemInLog(text) {
    problem(text);
    $('more').open = true;
    $('log-box').open = true;
  }

  function state(text) {
    $('state').textContent = text;
  }

  // The program prints a character at a time; the log takes what came in one
  // piece every 50 ms (or when the kind of text changes, or a run ends), as
  // laying the pane out again per character would hold up every exchange.
  let logSpan = null;
  let logKind = '';
  let logPending = '';
  let logTimer = null;
  function log(text, kind) {
    if (kind !== logKind) flushLog();
    logKind = kind;
    logPending += text;
    if (!logTimer) logTimer = setTimeout(flushLog, 50);
  }

  function flushLog() {
    if (logTimer) clearTimeout(logTimer);
    logTimer = null;
    if (!logPending) return;
    const pane = $('log');
    if (!logSpan || logSpan.dataset.kind !== logKind) {
      logSpan = document.createElement('span');
      logSpan.dataset.kind = logKind;
      if (logKind !== 'out') logSpan.className = logKind;
      pane.appendChild(logSpan);
    }
    logSpan.appendChild(document.createTextNode(logPending));
    logPending = '';
    pane.scrollTop = pane.scrollHeight;
  }

  function output(kind) {
    return (c) => {
      const ch = String.fromCharCode(c);
      log(ch, kind);
      if (!current) return;
      current[kind] += ch;
    };
  }

  function refresh() {
    $('connect').disabled = busy || !tarvo;
    $('reconnect').disabled = busy || !tarvo;
    for (const id of ACTIONS) $(id).disabled = busy || !connected;
    $('confirm-update').disabled = busy || !connected;
    $('cancel-update').disabled = busy;
    for (const b of $('kept-list').querySelectorAll('button')) b.disabled = busy;
  }

  // --- Progress: a bar with the share done and an estimate of the time left.

  let ticker = null;
  function showProgress(progress) {
    const started = performance.now();
    $('progress').hidden = false;
    $('bar').value = 0;
    $('progress-text').textContent = '';
    ticker = setInterval(() => {
      const done = Math.max(0, Math.min(1, progress.share()));
      // A step with a bar of its own (a restore) is timed from its start.
      const from = progress.since || started;
      $('bar').value = Math.round(done * 100);
      let text = Math.floor(done * 100) + '%';
      if (done > 0.02 && done < 1) {
        const left = ((performance.now() - from) / 1000) * (1 - done) / done;
        text += left < 60 ? `, about ${Math.ceil(left)} s left` : `, about ${Math.ceil(left / 60)} min left`;
      }
      $('progress-text').textContent = text;
    }, 100);
  }

  function hideProgress() {
    clearInterval(ticker);
    ticker = null;
    $('progress').hidden = true;
  }

  // The bar follows the module's progress events: the share of the phase
  // done, the phase named as it runs.
  const PHASES = { backup: 'Backing up', write: 'Erasing and writing', check: 'Checking',
    restart: 'Restarting', restore: 'Putting the backup back', 'read-settings': 'Reading the settings',
    'write-settings': 'Writing the settings', firmware: 'Reading the firmware', settings: 'Reading the settings' };
  // weights, when given, puts phases in one bar: each phase's share of it
  // by its bytes; the restore has the bar to itself.
  function eventProgress(weights) {
    let share = 0;
    const sum = weights ? Object.values(weights).reduce((a, b) => a + b, 0) : 0;
    const progress = {
      since: 0,
      phase: '',
      event(e) {
        if (e.phase !== progress.phase) {
          progress.phase = e.phase;
          const joined = weights && e.phase in weights;
          if (!joined || !progress.since) progress.since = performance.now();
          $('progress-phase').textContent = PHASES[e.phase] || '';
          if (weights && PHASES[e.phase]) state(PHASES[e.phase] + ' ...');
        }
        const part = e.total ? e.done / e.total : 1;
        if (!weights || e.phase === 'restore') {
          share = part;
          return;
        }
        // A short step between the weighted phases holds the bar where it is.
        if (!(e.phase in weights)) return;
        let before = 0;
        for (const [phase, weight] of Object.entries(weights)) {
          if (phase === e.phase) break;
          before += weight;
        }
        share = (before + part * weights[e.phase]) / sum;
      },
      share: () => share,
    };
    return progress;
  }

  // --- Running the program.

  // One procedure of the module over the port; its events as they come, the
  // outcome ({ kind, text, ... }) last.
  async function procedure(command, file, arg, progress) {
    log(`\n# ${command}${file ? ' ' + file : ''}\n`, 'cmd');
    const result = { outcome: { kind: 'failed', text: '' }, adapter: null, packages: [], steps: [] };
    current = { out: '', err: '' };
    tarvo.onEvent = (e) => {
      if (e.event === 'progress') { if (progress) progress.event(e); }
      else if (e.event === 'outcome') result.outcome = e;
      else if (e.event === 'adapter') result.adapter = e;
      else if (e.event === 'package') result.packages.push(e);
      else if (e.event === 'step') { result.steps.push(e.step); if (progress && progress.step) progress.step(e.step); }
    };
    if (progress) showProgress(progress);
    try {
      result.status = await tarvo.ccall('tarvo_web_procedure', 'number', ['string', 'string', 'string', 'string'],
        [command, file || '', arg || '', portName], { async: true });
    } finally {
      tarvo.onEvent = null;
      hideProgress();
      flushLog();
    }
    result.out = current.out;
    current = null;
    return result;
  }

  // A program run as on a command line (the power cycle); its exit status.
  async function run(program, args) {
    log(`\n$ ${program} ${args.join(' ')}\n`, 'cmd');
    current = { out: '', err: '' };
    const status = await tarvo.ccall('tarvo_web_run', 'number', ['string', 'string', 'string'],
      [program, args.join('\n'), portName], { async: true });
    flushLog();
    current = null;
    return { status };
  }

  // Runs one action with the buttons off; a failure of the page itself is
  // shown rather than lost.
  // The control that started it keeps the keyboard's place, unless the
  // action gave it to the next step (focusNext).
  let focusNext = '';
  async function action(body) {
    if (busy) return;
    busy = true;
    const from = document.activeElement;
    focusNext = '';
    problem('');
    refresh();
    try {
      await body();
    } catch (e) {
      problem('The page failed: ' + ((e && e.message) || e) + '\nReload the page and try again.');
    } finally {
      busy = false;
      refresh();
      const usable = (e) => e && e.focus && !e.disabled && e.offsetParent !== null;
      const lost = !document.activeElement || document.activeElement === document.body;
      // A control gone with its step (the confirm after the update) hands on to the next one.
      const to = [focusNext && $(focusNext), from, $(connected ? 'install' : 'connect')].find(usable);
      if (to && (focusNext || lost)) to.focus();
    }
  }

  function portNameOf(port) {
    const info = (port.getInfo && port.getInfo()) || {};
    const hex = (n) => n.toString(16).padStart(4, '0');
    if (info.usbVendorId !== undefined)
      return `usb-${hex(info.usbVendorId)}:${hex(info.usbProductId || 0)}`;
    return 'serial-port';
  }

  function disconnected(message) {
    connected = false;
    cancelUpdate();
    $('undo').hidden = true;
    $('card').hidden = true;
    state('Not connected');
    if (message) problem(message);
  }

  // What a person can do about a failed run, by what the port and the
  // program saw. during names the action for the unplug message.
  function explainFailure(result, during) {
    const kind = result.outcome.kind;
    if (kind === 'not-supported') {
      disconnected('The device on this port is not a supported Didir Avediro adapter.');
      return;
    }
    if (link.gone || (link.failed && kind === 'adapter-failed')) {
      const what = {
        connect: 'The adapter stopped answering while connecting.',
        save: 'The adapter was unplugged or stopped answering while its settings were read. Nothing was saved.',
        restore: 'The adapter was unplugged or stopped answering while its settings were written: ' +
          'they may be incomplete now. Plug it in again, press Connect and restore the settings file again.',
        install: 'The adapter was unplugged or stopped answering during the firmware install. ' +
          'Its firmware may be incomplete now, so it may not work as a lens adapter until the install is done. ' +
          'Its bootloader is never erased: plug it in again, press Connect and install the firmware again.',
        power: 'The adapter was unplugged or stopped answering during the power cycle.',
        backup: 'The adapter was unplugged or stopped answering while it was read. No backup was saved; ' +
          'nothing on the adapter was changed.',
        verify: 'The adapter was unplugged or stopped answering while it was compared with the backup.',
        check: 'The adapter was unplugged or stopped answering during the check. Nothing on it was changed.',
        'restore-backup': 'The adapter was unplugged or stopped answering during the restore. ' +
          'It may hold no complete firmware or settings now. Its bootloader is never erased: plug it in again, ' +
          'press Connect and restore the backup again.',
      }[during];
      disconnected(what + (['connect', 'power', 'backup', 'verify', 'check'].includes(during)
        ? ' Check the cable, plug the adapter in again and press Connect.' : ''));
      return;
    }
    if (during === 'connect' || kind === 'no-adapter') {
      if (link.openError) {
        disconnected(`The port ${portName} could not be opened (${link.openError}).\n` +
          'Another program may be using it: close other updaters, terminal programs and other tabs ' +
          'with this page, then press Connect again. On Linux your user must also be in the ' +
          "'dialout' group (sudo usermod -aG dialout $USER, then log in again).");
      } else {
        disconnected(`No adapter answered on ${portName}.\n` +
          'Check that this is the adapter\'s port and that the adapter is connected, ' +
          'then press Connect and choose its port again.');
      }
      return;
    }
    problemInLog('The action failed: see the last lines of the log.');
  }

  // The adapter in words, the port as the browser names it.
  function showCard(a, port) {
    const hex = (n, w) => '0x' + n.toString(16).toUpperCase().padStart(w, '0');
    const rows = [['Type', a.type], ['Board version', hex(a.board, 4)], ['Serial number', a.serial],
      ['Firmware version', hex(a.firmware, 4)], ['Bootloader version', a.bootloader.trim()], ['Port', portLabel(port)]];
    const card = $('card');
    card.textContent = '';
    for (const [name, value] of rows) {
      const dt = document.createElement('dt');
      dt.textContent = name;
      const dd = document.createElement('dd');
      dd.textContent = value;
      card.append(dt, dd);
    }
    card.hidden = false;
  }

  // As the browser tells of the port: its USB vendor and product.
  function portLabel(port) {
    const info = (port.getInfo && port.getInfo()) || {};
    const hex = (n) => n.toString(16).padStart(4, '0');
    return info.usbVendorId !== undefined ? `USB device ${hex(info.usbVendorId)}:${hex(info.usbProductId || 0)}` : 'serial port';
  }

  function connectedState() {
    state(`Connected to adapter ${adapter.serial} on ${portName}`);
  }

  async function connect(port) {
    link = new SerialLink(port);
    tarvo.link = link;
    portName = portNameOf(port);
    if (port.addEventListener) {
      port.addEventListener('disconnect', () => {
        if (link && link.port === port) link.lost();
        if (!busy && link && link.port === port) disconnected('The adapter was unplugged. Plug it in again and press Connect.');
        refresh();
      });
    }
    state(`Connecting to ${portName} ...`);
    const result = await procedure('connect');
    if (result.outcome.kind === 'connected' && result.adapter) {
      connected = true;
      const a = result.adapter;
      adapter = { serial: a.serial, board: '0x' + a.board.toString(16).toUpperCase().padStart(4, '0'),
        type: a.type, typeCode: a.typeCode, flash: a.flash, boardCode: a.board, chip: a.chip,
        firmware: a.firmware };
      showCard(a, port);
      connectedState();
      await showKept();
    } else {
      explainFailure(result, 'connect');
    }
  }

  // --- Files in and out.

  // A picked file goes into the program's file system under its own name,
  // so the program's messages name it as the person knows it.
  async function putFile(file) {
    let name = file.name.replace(/[\/\n]/g, '_') || 'file';
    if (name.startsWith('-')) name = './' + name;
    tarvo.FS.writeFile(name, new Uint8Array(await file.arrayBuffer()));
    return name;
  }

  function removeFile(name) {
    try { tarvo.FS.unlink(name); } catch (e) { /* not there */ }
  }

  function download(bytes, name) {
    const url = URL.createObjectURL(new Blob([bytes], { type: 'application/octet-stream' }));
    const a = document.createElement('a');
    a.href = url;
    a.download = name;
    document.body.appendChild(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(url), 60000);
  }

  function removeTree(dir) {
    try {
      for (const name of tarvo.FS.readdir(dir)) if (name !== '.' && name !== '..') removeFile(`${dir}/${name}`);
      tarvo.FS.rmdir(dir);
    } catch (e) { /* not there */ }
  }

  function timeStamp() {
    const d = new Date();
    const two = (n) => String(n).padStart(2, '0');
    return `${d.getFullYear()}${two(d.getMonth() + 1)}${two(d.getDate())}-${two(d.getHours())}${two(d.getMinutes())}${two(d.getSeconds())}`;
  }

  // A new, empty folder for a backup, named for the adapter. Its serial
  // number is the adapter's to say: only a file name's safe characters stay.
  function backupFolder() {
    const serial = ((adapter && adapter.serial) || 'adapter')
      .replace(/[^A-Za-z0-9._-]/g, (c) => '%' + c.charCodeAt(0).toString(16).toUpperCase().padStart(2, '0'));
    const base = `tarvo-backup-${serial}-${timeStamp()}`;
    removeTree(base);
    tarvo.FS.mkdir(base);
    return base;
  }

  // Offers the folder as one zip (the folder inside, so unpacking it gives a
  // folder tarvo-backup takes) when it holds a whole backup, and removes it
  // unless kept. True when the download was offered.
  // The zip when it was, or null.
  function offerBackup(base, kept) {
    let files = null;
    try {
      files = BACKUP_FILES.map((name) => ({ name: `${base}/${name}`, bytes: tarvo.FS.readFile(`${base}/${name}`) }));
    } catch (e) {
      // No whole backup went in.
    }
    if (!kept) removeTree(base);
    if (!files) return null;
    const zip = Zip.make(files);
    download(zip, base + '.zip');
    return zip;
  }

  // Saves the adapter as tarvo-backup save does and offers the folder as one zip.
  async function takeBackup() {
    const base = backupFolder();
    const result = await procedure('save', base, '', eventProgress());
    if (result.outcome.kind !== 'done') {
      removeTree(base);
      if (!['refused', 'failed', 'stopped'].includes(result.outcome.kind) || link.gone) explainFailure(result, 'backup');
      else problemInLog('No backup was saved: the log says why. Nothing on the adapter was changed.');
      return false;
    }
    return !!offerBackup(base);
  }

  // Puts a picked backup (its zip, or its three files) into a new folder of
  // the program's file system; the folder's name, or '' (told) when the pick
  // holds none of the backup's files. The program checks the files.
  let picked = 0;
  async function putBackup(files) {
    let entries = [];
    for (const file of files) {
      const bytes = new Uint8Array(await file.arrayBuffer());
      if (Zip.isZip(bytes)) {
        try {
          entries = entries.concat(await Zip.read(bytes));
        } catch (e) {
          problem(`${file.name} cannot be read: ${e.message}.`);
          return '';
        }
      } else {
        entries.push({ name: file.name, bytes });
      }
    }
    const dir = putEntries(entries);
    if (!dir) problem('Choose the backup\'s zip file, or its three files ' + BACKUP_FILES.join(', ') +
      ' (all three at once).');
    return dir;
  }

  // The backup's files of entries in a new folder; its name, or '' when
  // there are none.
  function putEntries(entries) {
    const kept = entries.filter((e) => BACKUP_FILES.includes(e.name.replace(/.*\//, '')));
    if (!kept.length) return '';
    const dir = `backup-${++picked}`;
    removeTree(dir);
    tarvo.FS.mkdir(dir);
    for (const e of kept) tarvo.FS.writeFile(`${dir}/${e.name.replace(/.*\//, '')}`, e.bytes);
    return dir;
  }

  // --- Backups kept in the browser (IndexedDB), by the adapter's serial
  // number, board version and chip; each the zip the download offers.

  const Store = {
    db: undefined,  // undefined: not opened yet; null: the browser gives no lasting storage
    open() {
      if (this.db !== undefined) return Promise.resolve(this.db);
      return new Promise((resolve) => {
        const done = (db) => { this.db = db; resolve(db); };
        let request;
        try {
          request = indexedDB.open('tarvo-backups', 1);
        } catch (e) {
          return done(null);
        }
        request.onupgradeneeded = () => request.result.createObjectStore('backups', { keyPath: 'id', autoIncrement: true });
        request.onsuccess = () => done(request.result);
        request.onerror = () => done(null);
        request.onblocked = () => done(null);
      });
    },
    // body(store) inside one transaction; resolves to what it sets as result.
    async run(mode, body) {
      const db = await this.open();
      if (!db) return null;
      return new Promise((resolve, reject) => {
        const t = db.transaction('backups', mode);
        const out = { result: null };
        body(t.objectStore('backups'), out);
        t.oncomplete = () => resolve(out.result);
        t.onerror = t.onabort = () => reject(t.error || new Error('the browser refused to store the backup'));
      });
    },
    keep(backup) {
      return this.run('readwrite', (store, out) => {
        const put = store.add(backup);
        put.onsuccess = () => { out.result = put.result; };
      });
    },
    list() {
      return this.run('readonly', (store, out) => {
        const all = store.getAll();
        all.onsuccess = () => { out.result = all.result; };
      }).then((list) => list || []);
    },
    remove(id) {
      return this.run('readwrite', (store) => store.delete(id));
    },
  };

  const sameAdapter = (b) => adapter && b.serial === adapter.serial && b.board === adapter.boardCode &&
    b.chip === adapter.chip;

  // The newest kept backup of the connected adapter, or null.
  async function lastKept() {
    const mine = (await Store.list()).filter(sameAdapter);
    return mine.length ? mine[mine.length - 1] : null;
  }

  // The kept backups, newest first, each to download or delete; Undo when
  // one is of the connected adapter; the note when nothing can be kept.
  async function showKept() {
    const db = await Store.open();
    const note = $('storage-note');
    note.hidden = !!db;
    note.textContent = db ? '' : 'This browser gives the page no storage that lasts, so it keeps no backup ' +
      'for an Undo: keep the backup the update offers as a download. Restore backup (under More) puts it back.';
    const list = db ? await Store.list() : [];
    const ul = $('kept-list');
    ul.textContent = '';
    for (const b of list.slice().reverse()) {
      const li = document.createElement('li');
      const when = new Date(b.date).toLocaleString();
      const what = document.createElement('span');
      what.textContent = `${when}: adapter ${b.serial}, firmware ${hex4(b.firmware)}`;
      const get = document.createElement('button');
      get.textContent = 'Download';
      get.setAttribute('aria-label', `Download the backup of ${when}`);
      get.addEventListener('click', () => download(b.zip, b.name + '.zip'));
      const drop = document.createElement('button');
      drop.textContent = 'Delete';
      drop.setAttribute('aria-label', `Delete the backup of ${when}`);
      drop.addEventListener('click', () => action(async () => {
        await Store.remove(b.id);
        await showKept();
        state('The backup of ' + when + ' was deleted from this browser');
      }));
      li.append(what, get, drop);
      ul.appendChild(li);
    }
    $('kept').hidden = !list.length;
    $('undo').hidden = !(connected && list.some(sameAdapter));
    refresh();
  }

  const hex4 = (n) => '0x' + (n >>> 0).toString(16).toUpperCase().padStart(4, '0');

  // --- The actions.

  async function saveSettings() {
    const name = 'user.dat';
    removeFile(name);
    const result = await procedure('settings-save', name, '', eventProgress());
    if (result.outcome.kind !== 'done') return explainFailure(result, 'save');
    download(tarvo.FS.readFile(name), adapter && adapter.serial ? `settings-${adapter.serial}.dat` : name);
    removeFile(name);
    state('Settings saved');
  }

  async function restoreSettings(file) {
    const name = await putFile(file);
    const result = await procedure('settings-restore', name, '', eventProgress());
    removeFile(name);
    if (result.outcome.kind !== 'done') {
      if (result.outcome.kind === 'refused')
        return problemInLog(`${file.name} was not written: the log says why. The adapter's settings are as they were.`);
      return explainFailure(result, 'restore');
    }
    state('Settings restored and read back');
  }

  // A package refused before the erase, by the outcome's kind: true when it was one.
  function refusedPackage(kind, file) {
    if (kind === 'none-fits') {
      problem(`No package in ${file.name} fits this adapter (board version ${adapter.board}, type ${adapter.type}). Nothing was erased.`);
      return true;
    }
    if (kind === 'unknown-type') {
      problem(`This adapter's type letter (${adapter.type}) is not a known one, so no firmware is installed on it. Nothing was erased.`);
      return true;
    }
    if (kind === 'image-incomplete') {
      problem(`The package in ${file.name} is cut short: its setting image is incomplete. Nothing was erased.`);
      return true;
    }
    return false;
  }

  // Why no package of the file fits, in plain words, from the module's
  // package events.
  function whyNoneFits(listing, file) {
    const here = `this adapter (board version ${adapter.board}, type ${adapter.type})`;
    if (!listing.packages.length) {
      return `${file.name} holds no firmware for ${here}: it is not a maker's firmware file, or it is damaged` +
        (listing.outcome.text ? ` (${listing.outcome.text})` : '') + '. Nothing was read or erased.';
    }
    const boards = (p) => p.boards.split(',').filter((b) => b).map((b) => hex4(Number(b))).join(', ');
    const why = listing.packages.map((p) => !p.typeFits ? `one for adapters of type ${p.type}` :
      !p.boardFits ? `one for board versions ${boards(p)}` : 'one for a chip with another flash size');
    return `No package in ${file.name} fits ${here}: it holds ${why.join(', ')}. ` +
      'Nothing was read or erased: choose the maker\'s firmware file for this adapter.';
  }

  // The update's file, looked at, waiting for its one confirm.
  let pending = null;

  function cancelUpdate() {
    if (pending && tarvo) removeFile(pending.name);
    pending = null;
    $('confirm').hidden = true;
  }

  // What the file holds for this adapter, said before anything is read or erased.
  async function prepareUpdate(file) {
    cancelUpdate();
    const name = await putFile(file);
    // The listing for the log; what the page says comes from the package events.
    await run('tarvo-pack info', [name]);
    const listing = await procedure('packages', name, `${adapter.boardCode},${adapter.typeCode},${adapter.flash}`);
    const taken = listing.packages.find((p) => p.taken);
    if (listing.outcome.kind !== 'fits' || !taken) {
      removeFile(name);
      if (listing.outcome.kind === 'cannot-open') problem(`${file.name} cannot be read. Nothing was read or erased.`);
      else problem(whyNoneFits(listing, file));
      return;
    }
    pending = { file, name, taken };
    const lasting = !!(await Store.open());
    $('confirm-text').textContent = `${file.name} holds firmware ${hex4(taken.version)} for this adapter ` +
      `(it runs ${hex4(adapter.firmware)} now). ` +
      (taken.handling === 0 ? 'The update keeps the adapter\'s settings. '
        : 'The update replaces the adapter\'s settings with the maker\'s. ') +
      'The adapter is backed up first; the backup is offered as a download' +
      (lasting ? ' and kept in this browser, so the update can be undone.'
        : '. This browser keeps no backups for the page: keep the download, it is the way back.');
    $('confirm').hidden = false;
    state('Ready to update: press Update now, or Cancel');
    focusNext = 'confirm-update';
  }

  const KEEP_WAIT_MS = 10000;

  // One run over one connection: the backup, the install, its verification
  // and, when it fails, the backup put back before the one restart (a real
  // boot monitor may answer nothing after it).
  async function installFirmware() {
    const { file, name, taken } = pending;
    pending = null;
    $('confirm').hidden = true;
    const base = backupFolder();
    // One bar through the phases, each its share by its bytes.
    const area = adapter.flash - FIRMWARE_BASE;
    const progress = eventProgress({ backup: area, write: taken.total, check: area / 20, restart: area / 100 });
    const record = { serial: adapter.serial, board: adapter.boardCode, chip: adapter.chip, type: adapter.type,
      firmware: adapter.firmware, date: new Date().toISOString(), name: base };
    // The backup goes to the person and into the browser's storage before
    // anything is erased; the restore reads it from the folder still.
    let zipped = false;
    let keeping = null;
    progress.step = (step) => {
      if (step !== 'install') return;
      const zip = offerBackup(base, true);
      zipped = !!zip;
      if (zip && Store.db) keeping = Store.keep({ ...record, zip }).then(() => true, () => false);
      // Kept before anything is erased: the install waits for it, though not
      // for a storage that never answers (the download is the way back then).
      if (keeping) tarvo.settle = Promise.race([keeping, new Promise((r) => setTimeout(r, KEEP_WAIT_MS))]);
    };
    const result = await procedure('install', name, base, progress);
    removeFile(name);
    removeTree(base);
    const kept = keeping ? await keeping : false;
    await showKept();
    const kind = result.outcome.kind;
    const changes = !!result.outcome.monitorChanges;
    const lost = link.gone || !!result.outcome.lost;
    const backupNote = !zipped ? '' : ' The backup taken before the install was offered as a download' +
      (kept ? ' and is kept in this browser: Undo the last update puts it back.'
        : ': Restore backup (under More) puts it back.');
    switch (kind) {
      case 'none-fits': case 'unknown-type': case 'image-incomplete': case 'cannot-open':
        if (!refusedPackage(kind, file)) problemInLog('The package was refused: the log says why. Nothing was erased.');
        return;
      case 'no-adapter': case 'not-supported': case 'backup-failed':
        if (lost || kind !== 'backup-failed') {
          explainFailure(result, 'backup');
          if (!$('problem').hidden) $('problem').textContent += ' No firmware was installed.';
        } else {
          problemInLog('No backup could be saved, so nothing was installed: the log says why. Nothing was erased.');
          connectedState();
        }
        return;
      case 'installed':
        disconnected();
        state('Firmware installed and verified; the adapter has restarted. Press Connect to work with it again.' +
          (kept && !changes ? ' Undo the last update puts the firmware it had back.' : '') +
          (changes ? ' Its boot monitor changes the firmware it receives, so no backup can put its firmware ' +
            'back: keep the maker\'s package for it.' : ''));
        return;
      case 'restored':
        disconnected('The new firmware did not verify, so the adapter was put back as it was before the install ' +
          '(from the backup taken first, read back and verified) and has restarted. ' +
          'Press Connect to work with it again.' + (zipped ? ' The backup was offered as a download too.' : ''));
        state('Install failed; the adapter was put back as it was');
        return;
      case 'not-restored':
        // Still in its boot monitor, which the next install reaches.
        problem('The new firmware did not verify. This adapter\'s boot monitor changes the firmware it receives, ' +
          'so its firmware cannot be put back from a backup: install the maker\'s package for it again. ' +
          'It stays in its boot monitor until then; its bootloader is untouched.');
        state('Install failed; the adapter holds no working firmware');
        return;
      case 'restore-failed':
        disconnected((lost ? 'The adapter was unplugged or stopped answering during the firmware install, ' +
          'and the backup could not be put back. ' : 'The new firmware did not verify, and putting the backup ' +
          'back failed too: the log says why. ') +
          'Its firmware may be incomplete now, so it may not work as a lens adapter. ' +
          'Its bootloader is never erased: plug it in again, press Connect and install the firmware again.' + backupNote);
        return;
      case 'not-restarted':
        disconnected('The firmware was installed and verified, but the adapter stopped answering before its ' +
          'restart: unplug it, plug it in again and press Connect.' + backupNote);
        return;
      default:
        // Stopped, or failed in a way the install could not tell apart.
        if (lost) explainFailure(result, 'install');
        else {
          disconnected();
          problemInLog('The install failed part way: the log says why. The adapter may hold no complete ' +
            'firmware now. Its bootloader is never erased: press Connect and install the firmware again.');
        }
        if (backupNote) $('problem').textContent += backupNote;
    }
  }

  async function backUp() {
    if (await takeBackup()) state('Backup saved (firmware, settings and record, in one zip file)');
  }

  async function verifyBackup(files) {
    const single = files.length === 1 && !Zip.isZip(new Uint8Array(await files[0].slice(0, 4).arrayBuffer()));
    // One file that is no zip is a package: does the adapter hold it?
    const target = single ? await putFile(files[0]) : await putBackup(files);
    if (!target) return;
    const result = await procedure('verify', target, '', eventProgress());
    if (single) removeFile(target);
    else removeTree(target);
    // Each region's finding, in the tool's words.
    const o = result.outcome;
    const verdicts = [o.firmware && `firmware: ${o.firmware}`,
      o.settings && (o.settings === 'matches' ? 'settings: matches' : `settings: differ in ${o.settingsDiffer} bytes`)]
      .filter(Boolean).join(', ');
    if (result.outcome.kind === 'done') return state(single ? `The adapter holds the firmware of ${files[0].name}` : `The adapter matches the backup (${verdicts})`);
    if (result.outcome.kind === 'differs') return state(single ? `The adapter does not hold the firmware of ${files[0].name}` : `The adapter differs from the backup (${verdicts})`);
    if (result.outcome.kind === 'refused') return problemInLog('The adapter could not be compared: the log says why.');
    return explainFailure(result, 'verify');
  }

  async function restoreBackup(files) {
    const dir = await putBackup(files);
    if (dir) await restoreFrom(dir, 'Backup restored and verified');
  }

  // Puts the backup in the folder dir back; done is what a success is called.
  async function restoreFrom(dir, done) {
    const result = await procedure('restore', dir, '', eventProgress());
    removeTree(dir);
    const restarted = !!result.outcome.restarted;
    if (result.outcome.kind === 'done') {
      if (restarted) disconnected();
      return state(done + (restarted ? '; the adapter has restarted. Press Connect to work with it again.' : ''));
    }
    if (result.outcome.kind === 'refused')
      return problemInLog('The backup was not restored: the log says why. Nothing on the adapter was changed.');
    if (result.outcome.kind === 'failed' && !link.gone) {
      disconnected();
      problemInLog('The restore failed after the adapter was erased: the log says what it holds now. ' +
        'Its bootloader is never erased: press Connect and restore the backup again.');
      return;
    }
    return explainFailure(result, 'restore-backup');
  }

  // The newest backup the browser keeps of this adapter, put back without a file.
  async function undoUpdate() {
    const kept = await lastKept();
    if (!kept) return problem('This browser keeps no backup of this adapter, so there is nothing to undo.');
    const when = new Date(kept.date).toLocaleString();
    let dir = '';
    try {
      dir = putEntries(await Zip.read(kept.zip));
    } catch (e) {
      // Told below.
    }
    if (!dir) {
      return problem(`The backup of ${when} kept in this browser cannot be read. Nothing on the adapter was changed. ` +
        'Restore backup (under More) puts back the backup the update offered as a download.');
    }
    state(`Putting back the backup of ${when} ...`);
    await restoreFrom(dir, `Update undone: the adapter holds the backup of ${when} again, verified`);
  }

  // Whether this adapter's backups can come back, read-only, with the maker's
  // package of the firmware it runs; the findings to share as a report.
  let checkReport = '';
  async function checkBackups(file) {
    const name = await putFile(file);
    $('check-result').hidden = true;
    const result = await procedure('check', name, '', eventProgress());
    removeFile(name);
    const said = {
      restores: 'This adapter\'s boot monitor stores firmware exactly as it is sent: its backups can be put back.',
      changes: 'This adapter\'s boot monitor changes the firmware it is sent: a backup of it can put the settings ' +
        'back but not the firmware. Keep the maker\'s package for it.',
      'other-package': `${file.name} is not the firmware this adapter runs, so the check could not tell. ` +
        'Choose the maker\'s package of the firmware version on the card.',
      unknown: 'The check could not tell whether this adapter\'s backups can be put back: the log says why.',
    }[result.outcome.kind];
    if (!said) return explainFailure(result, 'check');
    state(said + ' Nothing on the adapter was changed.');
    $('check-answer').textContent = result.outcome.text;
    checkReport = result.outcome.report || '';
    $('check-report').hidden = !checkReport;
    $('check-result').hidden = false;
  }

  async function powerCycle() {
    const result = await run('tarvo', ['-p', portName, '-R']);
    if (result.status !== 0) return explainFailure({ outcome: { kind: link.failed ? 'adapter-failed' : 'no-adapter' } }, 'power');
    disconnected();
    state('The adapter is restarting. Press Connect to work with it again.');
  }

  // --- Start.

  function wire() {
    $('connect').addEventListener('click', () => action(async () => {
      let port;
      try {
        // Asked on the click itself: the browser shows its chooser only then.
        port = await navigator.serial.requestPort();
      } catch (e) {
        problem('No port was chosen. Press Connect and choose the adapter\'s port in the list ' +
          '(on Windows a COM port, on macOS a cu.usbmodem port, on Linux ttyACM).');
        return;
      }
      await connect(port);
    }));
    $('reconnect').addEventListener('click', () => action(async () => connect(previous)));
    $('save').addEventListener('click', () => action(saveSettings));
    $('backup').addEventListener('click', () => action(backUp));
    $('power').addEventListener('click', () => action(powerCycle));
    $('undo').addEventListener('click', () => action(undoUpdate));
    $('confirm-update').addEventListener('click', () => { if (pending) action(installFirmware); });
    $('cancel-update').addEventListener('click', () => {
      cancelUpdate();
      state('The update was cancelled; nothing was changed');
      $('install').focus();
    });
    $('check-report').addEventListener('click', () =>
      download(new TextEncoder().encode(checkReport), 'tarvo-check-report.txt'));
    // The maker's file dropped anywhere on the update's box.
    const box = $('update');
    box.addEventListener('dragover', (e) => {
      e.preventDefault();
      box.classList.add('dragging');
    });
    box.addEventListener('dragleave', () => box.classList.remove('dragging'));
    box.addEventListener('drop', (e) => {
      e.preventDefault();
      box.classList.remove('dragging');
      const file = e.dataTransfer && e.dataTransfer.files[0];
      if (!file) return;
      if (!connected || busy) return problem('Connect the adapter first, then drop the firmware file again.');
      action(() => prepareUpdate(file));
    });
    for (const [button, input, body] of [['restore', 'restore-file', restoreSettings],
      ['install', 'install-file', prepareUpdate], ['verify', 'verify-file', verifyBackup],
      ['restore-backup', 'restore-backup-file', restoreBackup], ['check', 'check-file', checkBackups]]) {
      $(button).addEventListener('click', (e) => {
        e.preventDefault();
        $(input).value = '';
        $(input).click();
      });
      $(input).addEventListener('change', () => {
        const files = [...$(input).files];
        if (files.length) action(() => body($(input).multiple ? files : files[0]));
      });
    }
  }

  let previous = null;

  async function unpackProgram(base64) {
    if (typeof DecompressionStream === 'undefined')
      throw new Error(`this browser is too old to unpack it. Open the page in ${BROWSERS}`);
    const packed = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
    const stream = new Blob([packed]).stream().pipeThrough(new DecompressionStream('gzip'));
    return new Uint8Array(await new Response(stream).arrayBuffer());
  }

  async function start() {
    wire();
    refresh();
    if (!window.isSecureContext) {
      problem('The browser offers serial ports only to secure pages. Open this page from an https:// ' +
        'address, or save it and open the file on this computer.');
      return;
    }
    if (!navigator.serial) {
      problem(`This browser has no Web Serial, which the page needs to reach the adapter. Open it in ${BROWSERS}.`);
      return;
    }
    try {
      const options = { stdout: output('out'), stderr: output('err') };
      // The one-file page carries the program inside; hosted, it is fetched.
      if (typeof TARVO_WASM_GZIP !== 'undefined') options.wasmBinary = await unpackProgram(TARVO_WASM_GZIP);
      tarvo = await createTarvo(options);
    } catch (e) {
      problem('The page could not start its program: ' + ((e && e.message) || e));
      return;
    }
    tarvo.FS.mkdir('/work');
    tarvo.FS.chdir('/work');
    await showKept();
    try {
      const ports = await navigator.serial.getPorts();
      if (ports.length) {
        previous = ports[0];
        $('reconnect').textContent = 'Connect to the adapter used last time';
        $('reconnect').title = portLabel(previous);
        $('reconnect').hidden = false;
      }
    } catch (e) {
      // No port granted before; the chooser is still there.
    }
    refresh();
  }

  start();
})();
