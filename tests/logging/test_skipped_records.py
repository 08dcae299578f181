"""A debug record below the logger's level is skipped without calling the
logger only while nothing could see the difference: a patched method or
level test, on the class or the instance, is still called."""
import logging

import pytest


@pytest.mark.parametrize("where", ["class", "instance"])
@pytest.mark.parametrize("name", ["debug", "isEnabledFor"])
def test_patched_logger_is_still_called(cu, monkeypatch, where, name):
    logger = cu.logger
    monkeypatch.setattr(logger, "level", logging.INFO)
    logger._cache.clear()
    logger.isEnabledFor(logging.DEBUG)  # the level cache now says no
    calls = []
    original = getattr(logging.Logger, name)

    def spy(self, *args, **kwargs):
        calls.append(args)
        return original(self, *args, **kwargs)

    if where == "class":
        monkeypatch.setattr(logging.Logger, name, spy)
    else:
        monkeypatch.setattr(logger, name, spy.__get__(logger))
    cache = cu.LRUCache(maxsize=1)
    cache.put(1, "a")
    cache.put(2, "b")  # evicts, with a debug line
    assert list(cache) == [2]
    expected = (logging.DEBUG,) if name == "isEnabledFor" else None
    assert any(args == expected or "cache clean" in str(args) for args in calls)


def test_logger_patched_before_import_is_still_called(run_python):
    # The first record is what teaches the module the logging module's own
    # methods; a patch already in place then must not pass for one of them.
    code = """if True:
        import logging
        calls = []
        original = logging.Logger.debug
        def spy(self, *args, **kwargs):
            calls.append(args)
            return original(self, *args, **kwargs)
        logging.Logger.debug = spy
        from common_utils import common_utils as cu
        cu.logger.setLevel(logging.INFO)
        cu.logger.isEnabledFor(logging.DEBUG)
        cache = cu.LRUCache(maxsize=1)
        cache.put(1, "a")
        cache.put(2, "b")
        print([a[0] for a in calls])
    """
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    assert "LRUCache cache clean" in done.stdout
