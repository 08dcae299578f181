"""Logger construction (get_logger, the platform-logger switch, logger_append_file,
get_file_logger) and the module's own debug records."""
import io
import logging
import os
import re
import sys
import types

import pytest

RECORD_FORMAT = "%(asctime)s - %(levelname)s - %(filename)s:%(lineno)d %(funcName)s() - %(message)s"


def file_handlers(logger):
    return [h for h in logger.handlers if isinstance(h, logging.FileHandler)]


def test_get_logger_and_logger_append_file(cu, fresh, monkeypatch, tmp_path):
    monkeypatch.setattr(sys, "stdout", io.StringIO())  # where the handler made now writes
    name = fresh()
    logger = cu.get_logger(name)
    assert cu.get_logger(name) is logger is logging.getLogger("QRX_" + name)
    [console] = logger.handlers
    assert (logger.level, logger.propagate, type(console), console.stream, console.level) == (
        logging.INFO, True, logging.StreamHandler, sys.stdout, logging.NOTSET)
    configured = logging.getLogger("QRX_" + fresh())  # one that has a handler is left alone
    cu.logger_append_file(configured, "first.log")
    configured.setLevel(logging.ERROR)
    assert cu.get_logger(configured.name[4:]) is configured and configured.level == logging.ERROR
    for h in [console, *configured.handlers]:  # without a first handler, the standard formatter
        assert (h.formatter._fmt, h.formatter.datefmt) == (RECORD_FORMAT, None)
    assert cu.logger_append_file(logger, "app.log") is logger
    handler, path = logger.handlers[1], os.path.abspath("app.log")
    # the first handler's own formatter object, not a fresh one
    assert (type(handler), handler.baseFilename, handler.mode, handler.level, handler.formatter) == (
        logging.FileHandler, path, "a", logging.NOTSET, console.formatter) and os.path.exists(path)
    assert cu.logger_append_file(logger, "./app.log") is logger and logger.handlers == [console, handler]
    warning = ("logging[%s] file handler already existed, skipped. ori handlers=%s new file=%s "
               % (logger, logger.handlers, path))
    # told by the logger extended, not the module logger (whose handler holds the stdout of the import)
    assert re.fullmatch(r".* - WARNING - test_loggers\.py:\d+ test_get_logger_and_logger_append_file\(\) - "
                        + re.escape(warning) + "\n", sys.stdout.getvalue())
    # hand-made loggers
    (tmp_path / "real").mkdir()  # keyed on the unresolved absolute path
    os.symlink("real", "link")
    logger, other, plain = (logging.getLogger("QRX_" + fresh()) for _ in range(3))
    cu.logger_append_file(logger, "real/x.log"), cu.logger_append_file(logger, "link/x.log")
    other.addHandler(type("Rotating", (logging.FileHandler,), {})(str(tmp_path / "x.log")))
    cu.logger_append_file(other, "x.log")  # any FileHandler counts, subclasses too
    plain.addHandler(logging.StreamHandler(io.StringIO()))
    cu.logger_append_file(plain, "plain.log")  # a first handler without a formatter passes that on
    assert (len(file_handlers(logger)), len(other.handlers), plain.handlers[1].formatter) == (2, 1, None)
    with pytest.raises(AttributeError):
        cu.logger_append_file(None, "x.log")
    # the module's functions are read at call time
    calls = []
    monkeypatch.setattr(cu, "_get_velox_logger", lambda: "platform")
    assert cu.get_logger("anything") == "platform"
    monkeypatch.setattr(cu, "get_logger", lambda name: calls.append(name) or "lg")
    monkeypatch.setattr(cu, "logger_append_file", lambda lg, fn: calls.append((lg, fn)) or "r")
    assert cu.get_file_logger("job", "job.log") == "r" and calls == ["job", ("lg", "job.log")]


def boom(name):
    raise RuntimeError("broken")


# The platform module as imported (None: not installed), and the logger it gives.
@pytest.mark.parametrize("attrs, probe", [(None, None), ({}, None), ({"logger": 0}, 0),
                                          ({"logger": logging.getLogger("pf")}, logging.getLogger("pf"))])
def test_platform_logger(cu, fresh, capsys, monkeypatch, attrs, probe):
    for value in ["", "1234", " 123", "0123"]:  # the switch is off unless exactly "123"
        monkeypatch.setenv("TAVOLA_PLATFORM", value)
        assert cu._get_velox_logger() is None
    monkeypatch.setenv("TAVOLA_PLATFORM", "123")
    velox = types.ModuleType("velox")
    vars(velox).update(attrs or {})
    monkeypatch.setitem(sys.modules, "velox", None if attrs is None else velox)
    with pytest.raises(TypeError):  # refused before the platform is probed
        cu.get_file_logger(1, "x.log")
    name = fresh()
    first = cu.get_logger(name)
    if probe:
        assert first is cu._get_velox_logger() is cu.get_file_logger(name, "pf.log") is probe
        assert (first.handlers, first.level) == (file_handlers(first), logging.NOTSET)
        assert [h.baseFilename for h in first.handlers] == [os.path.abspath("pf.log")]
        del velox.logger
        velox.__path__, velox.__getattr__ = [], boom  # a package whose import fails
        with pytest.raises(RuntimeError, match="broken"):  # errors other than ImportError propagate
            cu.get_logger(name)
        return
    assert cu.get_logger(name) is first and first.name == "QRX_" + name
    assert cu._get_velox_logger() == probe
    if probe is None:  # three probes: none for the refused name
        assert capsys.readouterr().err == "velox not installed, use default logger\n" * 3


# ==== the module's own debug records ============================================
# Below the logger's level a debug record is skipped without calling the logger
# only while nothing could see the difference: a change made during the first
# loop item shows from the next item on.

def spy(c, method=False):
    return lambda *a: c.seen.append(a[method] % a[method + 1:])


SAYS_YES = type("SaysYes", (dict,), {"__getitem__": lambda self, key: True})
# c: lg (the module logger), mp, seen, other (a logger at DEBUG), cu; whether the records show.  Instance
# attributes go through vars(): undoing monkeypatch.setattr would leave the old bound method there.
CHANGES = {
    "none": (lambda c: None, False),
    "level set": (lambda c: c.lg.setLevel(logging.DEBUG), True),
    "level cache entry set": (lambda c: c.lg._cache.update({logging.DEBUG: True}), True),
    "level cache entry moved": (lambda c: c.lg._cache.update({10: c.lg._cache.pop(10)}), False),
    "level cache replaced": (lambda c: c.mp.setattr(c.lg, "_cache", SAYS_YES(c.lg._cache)), True),
    "debug on the instance": (lambda c: c.mp.setitem(vars(c.lg), "debug", spy(c)), True),
    "debug on the class": (lambda c: c.mp.setattr(logging.Logger, "debug", spy(c, True)), True),
    "isEnabledFor on the instance": (lambda c: c.mp.setitem(vars(c.lg), "isEnabledFor", bool), True),
    "isEnabledFor on the class": (
        lambda c: c.mp.setattr(logging.Logger, "isEnabledFor", lambda s, v: 1), True),
    "a Logger subclass": (lambda c: c.mp.setattr(c.lg, "__class__", type("Sub", (logging.Logger,), {
        "debug": spy(c, True)})), True),
    "another logger, bound anew": (lambda c: (c.mp.delattr(c.cu, "logger"),
                                              c.mp.setattr(c.cu, "logger", c.other, raising=False)), True),
}


@pytest.mark.parametrize("change", CHANGES)
def test_a_change_to_the_logger_shows_at_the_next_item(cu, fresh, monkeypatch, change):
    make_change, shows = CHANGES[change]
    c = types.SimpleNamespace(lg=cu.logger, mp=monkeypatch, seen=[], cu=cu,
                              other=logging.getLogger("QRX_" + fresh()))
    handler = logging.Handler()
    handler.emit = lambda record: c.seen.append(record.getMessage())
    for lg, level in [(c.lg, logging.INFO), (c.other, logging.DEBUG)]:
        lg.setLevel(level), lg.addHandler(handler), lg.isEnabledFor(logging.DEBUG)
    body = lambda x, **kwargs: make_change(c) if x == 0 else x  # noqa: E731
    cu.SimpleLooper(processors=body, ready=True, name="p").process([0, 1, 2])
    monkeypatch.undo()
    shown = [m[:11] for m in c.seen if m.startswith("Looper 'p[")]
    assert shown == (["Looper 'p[1", "Looper 'p[2"] if shows else [])


CHILD = """import logging
calls, original = [], logging.Logger.{0}
logging.Logger.{0} = lambda self, *args, **kwargs: calls.append(args) or original(self, *args, **kwargs)
import common_utils.common_utils as cu
cu.logger.setLevel(logging.INFO)
cache = cu.LRUCache(maxsize=1)
cache.put(0, "a"), cu.logger.isEnabledFor(logging.DEBUG), calls.clear()
cache.put(1, "b")  # evicts, with a debug line
print(calls)"""


@pytest.mark.parametrize("name, shown", [("debug", "LRUCache cache clean"), ("isEnabledFor", "(10,)")])
def test_logger_patched_before_import_is_still_called(run_python, name, shown):
    done = run_python(CHILD.format(name))
    assert done.returncode == 0 and shown in done.stdout, done.stderr
