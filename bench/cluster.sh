#!/usr/bin/env bash
# Aggregate files/s of many console senders at once (qk_relay_cln --use_ssl, each a user id
# of its own) through HAProxy into one, two and three qk_relay_srvsvc receivers on one shared
# incoming tree, all on this machine (scripts/cluster-lib.sh: the set-up of
# scripts/cluster-demo.sh). Three receivers run throughout; HAProxy holds those beyond the
# count measured in maintenance. Each run sends fresh files, is timed from the senders'
# start to the last one's end, and is checked (every file arrived byte-identical, the
# outgoing trees empty) before it counts; each run also shows how busy the cores were, and
# the CPU seconds of the receivers, of HAProxy and of the whole machine. Prints the median of the rounds per count, as a
# Markdown table. Needs root; see docs/cluster.md for what limits it here.
#
#   bench/cluster.sh [--senders N] [--files N] [--size BYTES] [--rounds N] [--no-build]
#
# Defaults: 20 senders, 200 files of 1 KiB each, 3 rounds (about three minutes on 2 cores).
# Run it as `flock /tmp/qk_services.lock bench/cluster.sh` where others test the services too.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${QK_BUILD_DIR:-$top/build}

usage() {
    awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"
    exit "${1:-0}"
}

senders=20
files=200
size=1024
rounds=3
build=1
while [ $# -gt 0 ]; do
    case $1 in
    --senders) senders=$2; shift ;;
    --files) files=$2; shift ;;
    --size) size=$2; shift ;;
    --rounds) rounds=$2; shift ;;
    --no-build) build= ;;
    -h | --help) usage 0 ;;
    *) echo "cluster.sh: unknown option: $1" >&2; usage 2 >&2 ;;
    esac
    shift
done
for value in "$senders" "$files" "$size" "$rounds"; do
    case $value in '' | *[!0-9]* | 0) echo "cluster.sh: options take positive numbers" >&2; exit 2 ;; esac
done

"$top/scripts/setup.sh" haproxy socat curl
[ -z "$build" ] || "$top/scripts/build.sh"
# shellcheck disable=SC2034 # read by scripts/cluster-lib.sh
cl_stage=$build_dir/stage
# shellcheck source=scripts/cluster-lib.sh
source "$top/scripts/cluster-lib.sh"
# On the disk that holds the repository (not /tmp, which may be in memory).
cl_work=$(mktemp -d "$(dirname "$top")/qk_relay_cluster_bench.XXXXXX")
on_exit() {
    local rc=$?
    cl_stop_all
    if [ "$rc" -eq 0 ]; then rm -rf "$cl_work"; else echo "cluster.sh: kept $cl_work" >&2; fi
}
trap on_exit EXIT

cl_prepare 3
for i in 1 2 3; do cl_start_receiver "$i"; done
cl_start_haproxy
cl_prepare_senders "$senders"

# Only receivers 1…n take connections.
use_receivers() {
    local n=$1 i want
    for i in 1 2 3; do
        if [ "$i" -le "$n" ]; then
            cl_haproxy "set server receivers/r$i state ready" >/dev/null
            want=UP
        else
            cl_haproxy "set server receivers/r$i state maint" >/dev/null
            want=MAINT
        fi
        cl_wait_state "$i" "$want" 15 || cl_fail "HAProxy does not hold r$i $want: $(cl_state "$i")"
    done
}

# "busy idle iowait" jiffies of all cores so far.
cpu_jiffies() { awk '$1 == "cpu" { print $2 + $3 + $4 + $7 + $8, $5, $6 }' /proc/stat; }

# CPU seconds used so far by the processes given (their utime and stime).
cpu_of() {
    local pid ticks=0
    for pid in "$@"; do
        ticks=$((ticks + $(awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$pid/stat")))
    done
    awk -v t="$ticks" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.2f", t / hz }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

total=$((senders * files))
declare -A rate
for round in $(seq "$rounds"); do
    for n in 1 2 3; do
        use_receivers "$n"
        for ((k = 0; k < senders; k++)); do cl_fill "$k" "n${n}r$round" "$files" "$size"; done
        sync
        read -r busy0 idle0 wait0 < <(cpu_jiffies)
        receivers0=$(cpu_of "${cl_pid[1]}" "${cl_pid[2]}" "${cl_pid[3]}")
        haproxy0=$(cpu_of "$cl_haproxy_pid")
        start=$(date +%s.%N)
        cl_send_all 1
        end=$(date +%s.%N)
        read -r busy1 idle1 wait1 < <(cpu_jiffies)
        all=$((busy1 - busy0 + idle1 - idle0 + wait1 - wait0))
        receivers=$(awk -v a="$receivers0" -v b="$(cpu_of "${cl_pid[1]}" "${cl_pid[2]}" "${cl_pid[3]}")" 'BEGIN { printf "%.1f", b - a }')
        haproxy=$(awk -v a="$haproxy0" -v b="$(cpu_of "$cl_haproxy_pid")" 'BEGIN { printf "%.1f", b - a }')
        cl_verify "" >/dev/null
        r=$(awk -v t="$total" -v a="$start" -v b="$end" 'BEGIN { printf "%.0f", t / (b - a) }')
        rate[$n]="${rate[$n]:-} $r"
        echo "round $round, $n receiver(s): $total files in $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }') s, $r files/s; CPU busy $((100 * (busy1 - busy0) / all)) %, waiting for the disk $((100 * (wait1 - wait0) / all)) %; CPU s: receivers $receivers, HAProxy $haproxy, all $(awk -v j="$((busy1 - busy0))" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.1f", j / hz }')"
    done
done

echo
echo "$senders senders × $files files of $size bytes through HAProxy (TLS), median of $rounds rounds, $(nproc) cores:"
echo
echo "| receivers | files/s | against one |"
echo "| --- | --- | --- |"
one=$(tr ' ' '\n' <<<"${rate[1]}" | grep . | median)
for n in 1 2 3; do
    m=$(tr ' ' '\n' <<<"${rate[$n]}" | grep . | median)
    echo "| $n | $m | $(awk -v a="$m" -v b="$one" 'BEGIN { printf "%.2f", a / b }') |"
done
