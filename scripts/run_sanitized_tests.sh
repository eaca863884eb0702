#!/usr/bin/env bash
# The whole Python test suite against extension modules built with
# AddressSanitizer (leak checking included) and UndefinedBehaviorSanitizer.
#
#   scripts/run_sanitized_tests.sh [pytest arguments]
#
# Builds the package with -DCURVIX_SANITIZE=ON into build/venv-asan (build
# tree build/sanitize), then runs pytest on tests/ from a temporary directory
# with the sanitizer runtimes preloaded into the (uninstrumented) interpreter.
# An ASan or UBSan report stops the process that made it, so the run fails on
# the first overflow, use after free or undefined behaviour; leaks are
# reported when the interpreter exits and make pytest's exit status non-zero.
# sanitizer/lsan.supp holds the interpreter's own exit-time allocations only;
# NumPy's import runs with LeakSanitizer off (see below).
# matplotlib is not installed here, so the plot tests skip in this run (they
# run in scripts/run_tests.sh). NumPy and lxml are (curvixkit needs them).
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"

# ------------------------------------------------------- packages and build
source scripts/sanitized_build.sh
sanitizer_runtimes libasan.so:libasan8 libubsan.so:libubsan1
asan="${runtimes[0]}"
ubsan="${runtimes[1]}"
venv="$repo/build/venv-asan"
sanitized_package "$venv" build/sanitize -Ccmake.define.CURVIX_SANITIZE=ON

# --------------------------------------------------------------------- run
# The interpreter is not instrumented: the runtimes are preloaded so that
# they see every allocation, and PYTHONMALLOC=malloc routes the interpreter's
# own allocations through malloc instead of its arenas. Only the interpreter
# gets this environment (a preloaded runtime would report the leaks of every
# shell tool); child interpreters started by tests with sys.executable
# inherit it.
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
# NumPy 2 keeps objects its extension module makes at import until exit.
# The fast unwinder stops in the interpreter (built without frame
# pointers), so no stack of them reaches a NumPy frame a suppression could
# name; the exact unwinder would make the run ten times slower. So NumPy is
# imported first, with LeakSanitizer off for that import alone: nothing
# allocated after it (or by curvix) is left out.
mkdir "$tmp/site"
cat >"$tmp/site/sitecustomize.py" <<'PY'
import ctypes
_lsan = ctypes.CDLL(None)
_lsan.__lsan_disable()
try:
    import numpy  # noqa: F401
finally:
    _lsan.__lsan_enable()
PY
sanitized() {
  env LD_PRELOAD="$asan $ubsan" \
      PYTHONMALLOC=malloc PYTHONPATH="$tmp/site" \
      ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1" \
      LSAN_OPTIONS="suppressions=$repo/sanitizer/lsan.supp:print_suppressions=0" \
      UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
      "$venv/bin/python" "$@"
}

# The run proves nothing unless the modules carry the instrumentation and a
# leak made from Python code still gets through the suppressions.
sanitized - <<'PY'
import curvix, planix, curvixkit._core as core
for module in (curvix, planix, core):
    data = open(module.__file__, "rb").read()
    missing = [s for s in (b"__asan_init", b"__ubsan_handle_") if s not in data]
    if missing:
        raise SystemExit("%s is not instrumented (no %s)" % (module.__file__, missing))
print("instrumented: " + ", ".join(m.__name__ for m in (curvix, planix, core)))
PY
if sanitized -c "import ctypes; ctypes.CDLL(None).malloc(31337)" 2>"$tmp/canary.txt" \
   || ! grep -q "31337 byte(s)" "$tmp/canary.txt"; then
  echo "LeakSanitizer did not report a leak made from Python:" >&2
  cat "$tmp/canary.txt" >&2
  exit 1
fi
echo "LeakSanitizer reports a block leaked from Python code: yes"

# --capture=sys: pytest captures Python's streams only, so that a report
# written to file descriptor 2 by a process it aborts is not swallowed with
# the captured output. A report makes the exit status non-zero (UBSan and
# ASan stop the process, LeakSanitizer changes its exit status at exit).
echo "=== sanitized test run (ASan + LSan + UBSan), from $tmp"
sanitized -m pytest -p no:cacheprovider --capture=sys -q "$@" "$repo/tests"
