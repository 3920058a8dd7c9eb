// The folder page of qvdbx serve in headless Chromium, as a person uses it:
//
//   node folder_page.mjs EXPECTATIONS_JSON
//
// EXPECTATIONS_JSON says what the served folder holds (folder_page.py writes it from the
// loopback stand-in's tree): the page's URL, its subfolders and files in display order,
// the tracks in playing order, a track whose link is refused, a subfolder to open, the
// origins the page may reach and where the screenshots go. Exit 0 when every check
// holds, 77 when Chromium cannot start, 1 on the first check that fails.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

const SKIP = 77;
const want = JSON.parse(process.argv[2]);
const chromium = process.env.QVDBX_CHROMIUM || '/usr/bin/chromium';

class Failed extends Error {}
function check(ok, what, detail) {
  if (!ok) throw new Failed(what + (detail === undefined ? '' : ': ' + JSON.stringify(detail).slice(0, 2000)));
}

async function launch(profile) {
  return puppeteer.launch({
    executablePath: chromium,
    headless: true,
    userDataDir: profile,
    // As root on this kind of machine: no sandbox, no GPU, nothing in the background
    // that would reach another host.
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    timeout: 30000,
  });
}

// What the page's player shows now.
function playerState(page) {
  return page.evaluate(() => {
    const media = [document.getElementById('audio'), document.getElementById('video')].find(m => !m.hidden);
    return {
      now: document.getElementById('now').textContent,
      time: media.currentTime,
      paused: media.paused,
      error: media.error && media.error.code,
      status: document.getElementById('status').textContent,
      title: document.title,
      playing: [...document.querySelectorAll('li.playing a')].map(a => a.textContent),
      playerShown: !document.getElementById('player').hidden,
    };
  });
}

// Waits until track `name` has played past `seconds` without an error.
async function waitPlaying(page, name, seconds, what) {
  try {
    await page.waitForFunction((n, s) => {
      const media = [document.getElementById('audio'), document.getElementById('video')].find(m => !m.hidden);
      return document.getElementById('now').textContent === n && media.currentTime > s && !media.paused;
    }, {timeout: 15000, polling: 50}, name, seconds);
  } catch (e) {
    throw new Failed(what + ': ' + JSON.stringify(await playerState(page)));
  }
  const state = await playerState(page);
  check(state.error === null, what + ': no media error', state);
  check(state.playing.length === 1 && state.playing[0] === name, what + ': the playing file is highlighted', state);
  check(state.title.includes(name), what + ': the track in the page title', state);
}

async function linkNamed(page, name) {
  const handle = await page.evaluateHandle(
    n => [...document.querySelectorAll('ul a')].find(a => a.textContent === n) || null, name);
  const link = handle.asElement();
  check(link !== null, 'a link named ' + name);
  return link;
}

// Names in the lists, as text; and nothing but links, badges and sizes inside them.
async function listed(page) {
  return page.evaluate(() => ({
    folders: [...document.querySelectorAll('ul.folders li a')].map(a => a.textContent),
    files: [...document.querySelectorAll('ul.files li a')].map(a => a.textContent),
    tracks: [...document.querySelectorAll('a[data-track]')].map(a => a.textContent),
    stray: [...document.querySelectorAll('ul *')].filter(e => !['LI', 'A', 'SPAN'].includes(e.tagName)).length +
           document.querySelectorAll('script').length - 1,
  }));
}

async function checkListing(page, folders, files, tracks, where) {
  const got = await listed(page);
  check(JSON.stringify(got.folders) === JSON.stringify(folders.map(n => n + '/')), where + ': subfolders as text', got.folders);
  check(JSON.stringify(got.files) === JSON.stringify(files), where + ': files as text', got.files);
  check(JSON.stringify(got.tracks) === JSON.stringify(tracks), where + ': the playable files in playlist order', got.tracks);
  check(got.stray === 0, where + ': no markup from a name', got);
}

async function run(browser) {
  const page = await browser.newPage();
  const requests = [];
  const problems = [];
  page.on('request', r => requests.push(r.url()));
  page.on('pageerror', e => problems.push('script error: ' + e.message));
  page.on('console', m => { if (m.type() === 'error' && !/Failed to load resource/.test(m.text())) problems.push('console: ' + m.text()); });
  page.on('dialog', d => { problems.push('dialog: ' + d.message()); d.dismiss(); });
  await page.setViewport({width: 1366, height: 768});
  const shot = name => page.screenshot({path: path.join(want.shots, name), fullPage: false});

  // The index: every name as text, the player shown.
  const answer = await page.goto(want.url, {waitUntil: 'load'});
  check(answer.status() === 200, 'the folder page answers 200', answer.status());
  check(/^text\/html;\s*charset=utf-8$/i.test(answer.headers()['content-type'] || ''), 'UTF-8 HTML', answer.headers());
  await checkListing(page, want.folders, want.files, want.tracks, want.url);
  check((await playerState(page)).playerShown, 'the player is shown');

  // The first track plays, and the next starts by itself when it ends.
  await (await linkNamed(page, want.tracks[0])).click();
  await waitPlaying(page, want.tracks[0], 0.2, 'clicking the first track plays it');
  await waitPlaying(page, want.tracks[1], 0.2, 'the next track starts at the end of the first');
  await shot('folder-page-laptop.png');

  // Keyboard and buttons.
  await page.keyboard.press('Space');
  await page.waitForFunction(() => document.getElementById('audio').paused, {timeout: 5000, polling: 50});
  await page.keyboard.press('Space');
  await waitPlaying(page, want.tracks[1], 0, 'space plays again');
  await page.keyboard.press('ArrowLeft');
  await waitPlaying(page, want.tracks[0], 0, 'the left arrow goes back a track');
  await page.keyboard.press('ArrowRight');
  await waitPlaying(page, want.tracks[1], 0, 'the right arrow goes forward a track');
  await page.click('#previous');
  await waitPlaying(page, want.tracks[0], 0, 'the previous button');
  await page.click('#next');
  await waitPlaying(page, want.tracks[1], 0, 'the next button');

  // A refused link: shown on the page, asked once more, then the next track.
  const refused = want.tracks.indexOf(want.refused);
  check(refused >= 0 && refused + 1 < want.tracks.length, 'the refused track is followed by another', want);
  // Each attempt is one request for the track's stable URL, whoever answers it.
  const bridge = new URL(want.url).origin;
  const askedFor = n => requests.filter(u => new URL(u).origin === bridge &&
                                             decodeURIComponent(new URL(u).pathname).endsWith('/' + n)).length;
  const askedBefore = askedFor(want.refused);
  await (await linkNamed(page, want.refused)).click();
  for (const said of ['asking again', 'skipped']) {
    try {
      await page.waitForFunction((n, w) => {
        const status = document.getElementById('status');
        return status.textContent.includes('Could not play \u201C' + n) && status.textContent.includes(w) &&
               status.classList.contains('error');
      }, {timeout: 10000, polling: 50}, want.refused, said);
    } catch (e) {
      throw new Failed('a refused link shows "' + said + '" on the page: ' + JSON.stringify(await playerState(page)));
    }
  }
  await waitPlaying(page, want.tracks[refused + 1], 0.1, 'after a refused link the next track plays');
  const asked = askedFor(want.refused) - askedBefore;
  check(asked === 2, 'a refused link is asked again once', asked);

  // Phone width, dark.
  await page.emulateMediaFeatures([{name: 'prefers-color-scheme', value: 'dark'}]);
  await page.setViewport({width: 390, height: 844, deviceScaleFactor: 2});
  await page.evaluate(() => window.scrollTo(0, 0));
  await shot('folder-page-phone.png');
  await page.emulateMediaFeatures([]);
  await page.setViewport({width: 1366, height: 768});

  // A subfolder link opens that folder's page.
  await Promise.all([page.waitForNavigation({waitUntil: 'load'}), (await linkNamed(page, want.subfolder.name + '/')).click()]);
  const folderUrl = new URL(page.url());
  check(decodeURIComponent(folderUrl.pathname).endsWith('/' + want.subfolder.name + '/'), 'the subfolder page', page.url());
  await checkListing(page, [], want.subfolder.files, want.subfolder.tracks, want.subfolder.name);

  // There, a name full of URL characters plays, and a video follows in the video element.
  const clip = want.subfolder.tracks.indexOf(want.subfolder.video);
  check(clip > 0, 'the subfolder ends with a video', want.subfolder);
  await (await linkNamed(page, want.subfolder.tracks[clip - 1])).click();
  await waitPlaying(page, want.subfolder.tracks[clip - 1], 0.1, 'the track before the video plays');
  await waitPlaying(page, want.subfolder.video, 0.1, 'the video starts after it');
  const shown = await page.evaluate(() => ['audio', 'video'].filter(id => !document.getElementById(id).hidden));
  check(shown.length === 1 && shown[0] === 'video', 'a video plays in the video element', shown);

  // Nothing but the bridge and the links it leads to (data: URLs are the media controls'
  // own icons, never fetched).
  const strangers = requests.filter(u => !u.startsWith('data:') && !want.origins.includes(new URL(u).origin));
  check(strangers.length === 0, 'no request to another host', strangers);
  check(problems.length === 0, 'no script error, dialog or blocked load', problems);
  await page.close();
}

const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'qvdbx-chromium-'));
let browser;
try {
  browser = await launch(profile);
} catch (e) {
  console.log('browser.folder_page: SKIPPED: Chromium cannot start (' + chromium + '): ' + e.message.split('\n')[0]);
  fs.rmSync(profile, {recursive: true, force: true});
  process.exit(SKIP);
}
let status = 0;
try {
  fs.mkdirSync(want.shots, {recursive: true});
  await run(browser);
  console.log('browser.folder_page: ok (' + (await browser.version()) + '); screenshots in ' + want.shots);
} catch (e) {
  console.log('browser.folder_page: FAILED: ' + (e instanceof Failed ? e.message : e.stack));
  status = 1;
} finally {
  await browser.close();
  fs.rmSync(profile, {recursive: true, force: true});
}
process.exit(status);
