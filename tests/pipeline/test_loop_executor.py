"""LoopProcessor on a concurrent.futures executor: a thread pool, a process pool,
a Dask LocalCluster and a Dask cluster started from the command line give what
the sequential loop gives; batches, cancellation, bodies that cannot travel."""
import concurrent.futures as cf
import contextlib
import importlib.util
import multiprocessing
import os
import subprocess
import sys
import threading

import pytest

import common_utils.common_utils as cu

ITEMS = list(range(1000))

# A Dask client leaves its event-loop thread and a stack-sampling thread
# running in its process after it is closed; their allocations would count in
# the memory measurements of later tests, so the Dask cases run in a pytest of
# their own.
DASK_CHILD = "CU_DASK_CASES"


@pytest.fixture(scope="module", params=["thread", "process", "dask", "cluster"])
def executor(request, bodies, tmp_path_factory):
    if request.param == "thread":
        with Recording(2) as ex:
            yield ex
        return
    if request.param != "process":  # a LocalCluster, or the command line's cluster (conftest.py)
        if os.environ.get("CU_SANITIZER"):
            pytest.skip("Dask's spawned workers do not run under the sanitizers")
        if not os.environ.get(DASK_CHILD):
            pytest.skip("the Dask cases run in an interpreter of their own (see below)")
        distributed = pytest.importorskip(
            "distributed", reason="dask[distributed] is not installed for this interpreter")
    with contextlib.ExitStack() as stack:
        # Workers start from a directory of their own: from the repository root,
        # the source package (which has no built module) would shadow the installed one.
        with pytest.MonkeyPatch.context() as mp:
            mp.chdir(tmp_path_factory.mktemp(request.param))
            if request.param == "process":
                ex = stack.enter_context(
                    cf.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")))
                ex.submit(os.getpid).result()  # the workers start now
            elif request.param == "dask":
                scheduler = stack.enter_context(distributed.LocalCluster(
                    n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None))
            else:
                cluster = request.getfixturevalue("dask_cluster")
                scheduler = cluster.address
        if request.param != "process":
            client = stack.enter_context(distributed.Client(scheduler, timeout=60))
            client.wait_for_workers(2, timeout=120)
            ex = client.get_executor(pure=False)
        if request.param == "cluster":  # the command line's own interpreters, with the installed module
            specs = client.run(importlib.util.find_spec, "common_utils.common_utils").values()
            assert sorted(client.run(os.getpid).values()) == sorted(p.pid for p in cluster.processes[1:])
            assert [s.origin for s in specs] == [cu.__file__] * 2
        yield ex


class Recording(cf.ThreadPoolExecutor):
    """Records the size of every batch submitted."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.batches = []

    def submit(self, fn, *args, **kwargs):
        self.batches.append(len(args[1]))
        return super().submit(fn, *args, **kwargs)


def ready(p):
    assert p.init() is True
    return p


def looper(bodies, mode, body=None, **kwargs):
    body = body or [bodies.double, {"is_even": {"true_processors": bodies.inc,
                                                "false_processors": bodies.double}}]
    return ready(cu.SimpleLooper(processors=body, module=bodies, use_aysnc_run=mode, **kwargs))


# ==== same results as the sequential loop ======================================

def test_outputs_and_timing_record_match_the_sequential_loop(executor, bodies, log_records):
    def run(mode):
        record = {}
        return looper(bodies, mode).process(ITEMS, time_cost=record), record

    want, want_times = run(False)
    del log_records[:]
    got, times = run(executor)
    assert got == want
    assert times.keys() == want_times.keys() and all(t > 0 for t in times.values())
    items_logged = [r.args for r in log_records if r.msg == "Looper '%s[%s]' process, one_data=%s"]
    assert items_logged == [("SimpleLooper", i, int) for i in ITEMS]


def test_first_error_and_stops_as_in_the_sequential_loop(executor, bodies):
    loop = looper(bodies, executor, bodies.fails_at_500)
    with pytest.raises(ValueError, match="^bad item 500$"):
        loop.process(ITEMS)
    assert loop.process(ITEMS[:500]) == ITEMS[:500]  # the executor stays usable
    body = [bodies.double, "StopRunProcessor"]
    returned = looper(bodies, executor, body, return_exceptions=True).process(ITEMS)
    assert returned == looper(bodies, False, body, return_exceptions=True).process(ITEMS)
    with pytest.raises(cu.StopRunError) as stopped:
        looper(bodies, executor, body).process(ITEMS)
    assert stopped.value.message == "stop by StopRunProcessor" and stopped.value.out_data % 2 == 0


@pytest.mark.parametrize("body, args, kwargs, what", [
    (lambda b: [b.double, [b.inc, lambda x, **k: x]], (), {}, "step '<lambda>()'"),
    (lambda b: b.double, (), {"lock": threading.Lock()}, "keyword argument 'lock'"),
])
def test_a_body_that_cannot_travel_is_refused(executor, bodies, body, args, kwargs, what):
    loop, submitted = looper(bodies, executor, body(bodies)), list(getattr(executor, "batches", []))
    with pytest.raises(TypeError) as refused:
        loop.process(ITEMS, *args, **kwargs)
    assert getattr(executor, "batches", []) == submitted  # refused before anything is submitted
    assert str(refused.value).startswith(
        "SimpleLooper 'SimpleLooper' cannot send its body to the executor: "
        "{} cannot be pickled (".format(what))
    assert isinstance(refused.value.__cause__, Exception)


# ==== batches and cancellation ================================================

@pytest.mark.parametrize("batch_size, count, sizes", [
    (None, 1000, [125] * 8),  # four tasks per worker
    (None, 3, [1, 1, 1]),
    (7, 20, [7, 7, 6]),
    (50, 0, []),
    (0, 0, (ValueError, "batch_size must be at least 1")),
    ("3", 0, (TypeError, "batch_size must be an int or None, not str")),
    (True, 0, (TypeError, "batch_size must be an int or None, not bool")),
])
def test_batches(bodies, batch_size, count, sizes):
    if isinstance(sizes, tuple):  # refused when the looper is made
        with pytest.raises(sizes[0], match="^{}$".format(sizes[1])):
            cu.SimpleLooper(processors=bodies.double, batch_size=batch_size)
        return
    with Recording(2) as ex:
        loop = looper(bodies, ex, bodies.double, batch_size=batch_size)
        assert loop.process(list(range(count))) == [2 * x for x in range(count)]
    assert ex.batches == sizes


def test_pending_batches_are_cancelled_after_the_first_error(bodies):
    del bodies.calls[:]
    with cf.ThreadPoolExecutor(1) as ex:
        loop = looper(bodies, ex, bodies.counted, batch_size=1)
        with pytest.raises(ValueError, match="bad item 0"):
            loop.process(list(range(50)))
        ran = len(bodies.calls)
    assert ran < 10 and len(bodies.calls) == ran  # nothing ran on behind the caller's back


def test_dask_cases_in_an_interpreter_of_their_own(request, tmp_path):
    if os.environ.get(DASK_CHILD):
        pytest.skip("this is that interpreter")
    if os.environ.get("CU_SANITIZER"):
        pytest.skip("Dask's spawned workers do not run under the sanitizers")
    config = request.config
    proc = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-rs", "-p", "no:cacheprovider",
         "--rootdir", str(config.rootpath), "-c", str(config.inipath),
         "-k", "(dask or cluster) and not interpreter_of_their_own", os.path.abspath(__file__)],
        cwd=str(tmp_path), env=dict(os.environ, **{DASK_CHILD: "1"}), stdin=subprocess.DEVNULL,
        capture_output=True, text=True, timeout=900)
    summary = proc.stdout.strip().splitlines()[-1] if proc.stdout.strip() else ""
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    if "passed" not in summary:
        reasons = [line for line in proc.stdout.splitlines() if line.startswith("SKIPPED")]
        pytest.skip(reasons[0] if reasons else summary)
