#!/usr/bin/env bash
# Sets everything up and runs every test: the suite, the Debian package's
# checks (scripts/package.sh, scripts/check-package.sh), then the suite under
# sanitizers (scripts/sanitize.sh), then a short run of each fuzz harness
# (scripts/fuzz.sh), then a 1-minute soak (scripts/soak.sh). Last, it fails
# if any process it started is still running (scripts/check-leftovers.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
# Every process of this run inherits the mark that the last step looks for.
QUILLMARK_RUN=$(od -An -N8 -tx8 /dev/urandom | tr -d ' ')
export QUILLMARK_RUN
bash scripts/setup.sh
(cd build && ctest --output-on-failure --no-tests=error --timeout 300 -j 2)
bash scripts/package.sh
bash scripts/check-package.sh
bash scripts/sanitize.sh
bash scripts/fuzz.sh
bash scripts/soak.sh 1
bash scripts/check-leftovers.sh "$QUILLMARK_RUN"
