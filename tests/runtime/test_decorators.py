"""Function decorators: deprecated."""
import gc
import inspect
import sys
import warnings
import weakref

import pytest

import common_utils.common_utils as cu


@pytest.fixture
def saved_filters():
    """deprecated leaves a filter in force for the whole process; keep it to the test."""
    with warnings.catch_warnings():
        yield


def target(a, b=2, *args, **kwargs):
    """Target docstring."""
    return (a, b, args, kwargs)


# ==== deprecated =============================================================


def test_deprecated_warns_on_every_call_at_the_calling_line(saved_filters):
    wrapped = cu.deprecated(target)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("ignore")
        results = [wrapped(1, k=3), wrapped(2)]; line = sys._getframe().f_lineno  # noqa: E702
        assert warnings.filters[0] == ("default", None, DeprecationWarning, None, 0)
    assert results == [(1, 2, (), {"k": 3}), (2, 2, (), {})]
    assert [(w.category, str(w.message), w.filename, w.lineno) for w in caught] == [
        (DeprecationWarning, "Call to deprecated function target.", __file__, line)
    ] * 2


def test_deprecated_steps_and_names_read_at_call_time(saved_filters, monkeypatch):
    steps = []

    class Category(DeprecationWarning):
        pass

    class FakeWarnings:
        @staticmethod
        def simplefilter(action, category):
            steps.append(("simplefilter", action, category))

        @staticmethod
        def warn(message, category, **kwargs):
            steps.append(("warn", message, category))

    def f(x):
        steps.append(("call", x))
        return x

    wrapped = cu.deprecated(f)
    monkeypatch.setattr(cu, "DeprecationWarning", Category, raising=False)
    with pytest.warns(Category, match=r"^Call to deprecated function f\.$"):
        wrapped(0)
    monkeypatch.setattr(cu, "warnings", FakeWarnings)
    f.__name__ = "renamed"
    steps.clear()
    assert wrapped(2) == 2
    assert steps == [
        ("simplefilter", "always", Category),
        ("warn", "Call to deprecated function renamed.", Category),
        ("simplefilter", "default", Category),
        ("call", 2),
    ]


def test_deprecated_keeps_the_target_metadata_and_binds_self(saved_filters):
    wrapped = cu.deprecated(target)
    assert (wrapped.__name__, wrapped.__qualname__, wrapped.__doc__, wrapped.__module__) == (
        "target", "target", "Target docstring.", __name__,
    )
    assert wrapped.__wrapped__ is target and weakref.ref(wrapped)() is wrapped
    assert inspect.signature(wrapped) == inspect.signature(target)
    assert str(inspect.signature(cu.deprecated)) == "(func)"

    class Thing:
        @cu.deprecated
        def method(self, x):
            return (self, x)

    thing = Thing()
    with pytest.warns(DeprecationWarning, match="function method"):
        assert thing.method(1) == (thing, 1)
    with pytest.warns(DeprecationWarning):
        assert Thing.method(thing, 2) == (thing, 2)
    assert Thing.method.__qualname__.endswith("Thing.method")


MINE = KeyError("mine")


def raise_mine():
    raise MINE


@pytest.mark.parametrize("call, error", [
    (lambda: cu.deprecated(), TypeError),
    (lambda: cu.deprecated(target, target), TypeError),
    (lambda: cu.deprecated(fn=target), TypeError),
    (lambda: cu.deprecated(raise_mine)(), MINE),  # the same object passes through
])
def test_deprecated_errors(saved_filters, call, error):
    with warnings.catch_warnings(record=True), \
            pytest.raises(error if isinstance(error, type) else type(error)) as info:
        call()
    assert isinstance(error, type) or info.value is error


def test_deprecated_raising_name_is_a_python_error(saved_filters):
    class Nameless:
        armed = False

        def __call__(self):
            return "ran"

        @property
        def __name__(self):
            if self.armed:
                raise RuntimeError("name")
            return "nameless"

    target = Nameless()
    wrapped = cu.deprecated(target)
    target.armed = True
    with pytest.raises(RuntimeError, match="name"):
        wrapped()
    with pytest.raises(RuntimeError, match="name"):
        cu.deprecated(target)


def test_deprecated_wrapper_in_a_cycle_is_collected():
    def f():
        return None

    wrapped = cu.deprecated(f)
    f.wrapper = wrapped  # f -> wrapper -> f, and wrapper.__dict__ holds it too
    ref = weakref.ref(wrapped)
    del f, wrapped
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("make", [False, True], ids=["call", "wrap and call"])
def test_deprecated_repeated_calls_do_not_grow_memory(make, memory_growth, saved_filters):
    wrapped = cu.deprecated(target)
    warnings.showwarning = lambda *args, **kwargs: None

    def call():
        (cu.deprecated(target) if make else wrapped)(1, k=2)

    traced, rss = memory_growth(call, 100_000)
    assert traced < 64 * 1024
    assert rss < 2 * 1024 * 1024
