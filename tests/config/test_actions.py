"""The key-value list actions, str_to_bool and parser_add_bool on real parsers."""
import argparse

import pytest

import common_utils.common_utils as cu


def parse(action, words):
    """Parses --kv WORDS; a lone string stands for an option without a list-valued nargs."""
    many = isinstance(words, list)
    parser = argparse.ArgumentParser()
    parser.add_argument("--kv", nargs="+" if many else None, action=action, default={"old": "1"})
    return parser.parse_args(["--kv", *(words if many else [words])]).kv


@pytest.mark.parametrize("action, words, expected, skipped", [
    (cu.list_to_keyvalue, [" a:1 ", "b:2:3 ", "  ", "c"], {"a": "1", "b": "2:3"}, ["c"]),
    (cu.list_to_keyvalue, ["k : v", ":x", "y:"], {"k ": " v", "": "x", "y": ""}, []),
    (cu.list_to_keyvalue2, ["a=b=c", "a:b"], {"a": "b=c"}, ["a:b"]),
    (cu.list_to_keyvalue, "a: b", {"": ""}, ["a", "b"]),  # the action walks the one string
])
def test_key_value_words(action, words, expected, skipped, log_records):
    assert parse(action, words) == expected
    assert [r.getMessage() for r in log_records if r.levelname == "WARNING"] == [
        "parse {}[{}] failed, skipped".format(action.__name__, w) for w in skipped]
    assert action.__bases__ == (argparse.Action,)
    with pytest.raises(AttributeError):  # words must be strings
        action(["--kv"], "kv", nargs="+")(None, argparse.Namespace(), [1])


def test_str_to_bool_and_parser_add_bool(monkeypatch):
    for value, expected in [("YES", True), ("Enable", True), ("on", True), ("no", False), ("Disable", False),
                            ("0", False), (2, True), (0, False), (True, True)]:
        assert cu.str_to_bool(v=value) is expected, value
    for value, error in [("2", argparse.ArgumentTypeError), (None, AttributeError), (1.0, AttributeError)]:
        with pytest.raises(error, match="^Boolean value expected.$|lower"):
            cu.str_to_bool(value)
    parser = argparse.ArgumentParser()
    assert cu.parser_add_bool(parser, "dry_run") is None
    for words, expected in [([], False), (["--dry_run"], True), (["--dry_run", "off"], False),
                            (["--dry_run", "Y"], True), (["--no-dry_run"], False), (["--no_dry_run"], False)]:
        assert parser.parse_args(words).dry_run is expected, words
    cu.parser_add_bool(given_parser=parser, key="use-cache", default=True)
    # the positive option's destination has underscores, the negatives keep the dash
    assert vars(parser.parse_args(["--no-use-cache"])) == {
        "dry_run": False, "use_cache": True, "use-cache": False}
    with pytest.raises(argparse.ArgumentError):
        cu.parser_add_bool(parser, "use-cache")
    # the word type is str_to_bool as bound when the options are added
    monkeypatch.setattr(cu, "str_to_bool", lambda v: "seen " + v)
    cu.parser_add_bool(parser, "flag")
    assert parser.parse_args(["--flag", "x"]).flag == "seen x"
