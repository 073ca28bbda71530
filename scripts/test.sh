#!/usr/bin/env bash
# Sets everything up and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/check-layers.sh
cd build
ctest --output-on-failure --no-tests=error --timeout 300 -j 2
