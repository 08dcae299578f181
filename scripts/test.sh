#!/usr/bin/env bash
# The project's test command: gets nox from PyPI into build/nox-venv and runs
# the sessions of noxfile.py (see there); arguments go to nox.
#
#   scripts/test.sh                  the quick run: the wheel, the suite on 3.8 and the newest
#                                    CPython without the sweeps marked `long`, the summary
#   scripts/test.sh --long           the long run: the whole suite on every CPython from 3.8
#                                    on, the sanitizer build, abi3audit, stubtest, the summary
#   scripts/test.sh -s tests-3.8     one session (and the sessions it needs)
#   scripts/test.sh --fresh [--long] the same as the first (or second), after removing every
#                                    venv and build
#
# nox needs a CPython >= 3.10 for itself: the newest one pyenv has runs it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
while [ $# -gt 0 ]; do
    case $1 in
        --fresh) shift; rm -rf "$root/build/ci" "$root/build/nox" "$root/build/nox-venv" ;;
        --long) shift; export CU_LONG=1 ;;
        *) break ;;
    esac
done
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
