#!/usr/bin/env python3
"""scripts/debian-mirror.sh against apt source folders of every shape it must read:

    check_debian_mirror.py SCRIPT
"""
import os
import subprocess
import sys
import tempfile

MIRROR = "http://mirror.example/debian"
OTHER = "http://other.example/debian"
SECURITY = """Types: deb
URIs: http://mirror.example/debian-security
Suites: bookworm-security
Components: main
"""

# (what, {file: text}, printed URI or None for a failure)
CASES = [
    ("deb822 main stanza after the security one",
     {"sources.list.d/debian.sources": SECURITY + "\nTypes: deb\n# a comment\nURIs: %s/\n"
      "Suites: bookworm bookworm-updates\nComponents: main\n" % MIRROR}, MIRROR),
    ("deb822 without a final newline",
     {"sources.list.d/debian.sources": "Types: deb\nURIs: %s\nSuites: bookworm" % MIRROR}, MIRROR),
    ("deb822 source-only and disabled stanzas skipped",
     {"sources.list.d/a.sources": "Types: deb-src\nURIs: %s\nSuites: bookworm\n\n"
      "Types: deb\nURIs: %s\nSuites: bookworm\nEnabled: no\n\n"
      "Types: deb deb-src\nURIs: %s %s\nSuites: bookworm\n" % (OTHER, OTHER, MIRROR, OTHER)}, MIRROR),
    ("deb822 of another release only, one-line file for this one",
     {"sources.list.d/a.sources": "Types: deb\nURIs: %s\nSuites: testing\n" % OTHER,
      "sources.list": "# deb %s bookworm main\ndeb [signed-by=/k.gpg arch=amd64] %s bookworm main\n"
      % (OTHER, MIRROR)}, MIRROR),
    ("one-line, the updates suite is not the release",
     {"sources.list": "deb %s bookworm-updates main\ndeb-src %s bookworm main\n" % (OTHER, OTHER)}, None),
    ("nothing configured", {}, None),
]


def run(script, files):
    with tempfile.TemporaryDirectory() as etc:
        os.mkdir(os.path.join(etc, "sources.list.d"))
        for name, text in files.items():
            with open(os.path.join(etc, name), "w") as out:
                out.write(text)
        return subprocess.run(["bash", script, "bookworm"], capture_output=True, text=True,
                              env=dict(os.environ, APT_ETC=etc))


def main():
    failures = 0
    for what, files, expected in CASES:
        proc = run(sys.argv[1], files)
        got = proc.stdout.strip() if proc.returncode == 0 else None
        if got != expected or (expected is None and "no source for bookworm" not in proc.stderr):
            print("FAIL %s: got %r (exit %d, %r), expected %r" % (what, got, proc.returncode, proc.stderr,
                                                                   expected))
            failures += 1
    print("debian-mirror: %d of %d cases right" % (len(CASES) - failures, len(CASES)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
