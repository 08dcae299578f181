"""LoopProcessor, FunctionLooper and SimpleLooper: sub-pipelines, the loop over
the looper's output, the lazy generator, the concurrent path, templates,
overrides, log lines and reference hygiene."""
import collections.abc
import copy
import textwrap
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


needs_threadpool = pytest.mark.skipif(not hasattr(cu, "run_in_threadpool"),
                                      reason="run_in_threadpool is not built in")


# ==== construction ===========================================================


def test_sub_pipelines_flags_and_description():
    lp = cu.LoopProcessor(rows, [double, double], False, "yes", name="batch", model_args=3)
    assert (lp._looper.name(), lp._processors.name()) == ("batch_looper", "batch_processors")
    assert (lp._merge_output, lp._use_aysnc_run, lp._processors._model_args) == (False, "yes", 3)
    assert list(lp.as_dict()["LoopProcessor"].items()) == [
        ("name", "batch"), ("ready", False), ("merge_output", False), ("use_aysnc_run", "yes"),
        ("looper", [{"rows()": True}]), ("processors", [{"double()": True}, {"double()": True}])]


@pytest.mark.parametrize(
    "looper, processors, message, log",
    [
        (None, double, "`looper` processor is empty", "processor '%s' looper is empty. looper=%s"),
        (rows, [], "`processors` is empty", "processor '%s' is empty. processors=%s"),
    ],
)
def test_empty_step_descriptions_are_logged_then_raised(looper, processors, message, log, log_records):
    with pytest.raises(ValueError) as info:
        cu.LoopProcessor(looper, processors, name="L")
    assert str(info.value) == message
    assert (log_records[-1].levelname, log_records[-1].msg) == ("ERROR", log)


# ==== the loop ===============================================================


def test_runs_the_body_per_item_with_the_extra_arguments(log_records):
    seen = []

    def body(x, *args, **kwargs):
        seen.append((x, args, kwargs.get("k")))
        return x * 10

    lp = ready(cu.LoopProcessor(rows, body, name="L"))
    assert lp.process([1, "a"], k=2) == [10, "aaaaaaaaaa"]
    assert seen == [(1, (), 2), ("a", (), 2)]
    assert loop_lines(log_records)[-3:] == [item_line("L", 0, 1), item_line("L", 1, "a"),
                                            over_line("L", 2)]


@pytest.mark.parametrize("data, expected", [([], []), ("ab", ["aa", "bb"]), ({"k": 1}, ["kk"]), (range(3), [0, 2, 4])])
def test_any_iterable_is_looped_over(data, expected, log_records):
    assert ready(cu.LoopProcessor(rows, double, name="L")).process(data) == expected
    assert loop_lines(log_records)[-1] == over_line("L", len(expected))


@pytest.mark.parametrize("data", [5, None])
def test_looper_output_must_be_iterable(data):
    lp = ready(cu.LoopProcessor(rows, double, name="L"))
    with pytest.raises(ValueError) as info:
        lp.process(data)
    assert str(info.value) == "Looper 'L' return is not Iterable. ret=%s" % (data,)


def test_process_before_init_and_errors_propagate_unchanged():
    error, done = LookupError("item"), []

    def body(x, **kwargs):
        if x == 2:
            raise error
        done.append(x)

    lp = cu.LoopProcessor(rows, body, name="L")
    with pytest.raises(ValueError, match="^Looper 'L' is not ready$"):
        lp.process([1])
    ready(lp)
    with pytest.raises(LookupError) as info:
        lp.process([1, 2, 3])
    assert info.value is error and done == [1]


def test_unmerged_output_is_a_lazy_generator(log_records):
    lp = ready(cu.LoopProcessor(rows, double, merge_output=False, name="L"))
    gen = lp.process([1, 2])
    assert isinstance(gen, collections.abc.Generator) and loop_lines(log_records) == []
    assert next(gen) == 2 and loop_lines(log_records) == [item_line("L", 0, 1)]
    assert gen.send("ignored") == 4 and len(loop_lines(log_records)) == 2
    assert list(gen) == [] and loop_lines(log_records)[-1] == over_line("L", 2)

    early = lp.process([1, 2])
    assert next(early) == 2
    early.close()
    assert list(early) == [] and loop_lines(log_records)[-1] == item_line("L", 0, 1)
    assert list(lp.process([])) == [] and loop_lines(log_records)[-1] == over_line("L", 0)


def test_generator_protocol_edges():
    lp = ready(cu.LoopProcessor(rows, double, merge_output=False))
    with pytest.raises(TypeError):
        lp.process([1]).send(1)
    thrown = lp.process([1, 2])
    with pytest.raises(KeyError):
        thrown.throw(KeyError("x"))
    assert list(thrown) == []

    def reenter(x, **kwargs):
        return next(gen)

    gen = ready(cu.LoopProcessor(rows, reenter, merge_output=False)).process([1])
    with pytest.raises(ValueError, match="generator already executing"):
        next(gen)


def test_simple_looper_iterates_its_input_lazily():
    s = ready(cu.SimpleLooper(looper=rows, processors=double))
    assert s.process([1, 2, 3]) == [2, 4, 6]
    assert s._looper._processors[0].name() == "simple_looper()"
    lazy = ready(cu.SimpleLooper(processors=double, merge_output=False)).process(5)
    with pytest.raises(TypeError):
        next(lazy)


# ==== templates, pipelines and overrides =====================================


def test_function_looper_template_in_a_pipeline():
    template = cu.FunctionLooper()(rows)
    assert template._name == "Loop_rows()" and cu.FunctionLooper(rows)._name == "Loop_rows()"
    steps = types.ModuleType("steps")
    steps.rows = template
    first = ready(cu.Processor([{"rows": {"processors": double}}], module=steps))
    named = ready(cu.Processor([{"rows": {"processors": [double, double], "name": "n"}}], module=steps))
    assert first.process([1, 2]) == [2, 4] and named.process([1]) == [4]
    assert (first._processors[0].name(), named._processors[0].name()) == ("Loop_rows()", "n")
    assert sorted(vars(template)) == ["_name", "_user_function"]
    assert copy.deepcopy(first._processors[0]).process([3]) == [6]
    assert copy.deepcopy(ready(cu.SimpleLooper(processors=double))).process("a") == ["aa"]
    with pytest.raises(ValueError, match="^function '42' is not callable$"):
        cu.FunctionLooper(42)


def test_loop_as_a_pipeline_step_sees_the_run_keywords():
    def body(x, **kwargs):
        return (x, sorted(kwargs))

    p = ready(cu.Processor([lambda x, **kw: range(x), {"SimpleLooper": {"processors": body}}]))
    assert p.process(2) == [(0, ["g_kwargs", "time_cost"]), (1, ["g_kwargs", "time_cost"])]


def test_overrides_are_called_instead_of_the_fast_paths():
    calls = []

    class Looping(cu.LoopProcessor):
        def _loop_process(self, looper_data, *args, **kwargs):
            calls.append("loop")
            return iter(["own"])

        def init(self):
            calls.append("init")
            return super().init()

    class Body(cu.Processor):
        def process(self, *args, **kwargs):
            calls.append("body")
            return "body"

    lp = Looping(rows, double)
    assert ready(cu.Processor(lp)).process([1]) == ["own"] and calls == ["init", "loop"]
    plain = ready(cu.LoopProcessor(rows, double, merge_output=False))
    plain._processors = Body(double)
    assert list(plain.process([1])) == ["body"]


# ==== concurrent path ========================================================


CONCURRENT = textwrap.dedent(
    """
    import asyncio, threading
    import common_utils.common_utils as cu

    release = threading.Event()

    def body(x, **kwargs):
        if x == 0:
            assert release.wait(30)
        if x == 999:
            release.set()
        return 2 * x

    for merge in (True, False):
        lp = cu.LoopProcessor(lambda x, **kw: x, body, merge, True, ready=True)
        release.clear()
        assert lp.process(list(range(1000))) == [2 * i for i in range(1000)]

    async def inside_a_loop():
        release.clear()
        return lp.process(list(range(1000)))
    assert asyncio.run(inside_a_loop()) == [2 * i for i in range(1000)]
    print("ok")
    """
)


@needs_threadpool
def test_concurrent_loop_keeps_item_order(run_python):
    done = run_python(CONCURRENT, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split()[-1] == "ok"


# ==== references and memory ==================================================


def test_repeated_runs_do_not_grow_memory(memory_growth):
    lp = ready(cu.LoopProcessor(rows, double))
    lazy = ready(cu.SimpleLooper(processors=double, merge_output=False))
    traced, rss = memory_growth(lambda: (lp.process([1, 2], k=1), list(lazy.process("ab"))), 100_000)
    assert traced < 64 * 1024
    assert rss < 2 * 1024 * 1024
