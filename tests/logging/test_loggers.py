"""Logger construction: get_logger, the platform-logger switch,
logger_append_file and get_file_logger; plus a leak check of every logging
entry point."""

import importlib.util
import io
import json
import logging
import os
import pathlib
import re
import subprocess
import sys
import uuid

import pytest

RECORD_FORMAT = "%(asctime)s - %(levelname)s - %(filename)s:%(lineno)d %(funcName)s() - %(message)s"


class StrSub(str):
    pass


@pytest.fixture
def new_name(cu):
    """Unique logger names; the handlers of their "QRX_" loggers are removed
    and closed afterwards (the loggers themselves stay registered)."""
    made = []

    def make():
        made.append("t" + uuid.uuid4().hex[:12])
        return made[-1]

    yield make
    for name in made:
        logger = logging.getLogger("QRX_" + name)
        for handler in list(logger.handlers):
            logger.removeHandler(handler)
            handler.close()


@pytest.fixture
def stdout_buffer(monkeypatch):
    """Call it in the test body (the capture plugin re-installs its own
    sys.stdout when the call phase starts): a fresh sys.stdout, so console
    handlers made afterwards write there."""
    monkeypatch.delenv("TAVOLA_PLATFORM", raising=False)

    def redirect():
        out = io.StringIO()
        monkeypatch.setattr(sys, "stdout", out)
        return out

    return redirect


@pytest.fixture
def velox_package(tmp_path, monkeypatch):
    """Writes a package `velox` with the given __init__ text on sys.path and
    switches the platform on."""
    monkeypatch.delitem(sys.modules, "velox", raising=False)
    monkeypatch.setenv("TAVOLA_PLATFORM", "123")

    def write(init_text):
        root = tmp_path / "site"
        (root / "velox").mkdir(parents=True)
        (root / "velox" / "__init__.py").write_text(init_text)
        monkeypatch.syspath_prepend(str(root))

    yield write
    platform_logger = getattr(sys.modules.pop("velox", None), "logger", None)
    if isinstance(platform_logger, logging.Logger):
        for handler in list(platform_logger.handlers):
            platform_logger.removeHandler(handler)
            handler.close()


def file_handlers(logger):
    return [h for h in logger.handlers if isinstance(h, logging.FileHandler)]


# ==== get_logger ================================================================

def test_get_logger_configures_once(cu, new_name, tmp_path, stdout_buffer):
    console = stdout_buffer()
    name = new_name()
    logger = cu.get_logger(name)
    assert cu.get_logger(name) is logger is logging.getLogger("QRX_" + name)
    assert logging.getLogger(name) is not logger
    assert logger.level == logging.INFO and logger.propagate
    [handler] = logger.handlers
    assert type(handler) is logging.StreamHandler
    assert handler.stream is console and handler.level == logging.NOTSET
    assert handler.formatter._fmt == RECORD_FORMAT and handler.formatter.datefmt is None
    logger.info("hello %s", "there")
    logger.debug("not shown")
    assert re.fullmatch(
        r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} - INFO - test_loggers\.py:\d+ "
        r"test_get_logger_configures_once\(\) - hello there\n", console.getvalue())
    # a logger that already has a handler is left alone
    configured = logging.getLogger("QRX_" + new_name())
    cu.logger_append_file(configured, str(tmp_path / "first.log"))
    configured.setLevel(logging.ERROR)
    assert cu.get_logger(configured.name[4:]) is configured
    assert [type(h) for h in configured.handlers] == [logging.FileHandler]
    assert configured.level == logging.ERROR


# ==== platform switch ===========================================================

@pytest.mark.parametrize("value", [None, "", "1234", " 123", "123 ", "0123"])
def test_platform_switch_off(cu, new_name, monkeypatch, capsys, value):
    monkeypatch.delenv("TAVOLA_PLATFORM", raising=False)
    if value is not None:
        monkeypatch.setenv("TAVOLA_PLATFORM", value)
    assert cu._get_velox_logger() is None
    assert cu.get_logger(new_name()).name.startswith("QRX_")
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("init_text, probe", [(None, None), ("x = 1\n", None), ("logger = 0\n", 0)],
                         ids=["absent", "without-logger", "falsy-logger"])
def test_platform_package_unusable(cu, new_name, capsys, velox_package, init_text, probe):
    if init_text is not None:
        velox_package(init_text)
    elif importlib.util.find_spec("velox") is not None:
        pytest.skip("a velox package is installed")
    name = new_name()
    first = cu.get_logger(name)
    assert cu.get_logger(name) is first and first.name == "QRX_" + name
    assert cu._get_velox_logger() == probe
    if probe is None:
        assert capsys.readouterr().err == "velox not installed, use default logger\n" * 3


def test_platform_logger_is_used_for_every_name(cu, new_name, tmp_path, velox_package):
    velox_package("import logging\nlogger = logging.getLogger('platform-" + new_name() + "')\n")
    import velox

    assert cu._get_velox_logger() is velox.logger
    assert cu.get_logger(new_name()) is velox.logger
    assert cu.get_logger(new_name()) is velox.logger
    assert velox.logger.handlers == [] and velox.logger.level == logging.NOTSET
    path = str(tmp_path / "platform.log")
    assert cu.get_file_logger(new_name(), path) is velox.logger
    assert [h.baseFilename for h in file_handlers(velox.logger)] == [path]


def test_other_platform_import_errors_propagate(cu, new_name, velox_package):
    velox_package("raise RuntimeError('broken platform')\n")
    with pytest.raises(RuntimeError, match="broken platform"):
        cu.get_logger(new_name())


# ==== logger_append_file ========================================================

def test_append_file_once_per_absolute_path(cu, new_name, tmp_path, monkeypatch, stdout_buffer,
                                            log_records):
    out = stdout_buffer()
    monkeypatch.chdir(tmp_path)
    logger = cu.get_logger(new_name())
    assert cu.logger_append_file(logger, "app.log") is logger
    console, handler = logger.handlers
    path = os.path.abspath("app.log")
    assert type(handler) is logging.FileHandler and handler.baseFilename == path
    assert handler.mode == "a" and handler.level == logging.NOTSET
    assert handler.formatter is console.formatter and os.path.exists(path)

    assert cu.logger_append_file(logger, "./app.log") is logger
    assert logger.handlers == [console, handler]
    warning = ("logging[%s] file handler already existed, skipped. ori handlers=%s new file=%s "
               % (logger, logger.handlers, path))
    assert re.fullmatch(
        r".* - WARNING - test_loggers\.py:\d+ test_append_file_once_per_absolute_path\(\) - "
        + re.escape(warning) + "\n", out.getvalue())
    handler.flush()
    with open(path) as f:
        assert f.read().endswith(" - " + warning + "\n")
    assert log_records == []  # the module logger is not the one told


def test_append_file_keys_on_the_unresolved_path_and_any_file_handler(cu, new_name, tmp_path):
    (tmp_path / "real").mkdir()
    os.symlink(str(tmp_path / "real"), str(tmp_path / "link"))
    logger = logging.getLogger("QRX_" + new_name())
    cu.logger_append_file(logger, str(tmp_path / "real" / "x.log"))
    cu.logger_append_file(logger, str(tmp_path / "link" / "x.log"))
    assert len(file_handlers(logger)) == 2

    other = logging.getLogger("QRX_" + new_name())
    path = str(tmp_path / "x.log")
    other.addHandler(type("Rotating", (logging.FileHandler,), {})(path))
    cu.logger_append_file(other, path)
    assert len(other.handlers) == 1


def test_append_file_formatter_source(cu, new_name, tmp_path):
    bare = logging.getLogger("QRX_" + new_name())
    cu.logger_append_file(bare, str(tmp_path / "bare.log"))
    made = bare.handlers[0].formatter
    assert made._fmt == RECORD_FORMAT and made.datefmt is None

    plain = logging.getLogger("QRX_" + new_name())
    plain.addHandler(logging.StreamHandler(io.StringIO()))  # no formatter
    cu.logger_append_file(plain, str(tmp_path / "plain.log"))
    assert plain.handlers[1].formatter is None
    plain.propagate = False
    plain.warning("only the %s", "message")
    plain.handlers[1].flush()
    assert (tmp_path / "plain.log").read_text() == "only the message\n"

    custom = logging.getLogger("QRX_" + new_name())
    first = logging.NullHandler()
    first.setFormatter(logging.Formatter("%(message)s!"))
    custom.addHandler(first)
    cu.logger_append_file(custom, str(tmp_path / "custom.log"))
    assert custom.handlers[1].formatter is first.formatter


def test_append_file_errors(cu, new_name, tmp_path):
    logger = logging.getLogger("QRX_" + new_name())
    with pytest.raises(FileNotFoundError):
        cu.logger_append_file(logger, str(tmp_path / "missing" / "x.log"))
    assert logger.handlers == [] and not (tmp_path / "missing").exists()
    with pytest.raises(AttributeError):
        cu.logger_append_file(None, "x.log")


# ==== get_file_logger ===========================================================

def test_get_file_logger(cu, new_name, tmp_path, stdout_buffer):
    stdout_buffer()
    name = new_name()
    path = str(tmp_path / "job.log")
    logger = cu.get_file_logger(name, path)
    assert logger is cu.get_logger(name)
    assert [type(h) for h in logger.handlers] == [logging.StreamHandler, logging.FileHandler]
    assert cu.get_file_logger(name=name, file_name=path) is logger
    assert len(logger.handlers) == 2


def test_module_functions_are_read_at_call_time(cu, new_name, monkeypatch):
    sentinel = object()
    monkeypatch.setattr(cu, "_get_velox_logger", lambda: sentinel)
    assert cu.get_logger("anything") is sentinel
    target = logging.getLogger("QRX_" + new_name())
    calls = []
    monkeypatch.setattr(cu, "get_logger", lambda name: calls.append(("get", name)) or target)
    monkeypatch.setattr(cu, "logger_append_file",
                        lambda lg, fn: calls.append(("append", lg, fn)) or "result")
    assert cu.get_file_logger("job", "job.log") == "result"
    assert calls == [("get", "job"), ("append", target, "job.log")]


# ==== argument errors ===========================================================

@pytest.mark.parametrize("call, message", [
    (lambda cu, lg: cu.get_logger(1), "get_logger() argument 'name' must be str, not int"),
    (lambda cu, lg: cu.get_logger(None), "get_logger() argument 'name' must be str, not NoneType"),
    (lambda cu, lg: cu.get_logger(StrSub("a")),
     "get_logger() argument 'name' must be str, not StrSub"),
    (lambda cu, lg: cu.get_logger(name=b"a"), "get_logger() argument 'name' must be str, not bytes"),
    (lambda cu, lg: cu.logger_append_file(lg, pathlib.Path("x.log")),
     "logger_append_file() argument 'file_name' must be str, not PosixPath"),
    (lambda cu, lg: cu.logger_append_file(lg, StrSub("x.log")),
     "logger_append_file() argument 'file_name' must be str, not StrSub"),
    (lambda cu, lg: cu.get_file_logger(1, "x.log"),
     "get_file_logger() argument 'name' must be str, not int"),
    (lambda cu, lg: cu.get_file_logger(lg.name[4:], pathlib.Path("x.log")),
     "logger_append_file() argument 'file_name' must be str, not PosixPath"),
])
def test_non_str_arguments(cu, new_name, stdout_buffer, call, message):
    stdout_buffer()
    logger = logging.getLogger("QRX_" + new_name())
    with pytest.raises(TypeError) as info:
        call(cu, logger)
    assert str(info.value) == message
    assert file_handlers(logger) == []


@pytest.mark.parametrize("call", [lambda cu: cu.get_logger(None),
                                  lambda cu: cu.get_file_logger(1, "x.log")])
def test_name_is_checked_before_the_platform_probe(cu, monkeypatch, capsys, call):
    monkeypatch.setenv("TAVOLA_PLATFORM", "123")
    monkeypatch.setitem(sys.modules, "velox", None)  # importing it fails
    with pytest.raises(TypeError):
        call(cu)
    assert capsys.readouterr().err == ""


# Python functions of the same shapes: the native ones must word arity
# errors exactly as the interpreter does for these.
def get_logger(name): pass
def logger_append_file(logger, file_name): pass
def get_file_logger(name, file_name): pass
def _get_velox_logger(): pass


@pytest.mark.parametrize("name, args, kwargs", [
    ("get_logger", (), {}), ("get_logger", ("a", "b"), {}), ("get_logger", (), {"nam": "a"}),
    ("get_logger", ("a",), {"name": "b"}), ("logger_append_file", (), {}),
    ("logger_append_file", ("L",), {}), ("logger_append_file", ("L", "f", "g"), {}),
    ("logger_append_file", ("L",), {"file": "f"}), ("get_file_logger", ("a",), {}),
    ("get_file_logger", (), {"file_name": "f"}), ("get_file_logger", ("a", "f"), {"extra": 1}),
    ("_get_velox_logger", (1,), {}), ("_get_velox_logger", (), {"x": 1}),
])
def test_arity_errors_match_the_interpreter(cu, name, args, kwargs):
    with pytest.raises(TypeError) as expected:
        globals()[name](*args, **kwargs)
    with pytest.raises(TypeError) as got:
        getattr(cu, name)(*args, **kwargs)
    # 3.13 appends a spelling suggestion ("... Did you mean 'name'?") that
    # the module's messages do not make.
    assert str(got.value) == str(expected.value).split(". Did you mean")[0]


def test_annotations(cu):
    assert cu.get_logger.__annotations__ == {"name": "str", "return": "logging.Logger"}
    assert cu.logger_append_file.__annotations__ == {
        "logger": "logging.Logger", "file_name": "str", "return": "logging.Logger"}
    assert cu.get_file_logger.__annotations__ == {"name": "str", "return": "logging.Logger"}
    assert cu._get_velox_logger.__annotations__ == {}


# ==== leaks =====================================================================

LEAK_CHILD = r"""
import gc, json, logging, os, sys, tracemalloc
sys.stdout = sys.stderr = open(os.devnull, "w")
os.environ.pop("TAVOLA_PLATFORM", None)
import common_utils.common_utils as cu

which, count = sys.argv[1], int(sys.argv[2])
name, sink = "leak", os.devnull
logger = cu.get_logger(name)
cu.logger_append_file(logger, sink)
cu.add_logger_file(sink)  # every "QRX_" logger now holds the sink once
family = [logging.getLogger(n) for n in list(logging.root.manager.loggerDict)
          if n.startswith("QRX_")]
for member in family:  # records are still made, but nothing is written
    for handler in member.handlers:
        handler.setLevel(logging.CRITICAL + 1)

def expect(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(fn)

calls = {
    "calls": lambda: (cu.get_compile_version(), cu._get_velox_logger(), cu.get_logger(name),
                      cu.logger_append_file(logger, sink),
                      cu.get_file_logger(name=name, file_name=sink),
                      cu.set_logger_level("INFO"), cu.add_logger_file(sink)),
    "velox_absent": lambda: cu.get_logger(name),
    "velox_without_logger": lambda: cu.get_logger(name),
    "errors": lambda: (expect(TypeError, cu.get_logger, 1),
                       expect(TypeError, cu.logger_append_file, logger, b"x"),
                       expect(TypeError, cu.get_file_logger, "a"),
                       expect(TypeError, cu.set_logger_level, 1, 2),
                       expect(TypeError, cu.add_logger_file, x=1),
                       expect(TypeError, cu.get_compile_version, 1),
                       expect(ValueError, cu.set_logger_level, "NO_SUCH_LEVEL"),
                       expect(FileNotFoundError, cu.logger_append_file, logger,
                              "/nonexistent-dir/x.log")),
}
fn = calls[which]
if which.startswith("velox"):
    os.environ["TAVOLA_PLATFORM"] = "123"
    # Stand-ins that fail at once, without a search of sys.path on each call.
    sys.modules["velox"] = None if which == "velox_absent" else type(sys)("velox")
watched = [logger, cu.logger, name, sink, None, True, False]

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

for _ in range(2000):
    fn()
gc.collect()
refs0 = [sys.getrefcount(o) for o in watched]
traced0, rss0 = tracemalloc.get_traced_memory()[0], rss()
for _ in range(count):
    fn()
gc.collect()
traced1, rss1 = tracemalloc.get_traced_memory()[0], rss()
refs1 = [sys.getrefcount(o) for o in watched]
handlers = sum(len(member.handlers) for member in family)
print(json.dumps({"traced": traced1 - traced0, "rss": rss1 - rss0,
                  "refs": [b - a for a, b in zip(refs0, refs1)], "handlers": handlers}),
      file=sys.__stdout__)
"""


@pytest.mark.parametrize("which", ["calls", "velox_absent", "velox_without_logger", "errors"])
@pytest.mark.process_memory
def test_repeated_calls_do_not_leak(tmp_path, which):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONTRACEMALLOC"}
    proc = subprocess.run([sys.executable, "-c", LEAK_CHILD, which, "100000"],
                          cwd=str(tmp_path), env=env, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout)
    # A leak of one small object per call would be several megabytes here.
    assert result["traced"] < 256 * 1024, result
    assert result["rss"] < 2 * 1024 * 1024, result
    assert all(abs(d) < 100 for d in result["refs"]), result
    assert result["handlers"] == 5, result  # 3 sinks and 2 consoles: nothing piled up
