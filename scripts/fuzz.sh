#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang into build-fuzz/, configured
# through the fuzz preset (CMakePresets.json) on every run, and runs each for
# SECONDS (default 20) from its seed corpus in tests/fuzz/corpus/, two at a
# time. The harnesses are the files tests/fuzz/fuzz_*.cpp, each named after
# its file. Any finding fails the run and is kept in build-fuzz/findings/.
#   bash scripts/fuzz.sh [SECONDS] [HARNESS...]
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH=${1:-20}
shift || true
HARNESSES=("$@")
if [ ${#HARNESSES[@]} -eq 0 ]; then
  for source in tests/fuzz/fuzz_*.cpp; do HARNESSES+=("$(basename "$source" .cpp)"); done
fi

cmake --preset fuzz
cmake --build build-fuzz -j 2 --target quillmark_fuzzers

run_one() {
  local name=$1 seconds=$2
  local work=build-fuzz/corpus/$name findings=build-fuzz/findings/$name
  mkdir -p "$work" "$findings"
  # New inputs go to the work corpus; the seeds in the repo are only read.
  if build-fuzz/bin/"$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$work" "tests/fuzz/corpus/$name" \
      >"build-fuzz/$name.log" 2>&1; then
    echo "$name: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "build-fuzz/$name.log" \
      | grep -o '[0-9]*$') runs in ${seconds} s, no finding"
  else
    echo "$name: FINDING, see build-fuzz/$name.log and $findings/"
    tail -40 "build-fuzz/$name.log"
    return 1
  fi
}
export -f run_one

printf '%s\n' "${HARNESSES[@]}" | xargs -P 2 -I{} bash -c 'run_one "$1" "$2"' _ {} "$SECONDS_EACH"
