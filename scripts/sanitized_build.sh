# Sourced by run_sanitized_tests.sh and run_tsan.sh: the system packages a
# sanitizer run needs, a virtual environment, and the package built into it
# with gcc and the given flags.
#
#   sanitizer_runtimes libasan.so:libasan8 libubsan.so:libubsan1
#       installs gcc, g++, each runtime's Debian package where gcc cannot
#       find the library, and the interpreter's headers and venv module;
#       then sets runtimes to the real paths of the libraries, in order.
#   sanitized_package VENV BUILD_DIR [pip -C settings...]
#       creates VENV (from $PYTHON, default python3) with the build and test
#       requirements and installs the package built in BUILD_DIR.

sanitizer_runtimes() {
  bash scripts/install_deps.sh
  local need=() pair
  command -v g++ >/dev/null || need+=(g++)
  for pair in "$@"; do
    command -v gcc >/dev/null && [ -f "$(gcc -print-file-name="${pair%%:*}" 2>/dev/null)" ] \
      || need+=(gcc "${pair#*:}")
  done
  py="${PYTHON:-python3}"
  # A Debian interpreter needs its headers and venv packages; others have them.
  local inc
  inc="$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
  [ -f "$inc/Python.h" ] || need+=(python3-dev)
  "$py" -c 'import ensurepip' 2>/dev/null || need+=(python3-venv)
  if [ ${#need[@]} -gt 0 ]; then
    local sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    echo "installing: ${need[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}" >/dev/null
  fi
  runtimes=()
  for pair in "$@"; do
    runtimes+=("$(realpath "$(gcc -print-file-name="${pair%%:*}")")")
  done
}

sanitized_package() {
  local venv="$1" build="$2"
  shift 2
  [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q pybind11==2.11.1 "scikit-build-core>=0.10" pytest hypothesis \
    mpmath numpy lxml
  command -v cmake >/dev/null || "$venv/bin/python" -m pip install -q cmake
  command -v ninja >/dev/null || "$venv/bin/python" -m pip install -q ninja
  CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" \
  CC=gcc CXX=g++ "$venv/bin/python" -m pip install -q --no-build-isolation --force-reinstall --no-deps \
    -Ccmake.build-type=RelWithDebInfo -Cinstall.strip=false -Cbuild-dir="$build" "$@" "$repo"
}
