#!/usr/bin/env bash
# Installs the package DEB into a fresh minimal Debian 12 root and tries
# it there as a user would: quillmark-cli --version, the simulator answering
# quillmark-cli over TCP, the console started offscreen for two seconds making
# ~/.config/quillmark/config.xml from the shipped default, and apt-get remove
# leaving that file alone. Any failure fails the script.
#
# The clean root (debootstrap --variant=minbase bookworm, from the mirror this
# machine's apt sources name) is made once and kept in $CACHE/base; each run
# works in a copy that is removed afterwards, so nothing a run installs stays.
# Downloaded packages are kept in $CACHE/archives. Runs are serialised by a
# lock, as the cache is shared by every checkout on the machine.
set -euo pipefail
[ "$(id -u)" -eq 0 ] || exec sudo bash "$0" "$@"
source "$(dirname "$0")/port-file.sh"
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
  echo "usage: install-test.sh DEB" >&2
  exit 2
fi
deb=$(realpath "$1")
CACHE=/var/cache/quillmark-install-test
version=$(dpkg-deb -f "$deb" Version)

mkdir -p "$CACHE/archives"
exec 9>"$CACHE/lock"
flock -w 1800 9

# Mount points at or under $1, deepest first.
mounts_under() {
  awk -v root="$1" '$5 == root || index($5, root "/") == 1 { print $5 }' /proc/self/mountinfo |
    sort -r
}

# Removes a root folder, after ending what still runs in it and unmounting
# whatever is mounted in it; refuses to remove it while anything is still
# mounted there (a bound /dev would take the machine's device nodes with it).
remove_root() {
  local root=$1 m p
  [ -e "$root" ] || return 0
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && kill -9 "${p#/proc/}" 2>/dev/null
  done
  for m in $(mounts_under "$root"); do
    umount "$m" 2>/dev/null || umount -l "$m"
  done
  if [ -n "$(mounts_under "$root")" ]; then
    echo "install-test: still mounted under $root, not removing it" >&2
    return 1
  fi
  rm -rf --one-file-system "$root"
}

# What an interrupted run left behind.
for stale in "$CACHE"/run.* "$CACHE"/base.new; do
  remove_root "$stale"
done

# The mirror of the machine's own bookworm sources (deb822 or one-line form).
mirror=$(awk 'BEGIN { RS = "" }
  /(^|\n)Types:[^\n]*deb( |\n|$)/ && /(^|\n)Suites:[^\n]* bookworm( |\n|$)/ {
    if (match($0, /(^|\n)URIs:[ \t]*[^ \t\n]+/)) {
      u = substr($0, RSTART, RLENGTH); sub(/^\n?URIs:[ \t]*/, "", u); print u; exit
    }
  }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
if [ -z "$mirror" ]; then
  mirror=$(awk '$1 == "deb" && $3 == "bookworm" { print $2; exit }' /etc/apt/sources.list \
    2>/dev/null || true)
fi
if [ -z "$mirror" ]; then
  echo "install-test: no bookworm mirror in this machine's apt sources" >&2
  exit 1
fi

if [ ! -d "$CACHE/base" ]; then
  echo "install-test: making a minimal Debian 12 root from $mirror"
  debootstrap --variant=minbase bookworm "$CACHE/base.new" "$mirror" >"$CACHE/debootstrap.log" ||
    { tail -20 "$CACHE/debootstrap.log" >&2; remove_root "$CACHE/base.new"; exit 1; }
  mv "$CACHE/base.new" "$CACHE/base"
fi

root="$CACHE/run.$$"
cleanup() {
  local status=$?
  remove_root "$root" || status=1
  exit "$status"
}
trap cleanup EXIT
trap "exit 130" INT
trap "exit 143" TERM
cp -a "$CACHE/base" "$root"

mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
mount --bind "$CACHE/archives" "$root/var/cache/apt/archives"

cp -L /etc/resolv.conf "$root/etc/resolv.conf"
# The mirror is trusted here as the machine trusts it (a snapshot may carry an
# expired Release date).
apt-config dump | grep -E '^Acquire::Check-(Valid-Until|Date) ' \
  >"$root/etc/apt/apt.conf.d/99machine" || true
cp "$deb" "$root/tmp/"
chmod 644 "$root/tmp/$(basename "$deb")"

# Commands in the root, without the lock (fd 9), which must end with this script.
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@" 9>&-; }
USER_ENV=(env -i PATH=/usr/bin:/bin HOME=/home/tester LANG=C.UTF-8)
as_user() { chroot --userspec=tester:tester "$root" "${USER_ENV[@]}" "$@" 9>&-; }
fail() {
  echo "install-test: FAIL: $*" >&2
  exit 1
}

echo "install-test: apt-get install ./$(basename "$deb") in $root"
in_root apt-get -q update >"$root/tmp/apt.log" 2>&1 || { cat "$root/tmp/apt.log" >&2; exit 1; }
in_root env DEBIAN_FRONTEND=noninteractive apt-get -q install -y --no-install-recommends \
  "/tmp/$(basename "$deb")" >>"$root/tmp/apt.log" 2>&1 ||
  { tail -30 "$root/tmp/apt.log" >&2; fail "the package does not install"; }
in_root useradd --create-home tester

out=$(as_user quillmark-cli --version) || fail "quillmark-cli --version"
[ "$out" = "quillmark-cli $version" ] || fail "quillmark-cli --version said '$out'"

# Not through a function: $! must be the simulator itself.
chroot --userspec=tester:tester "$root" "${USER_ENV[@]}" quillmark-sim --tcp 127.0.0.1:0 --no-udp \
  --port-file /tmp/sim.ports >"$root/tmp/sim.log" 2>&1 9>&- &
sim_pid=$!
wait_port_file "$root/tmp/sim.ports" "$sim_pid" || true
port=$(awk '$1 == "tcp" { print $2 }' "$root/tmp/sim.ports" 2>/dev/null || true)
[ -n "$port" ] || { cat "$root/tmp/sim.log" >&2; fail "the simulator did not start"; }
as_user quillmark-cli diag version --tcp "127.0.0.1:$port" ||
  fail "quillmark-cli diag version over TCP"
kill "$sim_pid"
wait "$sim_pid" || true

status=0
as_user env QT_QPA_PLATFORM=offscreen timeout 2 quillmark >"$root/tmp/console.log" 2>&1 ||
  status=$?
[ "$status" -eq 124 ] || { cat "$root/tmp/console.log" >&2; fail "the console ended ($status)"; }
user_config="$root/home/tester/.config/quillmark/config.xml"
cmp "$root/usr/share/quillmark/config.xml" "$user_config" ||
  fail "no copy of the shipped config.xml in the user's home"
cp "$user_config" "$root/tmp/config.before-remove"

in_root env DEBIAN_FRONTEND=noninteractive apt-get -q remove -y quillmark >>"$root/tmp/apt.log" 2>&1 ||
  fail "apt-get remove"
[ ! -e "$root/usr/bin/quillmark" ] || fail "/usr/bin/quillmark is still there after remove"
cmp "$root/tmp/config.before-remove" "$user_config" ||
  fail "apt-get remove changed or took the user's config.xml"
echo "install-test: installed, ran and removed; the user's config.xml stays"
