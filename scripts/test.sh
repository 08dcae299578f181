#!/usr/bin/env bash
# The project's test command:
#
#   scripts/test.sh           build once, test everywhere, check the package
#   scripts/test.sh --fresh   the same, after removing every cached venv and build
#
# One abi3 wheel is built with the oldest supported interpreter (3.8: its
# headers keep anything newer out of the module), installed unchanged into a
# 3.8 venv and a venv of the newest installed CPython, and the whole suite runs
# in each.  A second build with AddressSanitizer and UBSan runs the suite once
# more on the newest interpreter, beside the other runs.  Then abi3audit checks
# the wheel's symbols and stubtest checks the type stub against the module.
#
# Interpreters come from pyenv.  Everything lands under build/ci (gitignored);
# venvs are kept between runs to save the downloads.  Exits non-zero when any
# step fails; the summary at the end names each step and its outcome.
#
# Environment: PYTEST_ADDOPTS (pytest's own: extra arguments for every run,
# e.g. '-x -k "logging and not file"'), CU_SUITE_TIMEOUT (seconds per pytest
# run, default 1800).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=$root/build/ci
logs=$work/logs
notes=$work/notes
suite_timeout=${CU_SUITE_TIMEOUT:-1800}  # a hang must not eat the whole CI budget

if [ "${1:-}" = "--fresh" ]; then rm -rf "$work"; fi
rm -rf "$logs" "$notes"
mkdir -p "$logs" "$notes"

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 PYTHONDONTWRITEBYTECODE=1
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}

# ==== helpers ================================================================

die() { echo "test.sh: $*" >&2; exit 2; }

# note TEXT: a detail shown under the current step in the summary.
note() { printf '%s\n' "$*" >>"$notes/$current.note"; }

# quiet LOG CMD...: runs CMD with its output in logs/LOG.log, shown only on failure.
quiet() {
    local log=$logs/$1.log
    shift
    if ! "$@" >>"$log" 2>&1; then
        echo "failed: $*" >&2
        tail -n 40 "$log" >&2
        return 1
    fi
}

# venv DIR PYTHON: a venv of PYTHON at DIR, made anew when another made it.
venv() {
    local dir=$1 py=$2
    if [ "$(cat "$dir/.cu-python" 2>/dev/null)" != "$py" ] || [ ! -x "$dir/bin/python" ]; then
        rm -rf "$dir"
        "$py" -m venv "$dir"
        quiet pip "$dir/bin/python" -m pip install -q --upgrade pip
        echo "$py" >"$dir/.cu-python"
    fi
}

sha256() { sha256sum "$1" | cut -d' ' -f1; }

steps=()
# run_step NAME FUNC [ARGS...]: FUNC under `set -e` in a subshell, timed; the
# outcome goes to files, so that a step may run in the background.
run_step() {
    local name=$1 t0=$SECONDS rc
    shift
    current=$name
    (set -e; "$@")
    rc=$?
    echo $((SECONDS - t0)) >"$notes/$name.took"
    if [ $rc -eq 0 ]; then echo ok; else echo FAILED; fi >"$notes/$name.status"
}

# step NAME FUNC [ARGS...]: a step in the foreground.
step() {
    steps+=("$1")
    echo
    echo "==== $1"
    run_step "$@"
}

# step_bg NAME FUNC [ARGS...]: a step in the background, its output in a log
# that `finish_bg` shows once it is done.
bg_pid= bg_name=
step_bg() {
    steps+=("$1")
    bg_name=$1
    echo
    echo "==== $1: started in the background"
    run_step "$@" >"$logs/background.log" 2>&1 &
    bg_pid=$!
}
finish_bg() {
    [ -n "$bg_pid" ] || return 0
    wait "$bg_pid"
    echo
    echo "==== $bg_name"
    cat "$logs/background.log"
    bg_pid=
}

# skip NAME WHY: a step that cannot run because an earlier one failed.
skip() {
    steps+=("$1")
    current=$1
    echo skipped >"$notes/$1.status"
    echo 0 >"$notes/$1.took"
    note "$2"
}

status() { cat "$notes/$1.status" 2>/dev/null || echo missing; }

# ==== interpreters ===========================================================

pyenv_root=${PYENV_ROOT:-}
[ -n "$pyenv_root" ] || pyenv_root=$(pyenv root 2>/dev/null) || true
[ -n "$pyenv_root" ] || pyenv_root=${HOME:-/root}/.pyenv
# Final CPython releases only: no free-threaded (3.13.0t), pre-release or other builds.
mapfile -t versions < <(ls -1 "$pyenv_root/versions" 2>/dev/null |
    grep -E '^3\.[0-9]+\.[0-9]+$' | sort -V)
oldest= newest=
for v in "${versions[@]}"; do
    [ -x "$pyenv_root/versions/$v/bin/python3" ] || continue
    case $v in 3.8.*) oldest=$v ;; esac
    newest=$v
done
[ -n "$oldest" ] || die "no CPython 3.8 under $pyenv_root/versions"
py_old=$pyenv_root/versions/$oldest/bin/python3
py_new=$pyenv_root/versions/$newest/bin/python3
echo "interpreters: $oldest ($py_old), $newest ($py_new)"

venv_build=$work/venv-build
venv_old=$work/venv-$oldest
venv_new=$work/venv-$newest
venv_tools=$work/venv-tools
staging=$work/sanitize-pkg

# ==== steps ==================================================================

# pip_wheel DEST BUILD-DIR [CONFIG-SETTING...]: one wheel of the project into DEST.
pip_wheel() {
    local dest=$1 build_dir=$2
    shift 2
    local settings=(--config-settings="build-dir=$build_dir") s
    for s in "$@"; do settings+=(--config-settings="$s"); done
    rm -rf "$dest"
    PATH=$venv_build/bin:$PATH quiet "wheel-$(basename "$dest")" \
        "$venv_build/bin/python" -m pip wheel "$root" \
        --no-deps --no-build-isolation -q -w "$dest" "${settings[@]}"
    local found=("$dest"/common_utils-*-cp38-abi3-*.whl)
    [ -f "${found[0]}" ] || { echo "no cp38-abi3 wheel in $dest:" >&2; ls "$dest" >&2; return 1; }
}

# unpack WHEEL DIR: the wheel's files, for inspection.
unpack() {
    rm -rf "$2"
    "$venv_build/bin/python" -m zipfile -e "$1" "$2"
}

build_wheel() {
    venv "$venv_build" "$py_old"
    quiet pip "$venv_build/bin/python" -m pip install -q "scikit-build-core>=0.10"
    # Without build isolation nothing brings CMake along: take PyPI's when the
    # machine has none (pip_wheel puts the venv first on PATH).
    if ! cmake --version >/dev/null 2>&1; then
        quiet pip "$venv_build/bin/python" -m pip install -q "cmake>=3.26" ninja
    fi
    pip_wheel "$work/dist" "$work/cmake-release"
    local whl
    whl=$(ls "$work"/dist/*.whl)
    unpack "$whl" "$work/wheel-tree"
    local so=$work/wheel-tree/common_utils/common_utils.abi3.so
    [ -f "$so" ] || { echo "the wheel has no common_utils/common_utils.abi3.so" >&2; return 1; }
    sha256 "$so" >"$work/wheel.sha256"
    note "$(basename "$whl"), module sha256 $(cut -c1-16 "$work/wheel.sha256")..."
}

# install_wheel VENV PYTHON [PACKAGE...]: the built wheel, its dependencies,
# the test tools and PACKAGEs.
install_wheel() {
    local dir=$1 py=$2 so
    shift 2
    venv "$dir" "$py"
    quiet pip "$dir/bin/python" -m pip install -q "$wheel" pytest hypothesis "$@"
    quiet pip "$dir/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
    so=$(cd "$work" && "$dir/bin/python" -c \
        'import common_utils.common_utils as m; print(m.__file__)')
    [ "$(sha256 "$so")" = "$(cat "$work/wheel.sha256")" ] ||
        { echo "$so differs from the wheel's module" >&2; return 1; }
    echo "$so" >"$dir/.cu-module"
}

install_both() {
    install_wheel "$venv_old" "$py_old"
    # stubtest's tools now: later the sanitizer run uses this venv while stubtest runs.
    # mypy needs PyYAML's stubs for the stub's `import yaml`.
    install_wheel "$venv_new" "$py_new" mypy types-PyYAML
    note "$venv_old, $venv_new"
}

# suite LABEL VENV EXPECTED-SO EXPECTED-SHA [ENV...]: the whole suite with the
# venv's pytest entry script, configured by the repository's pyproject.toml but
# run from a scratch directory of its own: files that tests write relative to
# the working directory stay apart from the repository and from the other runs.
suite() {
    local label=$1 dir=$2 want_so=$3 want_sha=$4 rc=0
    shift 4
    local log=$logs/pytest-$label.log scratch=$work/run-$label
    rm -rf "$scratch"
    mkdir -p "$scratch"
    (cd "$scratch" && timeout -k 30 "$suite_timeout" env "$@" "$dir/bin/pytest" \
        --rootdir "$root" -c "$root/pyproject.toml" "$root/tests") 2>&1 |
        tee "$log" || rc=$?
    # pytest's closing line, e.g. "===== 57 passed in 3.21s =====".
    local line
    line=$(grep -E '^=+ .* in [0-9.]+s.* =+$' "$log" | tail -n1 | sed -E 's/^=+ //; s/ =+$//' ||
        true)
    note "${line:-no pytest summary line (exit $rc)}"
    echo "$line" >"$notes/$current.pytest"
    # The header line of tests/conftest.py: the build this run really loaded.
    local loaded so sha
    loaded=$(grep -m1 '^common_utils: ' "$log" || true)
    so=$(sed -nE 's/^common_utils: (.*) sha256=[0-9a-f]+$/\1/p' <<<"$loaded")
    sha=$(sed -nE 's/^common_utils: .* sha256=([0-9a-f]+)$/\1/p' <<<"$loaded")
    if [ -z "$so" ]; then
        echo "the run did not report which module it loaded: ${loaded:-no header}" >&2
        note "no module loaded: ${loaded:-no header}"
        [ "$rc" -ne 0 ] || rc=1
    elif [ "$so" != "$want_so" ] || [ "$sha" != "$want_sha" ]; then
        echo "the run loaded $so ($sha), expected $want_so ($want_sha)" >&2
        note "loaded the wrong module: $so"
        [ "$rc" -ne 0 ] || rc=1
    else
        note "loaded $so, sha256 ${sha:0:16}..."
    fi
    return "$rc"
}

test_on() {
    local dir=$1 label=$2
    suite "$label" "$dir" "$(cat "$dir/.cu-module")" "$(cat "$work/wheel.sha256")"
}

build_sanitized() {
    # Debug keeps assertions; CMakeLists adds -O1 and the sanitizer flags.
    pip_wheel "$work/dist-sanitize" "$work/cmake-sanitize" \
        cmake.define.CU_SANITIZE=ON cmake.build-type=Debug
    unpack "$(ls "$work"/dist-sanitize/*.whl)" "$work/sanitize-tree"
    rm -rf "$staging"
    mkdir -p "$staging"
    # The package as the wheel ships it: __init__.py, py.typed, the stub, the module.
    cp -r "$work/sanitize-tree/common_utils" "$staging/"
    local f
    for f in __init__.py py.typed common_utils.pyi common_utils.abi3.so; do
        [ -f "$staging/common_utils/$f" ] || { echo "staging lacks $f" >&2; return 1; }
    done
    nm -D "$staging/common_utils/common_utils.abi3.so" | grep __asan_init >/dev/null ||
        { echo "the sanitizer build has no ASan runtime reference" >&2; return 1; }
}

test_sanitized() {
    build_sanitized
    local cxx=${CXX:-g++} lib libs=()
    # The interpreter is not instrumented, so the ASan runtime must come first
    # in the process (LD_PRELOAD).  libstdc++ is preloaded too: ASan looks up
    # the real __cxa_throw once, at start-up, and python itself does not link
    # libstdc++, so without it the first C++ throw dies in an ASan CHECK.
    for lib in libasan.so libstdc++.so; do
        libs+=("$("$cxx" -print-file-name=$lib)")
        [ -f "${libs[-1]}" ] || { echo "$cxx has no $lib" >&2; return 1; }
    done
    local so=$staging/common_utils/common_utils.abi3.so reports=$logs/sanitizer rc=0
    rm -rf "$reports"
    mkdir -p "$reports"
    # PYTHONMALLOC=malloc: every object block goes through ASan, not pymalloc's
    # arenas.  No leak check at exit: the interpreter leaves objects alive at
    # shutdown on purpose.  allocator_may_return_null: a huge request ends in
    # MemoryError as it does without ASan.  Reports go to files: pytest
    # captures a test's stderr, and a report of a crashing test would be lost
    # with it.  CU_SANITIZER tells tests that the process size means nothing.
    suite sanitize "$venv_new" "$so" "$(sha256 "$so")" \
        LD_PRELOAD="${libs[*]}" \
        ASAN_OPTIONS="detect_leaks=0:verify_asan_link_order=0:allocator_may_return_null=1:log_path=$reports/asan" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
        PYTHONMALLOC=malloc \
        PYTHONPATH="$staging" \
        CU_SANITIZER=address,undefined || rc=$?
    if compgen -G "$reports/*" >/dev/null; then
        echo "sanitizer reports:" >&2
        head -n 60 "$reports"/* >&2
        note "sanitizer reports in $reports"
        [ "$rc" -ne 0 ] || rc=1
    fi
    return "$rc"
}

audit_abi3() {
    venv "$venv_tools" "$py_new"
    quiet pip "$venv_tools/bin/python" -m pip install -q abi3audit
    local out
    out=$("$venv_tools/bin/abi3audit" --strict --summary "$wheel" 2>&1) || { echo "$out"; return 1; }
    echo "$out"
    note "$(tr -s ' \n' ' ' <<<"$out" | grep -oE '[0-9]+ extensions? scanned; .* found')"
}

stubtest() {
    # From an empty directory: the repository's source package would shadow
    # the installed one, and stubtest must see the stub that ships.
    local dir=$work/stubtest out
    mkdir -p "$dir"
    out=$(cd "$dir" && "$venv_new/bin/python" -m mypy.stubtest common_utils.common_utils 2>&1) ||
        { echo "$out"; return 1; }
    echo "$out"
    note "$(tail -n1 <<<"$out")"
}

# ==== run ====================================================================

step "build wheel ($oldest)" build_wheel
wheel=$(ls "$work"/dist/*.whl 2>/dev/null | head -n1)
if [ "$(status "build wheel ($oldest)")" = ok ]; then
    step "install wheel" install_both
else
    skip "install wheel" "no wheel"
fi

if [ "$(status "install wheel")" = ok ]; then
    # The sanitizer build and run are the longest step: they go beside the others.
    step_bg "pytest $newest ASan+UBSan" test_sanitized
    step "pytest $oldest" test_on "$venv_old" "$oldest"
    step "pytest $newest" test_on "$venv_new" "$newest"
    step "abi3audit" audit_abi3
    step "stubtest" stubtest
    finish_bg
else
    for s in "pytest $newest ASan+UBSan" "pytest $oldest" "pytest $newest" abi3audit stubtest; do
        skip "$s" "no installed wheel"
    done
fi

# ==== summary ================================================================

# count WHAT LINE: the number before WHAT in a pytest closing line, else 0.
count() {
    local n
    n=$(grep -oE "[0-9]+ $1" <<<"$2" | head -n1 | cut -d' ' -f1)
    echo "${n:-0}"
}

echo
echo "==== summary"
failed=0 passed=0 failures=0 skipped=0
for s in "${steps[@]}"; do
    st=$(status "$s")
    [ "$st" = ok ] || failed=1
    printf '%-28s %-8s %5ss\n' "$s" "$st" "$(cat "$notes/$s.took" 2>/dev/null || echo '?')"
    if [ -f "$notes/$s.note" ]; then sed 's/^/    /' "$notes/$s.note"; fi
    if [ -f "$notes/$s.pytest" ]; then
        line=$(cat "$notes/$s.pytest")
        passed=$((passed + $(count passed "$line")))
        failures=$((failures + $(count failed "$line") + $(count error "$line")))
        skipped=$((skipped + $(count skipped "$line")))
    fi
done
echo "logs: $logs"
echo
echo "total: $passed passed, $failures failed, $skipped skipped"
if [ $failed -ne 0 ]; then
    echo "test.sh: FAILED" >&2
    exit 1
fi
echo "test.sh: all steps passed"
