#!/usr/bin/env bash
# The include edges between our folders, as a table: a folder includes its
# own files and what its row names (a folder, or one file of a folder), and
# nothing else of ours; any other edge fails. A folder of the table that the
# tree lacks is skipped. Runs as a ctest test (check_layers).
#   bash scripts/check-layers.sh [ROOT]
set -uo pipefail
cd "${1:-$(dirname "$0")/..}" || exit 2

# folder: what it may include
TABLE=(
  "protocol:"
  "tools:"
  "comm: protocol"
  "config: protocol comm/SerialPort.h" # the COM name table only
  "console: protocol tools comm config"
  "app: protocol tools comm config console res"
  "cli: protocol tools comm config"
  "sim: protocol comm"
  "bench: protocol comm sim app cli/ReplyStats.h" # the median the script summary gives
)

# Ours: every folder of the table and every folder at the top of the tree.
declare -A OURS=()
for row in "${TABLE[@]}"; do OURS[${row%%:*}]=1; done
for dir in */; do OURS[${dir%/}]=1; done

allowed() { # path folder entries...
  local path=$1 folder=$2 entry
  shift 2
  for entry in "$folder" "$@"; do
    [[ $path == "$entry" || $path == "$entry"/* ]] && return 0
  done
  return 1
}

status=0
for row in "${TABLE[@]}"; do
  folder=${row%%:*}
  read -ra entries <<<"${row#*:}"
  [ -d "$folder" ] || continue
  while IFS=: read -r file line text; do
    [[ $text =~ [\"\<]([^\">]*) ]] || continue
    path=${BASH_REMATCH[1]}
    case $path in
      ./* | ../*) path=$(realpath -m --relative-to=. "$(dirname "$file")/$path") ;;
      */*) ;;
      *) continue ;; # a file beside it
    esac
    [ -n "${OURS[${path%%/*}]:-}" ] || continue
    if ! allowed "$path" "$folder" "${entries[@]}"; then
      echo "check-layers: $file:$line includes $path; $folder/ may include ${entries[*]:-nothing of ours}" >&2
      status=1
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<]' "$folder" \
             --include='*.h' --include='*.hpp' --include='*.cpp')
done
[ "$status" -eq 0 ] && echo "check-layers: every include follows the table"
exit "$status"
