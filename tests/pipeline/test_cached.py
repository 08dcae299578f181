"""LRUCacheProcessor: the chosen key parts, the store, the debug lines, the
description and collision-free keys."""
import pytest

import common_utils.common_utils as cu

HIT = "processor '%s' target cache, return data directly. key_args=%s"
MISS = "processor '%s' do NOT target cache, key_args=%s"


def make(cache_keys="in_data", cache_size=128, result=None, **kwargs):
    calls = []

    def step(x, **kw):
        calls.append(x)
        return result(x, kw) if result else [x, len(calls)]

    p = cu.LRUCacheProcessor(cache_keys, cache_size, processors=step, **kwargs)
    assert p.init() is True
    return p, calls


def test_elements_and_keywords_form_the_key():
    p, calls = make([0, "date"], result=lambda x, kw: [x, kw["date"]])  # keywords reach the body
    assert p.process([1, "x"], date=3) == p.process([1, "y"], date=3) == [[1, "x"], 3]
    assert p.process([1, "x"], date=4) == [[1, "x"], 4]
    assert calls == [[1, "x"], [1, "x"]]
    with pytest.raises(KeyError, match="date"):
        p.process([1, "x"])
    with pytest.raises(IndexError):
        p.process([])
    with pytest.raises(TypeError, match="unhashable"):
        p.process([[1]], date=3)
    assert p._cache.cache_info() == (1, 2, 128, 2)


@pytest.mark.parametrize("cache_keys, listed, state", [
    ("in_data", ["in_data"], (True, [], [])),
    (-1, ["in_data"], (True, [], [])),
    ([0, -1], ["in_data"], (True, [], [])),
    ([1, 3], ["in_data[1]", "in_data[3]"], (False, [1, 3], [])),
    (["a", 2], ["in_data[2]", "a"], (False, [2], ["a"])),
    (["a", True, 1.5, "in_data"], ["in_data", "a"], (True, [], ["a"])),
    ("date", ["date"], (False, [], ["date"])),
])
def test_key_parts_and_description(cache_keys, listed, state):
    p, _ = make(cache_keys, cache_size=-3)
    assert (p._cache_arg_all_keys, p._cache_arg_keys, p._cache_kwarg_keys) == state
    described = p.as_dict()["LRUCacheProcessor"]
    assert described["cache_keys"] == listed and described["cache_size"] == 0
    assert described["processors"] == [{"step()": True}]


@pytest.mark.parametrize("args, error, message", [
    (([],), ValueError, "^cache_keys len is 0$"),
    (([True],), ValueError, r"select no key part.*ignored \[True\]$"),
    (([1.5, None],), ValueError, r"select no key part.*ignored \[1.5, None\]$"),
    (("in_data", True), TypeError, "argument 'cache_size' must be int, not bool"),
    (("in_data", 1.0), TypeError, "argument 'cache_size' must be int, not float"),
])
def test_construction_errors(args, error, message):
    with pytest.raises(error, match=message):
        make(*args)


def test_store_keys_size_and_debug_lines(log_records):
    p, calls = make()  # the default key is the input
    first = p.process("a")
    assert p.process("a") is first and calls == ["a"]
    assert p._cache.cache_info() == (1, 1, 128, 1)
    lines = [(r.msg, r.args) for r in log_records if r.msg in (HIT, MISS)]
    assert lines == [(MISS, ("LRUCacheProcessor", ("a",))), (HIT, ("LRUCacheProcessor", ("a",)))]
    p, calls = make([0, 1])
    assert [p.process(x)[0] for x in ([-1, 0], [-2, 0])] == [[-1, 0], [-2, 0]]  # hash(-1) == hash(-2)
    p, calls = make(result=lambda x, kw: None)
    assert p.process("a") is None and p.process("a") is None and len(calls) == 2
    assert len(p._cache) == 0  # None is never stored
    p, calls = make(cache_size=1)
    for x in "ababb":
        p.process(x)
    assert calls == list("abab") and p._cache.cache_info() == (1, 4, 1, 1)
