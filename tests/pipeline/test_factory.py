"""_create_processor, ARG_TYPE and the stop signal (StopRunError, StopRunProcessor)."""
import abc
import enum
import pickle
import types

import pytest

import common_utils.common_utils as cu


def load(x, **kwargs):
    return x


class Step(cu.ProcessorBase):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.args, self.kwargs = args, kwargs


class Template(cu.ProcessorBase):
    """Stands for the selector and looper templates: completed after copying."""

    def __init__(self):
        super().__init__()
        self.parts, self.completed = ["template"], None

    def init_function_object(self, *args, **kwargs):
        self.parts.append("completed")
        self.completed = (args, kwargs)
        return "ignored"


class AbstractStep(cu.ProcessorBase, metaclass=type("Meta", (abc.ABCMeta,), {})):
    pass


def messages(records):
    return [(r.levelname, r.getMessage()) for r in records]


def test_arg_type_members():
    assert issubclass(cu.ARG_TYPE, enum.Enum) and [(m.name, m.value) for m in cu.ARG_TYPE] == [
        ("DEFAULT", None), ("FIXED", "fixed"), ("DISABLE", "disable")]
    assert pickle.loads(pickle.dumps(cu.ARG_TYPE.FIXED)) is cu.ARG_TYPE("fixed")


@pytest.mark.parametrize("args, kwargs, message, out_data", [
    ((), {}, "Stop the execution and return directly", None), (("halt", 3), {}, "halt", 3),
    ((), {"out_data": [1], "message": "m"}, "m", [1]), ((None,), {}, None, None)])
def test_stop_run_error_carries_message_and_output(args, kwargs, message, out_data):
    err = cu.StopRunError(*args, **kwargs)
    assert isinstance(err, Exception) and str(err) == str(message)
    for e in (err, pickle.loads(pickle.dumps(err))):
        assert (type(e), e.message, e.out_data, e.args) == (cu.StopRunError, message, out_data, (message,))


def test_stop_run_processor_raises_with_its_input():
    gate = cu.StopRunProcessor(name="gate")
    for args, kwargs, out in [((5,), {"g_kwargs": {}, "time_cost": {}}, 5), ((), {}, None),
                              ((), {"in_data": 4}, 4)]:
        with pytest.raises(cu.StopRunError) as info:
            gate.process(*args, **kwargs)
        assert (info.value.message, info.value.out_data) == ("stop by gate", out)
    with pytest.raises(TypeError, match=r"takes from 1 to 2 positional arguments but 3"):
        gate.process(1, 2)


def test_names_are_looked_up_in_the_given_module_then_in_this_one(monkeypatch):
    first = cu._create_processor("StopRunProcessor", None, (), {})
    assert type(first) is cu.StopRunProcessor and first.is_ready() is False
    module = types.ModuleType("m")
    module.__dict__.update(StopRunProcessor=load, Named=Step)
    p = cu._create_processor(type("S", (str,), {})("StopRunProcessor"), module, (), {})
    assert type(p) is cu.FunctionProcessor and p.name() == "load()"
    assert type(cu._create_processor("Named", module, (1,), {"k": 2})) is Step
    with pytest.raises(NotImplementedError, match=r"^can't find processor 'nosuch'$") as info:
        cu._create_processor("nosuch", types.ModuleType("m"), (), {})
    assert isinstance(info.value.__context__, AttributeError)  # raised while handling the look-up
    monkeypatch.setattr(cu, "zero", 0, raising=False)
    with pytest.raises(NotImplementedError, match=r"^can't find processor 'zero'$"):
        cu._create_processor("zero", None, (), {})
    strict = type("Strict", (), {"__getattr__": lambda self, name: {}[name]})()
    with pytest.raises(KeyError):  # other look-up errors propagate
        cu._create_processor("StopRunProcessor", strict, (), {})


# A name found in the given module is taken even when falsy, and then fails as
# a description of no accepted kind.
@pytest.mark.parametrize("description, module, shown", [
    (42, None, "42"), ("zero", types.SimpleNamespace(zero=0), "0")], ids=["int", "falsy-name"])
def test_bad_descriptions_are_logged_then_raised(description, module, shown, log_records):
    with pytest.raises(NotImplementedError, match=r"^create error! can't find processor '%s'$" % shown):
        cu._create_processor(description, module, (), {})
    assert messages(log_records) == [("ERROR", "bad processor name: " + shown)]


# A class of another metaclass than type is wrapped as any callable.
@pytest.mark.parametrize("description, name", [
    (load, "load()"), (dict, "dict()"), (AbstractStep, "AbstractStep()"), (len, "len()")])
def test_other_callables_are_wrapped(description, name, log_records):
    p = cu._create_processor(description, None, ("ignored",), {"ignored": 1})
    assert (type(p), p.name(), p.is_ready(), p._user_function) == (
        cu.FunctionProcessor, name, True, description)
    assert messages(log_records) == [("DEBUG", "wrap function `%s` by FunctionProcessor" % name)]


def test_objects_are_shared_templates_completed_and_classes_instantiated(log_records):
    step = Step()
    assert cu._create_processor(step, None, (1,), {"k": 1}) is step and step.args == ()
    template = Template()
    made = cu._create_processor(template, None, [1, 2], {"k": 3})
    assert type(made) is Template and made is not template
    assert made.parts == ["template", "completed"] and made.completed == ((1, 2), {"k": 3})
    assert template.parts == ["template"] and template.completed is None
    kwargs = {"model_args": 1, "name": "n"}
    p = cu._create_processor(Step, None, ("a",), kwargs)
    assert (type(p), p.args, p.kwargs, p.name(), p._model_args) == (Step, ("a",), kwargs, "n", 1)
    assert messages(log_records) == [
        ("DEBUG", "create `{}` object args=('a',) kwargs={}".format(Step, kwargs.keys()))]


def test_module_names_are_read_at_call_time(monkeypatch):
    # A subclass without an __init__ of its own: StopRunError's passes on to Exception's.
    Halt = type("Halt", (cu.StopRunError,), {})
    monkeypatch.setattr(cu, "StopRunError", Halt)
    with pytest.raises(Halt, match="^stop by StopRunProcessor$"):
        cu.StopRunProcessor().process(1)
    monkeypatch.setattr(cu, "StopRunError", lambda message, out_data: message)
    with pytest.raises(TypeError, match="exceptions must derive from BaseException"):
        cu.StopRunProcessor().process(1)

    made = Template()
    monkeypatch.setattr(cu, "copy", types.SimpleNamespace(deepcopy=lambda p: made))
    assert cu._create_processor(Template(), None, (), {}) is made and made.completed == ((), {})
    monkeypatch.setattr(cu, "sys", types.SimpleNamespace(modules={cu.__name__: types.SimpleNamespace(
        Elsewhere=Step)}))
    assert type(cu._create_processor("Elsewhere", None, (), {})) is Step
    calls, Wrapper = [], type("Wrapper", (cu.FunctionProcessor,), {})
    monkeypatch.setattr(cu, "logger", types.SimpleNamespace(debug=lambda *a: calls.append(a)))
    monkeypatch.setattr(cu, "FunctionProcessor", Wrapper)
    assert type(cu._create_processor(load, None, (), {})) is Wrapper
    assert calls == [("wrap function `%s()` by FunctionProcessor", "load")]
    monkeypatch.setattr(cu, "ProcessorBase", Step)
    step = Step()
    assert cu._create_processor(step, None, (), {}) is step
    # no longer a processor class: wrapped as a function
    wrapped = cu._create_processor(cu.StopRunProcessor, None, (), {})
    assert (type(wrapped), wrapped.name()) == (Wrapper, "StopRunProcessor()")
    with pytest.raises(AttributeError, match="__name__"):
        cu._create_processor(cu.StopRunProcessor(), None, (), {})
