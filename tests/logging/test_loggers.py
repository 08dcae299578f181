"""Logger construction (get_logger, the platform-logger switch,
logger_append_file, get_file_logger) and the module's own debug records."""
import importlib.util
import io
import logging
import os
import pathlib
import re
import sys
import uuid

import pytest

RECORD_FORMAT = "%(asctime)s - %(levelname)s - %(filename)s:%(lineno)d %(funcName)s() - %(message)s"
StrSub = type("StrSub", (str,), {})


def close_handlers(logger):
    for handler in list(logger.handlers):
        logger.removeHandler(handler)
        handler.close()


def file_handlers(logger):
    return [h for h in logger.handlers if isinstance(h, logging.FileHandler)]


@pytest.fixture
def new_name(cu):
    """Unique logger names; the handlers of their "QRX_" loggers are closed afterwards."""
    made = []
    yield lambda: made.append("t" + uuid.uuid4().hex[:12]) or made[-1]
    for name in made:
        close_handlers(logging.getLogger("QRX_" + name))


@pytest.fixture
def stdout_buffer(monkeypatch):
    """Call it in the test body (the capture plugin re-installs its own sys.stdout
    when the call phase starts): console handlers made afterwards write there."""
    monkeypatch.delenv("TAVOLA_PLATFORM", raising=False)
    return lambda: monkeypatch.setattr(sys, "stdout", io.StringIO()) or sys.stdout


@pytest.fixture
def velox_package(tmp_path, monkeypatch):
    """Writes a package `velox` with the given __init__ text on sys.path and
    switches the platform on."""
    monkeypatch.delitem(sys.modules, "velox", raising=False)
    monkeypatch.setenv("TAVOLA_PLATFORM", "123")

    def write(init_text):
        (tmp_path / "site" / "velox").mkdir(parents=True)
        (tmp_path / "site" / "velox" / "__init__.py").write_text(init_text)
        monkeypatch.syspath_prepend(str(tmp_path / "site"))

    yield write
    platform_logger = getattr(sys.modules.pop("velox", None), "logger", None)
    if isinstance(platform_logger, logging.Logger):
        close_handlers(platform_logger)


def test_get_logger_configures_once(cu, new_name, tmp_path, stdout_buffer):
    console = stdout_buffer()
    name = new_name()
    logger = cu.get_logger(name)
    assert cu.get_logger(name) is logger is logging.getLogger("QRX_" + name)
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
    [file_handler] = configured.handlers
    assert type(file_handler) is logging.FileHandler and configured.level == logging.ERROR
    # logger_append_file on a logger without handlers makes the standard formatter
    assert file_handler.formatter._fmt == RECORD_FORMAT and file_handler.formatter.datefmt is None


def test_platform_switch_off(cu, new_name, monkeypatch, capsys):
    for value in [None, "", "1234", " 123", "123 ", "0123"]:
        monkeypatch.delenv("TAVOLA_PLATFORM", raising=False)
        if value is not None:
            monkeypatch.setenv("TAVOLA_PLATFORM", value)
        assert cu._get_velox_logger() is None, value
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
    for bad_name in [lambda: cu.get_logger(None), lambda: cu.get_file_logger(1, "x.log")]:
        with pytest.raises(TypeError):  # refused before the platform is probed
            bad_name()
    first = cu.get_logger(name)
    assert cu.get_logger(name) is first and first.name == "QRX_" + name
    assert cu._get_velox_logger() == probe
    if probe is None:  # three probes: none for the refused names
        assert capsys.readouterr().err == "velox not installed, use default logger\n" * 3


def test_platform_logger_is_used_for_every_name(cu, new_name, tmp_path, velox_package):
    velox_package("import logging\nlogger = logging.getLogger('platform-" + new_name() + "')\n")
    import velox

    assert cu._get_velox_logger() is velox.logger
    assert cu.get_logger(new_name()) is velox.logger
    assert velox.logger.handlers == [] and velox.logger.level == logging.NOTSET
    path = str(tmp_path / "platform.log")
    assert cu.get_file_logger(new_name(), path) is velox.logger
    assert [h.baseFilename for h in file_handlers(velox.logger)] == [path]
    del sys.modules["velox"]
    (tmp_path / "site" / "velox" / "__init__.py").write_text("raise RuntimeError('broken')\n")
    with pytest.raises(RuntimeError, match="broken"):  # other import errors propagate
        cu.get_logger(new_name())


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
    # the first handler's own formatter object, not a fresh one
    assert handler.formatter is console.formatter and os.path.exists(path)
    assert cu.logger_append_file(logger, "./app.log") is logger
    assert logger.handlers == [console, handler]
    warning = ("logging[%s] file handler already existed, skipped. ori handlers=%s new file=%s "
               % (logger, logger.handlers, path))
    assert re.fullmatch(
        r".* - WARNING - test_loggers\.py:\d+ test_append_file_once_per_absolute_path\(\) - "
        + re.escape(warning) + "\n", out.getvalue())
    assert log_records == []  # the module logger is not the one told


def test_append_file_on_hand_made_loggers(cu, new_name, tmp_path):
    (tmp_path / "real").mkdir()  # keyed on the unresolved absolute path
    os.symlink(str(tmp_path / "real"), str(tmp_path / "link"))
    logger = logging.getLogger("QRX_" + new_name())
    cu.logger_append_file(logger, str(tmp_path / "real" / "x.log"))
    cu.logger_append_file(logger, str(tmp_path / "link" / "x.log"))
    assert len(file_handlers(logger)) == 2
    other = logging.getLogger("QRX_" + new_name())  # any FileHandler counts, subclasses too
    path = str(tmp_path / "x.log")
    other.addHandler(type("Rotating", (logging.FileHandler,), {})(path))
    cu.logger_append_file(other, path)
    assert len(other.handlers) == 1
    # a first handler without a formatter passes that on: none is made up
    plain = logging.getLogger("QRX_" + new_name())
    plain.addHandler(logging.StreamHandler(io.StringIO()))
    cu.logger_append_file(plain, str(tmp_path / "plain.log"))
    assert plain.handlers[1].formatter is None
    missing = logging.getLogger("QRX_" + new_name())
    with pytest.raises(FileNotFoundError):
        cu.logger_append_file(missing, str(tmp_path / "missing" / "x.log"))
    assert missing.handlers == [] and not (tmp_path / "missing").exists()
    with pytest.raises(AttributeError):
        cu.logger_append_file(None, "x.log")


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


# A Path would pass os.path.abspath, and a str subclass the concatenation:
# both must still be refused.
@pytest.mark.parametrize("call, message", [
    (lambda cu, lg: cu.get_logger(1), "get_logger() argument 'name' must be str, not int"),
    (lambda cu, lg: cu.get_logger(StrSub("a")),
     "get_logger() argument 'name' must be str, not StrSub"),
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
    assert str(info.value) == message and file_handlers(logger) == []


# Python functions of the same shapes, for the interpreter's arity wording.
def get_logger(name): pass
def get_file_logger(name, file_name): pass
def _get_velox_logger(): pass
def set_logger_level(log_level=20): pass
def add_logger_file(file_name="./main.log"): pass


def test_arity_errors_match_the_interpreter(cu):
    for name, args, kwargs in [
        ("get_logger", (), {}), ("get_logger", ("a", "b"), {}), ("get_logger", (), {"nam": "a"}),
        ("get_file_logger", ("a",), {}), ("get_file_logger", (), {"file_name": "f"}),
        ("_get_velox_logger", (1,), {}), ("_get_velox_logger", (), {"x": 1}),
        ("set_logger_level", (10, 20), {}), ("set_logger_level", (10,), {"log_level": 20}),
        ("add_logger_file", (), {"path": "a"}),
    ]:
        with pytest.raises(TypeError) as expected:
            globals()[name](*args, **kwargs)
        with pytest.raises(TypeError) as got:
            getattr(cu, name)(*args, **kwargs)
        # 3.13 appends a spelling suggestion that the module's messages do not make.
        assert str(got.value) == str(expected.value).split(". Did you mean")[0]


# ==== the module's own debug records ============================================
# A debug record below the logger's level is skipped without calling the
# logger only while nothing could see the difference.

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
    # The first record teaches the module the logging module's own methods; a
    # patch already in place then must not pass for one of them.
    done = run_python("""if True:
        import logging
        calls, original = [], logging.Logger.debug
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
    """)
    assert done.returncode == 0 and "LRUCache cache clean" in done.stdout, done.stderr
