"""Concurrent runs of pipelines and loops in one child interpreter: anyio's
worker threads are not daemon threads, so a run that leaves one behind shows up
as a child that never exits."""
import textwrap

PRELUDE = textwrap.dedent(
    """
    import asyncio, threading, time
    import common_utils.common_utils as cu
    cu.logger.disabled = True
    """
)

CASES = {
    # A concurrent loop inside a step of a concurrent pipeline.
    "nested": """
        inner = cu.SimpleLooper(processors=lambda x, **kw: x * 2, use_aysnc_run=True, ready=True)
        def step(x, **kw):
            return inner.process(list(range(x)))
        outer = cu.Processor([step, step], input_arg_type="fixed", use_aysnc_run=True, ready=True)
        assert outer.process(5) == [0, 2, 4, 6, 8]
        async def main():
            return outer.process(3)
        assert asyncio.run(main()) == [0, 2, 4]
    """,
    # An error while other items still run: the caller gets it only after
    # they have finished, and the interpreter still exits.
    "error_waits_for_the_rest": """
        finished = []
        def body(x, **kw):
            if x == 0:
                raise KeyError("first")
            time.sleep(0.3)
            finished.append(x)
            return x
        loop = cu.SimpleLooper(processors=body, use_aysnc_run=True, ready=True)
        try:
            loop.process([0, 1, 2])
        except KeyError as err:
            assert err.args == ("first",)
        else:
            raise AssertionError("no error")
        assert sorted(finished) == [1, 2]
    """,
    # Of two failures, the one that happened first is raised, whatever the order.
    "first_error_in_time": """
        def late(x, **kw):
            time.sleep(0.3)
            raise ValueError("late")
        def early(x, **kw):
            raise LookupError("early")
        p = cu.Processor([late, early], input_arg_type="fixed", use_aysnc_run=True, ready=True)
        try:
            p.process(1)
        except LookupError as err:
            assert str(err) == "early"
        else:
            raise AssertionError("wrong error")
    """,
    # The same error object, with the step's frame in its traceback.
    "error_unchanged": """
        import traceback
        boom = RuntimeError("boom")
        def step(**kw):
            raise boom
        p = cu.Processor([step], input_arg_type="disable", use_aysnc_run=True, ready=True)
        try:
            p.process()
        except RuntimeError as err:
            assert err is boom
            assert any(f.name == "step" for f in traceback.extract_tb(err.__traceback__))
    """,
}


def test_concurrent_runs_in_a_child(run_python):
    script = "".join("def case_{}():{}".format(name, textwrap.indent(textwrap.dedent(body), "    "))
                     for name, body in CASES.items())
    calls = "".join("case_{}()\nprint('ok', {!r})\n".format(name, name) for name in CASES)
    done = run_python(PRELUDE + script + calls, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == [w for name in CASES for w in ("ok", name)]
