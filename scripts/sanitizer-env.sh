# The options of every run of the asan build (AddressSanitizer and
# UndefinedBehaviorSanitizer): each report lands in a file whose name begins
# with REPORT, leaks are checked against the project's suppressions, and any
# undefined behaviour stops the program. Sourced by the scripts that run it:
#   source scripts/sanitizer-env.sh && asan_env REPORT
asan_env() {
  local log="log_path=$1"
  local root
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  export ASAN_OPTIONS="$log:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"
  export LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.supp"
  export UBSAN_OPTIONS="$log:print_stacktrace=1:halt_on_error=1"
}
