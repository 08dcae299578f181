"""LoopProcessor, FunctionLooper and SimpleLooper: sub-pipelines, the loop over
the looper's output, the lazy generator, templates, overrides, log lines and
reference hygiene; concurrent runs: tests/runtime/test_concurrent.py."""
import collections.abc
import types

import pytest

import common_utils.common_utils as cu


def rows(x, **kwargs):
    return x


def double(x, **kwargs):
    return 2 * x


def ready(p):
    assert p.init() is True
    return p


def loop_lines(records):
    return [(r.msg, r.args) for r in records if r.msg.startswith("Looper") and "init over" not in r.msg]


def item_line(name, i, item):
    return ("Looper '%s[%s]' process, one_data=%s", (name, i, type(item)))


def over_line(name, count):
    return ("Looper '%s' process over, looper_count=%s", (name, count))


# ==== construction ===========================================================

def test_sub_pipelines_flags_and_description():
    lp = cu.LoopProcessor(rows, [double, double], False, "yes", name="batch", model_args=3)
    assert (lp._looper.name(), lp._processors.name()) == ("batch_looper", "batch_processors")
    assert (lp._merge_output, lp._use_aysnc_run, lp._processors._model_args) == (False, "yes", 3)
    assert list(lp.as_dict()["LoopProcessor"].items()) == [
        ("name", "batch"), ("ready", False), ("merge_output", False), ("use_aysnc_run", "yes"),
        ("looper", [{"rows()": True}]), ("processors", [{"double()": True}, {"double()": True}])]


@pytest.mark.parametrize("looper, processors, message, log", [
    (None, double, "`looper` processor is empty", "processor '%s' looper is empty. looper=%s"),
    (rows, [], "`processors` is empty", "processor '%s' is empty. processors=%s")])
def test_empty_step_descriptions_are_logged_then_raised(looper, processors, message, log, log_records):
    with pytest.raises(ValueError) as info:
        cu.LoopProcessor(looper, processors, name="L")
    assert str(info.value) == message
    assert (log_records[-1].levelname, log_records[-1].msg) == ("ERROR", log)


# ==== the loop ===============================================================

def test_runs_the_body_per_item_of_any_iterable(log_records):
    seen, error = [], LookupError("item")

    def body(x, *args, **kwargs):
        if x == "stop":
            raise error
        if x == "rename":  # the new name shows from the next item's line on
            lp.name = lambda: "N"
        seen.append((x, args, kwargs.get("k")))
        return x * 10

    lp = ready(cu.LoopProcessor(rows, body, name="L"))  # not ready: test_parity
    assert lp.process([1, "a"], k=2) == [10, "aaaaaaaaaa"] and seen == [(1, (), 2), ("a", (), 2)]
    assert loop_lines(log_records)[-3:] == [item_line("L", 0, 1), item_line("L", 1, "a"), over_line("L", 2)]
    for data, expected in [([], []), ({"k": 1}, ["k" * 10]), (range(3), [0, 10, 20])]:
        assert lp.process(data) == expected
        assert loop_lines(log_records)[-1] == over_line("L", len(expected))
    with pytest.raises(ValueError, match="^Looper 'L' return is not Iterable. ret=5$"):
        lp.process(5)
    with pytest.raises(LookupError) as info:  # unchanged, and no later item runs
        lp.process([1, "stop", 3])
    assert info.value is error and seen[-1] == (1, (), None)
    assert lp.process(["rename", 2]) == ["rename" * 10, 20]
    assert loop_lines(log_records)[-3:] == [
        item_line("L", 0, "rename"), item_line("N", 1, 2), over_line("N", 2)]


def test_unmerged_output_is_a_lazy_generator_and_simple_loopers(log_records):
    lp = ready(cu.LoopProcessor(rows, double, merge_output=False, name="L"))
    gen = lp.process([1, 2])
    assert isinstance(gen, collections.abc.Generator) and loop_lines(log_records) == []
    assert next(gen) == 2 and loop_lines(log_records) == [item_line("L", 0, 1)]
    assert gen.send("ignored") == 4 and len(loop_lines(log_records)) == 2
    assert list(gen) == [] and loop_lines(log_records)[-1] == over_line("L", 2)

    early = lp.process([1, 2])
    assert next(early) == 2 and early.close() is None
    assert list(early) == [] and loop_lines(log_records)[-1] == item_line("L", 0, 1)
    assert list(lp.process([])) == [] and loop_lines(log_records)[-1] == over_line("L", 0)
    with pytest.raises(TypeError):  # the protocol's edges: a value sent first, a throw, reentry
        lp.process([1]).send(1)
    thrown = lp.process([1, 2])
    with pytest.raises(KeyError):
        thrown.throw(KeyError("x"))
    assert list(thrown) == []
    gen = ready(cu.LoopProcessor(rows, lambda x, **kwargs: next(gen), merge_output=False)).process([1])
    with pytest.raises(ValueError, match="generator already executing"):
        next(gen)
    simple = ready(cu.SimpleLooper(looper=rows, processors=double))  # its looper: its input, lazily
    assert simple.process([1, 2, 3]) == [2, 4, 6]
    assert simple._looper._processors[0].name() == "simple_looper()"
    with pytest.raises(TypeError):
        next(ready(cu.SimpleLooper(processors=double, merge_output=False)).process(5))


# ==== templates, pipelines and overrides =====================================

def test_loops_as_pipeline_steps():  # the rules templates share: test_conditional
    steps = types.ModuleType("steps")
    steps.rows = cu.FunctionLooper(rows)
    p = ready(cu.Processor([{"rows": {"processors": [double, double]}}], module=steps))
    assert p.process([1, 2]) == [4, 8] and p._processors[0].name() == "Loop_rows()"
    body = {"SimpleLooper": {"processors": lambda x, **kw: (x, sorted(kw))}}  # it sees the run's keywords
    p = ready(cu.Processor([lambda x, **kw: range(x), body]))
    assert p.process(2) == [(0, ["g_kwargs", "time_cost"]), (1, ["g_kwargs", "time_cost"])]
    calls = []  # a subclass's own loop and init are called
    looping = type("Looping", (cu.LoopProcessor,), {
        "_loop_process": lambda self, looper_data, *a, **kw: calls.append("loop") or iter(["own"]),
        "init": lambda self: calls.append("init") or cu.LoopProcessor.init(self)})
    assert ready(cu.Processor(looping(rows, double))).process([1]) == ["own"] and calls == ["init", "loop"]
