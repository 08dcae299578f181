"""ConditionalProcessor, FunctionSelector and SimpleSelector."""
import copy
import types

import pytest

import common_utils.common_utils as cu


# The factory names the processor of a step after the function's __name__.
def positive(x, **kwargs): return x > 0
def double(x, **kwargs): return 2 * x
def negate(x, **kwargs): return -x
def is_valid(x, **kwargs): return x is not None


def ready(p):
    assert p.init() is True
    return p


def messages(records):
    return [(r.levelname, r.msg, r.args) for r in records]


# ==== construction and routing ===============================================
@pytest.mark.parametrize("kwargs, prefix", [({"name": "route"}, "route"), ({}, "ConditionalProcessor")])
def test_sub_pipelines_are_named_after_the_processor_and_get_its_arguments(kwargs, prefix, log_records):
    # The extra positionals fill the Processor parameters after the step: module, input_arg_type.
    c = cu.ConditionalProcessor(positive, [double, negate], None, cu, "fixed", model_args=1, **kwargs)
    assert c.as_dict() == {"ConditionalProcessor": {
        "name": prefix, "ready": False, "selector": [{"positive()": True}],
        "true_processors": [{"double()": True}, {"negate()": True}],
        "false_processors": [{"empty_func()": True}]}}
    subs = (c._selector, c._true_processors, c._false_processors)
    assert [p.name() for p in subs] == [prefix + "_selector", prefix + "_true", prefix + "_false"]
    assert all(p._input_arg_type is cu.ARG_TYPE.FIXED and p._model_args == 1 for p in subs)
    assert messages(log_records)[-1] == (
        "DEBUG", "Selector create over. `%s` selector=%s TRUE=%s FALSE=%s",
        ("ConditionalProcessor", prefix, c._true_processors, c._false_processors))


@pytest.mark.parametrize("args, message, log", [
    ((None, double, negate), "`selector` processor is empty",
     ("processor '%s' is empty. seletor=%s", ("c", None))),
    (([], double, None), "`selector` processor is empty",
     ("processor '%s' is empty. seletor=%s", ("c", []))),
    ((positive, None, ""), "processor 'c' Neither `true_processors` or `false_processors` are empty",
     ("processor '%s' is empty. Trues=%s Falses=%s", ("c", None, ""))),
])
def test_empty_step_descriptions_are_logged_then_raised(args, message, log, log_records):
    with pytest.raises(ValueError) as info:
        cu.ConditionalProcessor(*args, name="c")
    assert str(info.value) == message
    assert messages(log_records)[-1] == ("ERROR",) + log


def test_routes_the_same_input_to_the_chosen_branch_and_lets_its_errors_through(log_records):
    error = LookupError("branch")

    def fail(x, **kwargs):
        raise error
    c = ready(cu.ConditionalProcessor(positive, double, fail, name="c"))
    assert c(3) == 6
    assert ("DEBUG", "Selector '%s' process condition=%s ", ("c", True)) in messages(log_records)
    with pytest.raises(LookupError) as info:
        c.process(-3)
    assert info.value is error
    never = ready(cu.ConditionalProcessor(lambda x=None, **kw: False, double, None))
    marker = object()  # a missing branch passes the input through
    assert never.process(marker) is marker and never.process() is None
    for answer in (1, None):  # a selector answers a bool
        with pytest.raises(ValueError) as info:
            ready(cu.ConditionalProcessor(lambda x, **kw: answer, double, negate, name="c")).process(1)
        assert str(info.value) == "Selector 'c' return is not bool. ret=%s" % (answer,)


def test_init_goes_on_after_a_failure_and_retries_only_what_failed(log_records):
    inits = []

    class Flaky(cu.ProcessorBase):  # fails its first init()
        def init(self):
            inits.append(self)
            return len(inits) > 1 and super().init()

        def process(self, x=None, **kwargs):
            return ("flaky", x)
    c = cu.ConditionalProcessor(positive, Flaky, double, name="c")
    assert c.init() is False and not c.is_ready()
    assert c._false_processors.is_ready() and c._selector.is_ready()
    assert ("ERROR", "processor %s init failed", ("c_true",)) in messages(log_records)
    assert messages(log_records)[-1] == ("DEBUG", "Selector '%s' init over. flag=%s ", ("c", False))
    assert c.init() is True and len(inits) == 2 and c.is_ready() is True
    assert c.process(5) == ("flaky", 5)


@pytest.mark.parametrize("value, branch", [([], "b"), (0, "b"), ("", "b"), ([0], "a"), ("x", "a")])
def test_simple_selector_branches_on_truth(value, branch):
    s = ready(cu.SimpleSelector(selector=negate, true_processors=lambda x, **kw: "a",
                                false_processors=lambda x, **kw: "b"))
    assert s.process(value) == branch and s._selector._processors[0].name() == "simple_selector()"


# ==== templates ==============================================================
def test_function_selector_template_is_completed_by_the_factory():
    template, unbound = cu.FunctionSelector(is_valid), cu.FunctionSelector()
    assert template._name == "Condition_is_valid()"
    assert not vars(unbound) and unbound(is_valid) is unbound and vars(unbound) == vars(template)
    steps = types.ModuleType("steps")
    steps.is_valid = template
    branches = [{"true_processors": double, "false_processors": negate},
                {"true_processors": negate, "false_processors": double, "name": "v"}]
    first, second = [ready(cu.Processor([{"is_valid": b}], module=steps)) for b in branches]
    done = first._processors[0]
    assert type(done) is cu.FunctionSelector and done is not template
    assert (done.name(), done._selector.name()) == ("Condition_is_valid()", "Condition_is_valid()_selector")
    assert first.process(4) == 8 and second.process(4) == -4 and second._processors[0].name() == "v"
    assert sorted(vars(template)) == ["_name", "_user_function"]  # copies: test_pickle


def test_function_selector_rejects_non_callables_and_positional_branches():
    with pytest.raises(ValueError, match="^function '42' is not callable$"):
        cu.FunctionSelector(42)
    with pytest.raises(TypeError):
        copy.deepcopy(cu.FunctionSelector(is_valid)).init_function_object(double, false_processors=negate)
    with pytest.raises(TypeError):
        cu.FunctionSelector(is_valid).init_function_object(selector=double, true_processors=negate)
