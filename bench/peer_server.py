"""The peer benchmark's Dropbox server: pre-generated answers over plain HTTP on loopback.

Python standard library only. It answers the three API paths the contenders call:

    /2/files/list_folder, /2/files/list_folder/continue, /2/files/get_temporary_link

Every answer is built before the server starts, HTTP head included, and written with one
send, so that serving costs the contenders as little as it can. The folders' pages come
from `qvdbx_bench --dump-folder` (bench/pages.cpp), one set of cursors per folder. The
bearer token is read from the Authorization header (the SDKs) or from the "authorization"
query parameter (the module). The server counts the requests it answers, so that the
benchmark can tell how many pages a contender fetched.
"""
import base64
import hashlib
import json
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

TOKEN = "sl.u.AF" + base64.urlsafe_b64encode(hashlib.sha512(b"peer benchmark").digest() * 15).decode()[:1300]
MAX_REQUEST_BYTES = 64 << 10
CURSOR_LENGTH = 200


def _api_json(value):
    """JSON laid out as the API sends it: one line, ", " and ": " separators."""
    return json.dumps(value, ensure_ascii=False, separators=(", ", ": "))


def _opaque(seed, length):
    """`length` URL-safe characters that depend only on `seed`."""
    out = b""
    counter = 0
    while len(out) * 4 // 3 < length + 4:
        out += hashlib.sha256(("%s/%d" % (seed, counter)).encode()).digest()
        counter += 1
    return base64.urlsafe_b64encode(out).decode()[:length]


def _cursor_of(page_text):
    marker = '"cursor": "'
    start = page_text.rindex(marker) + len(marker)
    return page_text[start:page_text.index('"', start)]


def _response(status, body, content_type="application/json"):
    reason = {200: "OK", 400: "Bad Request", 401: "Unauthorized", 404: "Not Found",
              409: "Conflict"}[status]
    head = ("HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %d\r\n\r\n"
            % (status, reason, content_type, len(body)))
    return head.encode() + body


def _error(status, summary, tag):
    return _response(status, _api_json({"error_summary": summary, "error": {".tag": tag}}).encode())


NOT_FOUND = _response(409, _api_json({"error_summary": "path/not_found/..",
                                      "error": {".tag": "path", "path": {".tag": "not_found"}}}).encode())
BAD_CURSOR = _error(409, "reset/..", "reset")
BAD_TOKEN = _error(401, "invalid_access_token/..", "invalid_access_token")
BAD_REQUEST = _response(400, b"Error in call to API function: could not decode input as JSON",
                        "text/plain; charset=utf-8")
UNKNOWN_PATH = _response(404, b"Unknown API function", "text/plain; charset=utf-8")


def temporary_link(file_id):
    """A link shaped like the service's, the same for the same file in every run."""
    host = hashlib.sha256(file_id.encode()).hexdigest()[:26]
    return "https://uc%s.dl.dropboxusercontent.com/cd/0/get/%s/file" % (host, _opaque(file_id, 280))


def link_folder(entries, count):
    """The first `count` files of `entries` with names that stay apart when letter case is
    ignored, so that every contender sorts them into the same playlist."""
    chosen, seen = [], set()
    for meta in entries:
        key = meta["name"].encode().lower()
        if meta[".tag"] == "file" and key not in seen:
            seen.add(key)
            chosen.append(meta)
            if len(chosen) == count:
                return chosen
    raise ValueError("not enough distinct files for %d links" % count)


class PeerServer:
    """Serves `folders` (path -> list of page texts) and the temporary links of the files
    in `linked` (metadata objects), on 127.0.0.1 and a port the system picks."""

    def __init__(self, folders, linked):
        self.first_pages = {}   # folder path, lower case -> answer
        self.continued = {}     # cursor -> answer of the page it fetches
        for path, pages in folders.items():
            answers = [_response(200, text.encode()) for text in pages]
            self.first_pages[path.lower()] = answers[0]
            for index, text in enumerate(pages[:-1]):
                self.continued[_cursor_of(text)] = answers[index + 1]
        self.links = {}         # id or lower-case path -> answer
        for meta in linked:
            answer = {"metadata": {k: v for k, v in meta.items() if k != ".tag"},
                      "link": temporary_link(meta["id"])}
            text = _response(200, _api_json(answer).encode())
            self.links[meta["id"]] = self.links[meta["path_display"].lower()] = text
        self.counts = {}        # API path -> requests answered since reset_counts
        self.lock = threading.Lock()
        self.server = None
        self.thread = None

    @staticmethod
    def page_text(entries, has_more, seed):
        return _api_json({"entries": entries, "cursor": "AAH" + _opaque(seed, CURSOR_LENGTH - 3),
                          "has_more": has_more})

    # MARK: life cycle
    def start(self):
        owner = self

        class Handler(_Handler):
            peer = owner
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        return self

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(5)

    @property
    def origin(self):
        return "http://127.0.0.1:%d" % self.server.server_address[1]

    # MARK: counts
    def reset_counts(self):
        with self.lock:
            self.counts = {}

    def requests(self):
        with self.lock:
            return sum(self.counts.values())

    # MARK: the service
    def answer(self, path, args):
        if path == "/2/files/list_folder":
            return self.first_pages.get(str(args.get("path", "")).lower(), NOT_FOUND)
        if path == "/2/files/list_folder/continue":
            return self.continued.get(args.get("cursor"), BAD_CURSOR)
        if path == "/2/files/get_temporary_link":
            target = str(args.get("path", ""))
            return self.links.get(target if target.startswith("id:") else target.lower(), NOT_FOUND)
        return UNKNOWN_PATH


class _Handler(BaseHTTPRequestHandler):
    peer = None
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True  # each answer is one send; nothing to gather
    timeout = 30                    # an idle or stalled connection is closed

    def log_message(self, *args):
        pass

    def bearer(self, query):
        auth = self.headers.get("Authorization") or query.get("authorization", [""])[0]
        return auth[len("Bearer "):] if auth.startswith("Bearer ") else None

    def do_POST(self):
        url = urllib.parse.urlsplit(self.path)
        length = self.headers.get("Content-Length") or "0"
        if not length.isdigit() or int(length) > MAX_REQUEST_BYTES:
            self.close_connection = True
            return self.wfile.write(BAD_REQUEST)
        raw = self.rfile.read(int(length))
        if self.bearer(urllib.parse.parse_qs(url.query)) != TOKEN:
            return self.wfile.write(BAD_TOKEN)
        try:
            args = json.loads(raw or b"null")
        except ValueError:
            return self.wfile.write(BAD_REQUEST)
        with self.peer.lock:
            self.peer.counts[url.path] = self.peer.counts.get(url.path, 0) + 1
        self.wfile.write(self.peer.answer(url.path, args if isinstance(args, dict) else {}))
