"""The installed package: file layout, version, reference counting left to the bridge."""
import re
from importlib import metadata
from pathlib import Path

import pytest


def test_one_abi3_library_beside_its_stub_and_version(cu):
    package_dir = Path(cu.__file__).parent
    assert all((package_dir / name).is_file() for name in ("__init__.py", "py.typed", "common_utils.pyi"))
    # One build serves every interpreter: no version-tagged copies beside it.
    assert [p.name for p in package_dir.glob("*.so")] == ["common_utils.abi3.so"] == [Path(cu.__file__).name]
    assert cu.__version__ == metadata.version("common_utils")


def test_reference_counts_are_handled_only_in_the_bridge():
    src = Path(__file__).resolve().parents[1] / "src"
    if not src.is_dir():
        pytest.skip("no source tree beside the tests")
    by_hand = re.compile(r"\bPy_(X?INCREF|X?DECREF|CLEAR|X?SETREF)\b")
    found = ["{}:{}".format(path.relative_to(src), n)
             for path in sorted(src.rglob("*.[ch]*")) if src / "bridge" not in path.parents
             for n, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1)
             if by_hand.search(line)]
    assert found == []
