#!/usr/bin/env bash
# Installs the package with pip into a fresh virtual environment and runs the
# example job (examples/job.py with examples/config/job.yaml) in build/example-run.
# Needs only a CPython >= 3.8 with pip and a C++17 compiler.  Arguments go to
# the job, e.g. `bash scripts/run_example.sh --concurrent --max_records 1000`.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
py=${PYTHON:-}
if [ -z "$py" ]; then
  root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  newest=$(ls -d "$root"/versions/3.* 2>/dev/null | sort -V | tail -n 1 || true)
  py=${newest:+$newest/bin/python}
  py=${py:-python3}
fi
venv="$here/build/venv-example"
"$py" -m venv "$venv"
"$venv/bin/pip" install -q "$here"
mkdir -p "$here/build/example-run"
cd "$here/build/example-run"
exec "$venv/bin/python" "$here/examples/job.py" --config "$here/examples/config/job.yaml" "$@"
