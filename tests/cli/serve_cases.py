#!/usr/bin/env python3
"""Integration cases of qvdbx serve, one per CTest test:

    serve_cases.py --qvdbx PATH [--emulator=ARG ...] [--ffprobe PATH] [--sanitized] CASE

Each case starts the loopback stand-in of Dropbox (fake_dropbox.py), runs
`qvdbx --live serve FOLDER --listen 127.0.0.1:0` against it, reads the base URL from the
first line it prints and talks HTTP to it: http.client where it will send the request,
a raw socket where it refuses (control characters, no Host). The stand-in records every
path that reaches it; none may lie outside the served folder. `--sanitized` says qvdbx
is an ASan build, whose memory is not held to the bound of a release build.
"""
import http.client
import os
import random
import re
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.parse

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fake_dropbox as fd  # noqa: E402
import run_case as rc  # noqa: E402

check = rc.check
SANITIZED = False
FIRST_LINE = re.compile(r"^Serving (/.*) at (http://(\S+?):(\d+)/(\S*)) \(Ctrl-C stops\)$")
ACCESS_LINE = re.compile(r"^(GET|HEAD|POST|PUT|DELETE|OPTIONS) (\S+) (\d{3}) \d+\.\d ms( \(.+\))?$")
LINK_LIFE = 4 * 3600 - 600  # the default --link-ttl
RELEASE_PEAK_MIB = 96       # peak resident memory allowed for the load in a release build
# /Album's playable files by name: qvdbx playlist's order, and the one whose link Dropbox refuses.
M3U_ORDER = rc.ALBUM_ORDER[:2] + [fd.UNAVAILABLE.rsplit("/", 1)[1]] + rc.ALBUM_ORDER[2:]


class Serve:
    """A running `qvdbx --live serve`: its base URL, and its access log as it comes."""

    def __init__(self, server, folder="/Album", *args, face="handler", token=fd.VALID_TOKEN, listen="127.0.0.1:0",
                 origin=None, **settings_values):
        values = {"access_token": token}
        values.update(settings_values)
        command = rc.EMULATOR + [rc.QVDBX, "--live", "--origin", origin or server.origin, "--face", face,
                                 "--settings", rc.settings(**values), "serve", folder, "--listen", listen] + list(args)
        self.proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     encoding="utf-8", env=rc.test_env())
        self.log = []
        self.first = self.proc.stdout.readline().rstrip("\n")
        self.reader = threading.Thread(target=self._read_log, daemon=True)
        self.reader.start()
        found = FIRST_LINE.match(self.first)
        if not found:
            self.proc.kill()
            self.proc.wait()
            raise rc.Failed("serve did not start: %r, %r" % (self.first, self.log))
        self.folder, self.base, self.host, port, self.key = found.groups()
        self.port = int(port)
        self.key = self.key.rstrip("/")

    def _read_log(self):
        for line in self.proc.stderr:
            self.log.append(line.rstrip("\n"))

    @property
    def pid(self):
        return self.proc.pid

    def stop(self, sig=signal.SIGTERM):
        """Sends `sig` and checks that it ends with status 0 (a sanitizer's finding would
        change it) and logged no credential; the seconds it took."""
        start = time.monotonic()
        self.proc.send_signal(sig)
        try:
            status = self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = self.proc.wait()
        elapsed = time.monotonic() - start
        self.reader.join(5)
        self.proc.stdout.close()
        text = "\n".join(self.log)
        check(status == 0, "serve ended with status %d: %s" % (status, text[-3000:]))
        check(not any(secret in text for secret in rc.SECRETS + fd.ISSUED) and
              re.search(r"sl\.[A-Za-z0-9_-]{12}", text) is None, "a credential was logged")
        return elapsed

    def __enter__(self):
        return self

    def __exit__(self, failure, *exc):
        if self.proc.poll() is not None:
            return
        if failure is None:
            self.stop()
        else:
            self.proc.kill()
            self.proc.wait()


def request(serve, target, method="GET", headers=None, conn=None):
    """(status, headers with lower-case names, body) of one request."""
    own = conn is None
    conn = conn or http.client.HTTPConnection("127.0.0.1", serve.port, timeout=30)
    try:
        conn.request(method, target, headers=headers or {})
        answer = conn.getresponse()
        return answer.status, {k.lower(): v for k, v in answer.getheaders()}, answer.read()
    finally:
        if own:
            conn.close()


def raw_request(serve, data):
    """The status of a request sent byte for byte (Connection: close), 0 when the server
    closed without an answer."""
    with socket.create_connection(("127.0.0.1", serve.port), timeout=30) as sock:
        sock.sendall(data)
        answer = b""
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            answer += chunk
    status = re.match(rb"HTTP/1\.[01] (\d{3}) ", answer)
    return (int(status.group(1)) if status else 0), answer


def path_of(name):
    return "/" + urllib.parse.quote(name, safe="/")


def confined(server, folder):
    """Every path that reached the stand-in lies inside `folder`."""
    outside = [t for _, t in server.targets
               if t is not None and not (t.lower() == folder.lower() or t.lower().startswith(folder.lower() + "/"))]
    check(not outside, "paths outside %s reached Dropbox: %r" % (folder, outside[:5]))
    rc.no_violations(server)


def entries_of(body):
    """[(title, url)] of an M3U of stable URLs (no expiry line)."""
    lines = body.decode("utf-8").splitlines()
    check(lines[:1] == ["#EXTM3U"] and not any("expire" in l for l in lines), "an M3U without expiry: %r" % lines[:3])
    body_lines = [l for l in lines[1:] if not l.startswith("# ")]
    return [(info[len("#EXTINF:-1,"):], url) for info, url in zip(body_lines[::2], body_lines[1::2])]


# MARK: - Routes: files, folders, playlists, items, the page, a real player

def case_routes():
    with fd.FakeDropbox() as server, Serve(server, "/Album") as serve:
        check(serve.first == "Serving /Album at http://127.0.0.1:%d/ (Ctrl-C stops)" % serve.port, serve.first)
        sent = 0

        def get(target, **kw):
            nonlocal sent
            sent += 1
            return request(serve, target, **kw)

        status, head, body = get("/01%20Opening.wav")
        check(status == 302 and head["location"] in server.links_made["/album/01 opening.wav"], "a file: 302 to its link")
        age = int(re.fullmatch(r"private, max-age=(\d+)", head["cache-control"]).group(1))
        check(LINK_LIFE - 5 <= age <= LINK_LIFE and body == b"", "max-age is the link's life left: %d" % age)

        status, head, body = get("/?format=m3u")
        check(status == 200 and head["content-type"] == "audio/x-mpegurl; charset=utf-8", "the playlist type")
        entries = entries_of(body)
        check([t for t, _ in entries] == M3U_ORDER, "playable files in the order of qvdbx playlist: %r" % entries)
        check([u for _, u in entries] == [serve.base + urllib.parse.quote(n) for n in M3U_ORDER],
              "stable absolute URLs: %r" % entries)
        status, _, body = get("/?format=m3u&recursive=1")
        live = sorted(n for n in fd.ALBUM if n.startswith(fd.LIVE + "/"))  # its names start with their numbers
        check([t for t, _ in entries_of(body)] == M3U_ORDER + live + ["Extras/bonus.wav"], "subfolders after the files")
        status, _, body = get("/?format=m3u", headers={"Host": "localhost:%d" % serve.port})
        check(all(u.startswith("http://localhost:%d/" % serve.port) for _, u in entries_of(body)),
              "URLs use the address the client asked for")
        status, answer = raw_request(serve, b"GET /?format=m3u HTTP/1.0\r\n\r\n")
        sent += 1
        check(status == 200 and ("\nhttp://127.0.0.1:%d/01%%20Opening.wav\n" % serve.port).encode() in answer,
              "without Host, the listen address")

        status, head, body = get("/?format=json")
        items = __import__("json").loads(body)["items"]
        urls = {i["name"]: i.get("url") for i in items}
        check(status == 200 and head["content-type"] == "application/json", "the items document")
        check(urls["Extras"] == serve.base + "Extras/" and urls["02 Theme.WAV"] == serve.base + "02%20Theme.WAV",
              "each entry with its URL: %r" % urls)
        check(get(urllib.parse.urlsplit(urls["Intro.wav"]).path)[0] == 302, "an items URL redirects")

        status, head, body = get("/Extras/")
        page = body.decode("utf-8")
        check(status == 200 and head["content-type"] == "text/html; charset=utf-8", "the page")
        check(head.get("x-content-type-options") == "nosniff" and head.get("referrer-policy") == "no-referrer"
              and "script-src 'unsafe-inline'" in head.get("content-security-policy", "")
              and "default-src 'none'" in head["content-security-policy"],
              "the page loads nothing of other hosts' and sends no referrer: %r" % head)
        check("Liner &lt;notes&gt; &amp; 100% #1?.txt" in page and "<notes>" not in page, "names escaped")
        check('href="Liner%20%3Cnotes%3E%20%26%20100%25%20%231%3F.txt"' in page, "links percent-encoded")
        check(page.index("bonus.wav") < page.index("Liner") and "4,321" in page and 'href="?format=m3u"' in page,
              "files in order with sizes, and the playlist link")
        status, _, body = get("/")
        page = body.decode("utf-8")
        check(page.index('href="Extras/"') < page.index('href="01%20Opening.wav"'), "subfolders before files")

        for target, status_wanted, location in (("/Extras", 301, "/Extras/"),
                                                ("/Extras?format=m3u", 301, "/Extras/?format=m3u"),
                                                ("/nope.wav", 404, None), ("/Nope/", 404, None),
                                                ("/01%20Opening.wav/", 404, None),
                                                ("/?format=xml", 400, None), ("/?format=m3u&recursive=yes", 400, None)):
            status, head, body = get(target)
            check(status == status_wanted and head.get("location") == location, "%s: %d %r" % (target, status, head))
            if status >= 400:
                check(head["content-type"] == "text/plain; charset=utf-8" and body.count(b"\n") == 1,
                      "one line of text: %r" % body)
        for target, wanted in (("/", 200), ("/Intro.wav", 302)):
            status, _, body = get(target, method="HEAD")
            check(status == wanted and body == b"", "HEAD %s" % target)

        if rc.FFPROBE:
            check(abs(rc.probe_duration(serve.base + "02%20Theme.WAV") - 2.5) < 0.01, "ffprobe through the stable URL")
            _, _, body = get("/?format=m3u")
            played = [(t, u) for t, u in entries_of(body) if t in fd.ALBUM]
            for title, url in played:
                check(abs(rc.probe_duration(url) - fd.ALBUM[title]) < 0.01, "ffprobe: %s" % title)
            check(len(played) == 5, "every entry with sound probed")
        serve.stop()
        ours = [l for l in serve.log if ACCESS_LINE.match(l)]
        check(len(ours) == len(serve.log) and len(ours) >= sent, "one access line per request: %r" % serve.log[:5])
        check("GET /?format=m3u&recursive=1 200 " in "\n".join(serve.log), "method, target, status, time")
        confined(server, "/Album")


# MARK: - Links and listings: made once, kept for their time

def case_links():
    with fd.FakeDropbox() as server:
        for face in rc.FACES:
            with Serve(server, "/Album", face=face) as serve:
                answers = {request(serve, "/Intro.wav")[1]["location"] for _ in range(50)}
                check(len(answers) == 1 and server.link_count("/Album/Intro.wav") == 1,
                      "%s: 50 requests, one link made: %d" % (face, server.link_count("/Album/Intro.wav")))
                server.links_made.clear()
                server.targets.clear()
                # Requests at once for a file not yet linked wait for the one link being made.
                threads = [threading.Thread(target=request, args=(serve, "/interlude.wav")) for _ in range(16)]
                for t in threads:
                    t.start()
                for t in threads:
                    t.join()
                check(server.link_count("/Album/interlude.wav") == 1, "%s: concurrent requests, one link" % face)
                for _ in range(3):
                    request(serve, "/Extras/?format=m3u")
                check(sum(1 for p, t in server.targets if t == "/Album/Extras") == 1, "a listing is kept")
            server.targets.clear()
        with Serve(server, "/Album", "--link-ttl", "1", "--dir-ttl", "0") as serve:
            first = request(serve, "/10%20Finale.wav")[1]
            check(first["cache-control"] in ("private, max-age=1", "private, max-age=0"), "max-age within --link-ttl")
            again = request(serve, "/10%20Finale.wav")[1]
            time.sleep(1.2)
            later = request(serve, "/10%20Finale.wav")[1]
            check(again["location"] == first["location"] != later["location"] and
                  server.link_count("/Album/10 Finale.wav") == 2, "a new link once the old one's time is up")
            for _ in range(3):
                request(serve, "/?format=m3u")
            check(sum(1 for p, t in server.targets if t == "/Album") == 3, "--dir-ttl 0 keeps no listing")
        confined(server, "/Album")


# MARK: - Dropbox failing, as players understand it

def case_upstream():
    with fd.FakeDropbox() as server:
        # A rate limit: 503 with its wait at once, cached links go on, nothing else is asked.
        with Serve(server, "/Album", "--max-wait", "2") as serve:
            check(request(serve, "/Intro.wav")[0] == 302, "a link made before")
            server.throttle["/2/files/get_temporary_link"] = 1
            status, head, body = request(serve, "/01%20Opening.wav")
            check(status == 503 and head["retry-after"] == "2" and body == b"rate limited by Dropbox: retry after 2 s\n",
                  "429 upstream: 503 with Retry-After: %d %r %r" % (status, head, body))
            started = time.monotonic()
            status, head, _ = request(serve, "/02%20Theme.WAV")
            check(status == 503 and head["retry-after"] in ("1", "2") and time.monotonic() - started < 0.5,
                  "while the wait lasts, 503 at once")
            check(server.link_count("/Album/02 Theme.WAV") == 0, "without asking Dropbox")
            check(request(serve, "/Intro.wav")[0] == 302, "cached links keep working")
            time.sleep(2.1)
            check(request(serve, "/01%20Opening.wav")[0] == 302, "after the wait, links again")
        with Serve(server, "/Album") as serve:
            server.throttle["/2/files/list_folder"] = 1
            status, head, _ = request(serve, "/?format=m3u")
            check(status == 503 and head["retry-after"] == "60", "the module's own wait without --max-wait")

        # An expired token is refreshed once and kept, through every face.
        for face in rc.FACES:
            before = server.refreshes
            with Serve(server, "/Album", face=face, token=fd.EXPIRED_TOKEN, refresh_token=fd.GOOD_REFRESH,
                       app_key=fd.APP_KEY) as serve:
                for target in ("/Intro.wav", "/01%20Opening.wav", "/?format=m3u", "/Extras/bonus.wav"):
                    check(request(serve, target)[0] in (200, 302), "%s through %s after a refresh" % (target, face))
            check(server.refreshes == before + 1, "%s: one refresh for the bridge's life" % face)

        # Failures that a request cannot mend.
        with Serve(server, "/Album", token="sl.B" + "Zz" * 650) as serve:
            status, _, body = request(serve, "/Intro.wav")
            check(status == 502 and body == b"bad gateway: Dropbox failed\n", "a rejected token: 502")
            serve.stop()
            check(any(re.search(r" 502 .*\(auth: ", l) for l in serve.log), "the log says why: %r" % serve.log)
        with Serve(server, "/Album") as serve:
            for target, wanted, text in (("/missing.wav", 404, b"not found\n"),
                                         ("/05%20Unavailable.mp3", 502, b"bad gateway: Dropbox gives no link for this file\n")):
                status, _, body = request(serve, target)
                check(status == wanted and body == text, "%s: %d %r" % (target, status, body))
        confined(server, "/Album")
    closed = fd.FakeDropbox().start()
    origin = closed.origin
    closed.stop()
    with fd.FakeDropbox() as server, Serve(server, "/Album", origin=origin) as serve:
        status, _, body = request(serve, "/Intro.wav")
        check(status == 502 and body == b"bad gateway: Dropbox failed\n", "no way to Dropbox: 502")
        serve.stop()
        check(any(re.search(r" 502 .*\(transport: ", l) for l in serve.log), "the log says why: %r" % serve.log)


# MARK: - Security: one table, then the server still answers

def security_table(port):
    """(method, target, headers or None for none at all, expected status)."""
    here = "127.0.0.1:%d" % port
    return [
        ("GET", b"/../notes.txt", here, 400), ("GET", b"/%2e%2e/notes.txt", here, 400),
        ("GET", b"/%2E%2e/notes.txt", here, 400), ("GET", b"/.%2e/notes.txt", here, 400),
        ("GET", b"/Extras/./bonus.wav", here, 400), ("GET", b"/Extras/..", here, 400),
        ("GET", b"/Extras/%2e%2e/", here, 400), ("GET", b"/Extras%2fbonus.wav", here, 400),
        ("GET", b"/Extras%2Fbonus.wav", here, 400), ("GET", b"/..%2f..%2fnotes.txt", here, 400),
        ("GET", b"/..%5cnotes.txt", here, 400), ("GET", b"/..\\notes.txt", here, 400),
        ("GET", b"/%00x.wav", here, 400), ("GET", b"/a%0Ab.wav", here, 400), ("GET", b"/a%7Fb", here, 400),
        ("GET", b"/a\x01b.wav", here, 400), ("GET", b"/%C3%28.wav", here, 400), ("GET", b"/%ff", here, 400),
        ("GET", b"/%C0%AE%C0%AE/notes.txt", here, 400), ("GET", b"/%ED%A0%80", here, 400),
        ("GET", b"/%zz", here, 400), ("GET", b"/%4", here, 400), ("GET", b"//notes.txt", here, 400),
        ("GET", b"/Extras?format=m3u&x=\x01", here, 400),
        ("GET", b"http://127.0.0.1/notes.txt", here, 400),
        ("GET", b"/" + b"a" * 9000, here, 414), ("GET", b"/" + b"a" * 40000, here, 414),
        ("GET", b"/Intro.wav", "evil.example", 403), ("GET", b"/Intro.wav", "evil.example:%d" % port, 403),
        ("GET", b"/?format=json", "127.0.0.1.evil.example", 403), ("GET", b"/", "localhost.", 403),
        ("GET", b"/Intro.wav", "user@127.0.0.1", 403), ("GET", b"/Intro.wav", "localhost:%d" % port, 302),
        ("GET", b"/Intro.wav", "127.0.0.2:%d" % port, 302), ("GET", b"/Intro.wav", "[::1]:%d" % port, 302),
        ("GET", b"/Intro.wav", None, 302),
        ("POST", b"/Intro.wav", here, 405), ("DELETE", b"/Intro.wav", here, 405), ("PUT", b"/", here, 405),
        ("OPTIONS", b"*", here, 405),
    ]


def send(serve, method, target, host, extra=b""):
    head = method.encode() + b" " + target + b" HTTP/1.1\r\n"
    if host is not None:
        head += b"Host: " + host.encode() + b"\r\n"
    return raw_request(serve, head + extra + b"Connection: close\r\n\r\n")


def case_security():
    with fd.FakeDropbox() as server:
        with Serve(server, "/Album") as serve:
            for method, target, host, wanted in security_table(serve.port):
                status, answer = send(serve, method, target, host)
                check(status == wanted, "%s %r Host %r: %d, expected %d" % (method, target[:60], host, status, wanted))
                check(b"access-control-" not in answer.lower(), "no CORS headers")
                body = answer.split(b"\r\n\r\n", 1)[1]
                check(b"Album" not in body and b"sl." not in body, "no path, no token in the body: %r" % body)
            status, _ = send(serve, "GET", b"/Intro.wav", "127.0.0.1", b"X-Big: " + b"b" * 40000 + b"\r\n")
            check(status in (413, 431), "headers past the connection's memory refused: %d" % status)
            # After all that, it still answers.
            check(request(serve, "/01%20Opening.wav")[0] == 302, "a file still redirects")
            check(len(entries_of(request(serve, "/?format=m3u")[2])) == len(M3U_ORDER), "the playlist still lists")
            serve.stop()
            check(all("Album/.." not in l for l in serve.log), "the log names no path outside")
        confined(server, "/Album")

        # With a key, every URL begins with it; without it, or with a wrong one, 404.
        key = "Zq3xK9vP2mLw7RtY4nB8cD"
        with Serve(server, "/Album", "--key", key) as serve:
            check(serve.key == key and serve.base.endswith("/%s/" % key), "the key in the first line: " + serve.first)
            not_found = request(serve, "/Intro.wav")
            for target, host, wanted in (("/Intro.wav", None, 404), ("/Aq3xK9vP2mLw7RtY4nB8cD/Intro.wav", None, 404),
                                         ("/%s" % key[:-1], None, 404), ("/%sx/Intro.wav" % key, None, 404),
                                         ("/%s" % key, None, 301), ("/%s/" % key, None, 200),
                                         ("/%s/Intro.wav" % key, None, 302),
                                         ("/%s/Intro.wav" % key, "evil.example:1", 302),
                                         ("/%s/../Intro.wav" % key, None, 400)):
                status, head, body = request(serve, target, headers={"Host": host} if host else None)
                check(status == wanted, "%s: %d, expected %d" % (target, status, wanted))
                if status == 404:
                    check(body == not_found[2] and head.keys() == not_found[1].keys(), "404 with no hint")
            check(request(serve, "/" + key)[1]["location"] == "/%s/" % key, "to the root with its slash")
            entries = entries_of(request(serve, "/%s/?format=m3u" % key)[2])
            check(all(u.startswith(serve.base) for _, u in entries), "playlist URLs carry the key")
            serve.stop()
            check(all(key not in l for l in serve.log) and any("/<key>/" in l for l in serve.log),
                  "the key never in the log: %r" % serve.log[:3])
        with Serve(server, "/Album", listen="0.0.0.0:0") as serve:
            check(re.fullmatch(r"[A-Za-z0-9_-]{22}", serve.key), "a key made up and printed: " + serve.first)
            check(request(serve, "/Intro.wav")[0] == 404 and request(serve, "/%s/Intro.wav" % serve.key)[0] == 302,
                  "beyond loopback, the key is required")
        confined(server, "/Album")


# MARK: - Load: many clients at once, one that never finishes, memory

def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        return int(re.search(r"^VmHWM:\s+(\d+) kB", status.read(), re.M).group(1))


def slowloris(port, count):
    """Connections that send part of their headers and then nothing."""
    socks = []
    for _ in range(count):
        sock = socket.create_connection(("127.0.0.1", port), timeout=30)
        sock.sendall(b"GET /Big/track%200001.mp3 HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Wait: ")
        socks.append(sock)
    return socks


def load(serve, tasks, clients):
    """Runs `tasks` (targets) over `clients` keep-alive connections; (answers, errors)."""
    answers, errors = [], []
    lock = threading.Lock()
    queue = list(tasks)

    def client():
        conn = http.client.HTTPConnection("127.0.0.1", serve.port, timeout=30)
        while True:
            with lock:
                if not queue:
                    break
                target = queue.pop()
            try:
                status, head, _ = request(serve, target, conn=conn)
                with lock:
                    answers.append((target, status, head.get("location")))
            except (OSError, http.client.HTTPException) as e:
                with lock:
                    errors.append((target, repr(e)))
                conn.close()
                conn = http.client.HTTPConnection("127.0.0.1", serve.port, timeout=30)
        conn.close()
    threads = [threading.Thread(target=client) for _ in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return answers, errors


def case_load():
    cached = ["/track%%20%04d.mp3" % k for k in range(1, 21)]
    fresh = ["/track%%20%04d.mp3" % k for k in range(101, 601)]
    with fd.FakeDropbox() as server, Serve(server, "/Big") as serve:
        for target in cached:
            check(request(serve, target)[0] == 302, "warm " + target)
        baseline = peak_rss_kib(serve.pid)
        holders = slowloris(serve.port, 4)
        tasks = [cached[k % len(cached)] for k in range(10000)] + fresh
        random.Random(20).shuffle(tasks)
        started = time.monotonic()
        answers, errors = load(serve, tasks, 32)
        took = time.monotonic() - started
        peak = peak_rss_kib(serve.pid)
        for sock in holders:
            sock.close()
        check(not errors and len(answers) == len(tasks), "none lost: %d errors %r" % (len(errors), errors[:3]))
        by_target = {}
        for target, status, location in answers:
            check(status == 302, "%s: %d" % (target, status))
            by_target.setdefault(target, set()).add(location)
        for target, locations in by_target.items():
            path = "/Big" + urllib.parse.unquote(target)
            made = server.links_made[path.lower()]
            check(len(locations) == 1 and len(made) == 1 and locations == set(made),
                  "%s: one link, made once, handed to all: %d %d" % (target, len(locations), len(made)))
        check(len(by_target) == len(cached) + len(fresh), "every target answered")
        serve.stop()
        check(sum(1 for l in serve.log if ACCESS_LINE.match(l)) == len(tasks) + len(cached), "one log line each")
        print("load: %d requests from 32 clients (%d needing a new link) in %.1f s; peak RSS %.1f MiB "
              "(%.1f MiB before the load)" % (len(tasks), len(fresh), took, peak / 1024, baseline / 1024))
        if not SANITIZED:
            check(peak < RELEASE_PEAK_MIB * 1024, "peak RSS %.1f MiB within %d MiB" % (peak / 1024, RELEASE_PEAK_MIB))
        confined(server, "/Big")


# MARK: - Stopping, and what stops it from starting

def case_stop():
    with fd.FakeDropbox() as server:
        # SIGTERM while 32 clients are busy, some of them waiting on a slow Dropbox.
        with Serve(server, "/Big", "--quiet") as serve:
            server.delay = 0.3
            tasks = ["/track%%20%04d.mp3" % (k % 40 + 1) for k in range(100000)]
            runner = threading.Thread(target=load, args=(serve, tasks, 32), daemon=True)
            runner.start()
            time.sleep(1.0)
            elapsed = serve.stop(signal.SIGTERM)
            check(elapsed < 2.0, "SIGTERM under load: ended after %.2f s" % elapsed)
            check(serve.log == [], "--quiet logs nothing: %r" % serve.log[:3])
            server.delay = 0
            runner.join(60)
        with Serve(server, "/Album") as serve:
            elapsed = serve.stop(signal.SIGINT)
            check(elapsed < 2.0, "SIGINT: ended after %.2f s" % elapsed)
        # An address in use: one line, the configuration status.
        with Serve(server, "/Album") as first:
            proc = rc.qvdbx("--live", "--origin", server.origin, "--settings", rc.settings(access_token=fd.VALID_TOKEN),
                            "serve", "--listen", "127.0.0.1:%d" % first.port)
            rc.expect(proc, "config", "address in use")
            check("cannot listen on 127.0.0.1:%d: Address already in use" % first.port in proc.stderr, "says so", proc)
        for args in (["--key", "short"], ["--key", "a/b" * 8], ["--listen", "nowhere:1"], ["--listen", "::1:80"],
                     ["--link-ttl", "14401"], ["--link-ttl", "0"], ["--dir-ttl", "soon"], ["a", "b"]):
            proc = rc.qvdbx("serve", *args)
            check(proc.returncode == rc.EXIT["usage"] and proc.stderr.startswith("qvdbx: "), "usage: %r" % args, proc)
        proc = rc.qvdbx("--live", "--origin", server.origin, "--settings", rc.settings(refresh_token="x"), "serve")
        rc.expect(proc, "config", "settings without an access token")


def case_unavailable():
    proc = rc.qvdbx("serve")
    rc.expect(proc, "config", "serve in a build without it")
    check("serve is not in this build" in proc.stderr, "says so", proc)


def main():
    global SANITIZED
    args = rc.parse_arguments(["--sanitized"])
    SANITIZED = args.sanitized
    return rc.run(args.case, globals(), "serve_")


if __name__ == "__main__":
    sys.exit(main())
