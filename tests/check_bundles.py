#!/usr/bin/env python3
"""Checks the release bundles as a host developer receives them, one CTest test each:

    check_bundles.py --cpack CPACK --config CPackConfig.cmake --version X.Y.Z
                     [--emulator=ARG ...] linux|zip

linux: makes the .tar.gz and the .deb, unpacks each into a fresh prefix, checks that it
holds exactly the bundle's files, and runs the installed qvdbx from another folder with
no option: `ls /Music` over the installed demo, then down the first folder of each
listing to a file, and `link` on that file.
zip: makes the Windows .zip and does the same with qvdbx.exe under the emulator (Wine),
and checks the notes for host developers.
"""
import argparse
import glob
import os
import re
import subprocess
import sys
import tempfile
import zipfile

PRODUCT = "quendo-quendovue-dropbox-client"
DEMO = ["fixtures/demo.json", "fixtures/demo-settings.json"]
LINUX_FILES = ["bin/qvdbx", "lib/%s/%s.so" % (PRODUCT, PRODUCT), "include/qvdbx.h"] + \
    ["share/%s/%s" % (PRODUCT, f) for f in DEMO]
ZIP_FILES = ["%s.dll" % PRODUCT, "qvdbx.exe", "include/qvdbx.h", "HOST-DEVELOPERS.txt",
             "licenses/yyjson-LICENSE.txt"] + DEMO
# What the notes must tell a Windows host developer.
HOST_NOTES = ["LoadLibrary", "GetProcAddress", "quendo_io.free", "qvdbx_fuzz_build_locator", "msvcrt.dll"]
LINK_RE = re.compile(r"^https://[^\s]+\.dropboxusercontent\.com/\S+\n$")
FILE_LINE = re.compile(r"^(dir|file) .*?  (/\S.*)$")


class Failed(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failed(what)


def make_bundle(args, generator, out):
    proc = subprocess.run([args.cpack, "--config", args.config, "-G", generator, "-B", out],
                          capture_output=True, text=True)
    check(proc.returncode == 0, "cpack -G %s failed:\n%s%s" % (generator, proc.stdout, proc.stderr))
    made = [p for p in glob.glob(os.path.join(out, "*")) if os.path.isfile(p)]
    check(len(made) == 1, "cpack -G %s made %r" % (generator, made))
    return made[0]


def files_under(root):
    found = []
    for folder, _, names in os.walk(root):
        found += [os.path.relpath(os.path.join(folder, n), root).replace(os.sep, "/") for n in names]
    return sorted(found)


def run_qvdbx(command, *args):
    env = {k: v for k, v in os.environ.items() if not k.startswith("DROPBOX_")}
    with tempfile.TemporaryDirectory() as elsewhere:
        proc = subprocess.run(command + list(args), capture_output=True, text=True, encoding="utf-8",
                              cwd=elsewhere, env=env, timeout=90)
    check(proc.returncode == 0 and proc.stderr == "",
          "qvdbx %s: exit %d\n  stdout: %r\n  stderr: %r" % (" ".join(args), proc.returncode,
                                                            proc.stdout[:1000], proc.stderr[:1000]))
    return proc.stdout


def browse_and_link(command):
    """ls /Music, down the first folder until a listing has none, link its first file."""
    folder = "/Music"
    for _ in range(8):
        entries = [FILE_LINE.match(line) for line in run_qvdbx(command, "ls", folder).splitlines()]
        check(entries and all(entries), "ls %s: one entry per line" % folder)
        folders = [m.group(2) for m in entries if m.group(1) == "dir"]
        if not folders:
            url = run_qvdbx(command, "link", entries[0].group(2))
            check(LINK_RE.match(url), "link %s printed %r" % (entries[0].group(2), url))
            return
        folder = folders[0]
    raise Failed("no file below /Music")


def check_prefix(root, expected, command):
    check(files_under(root) == sorted(expected),
          "bundle holds %r, expected %r" % (files_under(root), sorted(expected)))
    browse_and_link(command)


def only_folder(path):
    inner = os.listdir(path)
    check(len(inner) == 1, "one top folder in the bundle, not %r" % inner)
    return os.path.join(path, inner[0])


def bundle_linux(args, tmp):
    tgz = make_bundle(args, "TGZ", os.path.join(tmp, "tgz"))
    check(tgz.endswith("%s-%s-Linux.tar.gz" % (PRODUCT, args.version)), "name of " + tgz)
    unpacked = os.path.join(tmp, "tgz-prefix")
    os.mkdir(unpacked)
    subprocess.run(["tar", "-xzf", tgz, "-C", unpacked], check=True)
    prefix = only_folder(unpacked)
    check_prefix(prefix, LINUX_FILES, [os.path.join(prefix, "bin", "qvdbx")])

    deb = make_bundle(args, "DEB", os.path.join(tmp, "deb"))
    fields = subprocess.run(["dpkg-deb", "-f", deb, "Package", "Version", "Depends"], capture_output=True,
                            text=True, check=True).stdout
    check("Package: %s\n" % PRODUCT in fields and "Version: %s\n" % args.version in fields,
          "deb control fields: %r" % fields)
    check("libyyjson0 (>= 0.12)" in fields, "the deb depends on yyjson 0.12's library: %r" % fields)
    check(fields.count("libyyjson0") == 1, "the deb names its yyjson dependency once: %r" % fields)
    root = os.path.join(tmp, "deb-root")
    subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
    check_prefix(os.path.join(root, "usr"), LINUX_FILES, [os.path.join(root, "usr", "bin", "qvdbx")])


def bundle_zip(args, tmp):
    archive = make_bundle(args, "ZIP", os.path.join(tmp, "zip"))
    check(archive.endswith("%s-%s-win64.zip" % (PRODUCT, args.version)), "name of " + archive)
    unpacked = os.path.join(tmp, "unzipped")
    with zipfile.ZipFile(archive) as bundle:
        bundle.extractall(unpacked)
    folder = only_folder(unpacked)
    with open(os.path.join(folder, "HOST-DEVELOPERS.txt"), encoding="utf-8") as notes:
        text = notes.read()
    missing = [word for word in HOST_NOTES if word not in text]
    check(not missing, "the notes for host developers do not mention %r" % missing)
    check_prefix(folder, ZIP_FILES, args.emulator + [os.path.join(folder, "qvdbx.exe")])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--config", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--emulator", action="append", default=[])
    parser.add_argument("kind", choices=["linux", "zip"])
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        try:
            (bundle_linux if args.kind == "linux" else bundle_zip)(args, tmp)
        except Failed as failure:
            print("FAIL bundle %s: %s" % (args.kind, failure))
            return 1
    print("PASS bundle " + args.kind)
    return 0


if __name__ == "__main__":
    sys.dont_write_bytecode = True
    sys.exit(main())
