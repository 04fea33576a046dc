// The page: everything the user sees and does. The library runs in worker.js; this file
// sends it requests, shows the answers and turns bytes into downloads.
import { makeZip } from './zip.js';

const $ = (id) => document.getElementById(id);
const state = { name: 'disk.d88', disks: [], disk: -1, listing: null };
// What the page shows, for scripts that drive it (the browser test).
window.retrodiskPage = state;

// --- the worker ---------------------------------------------------------------------------

const worker = new Worker('worker.js');
const waiting = new Map();
let nextId = 1;
worker.onmessage = (event) => {
  const { id, progress, ok, value, error } = event.data;
  const request = waiting.get(id);
  if (!request) return;
  if (progress) {
    showProgress(request.label, progress[0], progress[1]);
    return;
  }
  waiting.delete(id);
  if (waiting.size === 0) showProgress(null);
  if (ok) request.resolve(value);
  else request.reject(new Error(error));
};
worker.onerror = (event) => {
  say(`The page's worker failed: ${event.message || 'it could not be loaded'}`, true);
};

// Sends a request; `label` names the work while it runs.
function ask(op, fields = {}, label = '', transfer = []) {
  return new Promise((resolve, reject) => {
    const id = nextId++;
    waiting.set(id, { resolve, reject, label });
    if (label) showProgress(label, 0, 0);
    worker.postMessage({ id, op, ...fields }, transfer);
  });
}

// --- messages, progress, downloads -------------------------------------------------------

function say(text, isError = false) {
  $('message').textContent = text;
  $('message').classList.toggle('error', isError);
}

function showProgress(label, done, total) {
  const box = $('progress');
  box.hidden = !label;
  if (!label) return;
  const bar = box.querySelector('progress');
  if (total > 0) {
    bar.max = total;
    bar.value = done;
  } else {
    bar.removeAttribute('value');
  }
  box.querySelector('span').textContent = total > 0 ? `${label} (${done} of ${total})` : label;
}

function download(bytes, name) {
  const blob = bytes instanceof Blob ? bytes : new Blob([bytes]);
  const a = document.createElement('a');
  a.href = URL.createObjectURL(blob);
  a.download = name;
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(a.href), 60000);
}

// Runs `work`, showing its refusal or failure in words. The body's data-busy is "yes" while
// any such work runs.
let running = 0;
async function attempt(work) {
  running++;
  document.body.dataset.busy = 'yes';
  try {
    await work();
  } catch (e) {
    say(e.message, true);
  } finally {
    running--;
    document.body.dataset.busy = running ? 'yes' : 'no';
  }
}

function element(tag, text = '', className = '') {
  const e = document.createElement(tag);
  if (text) e.textContent = text;
  if (className) e.className = className;
  return e;
}

function button(text, label, onClick) {
  const b = element('button', text);
  b.type = 'button';
  b.setAttribute('aria-label', label);
  b.addEventListener('click', () => attempt(onClick));
  return b;
}

function baseName(path) {
  return path.slice(path.lastIndexOf('/') + 1);
}

// --- the image and its disks --------------------------------------------------------------

async function openBytes(bytes, name) {
  say('');
  const answer = await ask('open', { bytes }, `Reading ${name}`, [bytes.buffer]);
  showImage(answer, name);
}

function showImage(answer, name) {
  state.name = name;
  state.disks = answer.disks;
  $('image').hidden = false;
  $('image-summary').textContent =
    `${name}: ${answer.size} bytes, ${answer.disks.length} disk${answer.disks.length === 1 ? '' : 's'}`;
  const list = $('disks');
  list.replaceChildren();
  answer.disks.forEach((d, i) => {
    const li = element('li');
    const title = d.name === null ? `disk ${i}` : `disk ${i}: ${d.name || '(no name)'}`;
    li.append(button(title, `Show the files of disk ${i}`, () => showDisk(i)));
    const g = d.geometry;
    const fsText = d.file_system.outcome === 'recognised' ? d.file_system.title
      : d.file_system.outcome === 'ambiguous' ? 'more than one file system matches'
        : 'no file system recognised';
    li.append(element('p', `${d.size} bytes at offset ${d.offset}, media ${d.media}` +
      ` (0x${d.media_byte.toString(16).padStart(2, '0')})${d.write_protected ? ', write-protected' : ''}, ` +
      (g.cylinders ? `${g.cylinders} × ${g.heads} × ${g.sectors} × ${g.sector_size}` : 'no readable sectors') +
      `, ${fsText}, ${d.anomalies.length} anomal${d.anomalies.length === 1 ? 'y' : 'ies'}`, 'details'));
    if (d.file_system.description) li.append(element('p', d.file_system.description, 'details'));
    if (d.anomalies.length) {
      const more = element('details');
      more.append(element('summary', 'Anomalies'));
      const ul = element('ul');
      for (const a of d.anomalies) {
        ul.append(element('li', `${a.track === null ? 'disk' : `track ${a.track}`}: ${a.kind}: ${a.detail}`));
      }
      more.append(ul);
      li.append(more);
    }
    list.append(li);
  });
  $('disk').hidden = true;
  if (answer.disks.length > 0) return showDisk(0);
  say('The image holds no disk.', true);
  return null;
}

async function showDisk(index) {
  state.disk = index;
  [...$('disks').children].forEach((li, i) => li.classList.toggle('chosen', i === index));
  $('disk').hidden = false;
  $('disk-title').textContent = `Files of disk ${index}`;
  let listing;
  try {
    const start = performance.now();
    listing = await ask('list', { disk: index, fs: $('fs').value }, `Listing disk ${index}`);
    state.listMs = performance.now() - start;
  } catch (e) {
    state.listing = null;
    $('files').tBodies[0].replaceChildren();
    $('problems').replaceChildren();
    $('disk-summary').textContent = '';
    throw e;
  }
  showListing(listing);
}

function showListing(listing) {
  state.listing = listing;
  const files = listing.files.filter((f) => !f.directory).length;
  $('disk-summary').textContent = `${listing.title}${listing.write_protected ? ' (write-protected)' : ''}: ` +
    `${files} file${files === 1 ? '' : 's'}, ${listing.free.bytes} bytes free ` +
    `(${listing.free.units} units of ${listing.free.unit_bytes} bytes)`;
  const problems = $('problems');
  problems.replaceChildren();
  for (const p of listing.problems) {
    problems.append(element('li', `${p.path || p.area}: ${p.kind}: ${p.detail}`));
  }
  const body = $('files').tBodies[0];
  body.replaceChildren();
  listing.files.forEach((f, index) => {
    const tr = element('tr', '', f.directory ? 'dir' : '');
    const shown = f.path === null ? `\\x${f.name_bytes}` : f.path;
    const depth = shown.split('/').length - 1;
    const name = element('td', baseName(shown) + (f.directory ? '/' : ''), 'name');
    name.style.paddingLeft = `${0.5 + depth * 1.25}rem`;
    name.title = shown;
    tr.append(name,
      element('td', f.directory ? '' : String(f.size), 'n'),
      element('td', f.type || (f.directory ? 'directory' : 'file')),
      element('td', f.date ? f.date.replace('T', ' ') : ''),
      element('td', f.crc32 || (f.directory ? '' : '-'), 'crc'));
    const actions = element('td');
    if (!f.directory && f.path !== null) {
      actions.append(
        button('Download', `Download ${shown}`, () => downloadFile(index, f)),
        button('Expand', `Expand ${shown} as a VKP file`, () => expandEntry(index, f)),
        button('Remove', `Remove ${shown}`, () => removeFile(f)));
    }
    tr.append(actions);
    body.append(tr);
  });
}

async function downloadFile(index, f) {
  download(await ask('read', { index }, `Reading ${f.path}`), baseName(f.path));
}

function expandedName(name) {
  const dot = name.lastIndexOf('.');
  return dot > 0 ? name.slice(0, dot) : `${name}.out`;
}

async function expandEntry(index, f) {
  const bytes = await ask('read', { index }, `Reading ${f.path}`);
  const out = await ask('expand', { bytes }, `Expanding ${f.path}`, [bytes.buffer]);
  download(out, expandedName(baseName(f.path)));
  say(`${f.path}: expanded to ${out.length} bytes.`);
}

async function removeFile(f) {
  if (!window.confirm(`Remove ${f.path} from disk ${state.disk}?`)) return;
  const done = await ask('remove', { path: f.path, force: $('put-force').checked }, `Removing ${f.path}`);
  say(`${f.path}: ${done}. Download the image to keep the change.`);
  await showDisk(state.disk);
}

async function downloadAll() {
  if (!state.listing) return;
  const entries = state.listing.files.map((f, index) => ({ index, path: f.path, date: f.date, f }))
    .filter((e) => !e.f.directory && e.path !== null)
    .map(({ index, path, date }) => ({ index, path, date }));
  const { files, failed } = await ask('readAll', { entries }, 'Reading the files');
  const stem = state.name.replace(/\.[^.]*$/, '');
  download(await makeZip(files), `${stem}-disk${state.disk}.zip`);
  say(failed.length ? `Not in the zip, as they cannot be read whole: ${failed.join('; ')}`
    : `${files.length} files in the zip.`, failed.length > 0);
}

// The local date and time a file was last changed, as a disk records it.
function localDate(ms) {
  const d = new Date(ms);
  return [d.getFullYear(), d.getMonth() + 1, d.getDate(), d.getHours(), d.getMinutes(), d.getSeconds()];
}

async function putFile(event) {
  event.preventDefault();
  const file = $('put-file').files[0];
  if (!file) throw new Error('Choose a file to put first.');
  const path = $('put-as').value.trim() || file.name;
  const bytes = new Uint8Array(await file.arrayBuffer());
  const done = await ask('put', {
    path, bytes, type: $('put-type').value, date: localDate(file.lastModified),
    force: $('put-force').checked,
  }, `Putting ${path}`, [bytes.buffer]);
  say(`${path}: ${done}. Download the image to keep the change.`);
  await showDisk(state.disk);
}

async function downloadImage() {
  download(await ask('image', {}, 'Preparing the image'), state.name);
}

async function loadTypes() {
  const types = await ask('types', { fs: $('blank-fs').value });
  $('blank-type').replaceChildren(...types.map((t) => element('option', t)));
}

async function makeBlank(event) {
  event.preventDefault();
  const fs = $('blank-fs').value;
  const type = $('blank-type').value;
  const answer = await ask('blank', { fs, type, label: $('blank-label').value }, 'Formatting');
  $('fs').value = '';
  await showImage(answer, `blank-${fs}-${type}.d88`);
  say(`A blank ${type} disk: put files on it, then download the image.`);
}

async function vkpFile(input, op) {
  const file = input.files[0];
  if (!file) return;
  input.value = '';
  const bytes = new Uint8Array(await file.arrayBuffer());
  const out = await ask(op, { bytes }, `${op === 'expand' ? 'Expanding' : 'Packing'} ${file.name}`, [bytes.buffer]);
  download(out, op === 'expand' ? expandedName(file.name) : `${file.name}.vkp`);
  say(`${file.name}: ${op === 'expand' ? 'expanded' : 'packed'} to ${out.length} bytes.`);
}

async function openFile(file) {
  if (file) await openBytes(new Uint8Array(await file.arrayBuffer()), file.name);
}

// --- wiring -----------------------------------------------------------------------------

const drop = $('drop');
drop.addEventListener('dragover', (e) => {
  e.preventDefault();
  drop.classList.add('over');
});
drop.addEventListener('dragleave', () => drop.classList.remove('over'));
drop.addEventListener('drop', (e) => {
  e.preventDefault();
  drop.classList.remove('over');
  attempt(() => openFile(e.dataTransfer.files[0]));
});
drop.addEventListener('keydown', (e) => {
  if (e.key === 'Enter' || e.key === ' ') {
    e.preventDefault();
    $('pick').click();
  }
});
$('pick').addEventListener('change', () => attempt(() => openFile($('pick').files[0])));
$('fs').addEventListener('change', () => attempt(() => showDisk(state.disk)));
$('download-all').addEventListener('click', () => attempt(downloadAll));
$('download-image').addEventListener('click', () => attempt(downloadImage));
$('put-form').addEventListener('submit', (e) => attempt(() => putFile(e)));
$('put-file').addEventListener('change', () => {
  const file = $('put-file').files[0];
  $('put-chosen').textContent = file ? `${file.name}, ${file.size} bytes` : 'none chosen';
});
$('blank-fs').addEventListener('change', () => attempt(loadTypes));
$('blank-form').addEventListener('submit', (e) => attempt(() => makeBlank(e)));
$('vkp-expand').addEventListener('change', () => attempt(() => vkpFile($('vkp-expand'), 'expand')));
$('vkp-pack').addEventListener('change', () => attempt(() => vkpFile($('vkp-pack'), 'pack')));

// index.html?image=URL opens that image (a link can share one).
attempt(async () => {
  await loadTypes();
  const url = new URLSearchParams(window.location.search).get('image');
  if (url) {
    const response = await fetch(url).catch(() => {
      throw new Error(`${url}: the image cannot be fetched (a network error, or the server does not allow this page to read it)`);
    });
    if (!response.ok) throw new Error(`${url}: the server answered ${response.status} ${response.statusText}`);
    const name = decodeURIComponent(new URL(url, window.location.href).pathname.split('/').pop() || 'disk.d88');
    await openBytes(new Uint8Array(await response.arrayBuffer()), name);
  }
  document.body.dataset.ready = 'yes';
});
