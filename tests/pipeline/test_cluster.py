"""The command-line Dask cluster (conftest.py): its workers are interpreters
of their own running the installed module."""
import importlib.util
import os

import pytest

import common_utils.common_utils as cu


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
