"""_EnhanceSafeLoader: !include relative to the including file, !alias paths through
mappings, lists and included files, failures, and tags kept off the safe loader."""
import os

import pytest
import yaml

import common_utils.common_utils as cu

MAIN = """\
a: {b: 3, one: {x: 1}}
l: [x, y, {k: deep}]
1: raw
inc: !include sub/sub.yaml
"""
ALIASES = """\
ab: !alias a.b
l1: !alias l.1
last: !alias l.-1.k
blank: !alias "l. +1 "
from_inc: !alias inc.key
nested: !alias inc.nested.z
numeric: !alias 1
shared: !alias a.one
"""
SUB = "key: value\nitems: [p, q]\n1: int key\n"
BAD = MAIN + "bad: !alias "


def write(root, files):
    for name, text in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)


def load(path):
    with open(str(path)) as f:
        return yaml.load(f, Loader=cu._EnhanceSafeLoader)


def test_includes_and_aliases(tmp_path, monkeypatch):
    write(tmp_path / "d", {"main.yaml": MAIN + ALIASES,
                           "sub/sub.yaml": SUB + "nested: !include deeper/more.yaml\n",
                           "sub/deeper/more.yaml": "z: !alias w\nw: 26\n"})
    monkeypatch.chdir(tmp_path)
    data = load(os.path.join("d", "main.yaml"))  # includes follow the file, not the cwd
    assert data["inc"] == {"key": "value", "items": ["p", "q"], 1: "int key",
                           "nested": {"z": 26, "w": 26}}
    assert [data[k] for k in ("ab", "l1", "last", "blank")] == [3, "y", "deep", "y"]
    assert (data["from_inc"], data["nested"], data["numeric"]) == ("value", 26, "raw")
    assert data["shared"] is data["a"]["one"]  # an alias to a mapping is that very dict
    # the tags are the loader's own, and it reads named files only
    with pytest.raises(yaml.constructor.ConstructorError, match="!include"):
        yaml.safe_load("a: !include sub.yaml")
    assert "!alias" not in yaml.SafeLoader.yaml_constructors
    with pytest.raises(AttributeError):
        cu._EnhanceSafeLoader("a: 1")


@pytest.mark.parametrize("text, error, message", [
    (BAD + "nokey.b", ValueError, "tokens=['nokey', 'b'] node=MappingNode("),
    (BAD + "a.b.c", ValueError, "tokens=['c'] node=ScalarNode("),
    (BAD + "l.7", ValueError, "tokens=['7'] node=SequenceNode("),
    # the list level reports
    (BAD + "l.2.nokey", ValueError, "tokens=['2', 'nokey'] node=SequenceNode("),
    (BAD + "inc.items.5", ValueError, "tokens=['5'] node=['p', 'q']"),
    (BAD + "inc.1", ValueError, "tokens=['1'] node={'key': 'value'"),  # an int key of an included file
    ("a: !include missing.yaml\n", FileNotFoundError, None),
    ("a: !include main.yaml\n", RecursionError, None),
    ("!alias a\n", StopIteration, None),  # nothing constructed to look in
    ("x: !alias x\n", yaml.constructor.ConstructorError, None),
    # an anchor inside itself: a path of any length, cut short of the C stack's end
    ("a: &A [*A]\nr: !alias a{}\n".format(".0" * 3000), RecursionError, None),
])
def test_failures_propagate_and_a_failed_alias_is_logged(text, error, message, tmp_path, log_records):
    write(tmp_path, {"main.yaml": text, "sub/sub.yaml": SUB})
    with pytest.raises(error) as info:
        load(tmp_path / "main.yaml")
    if message is None:
        return
    assert str(info.value).startswith("find alias failed," + message)
    (record,) = [r for r in log_records if r.levelname == "ERROR"]
    path = text[len(BAD):]
    assert record.getMessage() == "find alias failed, alias={}, error={}".format(
        path.split("."), info.value)
    assert record.exc_info[1] is info.value
    if path == "l.2.nokey":  # raised while handling the deeper failure
        assert str(info.value.__context__).startswith(
            "find alias failed,tokens=['nokey'] node=MappingNode(")
