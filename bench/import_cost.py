"""What importing the module costs the rest of the caller's process.

    python bench/import_cost.py                            # this interpreter
    python bench/import_cost.py --python A --python B ...  # each interpreter named

Each interpreter must have the module installed (a venv's python, for
example).  Importing the module starts tracemalloc for the whole process and
applies the nested-event-loop patch to asyncio.  In one fresh process per
interpreter this times, best of several repeats:

- plain user code (an int loop, building dicts and dumping them as JSON)
  before the import, after it, and after `tracemalloc.stop()`;
- `asyncio.run` of a gather of 5,000 trivial coroutines before the import and
  after it, with tracemalloc stopped (the patch's own cost).

The ratios are after / before, from the same process.  With
COMMON_UTILS_TRACEMALLOC=0 in the environment the import skips the start, and
the "traced" column shows that instead.
"""
import argparse
import asyncio
import json
import os
import platform
import subprocess
import sys
import time
import tracemalloc


def user_code():
    total = 0
    for i in range(100_000):
        total += i * i
    rows = [{"id": i, "name": "n%d" % i, "share": i / 3, "tags": ["a", "b"]} for i in range(10_000)]
    return total, len(json.dumps(rows))


async def trivial(i):
    return i


async def gather(n):
    return await asyncio.gather(*[trivial(i) for i in range(n)])


def asyncio_code():
    return len(asyncio.run(gather(5_000)))


def best(func, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        func()
        times.append(time.perf_counter() - t0)
    return min(times)


def child(repeat):
    """Runs in the fresh process: the figures as one JSON line."""
    out = {"python": platform.python_version(), "tracing_before": tracemalloc.is_tracing()}
    out["plain"] = best(user_code, repeat)
    out["asyncio"] = best(asyncio_code, repeat)
    from common_utils import common_utils  # noqa: F401  (the import under test)

    out["tracing_after"] = tracemalloc.is_tracing()
    out["traced"] = best(user_code, repeat)
    tracemalloc.stop()
    out["stopped"] = best(user_code, repeat)
    out["asyncio_patched"] = best(asyncio_code, repeat)
    print(json.dumps(out))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", action="append", default=[],
                        help="an interpreter with the module installed (repeatable)")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args(argv)
    if options.child:
        child(options.repeat)
        return 0

    print("load average {:.2f} {:.2f} {:.2f}, {} cores".format(*os.getloadavg(), os.cpu_count()))
    header = "{:<9} {:>9} {:>8} {:>9} {:>11} {:>9}".format(
        "python", "plain ms", "traced", "stopped", "asyncio ms", "patched")
    print(header)
    print("-" * len(header))
    for python in options.python or [sys.executable]:
        # -I: the checkout beside this script must not shadow the installed package.
        proc = subprocess.run([python, "-I", os.path.abspath(__file__), "--child",
                               "--repeat", str(options.repeat)],
                              capture_output=True, text=True, cwd="/", timeout=600)
        if proc.returncode != 0:
            print("{}: failed\n{}".format(python, proc.stderr.strip()), file=sys.stderr)
            continue
        r = json.loads(proc.stdout.strip().splitlines()[-1])
        traced = "{:.2f}x".format(r["traced"] / r["plain"]) + ("" if r["tracing_after"] else "*")
        print("{:<9} {:>9.1f} {:>8} {:>8.2f}x {:>11.1f} {:>8.2f}x".format(
            r["python"], r["plain"] * 1e3, traced, r["stopped"] / r["plain"],
            r["asyncio"] * 1e3, r["asyncio_patched"] / r["asyncio"]))
    print("traced: user code after the import / before it; stopped: after tracemalloc.stop();"
          "\npatched: asyncio.run after the import (tracemalloc stopped) / before it;"
          " * the import did not start tracemalloc")
    return 0


if __name__ == "__main__":
    sys.exit(main())
