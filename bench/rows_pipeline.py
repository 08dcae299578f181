"""Rows for the pipeline engine: processors against the plain calls they wrap."""
import functools

from common_utils import common_utils as cu


def plain(x, **kwargs):
    return x


SHARED = {"time_cost": {}}
PROCESSOR = cu.FunctionProcessor(plain)

def _step(i):
    def step(x, **kwargs):
        return x
    step.__name__ = "step{}".format(i)
    return step


STEPS = [_step(i) for i in range(10)]
PIPELINE = cu.Processor(STEPS)
PIPELINE.init()
PIPELINE_KW = {"time_cost": {}}


def plain_pipeline(x):
    """The plain loop the pipeline is measured against: same steps, same keywords."""
    out = x
    g = PIPELINE_KW
    for f in STEPS:
        out = f(out, g_kwargs=g, **g)
    return out


ITEMS = list(range(1000))
LOOP = cu.SimpleLooper(processors=plain)
LOOP.init()


def plain_loop(items):
    g = PIPELINE_KW
    return [plain(x, g_kwargs=g, **g) for x in items]


def _is_big(x, **kwargs):
    return x > 10


BRANCH = cu.ConditionalProcessor(_is_big, plain, plain)
BRANCH.init()


def plain_branch(x):
    g = PIPELINE_KW
    return plain(x, g_kwargs=g, **g) if _is_big(x, g_kwargs=g, **g) else plain(x, g_kwargs=g, **g)


# (row name, candidate, baseline): add a row by appending a tuple.
ROWS = [
    (
        "FunctionProcessor.process(x) vs f(x)",
        functools.partial(PROCESSOR.process, 1),
        functools.partial(plain, 1),
    ),
    (
        "FunctionProcessor.process(x, g_kwargs=d, **d) vs f(...)",
        functools.partial(PROCESSOR.process, 1, g_kwargs=SHARED, **SHARED),
        functools.partial(plain, 1, g_kwargs=SHARED, **SHARED),
    ),
    (
        "Processor.process, 10 steps, logger at INFO vs loop",
        functools.partial(PIPELINE.process, 1),
        functools.partial(plain_pipeline, 1),
    ),
    (
        "LoopProcessor.process, 1,000 items vs list comprehension",
        functools.partial(LOOP.process, ITEMS),
        functools.partial(plain_loop, ITEMS),
    ),
    (
        "ConditionalProcessor.process vs if/else of the calls",
        functools.partial(BRANCH.process, 42),
        functools.partial(plain_branch, 42),
    ),
]
