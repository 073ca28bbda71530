#!/usr/bin/env bash
# Fails when a process that carries the mark QUILLMARK_RUN=ID in its
# environment is still running: scripts/test.sh exports the mark, so every
# process of its run carries it, and none may outlive the run (a simulator
# left behind holds its ports and pseudo-terminals for the next one). Looks
# by the mark, never by program name, so that a user's own simulator is left
# alone. Lists each left-over process, then ends it.
#   bash scripts/check-leftovers.sh ID
set -uo pipefail
[ $# -eq 1 ] || { echo "usage: bash scripts/check-leftovers.sh ID" >&2; exit 2; }
mark="QUILLMARK_RUN=$1"

# The marked processes but this one, read with builtins alone (a child
# would carry the mark too). A zombie's environment reads as empty.
marked() {
  local dir pid var
  for dir in /proc/[0-9]*; do
    pid=${dir#/proc/}
    # This script, and the subshell that runs this function.
    [ "$pid" = $$ ] || [ "$pid" = "$BASHPID" ] && continue
    {
      while IFS= read -r -d '' var; do
        [ "$var" = "$mark" ] && { echo "$pid"; break; }
      done <"$dir/environ"
    } 2>/dev/null
  done
}

# A process that was told to end just before may still be on its way out.
for _ in $(seq 50); do
  left=$(marked)
  [ -z "$left" ] && exit 0
  sleep 0.1
done
echo "Processes of this run still running after it:"
for pid in $left; do
  echo "  $pid: $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)"
done
kill -KILL $left 2>/dev/null
exit 1
