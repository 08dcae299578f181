#!/usr/bin/env bash
# Installs the package with pip into a fresh virtual environment and runs the
# example job.  Needs only a CPython >= 3.8 with pip and a C++17 compiler.
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
cd "$(mktemp -d)"
"$venv/bin/python" "$here/examples/job.py"
