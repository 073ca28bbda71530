#!/usr/bin/env bash
# Fails when a core folder includes a folder above it: protocol/ and tools/
# include nothing of ours from comm/, config/, console/ or app/; comm/ nothing
# from config/, console/ or app/; config/ nothing from console/ or app/;
# console/ nothing from app/.
set -uo pipefail
cd "$(dirname "$0")/.."

status=0
check() {
    local folder=$1 pattern=$2 hits
    hits=$(grep -rnE "^[[:space:]]*#[[:space:]]*include[[:space:]]*[\"<]($pattern)/" "$folder" \
        --include='*.h' --include='*.hpp' --include='*.cpp')
    if [ -n "$hits" ]; then
        echo "check-layers: $folder/ includes a layer above it:" >&2
        echo "$hits" >&2
        status=1
    fi
}

check protocol 'comm|config|console|app|cli|sim|bench'
check tools 'comm|config|console|app|cli|sim|bench|protocol'
check comm 'config|console|app|cli|sim|bench'
check config 'console|app|cli|sim|bench'
check console 'app|cli|sim|bench'
[ "$status" -eq 0 ] && echo "check-layers: no upward include"
exit "$status"
