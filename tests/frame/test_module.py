"""Import-time state of the module: namespace order, script path, dates,
separators, the build-version text and the process-wide start-up calls."""

import collections.abc
import copy
import datetime
import html.parser
import inspect
import io
import json
import os
import pickle
import re
import subprocess
import sys
import types
import typing
import weakref

import pytest

IMPORTED = [
    "sys", "os", "argparse", "collections", "Iterable", "copy", "datetime", "enum",
    "functools", "importlib", "io", "json", "logging", "shelve", "sqlite3", "time",
    "asyncio", "traceback", "ModuleType", "warnings", "abstractmethod", "HTMLParser",
    "StringIO", "Any", "Callable", "Dict", "List", "Tuple", "Union", "Final", "Literal",
    "requests", "yaml", "subprocess", "signal", "nest_asyncio", "anyio", "tracemalloc",
]
SCRIPT_CONSTANTS = ["BIN_FILE", "BIN_ROOT", "__author__", "__version__"]
DATES = [
    "today_time", "today_date", "today_date_hour", "yesterday_time", "yesterday_date",
    "yesterday_date_hour", "two_days_ago_times", "two_days_ago_date",
]
SEPARATORS = [
    ("SEP_VERTICAL_BAR", "|"), ("SEP_SEMICOLON", ";"), ("SEP_COLON", ":"), ("SEP_COMMA", ","),
    ("SEP_TAB", "\t"), ("SEP_AND", "&"), ("SEP_EQUAL", "="), ("SEP_DOLLAR", "$"),
    ("SEP_POUND_SIGN", "#"), ("SEP_PLUS", "+"), ("SEP_MINUS", "-"), ("SEP_UNDERSCORE", "_"),
    ("SEP_SOH", "\x01"), ("SEP_DOT", "."),
]
DEFINITIONS = [
    "get_compile_version", "_get_velox_logger", "get_logger", "logger_append_file",
    "get_file_logger", "deprecated", "set_logger_level", "add_logger_file",
    "_EnhanceSafeLoader", "list_to_keyvalue", "list_to_keyvalue2", "str_to_bool",
    "parser_add_bool", "init_default_parser", "parse_args_and_yaml_argument",
    "parse_args_and_yaml", "callback_fn_demo", "init_parser", "is_ipython",
    "is_async_context", "is_async_callable", "run_in_threadpool", "get_except_info",
    "print_to_string", "MLStripper", "strip_tags", "retry", "call_report", "_make_key",
    "_CacheInfo", "LRUCache", "FileCache", "ProcessorBase", "FunctionProcessor",
    "_create_processor", "ARG_TYPE", "StopRunError", "Processor", "ConditionalProcessor",
    "FunctionSelector", "LoopProcessor", "FunctionLooper", "ContextProcessor",
    "StopRunProcessor", "SimpleSelector", "SimpleLooper", "LRUCacheProcessor", "SQLiteDB",
    "send_notice", "send_notice_markdown", "send_notice_kv", "cmd_process_return_data",
    "cmd_process", "install_and_import",
]
# Definitions made before the module logger exists (up to `deprecated`).
BEFORE_LOGGER = DEFINITIONS.index("deprecated") + 1


def run_child(argv, cwd, stdin_text=None):
    """Runs the interpreter with `argv` in `cwd`; returns the last stdout line as JSON."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONTRACEMALLOC", "TAVOLA_PLATFORM")}
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
        + DATES + ["TIME_KEY"] + [n for n, _ in SEPARATORS]
        + [n for n in DEFINITIONS[BEFORE_LOGGER:] if n in names]
    )
    actual = [n for n in names
              if not (n.startswith("__") and n.endswith("__")) or n in SCRIPT_CONSTANTS]
    assert actual == expected
    assert present[:8] == DEFINITIONS[:8]  # this frame's and the logging functions


def test_module_identity_and_imported_names(cu):
    import anyio

    assert (cu.__name__, cu.__doc__, cu.__version__) == ("common_utils.common_utils", None, "0.1.0")
    assert type(cu.__author__) is str and cu.__author__
    expected = {"datetime": datetime, "io": io, "Iterable": collections.abc.Iterable,  # modules
                "ModuleType": types.ModuleType, "HTMLParser": html.parser.HTMLParser,
                "StringIO": io.StringIO, "anyio": anyio}
    expected.update((n, getattr(typing, n)) for n in
                    ("Any", "Callable", "Dict", "List", "Tuple", "Union", "Final", "Literal"))
    assert {n: getattr(cu, n) for n in expected} == expected
    assert isinstance(cu.anyio.to_thread, types.ModuleType)


# ==== script path ===============================================================

REPORT = ("import json, os, sys, common_utils.common_utils as m; "
          "print(json.dumps([sys.argv[0], os.getcwd(), m.BIN_FILE, m.BIN_ROOT]))")


@pytest.mark.parametrize("argv, stdin_text, expected", [
    (["jobs/job.py"], None, lambda cwd: (os.path.join(cwd, "jobs", "job.py"),
                                         os.path.join(cwd, "jobs"))),
    (["-c", REPORT], None, lambda cwd: (os.path.join(cwd, "-c"), cwd)),
    # a program read from standard input runs with sys.argv == [""], as an
    # interactive session does
    ([], REPORT + "\n", lambda cwd: (cwd, os.path.dirname(cwd))),
], ids=["relative-script", "dash-c", "empty-script-name"])
def test_bin_file_and_root(tmp_path, argv, stdin_text, expected):
    (tmp_path / "jobs").mkdir()
    (tmp_path / "jobs" / "job.py").write_text(REPORT + "\n")
    argv0, cwd, bin_file, bin_root = run_child(argv, tmp_path, stdin_text)
    assert argv0 == (argv[0] if argv else "")
    assert (bin_file, bin_root) == expected(cwd)


def test_empty_argv_fails_the_import_and_a_retry_succeeds(tmp_path):
    code = (
        "import json, sys\n"
        "saved = sys.argv[:]\n"
        "sys.argv[:] = []\n"
        "try:\n"
        "    import common_utils.common_utils\n"
        "except IndexError as exc:\n"
        "    failure = [type(exc).__name__, str(exc)]\n"
        "registered = 'common_utils.common_utils' in sys.modules\n"
        "sys.argv[:] = saved\n"
        "import common_utils.common_utils as m\n"
        "print(json.dumps([failure, registered, m.BIN_FILE, m.logger.name]))\n"
    )
    failure, registered, bin_file, logger_name = run_child(["-c", code], tmp_path)
    assert failure == ["IndexError", "list index out of range"]
    assert registered is False
    assert bin_file.endswith("-c")
    assert logger_name == "QRX_common_utils.common_utils"


# ==== dates, separators =========================================================

def test_date_strings_derive_from_one_now(cu):
    today = cu.today_time
    assert type(today) is datetime.datetime and today.tzinfo is None
    assert today <= datetime.datetime.now()
    assert cu.yesterday_time == today + datetime.timedelta(days=-1)
    assert cu.two_days_ago_times == today + datetime.timedelta(days=-2)
    assert cu.today_date == today.strftime("%Y%m%d")
    assert cu.today_date_hour == today.strftime("%Y%m%d%H")
    assert cu.yesterday_date == cu.yesterday_time.strftime("%Y%m%d")
    assert cu.yesterday_date_hour == cu.yesterday_time.strftime("%Y%m%d%H")
    assert cu.two_days_ago_date == cu.two_days_ago_times.strftime("%Y%m%d")
    assert not hasattr(cu, "two_days_ago_date_hour")


def test_dates_across_a_month_end(tmp_path):
    code = (
        "import datetime as dt, json\n"
        "real = dt.datetime\n"
        "class Frozen(real):\n"
        "    @classmethod\n"
        "    def now(cls, tz=None):\n"
        "        return cls(2025, 3, 1, 0, 30)\n"
        "dt.datetime = Frozen\n"
        "try:\n"
        "    import common_utils.common_utils as m\n"
        "finally:\n"
        "    dt.datetime = real\n"
        "print(json.dumps([m.today_date, m.today_date_hour, m.yesterday_date,\n"
        "                  m.yesterday_date_hour, m.two_days_ago_date]))\n"
    )
    assert run_child(["-c", code], tmp_path) == [
        "20250301", "2025030100", "20250228", "2025022800", "20250227"]


def test_separators_and_time_key(cu):
    assert [(n, getattr(cu, n)) for n, _ in SEPARATORS] == SEPARATORS
    assert cu.TIME_KEY == "time_cost"


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


# ==== process-wide start-up =====================================================

def test_fresh_import_starts_tracing_and_nests_event_loops(tmp_path):
    code = (
        "import asyncio, json, sys, tracemalloc\n"
        "before = tracemalloc.is_tracing()\n"
        "import common_utils.common_utils as m\n"
        "async def inner():\n"
        "    await asyncio.sleep(0)\n"
        "    return 42\n"
        "async def outer():\n"
        "    return asyncio.run(inner())\n"
        "h = m.logger.handlers\n"
        "print(json.dumps({\n"
        "    'before': before, 'tracing': tracemalloc.is_tracing(),\n"
        "    'frames': tracemalloc.get_traceback_limit(), 'nested': asyncio.run(outer()),\n"
        "    'logger': [m.logger.name, m.logger.level, m.logger.propagate,\n"
        "               [type(x).__name__ for x in h], h[0].stream is sys.stdout],\n"
        "}))\n"
    )
    facts = run_child(["-c", code], tmp_path)
    assert facts["before"] is False
    assert facts["tracing"] is True and facts["frames"] == 1
    assert facts["nested"] == 42
    assert facts["logger"] == ["QRX_common_utils.common_utils", 20, True, ["StreamHandler"], True]


# ==== signatures ================================================================

SIGNATURES = {
    "get_compile_version": "()", "_get_velox_logger": "()",
    "get_logger": "(name: 'str') -> 'logging.Logger'",
    "logger_append_file": "(logger: 'logging.Logger', file_name: 'str') -> 'logging.Logger'",
    "get_file_logger": "(name: 'str', file_name) -> 'logging.Logger'",
    "set_logger_level": "(log_level=20)", "add_logger_file": "(file_name='./main.log')",
}


def test_signatures(cu):
    assert {n: str(inspect.signature(getattr(cu, n))) for n in SIGNATURES} == SIGNATURES
    failures = []
    for name in DEFINITIONS:  # every defined function has one
        obj = getattr(cu, name, None)
        if obj is None or inspect.isclass(obj):
            continue
        try:
            inspect.signature(obj)
        except (TypeError, ValueError) as exc:
            failures.append((name, repr(exc)))
    assert failures == []


# ==== function objects ==========================================================

def module_functions(cu):
    kind = type(cu.get_logger)
    return [getattr(cu, name) for name in DEFINITIONS if type(getattr(cu, name, None)) is kind]


def test_function_objects(cu, monkeypatch):
    f = cu.get_logger
    assert (f.__name__, f.__qualname__, f.__module__, f.__text_signature__) == (
        "get_logger", "get_logger", "common_utils.common_utils", "(name)")
    assert f.__doc__.startswith("The logger registered as")
    assert repr(f) == "<built-in function get_logger>"
    with pytest.raises(TypeError):
        type(f)()
    functions = module_functions(cu)
    assert len(functions) >= 7
    for f in functions:  # copied and pickled by reference
        assert copy.copy(f) is f and copy.deepcopy(f) is f
        assert pickle.loads(pickle.dumps(f)) is f and weakref.ref(f)() is f
    # they do not bind as methods
    monkeypatch.delenv("TAVOLA_PLATFORM", raising=False)
    holder = type("Holder", (), {"version": cu.get_compile_version, "velox": cu._get_velox_logger})()
    assert holder.version is cu.get_compile_version and holder.velox() is None


def test_signature_follows_annotations_and_an_assigned_signature(cu, monkeypatch):
    f = cu.get_file_logger
    monkeypatch.setitem(f.__annotations__, "file_name", "str")
    assert str(inspect.signature(f)) == "(name: 'str', file_name: 'str') -> 'logging.Logger'"
    f.__signature__ = inspect.Signature()
    try:
        assert str(inspect.signature(f)) == "()"
    finally:
        del f.__signature__
