#!/usr/bin/env bash
# atheris fuzz of the IFC 4.3 reader (fuzz/fuzz_ifc.py) for a time or a count.
#
#   scripts/run_fuzz_ifc.sh [SECONDS]     (default 60; 0 with FUZZ_RUNS=N: N executions)
#
# scripts/run_fuzz.sh runs it as the target fuzz_ifc. The interpreter is
# FUZZ_IFC_PYTHON when set (one with this package, ifcopenshell and atheris:
# scripts/run_tests.sh passes its test environment, into which atheris is
# installed), else a virtual environment of its own (build/venv-fuzz-ifc:
# atheris builds against clang, which scripts/install_deps.sh installs with
# WITH_CLANG=1; the package with its ifc extra). Seeds are fuzz/corpus/ifc
# (fuzz/make_ifc_corpus.py) and the single-segment files of ../shared/ifc
# (or IFC_SEEDS), copied into a scratch directory (FUZZ_WORK, default a new
# temporary directory); nothing is written into the repository.
# ifcopenshell 0.9 keeps about 330 bytes of every file it parses after the
# file is freed, so a long run goes in rounds of FUZZ_ROUND executions
# (default 25000) or FUZZ_ROUND_SECONDS (default 20), each a fresh
# process on the corpus grown so far. A
# finding is written to the scratch directory as crash-* or timeout-* and
# the script exits non-zero; reproduce it with
#   <python> fuzz/fuzz_ifc.py <file>
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"
seconds="${1:-60}"

py="${FUZZ_IFC_PYTHON:-}"
if [ -z "$py" ]; then
  WITH_CLANG=1 bash scripts/install_deps.sh
  venv="$repo/build/venv-fuzz-ifc"
  [ -x "$venv/bin/python" ] || "${PYTHON:-python3}" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" "$venv/bin/python" -m pip install -q "$repo[ifc]"
  py="$venv/bin/python"
fi
"$py" -c "import atheris" 2>/dev/null || CC=clang CXX=clang++ "$py" -m pip install -q atheris

seeds="${IFC_SEEDS:-$repo/../shared/ifc}"
work="${FUZZ_WORK:-$(mktemp -d)}"
mkdir -p "$work/corpus" "$work/tmp"
[ -d "$seeds" ] || echo "no seed files in $seeds; the project's seeds only"
for seed in "$repo"/fuzz/corpus/ifc/*.ifc "$seeds"/horizontal-*.ifc "$seeds"/vertical-*.ifc \
            "$seeds"/cant-*.ifc "$seeds"/generated-*.ifc; do
  [ ! -e "$seed" ] || [ -e "$work/corpus/${seed##*/}" ] || cp "$seed" "$work/corpus/"
done
trap 'rm -rf "$work/tmp"' EXIT
echo "scratch directory: $work"
log="$work/fuzz.log"
round="${FUZZ_ROUND:-25000}"
round_seconds="${FUZZ_ROUND_SECONDS:-20}"
total="${FUZZ_RUNS:-0}"
done_runs=0
status=0
began=$(date +%s)
while :; do
  runs=()
  if [ "$total" -gt 0 ]; then
    left=$((total - done_runs))
    [ "$left" -gt 0 ] || break
    runs=(-atheris_runs=$((left < round ? left : round)))
  fi
  limit=0
  if [ "$seconds" -gt 0 ]; then
    left=$((seconds - ($(date +%s) - began)))
    [ "$left" -gt 0 ] || break
    limit=$((left < round_seconds ? left : round_seconds))
  fi
  echo "=== fuzz_ifc: ${limit}s ${FUZZ_RUNS:+or $FUZZ_RUNS runs in all }from $(ls "$work/corpus" | wc -l) inputs (log: $log)"
  # -timeout: a hang; the harness itself fails an input over 2 s of CPU time.
  (cd "$work" && FUZZ_IFC_TMP="$work/tmp" "$py" "$repo/fuzz/fuzz_ifc.py" "$work/corpus" \
     -dict="$repo/fuzz/ifc.dict" -max_total_time="$limit" "${runs[@]}" -timeout=10 \
     -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 >"$log" 2>&1) || status=1
  # atheris ends a counted run with "Done N in S second(s)", a timed one with the stat lines.
  grep -E '^Done [0-9]+ in|^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" || true
  n=$(sed -n -e 's/^Done \([0-9]*\) in.*/\1/p' -e 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  done_runs=$((done_runs + ${n:-0}))
  cat "$log" >>"$work/fuzz-all.log"
  if [ $status -ne 0 ]; then
    grep -E -A3 'Uncaught Python exception|ERROR|Test unit written' "$log" | head -n 30
    break
  fi
  # SECONDS and FUZZ_RUNS both 0: one process without a limit.
  [ "$total" -gt 0 ] || [ "$seconds" -gt 0 ] || break
done
echo "fuzz_ifc: $done_runs executions in $(( $(date +%s) - began )) s"
exit $status
