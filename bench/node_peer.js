// The Node.js peer: what a JavaScript client (the official SDK included) does with a
// list page: JSON.parse the answer, map each live entry to the six members of the items
// document, JSON.stringify {"items": [...]}. Plain JavaScript, no packages.
//
//   node node_peer.js PAGE.json ITEMS.json [--repetitions N] [--seconds S]
//
// PAGE.json is the page the C++ contenders decode (qvdbx_bench --dump-page), ITEMS.json
// the module's items document of it: the peer checks that it writes the same text. Prints
// one JSON object with the median of N timed repetitions of at least S seconds each.
// The page is timed from a JavaScript string: turning the answer's bytes into one (and the
// document back into bytes) is left out, which favours the peer.
'use strict';

const fs = require('fs');

function lastSegment(path) {
  if (typeof path !== 'string') return 'Dropbox';
  const rest = path.replace(/^\/+/, '');
  if (rest === '') return 'Dropbox';
  return rest.slice(rest.lastIndexOf('/') + 1);
}

// The same rules as the module's decoder, for the members a JavaScript client sees
// (also used by peer_node.js).
function toItem(meta) {
  const tag = meta['.tag'];
  if (tag === 'deleted') return null;
  const folder = tag === 'folder';
  const display = typeof meta.path_display === 'string' ? meta.path_display : undefined;
  const name = typeof meta.name === 'string' ? meta.name : lastSegment(display);
  const id = typeof meta.id === 'string' ? meta.id : undefined;
  let path;
  if (id !== undefined) path = id.startsWith('id:') ? id : 'id:' + id;
  else if (typeof meta.path_lower === 'string') path = meta.path_lower;
  else path = display !== undefined ? display : '';
  const size = !folder && Number.isInteger(meta.size) && meta.size >= 0 ? meta.size : -1;
  const item = { name, path, folder, size };
  if (id !== undefined) item.id = id;
  if (display !== undefined) item.path_display = display;
  return item;
}

function itemsDocument(pageText) {
  const page = JSON.parse(pageText);
  const items = [];
  for (const meta of page.entries) {
    if (meta === null || typeof meta !== 'object' || Array.isArray(meta)) continue;
    const item = toItem(meta);
    if (item !== null) items.push(item);
  }
  return JSON.stringify({ items });
}

// Seconds per call of each of `repetitions` runs of at least `seconds` each, sorted.
function measure(fn, repetitions, seconds) {
  const perCall = [];
  for (let r = 0; r < repetitions; r++) {
    let calls = 0;
    const start = process.hrtime.bigint();
    let elapsed = 0;
    do {
      fn();
      calls++;
      elapsed = Number(process.hrtime.bigint() - start) / 1e9;
    } while (elapsed < seconds);
    perCall.push(elapsed / calls);
  }
  return perCall.sort((a, b) => a - b);
}

const median = (sorted) => sorted[Math.floor(sorted.length / 2)];

function option(args, name, fallback) {
  const at = args.indexOf(name);
  return at >= 0 ? Number(args[at + 1]) : fallback;
}

function main() {
  const args = process.argv.slice(2);
  const [pagePath, itemsPath] = args;
  const repetitions = option(args, '--repetitions', 5);
  const seconds = option(args, '--seconds', 1);
  const pageBytes = fs.readFileSync(pagePath);
  const pageText = pageBytes.toString('utf8');
  const expected = fs.readFileSync(itemsPath, 'utf8');
  const entries = JSON.parse(pageText).entries.length;

  const identical = itemsDocument(pageText) === expected;
  measure(() => itemsDocument(pageText), 1, 2 * seconds);  // warm-up for the JIT
  const perRepetition = measure(() => itemsDocument(pageText), repetitions, seconds);
  const secondsPerPage = median(perRepetition);

  console.log(JSON.stringify({
    node: process.version,
    page_bytes: pageBytes.length,
    entries,
    identical,
    repetitions,
    seconds_per_page: secondsPerPage,
    seconds_per_page_each: perRepetition,
    bytes_per_second: pageBytes.length / secondsPerPage,
    items_per_second: entries / secondsPerPage,
  }));
  if (!identical) process.exitCode = 1;
}

module.exports = { toItem };

if (require.main === module) main();
