# shellcheck shell=bash disable=SC2154
# Several receivers behind HAProxy on one shared incoming tree, all on this machine (sourced,
# not run; by scripts/cluster-demo.sh, its --check mode and bench/cluster.sh). Needs root:
# each qk_relay_srvsvc runs as on a machine of its own (unshare: its own /run/qk_relay, so
# its own single-instance lock, and its own host name, so temporaries of its own), and each
# sender as a user id of its own (setpriv: the console client's single-instance lock is one
# per user).
#
# The caller sets cl_work (a new, empty directory) and cl_stage (the staged install tree),
# calls cl_prepare, then cl_start_receiver for each receiver and cl_start_haproxy; on the
# way out cl_stop_all. Failures end the script through cl_fail.
#
# Layout below cl_work:
#   tree              the programs, with the keys of one CA that every program shares
#   r1 … rN           each receiver's own copy of it (configuration, log); rN.out its output
#   shared/in, back   the incoming and backup trees that every receiver shares
#   s00 … sNN         each sender's tree (the client hard-linked, its own log)
#   out/sNN           each sender's outgoing tree; sent/sNN the originals to compare with
#   haproxy.cfg, haproxy.sock, haproxy.out

# shellcheck source=scripts/ports.sh
source "$(dirname "${BASH_SOURCE[0]}")/ports.sh"

cl_fail() {
    echo "cluster: FAILED: $*" >&2
    exit 1
}

cl_receivers=0
cl_senders=0
cl_front_port=
cl_haproxy_pid=
cl_check_ms=${cl_check_ms:-1000}  # HAProxy's health check period
cl_pass_ms=${cl_pass_ms:-1000}    # the receivers' pass period (QK_RELAY_PASS_MS)
cl_uid_base=${cl_uid_base:-62000}
declare -a cl_port=() cl_ssl_port=() cl_metrics_port=() cl_pid=()

# The programs with one CA's keys, the shared trees and the ports of n receivers and HAProxy.
cl_prepare() {
    local n=$1 i taken=
    [ "$(id -u)" -eq 0 ] || cl_fail "needs root (namespaces for the receivers, user ids for the senders)"
    unshare --mount --uts -- /bin/true 2>/dev/null ||
        cl_fail "unshare cannot give a program namespaces of its own here"
    mkdir -p "$cl_work/shared/in" "$cl_work/shared/back" "$cl_work/out" "$cl_work/sent" /run/qk_relay
    chmod 0755 "$cl_work" "$cl_work/out"
    cp -a "$cl_stage" "$cl_work/tree"
    # Keys and logs that runs from the build's own tree may have left there.
    rm -rf "$cl_work/tree/share/orvane/ca"
    find "$cl_work/tree/share/orvane" -path '*/keys/*' -type f -delete
    find "$cl_work/tree/var/log" -type f -delete
    "$cl_work/tree/bin/qk_relay_keys" >"$cl_work/keys.out" 2>&1 ||
        cl_fail "qk_relay_keys failed: $(tail -n 3 "$cl_work/keys.out")"
    cl_receivers=$n
    for ((i = 1; i <= n; i++)); do
        cp -a "$cl_work/tree" "$cl_work/r$i"
        cl_port[i]=$(pick_port "$taken") || cl_fail "no free TCP port"
        cl_ssl_port[i]=$(pick_port "$taken" "${cl_port[i]}") || cl_fail "no free TCP port"
        cl_metrics_port[i]=$(pick_port "$taken" "${cl_port[i]}" "${cl_ssl_port[i]}") || cl_fail "no free TCP port"
        taken="$taken ${cl_port[i]} ${cl_ssl_port[i]} ${cl_metrics_port[i]}"
        cat >"$cl_work/r$i/share/orvane/common/qk_relay_srvsvc.xml" <<XML
<config><control_code>1</control_code>
<in_dir>$cl_work/shared/in</in_dir><back_dir>$cl_work/shared/back</back_dir>
<port>${cl_port[i]}</port><ssl_port>${cl_ssl_port[i]}</ssl_port><control_port>0</control_port>
<metrics_port>${cl_metrics_port[i]}</metrics_port><log_level>INFO</log_level>
<source_connections>64</source_connections></config>
XML
    done
    cl_front_port=$(pick_port "$taken") || cl_fail "no free TCP port"
}

# Starts receiver i (1…n) as host qk-relay-r<i> and waits until its /health says ok. The
# shared tree is bind-mounted onto itself inside its namespace, so that a trial can make it
# read-only for this receiver alone (cl_store_readonly).
cl_start_receiver() {
    local i=$1
    # shellcheck disable=SC2016
    QK_RELAY_PASS_MS=$cl_pass_ms unshare --mount --uts -- /bin/sh -c '
        mount -t tmpfs -o mode=0755 qk_relay /run/qk_relay && mount --bind "$1" "$1" &&
            hostname "$2" && exec "$3"' sh "$cl_work/shared" "qk-relay-r$i" \
        "$cl_work/r$i/bin/qk_relay_srvsvc" >>"$cl_work/r$i.out" 2>&1 &
    cl_pid[i]=$!
    cl_wait_health "$i" 200 20 || cl_fail "receiver r$i did not become healthy: $(tail -n 5 "$cl_work/r$i.out")"
}

# Stops receiver i: SIGTERM by default, or the signal given (KILL: as a crash).
cl_stop_receiver() {
    local i=$1 signal=${2:-TERM}
    [ -n "${cl_pid[i]:-}" ] || return 0
    kill -"$signal" "${cl_pid[i]}" 2>/dev/null || true
    wait "${cl_pid[i]}" 2>/dev/null || true
    cl_pid[i]=
}

# A GET of path on receiver i's metrics port: "CODE BODY" (the body's lines joined by
# spaces); "000" when nothing answers.
cl_http() {
    local body code
    body=$(curl -s -m 5 -w '\n%{http_code}' "http://127.0.0.1:${cl_metrics_port[$1]}$2") || true
    code=${body##*$'\n'}
    body=${body%$'\n'*}
    body=${body//$'\n'/ }
    echo "$code ${body% }"
}

cl_health() { cl_http "$1" /health; }

# One counter of receiver i's /metrics, e.g. qk_relay_received_files_total (0 when absent).
cl_metric() {
    curl -s -m 5 "http://127.0.0.1:${cl_metrics_port[$1]}/metrics" |
        awk -v name="$2" '$1 == name { v = $2 } END { print v + 0 }'
}

# Waits up to seconds until the command given prints want.
cl_wait_for() {
    local want=$1 deadline=$((SECONDS + $2))
    shift 2
    until [ "$("$@")" = "$want" ]; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}

cl_health_code() { cl_health "$1" | cut -d' ' -f1; }

# Waits up to seconds until receiver i's /health answers code.
cl_wait_health() { cl_wait_for "$2" "$3" cl_health_code "$1"; }

# HAProxy in TCP mode on 127.0.0.1:cl_front_port in front of every receiver's TLS port: the
# TLS passes through whole, so each receiver still checks its peer's certificate. Health
# is each receiver's /health on its metrics port (127.0.0.1 only, so HAProxy runs here).
cl_start_haproxy() {
    local i servers=
    for ((i = 1; i <= cl_receivers; i++)); do
        servers+="    server r$i 127.0.0.1:${cl_ssl_port[i]} check port ${cl_metrics_port[i]}"$'\n'
    done
    cat >"$cl_work/haproxy.cfg" <<CFG
global
    maxconn 4096
    stats socket $cl_work/haproxy.sock mode 600 level admin

defaults
    mode tcp
    timeout connect 5s
    # Inactivity limits, not transfer limits: longer than any silence the receivers and
    # senders allow themselves (30 s for each step, the final flush of a big file included).
    timeout client 5m
    timeout server 5m
    timeout tunnel 5m
    timeout check 3s
    # A receiver that refuses the connection (killed, restarting) is tried again on another.
    retries 2
    option redispatch

frontend relay_tls
    bind 127.0.0.1:$cl_front_port
    default_backend receivers

backend receivers
    balance leastconn
    option httpchk GET /health
    http-check expect status 200
    default-server inter ${cl_check_ms} fall 2 rise 2
$servers
CFG
    haproxy -c -q -f "$cl_work/haproxy.cfg" || cl_fail "haproxy refused $cl_work/haproxy.cfg"
    haproxy -db -f "$cl_work/haproxy.cfg" >"$cl_work/haproxy.out" 2>&1 &
    cl_haproxy_pid=$!
    local deadline=$((SECONDS + 10))
    until listening "$cl_front_port" && [ -S "$cl_work/haproxy.sock" ]; do
        [ "$SECONDS" -lt "$deadline" ] || cl_fail "HAProxy did not start: $(tail -n 5 "$cl_work/haproxy.out")"
        sleep 0.1
    done
}

cl_haproxy() { echo "$*" | socat - "UNIX-CONNECT:$cl_work/haproxy.sock"; }

# HAProxy's view of server r<i>: UP, DOWN, … (the status column of "show stat").
cl_state() {
    cl_haproxy "show stat" | awk -F, -v sv="r$1" '$1 == "receivers" && $2 == sv { print $18 }'
}

# Waits up to seconds until HAProxy holds server r<i> in the state given.
cl_wait_state() { cl_wait_for "$2" "$3" cl_state "$1"; }

# Makes the shared tree read-only (ro) or writable again (rw) for receiver i alone, as a
# receiver that loses its store's write access.
cl_store_mode() {
    nsenter --target "${cl_pid[$1]}" --mount -- mount -o "remount,bind,$2" "$cl_work/shared"
}

# n senders, each a user id of its own with a tree of its own.
cl_prepare_senders() {
    local n=$1 k name uid
    for ((k = 0; k < n; k++)); do
        name=$(printf 's%02d' "$k")
        uid=$((cl_uid_base + k))
        mkdir -p "$cl_work/$name/bin" "$cl_work/$name/var/log/orvane/qk_relay_cln" "$cl_work/out/$name"
        ln "$cl_work/tree/bin/qk_relay_cln" "$cl_work/$name/bin/qk_relay_cln"
        cp -a "$cl_work/tree/share" "$cl_work/$name/share"
        chown -R "$uid:$uid" "$cl_work/$name" "$cl_work/out/$name"
    done
    cl_senders=$n
}

# Gives sender k count new files of size bytes, each of other random bytes, below
# sNN/sub of its outgoing tree (so below shared/in/sNN/sub at the receivers: no two senders
# send one name), and keeps the originals in sent/sNN/sub.
cl_fill() {
    local k=$1 sub=$2 count=$3 size=$4 name
    name=$(printf 's%02d' "$k")
    mkdir -p "$cl_work/sent/$name/$sub" "$cl_work/out/$name/$name/$sub"
    head -c $((count * size)) /dev/urandom |
        (cd "$cl_work/sent/$name/$sub" && split -b "$size" -a 4 -d - f)
    cp -a "$cl_work/sent/$name/$sub/." "$cl_work/out/$name/$name/$sub/"
    chown -R "$((cl_uid_base + k)):$((cl_uid_base + k))" "$cl_work/out/$name"
}

# Starts sender k's one sending run of its outgoing tree over TLS to port (HAProxy's by
# default) in the background; its pid lands in cl_sender_pid[k], its output in sNN.out.
declare -a cl_sender_pid=()
cl_send_start() {
    local k=$1 port=${2:-$cl_front_port} name uid
    name=$(printf 's%02d' "$k")
    uid=$((cl_uid_base + k))
    QK_RELAY_DIR_GRACE_MS=0 setpriv --reuid="$uid" --regid="$uid" --clear-groups \
        "$cl_work/$name/bin/qk_relay_cln" --send_files --out_dir="$cl_work/out/$name" --sub_dirs \
        --server_address=127.0.0.1 --server_port="$port" --use_ssl >>"$cl_work/$name.out" 2>&1 &
    cl_sender_pid[k]=$!
}

# Waits for sender k; its exit code.
cl_send_wait() {
    local rc=0
    wait "${cl_sender_pid[$1]}" || rc=$?
    return "$rc"
}

# Every sender at once through HAProxy, until their outgoing trees are empty (at most
# rounds runs). Prints the runs that a sender needed beyond the first, if any.
cl_send_all() {
    local rounds=${1:-3} k run left
    for ((run = 1; run <= rounds; run++)); do
        for ((k = 0; k < cl_senders; k++)); do cl_send_start "$k"; done
        for ((k = 0; k < cl_senders; k++)); do cl_send_wait "$k" || true; done
        left=$(find "$cl_work/out" -type f | wc -l)
        [ "$left" -eq 0 ] && return 0
        echo "  $left files still to send after run $run"
    done
    cl_fail "$left files were not delivered in $rounds runs (senders' output: $cl_work/s*.out)"
}

# Every original of every sender arrived under its name, byte-identical, and left its
# outgoing tree, and no other file (temporaries aside) is in the sender's part of the
# incoming tree; with "once", none was replaced either (no backup of it). Prints the count.
cl_verify() {
    local once=${1:-} name
    for name in "$cl_work"/sent/*; do
        name=${name##*/}
        diff -rq --exclude='.qk_*' "$cl_work/sent/$name" "$cl_work/shared/in/$name" >&2 ||
            cl_fail "shared/in/$name differs from what $name sent (above)"
        [ -z "$(find "$cl_work/out/$name" -type f)" ] || cl_fail "files left in out/$name"
        if [ -n "$once" ] && [ -d "$cl_work/shared/back/$name" ] &&
            [ -n "$(find "$cl_work/shared/back/$name" -type f)" ]; then
            cl_fail "a file of $name arrived twice (a backup of it in shared/back/$name)"
        fi
    done
    find "$cl_work/sent" -type f | wc -l
}

# Stops HAProxy and every receiver and sender still running.
cl_stop_all() {
    local i k
    for ((k = 0; k < ${#cl_sender_pid[@]}; k++)); do
        if [ -n "${cl_sender_pid[k]:-}" ]; then kill -TERM "${cl_sender_pid[k]}" 2>/dev/null || true; fi
    done
    if [ -n "$cl_haproxy_pid" ]; then
        kill -TERM "$cl_haproxy_pid" 2>/dev/null || true
        wait "$cl_haproxy_pid" 2>/dev/null || true
        cl_haproxy_pid=
    fi
    for ((i = 1; i <= cl_receivers; i++)); do cl_stop_receiver "$i"; done
}
