#!/usr/bin/env bash
# The soak: for MINUTES, the console (in-process, offscreen) sends by
# protocol every 1 ms on TCP to one simulator, while quillmark-cli runs
# examples/reply-time.toml over and over against another. Passes when, for
# both clients, requests = replies = shown, no message box appeared, the
# console's resident memory grew by less than 2 MB after its first minute
# (first 20 s for a 1-minute soak), and its descriptors and threads are as
# many at the end as then (both counted once Qt's pool threads, which end
# 30 s after their last task, are gone). Uses the plain build (BIN, default
# build/bin).
#
#   bash scripts/soak.sh MINUTES
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/port-file.sh
minutes=${1:?usage: soak.sh MINUTES}
bin=${BIN:-build/bin}
seconds=$((minutes * 60))
warmup=$((minutes == 1 ? 20 : 60))
max_growth_kb=2048

work=$(mktemp -d /tmp/quillmark-soak-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A simulator that counts its requests and replies itself and writes the
# totals when it ends; its log, which drops lines nobody reads in time, is
# not kept.
start_sim() {
  local name=$1
  "$bin/quillmark-sim" --pty --tcp 127.0.0.1:0 --udp 127.0.0.1:0 \
    --port-file "$work/$name.ports" --counts-file "$work/$name.counts" >/dev/null &
  pids+=($!)
  eval "${name}_sim=$!"
  wait_port_file "$work/$name.ports" "$!" && return 0
  echo "soak: the simulator did not start" >&2
  exit 1
}
port() { awk -v key="$2" '$1 == key { print $2 }' "$work/$1.ports"; }
stop_sim() {
  local pid_var="${1}_sim"
  kill -TERM "${!pid_var}"
  wait "${!pid_var}" || true
}

start_sim console
start_sim cli

"$bin/quillmark-soak-console" "$(port console tcp)" "$(port console udp)" "$(port console pty)" \
  "$seconds" "$warmup" >"$work/console.out" 2>"$work/console.err" &
console_pid=$!
pids+=($console_pid)

cli_passed=0
cli_failed=0
cli_runs=0
end=$((SECONDS + seconds))
while ((SECONDS < end)); do
  summary=$("$bin/quillmark-cli" run examples/reply-time.toml \
    --tcp "127.0.0.1:$(port cli tcp)" | grep '^passed ' || true)
  read -r passed failed < <(sed -E 's/^passed ([0-9]+), failed ([0-9]+).*/\1 \2/' <<<"$summary")
  cli_passed=$((cli_passed + ${passed:-0}))
  cli_failed=$((cli_failed + ${failed:-1}))
  cli_runs=$((cli_runs + 1))
done

console_rc=0
wait "$console_pid" || console_rc=$?
stop_sim console
stop_sim cli

value() { awk -v key="$1" '$1 == key { print $2 }' "$work/console.out"; }
tcp_counts() { awk '$1 == "tcp" { print $2, $3 }' "$work/$1.counts"; }
read -r con_rx con_tx < <(tcp_counts console)
read -r cli_rx cli_tx < <(tcp_counts cli)
shown=$(value shown)
sent=$(value sent)
boxes=$(value boxes)
errors=$(value errors)
rss0=$(value start_rss_kb)
rss1=$(value end_rss_kb)
fds0=$(value start_fds)
fds1=$(value end_fds)
thr0=$(value start_threads)
thr1=$(value end_threads)

echo "soak of $minutes min"
echo "  console: sent $sent, simulator requests $con_rx, replies $con_tx, shown $shown," \
  "errors $errors, $(awk -v n="$shown" -v s="$seconds" 'BEGIN { printf "%.1f", n / s }') exchanges/s"
echo "  cli: $cli_runs runs, simulator requests $cli_rx, replies $cli_tx, passed $cli_passed," \
  "failed $cli_failed"
echo "  message boxes $boxes"
echo "  console after ${warmup} s / at the end: resident $rss0 / $rss1 kB" \
  "(grew $((rss1 - rss0)) kB), descriptors $fds0 / $fds1, threads $thr0 / $thr1"
sed 's/^/  console: /' "$work/console.err" | grep -v 'XDG_RUNTIME_DIR\|propagateSizeHints' || true

ok=1
check() { if ! eval "$1"; then echo "soak: NOT met: $2"; ok=0; fi; }
check '((console_rc == 0))' "the console ended idle"
check '((shown > 0 && shown == sent && sent == con_rx && con_rx == con_tx && errors == 0))' \
  "console requests = replies = shown"
check '((cli_passed > 0 && cli_failed == 0 && cli_passed == cli_rx && cli_rx == cli_tx))' \
  "cli requests = replies = passed"
check '((boxes == 0))' "no message box"
check '((rss1 - rss0 < max_growth_kb))' "memory growth under $max_growth_kb kB"
check '((fds0 == fds1 && thr0 == thr1))' "descriptors and threads unchanged"
((ok)) && echo "soak passed"
((ok))
