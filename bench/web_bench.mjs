// The web page's module under node: the median time of RUNS expansions of a VKP file, and of
// opening and listing a D88 image (rd_open, rd_list: every file read and summed, the free
// space and a check). Prints "expand MS SIZE" and "list MS FILES".
//
//   node web_bench.mjs PAGE_DIR FILE.vkp IMAGE.d88 [RUNS]
import fs from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';

const [pageDir, vkpPath, imagePath, runsText] = process.argv.slice(2);
const runs = Number(runsText || 11);
const create = createRequire(import.meta.url)(path.resolve(pageDir, 'retrodisk.js'));
// Emscripten's glue fetches the wasm itself only in a browser; under node it is handed over.
const lib = await create({ wasmBinary: fs.readFileSync(path.join(pageDir, 'retrodisk.wasm')) });

function copyIn(bytes) {
  const p = lib._malloc(bytes.length);
  lib.HEAPU8.set(bytes, p);
  return p;
}
function median(f) {
  const times = [];
  for (let i = 0; i < runs; i++) {
    const start = performance.now();
    f();
    times.push(performance.now() - start);
  }
  return times.sort((a, b) => a - b)[Math.floor(times.length / 2)];
}
function must(status) {
  if (status !== 0) throw new Error(Buffer.from(lib.HEAPU8.subarray(lib._rd_result(), lib._rd_result() + lib._rd_result_size())).toString());
}

const vkp = fs.readFileSync(vkpPath);
const vkpAt = copyIn(vkp);
const expand = median(() => must(lib._rd_expand(vkpAt, vkp.length)));
console.log(`expand ${expand.toFixed(3)} ${lib._rd_result_size()}`);

const image = fs.readFileSync(imagePath);
const imageAt = copyIn(image);
const empty = copyIn(Buffer.from([0]));
const list = median(() => {
  must(lib._rd_open(imageAt, image.length));
  must(lib._rd_list(0, empty));
});
const files = JSON.parse(Buffer.from(lib.HEAPU8.subarray(lib._rd_result(), lib._rd_result() + lib._rd_result_size())).toString()).files.length;
console.log(`list ${list.toFixed(3)} ${files}`);
