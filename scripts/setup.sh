#!/usr/bin/env bash
# Installs what is missing and builds everything into build/, configured
# through the plain preset (CMakePresets.json).
# Safe to run again: installs nothing and rebuilds nothing when nothing changed.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  g++ cmake ninja-build pkg-config
  libpugixml-dev         # XML document model of config.xml
  libgtest-dev libgmock-dev  # unit tests
  qt6-base-dev           # Qt 6 Widgets for the console and its dialogs
  libudev-dev            # serial port listing
  libcli11-dev           # argument parsing of the command-line tool
  libtomlplusplus-dev    # test scripts of quillmark-cli run (TOML, used header-only)
  xvfb xauth             # a display for the console on headless machines
  fonts-arphic-uming     # the Song face the dialogs ask for
  clang libclang-rt-14-dev  # libFuzzer and its sanitizer runtimes for tests/fuzz
  tshark                 # the capture tests read our captures with the Wireshark dissector
  librsvg2-bin           # rsvg-convert draws the menu's PNG icon from its SVG
  dpkg-dev               # dpkg-shlibdeps: the package's dependencies from the binaries
  lintian desktop-file-utils appstream  # checks of the package, its desktop entry and metadata
  debootstrap            # the fresh Debian 12 root of the install test
  strace                 # quillmark-bench counts an exchange's system calls with it
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  # tshark's package asks whether non-root users may capture; answer it
  # beforehand (no) so that the install never stops for a question.
  echo "wireshark-common wireshark-common/install-setuid boolean false" |
    $SUDO debconf-set-selections
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake --preset plain
cmake --build build -j 2
