#!/usr/bin/env bash
# Runs the tests a second time under sanitizers (gcc):
#   build-asan/  AddressSanitizer + UndefinedBehaviorSanitizer, the whole suite;
#   build-tsan/  ThreadSanitizer, the engine tests (worker, drivers, captures, download,
#                command-line tool), without the console and the tests whose
#                verdict rests on gaps of a few milliseconds.
# Every report, also from the programs the tests start, lands in a report
# file; any report fails the run.
#   bash scripts/sanitize.sh [asan|tsan]...
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
KINDS=("$@")
[ ${#KINDS[@]} -gt 0 ] || KINDS=(asan tsan)

# Tests that judge gaps of a few milliseconds, which ThreadSanitizer's
# slowdown stretches past their bounds.
TSAN_TIMING_FILTER='-*ReadFrameOverRealTiming*:*BurnACore*:*BurnsNoCpu*:*ShortDatagram*:*CarrierWaitPolls*:*byte_gap*'
TSAN_TESTS=(test_worker test_serial test_net test_download test_dial test_modem_lines test_cli_e2e
            test_capture)

configure() { # dir flags
  if [ ! -f "$1/build.ninja" ]; then
    cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_FLAGS="$2" -DCMAKE_EXE_LINKER_FLAGS="$2"
  fi
}

check_reports() { # dir
  local reports=("$1"/sanitizer-reports/report*)
  if [ -e "${reports[0]}" ]; then
    echo "Sanitizer reports in $1/sanitizer-reports:"
    cat "${reports[@]}"
    return 1
  fi
}

run_asan() {
  local flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
  configure build-asan "$flags"
  cmake --build build-asan -j 2
  rm -rf build-asan/sanitizer-reports && mkdir -p build-asan/sanitizer-reports
  local log="log_path=$ROOT/build-asan/sanitizer-reports/report"
  local rc=0
  (cd build-asan && \
    ASAN_OPTIONS="$log:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1" \
    LSAN_OPTIONS="suppressions=$ROOT/tests/sanitizers/lsan.supp" \
    UBSAN_OPTIONS="$log:print_stacktrace=1:halt_on_error=1" \
    ctest --output-on-failure --no-tests=error --timeout 600 -j 2) || rc=1
  check_reports build-asan || rc=1
  return $rc
}

run_tsan() {
  configure build-tsan "-fsanitize=thread -fno-omit-frame-pointer"
  cmake --build build-tsan -j 2 --target "${TSAN_TESTS[@]}" quillmark-cli quillmark-sim
  rm -rf build-tsan/sanitizer-reports && mkdir -p build-tsan/sanitizer-reports
  local rc=0
  # The kernel's full address-space randomisation collides with the fixed
  # shadow layout of this ThreadSanitizer; setarch -R turns it off for the run.
  (cd build-tsan/bin &&
    export TSAN_OPTIONS="log_path=$ROOT/build-tsan/sanitizer-reports/report:halt_on_error=1:second_deadlock_stack=1" &&
    printf '%s\n' "${TSAN_TESTS[@]}" | xargs -P 2 -I{} \
      setarch "$(uname -m)" -R ./{} --gtest_filter="$TSAN_TIMING_FILTER" --gtest_brief=1) || rc=1
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
