import importlib
import sys
import textwrap

import pytest

# Loop bodies that other processes must import by name: a module of their
# own on sys.path, which forked and spawned workers alike can import (test
# modules are imported under names only this process knows).
BODIES = textwrap.dedent('''
    import threading
    import time

    from common_utils import common_utils as cu

    calls = []
    calls_lock = threading.Lock()

    def double(x, **kwargs):
        return 2 * x

    def inc(x, **kwargs):
        return x + 1

    def positive(x, **kwargs):
        return x > 0

    def upto(x, **kwargs):
        return range(x)

    def counted(x, **kwargs):
        with calls_lock:
            calls.append(x)
        if x == 0:
            raise ValueError("bad item 0")
        time.sleep(0.01)
        return x

    def fails_at_500(x, **kwargs):
        if x == 500:
            raise ValueError("bad item %s" % x)
        return x

    @cu.FunctionSelector
    def is_even(x, **kwargs):
        return x % 2 == 0

    @cu.FunctionLooper
    def digits(x, **kwargs):
        return [int(c) for c in str(x)]

    class Scaled(cu.Processor):
        """A Python subclass of a pipeline, with an attribute of its own."""

        def __init__(self, *args, factor=3, **kwargs):
            super().__init__(*args, **kwargs)
            self.factor = factor

        def process(self, *args, **kwargs):
            return self.factor * super().process(*args, **kwargs)

    class Counting(cu.LoopProcessor):
        """A Python subclass of the loop processor."""

        runs = 0

        def process(self, *args, **kwargs):
            type(self).runs += 1
            return super().process(*args, **kwargs)
''')


@pytest.fixture(scope="session")
def bodies(tmp_path_factory):
    where = tmp_path_factory.mktemp("bodies")
    (where / "cu_loop_bodies.py").write_text(BODIES)
    sys.path.insert(0, str(where))
    try:
        yield importlib.import_module("cu_loop_bodies")
    finally:
        sys.path.remove(str(where))
        sys.modules.pop("cu_loop_bodies", None)
