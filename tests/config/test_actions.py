"""The key-value list actions, str_to_bool and parser_add_bool on real parsers."""
import argparse

import pytest

import common_utils.common_utils as cu


def warnings(records):
    return [r.getMessage() for r in records if r.levelname == "WARNING"]


def parse(action, words, nargs="+"):
    parser = argparse.ArgumentParser()
    parser.add_argument("--kv", nargs=nargs, action=action, default={"old": "1"})
    return parser.parse_args(words).kv


@pytest.mark.parametrize("action, words, expected, skipped", [
    (cu.list_to_keyvalue, ["--kv", " a:1 ", "b:2:3 ", "  ", "c"], {"a": "1", "b": "2:3"}, ["c"]),
    (cu.list_to_keyvalue, ["--kv", "a:1", "--kv", "b:2", "a:3"], {"b": "2", "a": "3"}, []),
    (cu.list_to_keyvalue, ["--kv", "k : v", ":x", "y:"], {"k ": " v", "": "x", "y": ""}, []),
    (cu.list_to_keyvalue2, ["--kv", "a=b=c", "a:b"], {"a": "b=c"}, ["a:b"]),
    (cu.list_to_keyvalue2, ["--kv=x= y"], {"x": " y"}, []),
])
def test_key_value_words(action, words, expected, skipped, log_records):
    assert parse(action, words) == expected
    name = action.__name__
    assert warnings(log_records) == ["parse {}[{}] failed, skipped".format(name, w) for w in skipped]


def test_single_string_is_walked_by_character(log_records):
    # Without a list-valued nargs the action gets one string.
    assert parse(cu.list_to_keyvalue, ["--kv", "a: b"], nargs=None) == {"": ""}
    assert warnings(log_records) == ["parse list_to_keyvalue[a] failed, skipped",
                                     "parse list_to_keyvalue[b] failed, skipped"]


def test_action_classes():
    for action in (cu.list_to_keyvalue, cu.list_to_keyvalue2):
        assert action.__bases__ == (argparse.Action,) and action.__module__ == cu.__name__
        instance = action(["--kv"], "kv", nargs="+")
        namespace = argparse.Namespace(kv="before")
        assert instance(None, namespace, ["k" + "=:"[action is cu.list_to_keyvalue] + "v"]) is None
        assert namespace.kv == {"k": "v"}
        with pytest.raises(AttributeError):  # words must be strings
            instance(None, namespace, [1])
        with pytest.raises(TypeError):
            instance(None, namespace)


@pytest.mark.parametrize("value, expected", [
    ("YES", True), ("Enable", True), ("t", True), ("On", True), ("1", True),
    ("no", False), ("FALSE", False), ("off", False), ("Disable", False), ("0", False),
    (2, True), (0, False), (True, True), (False, False),
])
def test_str_to_bool(value, expected):
    assert cu.str_to_bool(value) is expected
    assert cu.str_to_bool(v=value) is expected


@pytest.mark.parametrize("value, error", [
    ("2", argparse.ArgumentTypeError), ("", argparse.ArgumentTypeError),
    (None, AttributeError), (1.0, AttributeError),
])
def test_str_to_bool_rejects(value, error):
    with pytest.raises(error, match="^Boolean value expected.$" if error is not AttributeError else "lower"):
        cu.str_to_bool(value)


@pytest.mark.parametrize("words, expected", [
    ([], False), (["--dry_run"], True), (["--dry_run", "off"], False), (["--dry_run", "Y"], True),
    (["--no-dry_run"], False), (["--no_dry_run"], False), (["--dry_run", "--no-dry_run"], False),
])
def test_parser_add_bool(words, expected):
    parser = argparse.ArgumentParser()
    assert cu.parser_add_bool(parser, "dry_run") is None
    assert parser.parse_args(words).dry_run is expected


def test_parser_add_bool_details(monkeypatch, capsys):
    parser = argparse.ArgumentParser()
    cu.parser_add_bool(given_parser=parser, key="use-cache", default=True)
    # the positive option's destination has underscores, the negatives keep the dash
    assert vars(parser.parse_args(["--no-use-cache"])) == {"use_cache": True, "use-cache": False}
    with pytest.raises(argparse.ArgumentError):
        cu.parser_add_bool(parser, "use-cache")
    # the word type is the module's str_to_bool as bound when the options are added
    monkeypatch.setattr(cu, "str_to_bool", lambda v: "seen " + v)
    cu.parser_add_bool(parser, "flag")
    assert parser.parse_args(["--flag", "x"]).flag == "seen x"
    monkeypatch.undo()
    with pytest.raises(SystemExit):
        parser.parse_args(["--use-cache", "maybe"])
    assert "Boolean value expected." in capsys.readouterr().err
