"""ConditionalProcessor, FunctionSelector and SimpleSelector: branch building and
naming, routing, readiness, templates completed by the factory, overrides,
log lines and reference hygiene."""
import copy
import types

import pytest

import common_utils.common_utils as cu


def positive(x, **kwargs):
    return x > 0


def double(x, **kwargs):
    return 2 * x


def negate(x, **kwargs):
    return -x


def is_valid(x, **kwargs):
    return x is not None


def ready(p):
    assert p.init() is True
    return p


def messages(records):
    return [(r.levelname, r.msg, r.args) for r in records]


class Flaky(cu.ProcessorBase):
    """Fails its first init(); counts every init() and process()."""

    inits = 0

    def init(self):
        Flaky.inits += 1
        if Flaky.inits == 1:
            return False
        return super().init()

    def process(self, x=None, **kwargs):
        return ("flaky", x)


# ==== construction ===========================================================


@pytest.mark.parametrize("kwargs, prefix", [({"name": "route"}, "route"), ({}, "ConditionalProcessor")])
def test_sub_pipelines_are_named_after_the_processor(kwargs, prefix):
    c = cu.ConditionalProcessor(positive, double, None, **kwargs)
    assert c.name() == prefix
    assert [p.name() for p in (c._selector, c._true_processors, c._false_processors)] == [
        prefix + "_selector", prefix + "_true", prefix + "_false"]
    assert c._false_processors._processors[0].name() == "empty_func()"
    assert c.is_ready() is False


def test_keywords_reach_every_sub_pipeline_and_args_fill_processor_parameters(log_records):
    c = cu.ConditionalProcessor(positive, double, negate, cu, "fixed", model_args=1, name="c")
    for p in (c._selector, c._true_processors, c._false_processors):
        assert p._input_arg_type is cu.ARG_TYPE.FIXED and p._model_args == 1
    level, msg, args = messages(log_records)[-1]
    assert (level, msg) == ("DEBUG", "Selector create over. `%s` selector=%s TRUE=%s FALSE=%s")
    assert args == ("ConditionalProcessor", "c", c._true_processors, c._false_processors)


@pytest.mark.parametrize(
    "args, message, log",
    [
        ((None, double, negate), "`selector` processor is empty",
         ("processor '%s' is empty. seletor=%s", ("c", None))),
        (([], double, None), "`selector` processor is empty",
         ("processor '%s' is empty. seletor=%s", ("c", []))),
        ((positive, None, ""), "processor 'c' Neither `true_processors` or `false_processors` are empty",
         ("processor '%s' is empty. Trues=%s Falses=%s", ("c", None, ""))),
    ],
)
def test_empty_step_descriptions_are_logged_then_raised(args, message, log, log_records):
    with pytest.raises(ValueError) as info:
        cu.ConditionalProcessor(*args, name="c")
    assert str(info.value) == message
    assert messages(log_records)[-1] == ("ERROR",) + log


def test_routes_the_same_input_to_the_chosen_branch(log_records):
    c = ready(cu.ConditionalProcessor(positive, double, negate, name="c"))
    assert (c.process(3), c(-3)) == (6, 3)
    assert ("DEBUG", "Selector '%s' process condition=%s ", ("c", True)) in messages(log_records)
    never = ready(cu.ConditionalProcessor(lambda x=None, **kw: False, double, None))
    marker = object()  # a missing branch passes the input through
    assert never.process(marker) is marker and never.process() is None


@pytest.mark.parametrize("answer", [1, 0, None, [1]])
def test_selector_must_answer_a_bool(answer):
    c = ready(cu.ConditionalProcessor(lambda x, **kw: answer, double, negate, name="c"))
    with pytest.raises(ValueError) as info:
        c.process(1)
    assert str(info.value) == "Selector 'c' return is not bool. ret=%s" % (answer,)


def test_process_before_init_and_errors_propagate_unchanged():
    error = LookupError("branch")

    def fail(x, **kwargs):
        raise error

    c = cu.ConditionalProcessor(positive, fail, None, name="c")
    with pytest.raises(ValueError, match="^Selector 'c' is not ready$"):
        c.process(1)
    ready(c)
    with pytest.raises(LookupError) as info:
        c.process(1)
    assert info.value is error


def test_init_goes_on_after_a_failure_and_retries_only_what_failed(log_records):
    Flaky.inits = 0
    c = cu.ConditionalProcessor(positive, Flaky, double, name="c")
    assert c.init() is False and not c.is_ready()
    assert c._false_processors.is_ready() and c._selector.is_ready()
    assert ("ERROR", "processor %s init failed", ("c_true",)) in messages(log_records)
    assert messages(log_records)[-1] == ("DEBUG", "Selector '%s' init over. flag=%s ", ("c", False))
    assert c.init() is True and Flaky.inits == 2 and c.is_ready() is True
    assert c.process(5) == ("flaky", 5)


def test_as_dict_lists_the_processors_of_each_sub_pipeline():
    c = cu.ConditionalProcessor(positive, [double, negate], None, name="c")
    assert c.as_dict() == {"ConditionalProcessor": {
        "name": "c", "ready": False, "selector": [{"positive()": True}],
        "true_processors": [{"double()": True}, {"negate()": True}],
        "false_processors": [{"empty_func()": True}]}}
    assert repr(c).startswith('<ConditionalProcessor {"name": "c", "ready": false, "selector"')


@pytest.mark.parametrize("value, branch", [([], "b"), (0, "b"), ("", "b"), ([0], "a"), ("x", "a")])
def test_simple_selector_branches_on_truth(value, branch):
    s = ready(cu.SimpleSelector(selector=negate, true_processors=lambda x, **kw: "a",
                                false_processors=lambda x, **kw: "b"))
    assert s.process(value) == branch
    assert s._selector._processors[0].name() == "simple_selector()"


# ==== templates ==============================================================


def test_function_selector_template_is_completed_by_the_factory():
    template = cu.FunctionSelector(is_valid)
    assert template._name == "Condition_is_valid()"
    unbound = cu.FunctionSelector()
    assert not vars(unbound) and unbound(is_valid) is unbound and vars(unbound) == vars(template)
    steps = types.ModuleType("steps")
    steps.is_valid = template
    description = {"is_valid": {"true_processors": double, "false_processors": negate}}
    first = ready(cu.Processor([description], module=steps))
    second = ready(cu.Processor([{"is_valid": {"true_processors": negate,
                                               "false_processors": double, "name": "v"}}],
                                module=steps))
    done = first._processors[0]
    assert type(done) is cu.FunctionSelector and done is not template
    assert done.name() == "Condition_is_valid()"
    assert done._selector.name() == "Condition_is_valid()_selector"
    assert first.process(4) == 8
    assert second.process(4) == -4 and second._processors[0].name() == "v"
    assert sorted(vars(template)) == ["_name", "_user_function"]
    assert copy.deepcopy(done).process(2) == 4
    simple = copy.deepcopy(ready(cu.SimpleSelector(true_processors=double, false_processors=None)))
    assert (simple.process(2), simple.process(0)) == (4, 0)


def test_function_selector_rejects_non_callables_and_positional_branches():
    with pytest.raises(ValueError) as info:
        cu.FunctionSelector(42)
    assert str(info.value) == "function '42' is not callable"
    with pytest.raises(TypeError):
        copy.deepcopy(cu.FunctionSelector(is_valid)).init_function_object(double, false_processors=negate)
    with pytest.raises(TypeError):
        cu.FunctionSelector(is_valid).init_function_object(selector=double, true_processors=negate)


# ==== overrides ==============================================================


def test_overrides_of_the_processor_and_its_sub_pipelines_are_called():
    calls = []

    class Named(cu.ConditionalProcessor):
        def name(self):
            calls.append("name")
            return "named"

        def as_dict(self):
            return {"Named": {"n": 1}}

    class Branch(cu.Processor):
        def process(self, *args, **kwargs):
            calls.append("branch")
            return "overridden"

    c = ready(Named(positive, double, None))
    c._true_processors = Branch(double)
    c._selector.process = lambda *a, **kw: calls.append("selector") or True
    assert c.process(1) == "overridden"
    assert calls[-3:] == ["selector", "name", "branch"] and c._selector.name() == "named_selector"
    assert repr(c) == '<Named {"n": 1}>'


# ==== references and memory ==================================================


def test_repeated_runs_do_not_grow_memory(memory_growth):
    c = ready(cu.ConditionalProcessor(positive, double, None))
    s = ready(cu.SimpleSelector(true_processors=double, false_processors=negate))
    traced, rss = memory_growth(lambda: (c.process(1, k=2), c.process(-1), s.process(0)), 100_000)
    assert traced < 64 * 1024
    assert rss < 2 * 1024 * 1024
