"""_make_key and _CacheInfo: the keys it returns, the defaults made once, references."""
import builtins
import inspect
import sys

import pytest

import common_utils.common_utils as cu

DEFAULTS = {name: p.default for name, p in inspect.signature(cu._make_key).parameters.items()}
SEP = DEFAULTS["kwd_mark"][0]
Text = type("Text", (str,), {})


@pytest.mark.parametrize("args, kwargs, expected", [
    (((5,), {}), {}, 5),
    ((("a",), {}), {}, "a"),
    (((5.0,), {}), {}, hash((5.0,))),
    (((True,), {}), {}, hash((True,))),
    (((Text("a"),), {}), {}, hash((Text("a"),))),
    (((1,), {"b": 2}), {}, hash((1, SEP, "b", 2))),
    (((), {}), {}, hash(())),
    (((1, 2),), {"hash": str}, "(1, 2)"),
    (((1,), {"b": 2}), {"kwd_mark": ("|",), "hash": str}, "(1, '|', 'b', 2)"),
    (((1.5,),), {"fasttypes": {float}}, 1.5),
    (((1,),), {"fasttypes": []}, hash((1,))),
])
def test_values(args, kwargs, expected):
    key = cu._make_key(*args, **kwargs)
    assert key == expected and type(key) is type(expected)


def test_defaults_keyword_order_and_errors():
    assert DEFAULTS["kwds"] == {} and DEFAULTS["fasttypes"] == {int, str}
    assert DEFAULTS["hash"] is builtins.hash and type(SEP) is object
    assert inspect.signature(cu._make_key).parameters["kwd_mark"].default[0] is SEP
    assert cu._make_key((), {"a": 1, "b": 2}) != cu._make_key((), {"b": 2, "a": 1})
    assert cu._CacheInfo.__name__ == "CacheInfo" and cu._CacheInfo.__module__ == cu.__name__
    assert str(cu._CacheInfo(1, 2, 3, 4)) == "CacheInfo(hits=1, misses=2, maxsize=3, currsize=4)"
    with pytest.raises(ZeroDivisionError):
        cu._make_key((type("Boom", (), {"__hash__": lambda self: 1 // 0})(), 1), {})
    args = [1]
    with pytest.raises(TypeError, match="unhashable"):
        cu._make_key(args, {"b": 2})
    assert args == [1, SEP, "b", 2]  # `key += ...` extends a list in place


def test_references_balanced():  # neither kept nor dropped, decorated or not
    big, text = 10 ** 30, "".join(["te", "xt"])  # neither immortal nor interned
    calls = [((big,), {}), ((big, text), {}), ((text,), {"k": big}), ((text,), {})]
    f = cu.LRUCache()(lambda *args, **kwargs: 1)
    [f(*args, **kwds) for args, kwds in calls]  # stores each key once
    watched = [big, text] + [o for call in calls for o in call]
    before = [sys.getrefcount(o) for o in watched]
    for call in calls * 2:  # a deficit shows before it frees anything
        cu._make_key(*call), f(*call[0], **call[1])
    assert [sys.getrefcount(o) for o in watched] == before
