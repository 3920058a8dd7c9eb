#!/usr/bin/env python3
"""Integration cases for qvdbx, one per CTest test:

    run_case.py --qvdbx PATH [--emulator=ARG ...] CASE

Demo cases run qvdbx over the bundled fixtures (no network). Live cases start the loopback
server of fake_dropbox.py on a free port of 127.0.0.1, run `qvdbx --live --origin ...`
against it over real HTTP, and stop it. Every run is checked for leaked credentials.
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fake_dropbox as fd  # noqa: E402

FACES = ("handler", "backend", "flat")
EXIT = {"ok": 0, "other": 1, "usage": 2, "config": 3, "auth": 4, "not_found": 5, "rate_limited": 6}
LINK_RE = re.compile(r"^https://uc[0-9a-f]{26}\.dl\.dropboxusercontent\.com/cd/0/get/[A-Za-z0-9_-]+/file\n$")
INTRO = "/Music/Sigur Rós/Ágætis byrjun/01 Intro.flac"
HUNTER = "/Music/Björk/Homogenic/01 Hunter.flac"

QVDBX = None
WINDOWS = False  # a cross-built qvdbx.exe
FFPROBE = None
EMULATOR = []  # the command that runs a cross-built qvdbx (Wine), if any
TMP = None
SECRETS = [fd.VALID_TOKEN, fd.EXPIRED_TOKEN, fd.GOOD_REFRESH, fd.REVOKED_REFRESH]


class Failed(Exception):
    pass


def check(cond, what, proc=None):
    if not cond:
        detail = ""
        if proc is not None:
            detail = "\n  exit %d\n  stdout: %r\n  stderr: %r" % (proc.returncode, proc.stdout[:2000], proc.stderr[:2000])
        raise Failed(what + detail)


def test_env(env=None, extra_env=None):
    run_env = dict(env if env is not None else os.environ)
    for name in ("DROPBOX_ACCESS_TOKEN", "DROPBOX_REFRESH_TOKEN", "DROPBOX_APP_KEY"):
        if env is None:
            run_env.pop(name, None)
    # Saved settings come from the test's own home, never the user's.
    run_env["HOME"] = os.path.join(TMP, "home")
    run_env.pop("XDG_CONFIG_HOME", None)
    run_env.update(extra_env or {})
    return run_env


def no_secrets(proc):
    for secret in SECRETS + fd.ISSUED:
        check(secret not in proc.stdout and secret not in proc.stderr, "a credential was printed", proc)
    check(re.search(r"sl\.[A-Za-z0-9_-]{12}", proc.stdout + proc.stderr) is None, "a token was printed", proc)
    return proc


def qvdbx(*args, env=None, extra_env=None):
    proc = subprocess.run(EMULATOR + [QVDBX] + list(args), capture_output=True, text=True, encoding="utf-8",
                          env=test_env(env, extra_env), timeout=90)
    return no_secrets(proc)


def expect(proc, status, what):
    check(proc.returncode == EXIT[status], "%s: expected exit %d (%s)" % (what, EXIT[status], status), proc)
    if status == "ok":
        check(proc.stderr == "", what + ": nothing on stderr when output is piped", proc)
    else:
        lines = proc.stderr.splitlines()
        check(len(lines) == 1 and lines[0].startswith("qvdbx: "), what + ": one error line", proc)


def settings(**values):
    path = os.path.join(TMP, "settings-%d.json" % len(os.listdir(TMP)))
    with open(path, "w", encoding="utf-8") as out:
        json.dump(values, out)
    return path


def live(server, *args, face="handler", token=fd.VALID_TOKEN, **settings_values):
    values = {"access_token": token} if token is not None else {}
    values.update(settings_values)
    return qvdbx("--live", "--origin", server.origin, "--face", face, "--settings", settings(**values), *args)


def no_violations(server):
    check(not server.violations, "requests broke the transport contract: %r" % server.violations[:3])


# MARK: - Demo (fixture transport, no network)

def case_demo_ls():
    proc = qvdbx("ls", "/Music")
    expect(proc, "ok", "ls /Music")
    lines = proc.stdout.splitlines()
    check(len(lines) == 7, "the two pages of /Music hold 7 live entries", proc)
    check(lines[0].split()[:3] == ["dir", "-", "Björk"], "folders show as dir with '-'", proc)
    check(any("坂本龍一" in l for l in lines) and any("Sigur Rós" in l for l in lines), "non-ASCII names", proc)
    check(not any("old mix" in l for l in lines), "the deleted entry is not listed", proc)
    check(re.search(r"^file +2\.4 KiB +Mixtape – Summer ’24\.m3u +/Music/Mixtape – Summer ’24\.m3u$",
                    proc.stdout, re.M), "file line: kind, size, name, path", proc)
    root = qvdbx("ls")
    expect(root, "ok", "ls")
    check([l.split()[-1] for l in root.stdout.splitlines()][:2] == ["/Music", "/Podcasts"], "root listing", root)


def case_demo_link():
    for face in FACES:
        proc = qvdbx("--face", face, "link", HUNTER)
        expect(proc, "ok", "link through " + face)
        check(LINK_RE.match(proc.stdout), "the stream URL alone on stdout", proc)


def case_demo_stat():
    for face in FACES:
        proc = qvdbx("--face", face, "stat", "/Music/Björk/Homogenic/02 Jóga.flac")
        expect(proc, "ok", "stat through " + face)
        check("size  28.8 MiB (30213711 bytes)" in proc.stdout, "stat shows the size", proc)
        check(re.search(r"^id    id:[A-Za-z0-9_-]{22}$", proc.stdout, re.M), "stat shows the id", proc)
    proc = qvdbx("validate")
    expect(proc, "ok", "validate")


def case_demo_json_faces():
    docs = []
    for face in FACES:
        proc = qvdbx("--face", face, "--json", "ls", "/Music")
        expect(proc, "ok", "ls --json through " + face)
        docs.append(proc.stdout)
        items = json.loads(proc.stdout)["items"]
        check(len(items) == 7 and all(i["path"].startswith("id:") for i in items), "items document", proc)
    check(docs[0] == docs[1] == docs[2], "the three faces print the same items document")


def case_demo_every_file():
    # Every file that ls lists answers stat and link, by display path and by id.
    folders, files = ["/"], []
    while folders:
        proc = qvdbx("--json", "ls", folders.pop())
        expect(proc, "ok", "ls --json")
        for item in json.loads(proc.stdout)["items"]:
            if item["folder"]:
                folders.append(item["path_display"])
            else:
                files.append(item)
    check(len(files) == 22 and any(f["path_display"].endswith(".pdf") for f in files), "the whole library walked")
    for item in files:
        for face, target in [(face, item["path_display"]) for face in FACES] + [("handler", item["id"])]:
            stat = qvdbx("--face", face, "--json", "stat", target)
            expect(stat, "ok", "stat %s through %s" % (target, face))
            check(json.loads(stat.stdout)["size"] == item["size"], "stat agrees with ls", stat)
            expect(qvdbx("--face", face, "link", target), "ok", "link %s through %s" % (target, face))


def case_module_missing():
    proc = qvdbx("--module", "/nonexistent/quendo-quendovue-dropbox-client.so", "ls")
    expect(proc, "config", "missing module")
    check("/nonexistent/quendo-quendovue-dropbox-client.so" in proc.stderr, "the error names the file", proc)


def case_symbol_missing():
    # A library that exists but exports none of the module's names.
    proc = qvdbx("--module", "kernel32.dll" if WINDOWS else "libm.so.6", "ls")
    expect(proc, "config", "module without the exports")
    check("qvdbx_list" in proc.stderr and "qvrch_get" in proc.stderr, "the error names the symbols", proc)


def case_usage():
    for args in ([], ["frobnicate"], ["link"], ["ls", "a", "b"], ["--face", "gui", "ls"],
                 ["--origin", "http://127.0.0.1:9", "ls"], ["--bogus", "ls"], ["ls", "--settings"],
                 ["playlist"], ["auth", "extra"], ["--max-wait", "soon", "ls"], ["--max-wait", "-1", "ls"],
                 ["--timeout", "0", "ls"], ["--timeout", "99999999", "ls"]):
        proc = qvdbx(*args)
        check(proc.returncode == EXIT["usage"] and proc.stderr.startswith("qvdbx: "),
              "usage error for %r" % args, proc)
    proc = qvdbx("--help")
    check(proc.returncode == 0 and proc.stdout.startswith("usage: qvdbx"), "--help", proc)


# MARK: - Live (the live transport over real HTTP to the loopback server)

def ls_pages(face):
    with fd.FakeDropbox() as server:
        proc = live(server, "ls", "/Big", face=face)
        expect(proc, "ok", "ls /Big through " + face)
        lines = proc.stdout.splitlines()
        check(len(lines) == fd.BIG_COUNT, "every page listed, the deleted entry skipped", proc)
        check(lines[0].startswith("file    2.9 MiB  track 0001.mp3  ") and "track 2500.mp3" in lines[-1],
              "entries in order", proc)
        check(server.count("/2/files/list_folder") == 1 and server.count("/2/files/list_folder/continue") == 2,
              "one first page and two continuations: %r" % server.requests[:5])
        no_violations(server)


def case_ls_pages_handler():
    ls_pages("handler")


def case_ls_pages_backend():
    ls_pages("backend")


def case_ls_pages_flat():
    ls_pages("flat")


def case_ls_json_faces():
    with fd.FakeDropbox() as server:
        docs = []
        for face in FACES:
            proc = live(server, "--json", "ls", "/Big", face=face)
            expect(proc, "ok", "ls --json through " + face)
            docs.append(json.loads(proc.stdout))
        check(docs[0] == docs[1] == docs[2], "the same items document through every face")
        check(len(docs[0]["items"]) == fd.BIG_COUNT, "all pages in one document")
        no_violations(server)


def run_on_tty(*args):
    """(exit status, everything written) for qvdbx on a pseudo-terminal."""
    import pty
    pid, fd_master = pty.fork()
    if pid == 0:
        os.execv(QVDBX, [QVDBX] + list(args))
    out = b""
    while True:
        try:
            chunk = os.read(fd_master, 65536)
        except OSError:
            break
        if not chunk:
            break
        out += chunk
    _, status = os.waitpid(pid, 0)
    return os.WEXITSTATUS(status), out.decode("utf-8", "replace")


def case_ls_progress_tty():
    with fd.FakeDropbox() as server:
        path = settings(access_token=fd.VALID_TOKEN)
        for face in FACES:
            status, text = run_on_tty("--live", "--origin", server.origin, "--face", face, "--settings", path,
                                      "ls", "/Big")
            check(status == 0, "ls on a terminal through " + face)
            check("listing /Big: 3 pages, 2500 entries" in text, "progress shown through %s: %r" % (face, text[:300]))
        server.throttle["/2/files/get_temporary_link"] = 1
        status, text = run_on_tty("--live", "--origin", server.origin, "--settings", path, "--max-wait", "1",
                                  "link", INTRO)
        check(status == 0 and "rate limited: asking again in 1 s (1 of 5)" in text, "countdown: %r" % text[:300])


def case_stat():
    with fd.FakeDropbox() as server:
        for face in FACES:
            proc = live(server, "stat", INTRO, face=face)
            expect(proc, "ok", "stat through " + face)
            check("size  8.9 MiB (9320118 bytes)" in proc.stdout and "name  01 Intro.flac" in proc.stdout,
                  "size and name", proc)
            check("id    %s" % fd._id(INTRO) in proc.stdout, "the id", proc)
            folder = live(server, "--json", "stat", "/Music/Sigur Rós", face=face)
            expect(folder, "ok", "stat of a folder through " + face)
            doc = json.loads(folder.stdout)
            check(doc["folder"] is True and doc["size"] == -1, "folder metadata", folder)
        no_violations(server)


def case_link():
    with fd.FakeDropbox() as server:
        for face in FACES:
            proc = live(server, "link", INTRO, face=face)
            expect(proc, "ok", "link through " + face)
            check(LINK_RE.match(proc.stdout), "the stream URL alone on stdout", proc)
            by_id = live(server, "link", fd._id(INTRO), face=face)
            expect(by_id, "ok", "link by id through " + face)
        no_violations(server)


def case_refresh():
    with fd.FakeDropbox() as server:
        for face in FACES:
            before = server.refreshes
            proc = live(server, "link", INTRO, face=face, token=fd.EXPIRED_TOKEN,
                        refresh_token=fd.GOOD_REFRESH, app_key=fd.APP_KEY)
            expect(proc, "ok", "link with an expired token through " + face)
            check(LINK_RE.match(proc.stdout), "the link after the refresh", proc)
            check(server.refreshes == before + 1, "exactly one refresh")
            check(server.requests[-3:] == [("/2/files/get_temporary_link", "expired"), ("/oauth2/token", None),
                                           ("/2/files/get_temporary_link", "refreshed")],
                  "401, refresh grant, retry with the new token: %r" % server.requests[-3:])
            before = server.refreshes
            proc = live(server, "ls", "/Big", face=face, token=fd.EXPIRED_TOKEN,
                        refresh_token=fd.GOOD_REFRESH, app_key=fd.APP_KEY)
            expect(proc, "ok", "ls with an expired token through " + face)
            check(len(proc.stdout.splitlines()) == fd.BIG_COUNT, "all pages after the refresh", proc)
            check(server.refreshes == before + 1, "one refresh for the whole listing")
            check(server.requests[-1] == ("/2/files/list_folder/continue", "refreshed"),
                  "continuations carry the new token")
        no_violations(server)


def case_env_credentials():
    with fd.FakeDropbox() as server:
        env = dict(os.environ, DROPBOX_ACCESS_TOKEN=fd.VALID_TOKEN)
        env.pop("DROPBOX_REFRESH_TOKEN", None)
        env.pop("DROPBOX_APP_KEY", None)
        for face in FACES:
            proc = qvdbx("--live", "--origin", server.origin, "--face", face, "ls", "/Music", env=env)
            expect(proc, "ok", "credentials from the environment through " + face)
        env.update(DROPBOX_ACCESS_TOKEN=fd.EXPIRED_TOKEN, DROPBOX_REFRESH_TOKEN=fd.GOOD_REFRESH,
                   DROPBOX_APP_KEY=fd.APP_KEY)
        proc = qvdbx("--live", "--origin", server.origin, "link", INTRO, env=env)
        expect(proc, "ok", "refresh with credentials from the environment")
        check(server.refreshes == 1, "one refresh")
        proc = qvdbx("--live", "--origin", server.origin, "validate", env=env)
        expect(proc, "ok", "validate")
        no_violations(server)


def error_case(status, args, message, **settings_values):
    with fd.FakeDropbox() as server:
        for face in FACES:
            proc = live(server, *args, face=face, **settings_values)
            expect(proc, status, "%s through %s" % (" ".join(args), face))
            check(message in proc.stderr, "the message names the failure (%r)" % message, proc)
        no_violations(server)


def case_error_config():
    error_case("config", ["link", INTRO], "access_token", token=None, refresh_token=fd.GOOD_REFRESH,
               app_key=fd.APP_KEY)
    proc = qvdbx("--live", "--origin", "http://127.0.0.1:9", "ls")
    expect(proc, "config", "--live without credentials")
    check("DROPBOX_ACCESS_TOKEN" in proc.stderr, "says where credentials come from", proc)
    proc = qvdbx("--settings", os.path.join(TMP, "absent.json"), "ls")
    expect(proc, "config", "unreadable settings file")


def case_error_auth():
    error_case("auth", ["link", INTRO], "(auth)", token="sl.B" + "Zz" * 650)
    error_case("auth", ["ls", "/Music"], "expired_access_token (auth_expired)", token=fd.EXPIRED_TOKEN)


def case_error_auth_revoked():
    error_case("auth", ["link", INTRO], "refresh invalid_grant (auth_expired)", token=fd.EXPIRED_TOKEN,
               refresh_token=fd.REVOKED_REFRESH, app_key=fd.APP_KEY)


def case_error_not_found():
    error_case("not_found", ["link", "/Music/missing.flac"], "path not found (not_found)")
    error_case("not_found", ["ls", "/Nope"], "path not found (not_found)")
    error_case("not_found", ["stat", "/Nope/a.mp3"], "path not found (not_found)")


def case_error_rate_limited():
    # Asked again 5 times (no wait with --max-wait 0), then the rate limit is the answer.
    error_case("rate_limited", ["--max-wait", "0", "link", "/rate-limited/a.mp3"], "(rate_limited, wait 60 s)")
    error_case("rate_limited", ["--max-wait", "0", "ls", "/rate-limited"], "retry after 60s")
    error_case("rate_limited", ["--max-wait", "0", "stat", "/rate-limited/a.mp3"], "rate_limited")
    with fd.FakeDropbox() as server:
        for face in FACES:
            for args, sent in ((["--max-wait", "0"], 1 + 5), (["--no-wait"], 1)):
                before = server.count("/2/files/get_temporary_link")
                proc = live(server, *args, "link", "/rate-limited/a.mp3", face=face)
                expect(proc, "rate_limited", "link %r through %s" % (args, face))
                check(server.count("/2/files/get_temporary_link") - before == sent,
                      "%d requests with %r through %s" % (sent, args, face))


def case_rate_limit_resume():
    # 429s in the middle of a listing: the flat and backend faces ask for the same page
    # again; the handler face starts the whole listing again.
    with fd.FakeDropbox() as server:
        for face, first_pages in (("flat", 1), ("backend", 1), ("handler", 3)):
            server.requests.clear()
            server.throttle["/2/files/list_folder/continue"] = 2
            proc = live(server, "--max-wait", "0", "ls", "/Big", face=face)
            expect(proc, "ok", "ls /Big with two 429s through " + face)
            check(len(proc.stdout.splitlines()) == fd.BIG_COUNT, "every entry once", proc)
            check(server.count("/2/files/list_folder") == first_pages and
                  server.count("/2/files/list_folder/continue") == 4,
                  "%s: first pages and continuations: %r" % (face, server.requests))
            for path, args in (("/2/files/get_temporary_link", ["link", INTRO]),
                               ("/2/files/get_metadata", ["stat", INTRO])):
                server.throttle[path] = 5
                proc = live(server, "--max-wait", "0", *args, face=face)
                expect(proc, "ok", "%s after five 429s through %s" % (args[0], face))
        no_violations(server)


def case_error_other():
    error_case("other", ["link", "/server-error/a.mp3"], "HTTP 500 (transport)")
    error_case("other", ["ls", "/server-error"], "HTTP 500 (transport)")
    # Nothing listens on the origin: the transport fails below HTTP.
    with fd.FakeDropbox() as server:
        origin = server.origin
    proc = qvdbx("--live", "--origin", origin, "--settings", settings(access_token=fd.VALID_TOKEN), "link", INTRO)
    expect(proc, "other", "connection refused")
    check("(transport)" in proc.stderr, "a transport failure", proc)


def case_error_transport_limits():
    # A redirect reaches the module as the answer it is; it is never followed.
    error_case("other", ["link", "/redirect/a.mp3"], "HTTP 307 (bad_request)")
    with fd.FakeDropbox() as server:
        proc = live(server, "link", "/huge/a.mp3")
        expect(proc, "other", "an answer above 64 MiB")
        check("answer larger than 64 MiB" in proc.stderr and "(transport)" in proc.stderr, "refused by the transport", proc)


def case_error_tls_unverified():
    # An HTTPS origin whose certificate nobody vouches for: the handshake must fail.
    import socket
    import ssl
    import threading
    cert, key = os.path.join(TMP, "cert.pem"), os.path.join(TMP, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                    "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(30)
    asked = []

    def serve():
        try:
            conn, _ = listener.accept()
        except OSError:
            return
        with conn:
            try:
                # Some clients check the certificate after the handshake: nothing may follow.
                with context.wrap_socket(conn, server_side=True) as tls:
                    tls.settimeout(10)
                    if tls.recv(1):
                        asked.append("a request over an unverified connection")
            except (ssl.SSLError, OSError):
                pass
    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    origin = "https://127.0.0.1:%d" % listener.getsockname()[1]
    proc = qvdbx("--live", "--origin", origin, "--settings", settings(access_token=fd.VALID_TOKEN), "link", INTRO)
    listener.close()
    thread.join(5)
    expect(proc, "other", "a self-signed certificate")
    check(re.search(r"certificate|tls|ssl", proc.stderr, re.I) and "(transport)" in proc.stderr,
          "refused by TLS", proc)
    check(not asked, "no request may follow the refused handshake: %r" % asked)


# MARK: - Playlists and a real player (ffprobe) over the links the server serves

ALBUM_ORDER = ["01 Opening.wav", "02 Theme.WAV", "10 Finale.wav", "interlude.wav", "Intro.wav"]


def read_m3u(text):
    """[(name, url)] of an extended M3U, after checking its head."""
    lines = text.splitlines()
    check(lines[:1] == ["#EXTM3U"], "the playlist begins #EXTM3U: %r" % text[:200])
    expiry = re.fullmatch(r"# the links expire at (\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ) \(4 hours after they were made\)",
                          lines[1])
    check(expiry, "the expiry line: %r" % lines[1])
    made = time.mktime(time.strptime(expiry.group(1), "%Y-%m-%dT%H:%M:%SZ")) - time.timezone
    check(abs(made - 4 * 3600 - time.time()) < 120, "the links expire 4 hours from now (UTC): %s" % expiry.group(1))
    body = lines[2:]
    check(len(body) % 2 == 0 and all(l.startswith("#EXTINF:-1,") for l in body[::2]), "EXTINF and link pairs")
    return [(info[len("#EXTINF:-1,"):], url) for info, url in zip(body[::2], body[1::2])]


def case_playlist():
    with fd.FakeDropbox() as server:
        for face in FACES:
            proc = live(server, "playlist", "/Album", face=face)
            check(proc.returncode == EXIT["other"], "a left-out file fails the run through " + face, proc)
            entries = read_m3u(proc.stdout)
            check([name for name, _ in entries] == ALBUM_ORDER,
                  "playable files only, by name whatever the case: %r" % entries)
            check(all(url.startswith(server.origin + "/cd/0/get/") for _, url in entries), "the links", proc)
            check(proc.stderr.splitlines()[-2:] == ["qvdbx: left out 05 Unavailable.mp3", "qvdbx: 1 of 6 files left out"],
                  "names the file left out", proc)
            out = os.path.join(TMP, "extras-%s.m3u" % face)
            proc = live(server, "playlist", "/Album/Extras", "-o", out, face=face)
            expect(proc, "ok", "playlist -o through " + face)
            with open(out, encoding="utf-8") as f:
                check(proc.stdout == "" and [n for n, _ in read_m3u(f.read())] == ["bonus.wav"], "written to -o")
        # An emulated program cannot be given a pseudo-terminal.
        if not WINDOWS:
            status, text = run_on_tty("--live", "--origin", server.origin, "--settings",
                                      settings(access_token=fd.VALID_TOKEN), "playlist", "/Album")
            check(status == 1 and "links 6 of 6" in text, "progress on a terminal: %r" % text[-300:])
        no_violations(server)


def probe_duration(url):
    proc = subprocess.run([FFPROBE, "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", url],
                          capture_output=True, text=True, timeout=60)
    check(proc.returncode == 0, "ffprobe reads %s" % url, proc)
    return float(proc.stdout)


def case_ffprobe():
    # A real player's probe on what qvdbx hands out: one link, and each entry of a playlist
    # as a player reads it (ffprobe takes no plain extended M3U as a whole).
    with fd.FakeDropbox() as server:
        proc = live(server, "link", "/Album/02 Theme.WAV")
        expect(proc, "ok", "link")
        check(abs(probe_duration(proc.stdout.strip()) - 2.5) < 0.01, "ffprobe: 2.5 s")
        out = os.path.join(TMP, "album.m3u")
        live(server, "playlist", "/Album", "-o", out, face="backend")
        with open(out, encoding="utf-8") as f:
            entries = read_m3u(f.read())
        for name, url in entries:
            check(abs(probe_duration(url) - fd.ALBUM[name]) < 0.01, "ffprobe: %s lasts %s s" % (name, fd.ALBUM[name]))
        check(len(entries) == 5, "every playable entry probed")


# MARK: - Sign-in (qvdbx auth against the loopback server)

def sign_in(server, *args, paste=lambda code: code + "\n", extra_env=None):
    """Runs qvdbx auth, lets the server's authorize page approve the URL it prints and
    pastes what `paste(code)` gives. (the finished run, the code)."""
    proc = subprocess.Popen(EMULATOR + [QVDBX, "auth", "--origin", server.origin] + list(args),
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            encoding="utf-8", env=test_env(None, extra_env))
    # Raw reads up to the URL's line, so that nothing printed waits unseen in a buffer.
    # (A Windows program ends its lines with CR LF.)
    raw = b""
    while not re.search(rb"^  https://\S+\r?\n", raw, re.M):
        chunk = os.read(proc.stdout.fileno(), 4096)
        if not chunk:
            break
        raw += chunk
    shown = raw.decode("utf-8").replace("\r\n", "\n")
    url = re.search(r"^  (https://\S+)$", shown, re.M)
    code = server.approve(url.group(1)) if url else ""
    out, err = proc.communicate(paste(code), timeout=60)
    return no_secrets(subprocess.CompletedProcess(args, proc.returncode, shown + out, err)), code


def saved_file(home=None):
    return os.path.join(home or os.path.join(TMP, "home", ".config"), "qvdbx", "settings.json")


def private(path, mode=0o600):
    """True when `path` has the mode (Windows: exists; its folder is the user's own)."""
    return os.path.exists(path) if WINDOWS else os.stat(path).st_mode & 0o777 == mode


def case_auth_sign_in():
    # Windows (Wine's %APPDATA% lies in its prefix) names the file; elsewhere the default place.
    named = ["--settings", os.path.join(TMP, "named", "settings.json")] if WINDOWS else []
    if named:
        os.makedirs(os.path.dirname(named[1]))
    with fd.FakeDropbox() as server:
        proc, code = sign_in(server, "--app-key", fd.APP_KEY, *named)
        expect(proc, "ok", "sign-in")
        check("  https://www.dropbox.com/oauth2/authorize?client_id=%s&response_type=code&code_challenge=" % fd.APP_KEY
              in proc.stdout and "paste the access code" in proc.stdout, "the authorize URL and the prompt", proc)
        path = named[1] if named else saved_file()
        with open(path, encoding="utf-8") as f:
            saved = json.load(f)
        check(set(saved) == {"access_token", "refresh_token", "app_key"} and saved["app_key"] == fd.APP_KEY and
              saved["access_token"] in server.valid_tokens and saved["refresh_token"] in server.refresh_tokens,
              "the settings hold the tokens handed out and the app key")
        check(private(path) and (named or private(os.path.dirname(path), 0o700)), "modes 0600 and 0700")
        check(os.listdir(os.path.dirname(path)) == ["settings.json"], "no temporary or pending file left")
        # The saved settings are the default of --live, also once the access token expired.
        for face in FACES:
            expect(qvdbx("--live", "--origin", server.origin, "--face", face, *named, "ls", "/Music"), "ok",
                   "ls with the saved settings through " + face)
        server.expired.add(saved["access_token"])
        expect(qvdbx("--live", "--origin", server.origin, *named, "link", INTRO), "ok", "link past the token's life")
        check(server.refreshes == 1, "the saved refresh token renewed the access token")
        # A code serves once; a code given for another challenge fails the verifier.
        again, _ = sign_in(server, "--app-key", fd.APP_KEY, *named, paste=lambda _: code + "\n")
        other = server.approve("https://www.dropbox.com/oauth2/authorize?client_id=%s&response_type=code&"
                               "code_challenge=%s&code_challenge_method=S256&token_access_type=offline"
                               % (fd.APP_KEY, "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"))
        wrong, _ = sign_in(server, "--app-key", fd.APP_KEY, *named, paste=lambda _: other + "\n")
        for proc in (again, wrong):
            expect(proc, "auth", "a used code, a wrong verifier")
            check("invalid_grant" in proc.stderr, "says the code is refused", proc)
        with open(path, encoding="utf-8") as f:
            check(json.load(f) == saved, "a failed sign-in leaves the saved settings")
        xdg = os.path.join(TMP, "xdg")
        proc, _ = sign_in(server, *named, extra_env={"XDG_CONFIG_HOME": xdg, "DROPBOX_APP_KEY": fd.APP_KEY})
        expect(proc, "ok", "sign-in with the app key from the environment")
        check(named or private(saved_file(xdg)), "saved under XDG_CONFIG_HOME")
        no_violations(server)


def case_auth_two_steps():
    # The page's code given later with --code, and the failures before any token.
    with fd.FakeDropbox() as server:
        target = os.path.join(TMP, "mine.json")
        proc, code = sign_in(server, "--app-key", fd.APP_KEY, "--settings", target, paste=lambda _: "")
        expect(proc, "auth", "no code pasted")
        check("qvdbx auth --code CODE" in proc.stderr and private(target + ".pending"),
              "the sign-in waits for its code", proc)
        proc = qvdbx("auth", "--origin", server.origin, "--settings", target, "--code", code)
        expect(proc, "ok", "auth --code")
        check(private(target) and not os.path.exists(target + ".pending"), "saved with --settings")
        closed = fd.FakeDropbox().start()
        origin = closed.origin
        closed.stop()
        for args, status, message in (
                (["--code", "x"], "config", "no sign-in waits"),
                ([], "config", "no app key"),
                (["--app-key", fd.APP_KEY, "--origin", origin], "other", "the token request failed"),
                (["--revoke"], "config", "not signed in")):
            proc, _ = sign_in(server, "--settings", os.path.join(TMP, "none.json"), *args)
            expect(proc, status, "auth %r" % args)
            check(message in proc.stderr, "says why (%r)" % message, proc)
        no_violations(server)


def case_auth_revoke():
    with fd.FakeDropbox() as server:
        for expire in (False, True):
            target = os.path.join(TMP, "revoke-%d.json" % expire)
            proc, _ = sign_in(server, "--app-key", fd.APP_KEY, "--settings", target)
            expect(proc, "ok", "sign-in")
            with open(target, encoding="utf-8") as f:
                saved = json.load(f)
            if expire:
                server.expired.add(saved["access_token"])
            proc = qvdbx("auth", "--revoke", "--origin", server.origin, "--settings", target)
            expect(proc, "ok", "revoke (access token expired: %s)" % expire)
            check("revoked" in proc.stdout and not os.path.exists(target), "the file is deleted", proc)
            check(saved["refresh_token"] not in server.refresh_tokens and server.revoked, "revoked at the server")
            check(server.requests[-1] == ("/2/auth/token/revoke", "refreshed"), "the revoke request carries the token")
        # Tokens revoked elsewhere: nothing left to revoke, the file goes.
        target = settings(access_token=fd.VALID_TOKEN + "gone")
        proc = qvdbx("auth", "--revoke", "--origin", server.origin, "--settings", target)
        expect(proc, "ok", "revoke of dead tokens")
        check("no longer valid" in proc.stdout and not os.path.exists(target), "the file is deleted", proc)
        no_violations(server)


# MARK: - The live transport under a hostile server

def case_hostile_server():
    import hostile_server as hs
    for mode, scheme, message in (("huge", "http", "answer larger than 64 MiB"),
                                  ("truncated", "http", "transfer closed with 900 bytes remaining"),
                                  ("silent", "http", "timed out"),
                                  ("chunked", "http", "chunk"),
                                  ("plain", "https", "SSL")):
        if WINDOWS and mode == "silent":
            continue  # Wine's WinHTTP ignores its receive time-out and waits for the server
        with hs.HostileServer(mode) as server:
            origin = "%s://127.0.0.1:%d" % (scheme, server.port)
            for face in FACES:
                proc = qvdbx("--live", "--origin", origin, "--timeout", "1", "--face", face,
                             "--settings", settings(access_token=fd.VALID_TOKEN), "link", INTRO)
                expect(proc, "other", "%s server through %s" % (mode, face))
                if WINDOWS and mode == "chunked":
                    # Wine's WinHTTP takes a malformed chunk size for the end of the body; the
                    # module then refuses the empty answer itself.
                    check("(protocol)" in proc.stderr, "refused by the module", proc)
                    continue
                # The messages are libcurl's; another platform's client words them its own way.
                check((WINDOWS or message in proc.stderr) and "(transport)" in proc.stderr,
                      "says what went wrong: " + mode, proc)


def parse_arguments(flags=()):
    """Reads the command line (with the extra boolean `flags`) into this module's settings."""
    global QVDBX, FFPROBE, WINDOWS
    parser = argparse.ArgumentParser()
    parser.add_argument("--qvdbx", required=True)
    parser.add_argument("--emulator", action="append", default=[])
    parser.add_argument("--ffprobe")
    for flag in flags:
        parser.add_argument(flag, action="store_true")
    parser.add_argument("case")
    args = parser.parse_args()
    QVDBX = os.path.abspath(args.qvdbx)
    WINDOWS = QVDBX.endswith(".exe")
    EMULATOR[:] = args.emulator
    FFPROBE = args.ffprobe
    return args


def run(name, cases, label=""):
    """Runs cases["case_" + name] in a temporary folder of its own; the exit status."""
    global TMP
    case = cases.get("case_" + name)
    if case is None:
        print("unknown case " + name)
        return 2
    with tempfile.TemporaryDirectory() as tmp:
        TMP = tmp
        try:
            case()
        except Failed as failure:
            print("FAIL %s%s: %s" % (label, name, failure))
            return 1
    print("PASS %s%s" % (label, name))
    return 0


def main():
    return run(parse_arguments().case, globals())


if __name__ == "__main__":
    sys.exit(main())
