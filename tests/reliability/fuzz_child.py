"""The bad-input fuzz, run as a script in a child interpreter of its own.

    python fuzz_child.py STUB SECONDS

Calls every public function, class constructor and method of the module
(found in the module and in its type stub) with generated wrong types and
arities until SECONDS have passed.  Every call must end in a return or an
exception: a crash kills the process, a call that hangs makes faulthandler
end it.  Before each call the target and the argument types are written to
./last_call, so that a crash can be told apart.  Prints one JSON line:
{"calls": N, "seconds": S, "targets": {name: calls}}.
"""
import ast
import asyncio
import collections
import faulthandler
import gc
import inspect
import io
import json
import logging
import os
import sys
import time
import types
import warnings

from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st
from hypothesis.errors import Flaky

import common_utils.common_utils as cu

STUB, SECONDS = sys.argv[1], float(sys.argv[2])
HANG = 60  # seconds one call may take before it counts as a hang
MOD = cu.__name__

# ==== the targets ============================================================


def stub_names():
    """Top-level functions and classes of the stub, with their methods."""
    functions, classes = set(), {}
    for node in ast.parse(open(STUB).read()).body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            functions.add(node.name)
        elif isinstance(node, ast.ClassDef):
            classes[node.name] = {n.name for n in node.body
                                  if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))}
    return functions, classes


def ours(obj):
    return getattr(obj, "__module__", None) == MOD


def targets():
    """(name, callable, parameter names) for every function, constructor and
    method; methods as `Class.method`."""
    functions, classes = stub_names()
    found = {}
    for name in sorted(set(dir(cu)) | functions | set(classes)):
        obj = getattr(cu, name, None)  # None: a typing-only name of the stub
        if isinstance(obj, type) and (ours(obj) or name in classes):
            found[name] = obj
            every = set(classes.get(name, ()))
            for klass in obj.__mro__:
                if ours(klass):
                    every |= {k for k, v in vars(klass).items()
                              if callable(v) or isinstance(v, (staticmethod, classmethod))}
            every -= {"__new__", "__init_subclass__"}
            METHODS[name] = sorted(every)
            # An inherited method is a target of the class that defines it;
            # sequences of calls on instances reach it on every subclass.
            for m in every & (set(classes.get(name, ())) | set(vars(obj))):
                found[name + "." + m] = obj
        elif obj is not None and callable(obj) and (ours(obj) or name in functions):
            found[name] = obj
    return found


METHODS = {}  # class name -> the names of all its methods, inherited ones too
TARGETS = targets()


def params_of(name):
    """Parameter names worth passing as keywords."""
    cls_name, _, method = name.partition(".")
    obj = getattr(cu, cls_name)
    if method:
        obj = getattr(obj, method, None)
    try:
        return [p for p in inspect.signature(obj).parameters if p != "self"]
    except (TypeError, ValueError):
        return []


PARAMS = {name: params_of(name) for name in TARGETS}

# Text that could name a real command, package or stream never reaches these:
# they run programs, pip or unpickle.  They still get every other wrong type.
INERT_ONLY = {"cmd_process", "cmd_process_return_data", "install_and_import",
              "LoopProcessor._run_loop_batch"}
# Webhook senders: every string becomes a URL where nothing listens.
NOWHERE = "http://127.0.0.1:9/"
NOTICES = {name for name in TARGETS if name.startswith("send_notice")}
# A wrapper of retry loops as often as it was told to, by design: called once
# as made, never the function it returns.
ONE_LEVEL = {"retry"}

# ==== the values =============================================================


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    raise Boom("boom")


def make_evil(*dunders):
    def fail(self, *args):
        raise Boom("evil")

    body = {d: fail for d in dunders}
    return type("Evil_" + "_".join(d.strip("_") for d in dunders), (), body)


EVIL_DUNDERS = ["__eq__", "__hash__", "__str__", "__repr__", "__len__", "__iter__",
                "__getattr__", "__bool__", "__index__", "__float__", "__call__"]
EVILS = [make_evil(d)() for d in EVIL_DUNDERS] + [make_evil(*EVIL_DUNDERS)()]


class StrSub(str):
    pass


class EvilStr(str):
    def __eq__(self, other):
        raise Boom("str eq")

    def __hash__(self):
        raise Boom("str hash")

    def __str__(self):
        raise Boom("str str")


class Dict2(dict):
    def __getitem__(self, key):
        raise Boom("getitem")


def reenter(*args, **kwargs):
    """Calls back into the module while the module is calling it."""
    key = cu._make_key(args, kwargs, False)
    cu.strip_tags("<b>x</b>")
    cu.Processor([lambda x, **k: x]).process(len(args))
    return key


def identity(*args, **kwargs):
    return args[0] if args else kwargs


def generator(*args, **kwargs):
    yield from args


async def coroutine_function(*args, **kwargs):
    return args


CALLBACKS = [boom, reenter, identity, generator, coroutine_function, len, dict,
             lambda *a, **k: None, lambda *a, **k: True, cu.strip_tags, cu._make_key,
             cu.str_to_bool, cu.Processor, cu.ProcessorBase]

def pick(pool):
    """sampled_from without repr() of the elements (evil ones raise there)."""
    return st.integers(0, len(pool) - 1).map(lambda i: pool[i])


TEXT = st.text(st.characters(blacklist_characters="/"), max_size=12)
hashable = st.one_of(
    st.none(), st.booleans(),
    st.integers(-3, 40) | st.sampled_from([2 ** 31, 2 ** 63, -2 ** 63 - 1, 2 ** 64, 10 ** 30]),
    st.floats(allow_nan=True, allow_infinity=True),
    TEXT,
    st.sampled_from(["", "in_data", "fixed", "disable", "true", "0", "a.b", "DEBUG", "a:1",
                     "<p>x</p>", "!include", "-x", "--k"]),
    st.binary(max_size=12),
)
leaf = st.one_of(
    hashable,
    TEXT.map(StrSub), TEXT.map(EvilStr),
    pick(EVILS), pick(CALLBACKS),
    pick([object(), cu, logging.getLogger("cu-fuzz"), cu.ARG_TYPE.FIXED, ValueError("e"),
                     type, int, sys.stdout]),
)
values = st.recursive(
    leaf,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4), st.lists(inner, max_size=3).map(tuple),
        st.dictionaries(hashable.filter(lambda v: v == v), inner, max_size=3),
        st.dictionaries(hashable.filter(lambda v: v == v), inner, max_size=3).map(Dict2)),
    max_leaves=5)


def inert(v):
    """No text anywhere in v (but for evil objects, which raise when read)."""
    if isinstance(v, (str, bytes)):
        return False
    if isinstance(v, (list, tuple)):
        return all(inert(x) for x in v)
    if isinstance(v, dict):
        return all(inert(x) for x in v.keys()) and all(inert(x) for x in v.values())
    return not any(v is c for c in CALLBACKS) or any(v is c for c in (boom, len, dict))


def to_nowhere(v):
    if isinstance(v, str):
        return NOWHERE
    if isinstance(v, (list, tuple)):
        return type(v)(to_nowhere(x) for x in v)
    return v


# ==== the calls ==============================================================


class YamlText(io.StringIO):
    name = "sample.yaml"


def samples():
    """A working instance of each class, to call its methods on."""
    step = lambda x=None, **k: x  # noqa: E731
    return {
        "ProcessorBase": lambda: cu.ProcessorBase(),
        "FunctionProcessor": lambda: cu.FunctionProcessor(step),
        "Processor": lambda: cu.Processor([step, step]),
        "StopRunProcessor": lambda: cu.StopRunProcessor(),
        "ConditionalProcessor": lambda: cu.ConditionalProcessor(bool, step, None),
        "FunctionSelector": lambda: cu.FunctionSelector(bool),
        "SimpleSelector": lambda: cu.SimpleSelector(true_processors=step, false_processors=step),
        "LoopProcessor": lambda: cu.LoopProcessor(lambda x=None, **k: [1, 2], step),
        "FunctionLooper": lambda: cu.FunctionLooper(lambda x=None, **k: [1, 2]),
        "SimpleLooper": lambda: cu.SimpleLooper(processors=step),
        "ContextProcessor": lambda: cu.ContextProcessor([step]),
        "LRUCacheProcessor": lambda: cu.LRUCacheProcessor(processors=[step]),
        "LRUCache": lambda: cu.LRUCache(4, 3),
        "FileCache": lambda: cu.FileCache("sample_cache"),
        "SQLiteDB": lambda: cu.SQLiteDB(":memory:"),
        "MLStripper": lambda: cu.MLStripper(),
        "_EnhanceSafeLoader": lambda: cu._EnhanceSafeLoader(YamlText("a: [1, {b: 2}]\n")),
        "list_to_keyvalue": lambda: cu.list_to_keyvalue(["--kv"], "kv"),
        "list_to_keyvalue2": lambda: cu.list_to_keyvalue2(["--kv"], "kv"),
        "StopRunError": lambda: cu.StopRunError(),
        "_CacheInfo": lambda: cu._CacheInfo(1, 2, 3, 4),
    }


SAMPLES = samples()
LAST = os.open("last_call", os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
COUNTS = collections.Counter()
LOGGER_LEVEL = logging.CRITICAL + 10


TOUCHED = {}  # id -> (logger, its handlers before), for loggers given a handler


def add_handler(self, handler, _add=logging.Logger.addHandler):
    TOUCHED.setdefault(id(self), (self, list(self.handlers)))
    _add(self, handler)


logging.Logger.addHandler = add_handler


def tidy():
    """Undoes what a call did to logging: levels, and handlers (with their files)."""
    cu.logger = LOGGER
    LOGGER.setLevel(LOGGER_LEVEL)
    LOGGER.disabled = False
    for l, keep in TOUCHED.values():
        for h in list(l.handlers):
            if not any(h is k for k in keep):
                l.removeHandler(h)
                h.close()
    TOUCHED.clear()
    cu.time, cu.importlib = FAKE_TIME, FAKE_IMPORTLIB


def note(name, args, kwargs):
    text = "{} {} {}\n".format(name, [type(a).__name__ for a in args], sorted(map(str, kwargs)))
    os.pwrite(LAST, text.encode(), 0)
    os.ftruncate(LAST, len(text))


def settle(result):
    """Touches what a call returned: repr, iteration of generators, closing
    coroutines; calls returned callables once more, with fresh arguments."""
    try:
        repr(result)
    except Exception:
        pass
    if inspect.iscoroutine(result):
        result.close()
    elif inspect.isgenerator(result):
        try:
            for _, _ in zip(range(5), result):
                pass
        except Exception:
            pass
        result.close()


def call(name, fn, args, kwargs):
    COUNTS[name] += 1
    note(name, args, kwargs)
    faulthandler.dump_traceback_later(HANG, exit=True)
    try:
        return fn(*args, **kwargs)
    except KeyboardInterrupt:
        raise
    except BaseException:  # SystemExit from argparse included
        return None
    finally:
        faulthandler.cancel_dump_traceback_later()
        tidy()


CALL_STRATEGIES = {}


def draw_call(data, name):
    """Positional and keyword arguments; keywords mostly named after the
    target's own parameters."""
    strategy = CALL_STRATEGIES.get(name)
    if strategy is None:
        names = PARAMS.get(name, []) + ["in_data", "g_kwargs", "kwargs", "x"]
        strategy = CALL_STRATEGIES[name] = st.tuples(
            st.lists(values, max_size=5), st.dictionaries(st.sampled_from(names), values, max_size=3))
    args, kwargs = data.draw(strategy)
    base = name.split(".")[0] if "." in name else name
    if name in INERT_ONLY or base in INERT_ONLY:
        args = [a if inert(a) else None for a in args]
        kwargs = {k: (v if inert(v) else None) for k, v in kwargs.items()}
    if name in NOTICES:
        args, kwargs = to_nowhere(args), {k: to_nowhere(v) for k, v in kwargs.items()}
    return args, kwargs


def run_one(data, name):
    obj = TARGETS[name]
    cls_name, _, method = name.partition(".")
    if not method:
        args, kwargs = draw_call(data, name)
        result = call(name, obj, args, kwargs)
        settle(result)
        if name not in ONE_LEVEL and callable(result) and data.draw(st.booleans()):
            args, kwargs = draw_call(data, name)
            settle(call(name + "()", result, args, kwargs))
        return
    how = data.draw(st.sampled_from(["sample", "unbound", "fuzzed"]))
    if how == "sample" and cls_name in SAMPLES:
        try:
            instance = SAMPLES[cls_name]()
        except Exception as exc:  # a sample must build
            raise AssertionError("sample {} failed: {!r}".format(cls_name, exc))
    elif how == "fuzzed":
        args, kwargs = draw_call(data, cls_name)
        instance = call(cls_name, obj, args, kwargs)
        if not isinstance(instance, obj):
            return
    else:
        instance = data.draw(values)
        if name in INERT_ONLY and not inert(instance):
            instance = None
    # A few methods in a row on the same instance: state left by one meets the next.
    for m in [method] + data.draw(st.lists(st.sampled_from(METHODS[cls_name]), max_size=2)):
        attr = getattr(obj, m, None)
        if attr is None:
            continue
        args, kwargs = draw_call(data, cls_name + "." + m)
        if isinstance(inspect.getattr_static(obj, m), (staticmethod, classmethod)):
            fn = attr
        elif how == "unbound":
            args = [instance] + list(args)
            fn = attr
        else:
            try:
                fn = getattr(instance, m)
            except Exception:
                continue
        settle(call(cls_name + "." + m, fn, args, kwargs))
    if cls_name in ("FileCache", "SQLiteDB") and isinstance(instance, obj):
        call(cls_name + ".close", instance.close, [], {})


@settings(database=None, max_examples=50, deadline=None, phases=[Phase.generate],
          suppress_health_check=list(HealthCheck))
@given(st.data())
def fuzz(data):
    run_one(data, data.draw(st.sampled_from(NAMES)))


# ==== the environment of the calls ===========================================


class FakeTime(types.ModuleType):
    """The module's `time` with pauses that return at once."""

    def __getattr__(self, name):
        return getattr(time, name)

    @staticmethod
    def sleep(seconds):
        time.sleep(0 if seconds >= 0 else seconds)


class FakeImportlib(types.ModuleType):
    """The module's `importlib`: imports only what is already loaded."""

    def __getattr__(self, name):
        import importlib
        return getattr(importlib, name)

    @staticmethod
    def import_module(name, package=None):
        if not isinstance(name, str) or name not in sys.modules:
            raise ModuleNotFoundError("not loaded here: {!r}".format(name))
        return sys.modules[name]


FAKE_TIME, FAKE_IMPORTLIB = FakeTime("time"), FakeImportlib("importlib")
LOGGER = cu.logger
NAMES = sorted(TARGETS)


def main():
    faulthandler.enable()
    warnings.simplefilter("ignore")
    os.environ["NO_PROXY"] = os.environ["no_proxy"] = "*"
    sys.argv = ["fuzz"]
    tidy()
    start = time.monotonic()
    while time.monotonic() < start + SECONDS:
        try:
            fuzz()
        except Flaky:  # calls left state behind that changed later draws
            pass
        gc.collect()
    # Asynchronous runs may leave an event loop set on this thread.
    asyncio.set_event_loop(None)
    print(json.dumps({"calls": sum(COUNTS.values()), "seconds": round(time.monotonic() - start, 1),
                      "targets": {n: COUNTS[n] for n in NAMES}}))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
