"""Processor, the sequential pipeline: construction from step descriptions, init,
data flow by mode, the run's keyword dictionary and timings, stops, errors,
overrides and patches, the concurrent mode and memory."""
import inspect
import itertools
import subprocess
import sys
import textwrap
import time
import traceback
import types

import pytest

import common_utils.common_utils as cu


def inc(x, **kwargs):
    return x + 1


def dbl(x, **kwargs):
    return x * 2


def ready(steps, **kwargs):
    return cu.Processor(steps, ready=True, **kwargs)


def messages(records, level=None):
    return [(r.levelname, r.getMessage()) for r in records if level in (None, r.levelname)]


class Recorder(cu.ProcessorBase):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.args, self.kwargs = args, kwargs

    def process(self, data=None, **kwargs):
        return data


class Flaky(Recorder):
    def __init__(self, results, **kwargs):
        super().__init__(**kwargs)
        self.results, self.inits = list(results), 0

    def init(self):
        self.inits += 1
        result = self.results.pop(0)
        if isinstance(result, Exception):
            raise result
        if result:
            self.set_ready(True)
        return result


class QuietLogger:
    def debug(self, *args):
        pass

    info = error = debug


@pytest.fixture
def clock(monkeypatch):
    """The module's `time` rebound to a clock that ticks one second per read."""
    ticks = itertools.count(100)
    monkeypatch.setattr(cu, "time", types.SimpleNamespace(time=lambda: float(next(ticks))))


# ==== construction ===========================================================


def test_step_descriptions_become_steps():
    module = types.ModuleType("jobs")
    module.Recorder = Recorder
    assert [p.name() for p in cu.Processor(inc)._processors] == ["inc()"]
    p = cu.Processor(
        (Recorder, "Recorder", "StopRunProcessor", inc, {"Recorder": [("name", "own")]}),
        module, None, False, False, False, "model", name="pipe", spark_session="s", extra=1,
    )
    assert (p._name, p._model_args, p._spark_session) == ("pipe", "model", "s")
    first, by_name, stop, wrapped, own = p._processors
    inherited = {"spark_session": "s", "extra": 1, "module": module}
    assert (type(first), first.args, first.kwargs) == (Recorder, ("model",), inherited)
    assert (type(by_name), by_name.kwargs) == (Recorder, inherited)
    assert type(stop) is cu.StopRunProcessor and stop._model_args == "model"
    assert type(wrapped) is cu.FunctionProcessor and wrapped.name() == "inc()"
    assert own.name() == "own" and own.kwargs == dict(inherited, name="own")


def test_nested_lists_become_default_pipelines():
    p = cu.Processor([inc, [dbl, inc]], input_arg_type="fixed", return_exceptions=True, ready=1)
    nested = p._processors[1]
    assert (nested._input_arg_type, nested._update_global_kwargs, nested._use_aysnc_run,
            nested._return_exceptions, nested.is_ready()) == (cu.ARG_TYPE.DEFAULT, False, False,
                                                              False, 1)
    assert p.process(3) == 7
    described = {"name": "Processor", "ready": 1, "input_arg_type": None,
                 "update_global_kwargs": False, "return_exceptions": False,
                 "use_aysnc_run": False, "processors": [{"dbl()": True}, {"inc()": True}]}
    assert p.as_dict() == {"Processor": dict(
        described, input_arg_type="fixed", return_exceptions=True,
        processors=[{"inc()": True}, {"Processor": described}])}
    assert list(p.as_dict()["Processor"]) == list(described)
    assert repr(ready(inc)).startswith('<Processor {"name": "Processor", "ready": true, "input_')
    with pytest.raises(TypeError, match="multiple values for argument 'processors'"):
        cu.Processor([inc, [inc]], types.ModuleType("m"), None, False, False, False, "model")


def test_construction_reads_module_names(monkeypatch):
    calls, plain, create = [], cu.Processor, cu._create_processor

    class Nested(cu.Processor):
        pass

    def recording(description, module, args, kwargs):
        calls.append((description, module, args, dict(kwargs)))
        return create(description, module, args, kwargs)

    monkeypatch.setattr(cu, "_create_processor", recording)
    monkeypatch.setattr(cu, "Processor", Nested)
    module = types.ModuleType("m")
    p = plain([inc, [dbl]], module, ready=True)
    assert type(p._processors[1]) is Nested
    assert calls[:2] == [(inc, module, (), {"ready": True, "module": module}),
                         (Nested, module, (), {"ready": True, "module": module, "processors": [dbl]})]
    # the default module is __main__ as it was when the module was made
    monkeypatch.setattr(sys.modules["__main__"], "cu_main_step", inc, raising=False)
    monkeypatch.setitem(sys.modules, "__main__", types.ModuleType("later"))
    assert plain("cu_main_step", ready=True).process(1) == 2


def _module_with_recorder():
    module = types.ModuleType("m")
    module.Recorder = Recorder
    return module


@pytest.mark.parametrize("call, error, text, logged", [
    (lambda: cu.Processor([]), ValueError, "^processors list is empty$",
     "processors list is empty! ori processors=[]"),
    (lambda: cu.Processor(()), ValueError, "^processors list is empty$",
     "processors list is empty! ori processors=()"),
    (lambda: cu.Processor([inc, {"a": 1, "b": 2}]), ValueError,
     r"^process create  error, get multiple args=\{'a': 1, 'b': 2\}$",
     "process create error, get multiple args={'a': 1, 'b': 2}"),
    (lambda: cu.Processor([inc, {}]), ValueError, r"^process create  error, get multiple args=\{\}$",
     "process create error, get multiple args={}"),
    (lambda: cu.Processor(inc, input_arg_type="other"), ValueError, "is not a valid ARG_TYPE", None),
    (lambda: cu.Processor(inc, use_aysnc_run=True), AssertionError,
     "^Async run only supports FIXED or DISABLE", None),
    (lambda: cu.Processor([inc, "nosuch"]), NotImplementedError, "can't find processor 'nosuch'",
     None),
    (lambda: cu.Processor([{"Recorder": {1: 2}}], module=_module_with_recorder()), TypeError,
     "keywords must be strings", None),
    (lambda: cu.Processor(inc, module=None), ValueError, "^'None' is not a Module$", None),
    (lambda: cu.Processor(inc, module="m"), ValueError, "^'m' is not a Module$", None),
    (lambda: cu.Processor(inc, module=type("Sub", (types.ModuleType,), {})("m")), ValueError,
     "^'<module 'm'>' is not a Module$", None),
])
def test_construction_errors(call, error, text, logged, log_records):
    with pytest.raises(error, match=text):
        call()
    if logged:
        assert messages(log_records, "ERROR") == [("ERROR", logged)]


def test_assertion_is_skipped_under_optimisation(tmp_path):
    code = "import common_utils.common_utils as cu; cu.Processor(len, use_aysnc_run=True)"
    done = subprocess.run([sys.executable, "-O", "-c", code], cwd=str(tmp_path),
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr


# ==== init ===================================================================


def test_init_retries_only_the_steps_not_ready(log_records):
    good, flaky = Flaky([True], name="good"), Flaky([False, 1], name="flaky")
    p = cu.Processor([good, flaky, inc])
    cu.Processor([inc, [dbl]], name="job")
    assert p.init() is False and p.is_ready() is False
    assert p.init() is True and p.is_ready() is True
    assert (good.inits, flaky.inits) == (1, 2)
    assert messages(log_records)[-7:] == [
        ("DEBUG", "Processor create over `Processor` name=job list[2]=['inc()', 'Processor']"),
        ("INFO", "start init processor: good"),
        ("INFO", "start init processor: flaky"),
        ("ERROR", "processor flaky init failed"),
        ("DEBUG", "processor 'Processor' init over. flag=False total=3 init_num=2"),
        ("INFO", "start init processor: flaky"),
        ("DEBUG", "processor 'Processor' init over. flag=True total=3 init_num=1"),
    ]
    error = RuntimeError("init")
    first, later = Flaky([error, True]), Flaky([True])
    p = cu.Processor([first, later])
    with pytest.raises(RuntimeError) as info:
        p.init()
    assert info.value is error and later.inits == 0 and p.is_ready() is False
    assert p.init() is True and later.inits == 1


# ==== data flow and the run's dictionary =====================================


@pytest.mark.parametrize(
    "mode, expected",
    [(None, 8), (cu.ARG_TYPE.DEFAULT, 8), ("fixed", 6), (cu.ARG_TYPE.FIXED, 6)],
)
def test_data_flow_by_mode(mode, expected):
    p = cu.Processor([inc, dbl], input_arg_type=mode)
    with pytest.raises(ValueError, match=r"^processor 'Processor' is not ready$"):
        p.process(3)
    assert p.init() is True
    assert p.process(3) == expected and p(3) == expected


def test_disable_mode_passes_keywords_only():
    seen = []

    def step(**kwargs):
        seen.append(sorted(kwargs))
        kwargs["g_kwargs"]["extra"] = 1
        return len(seen)

    assert ready([step, step], input_arg_type="disable").process(3) == 2
    assert seen == [["g_kwargs", "time_cost"], ["extra", "g_kwargs", "time_cost"]]


def test_steps_share_the_run_dictionary_and_its_timings(clock):
    seen = []

    def record(x, **kwargs):
        seen.append(kwargs)
        return x

    assert ready([record, inc, record]).process(1, extra=5) == 2
    first, second = seen
    run = first["g_kwargs"]
    assert second["g_kwargs"] is run and first["time_cost"] is run["time_cost"]
    assert set(first) == {"g_kwargs", "time_cost", "extra"}
    # the step named twice sums both times
    assert run == {"extra": 5, "time_cost": {"record()": 2.0, "inc()": 1.0}}
    ready(record).process(1)
    assert seen[-1]["time_cost"] == {"record()": 1.0}


def test_run_dictionaries_kept_by_a_step_stay_intact(clock):
    kept = []

    def keep(x, g_kwargs, **kwargs):
        if x % 2:
            kept.append((g_kwargs, kwargs["time_cost"]))
        elif x == 4:
            kept.append((None, kwargs["time_cost"]))  # only the timing record
        return x

    p = ready([keep, inc])
    for x in range(6):
        p.process(x, extra=x)
    assert [run["extra"] for run, _ in kept if run] == [1, 3, 5]
    assert len({id(timing) for _, timing in kept}) == 4
    for run, timing in kept:
        assert run is None or run["time_cost"] is timing
        assert set(timing) == {"keep()", "inc()"}


def test_process_parameters():
    seen = []

    def record(x=None, **kwargs):
        seen.append((x, {k: v for k, v in kwargs.items() if k not in ("g_kwargs", "time_cost")}))
        return x

    p = ready(record)
    p.process(in_data=5)
    p.process(1, {"ignored": 1}, other=2)
    p.process(2, g_kwargs={"ignored": 1})
    assert seen == [(None, {"in_data": 5}), (1, {"other": 2}), (2, {})]
    with pytest.raises(TypeError, match="multiple values for argument 'g_kwargs'"):
        p.process(1, {}, g_kwargs={})
    with pytest.raises(TypeError, match=r"takes from 1 to 3 positional arguments but 4 were"):
        p.process(1, {}, 3)
    with pytest.raises(TypeError, match="keywords must be strings"):
        p.process(1, **{1: 2})
    assert str(inspect.signature(cu.Processor.process)) == (
        "(self, in_data=None, /, g_kwargs={}, **kwargs)"
    )


def test_update_global_kwargs_selects_the_dictionary(clock):
    seen = []

    def record(x, **kwargs):
        seen.append(kwargs["g_kwargs"])
        kwargs["g_kwargs"]["added"] = x
        return x

    caller = {"a": 1}
    ready(record).process(1, **caller)
    assert caller == {"a": 1} and seen[-1] == {"a": 1, "added": 1, "time_cost": seen[-1]["time_cost"]}
    given = {"value": 1}
    p = ready(record, update_global_kwargs=True)
    p.process(2, given, ignored=3)
    p.process(3, g_kwargs=given)
    assert seen[-2] is given and seen[-1] is given
    assert given == {"value": 1, "added": 3, "time_cost": {"record()": 2.0}}
    # without a dictionary given, one shared default collects every run
    seen.clear()
    ready([record, record], update_global_kwargs=True).process(1)
    ready(record, update_global_kwargs=True).process(1)
    shared = seen[0]
    try:
        assert all(d is shared for d in seen) and shared["time_cost"]["record()"] == 3.0
    finally:
        del shared["time_cost"]["record()"], shared["added"]


def test_nested_pipelines_share_the_timing_record(clock):
    seen = []

    def note(x, **kwargs):
        kwargs["g_kwargs"]["inner"] = x
        seen.append(kwargs["g_kwargs"])
        return x

    run = {}
    ready([inc, [note]], update_global_kwargs=True).process(1, run)
    assert "inner" not in run and seen[0] is not run
    assert seen[0]["time_cost"] is run["time_cost"]
    assert run["time_cost"] == {"inc()": 1.0, "note()": 1.0, "Processor": 3.0}
    sharing = ready([note], update_global_kwargs=True, name="sharing")
    ready([inc, sharing]).process(1)
    assert seen[-1]["inner"] == 2 and set(seen[-1]["time_cost"]) == {"inc()", "note()", "sharing"}

    def recurse(x, **kwargs):
        return x if x <= 0 else p.process(x - 1) + 1

    p = ready(recurse)
    assert p.process(30) == 30


# ==== stopping ===============================================================


def test_a_stop_ends_the_run_or_becomes_the_output(clock, log_records):
    calls = []

    def after(x, **kwargs):
        calls.append(x)
        return x * 10

    gate = cu.StopRunProcessor(name="gate", ready=True)
    run = {"time_cost": {"gate": 99.0}}
    with pytest.raises(cu.StopRunError) as info:
        ready([inc, gate, after], update_global_kwargs=True).process(1, run)
    assert (str(info.value), info.value.out_data, calls) == ("stop by gate", 2, [])
    assert run["time_cost"] == {"gate": 1.0, "inc()": 1.0}  # replaced, not added
    assert ready([inc, gate, after], return_exceptions=True).process(1) == 20 and calls == [2]
    assert messages(log_records, "DEBUG").count(
        ("DEBUG", "Processor stopped by 'gate', message=stop by gate out_data=2 time=1.0000s")
    ) == 2
    assert messages(log_records, "ERROR") == []
    # each level decides on its own stops
    inner = [inc, cu.StopRunProcessor(ready=True), dbl]
    assert ready([inc, inner, dbl], return_exceptions=True).process(1) == 6
    with pytest.raises(cu.StopRunError) as info:
        ready([inc, inner, dbl]).process(1)
    assert info.value.out_data == 3
    # the caller's handled exception is still the one handled afterwards
    outer = LookupError("outer")
    try:
        raise outer
    except LookupError:
        assert ready([cu.StopRunProcessor(ready=True), inc], return_exceptions=True).process(1) == 2
        assert sys.exc_info()[1] is outer


# ==== failures ===============================================================


class Interrupt(BaseException):
    pass


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
    assert messages(log_records, "ERROR") == [
        ("ERROR", "Processor 'fail()' process failed, err=outer"),
        ("ERROR", "Processor 'Processor' process failed, err=outer"),
        ("ERROR", "Processor 'Processor' process failed, err=outer"),
    ]
    assert list(run["time_cost"]) == ["inc()"]


def _plain(x):
    return x


def _adds_g_kwargs(x, **kwargs):
    kwargs["g_kwargs"]["g_kwargs"] = 1
    return x


@pytest.mark.parametrize("steps, failing, text", [
    ([_plain], "_plain()", "unexpected keyword argument 'g_kwargs'"),
    ([_adds_g_kwargs, inc], "inc()",
     ("common_utils.common_utils.FunctionProcessor." if sys.version_info >= (3, 9) else "")
     + "process() got multiple values for keyword argument 'g_kwargs'"),
])
def test_bad_step_calls_fail_when_run(steps, failing, text, log_records):
    with pytest.raises(TypeError) as info:
        ready(steps).process(1)
    assert str(info.value).endswith(text)
    assert messages(log_records, "ERROR") == [
        ("ERROR", "Processor '%s' process failed, err=%s" % (failing, info.value))]


@pytest.mark.parametrize("error", [Interrupt, KeyboardInterrupt, SystemExit])
def test_base_exceptions_pass_without_log_or_timing(error, log_records):
    def stop(x, **kwargs):
        raise error

    run = {}
    with pytest.raises(error):
        ready([inc, stop], update_global_kwargs=True).process(1, run)
    assert list(run["time_cost"]) == ["inc()"]
    assert messages(log_records, "ERROR") == []


def test_one_step_directly():
    p = ready(inc)
    step = p._processors[0]
    run = {"time_cost": {}}
    assert p._one_process(step, 1, 5, run) == 6 and list(run["time_cost"]) == ["inc()"]
    assert p._one_process(p=step, in_data=1, out_data=2, g_kwargs=run) == 3
    with pytest.raises(KeyError, match="time_cost"):
        p._one_process(step, 1, 5, {})
    with pytest.raises(TypeError, match=r"takes 5 positional arguments but 6 were given"):
        p._one_process(step, 1, 5, run, 0)


def test_reference_counts_are_kept(monkeypatch):
    monkeypatch.setattr(cu, "logger", QuietLogger())  # records would hold the error
    data, step_error = object(), ValueError("x")

    def echo(x, **kwargs):
        return x

    def fail(x, **kwargs):
        raise step_error

    p, q = ready([echo, echo, [echo]]), ready([echo, fail])
    run = {"kept": data}  # the run's dictionaries must not outlive it
    before = [sys.getrefcount(o) for o in (data, echo, p, run, step_error)]
    for _ in range(100):
        assert p.process(data, **run) is data
        with pytest.raises(ValueError):
            q.process(data)
    step_error.__traceback__ = None
    assert [sys.getrefcount(o) for o in (data, echo, p, run, step_error)] == before


# ==== overrides and patches ==================================================


class Doubling(cu.FunctionProcessor):
    def process(self, *args, **kwargs):
        return super().process(*args, **kwargs) * 2


class Intercepting(cu.FunctionProcessor):
    def __getattribute__(self, name):
        if name == "process":
            return lambda *args, **kwargs: "intercepted"
        return super().__getattribute__(name)


class Described(Recorder):
    def as_dict(self):
        return {"Described": "custom"}


class Pipeline(cu.Processor):
    def process(self, *args, **kwargs):
        return ("sub", super().process(*args, **kwargs))


def _shadowed():
    p = cu.FunctionProcessor(inc)
    p.process = lambda *args, **kwargs: "shadowed"
    return p


@pytest.mark.parametrize(
    "step, expected",
    [(lambda: cu.FunctionProcessor(inc), 2), (lambda: Doubling(inc), 4),
     (lambda: Intercepting(inc), "intercepted"), (_shadowed, "shadowed"),
     (lambda: Pipeline([inc], ready=True), ("sub", 2))],
    ids=["plain", "subclass", "getattribute", "instance", "pipeline"],
)
def test_step_process_overrides(step, expected):
    assert ready(step()).process(1) == expected


@pytest.mark.parametrize("how", ["subclass", "instance"])
def test_step_runner_overrides(how):
    calls = []

    def note(step, in_data, out_data, g_kwargs):
        calls.append((step.name(), in_data, out_data, sorted(g_kwargs)))

    if how == "subclass":
        class Runner(cu.Processor):
            def _one_process(self, p, in_data, out_data, g_kwargs):
                note(p, in_data, out_data, g_kwargs)
                return super()._one_process(p, in_data, out_data, g_kwargs) * 10

        p = Runner([inc, inc], ready=True)
    else:
        p = ready([inc, inc])
        plain = p._one_process

        def runner(step, in_data, out_data, g_kwargs):
            note(step, in_data, out_data, g_kwargs)
            return plain(step, in_data, out_data, g_kwargs) * 10

        p._one_process = runner
    assert p.process(1) == 210
    assert calls == [("inc()", 1, 1, ["time_cost"]), ("inc()", 1, 20, ["time_cost"])]


def test_overridden_description_name_and_init(clock, log_records):
    class Renaming(cu.ProcessorBase):
        def process(self, data=None, **kwargs):
            self._name = "after"
            return data

    class Named(Recorder):
        def name(self):
            return "custom"

    class Unready(cu.Processor):
        def name(self):
            return "override"

        def init(self):
            return "own"

    p = ready([Described(), inc])
    assert p.as_dict()["Processor"]["processors"] == [{"Described": "custom"}, {"inc()": True}]
    unready = Unready(inc)
    assert unready.init() == "own"
    with pytest.raises(ValueError, match="^processor 'override' is not ready$"):
        unready.process(1)
    run = {}
    ready([Renaming(ready=True), Named(ready=True)], update_global_kwargs=True).process(1, run)
    assert run["time_cost"] == {"after": 1.0, "custom": 1.0}  # names read at each use
    assert [m for _, m in messages(log_records, "DEBUG")][-4:] == [
        "Processor 'Renaming' start. args=(<class 'int'>,) kwargs=dict_keys(['time_cost'])",
        "Processor 'after' end. time=1.0000s",
        "Processor 'custom' start. args=(<class 'int'>,) kwargs=dict_keys(['time_cost'])",
        "Processor 'custom' end. time=1.0000s",
    ]


def test_patched_time_function(monkeypatch):
    ticks = itertools.count(0, 0.5)
    monkeypatch.setattr(time, "time", lambda: next(ticks))
    seen = []
    ready([inc, lambda x, **kw: seen.append(dict(kw["time_cost"]))]).process(1)
    assert seen == [{"inc()": 0.5}] and type(seen[0]["inc()"]) is float


def test_rebound_logger_receives_every_call(monkeypatch):
    calls = []

    class Logger:
        def debug(self, *args):
            calls.append(("debug",) + args)

        def error(self, *args):
            # called while the step's error is the exception being handled
            calls.append(("error", sys.exc_info()[1]) + args)

    error = ValueError("bad")

    def fail(x, **kwargs):
        raise error

    p = ready([inc, fail])
    monkeypatch.setattr(cu, "logger", Logger())
    with pytest.raises(ValueError):
        p.process(1)
    start, keys = "Processor '%s' start. args=%s kwargs=%s", {"time_cost"}
    assert calls == [
        ("debug", start, "inc()", (int,), keys),
        ("debug", "Processor '%s' end. time=%.4fs", "inc()", calls[1][-1]),
        ("debug", start, "fail()", (int,), keys),
        ("error", error, "Processor '%s' process failed, err=%s", "fail()", error),
    ]
    assert type(calls[1][-1]) is float and sys.exc_info() == (None, None, None)


def test_module_names_read_at_run_time(monkeypatch):
    class Halt(LookupError):
        message, out_data = "halt", "out"

    def halt(x, **kwargs):
        raise Halt

    seen = []
    p = ready([halt, lambda x, **kw: seen.append((x, sorted(kw)))], return_exceptions=True)
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


# ==== concurrent mode ========================================================

CONCURRENT = textwrap.dedent(
    """
    import asyncio, threading
    import common_utils.common_utils as cu

    last_done, finished, seen = threading.Event(), [], []

    def make(i):
        def step(x=None, **kwargs):
            seen.append((i, x, sorted(kwargs)))
            if i == 0:
                assert last_done.wait(30)
            if i == 49:
                last_done.set()
            finished.append(i)
            return (i, x)
        step.__name__ = "s%d" % i
        return step

    steps = [make(i) for i in range(50)]
    p = cu.Processor(steps, input_arg_type="fixed", use_aysnc_run=True, ready=True)
    assert p.process("x") == (49, "x")
    assert finished.index(49) < finished.index(0)
    assert sorted(seen) == [(i, "x", ["g_kwargs", "time_cost"]) for i in range(50)]

    run = {}
    q = cu.Processor(steps, input_arg_type="disable", use_aysnc_run=True, ready=True,
                     update_global_kwargs=True)
    last_done.clear()
    assert q.process("x", run) == (49, None)
    assert sorted(run["time_cost"]) == sorted("s%d()" % i for i in range(50))

    async def inside_a_loop():
        last_done.clear()
        return p.process("y")
    assert asyncio.run(inside_a_loop()) == (49, "y")

    def fail(x, **kwargs):
        raise LookupError("step")
    try:
        cu.Processor([steps[1], fail], input_arg_type="fixed", use_aysnc_run=True,
                     ready=True).process(1)
    except LookupError as err:
        assert str(err) == "step"
    else:
        raise AssertionError("no error")
    print("ok")
    """
)


@pytest.mark.skipif(not hasattr(cu, "run_in_threadpool"), reason="run_in_threadpool is not built")
def test_concurrent_run(run_python):
    done = run_python(CONCURRENT, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split()[-1] == "ok"


# ==== memory =================================================================


def _swallow(p):
    try:
        p.process(1)
    except ValueError:
        pass


def _failing(x, **kwargs):
    raise ValueError(x)


def _five_steps():
    return ready([inc, inc, dbl, [inc], cu.FunctionProcessor(dbl)])


LEAK_CASES = {  # name: (make the processor, one call, calls, quiet logger)
    "five steps": (_five_steps, lambda p: p.process(1), 100_000, False),
    "five steps, rebound logger": (_five_steps, lambda p: p.process(1), 100_000, True),
    "stop": (lambda: ready([inc, cu.StopRunProcessor(ready=True), dbl], return_exceptions=True),
             lambda p: p.process(1), 20_000, True),
    "failure": (lambda: ready([inc, _failing]), _swallow, 20_000, True),
    "build": (lambda: None,
              lambda p: cu.Processor([inc, [dbl], {"StopRunProcessor": {}}]).init(), 20_000, True),
}


@pytest.mark.parametrize("case", LEAK_CASES.values(), ids=LEAK_CASES.keys())
def test_runs_do_not_grow_memory(case, memory_growth, monkeypatch):
    make, call, count, quiet = case
    if quiet:  # records of these paths would pile up in the test's log capture
        monkeypatch.setattr(cu, "logger", QuietLogger())
    p = make()
    traced, rss = memory_growth(lambda: call(p), count)
    assert traced < 64 * 1024
    assert rss < 2 * 1024 * 1024
