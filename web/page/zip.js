// Zip files of a backup folder: written store-only (the files are mostly a
// firmware image, which hardly compresses), read stored or deflated (a zip a
// person made again of the folder), every entry checked by its CRC-32.
'use strict';

const Zip = (() => {
  const CRC_TABLE = new Uint32Array(256);
  for (let n = 0; n < 256; n++) {
    let c = n;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xEDB88320 ^ (c >>> 1) : c >>> 1;
    CRC_TABLE[n] = c >>> 0;
  }

  function crc32(bytes) {
    let c = 0xFFFFFFFF;
    for (let i = 0; i < bytes.length; i++) c = CRC_TABLE[(c ^ bytes[i]) & 0xFF] ^ (c >>> 8);
    return (c ^ 0xFFFFFFFF) >>> 0;
  }

  // MS-DOS date and time, as zip entries carry them.
  function dosTime(date) {
    const time = (date.getHours() << 11) | (date.getMinutes() << 5) | (date.getSeconds() >> 1);
    const day = ((Math.max(1980, date.getFullYear()) - 1980) << 9) | ((date.getMonth() + 1) << 5) | date.getDate();
    return { time, day };
  }

  // files: [{ name, bytes }] with names in UTF-8; returns the zip's bytes.
  function make(files, date = new Date()) {
    const { time, day } = dosTime(date);
    const enc = new TextEncoder();
    const parts = [];
    const central = [];
    let offset = 0;
    for (const file of files) {
      const name = enc.encode(file.name);
      const crc = crc32(file.bytes);
      const size = file.bytes.length;
      const local = new DataView(new ArrayBuffer(30));
      local.setUint32(0, 0x04034b50, true);
      local.setUint16(4, 10, true);          // version needed: 1.0, stored
      local.setUint16(6, 0x0800, true);      // names in UTF-8
      local.setUint16(8, 0, true);           // stored
      local.setUint16(10, time, true);
      local.setUint16(12, day, true);
      local.setUint32(14, crc, true);
      local.setUint32(18, size, true);
      local.setUint32(22, size, true);
      local.setUint16(26, name.length, true);
      local.setUint16(28, 0, true);
      parts.push(new Uint8Array(local.buffer), name, file.bytes);

      const entry = new DataView(new ArrayBuffer(46));
      entry.setUint32(0, 0x02014b50, true);
      entry.setUint16(4, 0x031E, true);      // made by: Unix, 3.0
      entry.setUint16(6, 10, true);
      entry.setUint16(8, 0x0800, true);
      entry.setUint16(10, 0, true);
      entry.setUint16(12, time, true);
      entry.setUint16(14, day, true);
      entry.setUint32(16, crc, true);
      entry.setUint32(20, size, true);
      entry.setUint32(24, size, true);
      entry.setUint16(28, name.length, true);
      entry.setUint32(38, (0o100644 << 16) >>> 0, true);  // a plain file, rw-r--r--
      entry.setUint32(42, offset, true);
      central.push(new Uint8Array(entry.buffer), name);
      offset += 30 + name.length + size;
    }
    const centralSize = central.reduce((n, p) => n + p.length, 0);
    const end = new DataView(new ArrayBuffer(22));
    end.setUint32(0, 0x06054b50, true);
    end.setUint16(8, files.length, true);
    end.setUint16(10, files.length, true);
    end.setUint32(12, centralSize, true);
    end.setUint32(16, offset, true);
    const all = [...parts, ...central, new Uint8Array(end.buffer)];
    const out = new Uint8Array(all.reduce((n, p) => n + p.length, 0));
    let at = 0;
    for (const p of all) {
      out.set(p, at);
      at += p.length;
    }
    return out;
  }

  function isZip(bytes) {
    return bytes.length >= 4 && bytes[0] === 0x50 && bytes[1] === 0x4B && bytes[2] === 0x03 && bytes[3] === 0x04;
  }

  async function inflate(bytes) {
    if (typeof DecompressionStream === 'undefined')
      throw new Error('this browser cannot unpack compressed zip entries; zip the files without compression');
    const stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream('deflate-raw'));
    return new Uint8Array(await new Response(stream).arrayBuffer());
  }

  // The files of a zip: [{ name, bytes }], folders left out. Throws with the
  // reason for a zip it cannot read whole.
  async function read(bytes) {
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    let end = -1;
    for (let i = bytes.length - 22; i >= Math.max(0, bytes.length - 22 - 65535); i--) {
      if (view.getUint32(i, true) === 0x06054b50) { end = i; break; }
    }
    if (end < 0) throw new Error('not a zip file, or cut short');
    const count = view.getUint16(end + 10, true);
    let at = view.getUint32(end + 16, true);
    const dec = new TextDecoder();
    const files = [];
    for (let n = 0; n < count; n++) {
      if (at + 46 > bytes.length || view.getUint32(at, true) !== 0x02014b50) throw new Error('its list of files is damaged');
      const method = view.getUint16(at + 10, true);
      const crc = view.getUint32(at + 16, true);
      const packed = view.getUint32(at + 20, true);
      const size = view.getUint32(at + 24, true);
      const nameLength = view.getUint16(at + 28, true);
      const extra = view.getUint16(at + 30, true);
      const comment = view.getUint16(at + 32, true);
      const local = view.getUint32(at + 42, true);
      const name = dec.decode(bytes.subarray(at + 46, at + 46 + nameLength));
      at += 46 + nameLength + extra + comment;
      if (name.endsWith('/')) continue;
      if (local + 30 > bytes.length || view.getUint32(local, true) !== 0x04034b50) throw new Error(`${name} is damaged`);
      const start = local + 30 + view.getUint16(local + 26, true) + view.getUint16(local + 28, true);
      if (start + packed > bytes.length) throw new Error(`${name} is cut short`);
      const stored = bytes.subarray(start, start + packed);
      let data;
      if (method === 0) data = stored.slice();
      else if (method === 8) data = await inflate(stored);
      else throw new Error(`${name} is packed with a method this page cannot unpack`);
      if (data.length !== size || crc32(data) !== crc) throw new Error(`${name} is damaged (its CRC does not match)`);
      files.push({ name, bytes: data });
    }
    return files;
  }

  return { make, read, isZip, crc32 };
})();

if (typeof module !== 'undefined') module.exports = { Zip };
