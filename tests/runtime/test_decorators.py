"""Function decorators: deprecated, retry, call_report.  (deprecated leaves a warnings filter
in force; pytest gives each test the filters back.)"""
import gc
from contextlib import nullcontext
import sys
import types
import warnings
import weakref

import pytest

import common_utils.common_utils as cu


def target(a, b=2, *args, **kwargs):
    """Target docstring."""
    return (a, b, args, kwargs)


# ==== deprecated =============================================================


def test_deprecated_warns_on_every_call_at_the_calling_line(monkeypatch):
    # Each step reads the module's names and the target's name at call time.
    steps = []
    fake = type("FakeWarnings", (), {
        "simplefilter": staticmethod(lambda action, category: steps.append((action, category))),
        "warn": staticmethod(lambda message, **kw: steps.append((message, kw)))})
    category = type("Category", (DeprecationWarning,), {})

    def f(*args, **kwargs):
        steps.append((args, kwargs))
        return args

    wrapped = cu.deprecated(f)
    monkeypatch.setattr(cu, "DeprecationWarning", category, raising=False)
    monkeypatch.setattr(cu, "warnings", fake)
    f.__name__ = "renamed"
    assert wrapped(2, k=3) == (2,)
    # the wrapper has no frame of its own: level 1 is the calling line
    warned = ("Call to deprecated function renamed.", {"category": category, "stacklevel": 1})
    assert steps == [("always", category), warned, ("default", category), ((2,), {"k": 3})]
    armed = []
    nameless = type("Nameless", (), {"__call__": lambda self: "ran", "__name__": property(
        lambda self: armed and 1 // 0 or "nameless")})()
    wrapped = cu.deprecated(nameless)
    armed.append(1)
    for call in (wrapped, lambda: cu.deprecated(nameless)):  # a Python error either way
        with pytest.raises(ZeroDivisionError):
            call()


MINE = KeyError("mine")


def raise_mine():
    raise MINE


DECORATORS = {"deprecated": cu.deprecated, "retry": cu.retry(), "call_report": cu.call_report()}


@pytest.mark.parametrize("name", DECORATORS)
def test_wrappers_keep_the_target_bind_as_methods_and_let_errors_through(name):
    warnings.simplefilter("ignore")
    decorate = DECORATORS[name]
    if name != "deprecated":
        assert (decorate.__name__, decorate.__qualname__) == (
            "retry_decorator", name + ".<locals>.retry_decorator")
    wrapped = decorate(target)
    assert (wrapped.__name__, wrapped.__qualname__, wrapped.__doc__, wrapped.__module__,
            wrapped.__wrapped__) == ("target", "target", "Target docstring.", __name__, target)
    assert weakref.ref(wrapped)() is wrapped

    class Thing:
        @decorate
        def method(self, x):
            return (self, x)

    thing = Thing()
    assert thing.method(1) == Thing.method(thing, 1) == (thing, 1)
    with pytest.raises(KeyError) as info:
        decorate(raise_mine)()
    assert info.value is MINE  # the target's error passes unchanged
    # thing -> wrapper (its C state and its __dict__) -> bound method -> thing
    thing.wrapper = decorate(thing.method)
    ref = weakref.ref(thing.wrapper)
    del thing
    gc.collect()
    assert ref() is None


# ==== retry and call_report ==================================================


@pytest.fixture
def fake_time(monkeypatch):
    """Stands in for the module's `time`: records pauses, plays back clock readings."""
    fake = types.SimpleNamespace(sleeps=[], readings=[])
    fake.sleep, fake.time = fake.sleeps.append, lambda: fake.readings.pop(0)
    monkeypatch.setattr(cu, "time", fake)
    return fake


def scripted(*outcomes):
    """A target returning (or raising) the outcomes in turn, the last one forever."""
    calls = []

    def f(*args, **kwargs):
        calls.append((args, kwargs))
        out = outcomes[min(len(calls), len(outcomes)) - 1]
        if isinstance(out, BaseException):
            raise out
        return out

    return f, calls


def messages(records):
    return [(r.levelname, r.getMessage()) for r in records]


NAN, BOOM, STOP = float("nan"), ValueError("boom"), KeyboardInterrupt()
DEBUG1, DEBUG2 = ("DEBUG", "'f()' retry times=1"), ("DEBUG", "'f()' retry times=2")
CAUGHT = ("WARNING", "'f()' retry get except, skipped. err=boom")


@pytest.mark.parametrize("config, outcomes, result, calls, records, sleeps", [
    ({}, (None, None, 5), 5, 3, [DEBUG1, DEBUG2], [0.5, 0.5]),
    ({"num": 0, "check_data": "none yet"}, (1,), "none yet", 0, [], []),
    ({"num": 2, "check_data": False, "catch_except": True, "sleep": 0}, (BOOM,), False, 2,
     [CAUGHT, DEBUG1, CAUGHT, DEBUG2], [0.0, 0.0]),
    ({"check_data": NAN}, (NAN,), NAN, 1, [], []),  # `!=`: no identity shortcut
    ({"catch_except": True}, (STOP, 1), STOP, 1, [], []),  # only an Exception is caught
])
def test_retry_attempts(fake_time, log_records, config, outcomes, result, calls, records, sleeps):
    f, seen = scripted(*outcomes)
    retried = cu.retry(**config)(f)
    with pytest.raises(type(result)) if isinstance(result, BaseException) else nullcontext() as info:
        got = retried(1, k=2)
    if info:
        got = info.value
    assert got is result or got == result
    assert seen == [((1,), {"k": 2})] * calls and messages(log_records) == records
    assert fake_time.sleeps == sleeps and all(type(s) is float for s in fake_time.sleeps)


def test_retry_reentrant_target(fake_time):
    attempts = {}

    @cu.retry(num=2, sleep=0)
    def countdown(n):
        attempts[n] = attempts.get(n, 0) + 1
        return None if attempts[n] == 1 else n if n == 0 else countdown(n - 1) + n

    assert countdown(3) == 6 and attempts == {3: 2, 2: 2, 1: 2, 0: 2}


def test_call_report_logs_every_interval_returned_calls_innermost_first(fake_time, log_records):
    @cu.call_report(interval=2)
    def f(n):
        if n < 0:
            raise MINE
        return n if n == 0 else f(n - 1)

    f.__wrapped__.__name__ = "k"  # read at each report
    # a failed call reads the clock once; then f(3) -> f(0) nested, returning after 1, 2, 3 and 4 s
    fake_time.readings = [99, 0, 10, 20, 30, 31, 22, 13, 4]
    with pytest.raises(KeyError):
        f(-1)
    assert f(3) == 0 and messages(log_records) == [
        ("INFO", "call_report info: Function 'k()' call times=2 avg_cost=1.5s"),
        ("INFO", "call_report info: Function 'k()' call times=4 avg_cost=2.5s"),
    ]


def test_assertions_are_skipped_under_optimisation(monkeypatch):
    # The module's two asserts, call_report's and Processor's concurrent-mode one, read sys.flags.
    monkeypatch.setattr(sys, "flags", types.SimpleNamespace(optimize=1))
    cu.Processor(len, use_aysnc_run=True)
    ran = []
    with pytest.raises(ZeroDivisionError):
        cu.call_report(0)(lambda: ran.append(1))()
    assert ran == [1]


@pytest.mark.parametrize("call, error, message", [
    (lambda: cu.retry(True), TypeError, "retry() argument 'num' must be int, not bool"),
    (lambda: cu.retry(sleep="soon"), TypeError,
     "retry() argument 'sleep' must be a real number, not str"),
    (lambda: cu.retry(1, None, 0, False, 5), TypeError,
     "retry() takes from 0 to 4 positional arguments but 5 were given"),
    (lambda: cu.call_report(interval=-1), AssertionError, ""),
    (lambda: cu.call_report(2.0), TypeError,
     "call_report() argument 'interval' must be int, not float"),
])
def test_factory_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message
