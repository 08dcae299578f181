"""The installed package: file layout, stub coverage, version."""
import ast
import re
from importlib import metadata
from pathlib import Path

import pytest


@pytest.fixture(scope="module")
def package_dir():
    import common_utils.common_utils as m

    return Path(m.__file__).parent


def stub_names(tree):
    """Top-level names the stub binds (also inside `if` blocks)."""
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            # A stub re-exports an import only in the form `import x as x`.
            names.update(a.asname for a in node.names if a.asname == a.name)
        elif isinstance(node, ast.If):
            names |= stub_names(ast.Module(body=node.body + node.orelse))
    return names


def test_module_is_one_abi3_library_beside_its_stub(cu, package_dir):
    assert Path(cu.__file__).name == "common_utils.abi3.so"
    for name in ("__init__.py", "py.typed", "common_utils.pyi"):
        assert (package_dir / name).is_file(), name
    # One build serves every interpreter: no version-tagged copies beside it.
    assert sorted(p.name for p in package_dir.glob("*.so")) == ["common_utils.abi3.so"]


def test_stub_covers_every_public_name(cu, package_dir):
    tree = ast.parse((package_dir / "common_utils.pyi").read_text(encoding="utf-8"))
    public = {n for n in vars(cu) if not n.startswith("_")} | {"__version__", "__author__"}
    assert sorted(public - stub_names(tree)) == []


def test_module_version_matches_distribution(cu):
    assert cu.__version__ == metadata.version("common_utils")


def test_reference_counts_are_handled_only_in_the_bridge():
    src = Path(__file__).resolve().parents[1] / "src"
    if not src.is_dir():
        pytest.skip("no source tree beside the tests")
    by_hand = re.compile(r"\bPy_(X?INCREF|X?DECREF|CLEAR|X?SETREF)\b")
    found = [
        "{}:{}".format(path.relative_to(src), n)
        for path in sorted(src.rglob("*.[ch]*"))
        if src / "bridge" not in path.parents
        for n, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1)
        if by_hand.search(line)
    ]
    assert found == []
