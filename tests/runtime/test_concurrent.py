"""run_in_threadpool on real worker threads, and the concurrent runs of
pipelines and loops built on it, in one child interpreter: anyio's worker
threads are not daemon threads, so a run that leaves one behind shows up as a
child that never exits."""
import textwrap

PRELUDE = textwrap.dedent(
    """
    import asyncio, threading, time
    import common_utils.common_utils as cu
    cu.logger.disabled = True
    run, main = cu.run_in_threadpool, threading.get_ident()
    """
)

CASES = {
    # Results in item order though later items end first; the module-level
    # run_in_threadpool is looked up for every item; nested in a step of a
    # concurrent pipeline, in a worker thread with no event loop of its own.
    "loop": """
        def body(x, **kw):
            time.sleep(0.01 * (5 - x))
            return x * 2
        calls = []
        def counted(*args, **kwargs):
            calls.append(args[1])
            return run(*args, **kwargs)
        cu.run_in_threadpool = counted
        inner = cu.SimpleLooper(processors=body, use_aysnc_run=True, ready=True)
        assert inner.process(range(5)) == [0, 2, 4, 6, 8] and calls == [0, 1, 2, 3, 4]
        cu.run_in_threadpool = run
        def step(x, **kw):
            return inner.process(list(range(x)))
        outer = cu.Processor([step, step], input_arg_type="fixed", use_aysnc_run=True, ready=True)
        assert outer.process(5) == [0, 2, 4, 6, 8]
    """,
    # Of two failures the first in time is raised, whatever the order, as the
    # same object with its step's frame in its traceback, only once the other
    # step has finished too; then nothing is left running.
    "first_error_after_the_rest": """
        import traceback
        early, finished = LookupError("early"), []
        def late(x, **kw):
            time.sleep(0.3)
            finished.append(x)
            raise ValueError("late")
        def first(x, **kw):
            raise early
        p = cu.Processor([late, first], input_arg_type="fixed", use_aysnc_run=True, ready=True)
        try:
            p.process(1)
        except LookupError as err:
            assert err is early and finished == [1]
            assert any(f.name == "first" for f in traceback.extract_tb(err.__traceback__))
        else:
            raise AssertionError("no error")
        for t in threading.enumerate():  # and no worker or event loop is left running
            if t.ident != main:
                t.join(10)
        assert threading.active_count() == 1 and not asyncio.get_event_loop().is_running()
    """,
    # Every step of a pipeline at once (the first step ends only once the last
    # one runs), each with the run's dictionary and its own timing.
    "pipeline_steps_at_once": """
        last_done, seen = threading.Event(), []
        def make(i):
            def step(x=None, **kwargs):
                seen.append((i, x, sorted(kwargs)))
                assert i or last_done.wait(30)
                i == 49 and last_done.set()
                return (i, x)
            step.__name__ = "s%d" % i
            return step
        steps, g_kwargs = [make(i) for i in range(50)], {}
        p = cu.Processor(steps, input_arg_type="fixed", use_aysnc_run=True, ready=True)
        assert p.process("x") == (49, "x")
        assert sorted(seen) == [(i, "x", ["g_kwargs", "time_cost"]) for i in range(50)]
        q = cu.Processor(steps, input_arg_type="disable", use_aysnc_run=True, update_global_kwargs=True,
                         ready=True)
        last_done.clear()
        assert q.process("x", g_kwargs) == (49, None)
        assert sorted(g_kwargs["time_cost"]) == sorted("s%d()" % i for i in range(50))
    """,
    # Every item of a loop at once (the first waits for the last) on anyio's
    # few workers for the whole run, not one per item, also when the thread's
    # current event loop is one it may not step: run by a thread of its own
    # (as a cluster client leaves it), or closed.  Loops made for such runs
    # are freed.
    "loop_items_at_once": """
        import gc
        workers, release = set(), threading.Event()
        def body(x, **kwargs):
            workers.add(threading.current_thread())
            assert x or release.wait(30)
            x == 299 and release.set()
            return 2 * x
        items, want = list(range(300)), [2 * i for i in range(300)]
        def run_all(lp):
            release.clear()
            return lp.process(items) == want
        lp = cu.SimpleLooper(processors=body, use_aysnc_run=True, ready=True)
        async def inside_a_loop():  # which the run steps meanwhile
            ticks = []
            asyncio.get_running_loop().call_soon(ticks.append, 1)
            return run_all(lp) and ticks == [1]
        assert all(run_all(cu.LoopProcessor(lambda x, **kw: x, body, merge, True, ready=True))
                   for merge in (True, False))
        assert asyncio.run(inside_a_loop())
        workers.clear()
        assert run_all(lp) and lp.process([]) == [] and run_all(lp) and len(workers) <= 2 * 40
        other = asyncio.new_event_loop()
        asyncio.set_event_loop(other)
        stepper = threading.Thread(target=other.run_forever, daemon=True)
        stepper.start()
        while not other.is_running():
            pass
        assert all(run_all(lp) for _ in range(20))
        workers.clear()
        gc.collect()
        assert sum(isinstance(o, asyncio.AbstractEventLoop) for o in gc.get_objects()) <= 3  # none kept
        closed = asyncio.new_event_loop()
        closed.close()
        asyncio.set_event_loop(closed)
        assert run_all(lp) and asyncio.get_event_loop() is closed
        other.call_soon_threadsafe(other.stop)
        stepper.join(10)
    """,
}


def test_concurrent_runs_in_a_child(run_python):
    script = "".join("def case_{}():{}".format(name, textwrap.indent(textwrap.dedent(body), "    "))
                     for name, body in CASES.items())
    calls = "".join("case_{}()\nprint('ok', {!r})\n".format(name, name) for name in CASES)
    done = run_python(PRELUDE + script + calls, timeout=120)
    assert done.returncode == 0 and "Exception in callback" not in done.stderr, done.stderr
    assert done.stdout.split() == [w for name in CASES for w in ("ok", name)]
