#!/usr/bin/env bash
# Fails when a file of a common/ folder includes a folder that comes later in the layer
# order, or a folder that is not a layer. Usage: layers_check.sh COMMON_DIR LAYER...
set -u
common=$1
shift
layers=("$@")
rank() {
    local i
    for i in "${!layers[@]}"; do
        [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }
    done
    echo -1
}
status=0
for layer in "${layers[@]}"; do
    [ -d "$common/$layer" ] || continue
    own=$(rank "$layer")
    while IFS=: read -r file line target; do
        used=$(rank "$target")
        if [ "$used" -lt 0 ] || [ "$used" -gt "$own" ]; then
            echo "$file:$line: the $layer layer includes $target/"
            status=1
        fi
    done < <(grep -n -o -E '^#include "[^"/]+/' "$common/$layer"/* |
             sed -E 's|^([^:]+):([0-9]+):#include "([^/]+)/$|\1:\2:\3|')
    # A bare include names no folder: the reader cannot see the layer.
    if grep -n -E '^#include "[^"/]+"' "$common/$layer"/*; then
        echo "^ includes in $common/$layer must name their folder"
        status=1
    fi
done
exit $status
