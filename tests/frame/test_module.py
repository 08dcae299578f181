"""Import-time state of the module (namespace order, script path, dates,
separators, build version), its function objects and the signatures and
annotations inspect reads from its functions and classes."""
import abc
import copy
import datetime
import functools
import gc
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
AS = {"nest_asyncio": "nest_asyncio2"}  # the maintained fork, under the name callers know
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
BEFORE_LOGGER = DEFINITIONS.index("deprecated") + 1  # made before the module logger exists


def run_child(argv, cwd, stdin_text=None, **env_vars):
    """Runs the interpreter with `argv` in `cwd`; returns the last stdout line as JSON."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONTRACEMALLOC", "TAVOLA_PLATFORM", "COMMON_UTILS_TRACEMALLOC")}
    env.update(env_vars)
    proc = subprocess.run([sys.executable, *argv], cwd=str(cwd), env=env, input=stdin_text,
                          stdin=None if stdin_text is not None else subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_namespace_order_imports_and_constants(cu):
    names = vars(cu)
    expected = (IMPORTED + SCRIPT_CONSTANTS + [n for n in DEFINITIONS[:BEFORE_LOGGER] if n in names]
                + ["logger"] + DATES + ["TIME_KEY"] + list(SEPARATORS)
                + [n for n in DEFINITIONS[BEFORE_LOGGER:] if n in names])
    assert [n for n in names if not (n.startswith("__") and n.endswith("__"))
            or n in SCRIPT_CONSTANTS] == expected
    assert (cu.__name__, cu.__doc__, cu.__version__) == ("common_utils.common_utils", None, "0.1.0")
    assert type(cu.__author__) is str and cu.__author__
    assert {n: getattr(cu, n) for n in FROM} == {
        n: getattr(importlib.import_module(m), n) for n, m in FROM.items()}
    assert [n for n in IMPORTED if n not in FROM and getattr(cu, n) is not sys.modules[AS.get(n, n)]] == []
    assert isinstance(cu.anyio.to_thread, type(sys))
    assert {n: getattr(cu, n) for n in SEPARATORS} == SEPARATORS and cu.TIME_KEY == "time_cost"
    today = cu.today_time  # the dates derive from one naive now (their texts: test_fresh_import)
    assert type(today) is datetime.datetime and today.tzinfo is None
    assert [cu.yesterday_time, cu.two_days_ago_times] == [
        today - datetime.timedelta(days=n) for n in (1, 2)]


FRESH = """
import asyncio, datetime as dt, json, os, sys, tracemalloc
before, failure = tracemalloc.is_tracing(), []
argv, sys.argv[:] = sys.argv[:], []
sys.modules['nest_asyncio2'] = None  # as if it were not installed
for blocked in (ModuleNotFoundError, IndexError):
    try:
        import common_utils.common_utils
    except blocked as exc:
        failure.append([type(exc).__name__, str(exc), 'common_utils.common_utils' in sys.modules])
    del sys.modules['nest_asyncio2']
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
print(json.dumps(dict(
    before=before, failure=failure, nested=asyncio.run(outer()),
    tracing=[tracemalloc.is_tracing(), tracemalloc.get_traceback_limit()],
    bin=[m.BIN_FILE, m.BIN_ROOT] == [os.path.join(os.getcwd(), 'jobs', 'job.py'),
                                     os.path.join(os.getcwd(), 'jobs')],
    logger=[m.logger.name, m.logger.level, m.logger.propagate, [type(x).__name__ for x in m.logger.handlers]],
    dates=[m.today_date, m.today_date_hour, m.yesterday_date, m.yesterday_date_hour,
           m.two_days_ago_date])))
"""


def test_fresh_import(tmp_path):
    # A missing package, then an empty argv, fail the import and a retry
    # succeeds, just after a month end; only "0" opts out of tracemalloc.
    (tmp_path / "jobs").mkdir()
    (tmp_path / "jobs" / "job.py").write_text(FRESH)
    assert run_child(["jobs/job.py"], tmp_path, COMMON_UTILS_TRACEMALLOC="false") == {
        "before": False, "failure": [
            ["ModuleNotFoundError", "import of nest_asyncio2 halted; None in sys.modules", False],
            ["IndexError", "list index out of range", False]],
        "bin": True, "tracing": [True, 1], "nested": 42,
        "logger": ["QRX_common_utils.common_utils", 20, True, ["StreamHandler"]],
        "dates": ["20250301", "2025030100", "20250228", "2025022800", "20250227"],
    }
    # a program read from standard input runs with sys.argv == [""], as a session does
    argv0, cwd, bin_file, bin_root, traced = run_child([], tmp_path, (
        "import json, os, sys, tracemalloc, common_utils.common_utils as m\n"
        "print(json.dumps([sys.argv[0], os.getcwd(), m.BIN_FILE, m.BIN_ROOT, tracemalloc.is_tracing()]))\n"),
        COMMON_UTILS_TRACEMALLOC="0")
    assert [argv0, bin_file, bin_root, traced] == ["", cwd, os.path.dirname(cwd), False]


# ==== functions =================================================================

LOGGER = "logging.Logger"
ANNOTATIONS = {  # every module-level function carries these, in this order
    **dict.fromkeys("""get_compile_version _get_velox_logger deprecated set_logger_level add_logger_file
        is_ipython is_async_context print_to_string strip_tags""".split(), {}),
    "get_logger": {"name": "str", "return": LOGGER},
    "logger_append_file": {"logger": LOGGER, "file_name": "str", "return": LOGGER},
    "get_file_logger": {"name": "str", "return": LOGGER},
    "is_async_callable": {"obj": "Any", "return": "bool"}, "run_in_threadpool": {"func": "Callable"},
    "get_except_info": {"return": "Tuple[str, str]"}, "retry": {"num": "int", "sleep": "float"},
    "call_report": {"interval": "int"},
    "_create_processor": {"processor": "Union[ProcessorBase, Callable, str]",
                          "module": "ModuleType", "return": "object"},
}


def test_function_objects_annotations_and_signatures(cu, monkeypatch):
    text = cu.get_compile_version()
    assert re.fullmatch(r"compile version: [A-Z][a-z]{2} \d{1,2} \d{4} \d{2}:\d{2}:\d{2} \(by .+\)", text)
    assert cu.get_compile_version() == text
    assert {n: list(getattr(cu, n).__annotations__.items()) for n in ANNOTATIONS} == {
        n: list(a.items()) for n, a in ANNOTATIONS.items()}
    f = cu.get_logger
    assert (f.__name__, f.__qualname__, f.__module__, repr(f)) == (
        "get_logger", "get_logger", "common_utils.common_utils", "<built-in function get_logger>")
    with pytest.raises(TypeError):
        type(f)()
    for f in [getattr(cu, n) for n in DEFINITIONS if type(getattr(cu, n, None)) is type(f)]:
        assert copy.copy(f) is f and copy.deepcopy(f) is f  # copied and pickled by reference
        assert pickle.loads(pickle.dumps(f)) is f and weakref.ref(f)() is f
        inspect.signature(f)  # each docstring's signature line parses
    holder = type("Holder", (), {"version": cu.get_compile_version})()
    assert holder.version is cu.get_compile_version  # they do not bind as methods
    # the signature follows the annotations, and an assigned one wins
    f = cu.get_file_logger
    assert str(inspect.signature(f)) == "(name: 'str', file_name) -> 'logging.Logger'"
    monkeypatch.setitem(f.__annotations__, "file_name", "str")
    assert str(inspect.signature(f)) == "(name: 'str', file_name: 'str') -> 'logging.Logger'"
    f.__signature__ = inspect.Signature()
    try:
        assert str(inspect.signature(f)) == "()"
    finally:
        del f.__signature__


# ==== class signatures ==========================================================
# The C __init__'s signature without `self`, on every interpreter, while
# everything that would otherwise decide a class's signature still does.

def _own_init(self, a, b=1):
    pass


_ONLY = inspect.Signature([inspect.Parameter("only", inspect.Parameter.POSITIONAL_ONLY)])
CLASSES = {
    "LoopProcessor": (lambda cu: cu.LoopProcessor, "(looper, processors, merge_output=True, "
                      "use_aysnc_run=False, *args, batch_size=None, **kwargs)"),
    "inherits": (lambda cu: type("Sub", (cu.FileCache,), {}), "(filename, **kwargs)"),
    "own init": (lambda cu: type("Own", (cu.LRUCache,), {"__init__": _own_init}), "(a, b=1)"),
    "abc": (lambda cu: abc.ABCMeta("Abstract", (cu.FileCache,), {}), "(filename, **kwargs)"),
    "metaclass call": (lambda cu: type("Call", (type,), {"__call__": _own_init})(
        "Called", (cu.ProcessorBase,), {}), "(a, b=1)"),
    "mixin signature": (lambda cu: type("Mixed", (cu.Processor, type("Mixin", (), {
        "__signature__": _ONLY})), {}), "(only, /)"),
    "metaclass signature": (lambda cu: type("Meta", (type,), {"__signature__": _ONLY})(
        "WithMeta", (cu.StopRunError,), {}), "(only, /)"),
}


@pytest.mark.parametrize("case", CLASSES)
def test_class_signature(cu, case):
    make, expected = CLASSES[case]
    assert str(inspect.signature(make(cu))) == expected


def test_signature_lookups_elsewhere_are_unchanged(cu):
    assert str(inspect.signature(functools.partial(cu.LRUCache, 5))) == "(report_times=1000)"
    cache = cu.LRUCache(4)
    assert str(inspect.signature(cache)) == "(user_function)"  # a callable instance
    own = CLASSES["own init"][0](cu)
    for obj, text in [(cache, "'LRUCache' object has no attribute '__signature__'"),
                      (own, "type object 'Own' has no attribute '__signature__'")]:
        with pytest.raises(AttributeError) as got:
            obj.__signature__
        assert str(got.value) == text
        if sys.version_info >= (3, 10):
            assert got.value.name == "__signature__" and got.value.obj is obj
    cache.__signature__ = inspect.Signature()  # an instance's own still wins
    assert str(inspect.signature(cache)) == "()"
    gc.collect()  # an answer holds no reference
    held = [cu.Processor, vars(cu.Processor)["__init__"], vars(cu.ProcessorBase)["__signature__"]]
    before = [sys.getrefcount(obj) for obj in held]
    for _ in range(100):
        cu.Processor.__signature__
    assert [sys.getrefcount(obj) for obj in held] == before
