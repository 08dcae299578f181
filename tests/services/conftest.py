import http.server
import socket
import threading

import pytest


class _Recorder(http.server.BaseHTTPRequestHandler):
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
    """An HTTP server on 127.0.0.1: `received` lists (path, headers, body) per
    POST; it answers with `status`."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Recorder)
    server.received, server.status = [], 200
    server.url = "http://127.0.0.1:{}/hook?key=k1".format(server.server_address[1])
    thread = threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True)
    thread.start()
    yield server
    server.shutdown()
    server.server_close()
    thread.join()


@pytest.fixture
def silent_endpoint():
    """A URL on 127.0.0.1 whose socket takes connections and never answers."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        sock.listen(8)
        yield "http://127.0.0.1:{}/hook".format(sock.getsockname()[1])
