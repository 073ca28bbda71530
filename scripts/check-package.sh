#!/usr/bin/env bash
# Checks the package that scripts/package.sh wrote: lintian finds no error,
# the desktop entry and the AppStream metadata as packaged validate without a
# remark, and the package installs, runs and removes in a fresh Debian 12 root
# (scripts/install-test.sh). Any failure fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
debs=(build/quillmark_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "check-package: expected one build/quillmark_*.deb (bash scripts/package.sh)" >&2
  exit 1
fi
deb=${debs[0]}

echo "check-package: lintian $deb"
lintian --fail-on error --tag-display-limit 0 "$deb"

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
dpkg-deb -x "$deb" "$tree"
# Both exit 0 on some remarks: any output counts as a failure.
remarks=$(desktop-file-validate "$tree"/usr/share/applications/*.desktop 2>&1) || true
if [ -n "$remarks" ]; then
  echo "check-package: desktop-file-validate: $remarks" >&2
  exit 1
fi
if ! appstreamcli validate --no-net --strict "$tree"/usr/share/metainfo/*.metainfo.xml; then
  echo "check-package: appstreamcli validate --strict failed" >&2
  exit 1
fi

bash scripts/install-test.sh "$deb"
