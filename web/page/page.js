// The page: buttons, files in and out, progress and the log. Every command,
// check and message is the program's own (tarvo compiled to WebAssembly);
// this only runs it over the chosen Web Serial port and explains failures.
'use strict';

(function () {
  const $ = (id) => document.getElementById(id);
  const ACTIONS = ['save', 'restore', 'install', 'backup', 'verify', 'restore-backup', 'power'];
  // The files of a backup folder, as tarvo-backup save writes them.
  const BACKUP_FILES = ['firmware.pkg', 'settings.dat', 'adapter.txt'];
  const BROWSERS = 'Google Chrome, Microsoft Edge or Opera (version 89 or newer) on a computer, ' +
    'or a recent Firefox';

  let tarvo = null;        // the program, once loaded
  let link = null;         // the chosen port's link
  let portName = '';
  let adapter = null;      // what the last report said: { serial, board, type }
  let connected = false;
  let busy = false;
  let current = null;      // the running program's output and progress watcher

  // --- Messages.

  function problem(text) {
    $('problem').textContent = text || '';
    $('problem').hidden = !text;
  }

  function state(text) {
    $('state').textContent = text;
  }

  let logSpan = null;
  let logKind = '';
  let logScroll = null;
  function log(text, kind) {
    const pane = $('log');
    if (!logSpan || logKind !== kind) {
      logSpan = document.createElement('span');
      if (kind !== 'out') logSpan.className = kind;
      logKind = kind;
      pane.appendChild(logSpan);
    }
    logSpan.textContent += text;
    // Scrolling lays the pane out again: every 50 ms is enough, not every character.
    if (!logScroll) {
      logScroll = setTimeout(() => {
        logScroll = null;
        pane.scrollTop = pane.scrollHeight;
      }, 50);
    }
  }

  function output(kind) {
    return (c) => {
      const ch = String.fromCharCode(c);
      log(ch, kind);
      if (!current) return;
      current[kind] += ch;
      if (kind === 'out' && current.progress && current.progress.char) current.progress.char(ch);
    };
  }

  function refresh() {
    $('connect').disabled = busy || !tarvo;
    $('reconnect').disabled = busy || !tarvo;
    for (const id of ACTIONS) $(id).disabled = busy || !connected;
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

  // Shares of work told by the program's own progress output and the bytes
  // that came back over the port.
  function marker(text, onSeen) {
    let tail = '';
    return (ch) => {
      if (tail === null) return false;
      tail = (tail + ch).slice(-text.length);
      if (tail !== text) return false;
      tail = null;
      onSeen();
      return true;
    };
  }

  function saveProgress() {
    let base = -1;
    const seen = marker('Downloading Lens Setting ... ', () => { base = link.received; });
    return {
      char: seen,
      share: () => (base < 0 ? 0 : (link.received - base) / 4096),
    };
  }

  function restoreProgress() {
    let dots = 0, writing = false, base = -1;
    const start = marker('Updating adapter setting, please wait ... ', () => { writing = true; });
    const readBack = marker('Checksum of adapter setting', () => { writing = false; base = link.received; });
    return {
      char(ch) {
        if (start(ch)) return;
        if (writing && ch === '.') dots++;
        readBack(ch);
      },
      share: () => (base < 0 ? dots / 64 / 2 : 0.5 + (link.received - base) / 4096 / 2),
    };
  }

  function installProgress() {
    let blocks = 0, dots = 0, writing = false;
    const start = marker('Updating firmware, please wait ', () => {
      writing = true;
      blocks = Math.ceil(tarvo._tarvo_web_region_size() / 64);
    });
    return {
      char(ch) {
        if (start(ch)) return;
        if (!writing) return;
        if (ch === '.') dots++;
        else if (ch === '\n') writing = false;
      },
      share: () => (blocks ? (writing ? (dots * 16) / blocks : 1) : 0),
    };
  }

  // As far as the program says it has come (a backup's reading, an install).
  function readProgress() {
    let share = 0;
    const progress = {
      since: 0,
      set(s, fresh) {
        if (fresh) progress.since = performance.now();
        share = s;
      },
      share: () => share,
    };
    return progress;
  }

  // A restore writes the settings as -u does (a few seconds), then the
  // firmware as -f does.
  function restoreBackupProgress() {
    const settings = restoreProgress();
    const firmware = installProgress();
    return {
      char(ch) { settings.char(ch); firmware.char(ch); },
      share: () => Math.min(1, settings.share()) * 0.1 + firmware.share() * 0.9,
    };
  }

  // --- Running the program.

  // 'install' takes [package, backup folder].
  async function run(program, args, progress) {
    const install = program === 'install';
    log(install ? `\n$ install ${args[0]}, backed up into ${args[1]} first\n` : `\n$ ${program} ${args.join(' ')}\n`, 'cmd');
    current = { out: '', err: '', progress };
    if (progress) showProgress(progress);
    let status;
    try {
      if (program === 'tarvo-backup' || install) {
        tarvo.onProgress = (share, fresh) => { if (progress && progress.set) progress.set(share, fresh); };
        tarvo.onStep = (step) => {
          state(['Backing up the adapter before the install ...', 'Installing the firmware ...',
            'Putting the backup back ...'][step] || '');
          if (progress && progress.step) progress.step(step);
        };
        status = await tarvo.ccall('tarvo_web_backup', 'number', ['string', 'string', 'string', 'string'],
          install ? ['install', args[1], portName, args[0]] : [args[2], args[3], portName, ''], { async: true });
      } else {
        status = await tarvo.ccall('tarvo_web_run', 'number', ['string', 'string', 'string'],
          [program, args.join('\n'), portName], { async: true });
      }
    } finally {
      tarvo.onProgress = null;
      tarvo.onStep = null;
      hideProgress();
    }
    const result = { status, out: current.out, err: current.err };
    current = null;
    return result;
  }

  // Runs one action with the buttons off; a failure of the page itself is
  // shown rather than lost.
  async function action(body) {
    if (busy) return;
    busy = true;
    problem('');
    refresh();
    try {
      await body();
    } catch (e) {
      problem('The page failed: ' + ((e && e.message) || e) + '\nReload the page and try again.');
    } finally {
      busy = false;
      refresh();
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
    state('Not connected');
    if (message) problem(message);
  }

  // What a person can do about a failed run, by what the port and the
  // program saw. during names the action for the unplug message.
  function explainFailure(result, during) {
    if (/is not supported/.test(result.err)) {
      disconnected('The device on this port is not a supported Didir Avediro adapter.');
      return;
    }
    if (link.gone || (link.failed && /SAM-BA operation failed/.test(result.err))) {
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
        'restore-backup': 'The adapter was unplugged or stopped answering during the restore. ' +
          'It may hold no complete firmware or settings now. Its bootloader is never erased: plug it in again, ' +
          'press Connect and restore the backup again.',
      }[during];
      disconnected(what + (['connect', 'power', 'backup', 'verify'].includes(during)
        ? ' Check the cable, plug the adapter in again and press Connect.' : ''));
      return;
    }
    if (during === 'connect' || /No device found on|Auto scan for device failed/.test(result.err)) {
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
    problem('The action failed: see the last lines of the log.');
  }

  function readReport(text) {
    const id = /Adapter SN: (\S+) , PCB Ver: (0x[0-9A-Fa-f]+)/.exec(text);
    const type = /Type=(\S)/.exec(text);
    return { serial: id ? id[1] : '', board: id ? id[2] : '?', type: type ? type[1] : '?' };
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
    const result = await run('tarvo', ['-p', portName, '-i']);
    if (result.status === 0) {
      connected = true;
      adapter = readReport(result.out);
      connectedState();
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
  function offerBackup(base, kept) {
    let files = null;
    try {
      files = BACKUP_FILES.map((name) => ({ name: `${base}/${name}`, bytes: tarvo.FS.readFile(`${base}/${name}`) }));
    } catch (e) {
      // No whole backup went in.
    }
    if (!kept) removeTree(base);
    if (files) download(Zip.make(files), base + '.zip');
    return !!files;
  }

  // Saves the adapter as tarvo-backup save does and offers the folder as one zip.
  async function takeBackup() {
    const base = backupFolder();
    const result = await run('tarvo-backup', ['-p', portName, 'save', base], readProgress());
    if (result.status !== 0) {
      removeTree(base);
      if (result.status === 1) explainFailure(result, 'backup');
      else problem('No backup was saved: the log says why. Nothing on the adapter was changed.');
      return false;
    }
    return offerBackup(base);
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
    const kept = entries.filter((e) => BACKUP_FILES.includes(e.name.replace(/.*\//, '')));
    if (!kept.length) {
      problem('Choose the backup\'s zip file, or its three files ' + BACKUP_FILES.join(', ') +
        ' (all three at once).');
      return '';
    }
    const dir = `backup-${++picked}`;
    removeTree(dir);
    tarvo.FS.mkdir(dir);
    for (const e of kept) tarvo.FS.writeFile(`${dir}/${e.name.replace(/.*\//, '')}`, e.bytes);
    return dir;
  }

  // --- The actions.

  async function saveSettings() {
    const name = 'user.dat';
    removeFile(name);
    const result = await run('tarvo', ['-p', portName, '-s', name], saveProgress());
    if (result.status !== 0) return explainFailure(result, 'save');
    download(tarvo.FS.readFile(name), adapter && adapter.serial ? `settings-${adapter.serial}.dat` : name);
    removeFile(name);
    state('Settings saved');
  }

  async function restoreSettings(file) {
    const name = await putFile(file);
    const result = await run('tarvo', ['-p', portName, '-u', name], restoreProgress());
    removeFile(name);
    if (result.status !== 0) {
      if (/, abort\n/.test(result.out) && !link.failed)
        return problem(`${file.name} was not written: the log says why. The adapter's settings are as they were.`);
      return explainFailure(result, 'restore');
    }
    state('Settings restored and read back');
  }

  // A package tarvo -f refused before the erase, by its line: true when it was one.
  function refusedPackage(out, file) {
    if (/No valid firmware found in/.test(out)) {
      problem(`No package in ${file.name} fits this adapter (board version ${adapter.board}, type ${adapter.type}), ` +
        'or the file is not a valid package file: the listing in the log shows which boards, type and ' +
        'chip each package is for. Nothing was erased.');
      return true;
    }
    if (/Not Corvane adapters, unable to update/.test(out)) {
      problem(`This adapter's type letter (${adapter.type}) is not a known one, so no firmware is installed on it. Nothing was erased.`);
      return true;
    }
    if (/Setting image of the firmware package in .* is incomplete/.test(out)) {
      problem(`The package in ${file.name} is cut short: its setting image is incomplete. Nothing was erased.`);
      return true;
    }
    return false;
  }

  // How the page's install ended (WebInstallStatus).
  const INSTALL = { INSTALLED: 0, NO_ADAPTER: 1, FAILED: 4, UNFIT: 5, BACKUP_FAILED: 6, RESTORED: 7,
    RESTORE_FAILED: 8, NOT_RESTORED: 9, STOPPED: 10, NOT_RESTARTED: 11 };

  // One run over one connection: the backup, the install, its verification
  // and, when it fails, the backup put back before the one restart (a real
  // boot monitor may answer nothing after it).
  async function installFirmware(file) {
    const name = await putFile(file);
    // The package listing, as tarvo-pack info shows it.
    await run('tarvo-pack info', [name]);
    const base = backupFolder();
    const progress = readProgress();
    // The backup goes to the person before anything is erased; the restore
    // reads it from the folder still.
    let zipped = false;
    progress.step = (step) => { if (step === 1) zipped = offerBackup(base, true); };
    const result = await run('install', [name, base], progress);
    removeFile(name);
    removeTree(base);
    const changes = tarvo._tarvo_web_monitor_changes() !== 0;
    const lost = link.gone || tarvo._tarvo_web_connection_lost() !== 0;
    const backupNote = zipped ? ' The backup taken before the install was offered as a download: ' +
      'Restore backup puts it back.' : '';
    switch (result.status) {
      case INSTALL.UNFIT:
        if (!refusedPackage(result.out, file)) problem('The package was refused: the log says why. Nothing was erased.');
        return;
      case INSTALL.NO_ADAPTER:
      case INSTALL.BACKUP_FAILED:
        if (lost || result.status === INSTALL.NO_ADAPTER) {
          explainFailure(result, 'backup');
          if (!$('problem').hidden) $('problem').textContent += ' No firmware was installed.';
        } else {
          problem('No backup could be saved, so nothing was installed: the log says why. Nothing was erased.');
          connectedState();
        }
        return;
      case INSTALL.INSTALLED:
        disconnected();
        state('Firmware installed and verified; the adapter has restarted. Press Connect to work with it again.' +
          (changes ? ' Its boot monitor changes the firmware it receives, so no backup can put its firmware ' +
            'back: keep the maker\'s package for it.' : ''));
        return;
      case INSTALL.RESTORED:
        disconnected('The new firmware did not verify, so the adapter was put back as it was before the install ' +
          '(from the backup taken first, read back and verified) and has restarted. ' +
          'Press Connect to work with it again.' + (zipped ? ' The backup was offered as a download too.' : ''));
        state('Install failed; the adapter was put back as it was');
        return;
      case INSTALL.NOT_RESTORED:
        // Still in its boot monitor, which the next install reaches.
        problem('The new firmware did not verify. This adapter\'s boot monitor changes the firmware it receives, ' +
          'so its firmware cannot be put back from a backup: install the maker\'s package for it again. ' +
          'It stays in its boot monitor until then; its bootloader is untouched.');
        state('Install failed; the adapter holds no working firmware');
        return;
      case INSTALL.RESTORE_FAILED:
        disconnected((lost ? 'The adapter was unplugged or stopped answering during the firmware install, ' +
          'and the backup could not be put back. ' : 'The new firmware did not verify, and putting the backup ' +
          'back failed too: the log says why. ') +
          'Its firmware may be incomplete now, so it may not work as a lens adapter. ' +
          'Its bootloader is never erased: plug it in again, press Connect and install the firmware again.' + backupNote);
        return;
      case INSTALL.NOT_RESTARTED:
        disconnected('The firmware was installed and verified, but the adapter stopped answering before its ' +
          'restart: unplug it, plug it in again and press Connect.' + backupNote);
        return;
      default:
        // Stopped, or failed in a way the install could not tell apart.
        if (lost) explainFailure(result, 'install');
        else disconnected('The install failed part way: the log says why. The adapter may hold no complete ' +
          'firmware now. Its bootloader is never erased: press Connect and install the firmware again.');
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
    const result = await run('tarvo-backup', ['-p', portName, 'verify', target], readProgress());
    if (single) removeFile(target);
    else removeTree(target);
    const verdicts = (result.out.match(/^(firmware|settings): (matches|differs?\b.*)$/gm) || []).join(', ');
    if (result.status === 0) return state(single ? `The adapter holds the firmware of ${files[0].name}` : `The adapter matches the backup (${verdicts})`);
    if (result.status === 2) return state(single ? `The adapter does not hold the firmware of ${files[0].name}` : `The adapter differs from the backup (${verdicts})`);
    if (result.status === 3) return problem('The adapter could not be compared: the log says why.');
    return explainFailure(result, 'verify');
  }

  async function restoreBackup(files) {
    const dir = await putBackup(files);
    if (!dir) return;
    const result = await run('tarvo-backup', ['-p', portName, 'restore', dir], restoreBackupProgress());
    removeTree(dir);
    const restarted = tarvo._tarvo_web_restarted() !== 0;
    if (result.status === 0) {
      if (restarted) disconnected();
      return state('Backup restored and verified' + (restarted ? '; the adapter has restarted. Press Connect to work with it again.' : ''));
    }
    if (result.status === 3)
      return problem('The backup was not restored: the log says why. Nothing on the adapter was changed.');
    if (result.status === 4) {
      disconnected('The restore failed after the adapter was erased: the log says what it holds now. ' +
        'Its bootloader is never erased: press Connect and restore the backup again.');
      return;
    }
    return explainFailure(result, 'restore-backup');
  }

  async function powerCycle() {
    const result = await run('tarvo', ['-p', portName, '-R']);
    if (result.status !== 0) return explainFailure(result, 'power');
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
    for (const [button, input, body] of [['restore', 'restore-file', restoreSettings],
      ['install', 'install-file', installFirmware], ['verify', 'verify-file', verifyBackup],
      ['restore-backup', 'restore-backup-file', restoreBackup]]) {
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
    try {
      const ports = await navigator.serial.getPorts();
      if (ports.length) {
        previous = ports[0];
        $('reconnect').textContent = `Connect to ${portNameOf(previous)} again`;
        $('reconnect').hidden = false;
      }
    } catch (e) {
      // No port granted before; the chooser is still there.
    }
    refresh();
  }

  start();
})();
