#!/usr/bin/env bash
# The thread tests against extension modules built with ThreadSanitizer.
#
#   scripts/run_tsan.sh [pytest arguments]
#
# Builds the package with -fsanitize=thread into build/venv-tsan (build tree
# build/tsan), then runs the tests that query one alignment from many
# threads (every test named *thread*, in tests/) from a temporary directory
# with the ThreadSanitizer runtime preloaded into the (uninstrumented)
# interpreter. The interpreter's own locks (the GIL among them) are pthread
# calls the runtime intercepts, so a query that touches shared state
# without the GIL is seen. halt_on_error makes the first report end the
# process, and with it the run. The C++ unit tests run under the same
# sanitizer with the CMake preset:
#   cmake --preset tsan && cmake --build --preset tsan && ctest --preset tsan
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"

source scripts/sanitized_build.sh
sanitizer_runtimes libtsan.so:libtsan2
tsan="${runtimes[0]}"
venv="$repo/build/venv-tsan"
flags="-fsanitize=thread -fno-omit-frame-pointer -g"
sanitized_package "$venv" build/tsan -Ccmake.define.CMAKE_CXX_FLAGS="$flags" \
  -Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=thread \
  -Ccmake.define.CMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
tsanitized() {
  env LD_PRELOAD="$tsan" TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:exitcode=66" \
      "$venv/bin/python" "$@"
}
# The run proves nothing unless the engine's module carries the
# instrumentation and a race in it would be reported.
tsanitized - <<'PY'
import curvixkit._core as core
if b"__tsan_init" not in open(core.__file__, "rb").read():
    raise SystemExit("%s is not instrumented" % core.__file__)
print("instrumented: " + core.__file__)
PY
echo "=== thread tests under ThreadSanitizer, from $tmp"
tsanitized -m pytest -p no:cacheprovider --capture=sys -q -k thread "$@" "$repo/tests"
