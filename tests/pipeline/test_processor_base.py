"""ProcessorBase and FunctionProcessor: the processor contract, binding of plain
callables, Python subclasses, hostile arguments and reference hygiene."""
import copy
import functools
import inspect
import pickle
import sys
import weakref

import pytest

import common_utils.common_utils as cu

PB, FP = cu.ProcessorBase, cu.FunctionProcessor


def load(x, **kwargs):
    return (x, kwargs)


def other(x):
    return -x


class Step(cu.ProcessorBase):
    def __init__(self, *args, factor=2, **kwargs):
        super().__init__(*args, **kwargs)
        self.factor = factor

    def process(self, data, **kwargs):
        return data * self.factor

    @property
    def doubled(self):
        return self.factor * 2


class Tagged(cu.FunctionProcessor):
    def __init__(self, user_function=None, tag="t"):
        super().__init__(user_function)
        self.tag = tag

    def as_dict(self):
        return {"Tagged": {"tag": self.tag, "name": self.name()}}


class Boom:
    """Fails in every dunder that message building or dict keys could touch."""

    def _fail(self, *args):
        raise RuntimeError(self.what)

    what = "boom"
    __str__ = __repr__ = __eq__ = __hash__ = __format__ = _fail

    def __init__(self, what="boom"):
        self.what = what


class CallableBoom(Boom):
    def __call__(self):
        return None


# ==== construction, state and printed forms ==================================


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {}, (None, None, "ProcessorBase", False)),
        ((5,), {}, (5, None, "ProcessorBase", False)),
        ((5,), {"model_args": 7}, (7, None, "ProcessorBase", False)),
        ((5, 6, 7), {"model_args": None, "unknown": 1}, (None, None, "ProcessorBase", False)),
        ((), {"spark_session": "s", "name": "n", "ready": 1}, (None, "s", "n", 1)),
    ],
)
def test_base_init_sets_the_four_attributes(args, kwargs, expected):
    p = cu.ProcessorBase(*args, **kwargs)
    assert (p._model_args, p._spark_session, p._name, p._ready) == expected
    assert type(p._ready) is type(expected[3])


@pytest.mark.parametrize("value", [3, b"n", type("S", (str,), {})("n")])
def test_name_rejects_anything_but_exact_str_or_none(value):
    p = cu.ProcessorBase(name=value)
    with pytest.raises(TypeError, match="str"):
        p.name()
    p._name = None
    assert p.name() is None


def test_readiness_process_and_printed_forms():
    p = cu.ProcessorBase()
    assert p.set_ready(0) is None and p.is_ready() == 0 and type(p.is_ready()) is int
    assert p.init() is True and p.is_ready() is True
    with pytest.raises(NotImplementedError, match=r"^Can't use 'process\(\)' on a ProcessorBase!$"):
        cu.ProcessorBase()(1, k=2)
    assert Step(factor=3)(4, g_kwargs={}) == 12
    assert repr(Step()) == '<Step {"name": "Step", "ready": false}>'
    assert repr(cu.ProcessorBase(name=None, ready=None)) == '<ProcessorBase {"name": null, "ready": null}>'
    assert repr(cu.FunctionProcessor(load)) == "<load() true>"
    assert cu.FunctionProcessor(load).as_dict() == {"load()": True}
    accented = cu.ProcessorBase(name="é")
    assert accented.as_dict() == {"ProcessorBase": {"name": "é", "ready": False}}
    assert repr(accented) == '<ProcessorBase {"name": "\\u00e9", "ready": false}>'


@pytest.mark.parametrize("description, error", [
    ({}, IndexError), ({"k": object()}, TypeError), (5, AttributeError),
    (type("Items", (), {"items": lambda self: 5})(), TypeError),
])
def test_printed_form_of_a_bad_description_raises(description, error):
    class Odd(cu.ProcessorBase):
        def as_dict(self):
            return description

    with pytest.raises(error):
        repr(Odd())


# ==== overrides are honoured =================================================


def test_init_as_dict_and_repr_go_through_overridable_methods():
    calls = []

    class Spy(cu.ProcessorBase):
        def set_ready(self, ready):
            calls.append(("set_ready", ready))
            super().set_ready("yes")

        def name(self):
            calls.append("name")
            return "spy"

        def is_ready(self):
            calls.append("is_ready")
            return super().is_ready()

    p = Spy()
    assert p.init() is True and p._ready == "yes"
    assert repr(p) == '<Spy {"name": "spy", "ready": "yes"}>'
    assert calls == [("set_ready", True), "name", "is_ready"]
    assert repr(Tagged(load)) == '<Tagged {"tag": "t", "name": "load()"}>'


def test_module_names_are_read_at_call_time(monkeypatch):
    monkeypatch.setattr(cu, "json", type("FakeJson", (), {"dumps": staticmethod(lambda v: "J")}))
    assert repr(cu.ProcessorBase()) == "<ProcessorBase J>"

    class Other:
        __name__ = "other_base"

        def __call__(self):
            return None

    monkeypatch.setattr(cu, "ProcessorBase", Other)
    step = Step()
    step.__name__ = "step"
    assert cu.FunctionProcessor(step).name() == "step()"
    with pytest.raises(ValueError, match="is a ProcessorBase object$"):
        cu.FunctionProcessor(Other())


# ==== FunctionProcessor ======================================================


def test_function_processor_binds_and_rebinds():
    p = cu.FunctionProcessor(load)
    assert p.process(1, k=2) == (1, {"k": 2})
    assert p(other) is p
    assert (p.name(), p._user_function, p.process(3), p.is_ready()) == ("other()", other, -3, True)
    for p in (cu.FunctionProcessor(), cu.FunctionProcessor(None)):
        assert (p.name(), p._user_function, p.is_ready()) == ("FunctionProcessor", None, True)
        with pytest.raises(TypeError):
            p.process(1)
    assert cu.FunctionProcessor()(load).name() == "load()"
    error = LookupError("mine")

    def fail(*args, **kwargs):
        raise error

    with pytest.raises(LookupError) as info:
        cu.FunctionProcessor(fail).process(1, g_kwargs={})
    assert info.value is error


def test_function_processor_passes_only_ready_to_the_base_initialiser():
    seen = []

    class Recorder(cu.ProcessorBase):
        def __init__(self, *args, **kwargs):
            seen.append((args, kwargs))
            super().__init__(*args, **kwargs)

    class Bound(cu.FunctionProcessor, Recorder):
        def __call__(self, user_function):
            seen.append(user_function)
            return super().__call__(user_function)

    p = Bound(load)
    assert seen == [((), {"ready": True}), load]
    assert (p.name(), p._model_args) == ("load()", None)


def test_bind_errors_leave_the_processor_unchanged():
    p = cu.FunctionProcessor(load)
    with pytest.raises(ValueError, match=r"^function '42' is not callable$"):
        p(42)
    step = Step()
    with pytest.raises(ValueError) as info:
        p(step)
    assert str(info.value) == "'" + repr(step) + "' is a ProcessorBase object"
    with pytest.raises(AttributeError):
        p(functools.partial(load))
    assert (p._user_function, p.name()) == (load, "load()")


# ==== Python subclasses ======================================================


def test_subclasses_are_ordinary_python_classes():
    assert type(cu.ProcessorBase) is type and type(Step) is type
    assert cu.ProcessorBase.__bases__ == (object,)
    assert cu.FunctionProcessor.__bases__ == (cu.ProcessorBase,)
    s = Step(5, factor=3, name="s")
    assert (s.doubled, s(2), s._model_args, s.name()) == (6, 6, 5, "s")
    s.anything = 1
    assert vars(s) == {
        "_model_args": 5, "_spark_session": None, "_name": "s", "_ready": False,
        "factor": 3, "anything": 1,
    }
    assert weakref.ref(s)() is s
    greeter = type("Greeter", (), {"greet": lambda self: "hello " + self.name()})
    for bases in ((greeter, cu.ProcessorBase), (cu.FunctionProcessor, greeter)):
        p = type("Mixed", bases, {})()
        assert p.greet() == "hello Mixed" and isinstance(p, (cu.ProcessorBase, greeter))


@pytest.mark.parametrize(
    "make", [lambda: Step(5, factor=4, name="s"), lambda: Tagged(load, tag="x")]
)
@pytest.mark.parametrize("clone", [copy.deepcopy, lambda p: pickle.loads(pickle.dumps(p))])
def test_copies_keep_the_attributes(make, clone):
    p = make()
    q = clone(p)
    assert type(q) is type(p) and q is not p
    assert vars(q) == vars(p) and repr(q) == repr(p)


# ==== reentrancy =============================================================


def test_reentrant_calls():
    class Countdown(cu.ProcessorBase):
        def process(self, n):
            return n if n == 0 else self(n - 1)

    assert Countdown()(30) == 0
    p = cu.FunctionProcessor()

    def rebinding(x):
        p(other)  # the running call keeps its function
        return x

    p(rebinding)
    assert p.process(5) == 5 and p.process(5) == -5

    class Sneaky:
        def __call__(self):
            return "sneaky"

        @property
        def __name__(self):
            p(other)
            return "sneaky"

    sneaky = Sneaky()
    p(sneaky)
    assert (p._user_function, p.name()) == (sneaky, "sneaky()")

    class SelfDescribing(cu.ProcessorBase):
        def as_dict(self):
            return {"k": repr(self)}

    with pytest.raises(RecursionError):
        repr(SelfDescribing())


def test_methods_before_super_init():
    class Early(cu.FunctionProcessor):
        def __init__(self):
            with pytest.raises(AttributeError):
                self.name()
            with pytest.raises(AttributeError):
                repr(self)
            self.set_ready("early")
            self(load)
            super().__init__()

    p = Early()
    assert (p.is_ready(), p._user_function, p.name()) == (True, None, "Early")


# ==== hostile arguments ======================================================


class _NamedBoom(CallableBoom):
    __name__ = Boom("format")


class _Unprintable(cu.ProcessorBase):
    def __str__(self):
        raise RuntimeError("str")


def _fp_with_bad_name():
    fp = cu.FunctionProcessor(load)
    fp._name = Boom("hash")
    return fp.as_dict()


@pytest.mark.parametrize("call, error", [
    (lambda: cu.FunctionProcessor(Boom("str")), RuntimeError),
    (lambda: cu.FunctionProcessor(CallableBoom()), AttributeError),
    (lambda: cu.FunctionProcessor(_NamedBoom()), RuntimeError),
    (lambda: cu.FunctionProcessor(_Unprintable()), RuntimeError),
    (lambda: PB(name=Boom()).name(), TypeError),
    (lambda: PB(name=Boom()).as_dict(), TypeError),
    (lambda: repr(PB(name=Boom())), TypeError),
    (_fp_with_bad_name, RuntimeError),
])
def test_raising_dunders_end_in_python_exceptions(call, error):
    with pytest.raises(error):
        call()


@pytest.mark.parametrize("call", [
    lambda: PB().as_dict(1), lambda: PB().__repr__(1), lambda: PB().__del__(1),
    lambda: PB().set_ready(), lambda: PB().set_ready(1, 2), lambda: PB().set_ready(1, ready=1),
    lambda: PB().set_ready(readiness=1), lambda: PB().is_ready(1), lambda: PB().name(1),
    lambda: PB().init(1), lambda: PB.__init__(object()), lambda: PB.process(1),
    lambda: PB.__call__(), lambda: PB.name(FP), lambda: FP(load, other),
    lambda: FP(function=load), lambda: FP()(), lambda: FP()(load, other),
    lambda: FP().as_dict(1), lambda: FP.process(PB()), lambda: FP.__call__(PB(), load),
    lambda: FP.as_dict(None),
])
def test_wrong_arity_or_receiver_raises_type_error(call):
    with pytest.raises(TypeError):
        call()


METHODS = {
    "__init__": "(self, /, *args, **kwargs)", "__del__": "(self, /)", "as_dict": "(self, /)",
    "__repr__": "(self, /)", "set_ready": "(self, /, ready)", "is_ready": "(self, /)",
    "name": "(self, /)", "init": "(self, /)", "process": "(self, /, *args, **kwargs)",
    "__call__": "(self, /, *args, **kwargs)",
}
FP_METHODS = dict(
    METHODS, __init__="(self, /, user_function=None)", __call__="(self, /, user_function)"
)


@pytest.mark.parametrize("cls, methods", [(PB, METHODS), (FP, FP_METHODS)], ids=["PB", "FP"])
def test_signatures(cls, methods):
    assert {m: str(inspect.signature(getattr(cls, m))) for m in methods} == methods


# ==== references and memory ==================================================


def _expect(error, call):
    try:
        call()
    except error:
        pass


LEAK_CASES = {
    "success paths": lambda: (
        PB(5, name="n", spark_session=1, other=2), FP(load).process(1, k=2), repr(PB()),
        repr(FP(load)), PB().as_dict(), FP(load).as_dict(), PB().init()),
    "error paths": lambda: (
        _expect(ValueError, lambda: FP(42)), _expect(ValueError, lambda: FP(FP(load))),
        _expect(AttributeError, lambda: FP(functools.partial(load))),
        _expect(NotImplementedError, PB()), _expect(TypeError, PB(name=3).name)),
}


@pytest.mark.parametrize("call", LEAK_CASES.values(), ids=LEAK_CASES.keys())
def test_repeated_calls_do_not_grow_memory(call, memory_growth):
    traced, rss = memory_growth(call, 100_000)
    assert traced < 64 * 1024
    assert rss < 2 * 1024 * 1024


def test_calls_keep_reference_counts():
    data, value = object(), object()
    p = cu.FunctionProcessor(load)
    before = sys.getrefcount(data), sys.getrefcount(value), sys.getrefcount(load)
    for _ in range(1000):
        p.process(data, k=value)
        p(load)
        cu.ProcessorBase(data, spark_session=value, name="n")
    assert (sys.getrefcount(data), sys.getrefcount(value), sys.getrefcount(load)) == before
