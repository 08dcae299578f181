"""Logger construction (get_logger, the platform-logger switch, logger_append_file,
get_file_logger) and the module's own debug records."""
import importlib.util
import io
import logging
import os
import pathlib
import re
import sys

import pytest

RECORD_FORMAT = "%(asctime)s - %(levelname)s - %(filename)s:%(lineno)d %(funcName)s() - %(message)s"
StrSub = type("StrSub", (str,), {})


def file_handlers(logger):
    return [h for h in logger.handlers if isinstance(h, logging.FileHandler)]


@pytest.fixture
def velox_package(tmp_path, monkeypatch, fresh):
    """Writes a package `velox` with the given __init__ text on sys.path and switches the platform on."""
    monkeypatch.delitem(sys.modules, "velox", raising=False)
    monkeypatch.setenv("TAVOLA_PLATFORM", "123")

    def write(init_text):
        (tmp_path / "site" / "velox").mkdir(parents=True)
        (tmp_path / "site" / "velox" / "__init__.py").write_text(init_text)
        monkeypatch.syspath_prepend(str(tmp_path / "site"))
    yield write
    sys.modules.pop("velox", None)


def test_get_logger_configures_once(cu, fresh, monkeypatch):
    monkeypatch.setattr(sys, "stdout", io.StringIO())  # where the handler made now writes
    name = fresh()
    logger = cu.get_logger(name)
    assert cu.get_logger(name) is logger is logging.getLogger("QRX_" + name)
    assert logger.level == logging.INFO and logger.propagate
    [handler] = logger.handlers
    assert type(handler) is logging.StreamHandler and handler.stream is sys.stdout
    assert handler.level == logging.NOTSET
    assert (handler.formatter._fmt, handler.formatter.datefmt) == (RECORD_FORMAT, None)
    configured = logging.getLogger("QRX_" + fresh())  # one that has a handler is left alone
    cu.logger_append_file(configured, "first.log")
    configured.setLevel(logging.ERROR)
    assert cu.get_logger(configured.name[4:]) is configured and configured.level == logging.ERROR
    [file_handler] = configured.handlers  # without a first handler, the standard formatter
    assert (file_handler.formatter._fmt, file_handler.formatter.datefmt) == (RECORD_FORMAT, None)


@pytest.mark.parametrize("init_text, probe", [(None, None), ("x = 1\n", None), ("logger = 0\n", 0)],
                         ids=["absent", "without-logger", "falsy-logger"])
def test_platform_package_unusable(cu, fresh, capsys, monkeypatch, velox_package, init_text, probe):
    for value in ["", "1234", " 123", "0123"]:  # the switch is off unless exactly "123"
        monkeypatch.setenv("TAVOLA_PLATFORM", value)
        assert cu._get_velox_logger() is None
    monkeypatch.setenv("TAVOLA_PLATFORM", "123")
    if init_text is not None:
        velox_package(init_text)
    elif importlib.util.find_spec("velox") is not None:
        pytest.skip("a velox package is installed")
    assert capsys.readouterr().err == ""
    for refused in [lambda: cu.get_logger(None), lambda: cu.get_file_logger(1, "x.log")]:
        with pytest.raises(TypeError):  # refused before the platform is probed
            refused()
    name = fresh()
    first = cu.get_logger(name)
    assert cu.get_logger(name) is first and first.name == "QRX_" + name
    assert cu._get_velox_logger() == probe
    if probe is None:  # three probes: none for the refused names
        assert capsys.readouterr().err == "velox not installed, use default logger\n" * 3


def test_platform_logger_is_used_for_every_name(cu, fresh, tmp_path, velox_package):
    velox_package("import logging\nlogger = logging.getLogger('platform-" + fresh() + "')\n")
    import velox

    assert cu._get_velox_logger() is velox.logger and cu.get_logger(fresh()) is velox.logger
    assert velox.logger.handlers == [] and velox.logger.level == logging.NOTSET
    assert cu.get_file_logger(fresh(), "platform.log") is velox.logger
    assert [h.baseFilename for h in file_handlers(velox.logger)] == [os.path.abspath("platform.log")]
    del sys.modules["velox"]
    (tmp_path / "site" / "velox" / "__init__.py").write_text("raise RuntimeError('broken')\n")
    with pytest.raises(RuntimeError, match="broken"):  # other import errors propagate
        cu.get_logger(fresh())


def test_append_file_once_per_absolute_path(cu, fresh, monkeypatch, log_records):
    out = io.StringIO()
    monkeypatch.setattr(sys, "stdout", out)
    logger = cu.get_logger(fresh())
    assert cu.logger_append_file(logger, "app.log") is logger
    console, handler = logger.handlers
    path = os.path.abspath("app.log")
    assert (type(handler), handler.baseFilename, handler.mode, handler.level) == (
        logging.FileHandler, path, "a", logging.NOTSET)
    # the first handler's own formatter object, not a fresh one
    assert handler.formatter is console.formatter and os.path.exists(path)
    assert cu.logger_append_file(logger, "./app.log") is logger and logger.handlers == [console, handler]
    warning = ("logging[%s] file handler already existed, skipped. ori handlers=%s new file=%s "
               % (logger, logger.handlers, path))
    assert re.fullmatch(r".* - WARNING - test_loggers\.py:\d+ test_append_file_once_per_absolute_path\(\)"
                        r" - " + re.escape(warning) + "\n", out.getvalue())
    assert log_records == []  # the module logger is not the one told


def test_append_file_on_hand_made_loggers(cu, fresh, tmp_path):
    (tmp_path / "real").mkdir()  # keyed on the unresolved absolute path
    os.symlink("real", "link")
    logger = logging.getLogger("QRX_" + fresh())
    cu.logger_append_file(logger, "real/x.log")
    cu.logger_append_file(logger, "link/x.log")
    assert len(file_handlers(logger)) == 2
    other = logging.getLogger("QRX_" + fresh())  # any FileHandler counts, subclasses too
    other.addHandler(type("Rotating", (logging.FileHandler,), {})(str(tmp_path / "x.log")))
    cu.logger_append_file(other, "x.log")
    assert len(other.handlers) == 1
    plain = logging.getLogger("QRX_" + fresh())  # a first handler without a formatter passes that on
    plain.addHandler(logging.StreamHandler(io.StringIO()))
    cu.logger_append_file(plain, "plain.log")
    assert plain.handlers[1].formatter is None
    missing = logging.getLogger("QRX_" + fresh())
    with pytest.raises(FileNotFoundError):
        cu.logger_append_file(missing, "missing/x.log")
    assert missing.handlers == [] and not (tmp_path / "missing").exists()
    with pytest.raises(AttributeError):
        cu.logger_append_file(None, "x.log")


def test_module_functions_are_read_at_call_time(cu, fresh, monkeypatch):
    sentinel, calls, target = object(), [], logging.getLogger("QRX_" + fresh())
    monkeypatch.setattr(cu, "_get_velox_logger", lambda: sentinel)
    assert cu.get_logger("anything") is sentinel
    monkeypatch.setattr(cu, "get_logger", lambda name: calls.append(("get", name)) or target)
    monkeypatch.setattr(cu, "logger_append_file", lambda lg, fn: calls.append(("append", lg, fn)) or "r")
    assert cu.get_file_logger("job", "job.log") == "r"
    assert calls == [("get", "job"), ("append", target, "job.log")]


# A Path would pass os.path.abspath, and a str subclass the concatenation: both are refused.
@pytest.mark.parametrize("call, message", [
    (lambda cu, lg: cu.get_logger(1), "get_logger() argument 'name' must be str, not int"),
    (lambda cu, lg: cu.get_logger(StrSub("a")), "get_logger() argument 'name' must be str, not StrSub"),
    (lambda cu, lg: cu.get_file_logger(1, "x.log"), "get_file_logger() argument 'name' must be str, not int"),
    (lambda cu, lg: cu.get_file_logger(lg.name[4:], pathlib.Path("x.log")),
     "logger_append_file() argument 'file_name' must be str, not PosixPath"),
])
def test_non_str_arguments(cu, fresh, call, message):
    logger = logging.getLogger("QRX_" + fresh())
    with pytest.raises(TypeError) as info:
        call(cu, logger)
    assert str(info.value) == message and file_handlers(logger) == []


# Python functions of the same shapes, for the interpreter's arity wording.
def get_logger(name): pass
def get_file_logger(name, file_name): pass
def _get_velox_logger(): pass
def set_logger_level(log_level=20): pass
def add_logger_file(file_name="./main.log"): pass


@pytest.mark.parametrize("name, args, kwargs", [
    ("get_logger", (), {}), ("get_logger", ("a", "b"), {}), ("get_logger", (), {"nam": "a"}),
    ("get_file_logger", ("a",), {}), ("get_file_logger", (), {"file_name": "f"}),
    ("_get_velox_logger", (1,), {}), ("_get_velox_logger", (1, 2), {"x": 1}), ("_get_velox_logger", (1, 2), {}),
    ("set_logger_level", (10, 20), {}), ("set_logger_level", (10,), {"log_level": 20}),
    ("add_logger_file", (), {"path": "a"}),
])
def test_arity_errors_match_the_interpreter(cu, name, args, kwargs):
    with pytest.raises(TypeError) as expected:
        globals()[name](*args, **kwargs)
    with pytest.raises(TypeError) as got:
        getattr(cu, name)(*args, **kwargs)
    # 3.13 appends a spelling suggestion that the module's messages do not make.
    assert str(got.value) == str(expected.value).split(". Did you mean")[0]


# ==== the module's own debug records ============================================
# A debug record below the logger's level is skipped without calling the
# logger only while nothing could see the difference.

CHILD = """
import logging
calls, original = [], logging.Logger.{name}
def spy(self, *args, **kwargs):
    calls.append(args)
    return original(self, *args, **kwargs)
{before}
import common_utils.common_utils as cu
cu.logger.setLevel(logging.INFO)
cache = cu.LRUCache(maxsize=1)
cache.put(0, "a"), cache.put(1, "b")  # the first record: the module learns the logging methods
cu.logger.isEnabledFor(logging.DEBUG)  # the level cache now says no
{after}
calls.clear()
cache.put(2, "c")  # evicts, with a debug line
print(calls)
"""


@pytest.mark.parametrize("name, where", [("debug", "class"), ("isEnabledFor", "class"), ("debug", "instance"),
                                         ("isEnabledFor", "instance"), ("debug", "before import")])
def test_patched_logger_is_still_called(run_python, name, where):
    patch = {"class": "logging.Logger.{} = spy", "instance": "cu.logger.{} = spy.__get__(cu.logger)"}
    before = patch["class"].format(name) if where == "before import" else ""
    done = run_python(CHILD.format(name=name, before=before, after=patch.get(where, "").format(name)))
    assert done.returncode == 0, done.stderr
    assert ("(10,)" if name == "isEnabledFor" else "LRUCache cache clean") in done.stdout
