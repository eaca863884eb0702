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

bash scripts/install_deps.sh
tsan_lib() { gcc -print-file-name=libtsan.so 2>/dev/null || true; }
need=()
command -v g++ >/dev/null || need+=(g++)
command -v gcc >/dev/null && [ -f "$(tsan_lib)" ] || need+=(gcc libtsan2)
py="${PYTHON:-python3}"
inc="$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
[ -f "$inc/Python.h" ] || need+=(python3-dev)
"$py" -c 'import ensurepip' 2>/dev/null || need+=(python3-venv)
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
  echo "installing: ${need[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
tsan="$(realpath "$(tsan_lib)")"

venv="$repo/build/venv-tsan"
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q pybind11==2.11.1 "scikit-build-core>=0.10" pytest hypothesis mpmath numpy lxml
command -v cmake >/dev/null || "$venv/bin/python" -m pip install -q cmake
command -v ninja >/dev/null || "$venv/bin/python" -m pip install -q ninja
flags="-fsanitize=thread -fno-omit-frame-pointer -g"
CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" \
CC=gcc CXX=g++ "$venv/bin/python" -m pip install -q --no-build-isolation --force-reinstall --no-deps \
  -Ccmake.build-type=RelWithDebInfo -Cinstall.strip=false -Cbuild-dir=build/tsan \
  -Ccmake.define.CMAKE_CXX_FLAGS="$flags" -Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=thread \
  -Ccmake.define.CMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread "$repo"

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
