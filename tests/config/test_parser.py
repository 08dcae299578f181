"""The standard parser and the merging of parser defaults, a YAML file and the command line."""
import argparse
import datetime
import sys

import pytest

import common_utils.common_utils as cu


def messages(records, level):
    return [r.getMessage() for r in records if r.levelname == level]


def test_options_made_from_yaml_values(log_records):
    parser = argparse.ArgumentParser()
    parser.add_argument("--known", type=int)
    cfg = {"known": "x", "s": "a", "b": True, "i": 1, "f": 1.5, "l": [], "ls": ["a"],
           "lb": [True], "li": [1], "lf": [0.5], "lm": [{"a": 1}], "d": {"k": "v"}, "n": None,
           "when": datetime.date(2024, 1, 2)}
    assert cu.parse_args_and_yaml_argument(parser, cfg) == {"help", "known"}
    # the first option of each destination
    assert {a.dest: (a.type, a.nargs, a.default) for a in reversed(parser._actions[2:])} == {
        "s": (str, None, ""), "b": (cu.str_to_bool, "?", False), "i": (int, None, 0),
        "f": (float, None, 0.0), "l": (str, "+", []), "ls": (str, "+", []),
        "lb": (cu.str_to_bool, "+", []), "li": (int, "+", []), "lf": (float, "+", []),
        "d": (None, "+", {}), "n": (str, None, None)}
    assert isinstance(parser._option_string_actions["--d"], cu.list_to_keyvalue)
    assert parser._option_string_actions["--no_b"].dest == "b"
    assert messages(log_records, "DEBUG") == ["parse arg:n is none, use str instand of None"]
    assert messages(log_records, "INFO") == [
        "ACTION: cannot automaic detect data type, argument: when"]
    assert cu.parse_args_and_yaml_argument(parser, {"s": 1, "lb": 2}) >= {"help", "s", "lb"}


CONFIG = """\
log_level: DEBUG
batch: 32
params: {lr: "0.1", decay: "0.9"}
ids: [1, 2]
rows: [{a: 1}]
empty:
flag: true
shared: !include shared.yaml
width: !alias shared.sizes.-1
"""


def test_init_parser(tmp_path, monkeypatch, log_records):
    args = cu.init_parser(parser_args=["--no-has_config_yaml"])
    assert vars(args) == {"config_yaml": "", "has_config_yaml": False, "debug": False, "log_level": "INFO",
                          "log_dir": "./", "task_name": "default", "biz_date": ""}
    assert messages(log_records, "WARNING") == ["cant find yaml config file", "unknown_args=[]"]
    args = cu.init_parser("job", "t", cu.callback_fn_demo, ["--has_config_yaml", "off", "-x"],
                          default_prefix="prefixed", other=1)
    assert (args.task_name, args.input_hdfs) == ("prefixed", "")
    assert messages(log_records, "WARNING")[-1] == "unknown_args=['-x']"
    (tmp_path / "c.yaml").write_text("debug: true\nname: n\n")
    words = ["--my-config", "f.yaml", "--config", "g.yaml", "--my_config_yaml", str(tmp_path / "c.yaml")]
    args, unknown = cu.parse_args_and_yaml(
        cu.init_default_parser(change_config_name=True), words + ["--name", "m"], "ignored", 1)
    assert (args.debug, args.name, unknown) == (True, "m", ["--config", "g.yaml"])
    with pytest.raises(AttributeError):  # a hook must return the parser
        cu.init_parser(callback_fn=lambda parser: None, parser_args=["--no-has_config_yaml"])
    with pytest.raises(TypeError, match=r"takes from 0 to 5 positional arguments but 6 were given"):
        cu.init_parser(1, 2, 3, 4, 5, 6)
    # a YAML file over the defaults, the command line over the file
    log_records.clear()
    (tmp_path / "conf").mkdir()
    (tmp_path / "conf" / "x.yaml").write_text(CONFIG)
    (tmp_path / "conf" / "shared.yaml").write_text("sizes: [8, 16]\n")
    monkeypatch.chdir(tmp_path)

    def job(*words):  # the words of sys.argv, as a job's command line
        monkeypatch.setattr(sys, "argv", ["job.py", *words])
        return vars(cu.init_parser(callback_fn=cu.callback_fn_demo))

    assert job("--config", "conf/x.yaml", "--batch", "64", "--params", "lr:0.5", "--ids", "1", "2", "3",
               "--no-flag", "--extra") == {
        "config_yaml": "conf/x.yaml", "has_config_yaml": True, "debug": False,
        "log_level": "DEBUG", "log_dir": "./", "task_name": "default", "biz_date": "",
        "input_hdfs": "", "batch": 64, "params": {"lr": "0.5"}, "ids": [1, 2, 3],
        "rows": [{"a": 1}], "empty": None, "flag": False, "shared": {"sizes": [8, 16]}, "width": 16}
    assert messages(log_records, "WARNING") == ["unknown_args=['--extra']"]
    args = job("--config_yaml=conf/x.yaml", "--log-level", "ERROR")
    assert (args["log_level"], args["batch"], args["params"], args["flag"]) == (
        "ERROR", 32, {"lr": "0.1", "decay": "0.9"}, True)


@pytest.mark.parametrize("files, words, error", [
    ({}, [], FileNotFoundError),  # a file is required unless switched off
    ({"c.yaml": ""}, ["--config", "c.yaml"], AttributeError),
    ({"c.yaml": "[1, 2]"}, ["--config", "c.yaml"], AttributeError),
    ({"c.yaml": "1: one"}, ["--config", "c.yaml"], TypeError),
    ({"c.yaml": "log-level: x"}, ["--config", "c.yaml"], argparse.ArgumentError),
])
def test_bad_configuration(files, words, error, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    with pytest.raises(error):
        cu.init_parser(parser_args=words)

