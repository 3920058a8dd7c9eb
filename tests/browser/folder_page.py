#!/usr/bin/env python3
"""The folder page of `qvdbx serve` in a real browser, as one CTest test:

    folder_page.py --qvdbx PATH --shots DIR

Starts the loopback stand-in of Dropbox (tests/cli/fake_dropbox.py) and `qvdbx --live
serve /` over it (as serve_cases.py does), then runs folder_page.mjs, which drives
headless Chromium (QVDBX_CHROMIUM, else /usr/bin/chromium) through puppeteer-core against
the /Album/ page and saves screenshots in DIR. Installs the npm tooling (`npm ci`) when
tests/browser/node_modules does not match package-lock.json. Exit 0 when every check
holds, 77 (skipped) when Chromium cannot start, else 1.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # keep the source tree clean
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "cli"))
import fake_dropbox as fd  # noqa: E402
import run_case as rc  # noqa: E402
import serve_cases as sc  # noqa: E402

SKIP = 77
PLAYABLE = (".wav", ".mp3", ".webm")  # the playable kinds among the stand-in's /Album files
STAMP = os.path.join(HERE, "node_modules", ".installed-lock.json")


def node_tools():
    """Runs `npm ci` unless node_modules was installed from this very lock file."""
    with open(os.path.join(HERE, "package-lock.json"), encoding="utf-8") as f:
        lock = f.read()
    if os.path.exists(STAMP):
        with open(STAMP, encoding="utf-8") as f:
            if f.read() == lock:
                return
    npm = shutil.which("npm")
    rc.check(npm, "npm not found: the browser test installs puppeteer-core with npm")
    proc = subprocess.run([npm, "ci", "--no-audit", "--no-fund", "--prefer-offline"], cwd=HERE,
                          capture_output=True, text=True, timeout=600)
    rc.check(proc.returncode == 0, "npm ci failed", proc)
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


def case_folder_page(shots):
    node_tools()
    node = shutil.which("node")
    rc.check(node, "node not found: the browser test runs on Node.js")
    with fd.FakeDropbox() as server, sc.Serve(server, "/") as serve:
        folders, files, tracks = folder_expectations(server, "/Album")
        _, live_files, live_tracks = folder_expectations(server, "/Album/" + fd.LIVE)
        want = {
            "url": serve.base + "Album/",
            "folders": folders, "files": files, "tracks": tracks,
            "refused": fd.UNAVAILABLE.rsplit("/", 1)[1],
            "subfolder": {"name": fd.LIVE, "files": live_files, "tracks": live_tracks,
                          "video": fd.CLIP.rsplit("/", 1)[1]},
            # The bridge, and the stand-in that serves the temporary links' bytes.
            "origins": [serve.base.rstrip("/"), server.origin],
            "shots": shots,
        }
        status = subprocess.run([node, os.path.join(HERE, "folder_page.mjs"), json.dumps(want)],
                                timeout=240).returncode
        if status == SKIP:
            sys.exit(SKIP)
        rc.check(status == 0, "the page in the browser (above)")
        rc.no_violations(server)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qvdbx", required=True)
    parser.add_argument("--shots", required=True)
    args = parser.parse_args()
    rc.QVDBX = os.path.abspath(args.qvdbx)
    shots = os.path.abspath(args.shots)
    return rc.run("folder_page", {"case_folder_page": lambda: case_folder_page(shots)}, "browser.")


if __name__ == "__main__":
    sys.exit(main())
