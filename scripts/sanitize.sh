#!/usr/bin/env bash
# Runs the tests a second time under sanitizers (gcc):
#   build-asan/  AddressSanitizer + UndefinedBehaviorSanitizer, the whole suite;
#   build-tsan/  ThreadSanitizer, the tests labelled engine (worker, drivers,
#                captures, download, command-line tool), without those labelled
#                timing, whose verdict rests on gaps of a few milliseconds
#                (tests/CMakeLists.txt gives the labels).
# Each folder is configured through its preset (CMakePresets.json) on every
# run, so that a changed flag reaches a folder made before. Every report,
# also from the programs the tests start, lands in a report file; any report
# fails the run.
#   bash scripts/sanitize.sh [asan|tsan]...
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
source scripts/sanitizer-env.sh
KINDS=("$@")
[ ${#KINDS[@]} -gt 0 ] || KINDS=(asan tsan)

check_reports() { # dir
  local reports=("$1"/sanitizer-reports/report*)
  if [ -e "${reports[0]}" ]; then
    echo "Sanitizer reports in $1/sanitizer-reports:"
    cat "${reports[@]}"
    return 1
  fi
}

run_asan() {
  cmake --preset asan
  cmake --build build-asan -j 2
  rm -rf build-asan/sanitizer-reports && mkdir -p build-asan/sanitizer-reports
  local rc=0
  (asan_env "$ROOT/build-asan/sanitizer-reports/report" && cd build-asan &&
    ctest --output-on-failure --no-tests=error --timeout 600 -j 2) || rc=1
  check_reports build-asan || rc=1
  return $rc
}

run_tsan() {
  cmake --preset tsan
  # The kernel's full address-space randomisation collides with the fixed
  # shadow layout of this ThreadSanitizer; setarch -R turns it off for the
  # build (which lists each executable's tests) and the run, and everything
  # they start inherits it.
  local norandom=(setarch "$(uname -m)" -R)
  "${norandom[@]}" cmake --build build-tsan -j 2 --target quillmark_engine_tests
  rm -rf build-tsan/sanitizer-reports && mkdir -p build-tsan/sanitizer-reports
  local rc=0
  (cd build-tsan &&
    TSAN_OPTIONS="log_path=$ROOT/build-tsan/sanitizer-reports/report:halt_on_error=1:second_deadlock_stack=1" \
    "${norandom[@]}" ctest --output-on-failure --no-tests=error --timeout 600 -j 2 \
      -L '^engine$' -LE '^timing$') || rc=1
  check_reports build-tsan || rc=1
  return $rc
}

status=0
for kind in "${KINDS[@]}"; do
  start=$(date +%s)
  "run_$kind" || status=1
  echo "sanitize $kind: $(( $(date +%s) - start )) s"
done
exit $status
