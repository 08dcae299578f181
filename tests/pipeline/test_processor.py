"""Processor, the sequential pipeline: construction from step descriptions, init,
data flow by mode, the run's keyword dictionary and timings, stops, errors,
patches.  Concurrent runs: tests/runtime/test_concurrent.py; overrides against the fast paths:
test_parity."""
import itertools
import sys
import time
import traceback
import types

import pytest

import common_utils.common_utils as cu


def inc(x, **kwargs): return x + 1
def dbl(x, **kwargs): return x * 2


def ready(steps, **kwargs):
    return cu.Processor(steps, ready=True, **kwargs)


def messages(records, level=None):
    return [(r.levelname, r.getMessage()) for r in records if level in (None, r.levelname)]


def recording(seen, note=lambda x, kwargs: kwargs):
    """A step, record(), that appends note(input, keywords) to `seen` and passes its input on."""
    def record(x=None, **kwargs):
        seen.append(note(x, kwargs))
        return x
    return record


def failing(error):
    def fail(x, **kwargs):
        raise error
    return fail


class Recorder(cu.ProcessorBase):
    def __init__(self, *args, results=(), **kwargs):
        super().__init__(*args, **kwargs)
        self.args, self.kwargs, self.results, self.inits = args, kwargs, list(results), 0

    def init(self):  # answers from `results`: an exception is raised, a truthy value makes it ready
        self.inits += 1
        result = self.results.pop(0)
        if isinstance(result, Exception):
            raise result
        return result and self.set_ready(True) is None and result

    def process(self, data=None, **kwargs):
        return data


@pytest.fixture
def clock(monkeypatch):
    """The module's `time` rebound to a clock that ticks one second per read."""
    ticks = itertools.count(100)
    monkeypatch.setattr(cu, "time", types.SimpleNamespace(time=lambda: float(next(ticks))))


# ==== construction and init ==================================================
def test_step_descriptions_become_steps(monkeypatch):
    module = types.ModuleType("jobs")
    module.Recorder = Recorder
    p = cu.Processor(
        (Recorder, "Recorder", "StopRunProcessor", inc, {"Recorder": [("name", "own")]}),
        module, None, False, False, False, "model", name="pipe", spark_session="s", extra=1)
    assert (p._name, p._model_args, p._spark_session) == ("pipe", "model", "s")
    first, by_name, stop, wrapped, own = p._processors
    inherited = {"spark_session": "s", "extra": 1, "module": module}
    assert (type(first), first.args, first.kwargs, by_name.kwargs) == (Recorder, ("model",), inherited, inherited)
    assert type(stop) is cu.StopRunProcessor and stop._model_args == "model"
    assert type(wrapped) is cu.FunctionProcessor and wrapped.name() == "inc()"
    assert own.name() == "own" and own.kwargs == dict(inherited, name="own")
    p = cu.Processor([inc, [dbl, inc]], input_arg_type="fixed", return_exceptions=True, ready=1)
    assert p.process(3) == 7
    described = {"name": "Processor", "ready": 1, "input_arg_type": None,
                 "update_global_kwargs": False, "return_exceptions": False,
                 "use_aysnc_run": False, "processors": [{"dbl()": True}, {"inc()": True}]}
    assert p.as_dict() == {"Processor": dict(
        described, input_arg_type="fixed", return_exceptions=True,
        processors=[{"inc()": True}, {"Processor": described}])}
    assert list(p.as_dict()["Processor"]) == list(described)
    with pytest.raises(TypeError, match="multiple values for argument 'processors'"):
        cu.Processor([inc, [inc]], types.ModuleType("m"), None, False, False, False, "model")
    calls, plain, create = [], cu.Processor, cu._create_processor
    nested = type("Nested", (cu.Processor,), {})  # nested lists: the module's `Processor` of the moment
    monkeypatch.setattr(cu, "_create_processor", lambda *a: calls.append(a) or create(*a))
    monkeypatch.setattr(cu, "Processor", nested)
    assert type(plain([inc, [dbl]], module, ready=True)._processors[1]) is nested
    given = {"ready": True, "module": module}
    assert calls[:2] == [(inc, module, (), given), (nested, module, (), dict(given, processors=[dbl]))]
    # the default module is __main__ as it was when the module was made
    monkeypatch.setattr(sys.modules["__main__"], "cu_main_step", inc, raising=False)
    monkeypatch.setitem(sys.modules, "__main__", types.ModuleType("later"))
    assert plain("cu_main_step", ready=True).process(1) == 2


@pytest.mark.parametrize("call, error, text, logged", [
    (lambda: cu.Processor([]), ValueError, "^processors list is empty$",
     "processors list is empty! ori processors=[]"),
    (lambda: cu.Processor([inc, {"a": 1, "b": 2}]), ValueError,
     r"^process create  error, get multiple args=\{'a': 1, 'b': 2\}$",
     "process create error, get multiple args={'a': 1, 'b': 2}"),
    (lambda: cu.Processor(inc, input_arg_type="other"), ValueError, "not a valid ARG_TYPE", None),
    (lambda: cu.Processor(inc, use_aysnc_run=True), AssertionError,
     "^Async run only supports FIXED or DISABLE", None),
    (lambda: cu.Processor([{"StopRunProcessor": {1: 2}}]), TypeError, "keywords must be strings",
     None),
    (lambda: cu.Processor(inc, module=None), ValueError, "^'None' is not a Module$", None),
    (lambda: cu.Processor(inc, module=type("Sub", (types.ModuleType,), {})("m")), ValueError,
     "^'<module 'm'>' is not a Module$", None),
])
def test_construction_errors(call, error, text, logged, log_records):
    with pytest.raises(error, match=text):
        call()
    if logged:
        assert messages(log_records, "ERROR") == [("ERROR", logged)]


def test_init_retries_only_the_steps_not_ready(log_records):
    good, flaky = Recorder(results=[True], name="good"), Recorder(results=[False, 1], name="flaky")
    p = cu.Processor([good, flaky, inc])
    cu.Processor([inc, [dbl]], name="job")
    assert p.init() is False and p.is_ready() is False
    assert p.init() is True and p.is_ready() is True and (good.inits, flaky.inits) == (1, 2)
    assert messages(log_records)[-7:] == [
        ("DEBUG", "Processor create over `Processor` name=job list[2]=['inc()', 'Processor']"),
        ("INFO", "start init processor: good"), ("INFO", "start init processor: flaky"),
        ("ERROR", "processor flaky init failed"),
        ("DEBUG", "processor 'Processor' init over. flag=False total=3 init_num=2"),
        ("INFO", "start init processor: flaky"),
        ("DEBUG", "processor 'Processor' init over. flag=True total=3 init_num=1"),
    ]
    error = RuntimeError("init")
    first, later = Recorder(results=[error, True]), Recorder(results=[True])
    p = cu.Processor([first, later])
    with pytest.raises(RuntimeError) as info:
        p.init()
    assert info.value is error and later.inits == 0 and p.is_ready() is False
    assert p.init() is True and later.inits == 1


# ==== data flow and the run's dictionary =====================================
@pytest.mark.parametrize("mode, second_input", [
    (None, (1,)), ("fixed", (3,)), (cu.ARG_TYPE.FIXED, (3,)), ("disable", ())])
def test_data_flow_by_mode(mode, second_input):
    seen = []

    def step(*args, **kwargs):
        seen.append((args, sorted(kwargs), list(kwargs["time_cost"])))
        kwargs["g_kwargs"]["extra"] = 1  # the next step gets it as a keyword
        return len(seen)
    p = ready([step, step], input_arg_type=mode)
    assert p.process(3) == 2 and p(3) == 4
    first = (() if mode == "disable" else (3,), ["g_kwargs", "time_cost"], [])
    second = (second_input, ["extra", "g_kwargs", "time_cost"], ["step()"])
    assert seen[:3] == [first, second, first]  # the second run starts from clean dictionaries


def test_steps_share_the_run_dictionary_and_its_timings(clock):
    seen = []
    record = recording(seen)
    assert ready([record, inc, record]).process(1, extra=5) == 2
    run = seen[0]["g_kwargs"]
    assert seen[1]["g_kwargs"] is run and seen[0]["time_cost"] is run["time_cost"]
    assert run == {"extra": 5, "time_cost": {"record()": 2.0, "inc()": 1.0}}  # a name twice: summed
    kept = []  # dictionaries a step keeps stay intact after the run
    p = ready([recording(kept, lambda x, kw: (kw["g_kwargs"] if x % 2 else None, kw["time_cost"])), inc])
    for x in range(4):
        p.process(x, extra=x)
    assert [run["extra"] for run, _ in kept if run] == [1, 3]
    assert len({id(timing) for _, timing in kept}) == 4
    for run, timing in kept:
        assert (run is None or run["time_cost"] is timing) and set(timing) == {"record()", "inc()"}


def test_process_parameters():
    seen = []
    p = ready(recording(seen, lambda x, kwargs: (x, {
        k: v for k, v in kwargs.items() if k not in ("g_kwargs", "time_cost")})))
    p.process(in_data=5)
    p.process(1, {"ignored": 1}, other=2)
    p.process(2, g_kwargs={"ignored": 1})
    assert seen == [(None, {"in_data": 5}), (1, {"other": 2}), (2, {})]
    for args, kwargs, text in [((1, {}), {"g_kwargs": {}}, "multiple values for argument 'g_kwargs'"),
                               ((1, {}, 3), {}, "takes from 1 to 3 positional arguments but 4 were"),
                               ((1,), {1: 2}, "keywords must be strings")]:
        with pytest.raises(TypeError, match=text):
            p.process(*args, **kwargs)
    run = {"time_cost": {}}  # one step alone, by keyword; it needs the run's timing record
    assert p._one_process(p=p._processors[0], in_data=1, out_data=5, g_kwargs=run) == 5
    assert list(run["time_cost"]) == ["record()"] and seen[-1] == (5, {})
    with pytest.raises(KeyError, match="time_cost"):
        p._one_process(p._processors[0], 1, 5, {})


def test_update_global_kwargs_and_nested_pipelines(clock):
    seen = []
    record = recording(seen, lambda x, kwargs: kwargs["g_kwargs"])
    given = {"value": 1}
    p = ready(record, update_global_kwargs=True)
    p.process(2, given, ignored=3)
    p.process(3, g_kwargs=given)
    assert seen[-2] is given and seen[-1] is given
    assert given == {"value": 1, "time_cost": {"record()": 2.0}}
    seen.clear()  # without a dictionary given, one shared default collects every run
    ready([record, record], update_global_kwargs=True).process(1)
    ready(record, update_global_kwargs=True).process(1)
    shared = seen[0]
    try:
        assert all(d is shared for d in seen) and shared["time_cost"]["record()"] == 3.0
    finally:
        del shared["time_cost"]["record()"]
    seen.clear()  # a nested pipeline shares the timing record
    run = {}
    ready([inc, [record]], update_global_kwargs=True).process(1, run)
    assert seen[0] is not run and seen[0]["time_cost"] is run["time_cost"]
    assert run["time_cost"] == {"inc()": 1.0, "record()": 1.0, "Processor": 3.0}
    ready([inc, ready([record], update_global_kwargs=True, name="sharing")]).process(1)
    assert set(seen[-1]["time_cost"]) == {"inc()", "record()", "sharing"}
    p = ready(lambda x, **kwargs: x if x <= 0 else p.process(x - 1) + 1)
    assert p.process(30) == 30


# ==== stops and failures =====================================================
def test_a_stop_ends_the_run_or_becomes_the_output(clock, log_records):
    calls = []
    after = recording(calls, lambda x, kwargs: x)
    gate = cu.StopRunProcessor(name="gate", ready=True)
    run = {"time_cost": {"gate": 99.0}}
    with pytest.raises(cu.StopRunError) as info:
        ready([inc, gate, after], update_global_kwargs=True).process(1, run)
    assert (str(info.value), info.value.out_data, calls) == ("stop by gate", 2, [])
    assert run["time_cost"] == {"gate": 1.0, "inc()": 1.0}  # replaced, not added
    assert ready([inc, gate, after], return_exceptions=True).process(1) == 2 and calls == [2]
    assert messages(log_records, "DEBUG").count(
        ("DEBUG", "Processor stopped by 'gate', message=stop by gate out_data=2 time=1.0000s")) == 2
    assert messages(log_records, "ERROR") == []
    inner = [inc, cu.StopRunProcessor(ready=True), dbl]  # each level decides on its own stops
    assert ready([inc, inner, dbl], return_exceptions=True).process(1) == 6
    outer = LookupError("outer")  # the caller's handled exception is still the one handled
    try:
        raise outer
    except LookupError:
        assert ready([cu.StopRunProcessor(ready=True), inc], return_exceptions=True).process(1) == 2
        assert sys.exc_info()[1] is outer


def test_step_errors_reach_the_caller_unchanged(log_records):
    cause, raised = KeyError("inner"), []

    def fail(x, **kwargs):
        try:
            raise cause
        except KeyError:
            raised.append(ValueError("outer"))
            raise raised[0]
    run = {}
    with pytest.raises(ValueError) as info:
        ready([inc, [inc, [fail]]], update_global_kwargs=True).process(1, run)
    err = info.value
    assert err is raised[0] and err.__context__ is cause and err.__cause__ is None
    frames = [frame.f_code.co_name for frame, _ in traceback.walk_tb(err.__traceback__)]
    assert frames[0] == "test_step_errors_reach_the_caller_unchanged" and frames[-1] == "fail"
    assert messages(log_records, "ERROR") == [("ERROR", "Processor 'fail()' process failed, err=outer")] + [
        ("ERROR", "Processor 'Processor' process failed, err=outer")] * 2
    assert list(run["time_cost"]) == ["inc()"]
    del log_records[:]  # a step that fills g_kwargs makes the next step's call fail
    with pytest.raises(TypeError) as info:
        ready([lambda x, **kwargs: kwargs["g_kwargs"].update(g_kwargs=1) or x, inc]).process(1)
    assert str(info.value).endswith(
        ("common_utils.common_utils.FunctionProcessor." if sys.version_info >= (3, 9) else "")
        + "process() got multiple values for keyword argument 'g_kwargs'")
    assert messages(log_records, "ERROR") == [
        ("ERROR", "Processor 'inc()' process failed, err=%s" % info.value)]
    del log_records[:]
    for error in [type("Interrupt", (BaseException,), {}), KeyboardInterrupt, SystemExit]:
        run = {}  # base exceptions pass without a log line or a timing
        with pytest.raises(error):
            ready([inc, failing(error)], update_global_kwargs=True).process(1, run)
        assert list(run["time_cost"]) == ["inc()"] and messages(log_records, "ERROR") == []



# ==== names read at each use =================================================
def test_step_and_module_names_read_at_run_time(clock, log_records, monkeypatch):
    class Renaming(cu.ProcessorBase):
        def process(self, data=None, **kwargs):
            self._name = "after"
            return data
    named = type("Named", (Recorder,), {"name": lambda self: "custom"})
    run = {}
    ready([Renaming(ready=True), named(ready=True)], update_global_kwargs=True).process(1, run)
    assert run["time_cost"] == {"after": 1.0, "custom": 1.0}
    assert [m for _, m in messages(log_records, "DEBUG")][-4:] == [
        "Processor 'Renaming' start. args=(<class 'int'>,) kwargs=dict_keys(['time_cost'])",
        "Processor 'after' end. time=1.0000s",
        "Processor 'custom' start. args=(<class 'int'>,) kwargs=dict_keys(['time_cost'])",
        "Processor 'custom' end. time=1.0000s",
    ]
    monkeypatch.undo()  # the standard `time` again, its function patched
    ticks = itertools.count(0, 0.5)
    monkeypatch.setattr(time, "time", lambda: next(ticks))
    seen = []
    ready([inc, recording(seen, lambda x, kwargs: dict(kwargs["time_cost"]))]).process(1)
    assert seen == [{"inc()": 0.5}] and type(seen[0]["inc()"]) is float

    class Halt(LookupError):  # the module's stop class and timing key of the moment
        message, out_data = "halt", "out"
    seen.clear()
    p = ready([failing(Halt), recording(seen, lambda x, kwargs: (x, sorted(kwargs)))],
              return_exceptions=True)
    monkeypatch.setattr(cu, "StopRunError", Halt)
    monkeypatch.setattr(cu, "TIME_KEY", "elapsed")
    p.process(1)
    assert seen == [("out", ["elapsed", "g_kwargs"])]
    p._input_arg_type = cu.ARG_TYPE.FIXED
    p.process(1)
    assert seen[-1][0] == 1
    monkeypatch.setattr(cu, "StopRunError", "not a class")
    with pytest.raises(TypeError, match="catching classes that do not inherit") as info:
        p.process(1)
    assert isinstance(info.value.__context__, Halt)
