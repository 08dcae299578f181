"""Pipeline fast paths against the generic path: an exact class runs its guarded C
steps, a trivial subclass the attribute route; every outcome must be the same after
an override, a patch or a rebinding made in the middle of a run.  (LRUCache's tests
run each case on the class and on a subclass.)"""
import re
import types

import pytest

import common_utils.common_utils as cu


def outcome(run):
    try:
        return ("returned", run())
    except cu.StopRunError as stop:
        return ("stopped", str(stop), stop.out_data)
    except Exception as error:
        return ("raised", type(error), str(error))


def logged(records):
    timeless = [(r.levelname, re.sub(r"time=[0-9.]+s", "time=T", r.getMessage())) for r in records]
    records.clear()
    return timeless


# A first step applies one change at its first call; from the next call on the
# change must show, on the fast path (exact classes) as on the generic one
# (trivial subclasses), in pipelines, loop items and branches alike.
SUB = {cls: type("Sub" + cls.__name__, (cls,), {})
       for cls in (cu.FunctionProcessor, cu.SimpleLooper, cu.ConditionalProcessor)}


class Passing(cu.Processor):  # its steps go through _one_process by attribute
    def _one_process(self, *args, **kwargs):
        return super()._one_process(*args, **kwargs)


def inc(x, **kwargs):
    return x + 1


def runner(self, p, in_data, out_data, g_kwargs, one_process=cu.Processor._one_process):
    return ("ran", one_process(self, p, in_data, out_data, g_kwargs))


def intercept(self, name):  # a look-up of its own: no shortcut may pass it by
    if name == "process":
        return lambda *args, **kwargs: "intercepted"
    return object.__getattribute__(self, name)


def recording_logger(calls):
    def method(level):
        return lambda fmt, *args: calls.append((level, re.sub(r"[0-9.]+s$", "T", fmt % args)))
    return types.SimpleNamespace(**{level: method(level) for level in ("debug", "info", "error")})


CHANGES = {  # c: named (the owner, or the nested pipeline), body (holds the step), step, mp, calls
    "none": lambda c: None,
    "step process on the instance": lambda c: setattr(c.step, "process", lambda x, **kw: -x),
    "step process on its class": lambda c: c.mp.setattr(type(c.step), "process", lambda s, x, **kw: -x),
    "step look-up on its class": lambda c: c.mp.setattr(type(c.step), "__getattribute__", intercept),
    "step name on the instance": lambda c: setattr(c.step, "name", lambda: "renamed"),
    "name on the base class": lambda c: c.mp.setattr(cu.ProcessorBase, "name", lambda s: "base"),
    "is_ready on the base class": lambda c: c.mp.setattr(cu.ProcessorBase, "is_ready", lambda s: 0),
    "pipeline process on the instance": lambda c: setattr(c.body, "process", lambda *a, **kw: "body"),
    "pipeline process on its class": lambda c: c.mp.setattr(type(c.body), "process", lambda *a, **kw: "body"),
    "step runner on the instance": lambda c: setattr(c.body, "_one_process", types.MethodType(runner, c.body)),
    "step runner on the class": lambda c: c.mp.setattr(type(c.body), "_one_process", runner),
    "processor name on the instance": lambda c: setattr(c.named, "name", lambda: "own"),
    "module logger": lambda c: c.mp.setattr(cu, "logger", recording_logger(c.calls)),
    "module TIME_KEY": lambda c: c.mp.setattr(cu, "TIME_KEY", "elapsed"),
}


def run_changed(kind, generic, change, mp, records):
    seen, calls, route = [], [], SUB.__getitem__ if generic else (lambda cls: cls)
    step_class = route(cu.FunctionProcessor)

    def changer(x=None, **kwargs):
        if not seen:
            CHANGES[change](types.SimpleNamespace(named=named, body=body, step=step, mp=mp, calls=calls))
        seen.append((x, sorted(kwargs)))
        return x
    step = step_class(inc)
    steps = [step_class(changer), step]
    with mp.context() as building:
        if generic:
            building.setattr(cu, "Processor", Passing)
        if kind == "pipeline":  # nested, so that its name shows
            named = body = cu.Processor(steps, ready=True, name="b")
            owner = cu.Processor([body], ready=True, name="p")
        elif kind == "loop":
            named = owner = route(cu.SimpleLooper)(processors=steps, ready=True, name="p")
            body = owner._processors
        else:
            named = owner = route(cu.ConditionalProcessor)(step_class(lambda x, **kw: x > 0), steps, None,
                                                           ready=True, name="p")
            body = owner._true_processors
    records.clear()
    result = [outcome(lambda: owner.process(x)) for x in ([[1, 2, 3]] if kind == "loop" else [1, 2, 3])]
    mp.undo()
    return result, seen, calls, logged(records)


@pytest.mark.parametrize("change", CHANGES)
@pytest.mark.parametrize("kind", ["pipeline", "loop", "branch"])
def test_changes_made_during_a_run_show_on_both_paths(kind, change, monkeypatch, log_records):
    exact = run_changed(kind, False, change, monkeypatch, log_records)
    assert exact == run_changed(kind, True, change, monkeypatch, log_records)
    if change != "none":
        assert exact != run_changed(kind, False, "none", monkeypatch, log_records)


@pytest.mark.parametrize("cls, specs, text", [
    ("Processor", [inc], "processor 'a' is not ready"),
    ("ConditionalProcessor", [inc, inc, None], "Selector 'a' is not ready"),
    ("LoopProcessor", [inc, inc], "Looper 'a' is not ready"),
])
def test_not_ready_message_takes_a_rebound_name_as_its_arguments(cls, specs, text):
    p = getattr(cu, cls)(*specs)
    p.name = lambda: ("a",)
    with pytest.raises(ValueError, match=f"^{text}$"):
        p.process(1)
    p.name = lambda: ("a", "b")
    with pytest.raises(TypeError, match="not all arguments converted"):
        p.process(1)
