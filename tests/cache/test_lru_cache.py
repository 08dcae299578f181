"""LRUCache: mapping, eviction, statistics, log lines, collision-free keys, overrides and patches
seen at the next call, reentrancy; on the class and on a subclass (the attribute route) alike."""
import collections
import copy
import itertools
import pickle
import sys

import pytest

import common_utils.common_utils as cu

INFO_LINE, CLEAN_LINE = "LRUCache '%s()' cache_info=%s", "LRUCache cache clean, cache_info=%s"
seen = []


class Logged(cu.LRUCache):
    """Records each call of the methods that the steps use, then runs it."""


for _name in ("get", "put", "move_to_end", "popitem"):
    def _method(self, *args, _name=_name, **kwargs):
        seen.append((_name,) + args + tuple(kwargs.values()))
        return getattr(super(Logged, self), _name)(*args, **kwargs)
    setattr(Logged, _name, _method)

both = pytest.mark.parametrize("cls", [cu.LRUCache, Logged])


def lines(records, msg):
    return [r.args for r in records if r.msg == msg]


def numbered(cache):
    """A function decorated with `cache` that returns how often it ran."""
    calls = itertools.count(1)
    return cache(lambda *args, **kwargs: next(calls))


def test_defaults_statistics_and_copies():
    c = cu.LRUCache()
    assert isinstance(c, collections.OrderedDict) and len(c) == 0
    assert (c.maxsize, c.hits, c.misses, c.report_times) == (128, 0, 0, 1000)
    assert type(c.cache_info()) is cu._CacheInfo and cu.LRUCache(-5).maxsize == 0
    with pytest.raises(TypeError, match="int, not str"):
        c.hits = "x"
    c = cu.LRUCache(maxsize=3, report_times=7)
    c.put("a", 1), c.get("a"), c.get("b")
    c.hits = 10 ** 12
    for other in (c, copy.copy(c), copy.deepcopy(c), pickle.loads(pickle.dumps(c))):
        assert type(other) is cu.LRUCache and list(other.items()) == [("a", 1)]
        assert other.cache_info() == (10 ** 12, 1, 3, 1) and other.report_times == 7
    for args, error, message in [
        ((True,), TypeError, "argument 'maxsize' must be int, not bool"),
        ((None,), TypeError, "argument 'maxsize' must be int, not NoneType"),
        ((1, 2.0), TypeError, "argument 'report_times' must be int, not float"),
        ((1, 0), ValueError, "argument 'report_times' must be greater than 0, got 0$"),
    ]:
        with pytest.raises(error, match=message):
            cu.LRUCache(*args)


@both
def test_eviction_order_and_statistics(cls, log_records):
    c = cls(maxsize=2)
    c.put("a", 1), c.put("b", 2)
    assert c.get("a") == 1
    c.put("c", 3)
    assert list(c.items()) == [("a", 1), ("c", 3)] and c.get("b") is None
    c.put("a", 10)  # present: moved to the end, nothing dropped
    assert list(c.items()) == [("c", 3), ("a", 10)] and c.cache_info() == (1, 1, 2, 2)
    assert lines(log_records, CLEAN_LINE) == [(cu._CacheInfo(1, 0, 2, 3),)]
    # Mapping access bypasses statistics and order.
    assert c["c"] == 3 and list(c) == ["c", "a"] and c.cache_info() == (1, 1, 2, 2)
    f = numbered(cls(maxsize=-1))  # stores and drops at once
    assert [f(1), f(1)] == [1, 2] and f.cache_info() == (0, 2, 0, 0)


@both
def test_decorated_function(cls, log_records):
    def g(x):
        """Doc."""
        return None if x is None else 1 // x

    f = cls(report_times=3)(g)
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
    fib = cls(maxsize=1000)(lambda n: n if n < 2 else fib(n - 1) + fib(n - 2))  # reentrant
    assert fib(80) == 23416728348467685 and fib.cache_info().misses == 81


class Key:
    """Equal to every Key, with one hash: a stored key compared to it runs its `eq`."""
    __hash__ = lambda self: 1  # noqa: E731
    __eq__ = lambda self, other: other.eq()  # noqa: E731

    def __init__(self, eq=lambda: True):
        self.eq = eq


@pytest.mark.parametrize("first, second", [
    (((-1, 0), {}), ((-2, 0), {})),          # hash(-1) == hash(-2)
    (((-1,), {"b": 0}), ((-2,), {"b": 0})),
    (((1,), {}), (("1",), {})),
    (((Key(bool),), {}), ((Key(bool),), {})),  # never equal
    (((), {"a": 1, "b": 2}), ((), {"b": 2, "a": 1})),
    (((1, 2), {}), ((1,), {"b": 2})),
])
def test_arguments_that_hash_alike_keep_separate_entries(first, second):
    c = cu.LRUCache()
    f = numbered(c)
    for _ in range(2):
        assert (f(*first[0], **first[1]), f(*second[0], **second[1])) == (1, 2)
    assert f.cache_info() == (2, 2, 128, 2)
    f(5), f("s"), f(5, 6)  # a single int or str argument is its own key
    assert list(c)[-3:] == [5, "s", (5, 6)]


def test_subclass_methods_are_called():
    c = Logged(maxsize=1)
    f = numbered(c)
    seen.clear()
    f(1), f(1), f(2)
    assert seen == [("get", 1), ("put", 1, 1), ("get", 1), ("move_to_end", 1),
                    ("get", 2), ("put", 2, 2), ("popitem", False)] and list(c) == [2]


OLD_POP = sys.version_info < (3, 11)
# Each patch is made after a warm-up, f(1) twice, and shows at the next calls, f(1) and f(3).
PATCHES = [
    ("cache", "get", lambda key: seen.append(key), [1, 3]),
    ("class", "move_to_end", lambda self, key: seen.append(key), [1]),
    # OrderedDict's popitem on a subclass reads the evicted key through both, up to 3.10.
    ("class", "__contains__", lambda self, key: seen.append(key) or dict.__contains__(self, key),
     [1, 3, 3] + [1] * OLD_POP),
    ("class", "__getitem__", lambda self, key: seen.append(key) or dict.__getitem__(self, key),
     [1] + [1] * OLD_POP),
    ("class", "popitem", lambda self, last=True: seen.append(last), [False]),
    ("class", "put", lambda self, key, value: seen.append((key, value)), [(3, 2)]),
    ("class", "hits", property(lambda self: seen.append("hits") or 0, lambda self, v: None),
     ["hits"] * 4),
    ("module", "_make_key", lambda args, kwds: seen.append(args) or args[0], [(1,), (3,)]),
    ("module", "_CacheInfo", lambda *fields: seen.append(fields), [(2, 2, 1, 2)]),
    ("record", "__new__", lambda cls, *f: seen.append(f) or tuple.__new__(cls, f), [(2, 2, 1, 2)]),
    ("cache", "cache_info", lambda: seen.append("info"), ["info"]),
]


@pytest.mark.parametrize("where, name, value, expected", PATCHES)
def test_patches_show_at_the_next_call(where, name, value, expected, monkeypatch):
    c = cu.LRUCache(maxsize=1)  # the logger is at INFO: the debug line is dropped
    f = numbered(c)
    f(1), f(1)
    seen.clear()
    target = {"cache": c, "class": cu.LRUCache, "module": cu, "record": cu._CacheInfo}[where]
    monkeypatch.setattr(target, name, value, raising=False)
    f(1), f(3)
    assert seen == expected


@pytest.mark.parametrize("args", [(), (0,)])  # the key alone, and in a tuple
def test_keys_that_run_code(args):
    c = cu.LRUCache()
    f = numbered(c)
    assert f(Key(), *args) == 1
    with pytest.raises(KeyError, match="eq"):  # not taken for a missing key
        f(Key(lambda: {}["eq"]), *args)
    assert f(Key(lambda: c.clear() or True), *args) == 2  # it emptied the cache: a miss
    assert f(Key(), *args) == 2 and c.cache_info() == (1, 2, 128, 1)
