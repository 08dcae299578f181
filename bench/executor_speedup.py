"""Speed-up of a loop on a process pool and on Dask clusters over the
sequential loop, for a CPU-bound body of about a millisecond per item.

    python bench/executor_speedup.py [--items 2000] [--repeat 3] [--no-dask]

Run it with the interpreter of a venv that has the module installed (and
dask[distributed] for the cluster rows), from any directory but the source
checkout.  Each row is the best of the repeats; worker start-up is left out
(the pool and the clusters are started and warmed up first).  The Dask rows:
a LocalCluster of 2 worker processes, and a scheduler with 2 workers started
as separate processes from Dask's command line, as on several machines.  The
load averages before and after say how busy the machine was.
"""
import argparse
import concurrent.futures as cf
import contextlib
import json
import logging
import os
import signal
import subprocess
import sys
import tempfile
import time

from common_utils import common_utils as cu

HERE = os.path.dirname(os.path.abspath(__file__))


def best_seconds(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


@contextlib.contextmanager
def command_line_cluster(workers):
    """The address of a scheduler and `workers` single-thread workers, each a
    process of its own started with `python -m dask`; all are ended on exit."""
    with tempfile.TemporaryDirectory() as where:
        env = dict(os.environ, PYTHONPATH=HERE)
        procs = []

        def spawn(*args):
            procs.append(subprocess.Popen(
                [sys.executable, "-m", "dask", *args], cwd=where, env=env,
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                start_new_session=True))

        info = os.path.join(where, "scheduler.json")
        try:
            spawn("scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                  "--scheduler-file", info)
            deadline = time.monotonic() + 120
            while not (os.path.exists(info) and open(info).read().strip().endswith("}")):
                if procs[0].poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("the Dask scheduler did not start")
                time.sleep(0.2)
            with open(info) as f:
                address = json.load(f)["address"]
            for _ in range(workers):
                spawn("worker", address, "--host", "127.0.0.1", "--nthreads", "1", "--no-nanny",
                      "--no-dashboard", "--death-timeout", "60")
            yield address
        finally:
            for p in reversed(procs):  # the workers before their scheduler
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(p.pid, signal.SIGTERM)
                try:
                    p.wait(20)
                except subprocess.TimeoutExpired:
                    os.killpg(p.pid, signal.SIGKILL)
                    p.wait()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--items", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--no-dask", action="store_true")
    options = parser.parse_args(argv)
    cu.logger.setLevel(logging.WARNING)
    sys.path.insert(0, HERE)
    from executor_body import busy  # workers import the body by name

    items = list(range(options.items))
    per_item = best_seconds(lambda: busy(1), 50)
    print("Python {}, {} CPUs, {} items, body {:.2f} ms, load average {:.2f} {:.2f} {:.2f}".format(
        sys.version.split()[0], os.cpu_count(), len(items), per_item * 1e3, *os.getloadavg()))

    def loop_on(mode):
        loop = cu.SimpleLooper(processors=busy, use_aysnc_run=mode)
        loop.init()
        return lambda: loop.process(items)

    base = best_seconds(loop_on(False), options.repeat)
    print("{:<28} {:>8.3f} s".format("sequential", base))
    with cf.ProcessPoolExecutor(2) as pool:
        pool.submit(busy, 0).result()
        t = best_seconds(loop_on(pool), options.repeat)
        print("{:<28} {:>8.3f} s  {:>5.2f}x".format("ProcessPoolExecutor(2)", t, base / t))
    if options.no_dask:
        return
    try:
        import distributed
    except ImportError:
        print("dask cluster: dask[distributed] is not installed")
        return
    for label, start in [
            ("Dask LocalCluster(2)", lambda: distributed.LocalCluster(
                n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)),
            ("Dask command-line cluster(2)", lambda: command_line_cluster(2))]:
        with start() as cluster, distributed.Client(cluster, timeout=60) as client:
            client.wait_for_workers(2, timeout=120)
            executor = client.get_executor(pure=False)
            executor.submit(busy, 0).result()
            t = best_seconds(loop_on(executor), options.repeat)
            print("{:<28} {:>8.3f} s  {:>5.2f}x".format(label, t, base / t))
    print("load average after {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))


if __name__ == "__main__":
    main()
