import gc
import hashlib
import logging
import os
import subprocess
import sys
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
        digest = hashlib.sha256(f.read()).hexdigest()
    return "common_utils: {} sha256={}".format(m.__file__, digest)


# The noxfile sets CU_SANITIZER in its AddressSanitizer run.  ASan holds
# freed blocks in quarantine (256 MB by default) and keeps its own allocator
# caches, so the size of the process says nothing about leaks there: a test
# that measures it uses `memory_growth` (skipped there), carries the
# `process_memory` mark, or asks `sanitized`.
SANITIZED = bool(os.environ.get("CU_SANITIZER"))


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "process_memory: measures the process size; skipped under the sanitizers")
    config.addinivalue_line(
        "markers", "long: a sweep (fuzz, leaks, stress) left to the long run; tests that use "
        "`memory_growth` or carry `process_memory` have it too")


@pytest.hookimpl(tryfirst=True)
def pytest_collection_modifyitems(config, items):
    skip = pytest.mark.skip(reason="the process size means nothing under ASan")
    for item in items:
        measures = item.get_closest_marker("process_memory")
        if measures or "memory_growth" in getattr(item, "fixturenames", ()):
            item.add_marker(pytest.mark.long)
        if SANITIZED and measures:
            item.add_marker(skip)


@pytest.fixture(scope="session")
def sanitized():
    return SANITIZED


@pytest.fixture
def cu():
    import common_utils.common_utils as m

    return m


@pytest.fixture
def run_python(tmp_path):
    """Runs code in a child interpreter and returns the CompletedProcess.

    The child starts in an empty directory: from the repository root, the
    source package (which has no built module) would shadow the installed one.
    """

    def run(code, timeout=60, env=None, args=()):
        return subprocess.run(
            [sys.executable, "-c", code, *args],
            cwd=str(tmp_path),
            env=env,
            stdin=subprocess.DEVNULL,
            capture_output=True,
            text=True,
            timeout=timeout,
        )

    return run


class _Collect(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def log_records(cu):
    """The records of the module logger during the test, from DEBUG up."""
    logger = cu.logger
    handler = _Collect()
    level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    try:
        yield handler.records
    finally:
        logger.removeHandler(handler)
        logger.setLevel(level)


# ==== memory growth ==========================================================

def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture
def memory_growth(cu):
    """measure(fn, n) runs fn n times after a warm-up and returns how much the
    memory traced by tracemalloc and the resident set grew, in bytes.

    The module starts tracemalloc at import; the warm-up fills caches, free
    lists and interned names so that only a per-call loss remains visible.
    """
    if SANITIZED:
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
