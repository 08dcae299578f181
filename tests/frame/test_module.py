"""Import-time state of the module: namespace order, script path, dates,
separators, the build-version text and the process-wide start-up calls."""

import copy
import datetime
import importlib
import inspect
import json
import os
import pickle
import re
import subprocess
import sys
import weakref

import pytest

IMPORTED = """sys os argparse collections Iterable copy datetime enum functools importlib io json
    logging shelve sqlite3 time asyncio traceback ModuleType warnings abstractmethod HTMLParser
    StringIO Any Callable Dict List Tuple Union Final Literal requests yaml subprocess signal
    nest_asyncio anyio tracemalloc""".split()
FROM = dict(Iterable="collections.abc", ModuleType="types", abstractmethod="abc",
            HTMLParser="html.parser", StringIO="io",
            **dict.fromkeys("Any Callable Dict List Tuple Union Final Literal".split(), "typing"))
SCRIPT_CONSTANTS = ["BIN_FILE", "BIN_ROOT", "__author__", "__version__"]
DATES = """today_time today_date today_date_hour yesterday_time yesterday_date
    yesterday_date_hour two_days_ago_times two_days_ago_date""".split()
SEPARATORS = dict(
    SEP_VERTICAL_BAR="|", SEP_SEMICOLON=";", SEP_COLON=":", SEP_COMMA=",", SEP_TAB="\t",
    SEP_AND="&", SEP_EQUAL="=", SEP_DOLLAR="$", SEP_POUND_SIGN="#", SEP_PLUS="+", SEP_MINUS="-",
    SEP_UNDERSCORE="_", SEP_SOH="\x01", SEP_DOT=".")
DEFINITIONS = """get_compile_version _get_velox_logger get_logger logger_append_file
    get_file_logger deprecated set_logger_level add_logger_file _EnhanceSafeLoader
    list_to_keyvalue list_to_keyvalue2 str_to_bool parser_add_bool init_default_parser
    parse_args_and_yaml_argument parse_args_and_yaml callback_fn_demo init_parser is_ipython
    is_async_context is_async_callable run_in_threadpool get_except_info print_to_string
    MLStripper strip_tags retry call_report _make_key _CacheInfo LRUCache FileCache
    ProcessorBase FunctionProcessor _create_processor ARG_TYPE StopRunError Processor
    ConditionalProcessor FunctionSelector LoopProcessor FunctionLooper ContextProcessor
    StopRunProcessor SimpleSelector SimpleLooper LRUCacheProcessor SQLiteDB send_notice
    send_notice_markdown send_notice_kv cmd_process_return_data cmd_process
    install_and_import""".split()
# Definitions made before the module logger exists (up to `deprecated`).
BEFORE_LOGGER = DEFINITIONS.index("deprecated") + 1


def run_child(argv, cwd, stdin_text=None, **env_vars):
    """Runs the interpreter with `argv` in `cwd`; returns the last stdout line as JSON."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONTRACEMALLOC", "TAVOLA_PLATFORM", "COMMON_UTILS_TRACEMALLOC")}
    env.update(env_vars)
    proc = subprocess.run(
        [sys.executable, *argv], cwd=str(cwd), env=env, input=stdin_text,
        stdin=None if stdin_text is not None else subprocess.DEVNULL,
        capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ==== namespace =================================================================

def test_namespace_follows_the_module_body_order(cu):
    names = vars(cu)
    present = [n for n in DEFINITIONS if n in names]
    expected = (
        IMPORTED + SCRIPT_CONSTANTS
        + [n for n in DEFINITIONS[:BEFORE_LOGGER] if n in names] + ["logger"]
        + DATES + ["TIME_KEY"] + list(SEPARATORS)
        + [n for n in DEFINITIONS[BEFORE_LOGGER:] if n in names]
    )
    actual = [n for n in names
              if not (n.startswith("__") and n.endswith("__")) or n in SCRIPT_CONSTANTS]
    assert actual == expected
    assert present[:8] == DEFINITIONS[:8]  # this frame's and the logging functions


def test_identity_imports_and_constants(cu):
    assert (cu.__name__, cu.__doc__, cu.__version__) == ("common_utils.common_utils", None, "0.1.0")
    assert type(cu.__author__) is str and cu.__author__
    assert {n: getattr(cu, n) for n in FROM} == {
        n: getattr(importlib.import_module(m), n) for n, m in FROM.items()}
    assert [n for n in IMPORTED if n not in FROM and getattr(cu, n) is not sys.modules[n]] == []
    assert isinstance(cu.anyio.to_thread, type(sys))
    assert {n: getattr(cu, n) for n in SEPARATORS} == SEPARATORS
    assert cu.TIME_KEY == "time_cost"
    # the dates derive from one naive now (their texts: test_fresh_import)
    today = cu.today_time
    assert type(today) is datetime.datetime and today.tzinfo is None
    assert today <= datetime.datetime.now()
    assert [cu.yesterday_time, cu.two_days_ago_times] == [
        today - datetime.timedelta(days=n) for n in (1, 2)]
    assert cu.today_date_hour == today.strftime("%Y%m%d%H")


# ==== script path ===============================================================

REPORT = ("import json, os, sys, common_utils.common_utils as m; "
          "print(json.dumps([sys.argv[0], os.getcwd(), m.BIN_FILE, m.BIN_ROOT]))")


@pytest.mark.parametrize("argv, stdin_text, expected", [
    (["jobs/job.py"], None, ("jobs/job.py", "jobs")),
    (["-c", REPORT], None, ("-c", ".")),
    # a program read from standard input runs with sys.argv == [""], as a session does
    ([], REPORT + "\n", (".", "..")),
], ids=["relative-script", "dash-c", "empty-script-name"])
def test_bin_file_and_root(tmp_path, argv, stdin_text, expected):
    (tmp_path / "jobs").mkdir()
    (tmp_path / "jobs" / "job.py").write_text(REPORT + "\n")
    argv0, cwd, bin_file, bin_root = run_child(argv, tmp_path, stdin_text)
    assert argv0 == (argv[0] if argv else "")
    assert [bin_file, bin_root] == [os.path.normpath(os.path.join(cwd, p)) for p in expected]


# ==== fresh import ==============================================================

FRESH = """
import asyncio, datetime as dt, json, sys, tracemalloc
before, failure = tracemalloc.is_tracing(), None
argv, sys.argv[:] = sys.argv[:], []
try:
    import common_utils.common_utils
except IndexError as exc:
    failure = [type(exc).__name__, str(exc), 'common_utils.common_utils' in sys.modules]
sys.argv[:] = argv
class Frozen(dt.datetime):
    now = classmethod(lambda cls, tz=None: cls(2025, 3, 1, 0, 30))
real, dt.datetime = dt.datetime, Frozen
try:
    import common_utils.common_utils as m
finally:
    dt.datetime = real
async def outer():
    return asyncio.run(asyncio.sleep(0, 42))
h = m.logger.handlers
print(json.dumps(dict(
    before=before, failure=failure, bin_file=m.BIN_FILE.endswith('-c'),
    tracing=[tracemalloc.is_tracing(), tracemalloc.get_traceback_limit()],
    nested=asyncio.run(outer()), logger=[m.logger.name, m.logger.level, m.logger.propagate,
                                         [type(x).__name__ for x in h], h[0].stream is sys.stdout],
    dates=[m.today_date, m.today_date_hour, m.yesterday_date, m.yesterday_date_hour,
           m.two_days_ago_date])))
"""


def test_fresh_import(tmp_path):
    # An empty argv fails the import and a retry succeeds; the retry is made
    # just after a month end.
    assert run_child(["-c", FRESH], tmp_path) == {
        "before": False, "failure": ["IndexError", "list index out of range", False],
        "bin_file": True, "tracing": [True, 1], "nested": 42,
        "logger": ["QRX_common_utils.common_utils", 20, True, ["StreamHandler"], True],
        "dates": ["20250301", "2025030100", "20250228", "2025022800", "20250227"],
    }


@pytest.mark.parametrize("value, tracing", [("0", False), ("1", True), ("", True), ("false", True)])
def test_tracemalloc_opt_out(tmp_path, value, tracing):
    code = "import json, tracemalloc, common_utils.common_utils; print(json.dumps(tracemalloc.is_tracing()))"
    assert run_child(["-c", code], tmp_path, COMMON_UTILS_TRACEMALLOC=value) is tracing


# ==== functions =================================================================

def get_compile_version(): pass  # the same shape in Python, for the arity wording


def test_compile_version(cu):
    text = cu.get_compile_version()
    assert re.fullmatch(
        r"compile version: [A-Z][a-z]{2} \d{1,2} \d{4} \d{2}:\d{2}:\d{2} \(by .+\)", text)
    assert cu.get_compile_version() == text
    for args, kwargs in [((1,), {}), ((None, None), {}), ((), {"x": 1}), ((1,), {"x": 1})]:
        with pytest.raises(TypeError) as expected:
            get_compile_version(*args, **kwargs)
        with pytest.raises(TypeError) as got:
            cu.get_compile_version(*args, **kwargs)
        assert str(got.value) == str(expected.value)


SIGNATURES = {
    "get_compile_version": "()", "_get_velox_logger": "()",
    "get_logger": "(name: 'str') -> 'logging.Logger'",
    "logger_append_file": "(logger: 'logging.Logger', file_name: 'str') -> 'logging.Logger'",
    "get_file_logger": "(name: 'str', file_name) -> 'logging.Logger'",
    "set_logger_level": "(log_level=20)", "add_logger_file": "(file_name='./main.log')",
}


def test_signatures(cu, monkeypatch):
    assert {n: str(inspect.signature(getattr(cu, n))) for n in SIGNATURES} == SIGNATURES
    for name in DEFINITIONS:  # every defined function has one
        obj = getattr(cu, name, None)
        if obj is not None and not inspect.isclass(obj):
            inspect.signature(obj)
    # it follows the annotations, and an assigned signature wins
    f = cu.get_file_logger
    monkeypatch.setitem(f.__annotations__, "file_name", "str")
    assert str(inspect.signature(f)) == "(name: 'str', file_name: 'str') -> 'logging.Logger'"
    f.__signature__ = inspect.Signature()
    try:
        assert str(inspect.signature(f)) == "()"
    finally:
        del f.__signature__


def test_function_objects(cu, monkeypatch):
    f = cu.get_logger
    assert (f.__name__, f.__qualname__, f.__module__, f.__text_signature__) == (
        "get_logger", "get_logger", "common_utils.common_utils", "(name)")
    assert f.__doc__.startswith("The logger registered as")
    assert repr(f) == "<built-in function get_logger>"
    with pytest.raises(TypeError):
        type(f)()
    functions = [getattr(cu, n) for n in DEFINITIONS if type(getattr(cu, n, None)) is type(f)]
    assert len(functions) >= 7
    for f in functions:  # copied and pickled by reference
        assert copy.copy(f) is f and copy.deepcopy(f) is f
        assert pickle.loads(pickle.dumps(f)) is f and weakref.ref(f)() is f
    # they do not bind as methods
    monkeypatch.delenv("TAVOLA_PLATFORM", raising=False)
    holder = type("Holder", (), {"version": cu.get_compile_version,
                                 "velox": cu._get_velox_logger})()
    assert holder.version is cu.get_compile_version and holder.velox() is None
