"""ContextProcessor: the step module, model arguments and step list given by reference."""
import argparse
import json
import sys
import types

import pytest

import common_utils.common_utils as cu


class Recorder(cu.ProcessorBase):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.kwargs = kwargs


STEPS = types.ModuleType("steps")
STEPS.Recorder = Recorder


def test_references(monkeypatch, log_records):
    p = cu.ContextProcessor(["dumps"], module_ref="json")
    assert p._processors[0]._user_function is json.dumps
    # an empty reference is no reference; model_args reaches class-built steps
    p = cu.ContextProcessor("Recorder", STEPS, "model", "", "", "", name="ctx")
    assert (p._model_args, p.name()) == ("model", "ctx")
    assert p._processors[0].kwargs == {"model_args": "model", "module": STEPS}
    # a section of model_args under the process's command line, then the steps from it
    monkeypatch.setattr(sys, "argv", ["job.py", "--log_level", "WARNING", "--unknown"])
    args = argparse.Namespace(train={"steps": ["Recorder"], "log_level": "DEBUG", "batch": 8})
    p = cu.ContextProcessor(None, STEPS, args, "steps", model_args_ref="train")
    model_args = p._model_args
    assert (model_args.log_level, model_args.batch) == ("WARNING", 8)
    assert p._processors[0].kwargs["model_args"] is model_args
    assert [r.getMessage() for r in log_records if r.levelname == "INFO"] == [
        "ContextProcessor import module `{}` success".format(json),
        "ContextProcessor load model_args_ref=train success, model_args={}".format(model_args),
        "ContextProcessor reset by processors_ref=steps, processors=['Recorder']"]


# A str subclass as a reference is refused before any import or look-up.
FAILING_REFS = {"processors_ref": "", "module_ref": "no_such_module_x", "model_args_ref": "missing"}


@pytest.mark.parametrize("args, refs, error, text", [
    (None, {"module_ref": "no_such.x"}, ImportError, r"^can't find package\[no_such\.x\]$"),
    (None, {"model_args_ref": "train"}, AttributeError, "train"),
    (argparse.Namespace(train=None), {"model_args_ref": "train"}, TypeError, "must be a mapping"),
    (argparse.Namespace(train={1: 2}), {"model_args_ref": "train"}, TypeError, "must be str"),
    (argparse.Namespace(), {"processors_ref": "steps"}, AttributeError, "steps"),
    (argparse.Namespace(steps=None), {"processors_ref": "steps"}, NotImplementedError, "None"),
] + [(None, dict(FAILING_REFS, **{ref: type("Text", (str,), {})("json")}), TypeError,
      r"^__init__\(\) argument '{}' must be str, not Text$".format(ref)) for ref in FAILING_REFS])
def test_bad_references(args, refs, error, text, monkeypatch):
    monkeypatch.setattr(sys, "argv", ["job.py"])
    with pytest.raises(error, match=text) as info:
        cu.ContextProcessor(None, model_args=args, **refs)
    if error is ImportError:
        assert isinstance(info.value.__context__, ModuleNotFoundError)


HAND_OVER = """
import logging, os, sys
import common_utils.common_utils as cu
sys.path.insert(0, os.getcwd())
with open("cu_steps.py", "w") as f:
    f.write("import logging\\nlogger = logging.getLogger('cu_steps')\\n"
            "def twice(x, **kw):\\n    logger.warning('step saw %s', x)\\n    return 2 * x\\n")
cu.logger = cu.logger_append_file(cu.logger, file_name="main.log")
cu.logger.setLevel(logging.WARNING)
p = cu.ContextProcessor(["twice"], module_ref="cu_steps")
p.init()
assert p(21) == 42 and sys.modules["cu_steps"].logger.level == logging.WARNING
print(open("main.log").read())
"""


def test_step_module_logs_to_the_module_log_files(run_python):
    done = run_python(HAND_OVER)
    assert done.returncode == 0, done.stderr
    assert "twice() - step saw 21" in done.stdout
