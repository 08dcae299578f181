"""Speed-up of a loop on a process pool and on a Dask cluster over the
sequential loop, for a CPU-bound body of about a millisecond per item.

    python bench/executor_speedup.py [--items 2000] [--repeat 3] [--no-dask]

Run it with the interpreter of a venv that has the module installed (and
dask[distributed] for the cluster row), from any directory but the source
checkout.  Each row is the best of the repeats; worker start-up is left out
(the pool and the cluster are started and warmed up first).
"""
import argparse
import concurrent.futures as cf
import logging
import os
import sys
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
    print("Python {}, {} CPUs, {} items, body {:.2f} ms".format(
        sys.version.split()[0], os.cpu_count(), len(items), per_item * 1e3))

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
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        executor = client.get_executor(pure=False)
        executor.submit(busy, 0).result()
        t = best_seconds(loop_on(executor), options.repeat)
        print("{:<28} {:>8.3f} s  {:>5.2f}x".format("Dask LocalCluster(2)", t, base / t))


if __name__ == "__main__":
    main()
