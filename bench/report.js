// Prints the summary tables of one bench/run.sh run from the result files it leaves.
//
//   node report.js RESULTS_DIR
//
// RESULTS_DIR holds qvdbx_bench.json (Google Benchmark's JSON output with repetitions; the
// medians are used), kept_memory.json (the listing benchmarks again with an allocator
// that keeps freed memory; optional) and rounds/, where round i paired one Node peer run
// (node_i.json) with one run of the module's page and the floor (module_i.json).
// MB are 10^6 bytes.
'use strict';

const fs = require('fs');

const FOLDERS = [25, 100, 400];

// Median runs by name ("BM_flat_list/400"); a run without repetitions stands for itself.
function medians(path) {
  // Google Benchmark writes NaN for the spread of a counter that is always 0.
  const text = fs.readFileSync(path, 'utf8').replace(/:\s*-?(nan|NaN|inf|Infinity)\b/g, ': null');
  const runs = new Map();
  for (const b of JSON.parse(text).benchmarks) {
    const name = b.run_name.replace(/\/real_time$/, '');
    if (b.aggregate_name === 'median' || (b.run_type === 'iteration' && !runs.has(name))) {
      runs.set(name, b);
    }
  }
  return runs;
}

const fixed = (value, digits) => (value === undefined || value === null ? '-' : value.toFixed(digits));

function table(header, rows) {
  const widths = header.map((h, i) => Math.max(h.length, ...rows.map((r) => String(r[i]).length)));
  const line = (cells) =>
    cells.map((c, i) => (i === 0 ? String(c).padEnd(widths[0]) : String(c).padStart(widths[i]))).join('  ');
  console.log(line(header));
  for (const row of rows) console.log(line(row));
  console.log();
}

function throughputTable(runs, node) {
  const floor = runs.get('BM_yyjson_parse_write_items');
  const listings = (label, name) => FOLDERS.map((n) => [`module: ${n} pages, ${label}`, runs.get(`${name}/${n}`)]);
  const rows = [
    ['yyjson: parse only', runs.get('BM_yyjson_parse')],
    ['yyjson: parse + items (floor)', floor],
    ['module: page + document', runs.get('BM_module_page')],
    ...listings('decoder', 'BM_module_pages'),
    ...listings('handler list', 'BM_handler_list'),
    ...listings('flat face', 'BM_flat_list'),
    ['node: parse + map + stringify (rounds)', node],
  ];
  table(
    ['contender', 'MB/s', 'entries/s', 'ms/page', 'faults/page', 'of floor'],
    rows.filter(([, r]) => r).map(([name, r]) => [
      name,
      fixed(r.bytes_per_second / 1e6, 0),
      fixed(r.items_per_second / 1e6, 3) + 'M',
      fixed(r.s_per_page * 1e3, 3),
      fixed(r.faults_per_page, 1),
      fixed(r.of_floor !== undefined ? r.of_floor : r.bytes_per_second / floor.bytes_per_second, 2),
    ]),
  );
}

function growthTable(runs, kept) {
  const rows = [];
  for (const [label, name] of [['decoder', 'BM_module_pages'], ['handler list', 'BM_handler_list'],
    ['flat face', 'BM_flat_list']]) {
    for (const [source, allocator] of [[runs, 'default'], [kept, 'kept']]) {
      const r = source ? FOLDERS.map((n) => source.get(`${name}/${n}`)) : [];
      if (r.length === 0 || r.some((x) => !x)) continue;
      rows.push([
        `${label} (${allocator} allocator)`,
        ...r.map((x) => fixed(x.s_per_page * 1e3, 3)),
        ...r.map((x) => fixed(x.faults_per_page, 0)),
        fixed(r[2].s_per_page / r[0].s_per_page, 2),
      ]);
    }
  }
  table(['time per page as the folder grows', 'ms @25', 'ms @100', 'ms @400',
    'faults @25', 'faults @100', 'faults @400', '400/25'], rows);
}

function answersTable(runs) {
  const answers = [['metadata decode', 'BM_metadata_decode'], ['qvdbx_stat', 'BM_stat'],
    ['qvdbx_locator', 'BM_link']];
  table(['answer', 'us/answer', 'answers/s', 'MB/s'], answers.filter(([, n]) => runs.get(n)).map(([label, n]) => {
    const r = runs.get(n);
    return [label, fixed(1e6 / r.items_per_second, 3), fixed(r.items_per_second / 1e6, 3) + 'M',
      fixed(r.bytes_per_second / 1e6, 0)];
  }));
}

function heapTable(runs) {
  const rows = [['one page', runs.get('BM_module_page')], ['400 pages', runs.get('BM_flat_list/400')]];
  table(['heap per entry (bytes)', 'table held', 'document held', 'together'],
    rows.filter(([, r]) => r).map(([label, r]) => [label, fixed(r.table_B_per_entry_held, 1),
      fixed(r.document_B_per_entry, 1), fixed(r.heap_B_per_entry, 1)]));
}

const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  const middle = sorted.length / 2;
  return sorted.length % 2 ? sorted[Math.floor(middle)] : (sorted[middle - 1] + sorted[middle]) / 2;
};

const readJson = (path) => JSON.parse(fs.readFileSync(path, 'utf8'));

// The paired rounds: the Node peer's figures over all rounds, and per round the ratio of
// the module's page (and of the floor) to the peer.
function readRounds(dir) {
  const rounds = [];
  for (let i = 1; fs.existsSync(`${dir}/node_${i}.json`); i++) {
    const peer = readJson(`${dir}/node_${i}.json`);
    const runs = medians(`${dir}/module_${i}.json`);
    rounds.push({ peer, module: runs.get('BM_module_page'), floor: runs.get('BM_yyjson_parse_write_items') });
  }
  const seconds = median(rounds.map((r) => r.peer.seconds_per_page));
  const first = rounds[0].peer;
  return {
    node: {
      bytes_per_second: first.page_bytes / seconds,
      items_per_second: first.entries / seconds,
      s_per_page: seconds,
      // Against the floor of the same rounds, not of the suite, which ran at another time.
      of_floor: median(rounds.map((r) => r.peer.bytes_per_second / r.floor.bytes_per_second)),
    },
    pageBytes: first.page_bytes,
    count: rounds.length,
    identical: rounds.every((r) => r.peer.identical),
    moduleRatios: rounds.map((r) => r.module.bytes_per_second / r.peer.bytes_per_second),
    floorRatios: rounds.map((r) => r.floor.bytes_per_second / r.peer.bytes_per_second),
  };
}

function ratioLine(label, ratios) {
  console.log('%s: %s x Node (median of %d rounds; from %s to %s)', label, fixed(median(ratios), 2),
    ratios.length, fixed(Math.min(...ratios), 2), fixed(Math.max(...ratios), 2));
}

function main() {
  const dir = process.argv[2];
  const runs = medians(`${dir}/qvdbx_bench.json`);
  const kept = fs.existsSync(`${dir}/kept_memory.json`) ? medians(`${dir}/kept_memory.json`) : null;
  const rounds = readRounds(`${dir}/rounds`);
  console.log('List pages of 2000 entries, %d bytes each. Medians of the repetitions; Node: median ' +
    'of %d paired rounds.\n', rounds.pageBytes, rounds.count);
  throughputTable(runs, rounds.node);
  growthTable(runs, kept);
  answersTable(runs);
  heapTable(runs);
  const page = runs.get('BM_module_page').bytes_per_second;
  console.log('module page + document: %s of the floor (target >= 0.60)',
    fixed(page / runs.get('BM_yyjson_parse_write_items').bytes_per_second, 2));
  ratioLine('module page + document', rounds.moduleRatios);
  ratioLine('yyjson floor          ', rounds.floorRatios);
  console.log('Node wrote the same document as the module: %s', rounds.identical);
}

main();
