// The page's worker: it holds the library (retrodisk.wasm) and the image, and answers the
// page's requests one at a time, so reading a large image never blocks the page. A request
// is {id, op, ...}; the answer is {id, ok, value} or {id, ok: false, error}, and long
// requests send {id, progress: [done, total]} on the way.
/* global createRetrodisk, importScripts */
'use strict';
importScripts('retrodisk.js');

let lib = null;
const ready = createRetrodisk().then((m) => {
  lib = m;
});

const utf8 = new TextDecoder();
const encoder = new TextEncoder();

// The answer of the last call: bytes copied out of the module's memory.
function resultBytes() {
  const at = lib._rd_result();
  return lib.HEAPU8.slice(at, at + lib._rd_result_size());
}
function resultText() {
  return utf8.decode(resultBytes());
}

// Calls f with copies of `items` (byte arrays or strings, given to C NUL-terminated) in the
// module's memory, freed afterwards; throws the module's reason when it answers 1.
function call(f, items = []) {
  const pointers = [];
  const args = [];
  try {
    for (const item of items) {
      if (typeof item === 'number') {
        args.push(item);
        continue;
      }
      const bytes = typeof item === 'string' ? encoder.encode(item + '\0') : item;
      const p = lib._malloc(Math.max(bytes.length, 1));
      if (p === 0) throw new Error('not enough memory');
      pointers.push(p);
      lib.HEAPU8.set(bytes, p);
      args.push(p);
      if (typeof item !== 'string') args.push(bytes.length);
    }
    if (f(...args) !== 0) throw new Error(resultText());
  } finally {
    for (const p of pointers) lib._free(p);
  }
}

function json() {
  return JSON.parse(resultText());
}

const ops = {
  // Opens an image: every disk's header, geometry, file system and anomalies.
  open(request, progress) {
    call(lib._rd_open, [request.bytes]);
    const count = Number(resultText());
    const disks = [];
    for (let i = 0; i < count; i++) {
      call(lib._rd_disk_info, [i]);
      disks.push(json());
      progress(i + 1, count);
    }
    return { disks, size: request.bytes.length };
  },
  // A blank disk as the image: the same answer as open.
  blank(request, progress) {
    call(lib._rd_new, [request.fs, request.type, request.label]);
    call(lib._rd_disk_info, [0]);
    progress(1, 1);
    return { disks: [json()], size: lib._rd_image_size() };
  },
  types(request) {
    call(lib._rd_types, [request.fs]);
    return json();
  },
  // The files of a disk, its free space and what a check finds.
  list(request) {
    call(lib._rd_list, [request.disk, request.fs || '']);
    return json();
  },
  read(request) {
    call(lib._rd_read, [request.index]);
    return resultBytes();
  },
  // Every file of the listing that can be read whole; the others by name, with the reason.
  readAll(request, progress) {
    const files = [];
    const failed = [];
    request.entries.forEach((entry, n) => {
      try {
        call(lib._rd_read, [entry.index]);
        files.push({ path: entry.path, date: entry.date, bytes: resultBytes() });
      } catch (e) {
        failed.push(`${entry.path}: ${e.message}`);
      }
      progress(n + 1, request.entries.length);
    });
    return { files, failed };
  },
  put(request) {
    const d = request.date || [0, 0, 0, 0, 0, 0];
    call(lib._rd_put, [request.path, request.bytes, request.type, ...d, request.force ? 1 : 0]);
    return resultText();
  },
  remove(request) {
    call(lib._rd_remove, [request.path, request.force ? 1 : 0]);
    return resultText();
  },
  image() {
    const at = lib._rd_image();
    return lib.HEAPU8.slice(at, at + lib._rd_image_size());
  },
  expand(request) {
    call(lib._rd_expand, [request.bytes]);
    return resultBytes();
  },
  pack(request) {
    call(lib._rd_pack, [request.bytes]);
    return resultBytes();
  },
};

self.onmessage = async (event) => {
  const request = event.data;
  const post = (message, transfer) => self.postMessage({ id: request.id, ...message }, transfer);
  try {
    await ready;
    const value = ops[request.op](request, (done, total) => post({ progress: [done, total] }));
    post({ ok: true, value }, value instanceof Uint8Array ? [value.buffer] : []);
  } catch (e) {
    post({ ok: false, error: e.message || String(e) });
  }
};
