import gc
import hashlib
import http.server
import logging
import os
import socket
import subprocess
import sys
import threading
import tracemalloc

import pytest
from hypothesis import HealthCheck, settings

# Examples run several times slower under the sanitizers; their speed is
# measured in bench/, not asserted here.
settings.register_profile("cu", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("cu")


def pytest_report_header(config):
    # the noxfile reads this line to prove which build each run loaded.
    try:
        import common_utils.common_utils as m
    except Exception as exc:
        return "common_utils: import failed: {!r}".format(exc)
    with open(m.__file__, "rb") as f:
        return "common_utils: {} sha256={}".format(m.__file__, hashlib.sha256(f.read()).hexdigest())


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "long: a sweep (fuzz, leaks, stress) left to the long run; tests that use "
        "`memory_growth` have it too")


@pytest.hookimpl(tryfirst=True)
def pytest_collection_modifyitems(config, items):
    for item in items:
        if "memory_growth" in getattr(item, "fixturenames", ()):
            item.add_marker(pytest.mark.long)


@pytest.fixture
def cu():
    import common_utils.common_utils as m

    return m


@pytest.fixture
def run_python(tmp_path):
    """Runs code in a child interpreter and returns the CompletedProcess.  The
    child starts in an empty directory: from the repository root, the source
    package (which has no built module) would shadow the installed one."""

    def run(code, timeout=60, env=None, args=()):
        return subprocess.run([sys.executable, "-c", code, *args], cwd=str(tmp_path), env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=timeout)

    return run


@pytest.fixture
def log_records(cu):
    """The records of the module logger during the test, from DEBUG up."""
    handler, level, records = logging.Handler(logging.DEBUG), cu.logger.level, []
    handler.emit = records.append
    cu.logger.addHandler(handler)
    cu.logger.setLevel(logging.DEBUG)
    yield records  # what follows runs after a failed test too
    cu.logger.removeHandler(handler)
    cu.logger.setLevel(level)


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


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture
def memory_growth(cu):
    """measure(fn, n) runs fn n times after a warm-up (which fills caches, free
    lists and interned names) and returns how much the memory traced by
    tracemalloc (started by the module at import) and the resident set grew."""
    # The noxfile sets CU_SANITIZER in its AddressSanitizer run, where freed
    # blocks sit in quarantine: the size of the process says nothing there.
    if os.environ.get("CU_SANITIZER"):
        pytest.skip("the process size means nothing under ASan")
    if not os.path.exists("/proc/self/statm"):
        pytest.skip("resident set size needs /proc")
    assert tracemalloc.is_tracing()

    def measure(fn, n):
        for _ in range(max(n // 10, min(n, 1000))):
            fn()
        gc.collect()
        traced, rss = tracemalloc.get_traced_memory()[0], _rss_bytes()
        for _ in range(n):
            fn()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - traced, _rss_bytes() - rss

    return measure
