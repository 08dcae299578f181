import contextlib
import importlib
import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

# Loop bodies that other processes must import by name: a module of their
# own on sys.path, which forked and spawned workers alike can import (test
# modules are imported under names only this process knows).
BODIES = textwrap.dedent('''
    import threading
    import time

    from common_utils import common_utils as cu

    calls = []
    calls_lock = threading.Lock()

    def double(x, **kwargs): return 2 * x
    def inc(x, **kwargs): return x + 1
    def positive(x, **kwargs): return x > 0
    def upto(x, **kwargs): return range(x)

    def counted(x, **kwargs):
        with calls_lock:
            calls.append(x)
        if x == 0:
            raise ValueError("bad item 0")
        time.sleep(0.01)
        return x

    def fails_at_500(x, **kwargs):
        if x == 500:
            raise ValueError("bad item %s" % x)
        return x

    @cu.FunctionSelector
    def is_even(x, **kwargs):
        return x % 2 == 0

    @cu.FunctionLooper
    def digits(x, **kwargs):
        return [int(c) for c in str(x)]

    class Scaled(cu.Processor):
        """A Python subclass of a pipeline, with an attribute of its own."""
        def __init__(self, *args, factor=3, **kwargs):
            super().__init__(*args, **kwargs)
            self.factor = factor

        def process(self, *args, **kwargs):
            return self.factor * super().process(*args, **kwargs)
''')


@pytest.fixture(scope="session")
def bodies(tmp_path_factory):
    where = tmp_path_factory.mktemp("bodies")
    (where / "cu_loop_bodies.py").write_text(BODIES)
    sys.path.insert(0, str(where))
    try:
        yield importlib.import_module("cu_loop_bodies")
    finally:
        sys.path.remove(str(where))
        sys.modules.pop("cu_loop_bodies", None)


class CommandLineCluster:
    """A scheduler and two workers started with Dask's own command line, as on
    several machines: each a process group of its own on 127.0.0.1, each worker
    an interpreter importing the installed module, the loop bodies on its
    PYTHONPATH.  `stop()` ends every group, whatever state it is in; a lost
    pytest leaves nothing either (the scheduler closes after an idle spell, the
    workers when their scheduler is gone)."""

    def __init__(self, where, bodies_dir):
        self.where, self.processes, self.address = where, [], None
        self.env = dict(os.environ, PYTHONPATH=bodies_dir)

    def spawn(self, *args):
        self.processes.append(subprocess.Popen(
            [sys.executable, "-m", "dask", *args], cwd=str(self.where), env=self.env,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True))

    def start(self, timeout=120):
        info = self.where / "scheduler.json"
        self.spawn("scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                   "--scheduler-file", str(info), "--idle-timeout", "900")
        deadline = time.monotonic() + timeout
        while not info.is_file() or not info.read_text().strip().endswith("}"):
            if self.processes[0].poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the Dask scheduler did not start (exit {})".format(
                    self.processes[0].poll()))
            time.sleep(0.2)
        self.address = json.loads(info.read_text())["address"]
        for _ in range(2):
            self.spawn("worker", self.address, "--host", "127.0.0.1", "--nthreads", "1",
                       "--no-nanny", "--no-dashboard", "--death-timeout", "60",
                       "--local-directory", str(self.where))

    def stop(self):
        for p in reversed(self.processes):  # workers first: one whose scheduler is gone is slow
            for sig, wait in ((signal.SIGTERM, 20), (signal.SIGKILL, 10)):
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(p.pid, sig)
                with contextlib.suppress(subprocess.TimeoutExpired):
                    p.wait(wait)
                    break


@pytest.fixture(scope="session")
def dask_cluster(request, bodies, tmp_path_factory):
    if os.environ.get("CU_SANITIZER"):
        pytest.skip("Dask's workers do not run under the sanitizers")
    pytest.importorskip("distributed", reason="no dask[distributed] for this interpreter")
    cluster = CommandLineCluster(tmp_path_factory.mktemp("cluster"),
                                 os.path.dirname(bodies.__file__))
    request.addfinalizer(cluster.stop)  # before anything starts: a failed start is ended too
    cluster.start()
    return cluster
