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


def use_anyio(monkeypatch, run_sync):
    monkeypatch.setattr(cu, "anyio", types.SimpleNamespace(
        to_thread=types.SimpleNamespace(run_sync=run_sync)))


@pytest.fixture
def log(monkeypatch):
    """anyio without threads: run_sync logs its call and returns a Script."""
    entries = []
    use_anyio(monkeypatch, lambda f, *args: entries.append((f, args)) or Script(entries, f, args))
    return entries


def test_a_coroutine_for_asyncio_that_checks_its_arguments():
    assert asyncio.iscoroutinefunction(run)
    assert inspect.iscoroutinefunction(run) is (sys.version_info >= (3, 12))
    c = run(max, 1)
    assert asyncio.iscoroutine(c)
    c.close()
    with pytest.raises(TypeError):
        type(c)()
    for args, kwargs in [((), {}), ((max,), {"func": min})]:
        with pytest.raises(TypeError, match="func"):
            run(*args, **kwargs)


def test_module_names_are_read_when_awaited(monkeypatch):
    c = run(int, "ff", base=16)
    calls = []
    use_anyio(monkeypatch, lambda func, *args: calls.append((func, args)) or Script([], 0, 0))
    monkeypatch.setattr(cu, "functools", types.SimpleNamespace(partial=lambda f, **kw: (f, kw)))
    assert c.send(None) == "first"
    assert calls == [((int, {"base": 16}), ("ff",))]
    c.close()


def test_delegates_send_and_keeps_the_result(log):
    for result in [(1, 2), None]:
        c = run(lambda: result)
        assert (c.send(None), c.send("echo")) == ("first", "echo")
        with pytest.raises(StopIteration) as stop:
            c.send("stop")
        assert stop.value.value == result
    with pytest.raises(RuntimeError, match="reuse"):
        c.send(None)


@pytest.mark.parametrize("action, outcome", [
    (lambda c: c.throw(KeyError("k")), StopIteration),
    (lambda c: c.throw(ValueError("v")), ValueError),
    (lambda c: c.throw(GeneratorExit), GeneratorExit),
    (lambda c: c.close(), None),
])
def test_throw_and_close_reach_the_inner(log, action, outcome):
    c = run(max, 1, 2)
    c.send(None)
    with pytest.raises(outcome) if outcome else contextlib.nullcontext():
        action(c)
    assert log[-1] == "inner closed"


def test_unstarted(log):
    run(max, 1).close()
    with pytest.raises(ValueError):
        run(max, 1).throw(ValueError)
    with pytest.raises(TypeError, match="non-None"):
        run(max, 1).send(5)
    assert log == []  # nothing was started


def test_never_awaited_objects_are_collected_quietly():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        holder = [set()]
        marker = weakref.ref(holder[0])
        holder.append(run(len, holder))  # a cycle through the arguments
        del holder
        for _ in range(1000):
            run(max, 1, 2)
        gc.collect()
    assert marker() is None
