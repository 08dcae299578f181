"""Shared pipelines, loops, a cached function and a reported function, driven from several
threads at once: no crash, every result in its place, statistics consistent.  It runs in a
child interpreter with a time bound: a crash or a deadlock fails the test, not the run."""
import os

import pytest

SCRIPT = """
import concurrent.futures, logging, sys
import common_utils.common_utils as cu
cu.logger.setLevel(logging.CRITICAL + 10)
THREADS, RUNS = 4, int(sys.argv[1])

def hammer(work):  # a failed assert in any thread re-raised here
    with concurrent.futures.ThreadPoolExecutor(THREADS) as pool:
        list(pool.map(work, range(THREADS)))

inc, dbl, items = (lambda x, **k: x + 1), (lambda x, **k: x * 2), (lambda x, **k: x)
# One instance of each kind, shared by every thread.
KINDS = {
    "sequential": cu.Processor([inc, dbl]),
    "conditional": cu.ConditionalProcessor(lambda x, **k: x % 2 == 0, [inc, dbl], [dbl, inc]),
    "cached": cu.LRUCacheProcessor("in_data", 64, processors=[inc, dbl]),
}
LOOPS = {
    "loop": cu.LoopProcessor(items, [inc, dbl]),
    "async loop": cu.LoopProcessor(items, [inc, dbl], use_aysnc_run=True),
    "lazy loop": cu.SimpleLooper(processors=[inc, dbl], merge_output=False),
}
[p.init() for p in [*KINDS.values(), *LOOPS.values()]]
expect = lambda name, x: x * 2 + 1 if name == "conditional" and x % 2 else (x + 1) * 2

def pipelines(i):
    for run in range(RUNS):
        data = list(range(1000 * (i + run), 1000 * (i + run) + 1000))
        for name, p in KINDS.items():
            assert [p.process(x) for x in data] == [expect(name, x) for x in data], name
        for name, p in LOOPS.items():
            if name != "async loop" or run == 0:  # a thread per item: slow, once is enough
                assert list(p.process(data)) == [(x + 1) * 2 for x in data], name

cache, calls = cu.LRUCache(maxsize=64, report_times=5000), [0] * THREADS
square, SQUARES = cache(lambda x: x * x), {x * x for x in range(200)} | {1}

def cached(i):
    for n in range(RUNS * 5000):
        x = (n * 7 + i) % 200
        calls[i] += 1
        assert square(x) == x * x
        if n % 500 == 0:  # the mapping and the counters read while others write
            info = cache.cache_info()
            assert info.currsize <= info.maxsize == 64, info
            assert all(v in SQUARES for v in list(cache.values()))
        if n % 997 == 0:
            cache.put(("direct", i), 1)
            calls[i] += 1  # a lookup is counted as a call is
            cache.get(("direct", i))

add = cu.call_report(interval=1000)(lambda a, b=0: a + b)

def reported(i):
    for n in range(RUNS * 5000):
        assert add(n, b=i) == n + i

hammer(pipelines)
hammer(cached)
info = cache.cache_info()
# Unsynchronised counting may lose updates, never invent them.
assert info.hits + info.misses <= sum(calls) and info.currsize == len(cache) <= 64, info
seen, keep = [], logging.Handler()
keep.emit = lambda record: seen.append(record.args[1])
cu.logger.addHandler(keep)
cu.logger.setLevel(logging.INFO)
hammer(reported)
# One report per 1000 calls of all threads together (records of different threads may
# reach the handler in either order).
assert sorted(seen) == list(range(1000, THREADS * RUNS * 5000 + 1, 1000)), seen[:5]
"""


@pytest.mark.long
def test_threads_at_once(run_python):
    done = run_python(SCRIPT, timeout=900, args=["2" if os.environ.get("CU_SANITIZER") else "5"])
    assert done.returncode == 0, done.stderr[-4000:]
