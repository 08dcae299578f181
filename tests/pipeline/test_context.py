"""ContextProcessor: the step module, model arguments and step list given by reference."""
import argparse
import json
import logging
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


def test_step_module_gets_the_module_log_files_and_level(monkeypatch, tmp_path):
    steps = types.ModuleType("cu_steps")
    steps.logger = logging.getLogger("cu_steps")
    steps.twice = lambda x, **kw: steps.logger.warning("step saw %s", x) or 2 * x
    monkeypatch.setitem(sys.modules, "cu_steps", steps)
    main = cu.logger_append_file(logging.getLogger("cu-test-main"), file_name=str(tmp_path / "main.log"))
    main.setLevel(logging.WARNING)
    monkeypatch.setattr(cu, "logger", main)
    p = cu.ContextProcessor(["twice"], module_ref="cu_steps")
    try:
        assert p.init() is True and p(21) == 42 and steps.logger.level == logging.WARNING
        assert "step saw 21" in (tmp_path / "main.log").read_text()
    finally:
        for logger in (main, steps.logger):
            for handler in logger.handlers[:]:
                logger.removeHandler(handler)
                handler.close()
