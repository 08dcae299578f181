"""Rows for the configuration loader: _EnhanceSafeLoader against yaml.SafeLoader on
documents without !include or !alias, read from the same open file.

The tags must cost nothing where a document does not use them.  bench.py times at
least 10,000 calls per repeat, so its row loads a small document (the loader's own
per-load cost shows there); the ~1 MB file is timed when this file is run itself, with tracemalloc stopped
unless --traced is given (a traced load of 1 MB takes most of a minute):

    /tmp/cu-venv-TAG/bin/python bench/rows_config.py [--traced]
"""
import functools
import os
import sys
import tempfile
import timeit
import tracemalloc

import yaml

from common_utils import common_utils as cu


def document(records):
    """A configuration-like document: nested mappings, lists and scalars of every kind."""
    return {
        "job": {"name": "nightly", "retries": 3, "ratio": 0.25, "enabled": True},
        "records": [
            {"id": i, "name": "item-{}".format(i), "score": i / 7.0, "tags": ["a", "b", str(i)],
             "when": "2024-01-{:02d}".format(i % 28 + 1), "active": i % 2 == 0,
             "params": {"lr": 0.001 * i, "steps": [i, i + 1, i + 2]}}
            for i in range(records)
        ],
    }


def open_document(records):
    fd, path = tempfile.mkstemp(suffix=".yaml")
    with os.fdopen(fd, "w") as f:
        yaml.safe_dump(document(records), f, default_flow_style=False)
    f = open(path)
    os.unlink(path)  # the open file stays readable
    return f


def load(f, loader):
    f.seek(0)
    return yaml.load(f, Loader=loader)


SMALL = open_document(1)

ROWS = [
    (
        "yaml.load, small file: _EnhanceSafeLoader vs SafeLoader",
        functools.partial(load, SMALL, cu._EnhanceSafeLoader),
        functools.partial(load, SMALL, yaml.SafeLoader),
    ),
]


def main(repeat=3):
    if "--traced" not in sys.argv:
        tracemalloc.stop()
    big = open_document(5_200)
    size = os.fstat(big.fileno()).st_size
    assert load(big, cu._EnhanceSafeLoader) == load(big, yaml.SafeLoader)
    timers = [timeit.Timer(functools.partial(load, big, cu._EnhanceSafeLoader)),
              timeit.Timer(functools.partial(load, big, yaml.SafeLoader))]
    best = [float("inf")] * 2
    for _ in range(repeat):  # alternating, so that drift in machine load hits both
        for i, timer in enumerate(timers):
            best[i] = min(best[i], timer.timeit(1))
    print("yaml.load, {:.2f} MB file, tracemalloc {}: _EnhanceSafeLoader {:.3f} s, "
          "SafeLoader {:.3f} s, ratio {:.3f}".format(
              size / 1e6, "on" if tracemalloc.is_tracing() else "off", best[0], best[1],
              best[0] / best[1]))
    big.close()


if __name__ == "__main__":
    main()
