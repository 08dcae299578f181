import asyncio
import contextlib
import gc
import inspect
import sys
import types
import warnings
import weakref

import pytest

import common_utils.common_utils as cu

run = cu.run_in_threadpool


class Script:
    """Inner awaitable: yields "first", then each value sent to it; returns func(*args)."""

    def __init__(self, log, func, args):
        self.log, self.func, self.args = log, func, args

    def __await__(self):
        try:
            got = yield "first"
            while got != "stop":
                got = yield got
            return self.func(*self.args)
        except KeyError:
            return "caught"
        finally:
            self.log.append("inner closed")


def use_anyio(monkeypatch):
    """anyio without threads: run_sync logs its call and returns a Script."""
    log = []
    monkeypatch.setattr(cu, "anyio", types.SimpleNamespace(to_thread=types.SimpleNamespace(
        run_sync=lambda f, *args: log.append((f, args)) or Script(log, f, args))))
    return log


def test_names_are_read_when_awaited_and_send_reaches_the_inner(monkeypatch):
    c = run(int, "ff", base=16)
    log = use_anyio(monkeypatch)
    monkeypatch.setattr(cu, "functools", types.SimpleNamespace(
        partial=lambda f, **kw: lambda *args: (f, kw, args)))
    assert (c.send(None), c.send("echo")) == ("first", "echo")
    assert log == [(log[0][0], ("ff",))]
    with pytest.raises(StopIteration) as stop:
        c.send("stop")
    assert stop.value.value == (int, {"base": 16}, ("ff",))  # a tuple result as it is
    with pytest.raises(RuntimeError, match="reuse"):
        c.send(None)


@pytest.mark.parametrize("started, action, outcome", [
    (True, lambda c: c.throw(KeyError("k")), StopIteration),
    (True, lambda c: c.throw(GeneratorExit), GeneratorExit),
    (True, lambda c: c.close(), None),
    (False, lambda c: c.close(), None),
    (False, lambda c: c.send(5), TypeError),
])
def test_throw_and_close_reach_the_inner_once_started(monkeypatch, started, action, outcome):
    log = use_anyio(monkeypatch)
    c = run(max, 1, 2)
    if started:
        c.send(None)
    with pytest.raises(outcome) if outcome else contextlib.nullcontext():
        action(c)
    assert log[-1:] == (["inner closed"] if started else [])  # nothing starts before a step


def test_coroutines_for_asyncio_check_their_arguments_and_unawaited_go_quietly():
    assert inspect.iscoroutinefunction(run) is (sys.version_info >= (3, 12))
    for args, kwargs in [((), {}), ((max,), {"func": min})]:
        with pytest.raises(TypeError, match="func"):
            run(*args, **kwargs)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        holder = [set()]
        marker = weakref.ref(holder[0])
        holder.append(run(len, holder))  # a cycle through the arguments
        assert asyncio.iscoroutine(holder[1])
        with pytest.raises(TypeError):
            type(holder[1])()
        del holder
        for _ in range(1000):
            run(max, 1, 2)
        gc.collect()
    assert marker() is None
