#!/usr/bin/env bash
# Files per second over a link with a round-trip time, emulated on loopback by
# bench/delay_proxy.py (half the round trip each way) in front of qk_relay_srv.
#
# Runs qk_relay_srv (plain and TLS listeners) from a copy of the build's stage tree with fresh
# keys, and for each round-trip time a proxy in front of each listener; qk_relay_cln sends
# --files files of --size bytes through it, once plain and once over TLS. Each case is
# checked (every file arrived byte-identical, the outgoing directory is empty) and printed as
# files, seconds (the client's start to its exit) and files/s.
#
#   bench/wan.sh [--rtt-ms 0,10,50] [--files 200] [--size 4096] [--window-bytes N]
#                [--stage DIR] [--keep]
#
# It starts its own qk_relay_srv: only one may run per user. Where others test the services
# on the same machine, run it as `flock /tmp/qk_services.lock bench/wan.sh ...`.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
stage=${QK_BUILD_DIR:-$top/build}/stage

usage() {
    awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"
    exit "${1:-0}"
}

rtts=0,10,50
files=200
size=4096
window=$((4 << 20))
keep=
while [ $# -gt 0 ]; do
    case $1 in
    --rtt-ms) rtts=$2; shift 2 ;;
    --rtt-ms=*) rtts=${1#*=}; shift ;;
    --files) files=$2; shift 2 ;;
    --files=*) files=${1#*=}; shift ;;
    --size) size=$2; shift 2 ;;
    --size=*) size=${1#*=}; shift ;;
    --window-bytes) window=$2; shift 2 ;;
    --window-bytes=*) window=${1#*=}; shift ;;
    --stage) stage=$2; shift 2 ;;
    --stage=*) stage=${1#*=}; shift ;;
    --keep) keep=1; shift ;;
    -h | --help) usage 0 ;;
    *) echo "wan.sh: unknown option: $1" >&2; usage 2 >&2 ;;
    esac
done
for program in qk_relay_keys qk_relay_srv qk_relay_cln; do
    [ -x "$stage/bin/$program" ] || { echo "wan.sh: $stage/bin/$program is missing; build first" >&2; exit 1; }
done

source "$top/scripts/ports.sh"

# The data lives on the disk that holds the repository, as in bench/run.sh.
work=$(mktemp -d "$(dirname "$top")/qk_wan.XXXXXX")
srv_pid=
proxy_pid=
on_exit() {
    local rc=$?
    [ -z "$proxy_pid" ] || kill "$proxy_pid" 2>/dev/null || true
    if [ -n "$srv_pid" ]; then
        kill -INT "$srv_pid" 2>/dev/null || true
        wait "$srv_pid" 2>/dev/null || true
    fi
    if [ "$rc" -ne 0 ] || [ -n "$keep" ]; then
        echo "wan.sh: everything of this run is kept in $work" >&2
    else
        rm -rf "$work"
    fi
}
trap on_exit EXIT
fail() {
    echo "wan.sh: $*" >&2
    exit 1
}

# An install tree of its own with fresh keys, laid out as scripts/demo.sh does.
tree=$work/tree
copy_stage "$stage" "$tree"
"$tree/bin/qk_relay_keys" >"$work/keys.out" 2>&1 || fail "qk_relay_keys failed (see $work/keys.out)"

# The receiving side apart from the sending side (other inode groups, see docs/performance.md).
incoming=$work/receiver/in
outgoing=$work/sender/out
originals=$work/sender/originals
mkdir -p "$outgoing" "$originals"

port=$(pick_port) || fail "no free TCP port found"
ssl_port=$(pick_port "$port") || fail "no free TCP port found"
"$tree/bin/qk_relay_srv" --start_server --in_dir="$incoming" --port="$port" \
    --ssl_port="$ssl_port" >"$work/server.out" 2>&1 &
srv_pid=$!
deadline=$((SECONDS + 15))
until listening "$port" && listening "$ssl_port"; do
    kill -0 "$srv_pid" 2>/dev/null || fail "qk_relay_srv ended at once: $(tail -n 3 "$work/server.out")"
    [ "$SECONDS" -lt "$deadline" ] || fail "qk_relay_srv did not open its ports within 15 s"
    sleep 0.1
done

# Starts a proxy with the given one-way delay in front of a port; its port lands in proxy_port.
start_proxy() {
    local delay=$1 target=$2 line
    exec 3< <(exec python3 "$top/bench/delay_proxy.py" --listen 0 --target "127.0.0.1:$target" \
        --delay-ms "$delay" --window-bytes "$window")
    proxy_pid=$!
    read -r -t 10 line <&3 || fail "the delay proxy did not start"
    proxy_port=${line#*127.0.0.1:}
    proxy_port=${proxy_port%% *}
}
stop_proxy() {
    kill "$proxy_pid" 2>/dev/null || true
    wait "$proxy_pid" 2>/dev/null || true
    exec 3<&-
    proxy_pid=
}

printf '%-8s %-6s %7s %9s %9s\n' "rtt ms" link files seconds files/s
IFS=, read -r -a rtt_list <<<"$rtts"
for rtt in "${rtt_list[@]}"; do
    delay=$(awk -v r="$rtt" 'BEGIN { print r / 2 }')
    for link in plain tls; do
        name=rtt${rtt}-$link
        dir=$originals/$name
        mkdir -p "$dir"
        for i in $(seq -f '%06g' "$files"); do
            head -c "$size" /dev/urandom >"$dir/f$i"
        done
        cp -a "$dir" "$outgoing/$name"
        sync
        if [ "$link" = tls ]; then
            start_proxy "$delay" "$ssl_port"
            opts=(--use_ssl)
        else
            start_proxy "$delay" "$port"
            opts=()
        fi
        t0=$(date +%s.%N)
        rc=0
        "$tree/bin/qk_relay_cln" --send_files --out_dir="$outgoing" --sub_dirs \
            --server_address=127.0.0.1 --server_port="$proxy_port" "${opts[@]}" \
            >"$work/client-$name.out" 2>&1 || rc=$?
        t1=$(date +%s.%N)
        stop_proxy
        [ "$rc" -eq 0 ] || fail "$name: qk_relay_cln exited $rc (see $work/client-$name.out)"
        [ -z "$(find "$outgoing" -type f)" ] || fail "$name: files were left in $outgoing"
        diff -r "$dir" "$incoming/$name" >/dev/null || fail "$name: $incoming/$name differs from what was sent"
        awk -v r="$rtt" -v l="$link" -v n="$files" -v a="$t0" -v b="$t1" \
            'BEGIN { printf "%-8s %-6s %7d %9.2f %9.1f\n", r, l, n, b - a, n / (b - a) }'
    done
done
