#!/usr/bin/env bash
# Sets everything up and starts the console.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
if [ ! -x build/bin/quillmark ]; then
  echo "Built everything into build/bin; the console itself is not part of this build yet."
  exit 0
fi
exec build/bin/quillmark "$@"
