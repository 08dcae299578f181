"""Wrong types and arities for every public callable of the module: each call
ends in a return or an exception, never in a crash or a hang.

The calls run in one child interpreter (fuzz_child.py), so that a crash is a
failed exit status.  CU_FUZZ_SECONDS sets how long it runs (default 60, 20
under the sanitizers).
"""
import json
import os
import subprocess
import sys
from pathlib import Path

import common_utils.common_utils as cu

SANITIZED = bool(os.environ.get("CU_SANITIZER"))
SECONDS = float(os.environ.get("CU_FUZZ_SECONDS") or (20 if SANITIZED else 60))


def test_bad_input_never_crashes_or_hangs(tmp_path):
    child = Path(__file__).resolve().parent / "fuzz_child.py"
    stub = Path(cu.__file__).parent / "common_utils.pyi"
    # From an empty directory: files the calls create stay there.
    done = subprocess.run([sys.executable, str(child), str(stub), str(SECONDS)], cwd=str(tmp_path),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=SECONDS + 300)
    last = (tmp_path / "last_call").read_text() if (tmp_path / "last_call").exists() else ""
    assert done.returncode == 0, "last call: {}\n{}".format(last, done.stderr[-6000:])
    report = json.loads(done.stdout.splitlines()[-1])
    print("fuzz: {} calls of {} targets in {} s".format(report["calls"], len(report["targets"]),
                                                        report["seconds"]))
    # The draw is random and hypothesis may dwell on a few targets, so a short
    # run need not reach them all; the run is about no crash and no hang.
    missed = [name for name, calls in report["targets"].items() if not calls]
    print("targets without a call: {}".format(len(missed)))
    assert report["calls"] > 0
