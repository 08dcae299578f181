"""_make_key and _CacheInfo: the specified return values, the defaults made
once, and the statistics record."""
import builtins
import collections.abc
import inspect

import pytest

import common_utils.common_utils as cu

DEFAULTS = {name: p.default for name, p in inspect.signature(cu._make_key).parameters.items()}
SEP = DEFAULTS["kwd_mark"][0]


def test_defaults_are_made_once():
    assert DEFAULTS["kwds"] == {} and DEFAULTS["fasttypes"] == {int, str}
    assert DEFAULTS["hash"] is builtins.hash
    assert type(DEFAULTS["kwd_mark"]) is tuple and type(SEP) is object
    again = inspect.signature(cu._make_key).parameters["kwd_mark"].default
    assert again[0] is SEP


class Text(str):
    pass


@pytest.mark.parametrize("args, kwds, expected", [
    ((5,), {}, 5),
    (("a",), {}, "a"),
    ((5.0,), {}, hash((5.0,))),
    ((True,), {}, hash((True,))),
    ((Text("a"),), {}, hash((Text("a"),))),
    ((1,), {"b": 2}, hash((1, SEP, "b", 2))),
    ((), {"b": 2}, hash((SEP, "b", 2))),
    ((), {}, hash(())),
    ((1, 2), {}, hash((1, 2))),
])
def test_values(args, kwds, expected):
    key = cu._make_key(args, kwds)
    assert key == expected and type(key) is type(expected)


def test_keyword_order_and_keyword_form_matter():
    assert cu._make_key((), {"a": 1, "b": 2}) != cu._make_key((), {"b": 2, "a": 1})
    assert cu._make_key((1, 2), {}) != cu._make_key((1,), {"b": 2})


def test_explicit_arguments():
    assert cu._make_key((1, 2), {}, hash=str) == "(1, 2)"
    assert cu._make_key(("x",), hash=str) == "x"
    assert cu._make_key((1,), {"b": 2}, kwd_mark=("|",), hash=str) == "(1, '|', 'b', 2)"
    assert cu._make_key((1.5,), fasttypes={float}) == 1.5
    assert cu._make_key((1,), fasttypes=[]) == hash((1,))


def test_a_list_of_arguments_is_extended_in_place():
    args = [1]
    with pytest.raises(TypeError, match="unhashable"):
        cu._make_key(args, {"b": 2})
    assert args == [1, SEP, "b", 2]


def test_errors_pass_through():
    class Boom:
        def __hash__(self):
            raise RuntimeError("no hash")

    with pytest.raises(RuntimeError, match="no hash"):
        cu._make_key((Boom(), 1), {})
    with pytest.raises(TypeError, match="unhashable"):
        cu._make_key(([1],), {})
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'args'"):
        cu._make_key()


def test_cache_info_record():
    info = cu._CacheInfo(1, 2, 3, 4)
    assert issubclass(cu._CacheInfo, tuple) and cu._CacheInfo.__name__ == "CacheInfo"
    assert cu._CacheInfo._fields == ("hits", "misses", "maxsize", "currsize")
    assert cu._CacheInfo.__module__ == cu.__name__
    assert str(info) == "CacheInfo(hits=1, misses=2, maxsize=3, currsize=4)"
    assert info == (1, 2, 3, 4) and isinstance(info, collections.abc.Sequence)
