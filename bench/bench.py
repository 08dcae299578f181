"""Call costs of the installed module, each measured beside its baseline.

    python bench/bench.py            # best of 7 repeats, about 0.2 s per repeat
    python bench/bench.py --quick    # smoke run: best of 3 short repeats
    python bench/bench.py --untraced # stop the tracemalloc that importing started

Run it with the interpreter of a venv that has the module installed (for
example /tmp/cu-venv-TAG/bin/python), not from a source checkout.

Rows live in bench/rows_*.py, one file per subsystem, each with a list ROWS of
(row name, candidate, baseline); `--only WORD` keeps the files whose name has
WORD.  Each row times a zero-argument candidate and a zero-argument baseline,
alternating their repeats so that drift in machine load hits both; the ratio is
candidate / baseline.  Both sides are partial objects, so the shared cost of the
partial call cancels out of the difference column, not of the ratio.

Importing the module starts tracemalloc for the whole process, which makes every
allocation dearer; by default the rows are timed in that state, as callers of
the module run, and --untraced shows the cost without it.
"""
import argparse
import importlib
import os
import platform
import sys
import timeit
import tracemalloc

from common_utils import common_utils as cu

HERE = os.path.dirname(os.path.abspath(__file__))


def load_rows(only=None):
    """The ROWS of every bench/rows_*.py, in file-name order."""
    sys.path.insert(0, HERE)
    rows = []
    for file_name in sorted(os.listdir(HERE)):
        if file_name.startswith("rows_") and file_name.endswith(".py"):
            if only and only not in file_name:
                continue
            rows.extend(importlib.import_module(file_name[:-3]).ROWS)
    return rows


def best_ns(timers, number, repeat):
    """Best time per call in ns for each timer, repeats interleaved."""
    best = [float("inf")] * len(timers)
    for _ in range(repeat):
        for i, timer in enumerate(timers):
            best[i] = min(best[i], timer.timeit(number) / number * 1e9)
    return best


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short smoke run")
    parser.add_argument("--repeat", type=int, default=None, help="repeats per side")
    parser.add_argument("--untraced", action="store_true", help="stop tracemalloc first")
    parser.add_argument("--only", default=None, help="only rows_*.py files whose name has this")
    options = parser.parse_args(argv)
    repeat = options.repeat or (3 if options.quick else 7)
    if options.untraced:
        tracemalloc.stop()

    print("Python {}, tracemalloc {}, {}".format(
        platform.python_version(), "on" if tracemalloc.is_tracing() else "off", cu.__file__))
    header = "{:<58} {:>9} {:>12} {:>9} {:>6}".format(
        "row", "ns/call", "baseline ns", "diff ns", "ratio")
    print(header)
    print("-" * len(header))
    for name, candidate, baseline in load_rows(options.only):
        timers = [timeit.Timer(candidate), timeit.Timer(baseline)]
        if options.quick:
            number = 10_000
        else:
            number, _ = timers[0].autorange()
            number = max(number, 10_000)
        cand_ns, base_ns = best_ns(timers, number, repeat)
        print("{:<58} {:>9.1f} {:>12.1f} {:>9.1f} {:>6.2f}".format(
            name, cand_ns, base_ns, cand_ns - base_ns, cand_ns / base_ns))
    return 0


if __name__ == "__main__":
    sys.exit(main())
