#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for a time.
#
#   scripts/run_fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS per target (default 60; 0 for no limit); FUZZ_RUNS=N stops each
# target after N executions instead. TARGET is fuzz_icd_loader, fuzz_queries,
# fuzz_engine, fuzz_profile and/or fuzz_ifc (default all five, one after the
# other; fuzz_ifc is the atheris target of the IFC reader, run by
# scripts/run_fuzz_ifc.sh, which says what it needs). Each run
# starts from a copy of the seed corpus in a scratch directory (FUZZ_WORK, default a new
# temporary directory), so inputs found on the way never land in the
# repository; a crash, leak or hang is written there as crash-*, leak-* or
# timeout-* and the script stops with a non-zero status. Reproduce one with
#   build/fuzz/fuzz/<target> <file>
# FUZZ_BUILD names another build tree (default build/fuzz).
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"

seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_icd_loader fuzz_queries fuzz_engine fuzz_profile fuzz_ifc)
native=()
for target in "${targets[@]}"; do
  [ "$target" = fuzz_ifc ] || native+=("$target")
done

WITH_CLANG=1 bash scripts/install_deps.sh
command -v cmake >/dev/null || { echo "cmake is needed" >&2; exit 1; }
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

build="${FUZZ_BUILD:-$repo/build/fuzz}"
if [ ${#native[@]} -gt 0 ]; then
  cmake -S "$repo" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DCURVIX_BUILD_FUZZERS=ON -DCURVIX_BUILD_PYTHON=OFF >/dev/null
  cmake --build "$build" -j2 --target "${native[@]}"
fi

work="${FUZZ_WORK:-$(mktemp -d)}"
echo "scratch directory: $work"
status=0
for target in "${targets[@]}"; do
  if [ "$target" = fuzz_ifc ]; then
    FUZZ_WORK="$work/fuzz_ifc" bash "$repo/scripts/run_fuzz_ifc.sh" "$seconds" || { status=1; break; }
    continue
  fi
  case "$target" in
    fuzz_icd_loader) seeds="$repo/fuzz/corpus/icd"; extra=(-max_len=4096 -dict="$repo/fuzz/icd.dict") ;;
    fuzz_queries) seeds="$repo/fuzz/corpus/queries"; extra=(-max_len=512) ;;
    # An alignment of thousands of turns takes a second per input under
    # ASan on a busy machine: a hang is what outlasts 30 s.
    fuzz_engine) seeds="$repo/fuzz/corpus/engine"; extra=(-max_len=4096 -timeout=30) ;;
    fuzz_profile) seeds="$repo/fuzz/corpus/profile"; extra=(-max_len=2048) ;;
    *) echo "unknown target $target" >&2; exit 2 ;;
  esac
  corpus="$work/$target/corpus"
  mkdir -p "$corpus"
  for seed in "$seeds"/*; do
    [ -e "$corpus/${seed##*/}" ] || cp "$seed" "$corpus/"
  done
  log="$work/$target/fuzz.log"
  echo "=== $target: ${seconds}s ${FUZZ_RUNS:+or $FUZZ_RUNS runs }from $(ls "$seeds" | wc -l) seeds (log: $log)"
  runs=()
  [ -z "${FUZZ_RUNS:-}" ] || runs=(-runs="$FUZZ_RUNS")
  (cd "$work/$target" && "$build/fuzz/$target" "$corpus" -max_total_time="$seconds" "${runs[@]}" -timeout=5 \
     -rss_limit_mb=2048 -print_final_stats=1 "${extra[@]}" >"$log" 2>&1) || status=1
  grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n1 || true
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" || true
  if [ $status -ne 0 ]; then
    grep -E 'ERROR|SUMMARY|fuzz oracle|runtime error|Test unit written' "$log" | head -n 20
    break
  fi
done
exit $status
