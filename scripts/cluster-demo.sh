#!/usr/bin/env bash
# Three receivers behind HAProxy on one shared incoming tree, all on this machine: installs
# HAProxy (and socat, curl) when missing, builds, starts three qk_relay_srvsvc as on machines
# of their own on one incoming tree (a plain directory here), HAProxy in TCP mode in front
# of their TLS ports (leastconn, health checks on each one's /health), sends files with
# qk_relay_cln --use_ssl through it, shows what arrived and where, and stops everything.
# Needs root. See docs/cluster.md.
#
#   scripts/cluster-demo.sh [--no-build] [--keep] [--check]
#
#   --no-build  use the programs of the last build (build/stage, or $QK_BUILD_DIR/stage)
#   --keep      leave the receivers and HAProxy running; prints how to stop them
#   --check     the trial the test suite runs instead of the demo: 20 senders at once, one
#               name from two senders through two receivers, a receiver killed mid-run and
#               restarted, a receiver whose store turns read-only; installs and builds
#               nothing, and exits 77 (skipped) when HAProxy, socat or curl is missing
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${QK_BUILD_DIR:-$top/build}

usage() {
    awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"
    exit "${1:-0}"
}

build=1
keep=
check=
while [ $# -gt 0 ]; do
    case $1 in
    --no-build) build= ;;
    --keep) keep=1 ;;
    --check) check=1 build= ;;
    -h | --help) usage 0 ;;
    *) echo "cluster-demo.sh: unknown option: $1" >&2; usage 2 >&2 ;;
    esac
    shift
done

section() { printf '\n=== %s ===\n' "$*"; }

skip() {
    echo "SKIPPED: $*"
    exit 77
}
if [ -z "$check" ] && [ "$(id -u)" -ne 0 ]; then
    echo "cluster-demo.sh: run it as root: each receiver gets namespaces of its own, each sender a user id of its own" >&2
    exit 1
fi
if [ -n "$check" ]; then
    [ "$(id -u)" -eq 0 ] || skip "needs root (namespaces for the receivers, user ids for the senders)"
    unshare --mount --uts -- /bin/true 2>/dev/null || skip "unshare cannot give a program namespaces of its own here"
    for tool in haproxy socat curl; do
        command -v "$tool" >/dev/null ||
            skip "$tool is not installed (scripts/test.sh installs it: scripts/setup.sh haproxy socat curl)"
    done
else
    section "Installing packages and building (into $build_dir)"
    "$top/scripts/setup.sh" haproxy socat curl
    [ -z "$build" ] || "$top/scripts/build.sh"
fi

cl_stage=$build_dir/stage
for program in qk_relay_keys qk_relay_srvsvc qk_relay_cln; do
    [ -x "$cl_stage/bin/$program" ] || { echo "cluster-demo.sh: $cl_stage/bin/$program is missing; build first" >&2; exit 1; }
done
[ -z "$check" ] || cl_check_ms=500 cl_pass_ms=500
# shellcheck source=scripts/cluster-lib.sh
source "$top/scripts/cluster-lib.sh"
cl_work=$(mktemp -d "${TMPDIR:-/tmp}/qk_relay_cluster.XXXXXX")

on_exit() {
    local rc=$?
    if [ -n "$keep" ] && [ "$rc" -eq 0 ]; then
        return
    fi
    cl_stop_all
    if [ "$rc" -ne 0 ]; then
        echo "cluster: everything of this run is kept in $cl_work (outputs: r*.out, s*.out, haproxy.out; logs: r*/var/log)" >&2
    elif [ -n "$check" ]; then
        rm -rf "$cl_work"
    fi
}
trap on_exit EXIT

start_cluster() {
    cl_prepare 3
    local i
    for i in 1 2 3; do cl_start_receiver "$i"; done
    cl_start_haproxy
    for i in 1 2 3; do
        cl_wait_state "$i" UP 15 || cl_fail "HAProxy does not hold r$i UP: $(cl_state "$i")"
    done
}

# How many files each receiver has received since its start.
received_by() {
    local i sep=
    for i in $(seq "$cl_receivers"); do
        printf '%sr%s=%s' "$sep" "$i" "$(cl_metric "$i" qk_relay_received_files_total)"
        sep=' '
    done
}

md5_of() { md5sum <"$1" | cut -d' ' -f1; }

# --- the trial -----------------------------------------------------------------------------

check_twenty_senders() {
    local k count
    for ((k = 0; k < cl_senders; k++)); do cl_fill "$k" a 30 1024; done
    cl_send_all 1
    count=$(cl_verify once)
    echo "ok: $count files from $cl_senders senders at once through HAProxy, each once and byte-identical ($(received_by))"
}

# Senders s00 and s01 send one relative path at once, straight to r1 and r2, round after
# round; a refused one is sent again through HAProxy. Every content ends whole either under
# the name or among its backups, once.
check_one_name_two_receivers() {
    local k rc rel=same/x.bin refused=0
    local -a expected=()
    for _ in 1 2 3 4; do
        for k in 0 1; do
            mkdir -p "$cl_work/out/s0$k/same"
            head -c $((2 << 20)) /dev/urandom >"$cl_work/out/s0$k/$rel"
            chown -R "$((cl_uid_base + k)):$((cl_uid_base + k))" "$cl_work/out/s0$k/same"
            expected+=("$(md5_of "$cl_work/out/s0$k/$rel")")
        done
        cl_send_start 0 "${cl_ssl_port[1]}"
        cl_send_start 1 "${cl_ssl_port[2]}"
        for k in 0 1; do
            rc=0
            cl_send_wait "$k" || rc=$?
            [ "$rc" -eq 0 ] && continue
            [ "$rc" -eq 65 ] || cl_fail "sender s0$k ended with $rc (see $cl_work/s0$k.out)"
            refused=$((refused + 1))
            for _ in 1 2 3 4 5; do
                [ -f "$cl_work/out/s0$k/$rel" ] || break
                cl_send_start "$k"
                cl_send_wait "$k" || true
            done
            [ ! -f "$cl_work/out/s0$k/$rel" ] || cl_fail "s0$k's $rel was not delivered at a retry"
        done
    done
    local found
    found=$(for f in "$cl_work/shared/in/$rel" "$cl_work/shared/back/$rel"*; do md5_of "$f"; done | sort)
    [ "$found" = "$(printf '%s\n' "${expected[@]}" | sort)" ] ||
        cl_fail "the copies of $rel under its name and among its backups are not the ${#expected[@]} contents sent, once each"
    echo "ok: one name from two senders through r1 and r2 at once, 4 rounds: ${#expected[@]} contents whole, once each ($refused refused and delivered at a retry)"
}

# r2 is killed while 20 senders send through HAProxy: they go on through r1 and r3, nothing
# is lost, and the temporary of a writer on another machine stays when r2 comes back.
check_kill_and_rejoin() {
    local k count foreign=$cl_work/shared/in/s00/c/.qk_relay.0123456789ab-01234567.999999.1.part
    for ((k = 0; k < cl_senders; k++)); do cl_fill "$k" b 40 16384; done
    local before deadline=$((SECONDS + 10))
    before=$(cl_metric 2 qk_relay_received_files_total)
    for ((k = 0; k < cl_senders; k++)); do cl_send_start "$k"; done
    until [ "$(cl_metric 2 qk_relay_received_files_total)" -ge $((before + 10)) ]; do
        [ "$SECONDS" -lt "$deadline" ] || cl_fail "r2 received no files within 10 s"
        sleep 0.05
    done
    cl_stop_receiver 2 KILL
    echo "   r2 killed (kill -9) in mid-run, $(find "$cl_work/out" -type f | wc -l) of $((cl_senders * 40)) files still to send"
    for ((k = 0; k < cl_senders; k++)); do cl_send_wait "$k" || true; done
    cl_wait_state 2 DOWN 10 || cl_fail "HAProxy does not hold r2 DOWN: $(cl_state 2)"
    cl_send_all 3
    count=$(cl_verify)
    echo "ok: r2 killed in mid-run; HAProxy holds it DOWN; all $count files so far delivered, byte-identical ($(received_by | sed 's/r2=[0-9]*/r2=down/'))"

    mkdir -p "$(dirname "$foreign")"
    echo "a file in flight on another machine" >"$foreign"
    cl_start_receiver 2
    cl_wait_state 2 UP 15 || cl_fail "HAProxy does not hold the restarted r2 UP: $(cl_state 2)"
    for ((k = 0; k < cl_senders; k++)); do cl_fill "$k" c 10 1024; done
    cl_send_all 1
    [ "$(cl_metric 2 qk_relay_received_files_total)" -gt 0 ] || cl_fail "the restarted r2 took no connection"
    count=$(cl_verify)
    [ -f "$foreign" ] || cl_fail "another machine's temporary was removed"
    local debris
    debris=$(find "$cl_work/shared" -name '.qk_*' ! -name .qk_relay.lock ! -path "$foreign")
    [ -z "$debris" ] || cl_fail "temporaries left in the shared tree: $debris"
    echo "ok: r2 restarted; HAProxy holds it UP and it takes new connections ($(received_by)); $count files byte-identical; another machine's temporary untouched, no debris"
}

# r3's view of the shared tree turns read-only: its /health says 503 with the reason and
# HAProxy takes it out; writable again, it comes back.
check_store_lost() {
    local health
    cl_store_mode 3 ro
    cl_wait_health 3 503 10 || cl_fail "r3's /health is not 503 with its store read-only: $(cl_health 3)"
    health=$(cl_health 3)
    [[ $health == *"incoming tree not writable"* ]] || cl_fail "r3's /health does not say why: $health"
    cl_wait_state 3 DOWN 10 || cl_fail "HAProxy does not hold r3 DOWN: $(cl_state 3)"
    cl_store_mode 3 rw
    cl_wait_health 3 200 10 || cl_fail "r3's /health is not 200 with its store writable again: $(cl_health 3)"
    cl_wait_state 3 UP 10 || cl_fail "HAProxy does not hold r3 UP again: $(cl_state 3)"
    echo "ok: r3's store read-only: /health '$health', HAProxy DOWN; writable again: UP"
}

run_check() {
    local started=$SECONDS
    local step
    start_cluster
    cl_prepare_senders 20
    for step in check_twenty_senders check_one_name_two_receivers check_kill_and_rejoin check_store_lost; do
        local t=$SECONDS
        "$step"
        echo "   ($((SECONDS - t)) s)"
    done
    echo "cluster check passed in $((SECONDS - started)) s"
}

# --- the demo ------------------------------------------------------------------------------

show_tree() { (cd "$1" && find . -type f ! -name '.qk_*' -printf '  %9s bytes  %P\n' | sort -k3); }

run_demo() {
    local i k
    section "Three receivers (qk_relay_srvsvc), each as on a machine of its own, one shared tree"
    start_cluster
    for i in 1 2 3; do
        echo "  r$i  host qk-relay-r$i  pid ${cl_pid[i]}  TLS 127.0.0.1:${cl_ssl_port[i]}  plain ${cl_port[i]}  /health on ${cl_metrics_port[i]}: $(cl_health "$i")"
    done
    echo "  shared incoming tree: $cl_work/shared/in"
    echo "  shared backup tree:   $cl_work/shared/back"

    section "HAProxy: TCP mode on 127.0.0.1:$cl_front_port, leastconn, checks on /health"
    sed -n '/^backend/,$p' "$cl_work/haproxy.cfg" | sed 's/^/  | /'
    for i in 1 2 3; do echo "  r$i: $(cl_state "$i")"; done

    section "Six senders (qk_relay_cln --use_ssl) at once through HAProxy"
    cl_prepare_senders 6
    for ((k = 0; k < 6; k++)); do
        cl_fill "$k" reports 20 4096
        cl_fill "$k" images 2 $((3 << 20))
    done
    echo "  each sender: 20 files of 4 KiB and 2 of 3 MiB below its own directory"
    cl_send_all 3
    local count
    count=$(cl_verify once)
    echo "  all $count files arrived byte-identical (compared with diff); the outgoing trees are empty"
    echo "  (a sending run is one connection: HAProxy gives each sender one receiver, the one with the fewest connections)"

    section "What arrived, and where"
    echo "$cl_work/shared/in, one directory per sender; which receiver took how many (from their logs):"
    local name line log
    for ((k = 0; k < 6; k++)); do
        name=$(printf 's%02d' "$k")
        line="  $name/  $(find "$cl_work/shared/in/$name" -type f | wc -l) files, $(du -sh "$cl_work/shared/in/$name" | cut -f1):"
        for i in 1 2 3; do
            log=$cl_work/r$i/var/log/orvane/qk_relay_srvsvc/qk_relay_srvsvc.000.log
            line+="  r$i $(grep -c "Start Receiving file: .* to sub directory: $name/" "$log" || true)"
        done
        echo "$line"
    done
    echo "For instance, $name/:"
    show_tree "$cl_work/shared/in/$name" | sed -n '1,4p'
    echo "Files each receiver received (its /metrics): $(received_by)"
    echo "HAProxy's sessions per receiver (show stat):"
    cl_haproxy "show stat" | awk -F, '$1 == "receivers" { printf "  %-3s %-4s %s sessions\n", $2, $18, $8 }'

    section "Summary"
    if [ -n "$keep" ]; then
        cat >"$cl_work/stop.sh" <<EOF
#!/bin/sh
# Stops what scripts/cluster-demo.sh --keep left running, and removes its files.
kill -TERM $cl_haproxy_pid ${cl_pid[1]} ${cl_pid[2]} ${cl_pid[3]} 2>/dev/null
sleep 1
rm -rf "$cl_work"
EOF
        chmod +x "$cl_work/stop.sh"
        cat <<EOF
  Running: HAProxy on 127.0.0.1:$cl_front_port (stats: echo 'show stat' | socat - $cl_work/haproxy.sock),
  receivers r1-r3 (pids ${cl_pid[1]} ${cl_pid[2]} ${cl_pid[3]}). Send more with, e.g.:
    $cl_work/tree/bin/qk_relay_cln --send_files --out_dir=DIR --sub_dirs --server_address=127.0.0.1 --server_port=$cl_front_port --use_ssl
  Stop everything and remove its files: $cl_work/stop.sh
EOF
    else
        echo "  Cluster demo passed. Its files stay in $cl_work; remove them with: rm -rf $cl_work"
    fi
}

if [ -n "$check" ]; then
    run_check
else
    run_demo
fi
