"""ProcessorBase and FunctionProcessor: the processor contract, binding of plain
callables, Python subclasses and hostile arguments (reference counts: the leak table)."""
import functools

import pytest

import common_utils.common_utils as cu

PB, FP = cu.ProcessorBase, cu.FunctionProcessor


def load(x, **kwargs): return (x, kwargs)
def other(x): return -x


class Step(cu.ProcessorBase):
    def __init__(self, *args, factor=2, **kwargs):
        super().__init__(*args, **kwargs)
        self.factor = factor

    def process(self, data, **kwargs):
        return data * self.factor


# ==== construction, state and printed forms ==================================

def test_base_init_sets_the_four_attributes():
    for args, kwargs, expected in [
        ((5,), {}, (5, None, "ProcessorBase", False)), ((5,), {"model_args": 7}, (7, None, "ProcessorBase", False)),
        ((5, 6, 7), {"model_args": None, "unknown": 1}, (None, None, "ProcessorBase", False)),
        ((), {"spark_session": "s", "name": "n", "ready": 1}, (None, "s", "n", 1)),
    ]:
        p = cu.ProcessorBase(*args, **kwargs)  # the four, in the instance dict, and nothing else
        assert vars(p) == dict(zip(("_model_args", "_spark_session", "_name", "_ready"), expected))
        assert type(p._ready) is type(expected[3])
    for value in [3, b"n", type("S", (str,), {})("n")]:  # a name is an exact str or None
        with pytest.raises(TypeError, match="str.*" + type(value).__name__):
            cu.ProcessorBase(name=value).name()


def test_readiness_process_and_printed_forms():
    p = cu.ProcessorBase()
    assert p.set_ready(0) is None and p.is_ready() == 0 and type(p.is_ready()) is int
    assert p.init() is True and p.is_ready() is True
    with pytest.raises(NotImplementedError, match=r"^Can't use 'process\(\)' on a ProcessorBase!$"):
        cu.ProcessorBase()(1, k=2)
    assert Step(factor=3)(4, g_kwargs={}) == 12
    assert repr(Step()) == '<Step {"name": "Step", "ready": false}>'  # the text is json.dumps's
    assert repr(cu.FunctionProcessor(load)) == "<load() true>"


# ==== overrides are honoured =================================================

def test_overridable_methods_and_module_names_are_read_at_call_time(monkeypatch):
    calls = []

    class Spy(cu.ProcessorBase):
        def set_ready(self, ready):
            calls.append(("set_ready", ready))
            super().set_ready("yes")

        name = lambda self: calls.append("name") or "spy"
        is_ready = lambda self: calls.append("is_ready") or PB.is_ready(self)

    p = Spy()
    assert p.init() is True and p._ready == "yes"
    assert repr(p) == '<Spy {"name": "spy", "ready": "yes"}>'
    assert calls == [("set_ready", True), "name", "is_ready"]
    # and the module's json and ProcessorBase of the moment
    monkeypatch.setattr(cu, "json", type("FakeJson", (), {"dumps": staticmethod(lambda v: "J")}))
    assert repr(cu.ProcessorBase()) == "<ProcessorBase J>"
    other_base = type("Other", (), {"__name__": "other_base", "__call__": lambda self: None})
    monkeypatch.setattr(cu, "ProcessorBase", other_base)
    step = Step()
    step.__name__ = "step"
    assert cu.FunctionProcessor(step).name() == "step()"
    with pytest.raises(ValueError, match="is a ProcessorBase object$"):
        cu.FunctionProcessor(other_base())


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
    p = cu.FunctionProcessor(load)  # failed binds leave it as it was
    with pytest.raises(ValueError, match=r"^function '42' is not callable$"):
        p(42)
    step = Step()
    with pytest.raises(ValueError) as info:
        p(step)
    assert str(info.value) == "'" + repr(step) + "' is a ProcessorBase object"
    with pytest.raises(AttributeError):
        p(functools.partial(load))
    assert (p._user_function, p.name()) == (load, "load()")


def test_function_processor_initialiser():
    seen = []

    class Recorder(cu.ProcessorBase):
        def __init__(self, *args, **kwargs):
            seen.append((args, kwargs))
            super().__init__(*args, **kwargs)

    class Bound(cu.FunctionProcessor, Recorder):
        def __call__(self, user_function):
            seen.append(user_function)
            return super().__call__(user_function)

    p = Bound(load)  # only ready=True reaches the base, then the function is bound
    assert seen == [((), {"ready": True}), load]
    assert (p.name(), p._model_args) == ("load()", None)

    class Early(cu.FunctionProcessor):  # methods used before the base initialiser ran
        def __init__(self):
            for early in (self.name, self.__repr__):
                with pytest.raises(AttributeError):
                    early()
            self.set_ready("early")
            self(load)
            super().__init__()

    p = Early()
    assert (p.is_ready(), p._user_function, p.name()) == (True, None, "Early")


# ==== reentrancy =============================================================

def test_reentrant_calls():
    p = cu.FunctionProcessor()
    p(lambda x: (p(other), x)[1])  # the running call keeps its function
    assert p.process(5) == 5 and p.process(5) == -5

    # the name is taken before anything is stored: a rebinding inside it is overwritten
    sneaky = type("Sneaky", (), {"__call__": lambda self: None,
                                 "__name__": property(lambda self: p(other) and "sneaky")})()
    p(sneaky)
    assert (p._user_function, p.name()) == (sneaky, "sneaky()")
    self_describing = type("S", (cu.ProcessorBase,), {"as_dict": lambda self: {"k": repr(self)}})
    with pytest.raises(RecursionError):
        repr(self_describing())
