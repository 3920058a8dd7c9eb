"""A loopback stand-in for the Dropbox API v2, for qvdbx's integration tests.

Python standard library only. It serves over plain HTTP on 127.0.0.1 (a free port chosen
by the system) the five API paths the module uses and the token path:

    /2/files/list_folder, /2/files/list_folder/continue, /2/files/get_metadata,
    /2/files/get_temporary_link, /2/users/get_current_account, /oauth2/token

The bearer token is read from the "authorization" query parameter, as the module sends
it. The sign-in: `approve` plays the authorize page (checks its URL, hands out an access
code bound to the code challenge); the code grant checks the verifier against that
challenge and takes each code once; /2/auth/token/revoke ends a token and its refresh
token. Tokens: VALID_TOKEN works; EXPIRED_TOKEN is answered 401 expired_access_token until
the refresh grant (GOOD_REFRESH with APP_KEY) hands out a new token; REVOKED_REFRESH is
answered 400 invalid_grant. Paths that name a failure force it on every API path:
/rate-limited (429), /server-error (500), /redirect (307 to /followed, which records a
violation when asked), /huge (a 200 answer one byte above the transports' 64 MiB cap);
`throttle` answers 429 to the next few requests of a path, in the middle of a listing as
anywhere. Folders are paged through real cursors;
/Big holds BIG_COUNT files (and one deleted entry) and pages at most PAGE_MAX entries.
/Album holds short WAV files (ALBUM): their temporary links point back at this server,
which serves their bytes to a player over GET. /Bench holds BENCH_COUNT files.

For qvdbx serve: `targets` records the "path" of every API call that reaches the server,
`links_made` every temporary link it handed out per path, and `delay` (seconds) holds
back every API answer, as a distant server would.

Every request is checked the way the transport contract says: POST, the content type as
the module gives it, and no header beyond Host, Content-Length and Content-Type (and the
Connection: Keep-Alive of WinHTTP). A request that breaks this is answered 400 and
recorded in `violations`.
"""
import base64
import hashlib
import json
import random
import re
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

VALID_TOKEN = "sl.B" + "Vd" * 650
EXPIRED_TOKEN = "sl.B" + "Xp" * 650
GOOD_REFRESH = "Qr7vN2hPz0AAAAAAAAAAAb9wKmT4sLcXe8yFjUoGdRi3nV6qBZ5aHtMkW1pEYfJ"
REVOKED_REFRESH = "Rv0kdN2hPz0AAAAAAAAAAAb9wKmT4sLcXe8yFjUoGdRi3nV6qBZ5aHtMkW1pEYf"
APP_KEY = "k4p9x2m7qv3n8ra"
BIG_COUNT = 2500
BENCH_COUNT = 2000
PAGE_MAX = 1000
RETRY_AFTER = 300
HUGE_SIZE = (64 << 20) + 1
HUGE = object()  # the body marker of the /huge answer

API_PATHS = {"/2/files/list_folder", "/2/files/list_folder/continue", "/2/files/get_metadata",
             "/2/files/get_temporary_link", "/2/users/get_current_account", "/2/auth/token/revoke"}
ISSUED = []  # every token and verifier handed out or received by any server: never to be printed
ALLOWED_HEADERS = {"host", "content-length", "content-type"}
# Hop-by-hop, about the connection rather than the request; WinHTTP always sends it.
KEEP_ALIVE = ("connection", "keep-alive")


def _id(path):
    digest = hashlib.sha256(path.lower().encode()).digest()
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
    return "id:" + "".join(alphabet[b % 64] for b in digest[:10]) + "EAAAAAAAAA" + \
        "".join(alphabet[b % 64] for b in digest[10:12])


def _meta(path, size=None):
    name = path.rsplit("/", 1)[1]
    meta = {".tag": "folder" if size is None else "file", "name": name,
            "path_lower": path.lower(), "path_display": path, "id": _id(path)}
    if size is not None:
        digest = hashlib.sha256(path.encode()).hexdigest()
        meta.update({"client_modified": "2023-04-18T09:12:44Z", "server_modified": "2023-04-18T09:13:02Z",
                     "rev": digest[:15] + "00000002" + digest[15:22], "size": size,
                     "is_downloadable": True, "content_hash": digest})
    return meta


# Real sound for the player tests: name -> seconds of a 440 Hz tone (8 kHz mono WAV). The
# names mix letter cases to check that sorting and extension matching ignore them; the
# folder LIVE holds names that markup and URLs must escape, and non-ASCII ones.
LIVE = "Caf\u00e9 <Live> & \"Friends\" 'n' Co"
ALBUM = {"01 Opening.wav": 1.0, "02 Theme.WAV": 2.5, "10 Finale.wav": 0.5, "Intro.wav": 1.5,
         "interlude.wav": 0.75, "Extras/bonus.wav": 1.25,
         LIVE + "/01 \u00c7a plane pour moi.wav": 0.5, LIVE + "/02 <img src=x onerror=alert(1)>.wav": 0.5,
         LIVE + "/03 Tsch\u00fc\u00df & \u03a9\u03bc\u03ad\u03b3\u03b1 'Live'.wav": 0.5,
         LIVE + "/04 100% #1 hit?.wav": 0.5, LIVE + "/05 Clip.webm": 0.5}
CLIP = LIVE + "/05 Clip.webm"  # its sound stands in for a video: a player picks by the name
UNAVAILABLE = "/Album/05 Unavailable.mp3"  # listed, but its link is refused


def wav_bytes(seconds, rate=8000):
    import io
    import math
    import struct
    import wave
    out = io.BytesIO()
    with wave.open(out, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(b"".join(struct.pack("<h", int(8000 * math.sin(2 * math.pi * 440 * k / rate)))
                               for k in range(int(seconds * rate))))
    return out.getvalue()


def _library(content):
    """folder path_lower -> list of entries (metadata objects, in order); fills `content`
    (path_lower -> bytes) for the files that have real sound."""
    folders = {"": []}
    def add(path, size=None):
        meta = _meta(path, size)
        folders.setdefault(path.rsplit("/", 1)[0].lower(), []).append(meta)
        if size is None:
            folders.setdefault(path.lower(), [])
        return meta
    add("/Music")
    add("/Big")
    add("/Bench")
    add("/notes.txt", 1234)
    add("/Music/Sigur Rós")
    add("/Music/Sigur Rós/Ágætis byrjun")
    for k, (title, size) in enumerate([("Intro", 9320118), ("Svefn-g-englar", 67401233),
                                       ("Starálfur", 46118902)]):
        add("/Music/Sigur Rós/Ágætis byrjun/%02d %s.flac" % (k + 1, title), size)
    add("/Music/坂本龍一")
    add("/Music/cover.jpg", 348211)
    for k in range(BIG_COUNT):
        add("/Big/track %04d.mp3" % (k + 1), 3000000 + 7919 * k)
        if k == 1500:
            folders["/big"].append({".tag": "deleted", "name": "gone.mp3",
                                    "path_lower": "/big/gone.mp3", "path_display": "/Big/gone.mp3"})
    for k in range(BENCH_COUNT):
        add("/Bench/song %04d.flac" % (k + 1), 20000000 + 4093 * k)
    add("/Album")
    add("/Album/Extras")
    add("/Album/Extras/Liner <notes> & 100% #1?.txt", 4321)
    add("/Album/" + LIVE)
    for name, seconds in ALBUM.items():
        data = wav_bytes(seconds)
        content[add("/Album/" + name, len(data))["path_lower"]] = data
    add(UNAVAILABLE, 4000000)
    add("/Album/cover.JPG", 120000)
    add("/Album/notes.txt", 300)
    return folders


class FakeDropbox:
    def __init__(self):
        self.content = {}       # path_lower -> bytes behind its temporary links
        self.folders = _library(self.content)
        self.links = {}         # served link path -> bytes
        self.by_path = {}
        for entries in self.folders.values():
            for meta in entries:
                if meta[".tag"] != "deleted":
                    self.by_path[meta["path_lower"]] = meta
                    self.by_path[meta["id"].lower()] = meta
        self.valid_tokens = {VALID_TOKEN}
        self.cursors = {}
        self.requests = []      # (path, token label) in arrival order
        self.refreshes = 0      # successful refresh grants
        self.violations = []    # requests that broke the transport contract
        self.throttle = {}      # API path -> how many of its next requests are answered 429
        self.targets = []       # (API path, the "path" argument) of every API call, in order
        self.links_made = {}    # path_lower -> every temporary link handed out for it
        self.delay = 0.0        # seconds every API answer is held back
        self.codes = {}         # access code -> [challenge, app key, used]
        self.refresh_tokens = {GOOD_REFRESH: APP_KEY}  # refresh token -> app key
        self.expired = {EXPIRED_TOKEN}
        self.refresh_of = {}    # access token -> the refresh token it came from
        self.revoked = []       # access tokens revoked
        self.lock = threading.Lock()
        self.rng = random.Random(7)
        self.server = None
        self.thread = None

    # MARK: life cycle
    def start(self):
        owner = self

        class Handler(_Handler):
            fake = owner
        self.server = _Server(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05},
                                       daemon=True)
        self.thread.start()
        return self

    def stop(self):
        if self.server:
            self.server.shutdown()
            self.server.server_close()
            self.thread.join(5)
            self.server = None

    @property
    def origin(self):
        return "http://127.0.0.1:%d" % self.server.server_address[1]

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # MARK: queries for the tests
    def count(self, path):
        return sum(1 for p, _ in self.requests if p == path)

    def link_count(self, target):
        """get_temporary_link calls for the file at `target`."""
        return sum(1 for p, t in self.targets if p == "/2/files/get_temporary_link" and t == target)

    # MARK: the service
    def opaque(self, n):
        alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
        return "".join(self.rng.choice(alphabet) for _ in range(n))

    def page(self, folder, offset, limit):
        entries = self.folders[folder]
        size = min(limit, PAGE_MAX)
        chunk = entries[offset:offset + size]
        more = offset + size < len(entries)
        cursor = "AAH" + self.opaque(197)
        self.cursors[cursor] = (folder, offset + size, limit)
        return {"entries": chunk, "cursor": cursor, "has_more": more}

    def lookup(self, path):
        return self.by_path.get(path.lower())

    def temporary_link(self, meta):
        data = self.content.get(meta["path_lower"])
        if data is not None:
            # A file with real sound: the link points back here and serves its bytes.
            path = "/cd/0/get/" + self.opaque(120) + "/file"
            self.links[path] = data
            link = self.origin + path
        else:
            link = ("https://uc" + "".join(self.rng.choice("0123456789abcdef") for _ in range(26))
                    + ".dl.dropboxusercontent.com/cd/0/get/" + self.opaque(280) + "/file")
        self.links_made.setdefault(meta["path_lower"], []).append(link)
        return link

    def api(self, path, args):
        """(status, body object) for an authenticated API call."""
        target = args.get("path", "") if isinstance(args, dict) else ""
        if target.lower().startswith("/rate-limited"):
            return 429, {"error_summary": "too_many_requests/..",
                         "error": {"reason": {".tag": "too_many_requests"}, "retry_after": RETRY_AFTER}}
        if target.lower().startswith("/server-error"):
            return 500, "Internal Server Error"
        if target.lower().startswith("/redirect"):
            return 307, "Temporary Redirect"
        if target.lower().startswith("/huge"):
            return 200, HUGE
        not_found = {"error_summary": "path/not_found/..", "error": {".tag": "path", "path": {".tag": "not_found"}}}
        if path == "/2/users/get_current_account":
            return 200, {"account_id": "dbid:AAH4f99T0taONIb-OurWxbNQ6ywGRopQngc",
                         "name": {"display_name": "Test Account"}, "email": "test@example.com",
                         "account_type": {".tag": "basic"}}
        if path == "/2/files/list_folder/continue":
            state = self.cursors.get(args.get("cursor", ""))
            if not state:
                return 409, {"error_summary": "reset/..", "error": {".tag": "reset"}}
            folder, offset, limit = state
            return 200, self.page(folder, offset, limit)
        if path == "/2/files/list_folder":
            limit = args.get("limit", 2000)
            if not isinstance(limit, int) or not 1 <= limit <= 2000:
                return 400, "Error in call to API function \"files/list_folder\": bad limit"
            if target == "":
                return 200, self.page("", 0, limit)
            meta = self.lookup(target)
            if not meta:
                return 409, not_found
            if meta[".tag"] != "folder":
                return 409, {"error_summary": "path/not_folder/..", "error": {".tag": "path", "path": {".tag": "not_folder"}}}
            return 200, self.page(meta["path_lower"], 0, limit)
        meta = self.lookup(target)
        if not meta:
            return 409, not_found
        if path == "/2/files/get_metadata":
            return 200, meta
        if meta[".tag"] != "file":
            return 409, {"error_summary": "path/not_file/..", "error": {".tag": "path", "path": {".tag": "not_file"}}}
        if meta["path_display"] == UNAVAILABLE:
            return 409, {"error_summary": "path/restricted_content/..",
                         "error": {".tag": "path", "path": {".tag": "restricted_content"}}}
        return 200, {"metadata": {k: v for k, v in meta.items() if k != ".tag"}, "link": self.temporary_link(meta)}

    # MARK: sign-in
    def approve(self, authorize_url):
        """What the authorize page does once the user allows access: checks the URL and
        hands out the access code, bound to the URL's challenge."""
        url = urllib.parse.urlsplit(authorize_url)
        query = dict(urllib.parse.parse_qsl(url.query))
        assert (url.scheme, url.netloc, url.path) == ("https", "www.dropbox.com", "/oauth2/authorize"), url
        assert query.get("response_type") == "code" and query.get("code_challenge_method") == "S256", query
        assert query.get("token_access_type") == "offline" and len(query.get("code_challenge", "")) == 43, query
        code = self.opaque(43)
        self.codes[code] = [query["code_challenge"], query["client_id"], False]
        return code

    def new_access_token(self, refresh=None):
        token = "sl.u.AF" + self.opaque(1300)
        self.valid_tokens.add(token)
        ISSUED.append(token)
        if refresh:
            self.refresh_of[token] = refresh
        return token

    def code_grant(self, form):
        code, verifier = form.get("code", [""])[0], form.get("code_verifier", [""])[0]
        ISSUED.append(verifier)
        grant = self.codes.get(code)
        bad = {"error": "invalid_grant", "error_description": "code doesn't exist or has expired"}
        if not grant or grant[2] or grant[1] != form.get("client_id", [""])[0]:
            return 400, bad
        grant[2] = True  # a code serves once, whatever the outcome
        challenge = base64.urlsafe_b64encode(hashlib.sha256(verifier.encode()).digest()).rstrip(b"=").decode()
        if not re.fullmatch(r"[A-Za-z0-9._~-]{43,128}", verifier) or challenge != grant[0]:
            return 400, {"error": "invalid_grant", "error_description": "invalid code verifier"}
        refresh = self.opaque(64)
        ISSUED.append(refresh)
        self.refresh_tokens[refresh] = grant[1]
        return 200, {"access_token": self.new_access_token(refresh), "token_type": "bearer", "expires_in": 14400,
                     "refresh_token": refresh, "scope": "files.content.read files.metadata.read",
                     "uid": "12345", "account_id": "dbid:AAH4f99T0taONIb-OurWxbNQ6ywGRopQngc"}

    def token(self, form):
        if form.get("grant_type") == ["authorization_code"]:
            return self.code_grant(form)
        refresh = form.get("refresh_token", [""])[0]
        if form.get("grant_type") != ["refresh_token"] or not form.get("client_id"):
            return 400, {"error": "invalid_request", "error_description": "unknown client or grant"}
        if self.refresh_tokens.get(refresh) != form["client_id"][0]:
            return 400, {"error": "invalid_grant", "error_description": "refresh token is invalid or revoked"}
        self.refreshes += 1
        return 200, {"access_token": self.new_access_token(refresh), "token_type": "bearer", "expires_in": 14400}

    def revoke(self, token):
        """Revokes the token, its refresh token and every access token of that refresh token."""
        refresh = self.refresh_of.get(token)
        self.refresh_tokens.pop(refresh, None)
        for other in [t for t, r in self.refresh_of.items() if t == token or (refresh and r == refresh)]:
            self.valid_tokens.discard(other)
        self.valid_tokens.discard(token)
        self.revoked.append(token)
        return 200, None

    def token_label(self, token):
        if token == VALID_TOKEN:
            return "valid"
        if token == EXPIRED_TOKEN:
            return "expired"
        return "refreshed" if token in self.valid_tokens else "unknown"


class _Server(ThreadingHTTPServer):
    def handle_error(self, request, client_address):
        # A client that went away mid-answer (a server stopped under load) is no fault here.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


class _Handler(BaseHTTPRequestHandler):
    fake = None
    protocol_version = "HTTP/1.1"
    # Headers and body leave in two writes: without this, each answer on a kept-alive
    # connection waits for the client's delayed acknowledgement (40 ms).
    disable_nagle_algorithm = True

    def log_message(self, *args):
        pass

    def reply(self, status, body):
        if body is HUGE:
            return self.reply_huge()
        if body is None:
            data, ctype = b"null", "application/json"
        elif isinstance(body, str):
            data, ctype = body.encode(), "text/plain; charset=utf-8"
        else:
            data, ctype = json.dumps(body, ensure_ascii=False, separators=(",", ":")).encode(), "application/json"
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(data)))
        if status == 429:
            self.send_header("Retry-After", str(RETRY_AFTER))
        if status == 307:
            self.send_header("Location", self.fake.origin + "/followed")
        self.end_headers()
        self.wfile.write(data)

    def reply_huge(self):
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(HUGE_SIZE))
        self.end_headers()
        chunk = b" " * (1 << 20)
        try:
            for _ in range(HUGE_SIZE // len(chunk)):
                self.wfile.write(chunk)
            self.wfile.write(b"{}"[:HUGE_SIZE % len(chunk)])
        except OSError:
            pass  # the client gave up at its cap, as it should

    def followed(self):
        with self.fake.lock:
            self.fake.violations.append((self.path, "redirect followed"))

    def do_GET(self):
        if self.path.startswith("/followed"):
            self.followed()
            return self.reply(405, "only POST")
        # The bytes behind a temporary link, as a player asks for them (ranges included).
        data = self.fake.links.get(urllib.parse.urlsplit(self.path).path)
        if data is None:
            return self.reply(404, "no such link")
        start, end = 0, len(data) - 1
        ranged = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", ""))
        if ranged:
            start = int(ranged.group(1))
            end = min(end, int(ranged.group(2))) if ranged.group(2) else end
        if start > end:
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % len(data))
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        self.send_response(206 if ranged else 200)
        self.send_header("Content-Type", "audio/wav")
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Content-Length", str(end - start + 1))
        if ranged:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, len(data)))
        self.end_headers()
        self.wfile.write(data[start:end + 1])

    def do_POST(self):
        fake = self.fake
        if fake.delay:
            time.sleep(fake.delay)
        url = urllib.parse.urlsplit(self.path)
        if url.path == "/followed":
            self.followed()
        query = urllib.parse.parse_qs(url.query)
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length)
        extra = sorted(h.lower() for h, v in self.headers.items()
                       if h.lower() not in ALLOWED_HEADERS and (h.lower(), v.lower()) != KEEP_ALIVE)
        want_type = "application/x-www-form-urlencoded" if url.path == "/oauth2/token" else "application/json"
        with fake.lock:
            if extra or self.headers.get("Content-Type") != want_type:
                fake.violations.append((url.path, extra, self.headers.get("Content-Type")))
                return self.reply(400, "unexpected request headers")
            if url.path == "/oauth2/token":
                fake.requests.append((url.path, None))
                return self.reply(*fake.token(urllib.parse.parse_qs(raw.decode())))
            if url.path not in API_PATHS:
                return self.reply(404, "Unknown API function")
            auth = query.get("authorization", [""])[0]
            token = auth[len("Bearer "):] if auth.startswith("Bearer ") else None
            fake.requests.append((url.path, fake.token_label(token)))
            if token is None:
                return self.reply(400, 'Error in call to API function: Must provide HTTP header '
                                       '"Authorization" or URL parameter "authorization".')
            if token in fake.expired:
                return self.reply(401, {"error_summary": "expired_access_token/..",
                                        "error": {".tag": "expired_access_token"}})
            if token not in fake.valid_tokens:
                return self.reply(401, {"error_summary": "invalid_access_token/..",
                                        "error": {".tag": "invalid_access_token"}})
            if url.path == "/2/auth/token/revoke":
                return self.reply(*fake.revoke(token))
            if fake.throttle.get(url.path, 0) > 0:
                fake.throttle[url.path] -= 1
                return self.reply(*fake.api(url.path, {"path": "/rate-limited"}))
            try:
                args = json.loads(raw.decode() or "null")
            except ValueError:
                return self.reply(400, "Error in call to API function: could not decode input as JSON")
            fake.targets.append((url.path, args.get("path") if isinstance(args, dict) else None))
            return self.reply(*fake.api(url.path, args))


if __name__ == "__main__":
    # Manual use and benchmarks: serve until interrupted; --delay MS holds back each API
    # answer, --settings FILE writes settings that hold the valid token.
    import argparse
    parser = argparse.ArgumentParser()
    parser.add_argument("--delay", type=float, default=0, help="milliseconds added to each API answer")
    parser.add_argument("--settings", help="write a settings document with the valid token here")
    options = parser.parse_args()
    if options.settings:
        with open(options.settings, "w", encoding="utf-8") as out:
            json.dump({"access_token": VALID_TOKEN}, out)
    with FakeDropbox() as fake:
        fake.delay = options.delay / 1000
        print("serving on", fake.origin, flush=True)
        try:
            while True:
                time.sleep(1)
        except KeyboardInterrupt:
            pass
