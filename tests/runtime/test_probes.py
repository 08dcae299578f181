import asyncio
import builtins
import functools
import types

import pytest

import common_utils.common_utils as cu


async def coro_fn(*args):
    pass


@pytest.mark.parametrize("obj, expected", [
    (coro_fn, True), (functools.partial(functools.partial(coro_fn)), True),
    (type("AsyncCall", (), {"__call__": coro_fn})(), True), (cu.run_in_threadpool, True),
    (lambda: None, False), (5, False),
])
def test_is_async_callable(obj, expected):
    assert cu.is_async_callable(obj) is expected
    assert cu.is_async_callable(obj=obj) is expected


def test_is_ipython_and_is_async_context(monkeypatch):
    assert cu.is_ipython() is False
    monkeypatch.setattr(builtins, "__IPYTHON__", False, raising=False)
    assert cu.is_ipython() is True  # presence counts, not the value

    async def inside():
        return cu.is_async_context()

    assert (cu.is_async_context(), asyncio.run(inside()), cu.is_async_context()) == (False, True, False)

    # errors other than "no running loop" pass through
    monkeypatch.setattr(cu, "asyncio", types.SimpleNamespace(get_running_loop=lambda: int("loop?")))
    with pytest.raises(ValueError, match="loop\\?"):
        cu.is_async_context()
