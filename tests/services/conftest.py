import http.server
import socket
import threading

import pytest


class _Recorder(http.server.BaseHTTPRequestHandler):
    """Records each POST and answers with the server's current status."""

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        self.server.received.append((self.path, self.headers, body))
        self.send_response(self.server.status)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


@pytest.fixture
def webhook():
    """An HTTP server on 127.0.0.1 in a thread. `received` lists (path,
    headers, body) per POST; set `status` to change the answer."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Recorder)
    server.received = []
    server.status = 200
    server.url = "http://127.0.0.1:{}/hook?key=k1".format(server.server_address[1])
    thread = threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True)
    thread.start()
    try:
        yield server
    finally:
        server.shutdown()
        server.server_close()
        thread.join()


@pytest.fixture
def silent_endpoint():
    """The URL of a listening socket on 127.0.0.1 that takes connections into
    its backlog and never answers."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        sock.listen(8)
        yield "http://127.0.0.1:{}/hook".format(sock.getsockname()[1])
