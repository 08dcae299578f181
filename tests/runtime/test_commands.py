"""External commands: cmd_process, cmd_process_return_data, install_and_import."""
import contextlib
import io
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import common_utils.common_utils as cu

PY = sys.executable


def messages(records):
    return [(r.levelname, r.msg, r.args) for r in records]


# ==== commands, exit statuses and log lines ==================================


@pytest.mark.parametrize("runner", ["cmd_process", "cmd_process_return_data"])
@pytest.mark.parametrize("cmd, status", [
    ("echo  hi", 0),  # a str is split on every single space: echo gets '' and 'hi'
    ([PY, "-c", "raise SystemExit(2)"], 2),
    ([PY, "-c", "import os, signal; os.kill(os.getpid(), signal.SIGTERM)"], -15),
])
def test_exit_status_output_and_log_lines(runner, cmd, status, capfd, log_records):
    shown = cmd if isinstance(cmd, str) else " ".join(cmd)
    with pytest.raises(ValueError) if status else contextlib.nullcontext() as caught:
        got = cu.cmd_process(cmd) if runner == "cmd_process" else list(cu.cmd_process_return_data(cmd))
    # the module logger's console handler may share the descriptor: leave its records out
    out = [line for line in capfd.readouterr().out.splitlines(True) if " - INFO - " not in line]
    failed = ("ERROR", "do cmd failed return=%s cmd=`%s`", (status, shown))
    assert messages(log_records) == [("INFO", "do cmd start: %s", (shown,)),
                                     failed if status else ("INFO", "do cmd end", ())]
    if status:
        assert str(caught.value) == "subprocess return Non Zero ={}".format(status)
    else:
        assert (got, out) == ((None, [" hi\n"]) if runner == "cmd_process" else ([" hi\n"], []))


# ==== the output generator ===================================================


@pytest.mark.parametrize("code, lines, errors", [
    ("import sys; sys.stdout.buffer.write(b'a\\nb\\n')", ["a\n", "b\n"], ""),
    ("pass", [], ""),
    ("import sys; sys.stdout.buffer.write(b'a\\r\\nb\\rc')", ["a\n", "b\n", "c"], ""),  # as text
    ("import sys; sys.stdout.buffer.write(b'\\xc3\\xa9\\n\\n')", ["\xe9\n", "\n"], ""),
    ("import sys; print('out'); sys.stderr.write('e1\\ne2')", ["out\n"], "e1\ne2"),
])
def test_yields_the_lines_of_standard_output_and_relays_standard_error(monkeypatch, code, lines,
                                                                        errors):
    steps = cu.cmd_process_return_data([PY, "-c", code])
    monkeypatch.setattr(sys, "stderr", io.StringIO())  # the one found at call time
    assert list(steps) == lines and sys.stderr.getvalue() == errors


def test_steps_start_late_and_a_thrown_interrupt_reaps_the_child(log_records):
    steps = cu.cmd_process_return_data([PY, "-c", "print('x')"])
    assert log_records == []  # the child starts, and logs its start, at the first step
    assert next(steps) == "x\n"
    with pytest.raises(StopIteration):
        next(steps)
    assert next(iter(steps), None) is None
    with pytest.raises(FileNotFoundError):
        next(cu.cmd_process_return_data(["/nonexistent/program"]))
    steps = cu.cmd_process_return_data(
        ["sh", "-c", "trap 'sleep 0.3; exit 1' TERM; echo $$; sleep 60 & wait"])
    pid = int(next(steps))
    with pytest.raises(KeyboardInterrupt):
        steps.throw(KeyboardInterrupt)
    with pytest.raises(ProcessLookupError):  # gone, not even a zombie
        os.kill(pid, 0)
    assert list(steps) == []


def test_large_output_on_both_pipes_does_not_stall(run_python):
    # 2 MB on standard error and 1 MB on standard output, interleaved: both
    # pipes overflow unless they are read while the child runs.  The first line
    # is longer than a read and ends inside a write: the reader compacts a
    # buffer of more than 64 KiB.
    child = ("import sys\nsys.stdout.write('x' * 200000 + '\\ny')\nfor i in range(10000): "
             "sys.stderr.write('e%05d' % i + '.' * 194 + '\\n'); "
             "sys.stdout.write('o%05d' % i + '.' * 94 + '\\n')")
    done = run_python(
        "import io, sys\nfrom common_utils import common_utils as cu\nsys.stderr = io.StringIO()\n"
        "out = list(cu.cmd_process_return_data([sys.executable, '-c', %r]))\n"
        "sys.__stdout__.write(repr([out == ['x' * 200000 + '\\n']\n"
        "    + ['y' * (i == 0) + 'o%%05d' %% i + '.' * 94 + '\\n' for i in range(10000)],\n"
        "    sys.stderr.getvalue() == ''.join('e%%05d' %% i + '.' * 194 + '\\n'"
        " for i in range(10000))]))" % child,
        timeout=120)
    assert done.stdout.splitlines()[-1] == "[True, True]", done.stderr


# ==== interrupts =============================================================

POLL_CALLS = {"7", "271", "73"}  # poll and ppoll on x86-64, ppoll on arm64
INTERRUPTED = textwrap.dedent("""
    import os, signal, sys, threading, time
    from common_utils import common_utils as cu
    runner, block_main, pidfile = sys.argv[1], sys.argv[2] == "1", sys.argv[3]
    if block_main:
        # The interrupt can only land on this other thread.
        threading.Thread(target=time.sleep, args=(120,), daemon=True).start()
        signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGINT])
    # The child takes its time to end, so it is only gone if it was waited for.
    script = ("trap 'sleep 0.3; exit 1' TERM; echo $$ > {0}.tmp; sleep 60 & "
              "echo $! >> {0}.tmp; mv {0}.tmp {0}; wait").format(pidfile)
    try:
        list(getattr(cu, runner)(["sh", "-c", script]) or ())  # cmd_process returns None
    except KeyboardInterrupt:
        try:
            os.waitpid(-1, os.WNOHANG)  # raises only when no child, not even a zombie, is left
            print("| a child is left")
        except ChildProcessError:
            pass
        grandchild = int(open(pidfile).read().split()[1])
        for _ in range(400):  # it ends; whoever adopted it reaps it (slowly on a loaded machine)
            try:
                if open("/proc/%d/stat" % grandchild).read().split(") ")[1][0] == "Z":
                    break
            except FileNotFoundError:
                break
            time.sleep(0.05)
        else:
            print("| grandchild still runs")
        print("| interrupted")
""")


@pytest.mark.parametrize("runner", ["cmd_process", "cmd_process_return_data"])
@pytest.mark.parametrize("block_main", ["0", "1"])
def test_interrupt_terminates_the_child_group_and_reaps_the_child(runner, block_main, tmp_path):
    pidfile = tmp_path / "pids"
    proc = subprocess.Popen([PY, "-c", INTERRUPTED, runner, block_main, str(pidfile)],
                            cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    try:
        deadline = time.monotonic() + 60

        def waiting():  # the grandchild runs sleep (a TERM before its exec may be lost
            # in the shell's forked copy) and our main thread is in the wait's poll: a sleeping
            # state alone also shows inside Popen, where an interrupt finds no child to stop
            if not pidfile.exists():
                return False
            with open("/proc/%s/comm" % pidfile.read_text().split()[1]) as f:
                with open("/proc/%d/syscall" % proc.pid) as g:
                    return f.read() == "sleep\n" and g.read().split()[0] in POLL_CALLS

        while not waiting() and time.monotonic() < deadline and proc.poll() is None:
            time.sleep(0.02)
        os.kill(proc.pid, signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
        proc.wait()
    assert [l for l in out.splitlines() if l.startswith("| ")] == ["| interrupted"], err


# ==== install_and_import =====================================================


def test_install_and_import_checks_exact_str_imports_or_installs_by_pip(tmp_path, monkeypatch,
                                                                        log_records):
    """pip runs through the module-level cmd_process, looked up at call time."""
    target, commands = str(tmp_path), []

    def pip(command):
        commands.append(command)
        if command[5] != "cu_tiny_pkg":
            raise ValueError("subprocess return Non Zero =1")
        (tmp_path / "cu_tiny_pkg.py").write_text("VALUE = 42\n")

    monkeypatch.setattr(cu, "cmd_process", pip)
    monkeypatch.setattr(sys, "path", list(sys.path))
    monkeypatch.delitem(sys.modules, "cu_tiny_pkg", raising=False)
    for args, message in [((type("S", (str,), {})("json"),), "argument 'module' must be str, not S"),
                          (("json", 1), "argument 'package_name' must be str, not int"),
                          (("json", None, b"/tmp"), "argument 'target_path' must be str, not bytes")]:
        with pytest.raises(TypeError, match="^install_and_import\\(\\) " + message):
            cu.install_and_import(*args)
    import json

    assert cu.install_and_import("json", "", "/nonexistent") is json
    mod = cu.install_and_import("cu_tiny_pkg", None, target, "--no-index")
    assert mod.VALUE == 42 and mod.__file__.startswith(target)
    assert sys.path.count(target) == 1 and sys.path[-1] == target
    with pytest.raises(ValueError, match="Non Zero =1"):
        cu.install_and_import("cu_absent", "cu_absent_pkg")
    assert commands == [[PY, "-m", "pip", "install", "--target=" + target, "cu_tiny_pkg", "--no-index"],
                        [PY, "-m", "pip", "install", "--user", "cu_absent_pkg"]]
    missing = "not find module %s, try install by `pip install --user %s`"
    assert messages(log_records) == [
        ("DEBUG", "find module %s", ("json",)), ("INFO", "import %s success", ("json",)),
        ("WARNING", missing, ("cu_tiny_pkg", "cu_tiny_pkg")), ("INFO", "import %s success", ("cu_tiny_pkg",)),
        ("WARNING", missing, ("cu_absent", "cu_absent_pkg"))]
