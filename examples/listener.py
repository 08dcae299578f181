"""A webhook listener for trying --notify-url: prints each POST body and answers 200.

    python3 examples/listener.py 8000
"""
import http.server
import sys


class Hook(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        print(body.decode("utf-8"), flush=True)
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


if __name__ == "__main__":
    port = int(sys.argv[1]) if len(sys.argv) > 1 else 8000
    http.server.HTTPServer(("127.0.0.1", port), Hook).serve_forever()
