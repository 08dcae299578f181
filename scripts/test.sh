#!/usr/bin/env bash
# The project's test command: gets nox from PyPI into build/nox-venv and runs
# the sessions of noxfile.py (see there); arguments go to nox.
#
#   scripts/test.sh                  every session, then the summary
#   scripts/test.sh -s tests-3.8     one session (and the sessions it needs)
#   scripts/test.sh --fresh          the same as the first, after removing every venv and build
#
# nox needs a CPython >= 3.10 for itself: the newest one pyenv has runs it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ "${1:-}" = "--fresh" ]; then shift; rm -rf "$root/build/ci" "$root/build/nox" "$root/build/nox-venv"; fi
pyenv_root=${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "${HOME:-/root}/.pyenv")}
newest=$(ls -1 "$pyenv_root/versions" 2>/dev/null | grep -E '^3\.[0-9]+\.[0-9]+$' | sort -V | tail -n1 || true)
[ -n "$newest" ] || { echo "test.sh: no CPython under $pyenv_root/versions" >&2; exit 2; }
venv=$root/build/nox-venv
if [ ! -x "$venv/bin/nox" ]; then
    "$pyenv_root/versions/$newest/bin/python3" -m venv --clear "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "nox>=2025.5.1"
fi
cd "$root"
exec "$venv/bin/nox" --noxfile noxfile.py "$@"
