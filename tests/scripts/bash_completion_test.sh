#!/usr/bin/env bash
# The bash completion offers what a user expects at a few typical places of a command line.
# Usage: bash_completion_test.sh COMPLETION_FILE
set -uo pipefail
# shellcheck source=/dev/null
. "$1"
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir "$tree/outgoing" "$tree/spare"
touch "$tree/outgoing.txt"

failures=0
# expect "COMMAND LINE" "EXPECTED COMPREPLY": completes the last word of the line ("" for a new
# word) as bash splits it (at "=", too) and compares the sorted candidates.
expect() {
    local line=$1 expected=$2 got
    read -r -a COMP_WORDS <<<"${line//=/ = }"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _qk_relay "${COMP_WORDS[0]}" 2>/dev/null
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' ')
    if [ "$got" != "$expected" ]; then
        echo "'$line': offered '$got', expected '$expected'" >&2
        failures=$((failures + 1))
    fi
}

# Option names; a flag is a complete word, an option taking a value waits for it.
expect "qk_relay_cln --use" "--use_ssl "
expect "qk_relay_cln --out" "--out_dir="
expect "qk_relay_srv --ssl_" "--ssl_address= --ssl_allowed_networks= --ssl_port="
# Directories only for a directory, in both spellings; any file for --file.
expect "qk_relay_cln --out_dir=$tree/o" "$tree/outgoing"
expect "qk_relay_cln -b $tree/o" "$tree/outgoing"
expect "qk_relay_cln -f $tree/outgoing" "$tree/outgoing $tree/outgoing.txt"
# Known values: service names, listener addresses, stream counts; none for a port.
expect "qk_relay_ctrl --stop_service=" "qk_relay_clnsvc qk_relay_srvsvc"
expect "qk_relay_ctrl -u qk_relay_s" "qk_relay_srvsvc"
expect "qk_relay_srv --address=o" "off"
expect "qk_relay_cln --streams=1" "1 10 11 12 13 14 15 16"
expect "qk_relay_cln --server_port=" ""
exit $((failures > 0))
