"""Many calls of each hot path of the module, and of its error paths, leave the
traced memory, the resident set and the reference counts of None, True, False (before
3.12) and of the objects a call names in its `watched` where they were: one table over the
public names, each row a maker of the call to repeat and the number of calls."""
import argparse
import asyncio
import contextlib
import functools
import inspect
import itertools
import logging
import os
import sys
import types
import warnings

import pytest
import yaml

import common_utils.common_utils as cu


def boom(*args, **kwargs):
    raise RuntimeError("boom")


def raises(fn, *args, **kwargs):
    """A call that must raise; the error's traceback is dropped at once."""
    try:
        fn(*args, **kwargs)
    except Exception:
        return
    raise AssertionError("{} did not raise".format(fn))


def step(x=None, **kwargs):
    return x


def inc(x, **kwargs):
    return x + 1


def fail(x, **kwargs):
    raise ValueError(x)  # a new error each time: raising one again would grow its traceback


def ready(p):
    p.init()
    return p


def pipeline(*steps):
    p, data, kept = ready(cu.Processor(list(steps), return_exceptions=True)), 10 ** 30, object()

    def call():
        with contextlib.suppress(ValueError):
            p.process(data, kept=kept)
    call.watched = (p, data, kept) + tuple(s for s in steps if callable(s))
    return call


def rebound_logger(monkeypatch):
    quiet = dict.fromkeys(["debug", "info", "error"], lambda *args: None)
    monkeypatch.setattr(cu, "logger", types.SimpleNamespace(**quiet))
    return pipeline(*FIVE_STEPS)


def processor_base():
    pb, fp, data, value = cu.ProcessorBase, cu.FunctionProcessor, object(), object()
    shared = fp(step)

    def call():
        return (pb(data, name="n", spark_session=value, other=2), fp(step).process(data, k=value),
                shared.process(data, k=value), shared(step), repr(pb()), repr(fp(step)), pb().as_dict(),
                fp(step).as_dict(), pb().init(), raises(fp, 42), raises(fp, fp(step)),
                raises(fp, functools.partial(step)), raises(pb()), raises(pb(name=3).name))
    call.watched = (data, value, step)
    return call


def signatures():
    own = type("Own", (cu.LRUCache,), {"__init__": lambda self, a: None})
    only = inspect.Signature([inspect.Parameter("only", inspect.Parameter.POSITIONAL_ONLY)])
    mixed = type("Mixed", (cu.Processor, type("Mixin", (), {"__signature__": only})), {})
    cache = cu.LRUCache(4)
    return lambda: (getattr(own, "__signature__", None), getattr(cache, "__signature__", None),
                    mixed.__signature__)


def cached_pipeline():
    p, n = ready(cu.LRUCacheProcessor("in_data", 16, processors=[step])), itertools.count()
    # misses and evictions, a hit, a key that does not hash
    return lambda: (p.process(next(n) % 32), p.process(1), raises(p.process, [1]))


def lru_cache():
    f, g = cu.LRUCache(64, 10 ** 9)(lambda *a, **k: 1), cu.LRUCache(8, 10 ** 9)(boom)
    values, evil = itertools.cycle(range(10 ** 6, 10 ** 6 + 128)), EvilHash()

    def call():
        v = next(values)
        f(v), f(10 ** 6), f(v, 2), f(x=v)  # misses with evictions, and hits
        raises(g, 1), raises(f, evil), raises(f, [1])
        cu._make_key((v, "a", 2.5), {"k": (1,)})  # a new tuple each time
        raises(cu._make_key, (1,), 5)
    return call


def loops():
    lp, failing = ready(cu.LoopProcessor(step, inc)), ready(cu.LoopProcessor(step, boom))
    lazy = ready(cu.SimpleLooper(processors=inc, merge_output=False))
    sel = cu.FunctionSelector(lambda x, **k: x > 0)
    sel.init_function_object(true_processors=step, false_processors=boom)
    looper = cu.FunctionLooper(lambda x, **k: x)
    looper.init_function_object(processors=step)
    c = ready(cu.ConditionalProcessor(lambda x, **k: x > 0, inc, None))
    s = ready(cu.SimpleSelector(true_processors=inc, false_processors=step))
    ready(sel), ready(looper)
    return lambda: (lp.process([1, 2], k=1), list(lazy.process([1])), raises(failing.process, [1]),
                    raises(list, ready(cu.SimpleLooper(processors=boom, merge_output=False)).process([1])),
                    raises(lp.process, 5), sel.process(1), raises(sel.process, -1),
                    looper.process([1, 2]), c.process(1, k=2), c.process(-1), s.process(0))


def decorators():
    warnings.showwarning = lambda *args, **kwargs: None
    calls = [cu.deprecated(step), cu.retry(sleep=0)(lambda x, c=itertools.cycle([None, 1]): next(c)),
             cu.retry(num=2, check_data=0, sleep=0, catch_except=True)(fail), cu.call_report(3)(step)]
    failing = cu.retry(num=2, check_data=None, sleep=0, catch_except=False)(boom)
    reported = cu.call_report(10 ** 9)(boom)
    return lambda: ([c(1) for c in calls], cu.deprecated(step)(1), raises(failing),
                    raises(reported, 1), raises(cu.retry, num="x"))


def threadpool(monkeypatch):
    async def immediate(func, *args):
        await asyncio.sleep(0)
        return func(*args)

    monkeypatch.setattr(cu, "anyio", types.SimpleNamespace(
        to_thread=types.SimpleNamespace(run_sync=immediate)))

    def cycle():  # closed before the start, closed while waiting, run to the end
        cu.run_in_threadpool(dict, a=1).close()
        started, done = cu.run_in_threadpool(divmod, 7, 2), cu.run_in_threadpool(divmod, 7, 2)
        started.send(None)
        started.close()
        done.send(None)
        with contextlib.suppress(StopIteration):
            done.send(None)
    return cycle


def notices(monkeypatch):
    answer = types.SimpleNamespace(status_code=200)
    monkeypatch.setattr(cu, "requests", types.SimpleNamespace(post=lambda *a, **k: answer))
    return lambda: (cu.send_notice_kv({"b": 2, "a": 1}, "u", "B", "E"),
                    cu.send_notice({"k": ["ü"]}, "u", timeout=1),
                    raises(cu.send_notice_kv, [(1, 2, 3)], "u"),
                    cu.strip_tags(PAGE), raises(cu.strip_tags, b"<p>"), raises(cu.strip_tags, None))


def file_cache(tmp_path):
    cache = cu.FileCache(str(tmp_path / "fc"))
    f, g, h = cache(boom), cache(step), cache(lambda x: None if x else "stored")
    h(0)  # then a hit, a miss that stores nothing, errors (a lambda does not pickle)
    big = 10 ** 9 + 7  # the argument of the miss, watched for a kept reference

    def call():
        return h(0), h(big), raises(f, 1), raises(g, lambda: 1)
    call.watched = (big,)
    return call


def config(tmp_path, monkeypatch):
    monkeypatch.setattr(sys, "argv", ["job.py", "--batch", "3"])  # what ContextProcessor parses
    args = argparse.Namespace(train={"steps": [len], "batch": 1})
    for name, text in [("sub", "k: [1, 2]\n"), ("c", "debug: true\nname: n\n"),
                       ("main", "a: {b: 1}\ninc: !include sub.yaml\nab: !alias a.b\n"),
                       ("bad", "a: 1\nx: !alias nowhere.9\ny: !include missing.yaml\n")]:
        (tmp_path / (name + ".yaml")).write_text(text)
    parser = argparse.ArgumentParser()
    parser.add_argument("--kv", nargs="+", action=cu.list_to_keyvalue)
    parser.add_argument("--kv2", nargs="+", action=cu.list_to_keyvalue2)
    cu.parser_add_bool(parser, "flag")
    words = ["--my_config_yaml", str(tmp_path / "c.yaml"), "--name", "m", "-q"]

    def call():
        for name in ("main", "bad"):
            with open(str(tmp_path / (name + ".yaml"))) as f:
                raises(yaml.load, f, Loader=cu._EnhanceSafeLoader) if name == "bad" else \
                    yaml.load(f, Loader=cu._EnhanceSafeLoader)
        parser.parse_args(["--kv", "a:1", "b", "--kv2", "c=2", "--flag", "yes"])
        cu.str_to_bool("off"), raises(cu.str_to_bool, "maybe"), raises(cu.parser_add_bool, parser, "flag")
        cu.parse_args_and_yaml(cu.init_default_parser(change_config_name=True), words, "t", True)
        raises(cu.parse_args_and_yaml, cu.init_default_parser(), ["--config_yaml", "missing.yaml"])
        cu.ContextProcessor(None, None, args, "steps", "json", "train")
    return call


def logging_calls(request, monkeypatch, velox):
    """The logging functions and their error paths, the platform off (velox False) or on with a
    stand-in `velox` that fails at once.  Loggers get their levels and handlers back afterwards."""
    if velox is False:
        monkeypatch.delenv("TAVOLA_PLATFORM", raising=False)
    else:
        monkeypatch.setenv("TAVOLA_PLATFORM", "123")
        monkeypatch.setitem(sys.modules, "velox", velox)
    every = [logging.root] + [lg for lg in list(logging.root.manager.loggerDict.values())
                              if isinstance(lg, logging.Logger)]
    before = {id(lg): (lg, lg.level, list(lg.handlers)) for lg in every}

    def restore():
        for lg, level, kept in before.values():
            lg.setLevel(level)
            for h in [h for h in lg.handlers if not any(h is k for k in kept)]:
                lg.removeHandler(h)
                h.close()
    request.addfinalizer(restore)
    name, sink = "leak", os.devnull
    logger = cu.logger_append_file(cu.get_logger(name), sink)
    cu.add_logger_file(sink)  # every "QRX_" logger now holds the sink once
    family = [lg for n, lg in logging.root.manager.loggerDict.items() if n[:4] == "QRX_"]
    for member in family:  # records are still made, nothing is written or kept
        monkeypatch.setattr(member, "propagate", False)
        [h.setLevel(logging.CRITICAL + 1) for h in member.handlers]

    def call():
        cu.get_compile_version(), cu._get_velox_logger(), cu.get_logger(name)
        cu.logger_append_file(logger, sink), cu.get_file_logger(name=name, file_name=sink)
        cu.set_logger_level("INFO"), cu.add_logger_file(sink), raises(cu.get_logger, 1)
        raises(cu.get_file_logger, "a"), raises(cu.add_logger_file, x=1), raises(cu.get_compile_version, 1)
        raises(cu.logger_append_file, logger, b"x"), raises(cu.set_logger_level, 1, 2)
        raises(cu.set_logger_level, "NO_SUCH_LEVEL")
        raises(cu.logger_append_file, logger, "/nonexistent/x.log")
    call.watched = (logger, name, sink)  # a reference kept per call grows no memory
    return call


EvilHash = type("EvilHash", (), {"__hash__": boom})
FIVE_STEPS = [inc, inc, step, [inc], cu.FunctionProcessor(step)]
PAGE = "<div class='c'><p>text &amp; more</p><!-- c --></div>" * 2
COMMAND = [sys.executable, "-c", "print('a'); print('b')"]
# name -> (maker, calls); a maker gets the fixtures its parameters name.
PATHS = {
    "Processor, five steps": (lambda: pipeline(*FIVE_STEPS), 50_000),
    "Processor, rebound logger": (rebound_logger, 50_000),
    "Processor, stop": (lambda: pipeline(inc, cu.StopRunProcessor(ready=True), step), 20_000),
    "Processor, failure": (lambda: pipeline(inc, fail), 20_000),
    "Processor, build": (lambda: lambda: cu.Processor([inc, [step], {"StopRunProcessor": {}}]).init(),
                         20_000),
    "ProcessorBase and FunctionProcessor": (processor_base, 50_000),
    "class signatures declined": (signatures, 20_000),
    "loops and branches": (loops, 30_000),
    "async loop": (lambda: functools.partial(ready(cu.LoopProcessor(step, step, use_aysnc_run=True)).process,
                                             [1, 2, 3]), 2_000),
    "LRUCache and _make_key": (lru_cache, 25_000),
    "LRUCacheProcessor": (cached_pipeline, 50_000),
    "FileCache": (file_cache, 20_000),
    "decorators": (decorators, 20_000),
    "run_in_threadpool": (threadpool, 50_000),
    "notices and strip_tags": (notices, 5_000),
    "yaml, parsers and ContextProcessor": (config, 1_000),
    "cmd_process_return_data": (lambda: lambda: (
        list(cu.cmd_process_return_data(COMMAND)), cu.cmd_process_return_data("never started"),
        raises(list, cu.cmd_process_return_data([sys.executable, "-c", "exit(3)"])),
        raises(list, cu.cmd_process_return_data(5))), 200),
    "logging, platform off": (lambda request, monkeypatch: logging_calls(request, monkeypatch, False), 5_000),
    "logging, velox absent": (lambda request, monkeypatch: logging_calls(request, monkeypatch, None), 5_000),
    "logging, velox without logger": (lambda request, monkeypatch: logging_calls(
        request, monkeypatch, types.ModuleType("velox")), 5_000),
}


# From 3.12 on these are immortal: the interpreter leaves their counts alone while
# the one wheel, built for 3.8, still counts on them, so a count says nothing there.
SINGLETONS = (None, True, False) if sys.version_info < (3, 12) else ()


@pytest.mark.parametrize("maker, count", PATHS.values(), ids=PATHS.keys())
def test_calls_do_not_grow_memory(maker, count, request, tmp_path, memory_growth, monkeypatch):
    # Records of the error paths would pile up in the test run's log capture.
    silent = logging.getLogger("cu-test-quiet-leaks")
    silent.disabled = True
    monkeypatch.setattr(cu, "logger", silent)
    monkeypatch.setattr(sys, "argv", ["job.py"])
    monkeypatch.chdir(tmp_path)
    with warnings.catch_warnings():
        call = maker(*[request.getfixturevalue(p) for p in inspect.signature(maker).parameters])
        watched = SINGLETONS + getattr(call, "watched", ())
        refs = [sys.getrefcount(o) for o in watched]
        traced, rss = memory_growth(call, count)
        refs = [sys.getrefcount(o) - r for o, r in zip(watched, refs)]
    print("{} calls: traced {:+d} B, rss {:+d} B, references {}".format(count, traced, rss, refs))
    # One leaked small object or reference per call would pass these by far.
    assert traced < min(64 * 1024, max(16 * count, 8 * 1024)) and rss < 2 * 1024 * 1024
    assert all(abs(d) < count // 2 for d in refs), refs
