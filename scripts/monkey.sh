#!/usr/bin/env bash
# Random input on the console under the sanitizers for SECONDS, with SEED or
# else a fresh one; a failure prints the seed and the last 50 actions, and
# `bash scripts/monkey.sh SECONDS SEED` replays it.
#   bash scripts/monkey.sh SECONDS [SEED]
# Builds the monkey in build-asan/ through the asan preset (CMakePresets.json),
# as scripts/sanitize.sh does; a sanitizer report lands in
# build-asan/sanitizer-reports and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
source scripts/sanitizer-env.sh
[ $# -ge 1 ] || { echo "usage: bash scripts/monkey.sh SECONDS [SEED]" >&2; exit 2; }
seconds=$1
seed=${2:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')}
cmake --preset asan >/dev/null
cmake --build build-asan -j 2 --target monkey
reports=$ROOT/build-asan/sanitizer-reports/monkey
rm -rf "$reports" && mkdir -p "$reports"
rc=0
(asan_env "$reports/report" && cd build-asan/bin && ./monkey "$seconds" "$seed") || rc=1
if compgen -G "$reports/report*" >/dev/null; then
  echo "Sanitizer reports in $reports:"
  cat "$reports"/report*
  rc=1
fi
exit $rc
