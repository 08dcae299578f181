"""The command-line Dask cluster (conftest.py): its workers are interpreters
of their own running the installed module, and none of its processes
outlives the test session, also when a test fails."""
import importlib.util
import os
import subprocess
import sys

import pytest

import common_utils.common_utils as cu

FAILING = "CU_CLUSTER_FAILING_TEST"


def test_workers_are_interpreters_of_their_own_with_the_installed_module(dask_cluster):
    if not os.environ.get("CU_DASK_CASES"):
        pytest.skip("runs with the Dask cases of test_loop_executor.py, in an interpreter of "
                    "their own")
    import distributed

    with distributed.Client(dask_cluster.address, timeout=60) as client:
        client.wait_for_workers(2, timeout=120)
        pids = client.run(os.getpid)
        specs = client.run(importlib.util.find_spec, "common_utils.common_utils")
    assert sorted(pids.values()) == sorted(p.pid for p in dask_cluster.processes[1:])
    assert [s.origin for s in specs.values()] == [cu.__file__] * 2


if os.environ.get(FAILING):
    def test_fails_with_the_cluster_up(dask_cluster):
        with open(os.environ[FAILING], "w") as f:
            f.write(" ".join(str(p.pid) for p in dask_cluster.processes))
        assert False, "fails on purpose"


def gone(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False


def test_no_process_outlives_a_failing_test(request, tmp_path):
    pytest.importorskip("distributed", reason="dask[distributed] is not installed for "
                                              "this interpreter")
    if os.environ.get("CU_SANITIZER"):
        pytest.skip("Dask's workers do not run under the sanitizers")
    config, pids = request.config, tmp_path / "pids"
    proc = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--rootdir",
         str(config.rootpath), "-c", str(config.inipath), "-k", "fails_with_the_cluster_up",
         os.path.abspath(__file__)],
        cwd=str(tmp_path), env=dict(os.environ, **{FAILING: str(pids)}),
        stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 1 and "fails on purpose" in proc.stdout, proc.stdout[-3000:]
    started = [int(p) for p in pids.read_text().split()]
    assert len(started) == 3 and all(gone(p) for p in started)
