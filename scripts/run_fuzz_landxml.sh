#!/usr/bin/env bash
# atheris fuzz of the LandXML reader (fuzz/fuzz_landxml.py) for a time.
#
#   scripts/run_fuzz_landxml.sh [SECONDS]     (default 60)
#
# Installs atheris from PyPI and this package into a virtual environment of
# their own (build/venv-fuzz-landxml; atheris builds against clang, which
# scripts/install_deps.sh installs with WITH_CLANG=1), copies the seed files
# (the project's examples/*.xml, which carry profiles and cant, and the shared
# LandXML files beside the checkout, ../shared/landxml, or LANDXML_SEEDS)
# into a scratch directory (FUZZ_WORK, default a new temporary
# directory) and runs libFuzzer there with the LandXML dictionary
# fuzz/landxml.dict. Nothing is written into the repository. A finding is
# written to the scratch directory as crash-* or timeout-* and the script
# exits non-zero; reproduce it with
#   build/venv-fuzz-landxml/bin/python fuzz/fuzz_landxml.py <file>
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"
seconds="${1:-60}"

WITH_CLANG=1 bash scripts/install_deps.sh
py="${PYTHON:-python3}"
venv="$repo/build/venv-fuzz-landxml"
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
CC=clang CXX=clang++ "$venv/bin/python" -m pip install -q atheris
CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" "$venv/bin/python" -m pip install -q "$repo"

seeds="${LANDXML_SEEDS:-$repo/../shared/landxml}"
work="${FUZZ_WORK:-$(mktemp -d)}"
mkdir -p "$work/corpus" "$work/tmp"
cp "$repo"/examples/*.xml "$work/corpus/"
cp "$seeds"/*.xml "$work/corpus/" 2>/dev/null || echo "no seed files in $seeds; the examples only"
trap 'rm -rf "$work/tmp"' EXIT
echo "scratch directory: $work"
log="$work/fuzz.log"
echo "=== fuzz_landxml: ${seconds}s from $(ls "$work/corpus" | wc -l) seeds (log: $log)"
status=0
# -timeout: a hang; the harness itself fails an input over 1 s of CPU time.
(cd "$work" && FUZZ_LANDXML_TMP="$work/tmp" "$venv/bin/python" "$repo/fuzz/fuzz_landxml.py" \
   "$work/corpus" -dict="$repo/fuzz/landxml.dict" -max_total_time="$seconds" -timeout=5 \
   -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 >"$log" 2>&1) || status=1
grep -E '^Done [0-9]+ runs' "$log" || true
grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" || true
if [ $status -ne 0 ]; then
  grep -E -A3 'Uncaught Python exception|ERROR|Test unit written' "$log" | head -n 30
fi
exit $status
