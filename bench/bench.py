"""Call costs of the installed module, each measured beside its baseline.

    python bench/bench.py            # best of 7 repeats, about 0.2 s per repeat
    python bench/bench.py --quick    # smoke run: best of 3 short repeats
    python bench/bench.py --untraced # stop the tracemalloc that importing started

Run it with the interpreter of a venv that has the module installed (for
example /tmp/cu-venv-TAG/bin/python), not from a source checkout.

Each row times a zero-argument candidate and a zero-argument baseline,
alternating their repeats so that drift in machine load hits both; the ratio is
candidate / baseline.  Both sides are partial objects, so the shared cost of the
partial call cancels out of the difference column, not of the ratio.

Importing the module starts tracemalloc for the whole process, which makes every
allocation dearer; by default the rows are timed in that state, as callers of
the module run, and --untraced shows the cost without it.
"""
import argparse
import functools
import platform
import sys
import timeit
import tracemalloc

from common_utils import common_utils as cu


def plain(x, **kwargs):
    return x


SHARED = {"time_cost": {}}
PROCESSOR = cu.FunctionProcessor(plain)

def _step(i):
    def step(x, **kwargs):
        return x
    step.__name__ = "step{}".format(i)
    return step


STEPS = [_step(i) for i in range(10)]
PIPELINE = cu.Processor(STEPS)
PIPELINE.init()
PIPELINE_KW = {"time_cost": {}}


def plain_pipeline(x):
    """The plain loop the pipeline is measured against: same steps, same keywords."""
    out = x
    g = PIPELINE_KW
    for f in STEPS:
        out = f(out, g_kwargs=g, **g)
    return out


ITEMS = list(range(1000))
LOOP = cu.SimpleLooper(processors=plain)
LOOP.init()


def plain_loop(items):
    g = PIPELINE_KW
    return [plain(x, g_kwargs=g, **g) for x in items]


def _is_big(x, **kwargs):
    return x > 10


BRANCH = cu.ConditionalProcessor(_is_big, plain, plain)
BRANCH.init()


def plain_branch(x):
    g = PIPELINE_KW
    return plain(x, g_kwargs=g, **g) if _is_big(x, g_kwargs=g, **g) else plain(x, g_kwargs=g, **g)


# (row name, candidate, baseline): add a row by appending a tuple.
ROWS = [
    (
        "FunctionProcessor.process(x) vs f(x)",
        functools.partial(PROCESSOR.process, 1),
        functools.partial(plain, 1),
    ),
    (
        "FunctionProcessor.process(x, g_kwargs=d, **d) vs f(...)",
        functools.partial(PROCESSOR.process, 1, g_kwargs=SHARED, **SHARED),
        functools.partial(plain, 1, g_kwargs=SHARED, **SHARED),
    ),
    (
        "Processor.process, 10 steps, logger at INFO vs loop",
        functools.partial(PIPELINE.process, 1),
        functools.partial(plain_pipeline, 1),
    ),
    (
        "LoopProcessor.process, 1,000 items vs list comprehension",
        functools.partial(LOOP.process, ITEMS),
        functools.partial(plain_loop, ITEMS),
    ),
    (
        "ConditionalProcessor.process vs if/else of the calls",
        functools.partial(BRANCH.process, 42),
        functools.partial(plain_branch, 42),
    ),
]


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
    for name, candidate, baseline in ROWS:
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
