"""LRUCache: the ordered mapping, get/put and eviction, the decorator with its
statistics and log lines, collision-free keys, the direct paths against
overrides, reentrancy and reference hygiene."""
import collections
import copy
import functools
import gc
import logging
import pickle
import sys

import pytest

import common_utils.common_utils as cu

INFO_LINE = "LRUCache '%s()' cache_info=%s"
CLEAN_LINE = "LRUCache cache clean, cache_info=%s"


def lines(records, msg):
    return [r.args for r in records if r.msg == msg]


def counted(func):
    """func, recording the arguments of each call in .calls."""
    @functools.wraps(func)
    def run(*args, **kwargs):
        run.calls.append((args, kwargs))
        return func(*args, **kwargs)
    run.calls = []
    return run


@counted
def add(a, b=0, **kwargs):
    return (a, b, kwargs)


# ==== construction ===========================================================

def test_defaults_and_mapping():
    c = cu.LRUCache()
    assert (c.maxsize, c.hits, c.misses, c.report_times) == (128, 0, 0, 1000)
    assert isinstance(c, collections.OrderedDict) and len(c) == 0
    assert c.cache_info() == (0, 0, 128, 0)
    assert type(c.cache_info()) is cu._CacheInfo
    assert cu.LRUCache(-5).maxsize == 0


@pytest.mark.parametrize("kwargs, param", [
    ({"maxsize": True}, "maxsize"), ({"maxsize": None}, "maxsize"), ({"maxsize": 1.0}, "maxsize"),
    ({"report_times": False}, "report_times"), ({"report_times": "10"}, "report_times"),
])
def test_parameters_must_be_exact_int(kwargs, param):
    with pytest.raises(TypeError, match=r"argument '{}' must be int, not ".format(param)):
        cu.LRUCache(**kwargs)


def test_applied_without_parentheses_fails_at_decoration():
    with pytest.raises(TypeError, match="argument 'maxsize' must be int, not function"):
        cu.LRUCache(add)


@pytest.mark.parametrize("report_times", [0, -3])
def test_report_times_must_be_positive(report_times):
    # Every call of the decorated function would fail otherwise.
    with pytest.raises(ValueError, match=r"'report_times' must be greater than 0, got {}$".format(report_times)):
        cu.LRUCache(report_times=report_times)


def test_statistics_are_int_attributes():
    c = cu.LRUCache()
    c.hits = 10 ** 12
    c.misses = 2
    assert c.cache_info() == (10 ** 12, 2, 128, 0)
    with pytest.raises(TypeError, match="int, not str"):
        c.hits = "x"
    with pytest.raises(AttributeError):
        del c.misses


# ==== get, put and eviction ==================================================

def test_eviction_order_and_statistics(log_records):
    c = cu.LRUCache(maxsize=2)
    c.put("a", 1)
    c.put("b", 2)
    assert c.get("a") == 1
    c.put("c", 3)
    assert list(c.items()) == [("a", 1), ("c", 3)]
    assert c.get("b") is None
    c.put("a", 10)  # present: moved to the end, no eviction
    assert list(c.items()) == [("c", 3), ("a", 10)]
    assert c.cache_info() == (1, 1, 2, 2)
    assert lines(log_records, CLEAN_LINE) == [(cu._CacheInfo(1, 0, 2, 3),)]
    # Direct mapping access bypasses statistics and order.
    assert c["c"] == 3 and "a" in c and list(c) == ["c", "a"] and c.cache_info() == (1, 1, 2, 2)


@pytest.mark.parametrize("maxsize", [0, -1])
def test_size_zero_stores_nothing(maxsize, log_records):
    f = cu.LRUCache(maxsize=maxsize)(counted(lambda x: x))
    assert [f(1), f(1)] == [1, 1] and len(f.__wrapped__.calls) == 2
    assert f.cache_info() == (0, 2, 0, 0)
    assert lines(log_records, CLEAN_LINE) == [(cu._CacheInfo(0, 1, 0, 1),), (cu._CacheInfo(0, 2, 0, 1),)]


def test_any_hashable_key_for_get_and_put():
    c = cu.LRUCache()
    for key in [(1, [2]) if False else (1, (2,)), frozenset({1}), None, 1.5]:
        c.put(key, key)
        assert c.get(key) == key
    with pytest.raises(TypeError, match="unhashable"):
        c.get([1])
    assert c.cache_info().misses == 0


# ==== the decorator ==========================================================

def test_decorated_calls_counts_and_metadata():
    f = cu.LRUCache()(add)
    add.calls.clear()
    assert f(1, 2) == f(1, 2) == (1, 2, {})
    assert add.calls == [((1, 2), {})]
    assert f.cache_info() == (1, 1, 128, 1)
    assert (f.__name__, f.__doc__, f.__wrapped__) == ("add", add.__doc__, add)
    assert f.cache_info.__self__ is f.cache_info.__self__  # the cache's bound method
    assert isinstance(f.cache_info.__self__, cu.LRUCache)


def test_periodic_info_line_counts_hits_and_misses(log_records):
    def g(x):
        return x

    f = cu.LRUCache(report_times=3)(g)
    for x in [1, 1, 2, 2, 3, 1]:
        f(x)
    # Logged after the lookup, before a miss stores its result.
    assert lines(log_records, INFO_LINE) == [("g", cu._CacheInfo(1, 2, 128, 1)),
                                             ("g", cu._CacheInfo(3, 3, 128, 3))]


def test_none_is_never_stored_and_errors_are_counted_misses():
    f = cu.LRUCache()(counted(lambda x: None if x else 1 // x))
    assert f(1) is None and f(1) is None
    with pytest.raises(ZeroDivisionError):
        f(0)
    assert len(f.__wrapped__.calls) == 3 and f.cache_info() == (0, 3, 128, 0)


def test_unhashable_argument_is_not_counted():
    f = cu.LRUCache()(add)
    add.calls.clear()
    with pytest.raises(TypeError, match="unhashable"):
        f([1])
    assert add.calls == [] and f.cache_info() == (0, 0, 128, 0)


class Same:
    """Unequal instances that all hash alike."""

    def __init__(self, v):
        self.v = v

    def __hash__(self):
        return 7

    def __eq__(self, other):
        return isinstance(other, Same) and self.v == other.v


@pytest.mark.parametrize("first, second", [
    (((-1, 0), {}), ((-2, 0), {})),          # hash(-1) == hash(-2)
    (((1,), {}), (("1",), {})),
    (((Same(1),), {}), ((Same(2),), {})),
    (((), {"a": 1, "b": 2}), ((), {"b": 2, "a": 1})),
    (((1, 2), {}), ((1,), {"b": 2})),
    (((-1,), {"b": 0}), ((-2,), {"b": 0})),
])
def test_arguments_that_hash_alike_do_not_share_an_entry(first, second):
    f = cu.LRUCache()(counted(lambda *a, **k: len(f.__wrapped__.calls)))
    assert (f(*first[0], **first[1]), f(*second[0], **second[1])) == (1, 2)
    assert (f(*first[0], **first[1]), f(*second[0], **second[1])) == (1, 2)
    assert f.cache_info() == (2, 2, 128, 2)


def test_single_int_and_str_arguments_are_their_own_keys():
    c = cu.LRUCache()
    f = c(add)
    f(5)
    f("s")
    f(5, 6)
    assert list(c) == [5, "s", (5, 6)]
    assert c.get(5) == (5, 0, {})


def test_one_cache_shared_by_two_functions():
    c = cu.LRUCache()
    f, g = c(lambda x: ("f", x)), c(lambda x: ("g", x))
    assert f(1) == g(1) == ("f", 1) and c.cache_info() == (1, 1, 128, 1)


# ==== overrides take the ordinary route =====================================

class Logged(cu.LRUCache):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.seen = []

    def get(self, key):
        self.seen.append(("get", key))
        return super().get(key)

    def put(self, key, value):
        self.seen.append(("put", key))
        super().put(key, value)

    def move_to_end(self, key, last=True):
        self.seen.append(("move", key))
        super().move_to_end(key, last)

    def popitem(self, last=True):
        self.seen.append(("pop", last))
        return super().popitem(last)


def test_subclass_methods_are_called():
    c = Logged(maxsize=1)
    f = c(add)
    f(1)
    f(1)
    f(2)
    assert c.seen == [("get", 1), ("put", 1), ("get", 1), ("move", 1),
                      ("get", 2), ("put", 2), ("pop", False)]
    assert list(c) == [2] and c.cache_info() == (1, 2, 1, 1)


def test_instance_and_class_patches_are_honoured(monkeypatch):
    c = cu.LRUCache()
    f = c(add)
    f(1)
    c.get = lambda key: ("patched", key)
    assert f(1) == ("patched", 1)
    del c.get
    monkeypatch.setattr(cu.LRUCache, "move_to_end", lambda self, key: moved.append(key), raising=False)
    moved = []
    assert f(1) == (1, 0, {}) and moved == [1]
    monkeypatch.setattr(cu.LRUCache, "hits", property(lambda self: 100, lambda self, v: None))
    assert c.cache_info().hits == 100


def _record_new(cls, *fields):
    built.append(fields)
    return tuple.__new__(cls, fields)


built = []


@pytest.mark.parametrize("patch", ["module", "record", "method"])
def test_eviction_record_is_built_whenever_that_shows(patch, monkeypatch):
    # The logger is at INFO, so the debug line itself is dropped.
    c = cu.LRUCache(maxsize=1)
    if patch == "module":
        monkeypatch.setattr(cu, "_CacheInfo", lambda *fields: built.append(fields))
    elif patch == "record":
        monkeypatch.setattr(cu._CacheInfo, "__new__", _record_new)
    else:
        monkeypatch.setattr(c, "cache_info", lambda: built.append("method"))
    built.clear()
    c.put(1, 1)
    c.put(2, 2)
    assert built == (["method"] if patch == "method" else [(0, 0, 1, 2)])
    assert list(c) == [2]


def test_module_key_maker_is_looked_up_per_call(monkeypatch):
    f = cu.LRUCache()(add)
    monkeypatch.setattr(cu, "_make_key", lambda args, kwds: "same")
    assert f(1) == f(2) == (1, 0, {})
    assert list(f.cache_info.__self__) == ["same"]


def test_counters_beyond_the_small_ints(log_records):
    f = cu.LRUCache(report_times=1000)(add)
    c = f.cache_info.__self__
    c.hits = 10 ** 9 - 1
    f(1)
    assert c.cache_info() == (10 ** 9 - 1, 1, 128, 1) and lines(log_records, INFO_LINE) == [
        ("add", cu._CacheInfo(10 ** 9 - 1, 1, 128, 0))]


def test_copies_keep_entries_and_statistics():
    c = cu.LRUCache(maxsize=3, report_times=7)
    c.put("a", 1)
    c.get("a")
    c.get("b")
    for other in (copy.copy(c), copy.deepcopy(c), pickle.loads(pickle.dumps(c))):
        assert type(other) is cu.LRUCache and list(other.items()) == [("a", 1)]
        assert other.cache_info() == (1, 1, 3, 1) and other.report_times == 7


# ==== reentrancy =============================================================

def test_recursive_function():
    @cu.LRUCache(maxsize=1000)
    def fib(n):
        return n if n < 2 else fib(n - 1) + fib(n - 2)

    assert fib(80) == 23416728348467685
    assert fib.cache_info().misses == 81


def test_function_that_clears_its_cache():
    c = cu.LRUCache()

    @c
    def f(x):
        c.clear()
        return x

    assert [f(1), f(1), f(2)] == [1, 1, 2] and c.cache_info() == (1, 2, 128, 1)


class Hostile:
    """A key whose hash and equality call back into the cache or fail."""

    def __init__(self, cache, mode):
        self.cache, self.mode = cache, mode

    def __hash__(self):
        if self.mode == "hash-raises":
            raise RuntimeError("hash")
        if self.mode == "reenter":
            self.cache.get("other")
            self.cache.clear()
        return 1

    def __eq__(self, other):
        if self.mode == "eq-raises":
            raise RuntimeError("eq")
        return self is other


@pytest.mark.parametrize("mode", ["hash-raises", "eq-raises", "reenter"])
def test_hostile_keys(mode):
    c = cu.LRUCache()
    f = c(add)
    key = Hostile(c, mode)
    if mode == "reenter":
        assert f(key)[0] is key  # the hash cleared the cache between test and read
        c.put(key, 1)
        assert c.get(key) is None or c.get(key) == 1
        return
    stored = Hostile(c, "eq-raises")  # compared with the keys looked up
    c[stored] = c[(stored,)] = 0
    with pytest.raises(RuntimeError, match=mode.split("-")[0]):
        f(key)
    with pytest.raises(RuntimeError):
        c.put(key, 1)


# ==== memory =================================================================

def test_hits_and_misses_do_not_grow_memory(memory_growth):
    f = cu.LRUCache(maxsize=64, report_times=10 ** 9)(lambda *a, **k: 1)
    values = list(range(10 ** 6, 10 ** 6 + 128))
    state = {"i": 0}

    def call():
        i = state["i"] = state["i"] + 1
        v = values[i % 128]
        f(v)              # misses, then evictions
        f(values[0])      # hits
        f(v, 2)
        f(x=v)

    before = sys.getrefcount(values[0])
    traced, rss = memory_growth(call, 25_000)
    gc.collect()
    assert traced < 64 * 1024 and rss < 2 * 1024 * 1024
    assert sys.getrefcount(values[0]) - before < 8
