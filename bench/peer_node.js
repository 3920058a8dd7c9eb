// The official Dropbox JavaScript SDK (npm "dropbox", see package.json) as a peer of qvdbx
// (bench/peers.sh), doing what qvdbx does:
//
//   node peer_node.js ORIGIN ls FOLDER         the items document of the whole folder
//   node peer_node.js ORIGIN playlist FOLDER   the folder's playlist with fresh links
//
// Both print to stdout exactly what `qvdbx --live ls --json` and `qvdbx --live playlist`
// print (the playlist's expiry time aside). The access token comes from
// DROPBOX_ACCESS_TOKEN. The SDK is used as shipped; the fetch it is given sends every
// request to ORIGIN instead of Dropbox's hosts.
'use strict';

const { Dropbox } = require('dropbox');
const { toItem } = require('./node_peer.js');

const PLAYABLE = new Set(['mp3', 'flac', 'ogg', 'oga', 'opus', 'm4a', 'aac', 'wav', 'aiff', 'aif',
  'alac', 'wma', 'wv', 'ape', 'mka', 'mp4', 'm4v', 'mkv', 'webm', 'mov', 'avi']);
const LINK_LIFE_MS = 4 * 3600 * 1000;

function client(origin) {
  const toOrigin = (url) => {
    const { pathname, search } = new URL(url);
    return origin + pathname + search;
  };
  return new Dropbox({
    accessToken: process.env.DROPBOX_ACCESS_TOKEN,
    fetch: (url, init) => fetch(toOrigin(url), init),
  });
}

// The items of the whole folder, page after page; deleted entries left out.
async function listing(dbx, path) {
  const items = [];
  let page = (await dbx.filesListFolder({ path })).result;
  for (;;) {
    for (const meta of page.entries) {
      const item = toItem(meta);
      if (item !== null) items.push(item);
    }
    if (!page.has_more) return items;
    page = (await dbx.filesListFolderContinue({ cursor: page.cursor })).result;
  }
}

const asciiLower = (text) => text.replace(/[A-Z]/g, (c) => c.toLowerCase());

function isPlayable(name) {
  const dot = name.lastIndexOf('.');
  return dot > 0 && PLAYABLE.has(asciiLower(name.slice(dot + 1)));
}

// By name, ASCII letter case aside, ties by the bytes: as qvdbx sorts.
function byName(a, b) {
  return Buffer.compare(Buffer.from(asciiLower(a.name)), Buffer.from(asciiLower(b.name))) ||
    Buffer.compare(Buffer.from(a.name), Buffer.from(b.name));
}

async function playlist(dbx, folder) {
  const files = (await listing(dbx, folder)).filter((i) => !i.folder && isPlayable(i.name));
  files.sort(byName);
  const expires = new Date(Date.now() + LINK_LIFE_MS).toISOString().replace(/\.\d+Z$/, 'Z');
  const lines = ['#EXTM3U', `# the links expire at ${expires} (4 hours after they were made)`];
  for (const file of files) {
    const { result } = await dbx.filesGetTemporaryLink({ path: file.path });
    lines.push(`#EXTINF:-1,${file.name}`, result.link);
  }
  return lines.join('\n') + '\n';
}

async function main() {
  const [origin, command, folder] = process.argv.slice(2);
  const dbx = client(origin);
  const text = command === 'ls'
    ? JSON.stringify({ items: await listing(dbx, folder) }) + '\n'
    : await playlist(dbx, folder);
  process.stdout.write(text);
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
