#!/usr/bin/env bash
# Builds the module into a private venv for quick iterations:
#   scripts/dev-build.sh TAG [PYTHON]   ->  /tmp/cu-venv-TAG with common_utils installed
# Each TAG has its own venv and build directory, so several builds can run at once.
set -euo pipefail
tag=${1:?usage: dev-build.sh TAG [PYTHON]}
py=${2:-python3}
venv=/tmp/cu-venv-$tag
here=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -x "$venv/bin/python" ]; then
  "$py" -m venv "$venv"
  "$venv/bin/pip" install -q --upgrade pip >/dev/null
  "$venv/bin/pip" install -q scikit-build-core pytest hypothesis PyYAML requests anyio nest-asyncio2
fi
rm -rf "/tmp/cu-dist-$tag"
"$venv/bin/pip" wheel "$here" --no-deps --no-build-isolation -q -w "/tmp/cu-dist-$tag" \
  -C build-dir="/tmp/cu-build-$tag" -C install.strip=false
"$venv/bin/pip" install -q --force-reinstall --no-deps "/tmp/cu-dist-$tag"/*.whl
echo "built into $venv"
