// A zip archive of files held in memory: UTF-8 paths (flag bit 11), each file deflated by
// the browser's own CompressionStream where that makes it smaller, else stored.

const crcTable = new Uint32Array(256).map((_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c;
});

export function crc32(bytes) {
  let crc = 0xffffffff;
  for (let i = 0; i < bytes.length; i++) crc = crcTable[(crc ^ bytes[i]) & 0xff] ^ (crc >>> 8);
  return (crc ^ 0xffffffff) >>> 0;
}

async function deflate(bytes) {
  if (typeof CompressionStream === 'undefined') return null;
  const stream = new Blob([bytes]).stream().pipeThrough(new CompressionStream('deflate-raw'));
  return new Uint8Array(await new Response(stream).arrayBuffer());
}

// MS-DOS date and time of "YYYY-MM-DD[THH:MM:SS]" (a date from the disk), else of now.
function dosTime(text) {
  const m = /^(\d{4})-(\d\d)-(\d\d)(?:T(\d\d):(\d\d):(\d\d))?/.exec(text || '');
  const now = new Date();
  const [y, mo, d, h, mi, s] = m
    ? m.slice(1).map((v) => Number(v || 0))
    : [now.getFullYear(), now.getMonth() + 1, now.getDate(), now.getHours(), now.getMinutes(),
      now.getSeconds()];
  const year = Math.min(Math.max(y, 1980), 2107);
  return [(h << 11) | (mi << 5) | (s >> 1), ((year - 1980) << 9) | (mo << 5) | d];
}

// files: [{path, bytes, date}] -> a Blob of the zip archive.
export async function makeZip(files) {
  const encoder = new TextEncoder();
  const parts = [];
  const central = [];
  let offset = 0;
  for (const file of files) {
    const name = encoder.encode(file.path);
    const packed = await deflate(file.bytes);
    const deflated = packed !== null && packed.length < file.bytes.length;
    const body = deflated ? packed : file.bytes;
    const [time, date] = dosTime(file.date);
    const crc = crc32(file.bytes);
    // The fields the local header and the central directory share, from "version needed" on.
    const common = new DataView(new ArrayBuffer(26));
    common.setUint16(0, 20, true);
    common.setUint16(2, 0x0800, true);
    common.setUint16(4, deflated ? 8 : 0, true);
    common.setUint16(6, time, true);
    common.setUint16(8, date, true);
    common.setUint32(10, crc, true);
    common.setUint32(14, body.length, true);
    common.setUint32(18, file.bytes.length, true);
    common.setUint16(22, name.length, true);
    const local = new Uint8Array(30);
    new DataView(local.buffer).setUint32(0, 0x04034b50, true);
    local.set(new Uint8Array(common.buffer), 4);
    parts.push(local, name, body);
    const entry = new Uint8Array(46);
    const view = new DataView(entry.buffer);
    view.setUint32(0, 0x02014b50, true);
    view.setUint16(4, 20, true);
    entry.set(new Uint8Array(common.buffer), 6);
    view.setUint32(42, offset, true);
    central.push(entry, name);
    offset += local.length + name.length + body.length;
  }
  const size = central.reduce((n, part) => n + part.length, 0);
  const end = new Uint8Array(22);
  const view = new DataView(end.buffer);
  view.setUint32(0, 0x06054b50, true);
  view.setUint16(8, files.length, true);
  view.setUint16(10, files.length, true);
  view.setUint32(12, size, true);
  view.setUint32(16, offset, true);
  return new Blob([...parts, ...central, end], { type: 'application/zip' });
}
