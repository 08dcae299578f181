"""Shared pipelines, loops, a cached function and a reported function, driven from several
threads at once: no crash, every result in its place, statistics consistent.  Each concern
runs in a child interpreter with a time bound: a crash or a deadlock fails the test, not the run."""
import json
import os

import pytest

SANITIZED = bool(os.environ.get("CU_SANITIZER"))

COMMON = """
import json, logging, sys, threading
import common_utils.common_utils as cu
cu.logger.setLevel(logging.CRITICAL + 10)
THREADS, RUNS = 4, {runs}
errors = []

def hammer(work):
    def guarded(i):
        try:
            work(i)
        except BaseException as exc:
            errors.append(repr(exc))
    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(THREADS)]
    [t.start() for t in threads], [t.join() for t in threads]
    assert not errors, errors[:3]
"""

PIPELINES = """
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

def work(i):
    for run in range(RUNS):
        data = list(range(1000 * (i + run), 1000 * (i + run) + 1000))
        for name, p in KINDS.items():
            got = [p.process(x) for x in data]
            assert got == [expect(name, x) for x in data], name
        want = [(x + 1) * 2 for x in data]
        for name, p in LOOPS.items():
            if name != "async loop" or run == 0:  # a thread per item: slow, once is enough
                assert list(p.process(data)) == want, name

hammer(work)
print(json.dumps({"ok": True}))
"""

LRU = """
cache, calls = cu.LRUCache(maxsize=64, report_times=5000), [0] * THREADS
square = cache(lambda x: x * x)

def work(i):
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

SQUARES = {x * x for x in range(200)} | {1}
hammer(work)
info = cache.cache_info()
print(json.dumps({"hits": info.hits, "misses": info.misses, "currsize": info.currsize,
                  "length": len(cache), "calls": sum(calls)}))
"""

REPORT = """
seen, keep = [], logging.Handler()
keep.emit = lambda record: seen.append(record.args[1])
cu.logger.addHandler(keep)
cu.logger.setLevel(logging.INFO)
add = cu.call_report(interval=1000)(lambda a, b=0: a + b)

def work(i):
    for n in range(RUNS * 5000):
        assert add(n, b=i) == n + i

hammer(work)
print(json.dumps({"reports": seen, "calls": THREADS * RUNS * 5000}))
"""


@pytest.mark.long
@pytest.mark.parametrize("script", [PIPELINES, LRU, REPORT], ids=["pipelines", "lru_cache", "call_report"])
def test_threads_at_once(script, run_python):
    runs = 2 if SANITIZED else 5
    done = run_python(COMMON.format(runs=runs) + script, timeout=600)
    assert done.returncode == 0, done.stderr[-4000:]
    result = json.loads(done.stdout.splitlines()[-1])
    if script is LRU:
        # Unsynchronised counting may lose updates, never invent them.
        assert result["hits"] + result["misses"] <= result["calls"], result
        assert result["currsize"] == result["length"] <= 64, result
    elif script is REPORT:
        # One report per 1000 calls of all threads together (records of
        # different threads may reach the handler in either order).
        assert sorted(result["reports"]) == list(range(1000, result["calls"] + 1, 1000)), result["reports"][:5]
