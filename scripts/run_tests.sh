#!/usr/bin/env bash
# The whole test suite from a clean checkout: system packages, then for the
# default Python (and CPython 3.7 where pyenv has one) a fresh virtual
# environment, an isolated build of the package, and pytest run from a
# temporary directory against the installed modules; then the C++ unit tests
# of the core; then the whole Python suite again against ASan/UBSan builds of
# the modules, and a short run of each fuzz target (FUZZ_SECONDS, default 24: five targets in the two minutes
# the four took at 30 s; the IFC target runs in the first test environment, with atheris added).
# CURVIX_QUICK=1 stops after the C++ unit tests.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"
bash scripts/install_deps.sh

pythons=("$(command -v python3)")
if command -v pyenv >/dev/null; then
  py37="$(pyenv root)/versions/$(pyenv versions --bare | grep -E '^3\.7(\.[0-9]+)?$' | tail -n1)/bin/python"
  [ -x "$py37" ] && pythons+=("$py37")
fi

status=0
first_venv=""
for py in "${pythons[@]}"; do
  ver="$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  venv="$repo/build/venv-$ver"
  echo "=== Python $ver ($py)"
  rm -rf "$venv"
  "$py" -m venv "$venv"
  [ -n "$first_venv" ] || first_venv="$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  # Warnings are errors here (and only here: a user's newer compiler may warn more).
  # The point-file extras on every Python (pyproject's markers leave out
  # laspy where it has no wheels: 3.7 runs without LAS, its tests skip), and
  # IFC from 3.9 on.
  "$venv/bin/python" -m pip install -q --config-settings=cmake.define.CURVIX_WERROR=ON \
    "$repo[test,plot,dxf,gis,dask,ifc,las,parquet,distributed]"
  tmp="$(mktemp -d)"
  (cd "$tmp" && "$venv/bin/python" -m pytest -v -p no:cacheprovider "$repo/tests") || status=1
  rm -rf "$tmp"
done

echo "=== C++ unit tests"
cmake -S "$repo" -B "$repo/build/cpp-tests" -DCURVIX_BUILD_PYTHON=OFF -DCURVIX_BUILD_TESTS=ON -DCURVIX_WERROR=ON >/dev/null
cmake --build "$repo/build/cpp-tests" -j2 >/dev/null
ctest --test-dir "$repo/build/cpp-tests" --output-on-failure || status=1

if [ "${CURVIX_QUICK:-0}" != 1 ]; then
  echo "=== Sanitized test suite (AddressSanitizer, LeakSanitizer, UndefinedBehaviorSanitizer)"
  bash scripts/run_sanitized_tests.sh || status=1
  echo "=== Fuzzing, ${FUZZ_SECONDS:-24} s per target"
  FUZZ_IFC_PYTHON="${FUZZ_IFC_PYTHON:-$first_venv/bin/python}" \
    bash scripts/run_fuzz.sh "${FUZZ_SECONDS:-24}" || status=1
fi
exit $status
