"""A small data-processing job built on common_utils.

Logs to the console and to a file in the temporary directory, then runs a few processor pipelines over
a batch of records.
"""
import os
import tempfile

from common_utils import common_utils as cu

log_file = os.path.join(tempfile.gettempdir(), "common_utils_example_job.log")
logger = cu.get_file_logger("example_job", log_file)


def load(path, **kwargs):
    """The first step receives the pipeline's input."""
    return [{"id": i, "value": i * i} for i in range(5)]


def keep_even(rows, **kwargs):
    return [r for r in rows if r["value"] % 2 == 0]


def total(rows, **kwargs):
    return sum(r["value"] for r in rows)


# One function as a processor.
loader = cu.FunctionProcessor(load)
logger.info("processor %s loaded %d rows", loader, len(loader.process("input.csv")))

# A sequential pipeline: each step gets the previous step's output.
pipeline = cu.Processor([load, keep_even, total], name="even_total")
pipeline.init()
result = pipeline.process("input.csv")
logger.info("pipeline %s -> %s", pipeline.name(), result)

# A branch: big totals go one way, small ones another.
branch = cu.ConditionalProcessor(
    selector=lambda x, **kw: x > 10,
    true_processors=lambda x, **kw: "big",
    false_processors=lambda x, **kw: "small",
    name="size",
)
branch.init()
logger.info("branch says %s", branch.process(result))

# A loop: the body runs once per item the looper returns.
squares = cu.SimpleLooper(processors=lambda row, **kw: row["value"] ** 0.5, name="roots")
squares.init()
logger.info("loop gives %s", squares.process(load(None)))

# A stop: the pipeline ends early and hands back what it had.
stopper = cu.Processor([load, cu.StopRunProcessor, total], name="early")
stopper.init()
try:
    stopper.process("input.csv")
except cu.StopRunError as stop:
    logger.info("stopped: %s with %d rows", stop, len(stop.out_data))

# A concurrent loop: items run at once in worker threads; results keep their order.
parallel = cu.SimpleLooper(processors=lambda row, **kw: row["id"], use_aysnc_run=True, name="ids")
parallel.init()
logger.info("concurrent loop gives %s", parallel.process(load(None)))

logger.info("done; log written to %s", log_file)
