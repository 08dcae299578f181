"""ContextProcessor: the step module, model arguments and step list given by reference."""
import argparse
import json
import sys
import types

import pytest

import common_utils.common_utils as cu


def messages(records, level=None):
    return [r.getMessage() for r in records if level in (None, r.levelname)]


class Recorder(cu.ProcessorBase):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.kwargs = kwargs

    def process(self, data=None, **kwargs):
        return data


def test_module_by_import_path(log_records):
    p = cu.ContextProcessor(["dumps"], module_ref="json", ready=True)
    (step,) = p._processors
    assert type(step) is cu.FunctionProcessor and step._user_function is json.dumps
    assert messages(log_records, "INFO") == [
        "ContextProcessor import module `{}` success".format(json)]
    # an empty reference is no reference: the module given stays
    module = types.ModuleType("steps")
    module.Recorder = Recorder
    p = cu.ContextProcessor("Recorder", module, "model", "", "", "", name="ctx")
    assert p._model_args == "model" and p.name() == "ctx"
    assert p._processors[0].kwargs == {"model_args": "model", "module": module}


@pytest.mark.parametrize("param", ["processors_ref", "module_ref", "model_args_ref"])
@pytest.mark.parametrize("value", [type("Text", (str,), {})("json"), 1, b"json"])
def test_references_must_be_exact_str(param, value):
    refs = {"processors_ref": "", "module_ref": "no_such_module_x", "model_args_ref": "missing"}
    refs[param] = value
    expected = "^__init__\\(\\) argument '{}' must be str, not {}$".format(param, type(value).__name__)
    with pytest.raises(TypeError, match=expected):  # before any import or look-up
        cu.ContextProcessor(["dumps"], **refs)


def test_unknown_module_is_an_import_error():
    with pytest.raises(ImportError, match=r"^can't find package\[no_such\.module_x\]$") as info:
        cu.ContextProcessor(["dumps"], module_ref="no_such.module_x")
    assert isinstance(info.value.__context__, ModuleNotFoundError)


def test_errors_of_the_imported_module_pass_unchanged(tmp_path, monkeypatch):
    (tmp_path / "cu_broken_steps.py").write_text("raise KeyError('broken')\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    with pytest.raises(KeyError, match="broken"):
        cu.ContextProcessor(["dumps"], module_ref="cu_broken_steps")


def test_model_args_section_under_the_command_line(monkeypatch, log_records):
    section = {"steps": ["Recorder"], "log_level": "DEBUG", "batch": 8}
    args = argparse.Namespace(train=section)
    module = types.ModuleType("steps")
    module.Recorder = Recorder
    monkeypatch.setattr(sys, "argv", ["job.py", "--log_level", "WARNING", "--unknown", "x"])
    p = cu.ContextProcessor(None, module, args, "steps", model_args_ref="train", ready=True)
    model_args = p._model_args
    assert isinstance(model_args, argparse.Namespace)
    assert (model_args.log_level, model_args.batch, model_args.task_name) == ("WARNING", 8, "default")
    assert p._processors[0].kwargs["model_args"] is model_args
    assert messages(log_records, "INFO") == [
        "ContextProcessor load model_args_ref=train success, model_args={}".format(model_args),
        "ContextProcessor reset by processors_ref=steps, processors=['Recorder']"]


@pytest.mark.parametrize("args, refs, error, text", [
    (argparse.Namespace(), {"model_args_ref": "train"}, AttributeError, "train"),
    (None, {"model_args_ref": "train"}, AttributeError, "train"),
    (argparse.Namespace(train=None), {"model_args_ref": "train"}, TypeError, "must be a mapping"),
    (argparse.Namespace(train={1: 2}), {"model_args_ref": "train"}, TypeError, "must be str"),
    (argparse.Namespace(), {"processors_ref": "steps"}, AttributeError, "steps"),
    (argparse.Namespace(steps=None), {"processors_ref": "steps"}, NotImplementedError, "None"),
])
def test_bad_references(args, refs, error, text, monkeypatch):
    monkeypatch.setattr(sys, "argv", ["job.py"])
    with pytest.raises(error, match=text):
        cu.ContextProcessor(None, model_args=args, **refs)


STEP_MODULE = """
import logging
logger = logging.getLogger("cu_steps")
def twice(x, **kwargs):
    logger.warning("step saw %s", x)
    return 2 * x
"""

HAND_OVER = """
import logging, os, sys
import common_utils.common_utils as cu
sys.path.insert(0, os.getcwd())
cu.logger = cu.logger_append_file(cu.logger, file_name="main.log")
cu.logger.setLevel(logging.WARNING)
p = cu.ContextProcessor(["twice"], module_ref="cu_steps")
p.init()
assert p(21) == 42
import cu_steps
assert cu_steps.logger.level == logging.WARNING
print(open("main.log").read())
"""


def test_step_module_logs_to_the_module_log_files(run_python, tmp_path):
    (tmp_path / "cu_steps.py").write_text(STEP_MODULE)
    done = run_python(HAND_OVER)
    assert done.returncode == 0, done.stderr
    assert "twice() - step saw 21" in done.stdout


def test_subclass_and_repeated_construction(memory_growth, monkeypatch):
    class Job(cu.ContextProcessor):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.built = True

    job = Job(["loads"], module_ref="json", input_arg_type="disable", ready=True)
    assert job.built and type(job._processors[0]) is cu.FunctionProcessor
    monkeypatch.setattr(sys, "argv", ["job.py", "--batch", "3"])
    quiet = dict.fromkeys(["info", "debug"], lambda *args: None)
    monkeypatch.setattr(cu, "logger", types.SimpleNamespace(**quiet))
    args = argparse.Namespace(train={"steps": [len], "batch": 1})

    def build():
        cu.ContextProcessor(None, None, args, "steps", "json", "train")

    traced, _ = memory_growth(build, 5_000)
    assert traced < 64 * 1024
