"""_EnhanceSafeLoader: !include relative to the including file, !alias paths through
mappings, lists and included files, failures, and plain safe loading otherwise."""
import datetime
import os
import tempfile

import pytest
import yaml
from hypothesis import given, strategies as st

import common_utils.common_utils as cu

MAIN = """\
a: {b: 3, one: {x: 1}}
l: [x, y, {k: deep}]
1: raw
inc: !include sub/sub.yaml
ab: !alias a.b
l1: !alias l.1
last: !alias l.-1.k
blank: !alias "l. +1 "
from_inc: !alias inc.key
from_inc_list: !alias inc.items.-1
nested: !alias inc.nested.z
numeric: !alias 1
shared: !alias a.one
"""
SUB = """\
key: value
items: [p, q]
1: int key
nested: !include deeper/more.yaml
"""
MORE = "z: !alias w\nw: 26\n"


def write(root, files):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


def load(path):
    with open(path) as f:
        return yaml.load(f, Loader=cu._EnhanceSafeLoader)


@pytest.fixture
def config_dir(tmp_path):
    write(tmp_path / "d", {"main.yaml": MAIN, "sub/sub.yaml": SUB,
                           "sub/deeper/more.yaml": MORE})
    return tmp_path / "d"


def test_includes_and_aliases(config_dir, monkeypatch):
    elsewhere = config_dir.parent / "elsewhere"
    elsewhere.mkdir()
    monkeypatch.chdir(elsewhere)  # includes follow the including file, not the cwd
    data = load(str(config_dir / "main.yaml"))
    assert data["inc"] == {"key": "value", "items": ["p", "q"], 1: "int key",
                           "nested": {"z": 26, "w": 26}}
    assert (data["ab"], data["l1"], data["last"], data["blank"]) == (3, "y", "deep", "y")
    assert (data["from_inc"], data["from_inc_list"], data["nested"]) == ("value", "q", 26)
    assert data["numeric"] == "raw"  # the key's raw text matches the segment "1"
    # an alias to a mapping is the very object standing there
    assert data["shared"] is data["a"]["one"]
    data["shared"]["x"] = 2
    assert data["a"]["one"] == {"x": 2}
    # the same file opened by a relative name: includes are relative to its directory
    monkeypatch.chdir(config_dir.parent)
    assert load(os.path.join("d", "main.yaml")) == load(str(config_dir / "main.yaml"))


def test_loader_instance(config_dir):
    with open(str(config_dir / "main.yaml")) as f:
        loader = cu._EnhanceSafeLoader(f)
        try:
            assert loader._root == str(config_dir)
            assert loader.get_single_data()["ab"] == 3
        finally:
            loader.dispose()
    assert isinstance(loader, yaml.SafeLoader) and cu._EnhanceSafeLoader.__bases__ == (yaml.SafeLoader,)
    with pytest.raises(AttributeError):  # named files only
        cu._EnhanceSafeLoader("a: 1")


def test_tags_are_registered_on_the_loader_only():
    for tag in ("!include", "!alias"):
        assert tag in cu._EnhanceSafeLoader.yaml_constructors
        assert tag not in yaml.SafeLoader.yaml_constructors
        with pytest.raises(yaml.constructor.ConstructorError, match=tag):
            yaml.safe_load("a: {} x".format(tag))


@pytest.mark.parametrize("path, message", [
    ("nokey.b", "find alias failed,tokens=['nokey', 'b'] node=MappingNode("),
    ("a.nokey", "find alias failed,tokens=['nokey'] node=MappingNode("),
    ("a.b.c", "find alias failed,tokens=['c'] node=ScalarNode("),
    ("l.7", "find alias failed,tokens=['7'] node=SequenceNode("),
    ("l.first", "find alias failed,tokens=['first'] node=SequenceNode("),
    ("l.2.nokey", "find alias failed,tokens=['2', 'nokey'] node=SequenceNode("),
    ("inc.items.5", "find alias failed,tokens=['5'] node=['p', 'q']"),
    ("inc.1", "find alias failed,tokens=['1'] node={'key': 'value'"),  # int key in an included file
    ("a..b", "find alias failed,tokens=['', 'b'] node=MappingNode("),
])
def test_failed_alias_is_logged_and_ends_the_load(path, message, tmp_path, log_records):
    write(tmp_path, {"main.yaml": MAIN.split("ab:")[0] + "bad: !alias {}\n".format(path),
                     "sub/sub.yaml": "key: value\nitems: [p, q]\n1: int key\n"})
    with pytest.raises(ValueError) as info:
        load(str(tmp_path / "main.yaml"))
    assert str(info.value).startswith(message)
    (record,) = [r for r in log_records if r.levelname == "ERROR"]
    assert record.getMessage() == "find alias failed, alias={}, error={}".format(
        path.split("."), info.value)
    assert record.exc_info[1] is info.value


def test_list_level_replaces_the_deeper_error(tmp_path, log_records):
    write(tmp_path, {"main.yaml": "a: [{c: 1}]\nr: !alias a.0.b\n"})
    with pytest.raises(ValueError) as info:
        load(str(tmp_path / "main.yaml"))
    outer, inner = info.value, info.value.__context__
    assert str(outer).startswith("find alias failed,tokens=['0', 'b'] node=SequenceNode(")
    assert str(inner).startswith("find alias failed,tokens=['b'] node=MappingNode(")
    assert outer.__cause__ is None and type(inner) is ValueError


@pytest.mark.parametrize("files, error", [
    ({"main.yaml": "a: !include missing.yaml\n"}, FileNotFoundError),
    ({"main.yaml": "a: !include bad.yaml\n", "bad.yaml": "a: [1\n"}, yaml.YAMLError),
    ({"main.yaml": "!alias a\n"}, StopIteration),  # nothing to look in yet
    ({"main.yaml": "x: !alias x\n"}, yaml.constructor.ConstructorError),  # itself
])
def test_other_failures_propagate(files, error, tmp_path):
    write(tmp_path, files)
    with pytest.raises(error):
        load(str(tmp_path / "main.yaml"))


def test_cyclic_document_with_a_long_path_is_a_recursion_error(tmp_path):
    # An anchor used inside itself makes the node graph cyclic: the walk can
    # follow a path of any length, and must stop short of the C stack's end.
    write(tmp_path, {"main.yaml": "a: &A [*A]\nr: !alias a{}\n".format(".0" * 3_000)})
    with pytest.raises(RecursionError):
        load(str(tmp_path / "main.yaml"))


def test_find_alias_over_values_and_overrides(config_dir):
    seen = []

    class Tracing(cu._EnhanceSafeLoader):
        def find_alias(self, node, tokens):
            seen.append(list(tokens))
            return super().find_alias(node, tokens)

    with open(str(config_dir / "main.yaml")) as f:
        loader = Tracing(f)
        assert loader.find_alias({"a": ({"b": 5},)}, ["a", "-1", "b"]) == 5
        assert loader.find_alias("anything", []) == "anything"
        loader.dispose()
    assert seen == [["a", "-1", "b"], ["-1", "b"], ["b"], [], []]
    with open(str(config_dir / "main.yaml")) as f:
        assert yaml.load(f, Loader=Tracing)["from_inc"] == "value"
    assert ["inc", "key"] in seen


# Documents of the kinds YAML writes: no tags of ours, every scalar type the
# safe loader resolves (dates included), nested mappings and lists.
SCALARS = st.one_of(
    st.none(), st.booleans(), st.integers(), st.text(max_size=20),
    st.floats(allow_nan=False), st.dates(),
    st.datetimes(min_value=datetime.datetime(1900, 1, 1)).map(lambda d: d.replace(microsecond=0)),
)
DOCUMENTS = st.recursive(
    SCALARS,
    lambda inner: st.one_of(st.lists(inner, max_size=5),
                            st.dictionaries(st.one_of(st.text(max_size=10), st.integers()),
                                            inner, max_size=5)),
    max_leaves=30,
)


@given(DOCUMENTS, st.booleans())
def test_plain_documents_load_as_safe_load(document, flow):
    text = yaml.safe_dump(document, default_flow_style=flow, allow_unicode=True)
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "doc.yaml")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        with open(path, encoding="utf-8") as f:
            expected = yaml.safe_load(f)
        with open(path, encoding="utf-8") as f:
            assert yaml.load(f, Loader=cu._EnhanceSafeLoader) == expected


def test_repeated_walks_do_not_grow_memory(tmp_path, memory_growth, monkeypatch):
    write(tmp_path, {"main.yaml": "l: [x, {k: [1]}]\n", "s.yaml": "k: [1]\n"})
    monkeypatch.setattr(cu, "logger", type("Quiet", (), {"exception": lambda *args: None})())
    with open(str(tmp_path / "main.yaml")) as f:
        loader = cu._EnhanceSafeLoader(f)
        root = loader.get_single_node()
    loader.constructed_objects, loader.deep_construct = {root: {}}, True
    include = yaml.ScalarNode("!include", "s.yaml")
    alias, bad_alias = yaml.ScalarNode("!alias", "l.-1.k"), yaml.ScalarNode("!alias", "l.9")

    def walks():
        assert loader.alias_udf(alias) == [1]
        assert loader.include_udf(include) == {"k": [1]}
        with pytest.raises(ValueError):
            loader.alias_udf(bad_alias)

    traced, _ = memory_growth(walks, 1_000)
    assert traced < 64 * 1024
