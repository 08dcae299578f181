"""FileCache: the shelf-backed decorator, its statistics and hit line, stable
keys found again by another process, several processes on one file, closing
(at exit too), and reference hygiene."""
import gc
import os
import logging
import shelve
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import common_utils.common_utils as cu

HIT_LINE = "FileCache cache hit, key=(%s) cache_info=%s"


def counted(func):
    def run(*args, **kwargs):
        run.calls.append((args, kwargs))
        return func(*args, **kwargs)
    run.calls = []
    return run


def echo(*args, **kwargs):
    """Echo docstring."""
    return [list(args), kwargs]


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "shelf")


@pytest.fixture
def cache(path):
    c = cu.FileCache(path)
    yield c
    c.close()


def test_hits_statistics_metadata_and_options(cache, path, log_records):
    f = cache(counted(echo))
    assert f("x") == f("x") == [["x"], {}]
    assert len(f.__wrapped__.calls) == 1
    hits = [(r.levelno, r.args) for r in log_records if r.msg == HIT_LINE]
    assert hits == [(logging.DEBUG, ("x", cu._CacheInfo(1, 1, 0, 1)))]
    f(1, b=2)
    f(1, b=2)
    sep = cu._make_key((), {"k": 0}, hash=str).split(",")[0][1:]
    assert log_records[-1].args == ("(1, {}, 'b', 2)".format(sep), cu._CacheInfo(2, 2, 0, 2))
    f = cache(counted(lambda x: None))
    assert f("a") is None and f("a") is None and len(f.__wrapped__.calls) == 2
    assert f.cache_info() == (2, 4, 0, 2) and len(cache._cache) == 2
    g = cache(echo)
    assert (g.__name__, g.__doc__, g.__wrapped__) == ("echo", "Echo docstring.", echo)
    assert g.cache_info.__self__ is cache
    c = cu.FileCache(path + "2", writeback=True, protocol=2)
    shelf = c._cache
    assert shelf.writeback is True and shelf._protocol == 2
    del c  # an empty shelf is closed by the finaliser as well
    gc.collect()
    with pytest.raises(ValueError, match="closed shelf"):
        shelf["x"]
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        cu.FileCache(path, bogus=1)


WRITER = textwrap.dedent("""
    import sys
    import common_utils.common_utils as cu

    def compute(*args, **kwargs):
        print("ran", repr(args), repr(kwargs))
        return [args, kwargs]

    f = cu.FileCache(sys.argv[1])(compute)
    shapes = [
        (("text",), {}), ((7,), {}), ((-1, 0), {}), ((-2, 0), {}), ((2.5, True, None), {}),
        ((b"raw",), {}), (((1, "a"), [2, "b"], {"k": [1.5]}), {}),
        ((), {"name": "x", "when": 3}), (("p",), {"opts": {"deep": (None, b"")}}),
        # alike arguments, equal ones among them, that must not share an entry
        ((1,), {}), (("1",), {}), ((1.0,), {}), ((True,), {}), (("a",), {}), ((b"a",), {}),
        (((1, 2),), {}), (([1, 2],), {}), ((1, 2), {}), ((1,), {"b": 2}),
        ((), {"a": 1, "b": 2}), ((), {"b": 2, "a": 1}), (("a, 'b'",), {}), (("a", "b"), {}),
    ]
    for args, kwargs in shapes:
        assert f(*args, **kwargs) == [args, kwargs]
    print("calls", f.cache_info())
""")


def test_another_process_finds_the_results(run_python, path):
    # The cache is still open at exit: it is closed before the interpreter
    # tears down what closing needs, quietly.  Every shape runs once (none
    # shares an entry), and all are found again under another hash seed.
    for seed, hits in (("1", 0), ("2", 23)):
        run = run_python(WRITER, args=[path], env=dict(os.environ, PYTHONHASHSEED=seed))
        assert (run.returncode, run.stderr, run.stdout.count("ran ")) == (0, "", 23 - hits)
        assert run.stdout.strip().endswith(
            "calls CacheInfo(hits={}, misses={}, maxsize=0, currsize=23)".format(hits, 23 - hits))


def test_a_written_shelf_and_two_caches_on_it_see_each_others_stores(path):
    with shelve.open(path) as old:  # keys as FileCache has always written them
        old.update({"x": ["str key"], "\x1f0x5": ["int key"]})
    a, b = cu.FileCache(path), cu.FileCache(path)  # as two processes would
    assert (b.get("x"), b.get(5), b.cache_info()) == (["str key"], ["int key"], (2, 0, 0, 2))
    a.put("k", "x" * 10)
    assert b.get("k") == "x" * 10
    a.put("k", "y" * 300)  # a longer value in the same place
    assert b.get("k") == "y" * 300
    b.put("j", 1)
    a.put("i", 2)
    shelf = a._cache
    a.close()
    a.close()
    b.close()
    assert a._cache is None
    with pytest.raises(ValueError, match="closed shelf"):
        shelf["x"]
    assert stored(path) == {"x": ["str key"], "\x1f0x5": ["int key"], "k": "y" * 300, "j": 1, "i": 2}


# Each child waits for the others before opening, so that they create the
# file together, then stores keys of its own and keys that all of them share.
VALUE = "lambda key: [key, 'v' * (sum(map(ord, key)) % 900)]"
SHARER = textwrap.dedent("""
    import os, sys, time
    import common_utils.common_utils as cu

    path, name, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    open(path + "." + name, "w").close()
    while not os.path.exists(path + ".go"):
        time.sleep(0.001)
    f = cu.FileCache(path)(%s)
    for i in range(count):
        f("{}-{}".format(name, i))
        f("shared-{}".format(i // 2))
        print(i, flush=True)
""") % VALUE


def start(tmp_path, runs, count):
    """Starts a SHARER per (path, name) pair; returns once all wait to go."""
    children = [subprocess.Popen([sys.executable, "-c", SHARER, path, name, str(count)],
                                 cwd=str(tmp_path), stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True) for path, name in runs]
    deadline = time.monotonic() + 60
    while not all(os.path.exists(path + "." + name) for path, name in runs):
        assert all(child.poll() is None for child in children) and time.monotonic() < deadline
        time.sleep(0.01)
    return children


def stored(path):
    c = cu.FileCache(path)
    try:
        return {key: c._cache[key] for key in c._cache.keys()}
    finally:
        c.close()


def test_processes_sharing_one_new_file_keep_every_entry(tmp_path, path):
    names, count = ["a", "b", "c"], 20
    children = start(tmp_path, [(path, name) for name in names], count)
    open(path + ".go", "w").close()
    for child in children:
        assert child.communicate(timeout=60)[1] == "" and child.returncode == 0
    keys = ["{}-{}".format(n, i) for n in names for i in range(count)]
    keys += ["shared-{}".format(i) for i in range(count // 2)]
    assert stored(path) == {key: eval(VALUE)(key) for key in keys}


def test_writers_killed_midway_leave_every_finished_entry(tmp_path):
    trials = {str(tmp_path / str(n)): n for n in [1, 3, 7, 20, 45]}
    children = dict(zip(trials, start(tmp_path, [(p, "a") for p in trials], 1000)))
    for p, child in children.items():  # the kills land in every phase of a store
        open(p + ".go", "w").close()
        done = [child.stdout.readline() for _ in range(trials[p])]
        child.send_signal(signal.SIGKILL)
        done += child.communicate(timeout=60)[0].split()
        entries = stored(p)
        assert all(entries["a-" + i.strip()][0] == "a-" + i.strip() for i in done)
