"""Pickling and copying of the processors: every class of the module and
Python subclasses travel by value, the functions they wrap by reference, also
when a template bound under the function's own name wraps it."""
import copy
import pickle

import pytest

import common_utils.common_utils as cu


def completed_selector(b):
    return cu.Processor([{"is_even": {"true_processors": b.inc, "false_processors": b.double}}],
                        module=b)


# name: (processor, input for process() or None when it cannot run)
CASES = {
    "ProcessorBase": lambda b: (cu.ProcessorBase(name="base", model_args={"k": 1}), None),
    "FunctionProcessor": lambda b: (cu.FunctionProcessor(b.double), 4),
    "Processor": lambda b: (cu.Processor([b.double, [b.inc, b.double]]), 4),
    "StopRunProcessor": lambda b: (cu.StopRunProcessor(name="stop"), None),
    "ConditionalProcessor": lambda b: (cu.ConditionalProcessor(b.positive, b.inc, None), -4),
    "FunctionSelector": lambda b: (b.is_even, None),
    "FunctionSelector completed": lambda b: (completed_selector(b), 3),
    "SimpleSelector": lambda b: (cu.SimpleSelector(true_processors=b.inc, false_processors=b.double), 0),
    "LoopProcessor": lambda b: (cu.LoopProcessor(b.upto, b.double, use_aysnc_run=True), 3),
    "FunctionLooper": lambda b: (b.digits, None),
    "FunctionLooper completed": lambda b: (cu.Processor([{"digits": {"processors": b.inc}}], module=b), 907),
    "SimpleLooper": lambda b: (cu.SimpleLooper(processors=b.double, batch_size=3), [1, 2]),
    "Processor subclass": lambda b: (b.Scaled([b.inc], factor=5), 1),
}
# Every protocol from 2 up takes the same reduction path.
CLONES = {"pickle": lambda p: pickle.loads(pickle.dumps(p, pickle.HIGHEST_PROTOCOL)),
          "copy": copy.copy, "deepcopy": copy.deepcopy}


@pytest.mark.parametrize("clone", CLONES.values(), ids=CLONES.keys())
@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_round_trips_keep_state_and_behaviour(bodies, case, clone):
    p, x = case(bodies)
    q = clone(p)
    assert type(q) is type(p) and q is not p and vars(q).keys() == vars(p).keys()
    if isinstance(p, (cu.FunctionSelector, cu.FunctionLooper)) and not hasattr(p, "_ready"):
        # a template: its function is the module's very object, found by reference
        assert q._user_function is p._user_function and q._name == p._name
        return
    assert repr(q) == repr(p)
    if x is not None:
        assert q.init() is True and p.init() is True
        assert q.process(x) == p.process(x)


def test_an_unreachable_function_is_refused_as_pickle_refuses_it(bodies):
    def local(x, **kwargs):
        return x

    template = cu.FunctionSelector(local)
    with pytest.raises((pickle.PicklingError, AttributeError), match="local"):
        pickle.dumps(template)
    assert copy.deepcopy(template)._user_function is local


def test_no_leak_in_round_trips_and_batches(bodies, memory_growth):
    completed = completed_selector(bodies)
    completed.init()
    payload = pickle.dumps((completed, (), {"time_cost": {}}))
    items = list(range(5))

    def once():
        copy.copy(bodies.is_even)
        pickle.loads(pickle.dumps(completed))
        cu.LoopProcessor._run_loop_batch(payload, items)

    traced, _ = memory_growth(once, 3000)
    assert traced < 64 * 1024
