#!/usr/bin/env python3
"""The folder page of `qvdbx serve` in a real browser, as one CTest test:

    folder_page.py --qvdbx PATH --shots DIR

Starts the loopback stand-in of Dropbox (tests/cli/fake_dropbox.py) and `qvdbx --live
serve` over it, then runs folder_page.mjs, which drives headless Chromium through
puppeteer-core against the /Album/ page and saves screenshots in DIR. Installs the npm
tooling (`npm ci`) when tests/browser/node_modules does not match package-lock.json.
Exit 0 when every check holds, 77 (skipped) when Chromium cannot start, else 1.
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # keep the source tree clean
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "cli"))
import fake_dropbox as fd  # noqa: E402

SKIP = 77
PLAYABLE = (".wav", ".mp3", ".webm")  # the playable kinds among the stand-in's /Album files
STAMP = os.path.join(HERE, "node_modules", ".installed-lock.json")


class Failed(Exception):
    pass


def node_tools():
    """Runs `npm ci` unless node_modules was installed from this very lock file."""
    with open(os.path.join(HERE, "package-lock.json"), encoding="utf-8") as f:
        lock = f.read()
    if os.path.exists(STAMP):
        with open(STAMP, encoding="utf-8") as f:
            if f.read() == lock:
                return
    npm = shutil.which("npm")
    if not npm:
        raise Failed("npm not found: the browser test installs puppeteer-core with npm")
    proc = subprocess.run([npm, "ci", "--no-audit", "--no-fund", "--prefer-offline"], cwd=HERE,
                          capture_output=True, text=True, timeout=600)
    if proc.returncode != 0:
        raise Failed("npm ci failed:\n" + proc.stdout[-2000:] + proc.stderr[-2000:])
    with open(STAMP, "w", encoding="utf-8") as f:
        f.write(lock)


def by_name(names):
    """In the order of the bridge's index and playlist: by name, ASCII letter case aside,
    ties by the bytes."""
    def key(name):
        folded = "".join(c.lower() if c.isascii() else c for c in name)
        return folded.encode(), name.encode()
    return sorted(names, key=key)


def folder_expectations(server, folder):
    entries = server.folders[folder.lower()]
    folders = by_name(e["name"] for e in entries if e[".tag"] == "folder")
    files = by_name(e["name"] for e in entries if e[".tag"] == "file")
    return folders, files, [n for n in files if n.lower().endswith(PLAYABLE)]


def start_serve(qvdbx, server, tmp):
    settings = os.path.join(tmp, "settings.json")
    with open(settings, "w", encoding="utf-8") as f:
        json.dump({"access_token": fd.VALID_TOKEN}, f)
    env = dict(os.environ, HOME=os.path.join(tmp, "home"))
    for name in ("DROPBOX_ACCESS_TOKEN", "DROPBOX_REFRESH_TOKEN", "DROPBOX_APP_KEY", "XDG_CONFIG_HOME"):
        env.pop(name, None)
    proc = subprocess.Popen([qvdbx, "--live", "--origin", server.origin, "--settings", settings,
                             "serve", "/", "--listen", "127.0.0.1:0", "--quiet"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, encoding="utf-8", env=env)
    first = proc.stdout.readline()
    found = re.search(r"(http://127\.0\.0\.1:\d+/)", first)
    if not found:
        proc.kill()
        raise Failed("serve names its URL on the first line: %r %r" % (first, proc.stderr.read()[-2000:]))
    return proc, found.group(1)


def stop_serve(proc):
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        raise Failed("serve did not stop on SIGTERM")
    if proc.returncode != 0:
        raise Failed("serve exited %d: %s" % (proc.returncode, proc.stderr.read()[-2000:]))


def run(args):
    node_tools()
    node = shutil.which("node")
    if not node:
        raise Failed("node not found: the browser test runs on Node.js")
    with fd.FakeDropbox() as server, tempfile.TemporaryDirectory() as tmp:
        serve, base = start_serve(os.path.abspath(args.qvdbx), server, tmp)
        try:
            folders, files, tracks = folder_expectations(server, "/Album")
            _, live_files, live_tracks = folder_expectations(server, "/Album/" + fd.LIVE)
            want = {
                "url": base + "Album/",
                "folders": folders, "files": files, "tracks": tracks,
                "refused": fd.UNAVAILABLE.rsplit("/", 1)[1],
                "subfolder": {"name": fd.LIVE, "files": live_files, "tracks": live_tracks,
                              "video": fd.CLIP.rsplit("/", 1)[1]},
                # The bridge, and the stand-in that serves the temporary links' bytes.
                "origins": [base.rstrip("/"), server.origin],
                "shots": os.path.abspath(args.shots),
            }
            status = subprocess.run([node, os.path.join(HERE, "folder_page.mjs"), json.dumps(want)],
                                    timeout=240).returncode
        finally:
            stop_serve(serve)
        if server.violations:
            raise Failed("requests broke the transport contract: %r" % server.violations[:3])
    return status


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qvdbx", required=True)
    parser.add_argument("--shots", required=True)
    try:
        return run(parser.parse_args())
    except Failed as failure:
        print("browser.folder_page: FAILED: %s" % failure)
        return 1


if __name__ == "__main__":
    sys.exit(main())
