"""A loopback server that answers badly on purpose, for the live transport's tests.

Python standard library only; plain TCP on 127.0.0.1 (a free port). Each connection gets
the answer of the server's mode:

    huge       a 200 whose body is 1 MiB over the transport's 64 MiB cap
    truncated  a 200 that promises 1000 bytes, sends 100 and closes
    silent     reads the request and never answers (until the server stops)
    chunked    a 200 with a chunked body whose chunk size is not hexadecimal
    plain      a plain HTTP 400 to whatever arrives, for an https:// origin (TLS expected)

Stops by itself when its `with` block ends; held connections are closed then.
"""
import socket
import threading

CAP = 64 << 20


class HostileServer:
    def __init__(self, mode):
        self.mode = mode
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.sock.settimeout(0.1)
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)

    @property
    def port(self):
        return self.sock.getsockname()[1]

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        self.thread.join(10)
        self.sock.close()

    def serve(self):
        while not self.stopping.is_set():
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            threading.Thread(target=self.answer, args=(conn,), daemon=True).start()

    def answer(self, conn):
        with conn:
            try:
                conn.settimeout(5)
                request = b""
                # A plain HTTP server answers whatever arrives, a TLS hello included.
                while b"\r\n\r\n" not in request and not (request and self.mode == "plain"):
                    chunk = conn.recv(65536)
                    if not chunk:
                        return
                    request += chunk
                getattr(self, "answer_" + self.mode)(conn)
            except OSError:
                pass  # the client gave up, as it should

    def answer_huge(self, conn):
        size = CAP + (1 << 20)
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n" % size)
        block = b" " * (1 << 20)
        for _ in range(size >> 20):
            conn.sendall(block)

    def answer_truncated(self, conn):
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 1000\r\n\r\n"
                     + b'{"link":"' + b"x" * 91)

    def answer_silent(self, conn):
        self.stopping.wait(30)

    def answer_chunked(self, conn):
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"
                     b"zz\r\n{}\r\n0\r\n\r\n")

    def answer_plain(self, conn):
        conn.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nContent-Length: 11\r\n\r\nBad Request")
