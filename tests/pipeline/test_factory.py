"""_create_processor, ARG_TYPE and the stop signal (StopRunError, StopRunProcessor)."""
import abc
import enum
import functools
import inspect
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
        self.parts = ["template"]
        self.completed = None

    def init_function_object(self, *args, **kwargs):
        self.parts.append("completed")
        self.completed = (args, kwargs)
        return "ignored"


def messages(records):
    return [(r.levelname, r.getMessage()) for r in records]


# ==== ARG_TYPE ===============================================================


def test_arg_type_members():
    assert issubclass(cu.ARG_TYPE, enum.Enum)
    assert [(m.name, m.value) for m in cu.ARG_TYPE] == [
        ("DEFAULT", None), ("FIXED", "fixed"), ("DISABLE", "disable")
    ]
    assert cu.ARG_TYPE(None) is cu.ARG_TYPE.DEFAULT
    assert cu.ARG_TYPE("fixed") is cu.ARG_TYPE.FIXED
    assert cu.ARG_TYPE(cu.ARG_TYPE.DISABLE) is cu.ARG_TYPE.DISABLE
    assert pickle.loads(pickle.dumps(cu.ARG_TYPE.FIXED)) is cu.ARG_TYPE.FIXED
    with pytest.raises(ValueError, match="'other' is not a valid ARG_TYPE"):
        cu.ARG_TYPE("other")


# ==== StopRunError ===========================================================


@pytest.mark.parametrize(
    "args, kwargs, message, out_data",
    [
        ((), {}, "Stop the execution and return directly", None),
        (("halt", 3), {}, "halt", 3),
        ((), {"out_data": [1], "message": "m"}, "m", [1]),
        ((None,), {}, None, None),
    ],
)
def test_stop_run_error_carries_message_and_output(args, kwargs, message, out_data):
    err = cu.StopRunError(*args, **kwargs)
    assert isinstance(err, Exception)
    assert (err.message, err.out_data, err.args) == (message, out_data, (message,))
    assert str(err) == str(message)
    copy = pickle.loads(pickle.dumps(err))
    assert type(copy) is cu.StopRunError
    assert (copy.message, copy.out_data, copy.args) == (message, out_data, (message,))


def test_stop_run_error_arity_and_subclassing():
    with pytest.raises(TypeError, match=r"__init__\(\) takes from 1 to 3 positional arguments but 4"):
        cu.StopRunError("a", 1, 2)
    err = type("Halt", (cu.StopRunError,), {
        "__init__": lambda self, out: cu.StopRunError.__init__(self, "halt", out_data=out)})(7)
    assert (str(err), err.out_data, isinstance(err, cu.StopRunError)) == ("halt", 7, True)


# ==== StopRunProcessor =======================================================


def test_stop_run_processor_raises_with_its_input():
    gate = cu.StopRunProcessor(name="gate")
    assert gate.is_ready() is False and gate.init() is True and gate.is_ready() is True
    for args, kwargs, out in [((5,), {"g_kwargs": {}, "time_cost": {}}, 5), ((), {}, None),
                              ((), {"in_data": 4}, 4)]:
        with pytest.raises(cu.StopRunError) as info:
            gate.process(*args, **kwargs)
        assert (info.value.message, info.value.out_data) == ("stop by gate", out)
    with pytest.raises(TypeError, match=r"takes from 1 to 2 positional arguments but 3"):
        gate.process(1, 2)


def test_stop_run_processor_reads_names_at_call_time(monkeypatch):
    class Halt(cu.StopRunError):
        pass

    monkeypatch.setattr(cu, "StopRunError", Halt)
    with pytest.raises(Halt, match="^stop by StopRunProcessor$"):
        cu.StopRunProcessor().process(1)
    monkeypatch.setattr(cu, "StopRunError", lambda message, out_data: message)
    with pytest.raises(TypeError, match="exceptions must derive from BaseException"):
        cu.StopRunProcessor().process(1)


# ==== _create_processor: names ===============================================


def test_create_processor_signature():
    assert str(inspect.signature(cu._create_processor)) == (
        "(processor: 'Union[ProcessorBase, Callable, str]', module: 'ModuleType', args, kwargs)"
        " -> 'object'"
    )
    assert cu._create_processor.__annotations__ == {
        "processor": "Union[ProcessorBase, Callable, str]", "module": "ModuleType",
        "return": "object",
    }


def test_names_are_looked_up_in_the_given_module_then_in_this_one():
    first = cu._create_processor("StopRunProcessor", None, (), {})
    second = cu._create_processor("StopRunProcessor", types.ModuleType("m"), (), {})
    assert type(first) is cu.StopRunProcessor and first.is_ready() is False
    assert first is not second
    module = types.ModuleType("m")
    module.StopRunProcessor = load
    module.Named = Step
    p = cu._create_processor(type("S", (str,), {})("StopRunProcessor"), module, (), {})
    assert type(p) is cu.FunctionProcessor and p.name() == "load()"
    assert type(cu._create_processor("Named", module, (1,), {"k": 2})) is Step


def test_unknown_names(log_records, monkeypatch):
    with pytest.raises(NotImplementedError, match=r"^can't find processor 'nosuch'$") as info:
        cu._create_processor("nosuch", types.ModuleType("m"), (), {})
    # raised while the failed look-up was being handled
    assert isinstance(info.value.__context__, AttributeError)
    monkeypatch.setattr(cu, "zero", 0, raising=False)
    with pytest.raises(NotImplementedError, match=r"^can't find processor 'zero'$"):
        cu._create_processor("zero", None, (), {})
    # found in the given module: taken even when falsy
    module = types.ModuleType("m")
    module.zero = 0
    with pytest.raises(NotImplementedError, match=r"^create error! can't find processor '0'$"):
        cu._create_processor("zero", module, (), {})
    assert messages(log_records) == [("ERROR", "bad processor name: 0")]
    strict = type("Strict", (), {"__getattr__": lambda self, name: {}[name]})()
    with pytest.raises(KeyError):  # other look-up errors propagate
        cu._create_processor("StopRunProcessor", strict, (), {})


# ==== _create_processor: objects, classes, callables =========================


def test_objects_are_shared_and_templates_copied_then_completed():
    step = Step()
    assert cu._create_processor(step, None, (1,), {"k": 1}) is step and step.args == ()
    template = Template()
    made = cu._create_processor(template, None, [1, 2], {"k": 3})
    assert type(made) is Template and made is not template
    assert made.parts == ["template", "completed"] and made.completed == ((1, 2), {"k": 3})
    assert template.parts == ["template"] and template.completed is None


@pytest.mark.parametrize(
    "args, kwargs, error",
    [
        (5, {}, r"^(common_utils\.common_utils\.|.*\.)?(Template\.)?init_function_object\(\) "
                r"argument after \* must be an iterable, not int$"),
        ((), 5, r"init_function_object\(\) argument after \*\* must be a mapping, not int$"),
        ((), {1: 2}, r"keywords must be strings$"),
    ],
)
def test_template_arguments_are_unpacked_as_a_call_does(args, kwargs, error):
    with pytest.raises(TypeError, match=error):
        cu._create_processor(Template(), None, args, kwargs)


def test_processor_classes_are_instantiated(log_records):
    kwargs = {"model_args": 1, "name": "n"}
    p = cu._create_processor(Step, None, ("a",), kwargs)
    assert (type(p), p.args, p.kwargs, p.name(), p._model_args) == (Step, ("a",), kwargs, "n", 1)
    p = cu._create_processor("Processor", None, (), {"processors": [load], "ready": True})
    assert p.process(4) == 4
    assert messages(log_records)[0] == (
        "DEBUG", "create `{}` object args=('a',) kwargs={}".format(Step, kwargs.keys())
    )


class Meta(abc.ABCMeta):
    pass


class AbstractStep(cu.ProcessorBase, metaclass=Meta):
    pass


@pytest.mark.parametrize(
    "description, name",
    [(load, "load()"), (dict, "dict()"), (AbstractStep, "AbstractStep()"), (len, "len()")],
)
def test_other_callables_are_wrapped(description, name, log_records):
    p = cu._create_processor(description, None, ("ignored",), {"ignored": 1})
    assert type(p) is cu.FunctionProcessor
    assert (p.name(), p.is_ready(), p._user_function) == (name, True, description)
    assert messages(log_records) == [("DEBUG", "wrap function `%s` by FunctionProcessor" % name)]


def test_unusable_step_descriptions(log_records):
    with pytest.raises(NotImplementedError, match=r"^create error! can't find processor '42'$"):
        cu._create_processor(42, None, (), {})
    assert messages(log_records) == [("ERROR", "bad processor name: 42")]
    with pytest.raises(AttributeError):
        cu._create_processor(functools.partial(load), None, (), {})
    with pytest.raises(AttributeError):
        cu._create_processor(Step, None, (), [("k", 1)])
    with pytest.raises(TypeError):
        cu._create_processor(Step, None, ())


def test_module_names_are_read_at_call_time(monkeypatch):
    made = Template()
    monkeypatch.setattr(cu, "copy", types.SimpleNamespace(deepcopy=lambda p: made))
    assert cu._create_processor(Template(), None, (), {}) is made and made.completed == ((), {})
    own = types.ModuleType("own")
    own.Elsewhere = Step
    monkeypatch.setattr(cu, "sys", types.SimpleNamespace(modules={cu.__name__: own}))
    assert type(cu._create_processor("Elsewhere", None, (), {})) is Step
    calls = []

    class Logger:
        def __getattr__(self, level):
            return lambda *args: calls.append((level,) + args)

    class Wrapper(cu.FunctionProcessor):
        pass

    monkeypatch.setattr(cu, "logger", Logger())
    monkeypatch.setattr(cu, "FunctionProcessor", Wrapper)
    assert type(cu._create_processor(load, None, (), {})) is Wrapper
    assert calls == [("debug", "wrap function `%s()` by FunctionProcessor", "load")]
    monkeypatch.setattr(cu, "ProcessorBase", Step)
    step = Step()
    assert cu._create_processor(step, None, (), {}) is step
    # no longer a processor class: wrapped as a function
    wrapped = cu._create_processor(cu.StopRunProcessor, None, (), {})
    assert (type(wrapped), wrapped.name()) == (Wrapper, "StopRunProcessor()")
    with pytest.raises(AttributeError, match="__name__"):
        cu._create_processor(cu.StopRunProcessor(), None, (), {})
