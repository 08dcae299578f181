"""LRUCache: the mapping, get/put and eviction, the decorator's statistics and
log lines, collision-free keys, overrides, reentrancy and reference hygiene."""
import collections
import copy
import pickle

import pytest

import common_utils.common_utils as cu

INFO_LINE = "LRUCache '%s()' cache_info=%s"
CLEAN_LINE = "LRUCache cache clean, cache_info=%s"


def lines(records, msg):
    return [r.args for r in records if r.msg == msg]


def numbered(cache):
    """A function decorated with `cache` that returns how often it ran."""
    def numbered(*args, **kwargs):
        numbered.calls += 1
        return numbered.calls
    numbered.calls = 0
    return cache(numbered)


# ==== construction ===========================================================

def test_defaults_and_statistics_attributes():
    c = cu.LRUCache()
    assert isinstance(c, collections.OrderedDict) and len(c) == 0
    assert (c.maxsize, c.hits, c.misses, c.report_times) == (128, 0, 0, 1000)
    assert type(c.cache_info()) is cu._CacheInfo and cu.LRUCache(-5).maxsize == 0
    c.hits = 10 ** 12
    assert c.cache_info() == (10 ** 12, 0, 128, 0)
    with pytest.raises(TypeError, match="int, not str"):
        c.hits = "x"


@pytest.mark.parametrize("args, error, message", [
    ((True,), TypeError, "argument 'maxsize' must be int, not bool"),
    ((None,), TypeError, "argument 'maxsize' must be int, not NoneType"),
    ((len,), TypeError, "argument 'maxsize' must be int, not builtin_function_or_method"),
    ((1, 2.0), TypeError, "argument 'report_times' must be int, not float"),
    # Every call of the decorated function would fail on these.
    ((1, 0), ValueError, "argument 'report_times' must be greater than 0, got 0$"),
    ((1, -3), ValueError, "argument 'report_times' must be greater than 0, got -3$"),
])
def test_construction_errors(args, error, message):
    with pytest.raises(error, match=message):
        cu.LRUCache(*args)


# ==== get, put and eviction ==================================================

def test_eviction_order_and_statistics(log_records):
    c = cu.LRUCache(maxsize=2)
    c.put("a", 1)
    c.put("b", 2)
    assert c.get("a") == 1
    c.put("c", 3)
    assert list(c.items()) == [("a", 1), ("c", 3)] and c.get("b") is None
    c.put("a", 10)  # present: moved to the end, nothing dropped
    assert list(c.items()) == [("c", 3), ("a", 10)] and c.cache_info() == (1, 1, 2, 2)
    assert lines(log_records, CLEAN_LINE) == [(cu._CacheInfo(1, 0, 2, 3),)]
    # Mapping access bypasses statistics and order.
    assert c["c"] == 3 and list(c) == ["c", "a"] and c.cache_info() == (1, 1, 2, 2)


@pytest.mark.parametrize("maxsize", [0, -1])
def test_size_zero_stores_nothing(maxsize, log_records):
    f = numbered(cu.LRUCache(maxsize=maxsize))
    assert [f(1), f(1)] == [1, 2] and f.cache_info() == (0, 2, 0, 0)
    assert lines(log_records, CLEAN_LINE) == [(cu._CacheInfo(0, 1, 0, 1),), (cu._CacheInfo(0, 2, 0, 1),)]


# ==== the decorator ==========================================================

def test_decorated_function(log_records):
    def g(x):
        """Doc."""
        return None if x is None else 1 // x

    f = cu.LRUCache(report_times=3)(g)
    assert (f.__name__, f.__doc__, f.__wrapped__) == ("g", "Doc.", g)
    assert [f(1), f(1), f(None), f(None)] == [1, 1, None, None]  # None is never stored
    with pytest.raises(ZeroDivisionError):
        f(0)
    with pytest.raises(TypeError, match="unhashable"):
        f([1])  # not counted
    assert f.cache_info() == (1, 4, 128, 1)
    # Every 3rd lookup, after it was counted and before a miss stores anything.
    assert lines(log_records, INFO_LINE) == [("g", cu._CacheInfo(1, 2, 128, 1))]
    c = f.cache_info.__self__
    c.hits = 3 * 10 ** 8 - 5  # far past the small ints; the next hit makes 3 * 10 ** 8 lookups
    f(1)
    assert lines(log_records, INFO_LINE)[-1] == ("g", cu._CacheInfo(3 * 10 ** 8 - 4, 4, 128, 1))


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
    (((-1,), {"b": 0}), ((-2,), {"b": 0})),
    (((1,), {}), (("1",), {})),
    (((Same(1),), {}), ((Same(2),), {})),
    (((), {"a": 1, "b": 2}), ((), {"b": 2, "a": 1})),
    (((1, 2), {}), ((1,), {"b": 2})),
])
def test_arguments_that_hash_alike_keep_separate_entries(first, second):
    f = numbered(cu.LRUCache())
    for _ in range(2):
        assert (f(*first[0], **first[1]), f(*second[0], **second[1])) == (1, 2)
    assert f.cache_info() == (2, 2, 128, 2)


def test_store_keys():
    c = cu.LRUCache()
    f = numbered(c)
    f(5), f("s"), f(5, 6)
    assert list(c) == [5, "s", (5, 6)] and c.get(5) == 1  # single int/str: the argument itself


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
    f = numbered(c)
    f(1), f(1), f(2)
    assert c.seen == [("get", 1), ("put", 1), ("get", 1), ("move", 1),
                      ("get", 2), ("put", 2), ("pop", False)]
    assert list(c) == [2] and c.cache_info() == (1, 2, 1, 1)


def test_instance_class_and_module_patches_are_honoured(monkeypatch):
    c = cu.LRUCache()
    f = numbered(c)
    f(1)
    c.get = lambda key: ("patched", key)
    assert f(1) == ("patched", 1)
    del c.get
    moved = []
    monkeypatch.setattr(cu.LRUCache, "move_to_end", lambda self, key: moved.append(key), raising=False)
    assert f(1) == 1 and moved == [1]
    monkeypatch.setattr(cu.LRUCache, "hits", property(lambda self: 100, lambda self, v: None))
    assert c.cache_info().hits == 100
    monkeypatch.setattr(cu, "_make_key", lambda args, kwds: "same")
    assert f(2) == f(3) == 2 and "same" in c


built = []


def _record_new(cls, *fields):
    built.append(fields)
    return tuple.__new__(cls, fields)


@pytest.mark.parametrize("patch", ["module", "record", "method"])
def test_eviction_record_is_built_whenever_that_shows(patch, monkeypatch):
    c = cu.LRUCache(maxsize=1)  # the logger is at INFO: the debug line is dropped
    if patch == "module":
        monkeypatch.setattr(cu, "_CacheInfo", lambda *fields: built.append(fields))
    elif patch == "record":
        monkeypatch.setattr(cu._CacheInfo, "__new__", _record_new)
    else:
        monkeypatch.setattr(c, "cache_info", lambda: built.append("method"))
    built.clear()
    c.put(1, 1)
    c.put(2, 2)
    assert built == (["method"] if patch == "method" else [(0, 0, 1, 2)]) and list(c) == [2]


def test_copies_keep_entries_and_statistics():
    c = cu.LRUCache(maxsize=3, report_times=7)
    c.put("a", 1)
    c.get("a"), c.get("b")
    for other in (copy.copy(c), copy.deepcopy(c), pickle.loads(pickle.dumps(c))):
        assert type(other) is cu.LRUCache and list(other.items()) == [("a", 1)]
        assert other.cache_info() == (1, 1, 3, 1) and other.report_times == 7


# ==== reentrancy =============================================================

def test_recursion_and_clearing_from_inside():
    @cu.LRUCache(maxsize=1000)
    def fib(n):
        return n if n < 2 else fib(n - 1) + fib(n - 2)

    assert fib(80) == 23416728348467685 and fib.cache_info().misses == 81
    c = cu.LRUCache()

    @c
    def f(x):
        c.clear()
        return x

    assert [f(1), f(1), f(2)] == [1, 1, 2] and c.cache_info() == (1, 2, 128, 1)


def test_a_key_whose_hash_reenters_the_cache():
    c = cu.LRUCache()
    f = numbered(c)

    class Reenter:
        def __hash__(self):
            c.get("other")
            c.clear()
            return 1
    key = Reenter()
    assert f(key) == 1 and f(key) == 2  # each lookup's hash empties the cache
