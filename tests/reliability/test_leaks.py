"""Many calls of each hot path, and of its error path, leave the traced memory
and the resident set where they were.

The paths that have a leak test next to their own tests (cache hits and
misses, sequential, conditional and loop runs, retry and call_report
successes, strip_tags, yaml walks, notices) are not repeated here.
"""
import argparse
import logging
import sys

import pytest
import yaml

import common_utils.common_utils as cu


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    raise Boom("boom")


def raises(fn, *args, **kwargs):
    """A call that must raise; the error's traceback is dropped at once."""
    try:
        fn(*args, **kwargs)
    except Exception:
        return
    raise AssertionError("{} did not raise".format(fn))


def step(x=None, **kwargs):
    return x


class EvilHash:
    def __hash__(self):
        raise Boom("hash")


# ==== the paths ==============================================================
# Each maker returns the zero-argument call to repeat.


def make_key():
    evil = EvilHash()

    def call():
        cu._make_key((1, "a", 2.5), {"k": (1,)})
        cu._make_key((7,), {})
        raises(cu._make_key, (1,), 5)        # keywords without items()
        raises(cu._make_key, (evil,), {})    # a single argument is hashed
    return call


def cache_errors():
    f = cu.LRUCache(maxsize=8, report_times=10 ** 9)(boom)
    g = cu.LRUCache(maxsize=8, report_times=10 ** 9)(step)
    evil = EvilHash()
    return lambda: (raises(f, 1), raises(g, evil), raises(g, [1]))


def file_cache_errors(tmp_path):
    cache = cu.FileCache(str(tmp_path / "fc"))
    f, g = cache(boom), cache(step)
    return lambda: (raises(f, 1), raises(g, lambda: 1))  # a lambda does not pickle


def cached_pipeline():
    p = cu.LRUCacheProcessor("in_data", 16, processors=[step])
    p.init()
    state = [0]

    def call():
        state[0] += 1
        p.process(state[0] % 32)  # misses and evictions
        p.process(1)              # a hit
    return call


def cached_pipeline_errors():
    p = cu.LRUCacheProcessor("in_data", 16, processors=[boom])
    p.init()
    return lambda: (raises(p.process, 1), raises(p.process, [1]))


def async_loop():
    lp = cu.LoopProcessor(lambda x, **k: x, step, use_aysnc_run=True)
    lp.init()
    return lambda: lp.process([1, 2, 3])


def loop_errors():
    lp = cu.LoopProcessor(lambda x, **k: x, boom)
    lazy = cu.SimpleLooper(processors=boom, merge_output=False)
    lp.init(), lazy.init()
    return lambda: (raises(lp.process, [1, 2]), raises(list, lazy.process([1])),
                    raises(lp.process, 5))  # an int does not iterate


def function_steps():
    sel = cu.FunctionSelector(lambda x, **k: x > 0)
    sel.init_function_object(true_processors=step, false_processors=boom)
    looper = cu.FunctionLooper(lambda x, **k: x)
    looper.init_function_object(processors=step)
    sel.init(), looper.init()
    return lambda: (sel.process(1), raises(sel.process, -1), looper.process([1, 2]))


def decorator_errors():
    failing = cu.retry(num=2, check_data=None, sleep=0, catch_except=False)(boom)
    reported = cu.call_report(10 ** 9)(boom)
    return lambda: (raises(failing), raises(reported, 1), raises(cu.retry, num="x"))


def text_errors():
    return lambda: (raises(cu.strip_tags, b"<p>"), raises(cu.strip_tags, None))


def yaml_loads(tmp_path):
    (tmp_path / "sub.yaml").write_text("k: [1, 2]\n")
    (tmp_path / "main.yaml").write_text("a: {b: 1}\ninc: !include sub.yaml\nab: !alias a.b\n")
    (tmp_path / "bad.yaml").write_text("a: 1\nx: !alias nowhere.9\ny: !include missing.yaml\n")
    main, bad = str(tmp_path / "main.yaml"), str(tmp_path / "bad.yaml")

    def call():
        with open(main) as f:
            assert yaml.load(f, Loader=cu._EnhanceSafeLoader)["ab"] == 1
        with open(bad) as f:
            raises(yaml.load, f, Loader=cu._EnhanceSafeLoader)
    return call


def argparse_helpers():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kv", nargs="+", action=cu.list_to_keyvalue)
    parser.add_argument("--kv2", nargs="+", action=cu.list_to_keyvalue2)
    cu.parser_add_bool(parser, "flag")
    words = ["--kv", "a:1", "b", "--kv2", "c=2", "--flag", "yes"]

    def call():
        parser.parse_args(words)
        cu.str_to_bool("off")
        raises(cu.str_to_bool, "maybe")
        raises(cu.parser_add_bool, parser, "flag")  # a second --flag conflicts
    return call


def standard_parser(tmp_path):
    (tmp_path / "c.yaml").write_text("debug: true\nname: n\n")
    words = ["--my_config_yaml", str(tmp_path / "c.yaml"), "--name", "m", "-q"]

    def call():
        cu.parse_args_and_yaml(cu.init_default_parser(change_config_name=True), words, "t", True)
        raises(cu.parse_args_and_yaml, cu.init_default_parser(), ["--config_yaml", "missing.yaml"])
    return call


def short_child():
    ok = [sys.executable, "-c", "print('a'); print('b')"]
    failing = [sys.executable, "-c", "import sys; sys.exit(3)"]
    return lambda: (list(cu.cmd_process_return_data(ok)),
                    raises(list, cu.cmd_process_return_data(failing)),
                    raises(list, cu.cmd_process_return_data(5)))


# name -> (maker, calls); a maker that takes tmp_path gets it.
PATHS = {
    "_make_key": (make_key, 100_000),
    "LRUCache errors": (cache_errors, 100_000),
    "FileCache errors": (file_cache_errors, 20_000),
    "LRUCacheProcessor": (cached_pipeline, 50_000),
    "LRUCacheProcessor errors": (cached_pipeline_errors, 50_000),
    "async loop": (async_loop, 2_000),
    "loop errors": (loop_errors, 50_000),
    "function selector and looper": (function_steps, 50_000),
    "retry and call_report errors": (decorator_errors, 50_000),
    "strip_tags errors": (text_errors, 100_000),
    "yaml load with both tags": (yaml_loads, 2_000),
    "argparse helpers": (argparse_helpers, 10_000),
    "standard parser with yaml": (standard_parser, 1_000),
    "cmd_process_return_data": (short_child, 200),
}


@pytest.fixture
def quiet(monkeypatch):
    # Records of the error paths would pile up in the test run's log capture.
    silent = logging.getLogger("cu-test-quiet-leaks")
    silent.disabled = True
    monkeypatch.setattr(cu, "logger", silent)
    monkeypatch.setattr(sys, "argv", ["job.py"])


@pytest.mark.parametrize("maker, count", PATHS.values(), ids=PATHS.keys())
def test_calls_do_not_grow_memory(maker, count, tmp_path, quiet, memory_growth, monkeypatch):
    monkeypatch.chdir(tmp_path)
    call = maker(tmp_path) if maker.__code__.co_argcount else maker()
    traced, rss = memory_growth(call, count)
    print("{}: {} calls, traced {:+d} B ({:.3f} B/call), rss {:+d} B".format(
        maker.__name__, count, traced, traced / count, rss))
    # One leaked small object per call would pass these by far.
    assert traced < min(64 * 1024, max(16 * count, 8 * 1024))
    assert rss < 2 * 1024 * 1024
