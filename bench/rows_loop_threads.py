"""Rows for the thread-pool loop mode: a loop processor with use_aysnc_run=True
against a plain ThreadPoolExecutor().map over the same trivial bodies.

The runner times at least 10,000 calls a repeat, so the row loops over a few
items; `python bench/rows_loop_threads.py [N]` times one run of N items (1,000
by default) against the executor map and the parts of the loop's cost: a
gather of anyio's run_sync calls (what the loop runs), a gather of coroutines
that only yield (the event loop's share) and a thread started and joined per
item (the threads' share).
"""
import asyncio
import concurrent.futures as cf
import functools
import sys
import threading
import time

from common_utils import common_utils as cu


def body(x, **kwargs):
    return x


def executor_map(items):
    with cf.ThreadPoolExecutor() as ex:
        return list(ex.map(body, items))


def anyio_gather(items):
    import anyio

    async def main():
        return await asyncio.gather(*[anyio.to_thread.run_sync(body, x) for x in items])

    out = asyncio.run(main())
    asyncio.run(asyncio.sleep(0))  # lets the finished run stop its workers
    return out


LOOP = cu.SimpleLooper(processors=body, use_aysnc_run=True)
LOOP.init()
FEW = list(range(8))
assert LOOP.process(FEW) == executor_map(FEW) == FEW

# (row name, candidate, baseline): add a row by appending a tuple.
ROWS = [
    ("thread-pool loop, 8 items vs ThreadPoolExecutor().map",
     functools.partial(LOOP.process, FEW), functools.partial(executor_map, FEW)),
]


async def yield_once(x):
    await asyncio.sleep(0)
    return x


def asyncio_gather(items):
    async def main():
        return await asyncio.gather(*[yield_once(x) for x in items])

    return asyncio.run(main())


def thread_each(items):
    threads = [threading.Thread(target=body, args=(x,)) for x in items]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return items


def one_run(count):
    items = list(range(count))
    print("{} trivial items, one run each, us per item".format(count))
    for name, fn in [("thread-pool loop", LOOP.process), ("ThreadPoolExecutor().map", executor_map),
                     ("gather of anyio run_sync", anyio_gather),
                     ("gather of no-op coroutines", asyncio_gather), ("a thread per item", thread_each)]:
        start = time.perf_counter()
        assert list(fn(items)) == items
        print("{:<26} {:9.1f}".format(name, (time.perf_counter() - start) / count * 1e6))


if __name__ == "__main__":
    one_run(int(sys.argv[1]) if len(sys.argv) > 1 else 1000)
