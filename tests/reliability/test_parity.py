"""Fast paths against the generic path: an exact class runs its guarded C steps,
a trivial subclass the attribute route; every outcome must be the same."""
import logging
import re

import pytest

import common_utils.common_utils as cu


def outcome(run):
    try:
        return ("returned", run())
    except cu.StopRunError as stop:
        return ("stopped", str(stop), stop.out_data)
    except Exception as error:
        return ("raised", type(error), str(error))


def logged(records):
    timeless = [(r.levelname, re.sub(r"time=[0-9.]+s", "time=T", r.getMessage())) for r in records]
    records.clear()
    return timeless


# ==== LRUCache ===============================================================

class SubCache(cu.LRUCache):
    pass


def target(x=0, y=0):
    return None if x is None else (x, y)


C, G, P = "call", "get", "put"
CACHE_CASES = {
    "hits and misses": (4, 2, [(C, 1), (C, 1), (C, 2), (C, 1), (C, 2)]),
    "eviction": (2, 3, [(C, 1), (C, 2), (C, 3), (C, 1), (C, 2), (C, 3), (C, 3)]),
    "none results": (2, 1, [(C, None), (C, None), (C, 1), (C, 1)]),
    "keyword arguments": (3, 2, [(C, 1), ("kw", {"x": 1}), ("kw", {"y": 2, "x": 1}),
                                 ("kw", {"x": 1, "y": 2}), (C, 1, 2)]),
    "mixed keys": (2, 5, [(C, 1.5), (C, b"b"), (C, "s"), (C, (1, (2, None))), (C, 1.5)]),
    "keys that are not inert": (2, 2, [(C, frozenset({1})), (C, frozenset({1})), (C, frozenset()),
                                       (G, frozenset()), (P, frozenset({2}), 3)]),
    "get and put": (2, 1, [(P, "a", 1), (P, "b", 2), (G, "a"), (P, "c", 3), (G, "b"),
                           (P, "a", 10), (G, "z"), (P, "d", None)]),
    "size zero": (0, 1, [(C, 1), (C, 1), (P, "a", 1), (G, "a")]),
}


def run_cache(cls, maxsize, report_times, ops, records):
    cache = cls(maxsize=maxsize, report_times=report_times)
    f = cache(target)
    results = []
    for op, *args in ops:
        if op == C:
            results.append(outcome(lambda: f(*args)))
        elif op == "kw":
            results.append(outcome(lambda: f(**args[0])))
        else:
            results.append(outcome(lambda: getattr(cache, op)(*args)))
    return results, cache.cache_info(), list(cache.items()), logged(records)


@pytest.mark.parametrize("level", [logging.DEBUG, logging.INFO])
@pytest.mark.parametrize("case", CACHE_CASES)
def test_cache_subclass_gives_the_same_outcomes(case, level, log_records):
    cu.logger.setLevel(level)
    exact = run_cache(cu.LRUCache, *CACHE_CASES[case], log_records)
    assert exact == run_cache(SubCache, *CACHE_CASES[case], log_records)


# ==== Processor ==============================================================

class Passing(cu.Processor):
    def _one_process(self, *args, **kwargs):
        return super()._one_process(*args, **kwargs)


SEEN = []


def inc(x, **kwargs):
    return x + 1


def peek(x=None, **kwargs):
    SEEN.append((x, sorted(kwargs), kwargs.get("time_cost")))
    return x


def fail(x, **kwargs):
    raise ValueError("bad %s" % x)


def gate():
    return cu.StopRunProcessor(name="gate", ready=True)


PROCESSOR_CASES = {
    "plain": (lambda: [inc, peek, inc, peek], {}, (1,), {"extra": 2}),
    "fixed": (lambda: [inc, peek, peek], {"input_arg_type": "fixed"}, (1,), {}),
    "disable": (lambda: [peek, peek], {"input_arg_type": "disable"}, (1,), {}),
    "nested": (lambda: [inc, [peek, inc], peek], {}, (1,), {}),
    "stop raised": (lambda: [inc, gate(), peek], {}, (1,), {}),
    "stop returned": (lambda: [inc, gate(), peek], {"return_exceptions": True}, (1,), {}),
    "failure": (lambda: [inc, peek, fail, peek], {}, (1,), {}),
    "shared dictionary": (lambda: [peek, inc, peek], {"update_global_kwargs": True},
                          (1, {"given": 0}), {}),
}


def run_processor(cls, steps, options, args, kwargs, records):
    SEEN.clear()
    p = cls(steps(), ready=True, **options)
    records.clear()  # construction names the class
    result = [outcome(lambda: p.process(*args, **kwargs)) for _ in range(2)]
    seen = [(x, keys, list(timing)) for x, keys, timing in SEEN]
    return result, seen, logged(records)


@pytest.mark.parametrize("case", PROCESSOR_CASES)
def test_processor_passing_one_process_through_gives_the_same_outcomes(case, log_records):
    exact = run_processor(cu.Processor, *PROCESSOR_CASES[case], log_records)
    assert exact == run_processor(Passing, *PROCESSOR_CASES[case], log_records)
    assert exact[2]
