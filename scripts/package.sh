#!/usr/bin/env bash
# Sets everything up, builds, and writes the Debian package
# build/quillmark_VERSION_ARCH.deb with CPack (packaging/CMakeLists.txt).
# Safe to repeat: only the package is made again.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# The console looks for the shipped config.xml under the prefix it was built for.
if ! grep -qx 'CMAKE_INSTALL_PREFIX:PATH=/usr' build/CMakeCache.txt; then
  cmake -S . -B build -DCMAKE_INSTALL_PREFIX=/usr
fi
rm -f build/quillmark_*.deb
(cd build && cpack -G DEB)
