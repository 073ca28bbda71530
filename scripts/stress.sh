#!/usr/bin/env bash
# The flake hunt: runs the tests whose verdict depends on time (the ctest
# labels engine, timing, ui and e2e: tests/CMakeLists.txt) ROUNDS times while
# one busy loop per core keeps the machine loaded, as a CI machine may be;
# first in the plain build (build/), then in the asan build (build-asan/,
# with the options of scripts/sanitizer-env.sh). Prints each failing test
# with the number of rounds it failed in and exits 1 if any failed or a
# sanitizer reported. The output of each failing round stays in
# build*/stress/round-N.log.
#   bash scripts/stress.sh ROUNDS [REGEX]
# REGEX narrows the set to the tests whose names match it. ASAN_ROUNDS sets
# the asan build's rounds apart (default ROUNDS; 0 skips that build).
# STRESS_BUILD=0 runs the programs as they are built, without building.
# Failures are never retried: a test that passes only on a second try has a
# fault.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
source scripts/sanitizer-env.sh
[ $# -ge 1 ] || { echo "usage: bash scripts/stress.sh ROUNDS [REGEX]" >&2; exit 2; }
rounds=$1
asan_rounds=${ASAN_ROUNDS:-$rounds}
select=(-L '^(engine|timing|ui|e2e)$')
[ $# -ge 2 ] && select+=(-R "$2")

busy=()
stop_load() {
  [ ${#busy[@]} -eq 0 ] || kill "${busy[@]}" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap stop_load EXIT
start_load() {
  for _ in $(seq "$(nproc)"); do
    (while :; do :; done) &
    busy+=($!)
  done
}

declare -A failures=()

# stress_build DIR PRESET ROUNDS: builds DIR through PRESET and runs the set
# ROUNDS times in it, counting each failed test under "PRESET NAME".
stress_build() {
  local dir=$1 preset=$2 n=$3
  [ "$n" -gt 0 ] || return 0
  mkdir -p "$dir/stress"
  local failed_log=$dir/Testing/Temporary/LastTestsFailed.log
  for round in $(seq "$n"); do
    local log=$dir/stress/round-$round.log
    rm -f "$failed_log"
    local reports=$ROOT/$dir/stress/reports-$round
    rm -rf "$reports" && mkdir -p "$reports"
    local start=$SECONDS rc=0
    # The sanitizer options are harmless where nothing reads them.
    (asan_env "$reports/report" && cd "$dir" &&
      ctest --no-tests=error --timeout 600 -j 2 --output-on-failure "${select[@]}") \
      >"$log" 2>&1 || rc=1
    if [ -f "$failed_log" ]; then
      # Lines "N:name" of the tests that failed in this round.
      while IFS=: read -r _ name; do
        failures["$preset $name"]=$(( ${failures["$preset $name"]:-0} + 1 ))
      done <"$failed_log"
    elif [ $rc -ne 0 ]; then
      failures["$preset ctest failed without a failed test: $log"]=1
    fi
    if compgen -G "$reports/report*" >/dev/null; then
      failures["$preset sanitizer report in $reports"]=1
    else
      rm -rf "$reports"
    fi
    echo "stress $preset round $round/$n: $([ $rc -eq 0 ] && echo passed || echo FAILED)" \
      "in $((SECONDS - start)) s"
  done
}

# The builds first, unloaded; then the load for the rounds alone.
if [ "${STRESS_BUILD:-1}" != 0 ]; then
  [ "$rounds" -eq 0 ] || { cmake --preset plain >/dev/null && cmake --build build -j 2; }
  [ "$asan_rounds" -eq 0 ] || { cmake --preset asan >/dev/null && cmake --build build-asan -j 2; }
fi
start_load
stress_build build plain "$rounds"
stress_build build-asan asan "$asan_rounds"
stop_load

if [ ${#failures[@]} -eq 0 ]; then
  echo "stress: no failure in $rounds plain and $asan_rounds asan rounds"
  exit 0
fi
echo "stress: failures (build, test: rounds failed):"
for key in "${!failures[@]}"; do
  echo "  $key: ${failures[$key]}"
done | sort
exit 1
