#!/usr/bin/env bash
# Measures how fast files travel from qk_relay_cln to qk_relay_srv on loopback, next to a raw
# socat pipe, a socat TLS pipe and an rsync daemon doing the same job:
#   - one 1 GiB file, plain TCP and TLS, against the disk's own sequential write of the same
#     file, the floor of the big rows (dd bs=1M oflag=direct conv=fsync into the receiving
#     side and the directory's fsync; the source stays, its removal is measured apart); against
#     socat, with fsync of the received file; also against socat with 64 KiB blocks like ours,
#     and against a local copy with dd. Each round also times the removal of a fresh 1 GiB
#     file alone (after a sync: unlink and the directory's fsync), the part of our client's
#     time that the floor leaves out; and the CPU seconds per GiB at each end of every case;
#   - 10,000 files of 1 KiB in 10 sub-directories, plain and TLS (against rsync, with and
#     without --fsync);
#   - the services: the same 10,000 files dropped at once into qk_relay_clnsvc's outgoing
#     directory (scan period 1000 ms, its minimum) until the last one is removed there,
#     received by qk_relay_srvsvc, against the console client with backups (the client
#     service always backs up); and the services with their metrics endpoints on, both
#     scraped every second, against off;
#   - latency: a producer renames a 4 KiB file into qk_relay_clnsvc's outgoing directory every
#     20 ms for 30 s (TLS); the time from each rename to the file's placement at
#     qk_relay_srvsvc, 50th and 99th percentile and largest, as shipped (inotify) and with
#     scans only (scan_time 1000, the earlier service) in the same run;
#   - load: 20 console clients at once (each as a user id of its own: the single-instance
#     lock is one per program and user), 500 files each, into the one qk_relay_srv; every
#     file must arrive exactly once and leave its client; the server's peak RSS is reported;
#   - wan: over a delayed link, each case through bench/delay_proxy.py holding every chunk
#     half the round trip in each direction (0, 10 and 50 ms round trips; 0 ms still goes
#     through the proxy): 1,000 files of 4 KiB in 10 sub-directories and one 64 MiB file,
#     plain TCP and TLS, against an rsync daemon (--whole-file --remove-source-files --fsync)
#     behind a proxy of its own; and on loopback without a proxy, 10,000 files of 1 KiB
#     (plain) against the disk's serial rate of durable small files (bench/disk_serial_rate.py
#     on the same disk: create, write, fsync file, fsync directory, one after another);
#   - limit: how well the client's --bwlimit holds: one 300 MiB file at --bwlimit=10M, plain,
#     through bench/delay_proxy.py at a 50 ms round trip (about 30 s); the rate from the
#     client's start to its exit and, from the bytes reaching the receiving file sampled
#     every second, the rate of the steady part, each against the limit (target: within
#     5 %). One round only, whatever --rounds says.
#   - resume: a cut transfer sent again: one 1 GiB file (--resume-mib) of random data, plain,
#     through bench/delay_proxy.py at a 50 ms round trip, which resets the first connection
#     only, once half the file's bytes have reached the receiver; the client retries on its
#     own (and is run once more if it exits with an error). The bytes the connections after
#     the cut carried up, as a share of the file (target: at most 55 %), with qk_relay_srv
#     --resume_plain and, as the comparison, with qk_relay_srv --resume_min_size=off (about 100 %).
#     One round only.
#   - keep: the client service's kept connection: qk_relay_clnsvc -> qk_relay_srvsvc over TLS
#     through bench/delay_proxy.py at a 50 ms round trip, a 4 KiB file renamed into the
#     outgoing directory every 2 s for 60 s (--keep-seconds); the pick-up latency of each
#     file (50th, 99th percentile, largest; target: p99 under 2 round trips + 50 ms = 150 ms)
#     and the TLS handshakes of the run, counted as the connections the proxy accepted from
#     the first rename to the last placement (target: one); keep_alive as shipped, and 0 as
#     the comparison. One round only.
# Every row with a target prints its ratio against it; the list of runs gives each series'
# median and its spread (fastest and slowest run, and their ratio). Several receivers behind HAProxy on
# one shared incoming tree (20 senders into one, two and three receivers) are measured apart,
# by bench/cluster.sh (docs/cluster.md).
# Our case and its peer take turns, each run on fresh data after a sync; every run is
# checked (identical tree received, outgoing side emptied) before it counts. Prints a table
# of medians and ratios and appends it as Markdown to bench/results/<date>.md.
#
#   bench/run.sh [--rounds N] [--big-mib M] [--files N]
#                [--only big,small,services,latency,load,wan,limit,resume,keep]
#                [--load-clients N] [--load-files N] [--latency-seconds S]
#                [--wan-rtts 0,10,50] [--wan-files N] [--wan-big-mib M] [--wan-window-bytes N]
#                [--limit-rate 10M] [--limit-mib 300] [--limit-rtt 50]
#                [--resume-mib 1024] [--keep-seconds 60]
#                [--no-extra] [--no-build] [--work-root DIR] [--keep]
#
# A full run (3 rounds) takes about 18 minutes on 2 cores without the wan part; the wan part
# adds about 4 minutes a round while the sender waits for each file (about 10 files/s at
# 50 ms), well under one once it keeps files in flight. `--only wan --rounds 1` is the quick
# look at it. The limit part adds about 35 s (`--only limit --rounds 1`), `--only resume`
# about a minute, `--only keep` about 2.5 minutes. The services and the server hold single-instance locks shared with other users
# of the machine: run it as `flock /tmp/qk_services.lock bench/run.sh ...` where others test
# the services too. It needs root for apt-get when a tool is missing, and starts its own
# qk_relay_srv: only one may run on the machine.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${QK_BUILD_DIR:-$top/build}

usage() {
    awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"
    exit "${1:-0}"
}

passed=("$@")
rounds=3
big_mib=1024
files=10000
only=
build=1
keep=
extra=1
pass=()
# The data goes to the disk that holds the repository (not /tmp, which may be in memory).
work_root=$(dirname "$top")
while [ $# -gt 0 ]; do
    case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --rounds=*) rounds=${1#*=}; shift ;;
    --big-mib) big_mib=$2; shift 2 ;;
    --big-mib=*) big_mib=${1#*=}; shift ;;
    --files) files=$2; shift 2 ;;
    --files=*) files=${1#*=}; shift ;;
    --only) only=$2; shift 2 ;;
    --only=*) only=${1#*=}; shift ;;
    --work-root) work_root=$2; shift 2 ;;
    --work-root=*) work_root=${1#*=}; shift ;;
    --load-clients | --load-files | --latency-seconds | --wan-rtts | --wan-files | --wan-big-mib | \
        --wan-window-bytes | --limit-rate | --limit-mib | --limit-rtt | --resume-mib | \
        --keep-seconds) pass+=("$1" "$2"); shift 2 ;;
    --load-clients=* | --load-files=* | --latency-seconds=* | --wan-rtts=* | --wan-files=* | \
        --wan-big-mib=* | --wan-window-bytes=* | --limit-rate=* | --limit-mib=* | --limit-rtt=* | \
        --resume-mib=* | --keep-seconds=*)
        pass+=("$1"); shift ;;
    --no-build) build=; shift ;;
    --no-extra) extra=; shift ;;
    --keep) keep=1; shift ;;
    -h | --help) usage 0 ;;
    *) echo "run.sh: unknown option: $1" >&2; usage 2 >&2 ;;
    esac
done
case $rounds in '' | *[!0-9]* | 0) echo "run.sh: --rounds takes a positive number" >&2; exit 2 ;; esac
if [ "$rounds" -lt 3 ]; then
    echo "run.sh: note: fewer than 3 rounds; the medians are not comparable with full runs" >&2
fi

# The comparison tools, GNU time for peak memory and CPU, chattr, openssl.
"$top/scripts/setup.sh" socat rsync time e2fsprogs openssl python3

# Which sources the programs were built from: the commit, and whether the work tree differed
# from it, as found when the build starts.
source_state() {
    local rev
    rev=$(git -C "$top" rev-parse --short HEAD 2>/dev/null) || rev=unknown
    if [ -n "$(git -C "$top" status --porcelain --untracked-files=no 2>/dev/null)" ]; then
        rev="$rev with local changes"
    fi
    echo "$rev"
}

sources=$(source_state)
if [ -n "$build" ]; then
    # The sources may be in the middle of an edit: a failed build is tried again a little
    # later before giving up.
    build_log=$(mktemp "${TMPDIR:-/tmp}/qk_relay_bench_build.XXXXXX")
    echo "Building into $build_dir..."
    for attempt in 1 2 3 4 5; do
        if "$top/scripts/build.sh" >"$build_log" 2>&1; then
            rm -f "$build_log"
            break
        fi
        if [ "$attempt" -eq 5 ]; then
            tail -n 30 "$build_log" >&2
            echo "run.sh: the build failed (log: $build_log)" >&2
            exit 1
        fi
        echo "run.sh: the build failed; trying again in 60 s" >&2
        sleep 60
    done
fi
if [ -n "$build" ] && [ "$(source_state)" != "$sources" ]; then
    sources="$sources, changed to $(source_state) during the build"
fi
[ -n "$build" ] || sources="$sources (not rebuilt: --no-build)"
for program in qk_relay_keys qk_relay_srv qk_relay_cln qk_relay_srvsvc qk_relay_clnsvc; do
    [ -x "$build_dir/stage/bin/$program" ] || {
        echo "run.sh: $build_dir/stage/bin/$program is missing; build first" >&2
        exit 1
    }
done

args=(--stage "$build_dir/stage" --rounds "$rounds" --big-mib "$big_mib" --files "$files"
    --work-root "$work_root" --sources "$sources")
[ -n "$only" ] && args+=(--only "$only")
[ -n "$keep" ] && args+=(--keep)
[ -z "$extra" ] && args+=(--no-extra)
args+=("${pass[@]}")
exec python3 "$top/bench/relay_bench.py" "${args[@]}" --passed "${passed[@]}"
