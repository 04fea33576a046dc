// The web page in a real browser (Debian's chromium through playwright-core), against the
// command-line tools on the same images: the listing is `d88 ls --json -R`'s, a downloaded
// file is `d88 get`'s, an expanded VKP file is drupa's, a packed one vkpack's, and an image
// changed in the page (put, rm, a blank disk) has the bytes `d88 put`, `d88 rm` and `d88 new`
// give. No error may reach the console. Writes page-screenshot.png into the output folder.
//
//   node page_test.mjs PAGE_DIR TOOLS_DIR SAMPLE OUT_DIR
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { chromium } from 'playwright-core';

const [pageDir, toolsDir, sample, outDir] = process.argv.slice(2).map((p) => path.resolve(p));
const tool = (name) => path.join(toolsDir, name);
const work = fs.mkdtempSync(path.join(outDir, 'page-test-'));
const run = (name, ...args) => execFileSync(tool(name), args, { cwd: work, env: { ...process.env, TZ: 'UTC' } });
const failures = [];
function check(ok, what) {
  if (!ok) failures.push(what);
}
const same = (a, b) => Buffer.compare(Buffer.from(a), Buffer.from(b)) === 0;
const file = (name) => path.join(work, name);

// --- the disks: the sample, a FAT12 disk with Japanese names and a directory, an N88 disk ---
fs.copyFileSync(sample, file('sample.d88'));
const payload = (n, seed) => Buffer.from(Array.from({ length: n }, (_, i) => (i * seed + (i >> 7)) & 0xff));
fs.mkdirSync(file('in'));
const names = { fat: ['日本語.TXT', 'ﾃｽﾄ.BIN', 'README.DOC'], n88: ['GAME.BAS', 'DATA.DAT'] };
[...names.fat, ...names.n88].forEach((n, i) => fs.writeFileSync(file(`in/${n}`), payload(3000 + i * 777, 7 + i)));
const stamp = new Date('2024-05-06T07:08:10Z');
for (const n of fs.readdirSync(file('in'))) fs.utimesSync(file(`in/${n}`), stamp, stamp);
run('d88', 'new', '--fs', 'fat12', '--type', '2hd', 'fat.d88');
run('d88', 'mkdir', 'fat.d88', 'ゲーム');
run('d88', 'put', 'fat.d88', ...names.fat.map((n) => `in/${n}`));
run('d88', 'put', 'fat.d88', '--as', 'ゲーム/SAVE.DAT', 'in/README.DOC');
run('d88', 'new', '--fs', 'n88', '--type', '2d', 'n88.d88');
run('d88', 'put', 'n88.d88', ...names.n88.map((n) => `in/${n}`));
fs.writeFileSync(file('in/NEW.BIN'), payload(5000, 13));
fs.utimesSync(file('in/NEW.BIN'), stamp, stamp);
fs.writeFileSync(file('in/TOOLONGNAME.BIN'), payload(10, 1));

// --- a static server for the page and the images ---
const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm' };
const server = http.createServer((request, response) => {
  const url = decodeURIComponent(new URL(request.url, 'http://x').pathname);
  const [root, rest] = url.startsWith('/images/') ? [work, url.slice(8)] : [pageDir, url.slice(1) || 'index.html'];
  const target = path.join(root, path.normalize(rest));
  if (!target.startsWith(root) || !fs.existsSync(target) || fs.statSync(target).isDirectory()) {
    response.writeHead(404).end();
    return;
  }
  response.writeHead(200, { 'Content-Type': types[path.extname(target)] || 'application/octet-stream' });
  response.end(fs.readFileSync(target));
});
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const base = `http://127.0.0.1:${server.address().port}/`;

const executablePath = process.env.CHROMIUM ||
  ['/usr/bin/chromium', '/usr/lib/chromium/chromium'].find((p) => fs.existsSync(p));
const browser = await chromium.launch({
  executablePath,
  args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-dev-shm-usage'],
});
const context = await browser.newContext({ acceptDownloads: true, timezoneId: 'UTC', viewport: { width: 1000, height: 900 } });
const page = await context.newPage();
page.on('console', (m) => m.type() === 'error' && failures.push(`console: ${m.text()}`));
page.on('pageerror', (e) => failures.push(`page error: ${e.message}`));
page.on('dialog', (d) => d.accept());

const idle = () => page.waitForFunction(() => document.body.dataset.ready === 'yes' && document.body.dataset.busy !== 'yes');
const listing = () => page.evaluate(() => window.retrodiskPage.listing);
const message = () => page.locator('#message').textContent();
async function downloaded(click) {
  const [d] = await Promise.all([page.waitForEvent('download'), click()]);
  return fs.readFileSync(await d.path());
}
const row = (name) => page.locator('#files tbody tr').filter({ has: page.locator('td.name', { hasText: new RegExp(`^${name}$`) }) });

// The page's listing against d88's, key by key, for every entry.
async function compareListing(image) {
  const mine = JSON.parse(run('d88', 'ls', '--json', '-R', image));
  const shown = await listing();
  const keys = ['path', 'name', 'type', 'directory', 'size', 'crc32', 'date', 'first_unit'];
  const pick = (f) => JSON.stringify(keys.map((k) => f[k]));
  check(shown && shown.file_system === mine.file_system, `${image}: file system ${shown && shown.file_system}`);
  check(shown && JSON.stringify(shown.files.map(pick)) === JSON.stringify(mine.files.map(pick)),
    `${image}: listing differs from d88 ls --json -R`);
  check(shown && shown.free.bytes === mine.free.bytes, `${image}: free space`);
  check(await page.locator('#files tbody tr').count() === mine.files.length, `${image}: table rows`);
  return mine;
}

// The sample, opened with ?image=: listing, a file, a VKP file expanded.
await page.goto(`${base}?image=images/sample.d88`);
await idle();
const sampleList = await compareListing('sample.d88');
const vkpFile = sampleList.files.find((f) => /\.VKP$/i.test(f.path));
check(vkpFile, 'the sample has a VKP file');
run('d88', 'get', '-o', 'got', 'sample.d88');
const plain = sampleList.files.find((f) => f !== vkpFile);
check(same(await downloaded(() => row(plain.path).getByRole('button', { name: 'Download' }).click()),
  fs.readFileSync(file(`got/${plain.path}`))), 'a downloaded file differs from d88 get');
const expanded = await downloaded(() => row(vkpFile.path).getByRole('button', { name: 'Expand' }).click());
fs.copyFileSync(file(`got/${vkpFile.path}`), file('x.vkp'));
run('drupa', 'x.vkp');
check(same(expanded, fs.readFileSync(file('x'))), 'an expanded VKP file differs from drupa');
// Packing a file in the page gives vkpack's bytes.
const packed = await downloaded(() => page.setInputFiles('#vkp-pack', file('in/GAME.BAS')));
run('vkpack', '-o', 'game.vkp', 'in/GAME.BAS');
check(same(packed, fs.readFileSync(file('game.vkp'))), 'a packed file differs from vkpack');

// The FAT12 disk, opened with the file picker: Japanese names, a directory, the zip.
await page.setInputFiles('#pick', file('fat.d88'));
await idle();
const fatList = await compareListing('fat.d88');
const listMs = await page.evaluate(() => window.retrodiskPage.listMs);
console.log(`listing the ${fs.statSync(file('fat.d88')).size}-byte FAT12 image took ${listMs.toFixed(1)} ms in the page`);
check(await page.locator('td.name', { hasText: '日本語.TXT' }).count() === 1, 'Japanese name shown');
const zip = await downloaded(() => page.click('#download-all'));
const files = fatList.files.filter((f) => !f.directory).length;
check(zip.readUInt32LE(0) === 0x04034b50 && zip.readUInt16LE(zip.length - 12) === files, 'the zip holds every file');
await page.screenshot({ path: path.join(outDir, 'page-screenshot.png'), fullPage: true });


// A file put back on the FAT12 disk (into its directory) and on the N88 disk gives d88 put's
// image; a removal d88 rm's; a name the disk cannot hold is refused with nothing changed.
async function putAs(image, as) {
  await page.setInputFiles('#put-file', file('in/NEW.BIN'));
  await page.fill('#put-as', as);
  await page.click('#put-form button[type=submit]');
  await idle();
  const got = await downloaded(() => page.click('#download-image'));
  fs.copyFileSync(file(image), file(`cli-${image}`));
  run('d88', 'put', `cli-${image}`, '--as', as, 'in/NEW.BIN');
  check(same(got, fs.readFileSync(file(`cli-${image}`))), `${image}: put differs from d88 put (${await message()})`);
}
await putAs('fat.d88', 'ゲーム/NEW.BIN');
await page.goto(`${base}?image=images/n88.d88`);
await idle();
await compareListing('n88.d88');
await putAs('n88.d88', 'NEW.BIN');
await row('GAME.BAS').getByRole('button', { name: 'Remove' }).click();
await idle();
const removed = await downloaded(() => page.click('#download-image'));
run('d88', 'rm', 'cli-n88.d88', 'GAME.BAS');
check(same(removed, fs.readFileSync(file('cli-n88.d88'))), 'rm differs from d88 rm');
await page.setInputFiles('#put-file', file('in/TOOLONGNAME.BIN'));
await page.fill('#put-as', '');
await page.click('#put-form button[type=submit]');
await idle();
check(await page.locator('#message.error').count() === 1, `a refused put is shown: ${await message()}`);
check(same(await downloaded(() => page.click('#download-image')), removed), 'a refused put changed the image');

// A blank disk, as d88 new makes it.
await page.click('#blank summary');
await page.selectOption('#blank-fs', 'hu');
await page.waitForFunction(() => document.querySelector('#blank-type option'));
await page.click('#blank-form button[type=submit]');
await idle();
run('d88', 'new', '--fs', 'hu', 'blank.d88');
check(same(await downloaded(() => page.click('#download-image')), fs.readFileSync(file('blank.d88'))),
  'a blank disk differs from d88 new');

// An image of eight disks (10 MB): every disk listed, and the last one read as d88 reads it.
fs.writeFileSync(file('many.d88'), Buffer.concat(Array(8).fill(fs.readFileSync(file('fat.d88')))));
await page.setInputFiles('#pick', file('many.d88'));
await idle();
check(await page.locator('#disks > li').count() === 8, 'eight disks listed');
await page.getByRole('button', { name: 'Show the files of disk 7' }).click();
await idle();
const last = JSON.parse(run('d88', 'ls', '--json', '-R', '-d', '7', 'many.d88'));
check(JSON.stringify((await listing()).files.map((f) => f.crc32)) === JSON.stringify(last.files.map((f) => f.crc32)),
  'disk 7 of many.d88 differs from d88 ls -d 7');

await browser.close();
server.close();
if (failures.length) {
  console.error(`FAIL:\n  ${failures.join('\n  ')}`);
  process.exit(1);
}
fs.rmSync(work, { recursive: true, force: true });
console.log('page test: all checks passed');
