"""Wrong types and arities for every public callable of the module end in a
return or an exception, never in a crash or a hang (fuzz_child.py, in a child
interpreter so that a crash is a failed exit status).  CU_FUZZ_SECONDS sets how
long it runs (default 60, 20 under the sanitizers)."""
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

SECONDS = float(os.environ.get("CU_FUZZ_SECONDS") or (20 if os.environ.get("CU_SANITIZER") else 60))


@pytest.mark.long
def test_bad_input_never_crashes_or_hangs(tmp_path):
    child = Path(__file__).resolve().parent / "fuzz_child.py"
    done = subprocess.run([sys.executable, str(child), str(SECONDS)], cwd=str(tmp_path),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=SECONDS + 300)
    last = (tmp_path / "last_call").read_text() if (tmp_path / "last_call").exists() else ""
    assert done.returncode == 0, "last call: {}\n{}".format(last, done.stderr[-6000:])
    report = json.loads(done.stdout.splitlines()[-1])
    # A short run need not reach every target: it is about no crash and no hang.
    print("fuzz: {} calls of {} targets in {} s, {} without a call".format(
        report["calls"], len(report["targets"]), report["seconds"],
        sum(not n for n in report["targets"].values())))
    assert report["calls"] > 0
