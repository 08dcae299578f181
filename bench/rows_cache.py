"""Rows for the caches: the decorators against functools.lru_cache on the same
functions and arguments, the key maker against functools._make_key."""
import atexit
import functools
import itertools
import os
import shelve
import shutil
import tempfile

from common_utils import common_utils as cu


def one(x):
    return x


def two(x, y):
    return x


def kw(x=0):
    return x


# Hit counts far past the small-int range, as in a long-running process.
LONG_RUN = 10 ** 7


def _pair(func, maxsize=128):
    # The statistics line still comes due on every call; it is only never
    # written, so that the rows time the cache rather than the log handler.
    cache = cu.LRUCache(maxsize=maxsize, report_times=10 ** 9)
    ours = cache(func)
    theirs = functools.lru_cache(maxsize=maxsize)(func)
    return cache, ours, theirs


def _hit_row(name, func, args, kwargs):
    cache, ours, theirs = _pair(func)
    ours(*args, **kwargs)
    theirs(*args, **kwargs)
    cache.hits = LONG_RUN
    for _ in range(300):  # the reference side's counter past the small ints too
        theirs(*args, **kwargs)
    return (
        "LRUCache hit, {} vs functools.lru_cache".format(name),
        functools.partial(ours, *args, **kwargs),
        functools.partial(theirs, *args, **kwargs),
    )


def _miss_row(name, func, make_call):
    # 256 distinct arguments through 128 places: every call misses and evicts.
    cache, ours, theirs = _pair(func)
    cache.misses = LONG_RUN
    values = list(range(10 ** 6, 10 ** 6 + 256))
    ours_next = functools.partial(next, itertools.cycle(values))
    theirs_next = functools.partial(next, itertools.cycle(values))
    return (
        "LRUCache miss, {} vs functools.lru_cache".format(name),
        functools.partial(make_call, ours, ours_next),
        functools.partial(make_call, theirs, theirs_next),
    )


def _call_one(f, value):
    return f(value())


def _call_two(f, value):
    return f(value(), 2)


def _call_kw(f, value):
    return f(x=value())


_DIR = tempfile.mkdtemp(prefix="cu-bench-")
atexit.register(shutil.rmtree, _DIR, True)
FILE_CACHE = cu.FileCache(os.path.join(_DIR, "ours"))
FILE_ONE = FILE_CACHE(one)
FILE_ONE("key")
FILE_NONE = FILE_CACHE(lambda x: None)  # a miss that stores nothing
SHELF = shelve.open(os.path.join(_DIR, "theirs"))
SHELF["key"] = "key"
# Registered after the removal of the directory, so run before it.
atexit.register(FILE_CACHE.close)
atexit.register(SHELF.close)


def shelf_hit(key):
    """What a hit must do at least: the presence test and the read."""
    if key in SHELF:
        return SHELF[key]
    return None


def shelf_miss(key):
    """What a miss must do at least: the presence test."""
    return key in SHELF


def _piped(x, **kwargs):
    return x


CACHED = cu.LRUCacheProcessor(processors=_piped)
CACHED.init()
CACHED.process(1000)
STORE = cu.LRUCache()
STORE.put(1000, 1000)


ROWS = [
    _hit_row("one int argument", one, (1000,), {}),
    _hit_row("two positional arguments", two, (1000, 2), {}),
    _hit_row("one keyword argument", kw, (), {"x": 1000}),
    _miss_row("one int argument", one, _call_one),
    _miss_row("two positional arguments", two, _call_two),
    _miss_row("one keyword argument", kw, _call_kw),
    (
        "_make_key((1, 2), {'a': 3}) vs functools._make_key",
        functools.partial(cu._make_key, (1, 2), {"a": 3}),
        functools.partial(functools._make_key, (1, 2), {"a": 3}, False),
    ),
    (
        "LRUCacheProcessor hit vs LRUCache.get of the same key",
        functools.partial(CACHED.process, 1000),
        functools.partial(STORE.get, 1000),
    ),
    (
        "FileCache hit, one str argument vs shelf test and read",
        functools.partial(FILE_ONE, "key"),
        functools.partial(shelf_hit, "key"),
    ),
    (
        "FileCache miss, one str argument vs shelf test",
        functools.partial(FILE_NONE, "absent"),
        functools.partial(shelf_miss, "absent"),
    ),
]
