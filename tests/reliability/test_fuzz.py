"""Wrong types and arities for every public callable of the module end in a return or an
exception, never in a crash or a hang.  `python test_fuzz.py SECONDS`, which the test runs
in a child interpreter (a crash is a failed exit status), calls every public function,
class constructor and method with generated wrong types and arities (hostile dunders,
reentrant callbacks) for SECONDS; a hang makes faulthandler end it, ./last_call names the
call under way.  It prints one JSON line: {"calls": N, "seconds": S, "targets": {name: calls}}.
CU_FUZZ_SECONDS sets how long the test runs (default 60, 20 under the sanitizers)."""
import asyncio
import collections
import contextlib
import faulthandler
import gc
import importlib
import inspect
import io
import json
import logging
import os
import subprocess
import sys
import time
import types
import warnings

import pytest
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st
from hypothesis.errors import Flaky

import common_utils.common_utils as cu

SECONDS = float(os.environ.get("CU_FUZZ_SECONDS") or (20 if os.environ.get("CU_SANITIZER") else 60))
HANG = 60  # a call longer than HANG seconds is a hang
METHODS, TARGETS = {}, {}  # class -> its method names, inherited ones too; name -> callable
for name in dir(cu):
    obj = getattr(cu, name)
    if getattr(obj, "__module__", None) != cu.__name__ or not callable(obj):
        continue
    TARGETS[name] = obj
    if isinstance(obj, type):
        every = {k for klass in obj.__mro__ if getattr(klass, "__module__", None) == cu.__name__
                 for k, v in vars(klass).items() if callable(v) or isinstance(v, (staticmethod, classmethod))}
        METHODS[name] = sorted(every - {"__new__", "__init_subclass__"})
        # an inherited method is a target of the class defining it; sequences reach it elsewhere
        TARGETS.update({name + "." + m: obj for m in set(METHODS[name]) & set(vars(obj))})
NAMES = sorted(TARGETS)


def params_of(name):
    cls_name, _, method = name.partition(".")
    try:
        obj = getattr(getattr(cu, cls_name), method) if method else getattr(cu, cls_name)
        return [p for p in inspect.signature(obj).parameters if p != "self"]
    except (TypeError, ValueError, AttributeError):
        return []


# They run programs, pip or unpickle: no text reaches them, every other wrong type does.
INERT_ONLY = {"cmd_process", "cmd_process_return_data", "install_and_import",
              "LoopProcessor._run_loop_batch"}
NOWHERE = "http://127.0.0.1:9/"  # every string a webhook sender gets
ONE_LEVEL = {"retry"}  # retries its result as often as told: never the function it returns


Boom = type("Boom", (Exception,), {})


def boom(*args, **kwargs):
    raise Boom("boom")


evil = lambda *dunders: type("Evil", (), {d: boom for d in dunders})()  # noqa: E731
DUNDERS = ["__eq__", "__hash__", "__str__", "__repr__", "__len__", "__iter__", "__getattr__",
           "__bool__", "__index__", "__float__", "__call__"]
EVILS = [evil(d) for d in DUNDERS] + [evil(*DUNDERS)]
StrSub = type("StrSub", (str,), {})
EvilStr = type("EvilStr", (str,), {"__eq__": boom, "__hash__": boom, "__str__": boom})
Dict2 = type("Dict2", (dict,), {"__getitem__": boom})


def reenter(*args, **kwargs):
    """Calls back into the module while the module is calling it."""
    key = cu._make_key(args, kwargs, False)
    cu.strip_tags("<b>x</b>")
    cu.Processor([lambda x, **k: x]).process(len(args))
    return key


def generator(*args, **kwargs):
    yield from args


async def coroutine_function(*args, **kwargs):
    return args


CALLBACKS = [boom, reenter, generator, coroutine_function, len, dict, lambda *a, **k: None,
             lambda *a, **k: True, lambda *a, **k: a[0] if a else k, cu.strip_tags, cu._make_key,
             cu.str_to_bool, cu.Processor, cu.ProcessorBase]


def pick(pool):  # sampled_from without repr() of the elements (evil ones raise there)
    return st.integers(0, len(pool) - 1).map(lambda i: pool[i])


TEXT = st.text(st.characters(blacklist_characters="/"), max_size=12)
hashable = st.one_of(
    st.none(), st.booleans(), st.integers(-3, 40),
    st.sampled_from([2 ** 31, 2 ** 63, -2 ** 63 - 1, 2 ** 64, 10 ** 30]), st.floats(), TEXT,
    st.sampled_from(["", "in_data", "fixed", "disable", "true", "0", "a.b", "DEBUG", "a:1",
                     "<p>x</p>", "!include", "-x", "--k"]), st.binary(max_size=12))
leaf = st.one_of(hashable, TEXT.map(StrSub), TEXT.map(EvilStr), pick(EVILS), pick(CALLBACKS),
                 pick([object(), cu, logging.getLogger("cu-fuzz"), cu.ARG_TYPE.FIXED,
                       ValueError("e"), type, int, sys.stdout]))
keys = hashable.filter(lambda v: v == v)
values = st.recursive(leaf, lambda inner: st.one_of(
    st.lists(inner, max_size=4), st.lists(inner, max_size=3).map(tuple),
    st.dictionaries(keys, inner, max_size=3), st.dictionaries(keys, inner, max_size=3).map(Dict2)),
    max_leaves=5)


def inert(v):
    """No text anywhere in v, and no callback that could run one."""
    if isinstance(v, (str, bytes)):
        return False
    if isinstance(v, (list, tuple, dict)):
        return all(inert(x) for x in (list(v.items()) if isinstance(v, dict) else v))
    return not any(v is c for c in CALLBACKS) or any(v is c for c in (boom, len, dict))


def to_nowhere(v):
    if isinstance(v, str):
        return NOWHERE
    return type(v)(to_nowhere(x) for x in v) if isinstance(v, (list, tuple)) else v


class YamlText(io.StringIO):
    name = "sample.yaml"


STEP = lambda x=None, **k: x  # noqa: E731
LIST = lambda x=None, **k: [1, 2]  # noqa: E731
SAMPLES = {  # a working instance of each class, to call its methods on: name -> (*arguments)
    "ProcessorBase": (), "FunctionProcessor": (STEP,), "Processor": ([STEP, STEP],), "StopRunProcessor": (),
    "ConditionalProcessor": (bool, STEP, None), "FunctionSelector": (bool,), "LoopProcessor": (LIST, STEP),
    "SimpleSelector": {"true_processors": STEP, "false_processors": STEP}, "FunctionLooper": (LIST,),
    "SimpleLooper": {"processors": STEP}, "ContextProcessor": ([STEP],), "MLStripper": (),
    "LRUCacheProcessor": {"processors": [STEP]}, "LRUCache": (4, 3), "FileCache": ("sample_cache",),
    "SQLiteDB": (":memory:",), "_EnhanceSafeLoader": lambda: (YamlText("a: [1, {b: 2}]\n"),),
    "list_to_keyvalue": (["--kv"], "kv"), "list_to_keyvalue2": (["--kv"], "kv"), "StopRunError": (),
    "_CacheInfo": (1, 2, 3, 4),
}
COUNTS, TOUCHED = collections.Counter(), {}  # TOUCHED: loggers given a handler, their handlers before
LOGGER, ADD_HANDLER = cu.logger, logging.Logger.addHandler


def add_handler(self, handler):
    TOUCHED.setdefault(id(self), (self, list(self.handlers)))
    ADD_HANDLER(self, handler)


class FakeTime(types.ModuleType):  # pauses return at once
    __getattr__, sleep = staticmethod(lambda name: getattr(time, name)), staticmethod(
        lambda seconds: time.sleep(0 if seconds >= 0 else seconds))


class FakeImportlib(types.ModuleType):  # imports only what is already loaded
    __getattr__ = staticmethod(lambda name: getattr(importlib, name))

    @staticmethod
    def import_module(name, package=None):
        if not isinstance(name, str) or name not in sys.modules:
            raise ModuleNotFoundError("not loaded here: {!r}".format(name))
        return sys.modules[name]


def tidy():
    """Undoes what a call did to logging (levels, handlers and their files) and the module."""
    cu.logger = LOGGER
    LOGGER.setLevel(logging.CRITICAL + 10)
    LOGGER.disabled = False
    for logger, keep in TOUCHED.values():
        for h in [h for h in logger.handlers if not any(h is k for k in keep)]:
            logger.removeHandler(h)
            h.close()
    TOUCHED.clear()
    cu.time, cu.importlib = FakeTime("time"), FakeImportlib("importlib")


def settle(result):
    """Touches what a call returned: repr, a few steps of generators, closing coroutines."""
    with contextlib.suppress(Exception):
        repr(result)
    with contextlib.suppress(Exception):
        for _, _ in zip(range(5), result if inspect.isgenerator(result) else ()):
            pass
    if inspect.iscoroutine(result) or inspect.isgenerator(result):
        result.close()


def call(name, fn, args, kwargs):
    COUNTS[name] += 1
    text = "{} {} {}\n".format(name, [type(a).__name__ for a in args], sorted(map(str, kwargs)))
    os.pwrite(LAST, text.encode(), 0)
    os.ftruncate(LAST, len(text))
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


STRATEGIES = {}


def draw_call(data, name):
    """Positional and keyword arguments; keywords mostly named after the target's parameters."""
    if name not in STRATEGIES:
        names = params_of(name) + ["in_data", "g_kwargs", "kwargs", "x"]
        STRATEGIES[name] = st.tuples(st.lists(values, max_size=5),
                                     st.dictionaries(st.sampled_from(names), values, max_size=3))
    args, kwargs = data.draw(STRATEGIES[name])
    if name in INERT_ONLY or name.split(".")[0] in INERT_ONLY:
        args, kwargs = [a if inert(a) else None for a in args], {
            k: (v if inert(v) else None) for k, v in kwargs.items()}
    if name.startswith("send_notice"):
        args, kwargs = to_nowhere(args), {k: to_nowhere(v) for k, v in kwargs.items()}
    return args, kwargs


def run_one(data, name):
    obj, (cls_name, _, method) = TARGETS[name], name.partition(".")
    if not method:
        result = call(name, obj, *draw_call(data, name))
        settle(result)
        if name not in ONE_LEVEL and callable(result) and data.draw(st.booleans()):
            settle(call(name + "()", result, *draw_call(data, name)))
        return
    how = data.draw(st.sampled_from(["sample", "unbound", "fuzzed"]))
    if how == "sample" and cls_name in SAMPLES:
        sample = SAMPLES[cls_name]() if callable(SAMPLES[cls_name]) else SAMPLES[cls_name]
        instance = obj(**sample) if isinstance(sample, dict) else obj(*sample)  # a sample must build
    elif how == "fuzzed":
        instance = call(cls_name, obj, *draw_call(data, cls_name))
        if not isinstance(instance, obj):
            return
    else:
        instance = data.draw(values)
        instance = None if name in INERT_ONLY and not inert(instance) else instance
    # A few methods in a row on the same instance: state left by one meets the next.
    for m in [method] + data.draw(st.lists(st.sampled_from(METHODS[cls_name]), max_size=2)):
        args, kwargs = draw_call(data, cls_name + "." + m)
        if isinstance(inspect.getattr_static(obj, m, None), (staticmethod, classmethod)):
            fn = getattr(obj, m)
        elif how == "unbound":
            fn, args = getattr(obj, m), [instance] + list(args)
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


@pytest.mark.long
def test_bad_input_never_crashes_or_hangs(tmp_path):
    done = subprocess.run([sys.executable, __file__, str(SECONDS)], cwd=str(tmp_path), text=True,
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=SECONDS + 300)
    last = (tmp_path / "last_call").read_text() if (tmp_path / "last_call").exists() else ""
    assert done.returncode == 0, "last call: {}\n{}".format(last, done.stderr[-6000:])
    # A short run need not reach every target: it is about no crash and no hang.
    assert json.loads(done.stdout.splitlines()[-1])["calls"] > 0, done.stdout[-6000:]


if __name__ == "__main__":
    SECONDS, LAST = float(sys.argv[1]), os.open("last_call", os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    faulthandler.enable()
    warnings.simplefilter("ignore")
    os.environ["NO_PROXY"] = os.environ["no_proxy"] = "*"
    sys.argv = ["fuzz"]
    logging.Logger.addHandler = add_handler
    tidy()
    start = time.monotonic()
    while time.monotonic() < start + SECONDS:
        try:
            fuzz()
        except Flaky:  # calls left state behind that changed later draws
            pass
        gc.collect()
    asyncio.set_event_loop(None)  # asynchronous runs may leave an event loop set
    print(json.dumps({"calls": sum(COUNTS.values()), "seconds": round(time.monotonic() - start, 1),
                      "targets": {n: COUNTS[n] for n in NAMES}}), flush=True)
