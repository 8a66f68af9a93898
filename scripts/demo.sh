#!/usr/bin/env bash
# The first command to run: installs what is needed, builds every program, then shows a
# server and a client at work in a throw-away install tree: keys and certificates, a
# transfer over TLS, a transfer over plain TCP, where the files and the backups end up, a
# clean stop and the server's log; then both services, started by qk_relay_ctrl, deliver a
# tree dropped into the client service's outgoing directory, and are stopped again. Fails
# (non-zero exit) at the first step that goes wrong.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${QK_BUILD_DIR:-$top/build}

section() { printf '\n=== %s ===\n' "$*"; }
fail() {
    echo "demo: FAILED: $*" >&2
    exit 1
}

source "$top/scripts/ports.sh"

# Compares every file below the first directory with the same path below the second.
same_tree() {
    local rel
    while IFS= read -r rel; do
        cmp -s "$1/$rel" "$2/$rel" || fail "$2/$rel is missing or differs from what was sent"
    done < <(cd "$1" && find . -type f | sed 's|^\./||')
}

count_files() { find "$1" -type f | wc -l; }

# A sorted listing with sizes, relative to the directory.
show_tree() { (cd "$1" && find . -type f -printf '  %7s bytes  %P\n' | sort -k3); }

demo=
srv_pid=
srv_rc=0
# Stops the server with SIGINT, as Ctrl+C would, and waits for it (at most 15 s); its exit
# code lands in srv_rc.
stop_server() {
    [ -n "$srv_pid" ] || return 0
    kill -INT "$srv_pid" 2>/dev/null || true
    local deadline=$((SECONDS + 15))
    while kill -0 "$srv_pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do
        sleep 0.1
    done
    if kill -0 "$srv_pid" 2>/dev/null; then
        echo "demo: the server did not stop within 15 s; killing it" >&2
        kill -KILL "$srv_pid" 2>/dev/null || true
    fi
    srv_rc=0
    wait "$srv_pid" 2>/dev/null || srv_rc=$?
    srv_pid=
}
# Stops the services that the demo's qk_relay_ctrl started (their pid files are in its run
# directory).
stop_services() {
    local pid_file
    for pid_file in "${QK_RELAY_RUN_DIR:-/nonexistent}"/*.pid; do
        [ -f "$pid_file" ] && kill -TERM "$(cat "$pid_file")" 2>/dev/null || true
    done
}
# On any way out the server and the services are stopped; after a failure everything stays
# for a look.
on_exit() {
    local rc=$?
    stop_server
    stop_services
    if [ "$rc" -ne 0 ] && [ -n "$demo" ]; then
        echo "demo: everything of this run is kept in $demo (server output: $demo/server.out)" >&2
    fi
}
trap on_exit EXIT

section "1. Installing packages and building (into $build_dir)"
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
stage=$build_dir/stage
for program in qk_relay_keys qk_relay_srv qk_relay_cln qk_relay_srvsvc qk_relay_clnsvc qk_relay_ctrl; do
    [ -x "$stage/bin/$program" ] || fail "the build did not produce $stage/bin/$program"
done
started=$SECONDS

section "2. A fresh install tree"
demo=$(mktemp -d "${TMPDIR:-/tmp}/qk_relay_demo.XXXXXX")
tree=$demo/tree
copy_stage "$stage" "$tree"
outgoing=$demo/outgoing
incoming=$demo/incoming
srv_backup=$demo/server-backup
cln_backup=$demo/client-backup
originals=$demo/originals
mkdir -p "$outgoing"
echo "Programs copied from $stage into $tree."
echo "Every file of this demo lives below $demo."

section "3. Keys and certificates (qk_relay_keys)"
"$tree/bin/qk_relay_keys"

section "4. Starting the server (qk_relay_srv)"

# Another program may take a chosen port before the server binds it: then try new ones.
for attempt in 1 2 3; do
    port=$(pick_port) || fail "no free TCP port found"
    ssl_port=$(pick_port "$port") || fail "no free TCP port found"
    "$tree/bin/qk_relay_srv" --start_server --in_dir="$incoming" --back_dir="$srv_backup" \
        --port="$port" --ssl_port="$ssl_port" >"$demo/server.out" 2>&1 &
    srv_pid=$!
    deadline=$((SECONDS + 15))
    while kill -0 "$srv_pid" 2>/dev/null && ! { listening "$port" && listening "$ssl_port"; }; do
        [ "$SECONDS" -lt "$deadline" ] || fail "the server did not open its ports within 15 s"
        sleep 0.1
    done
    kill -0 "$srv_pid" 2>/dev/null && break
    srv_rc=0
    wait "$srv_pid" || srv_rc=$?
    srv_pid=
    echo "The server ended at once (exit code $srv_rc); its output:"
    sed 's/^/  | /' "$demo/server.out"
    if grep -q "launched already" "$demo/server.out"; then
        fail "another qk_relay_srv runs on this machine (one at a time): stop it, then run the demo again"
    fi
    cause=$(grep -E '^Exception|^  tried:|Error' "$demo/server.out" | head -n 6 | paste -sd ';' -)
    # Only a port taken meanwhile is worth another try; anything else will not go away.
    if [ "$attempt" -eq 3 ] || ! grep -q "Address already in use" "$demo/server.out"; then
        fail "the server did not start: ${cause:-its output names no cause}"
    fi
    echo "Trying other ports..."
done
echo "Server running (pid $srv_pid): plain TCP on port $port, TLS on port $ssl_port."
echo "  incoming files: $incoming"
echo "  replaced files: $srv_backup"

# Sends what lies in the outgoing directory; label and the client's options follow.
send() {
    local label=$1 out=$demo/client-$1.out
    shift
    if ! "$tree/bin/qk_relay_cln" --send_files --out_dir="$outgoing" --back_dir="$cln_backup" \
        --server_address=127.0.0.1 --sub_dirs "$@" >"$out" 2>&1; then
        sed 's/^/  | /' "$out"
        fail "the client could not send over $label"
    fi
    [ "$(count_files "$outgoing")" -eq 0 ] || fail "files were left in $outgoing after sending"
    echo "Sent; the client removed the files from $outgoing (its output: $out)."
}

section "5. Sending a tree over TLS (qk_relay_cln --use_ssl)"
mkdir -p "$originals/tls/reports/2026/q1" "$originals/tls/photos"
echo "Notes, first version." >"$originals/tls/notes.txt"
printf 'month,amount\njan,120\nfeb,95\n' >"$originals/tls/reports/2026/summary.csv"
head -c 200000 /dev/urandom >"$originals/tls/reports/2026/q1/figures.bin"
echo "Holiday pictures go here." >"$originals/tls/photos/readme.txt"
cp -a "$originals/tls/." "$outgoing/"
echo "Outgoing tree:"
show_tree "$outgoing"
send TLS --server_port="$ssl_port" --use_ssl

section "6. Sending a second tree over plain TCP (notes.txt again, changed)"
mkdir -p "$originals/plain/logs/app"
echo "Notes, second version: replaces the first." >"$originals/plain/notes.txt"
printf 'started\nstopped\n' >"$originals/plain/logs/app/today.log"
cp -a "$originals/plain/." "$outgoing/"
echo "Outgoing tree:"
show_tree "$outgoing"
send plain --server_port="$port"

section "7. What arrived (incoming directory of the server)"
echo "$incoming:"
show_tree "$incoming"
# The plain tree arrived last, so its notes.txt is the current one.
same_tree "$originals/plain" "$incoming"
while IFS= read -r rel; do
    [ "$rel" = notes.txt ] && continue
    cmp -s "$originals/tls/$rel" "$incoming/$rel" || fail "$incoming/$rel differs from what was sent"
done < <(cd "$originals/tls" && find . -type f | sed 's|^\./||')
echo "Checked with cmp: every file arrived byte-identical."

section "8. Backups"
echo "Server ($srv_backup): the notes.txt that the second transfer replaced"
show_tree "$srv_backup"
cmp -s "$originals/tls/notes.txt" "$srv_backup/notes.txt" ||
    fail "the server's backup of notes.txt is missing or wrong"
echo "Client ($cln_backup): a copy of every file sent; the older notes.txt became notes.txt.000.bak"
show_tree "$cln_backup"
same_tree "$originals/plain" "$cln_backup"
cmp -s "$originals/tls/notes.txt" "$cln_backup/notes.txt.000.bak" ||
    fail "the client's backup notes.txt.000.bak is missing or wrong"
echo "Checked with cmp: the backups hold what was sent and what was replaced."

section "9. Stopping the server (SIGINT, as Ctrl+C would)"
stop_server
[ "$srv_rc" -eq 0 ] || fail "the server ended with exit code $srv_rc"
echo "The server stopped cleanly (exit code 0)."
log_dir=$tree/var/log/orvane/qk_relay_srv
log_file=$(find "$log_dir" -name "*.000.log" | head -n 1)
[ -n "$log_file" ] || fail "no log file in $log_dir"
echo "From its log, $log_file (time, level, message):"
grep -E "Start Receiving file|CheckSum ==|Backup file|Server is stopped" "$log_file" |
    sed -E 's/^[^ ]+ ([^ ]+) \[[0-9]+\] <[0-9]+> ([A-Z]+) \([^ ]*\) /\1 \2 /' |
    tail -n 14 | cut -c 1-150 | sed 's/^/  | /'

section "10. Both services, unattended (qk_relay_srvsvc, qk_relay_clnsvc, qk_relay_ctrl)"
# The services take everything from their configuration files; qk_relay_ctrl starts them.
# Without systemd (or to stay inside this throw-away tree) the direct manager runs each as a
# daemon with a pid file in the tree's run directory.
export QK_RELAY_SERVICE_MANAGER=direct QK_RELAY_RUN_DIR=$demo/run QK_RELAY_PASS_MS=500
mkdir -p "$QK_RELAY_RUN_DIR"
svc_in=$demo/service-incoming
svc_out=$demo/service-outgoing
mkdir -p "$svc_out"
svc_port=$(pick_port) || fail "no free TCP port found"
svc_ssl_port=$(pick_port "$svc_port") || fail "no free TCP port found"
cat >"$tree/share/orvane/common/qk_relay_srvsvc.xml" <<XML
<config><control_code>1</control_code><in_dir>$svc_in</in_dir><back_dir>$demo/service-srv-backup</back_dir>
<port>$svc_port</port><ssl_port>$svc_ssl_port</ssl_port><control_port>0</control_port></config>
XML
cat >"$tree/share/orvane/common/qk_relay_clnsvc.xml" <<XML
<config><control_code>1</control_code><op_code>1</op_code><out_dir>$svc_out</out_dir>
<back_dir>$demo/service-cln-backup</back_dir><file></file><server_address>127.0.0.1</server_address>
<server_port>$svc_ssl_port</server_port><use_ssl>true</use_ssl><sub_dirs>true</sub_dirs>
<scan_time>1000</scan_time><min_age>0</min_age><control_port>0</control_port></config>
XML
ctrl() { "$tree/bin/qk_relay_ctrl" "$@" >"$demo/ctrl.out" 2>&1 || { sed 's/^/  | /' "$demo/ctrl.out"; return 1; }; }
for service in qk_relay_srvsvc qk_relay_clnsvc; do
    ctrl --start_service="$service" || fail "qk_relay_ctrl could not start $service"
    grep -E "^Service:" "$demo/ctrl.out" | sed 's/^/  /'
done
deadline=$((SECONDS + 15))
until listening "$svc_ssl_port"; do
    [ "$SECONDS" -lt "$deadline" ] || fail "qk_relay_srvsvc did not open its TLS port within 15 s"
    sleep 0.1
done
mkdir -p "$originals/service/inbox/today"
echo "Dropped into the client service's outgoing directory." >"$originals/service/hello.txt"
head -c 300000 /dev/urandom >"$originals/service/inbox/today/data.bin"
cp -a "$originals/service/." "$svc_out/"
echo "Dropped $(count_files "$svc_out") files into $svc_out; waiting for the next scan..."
deadline=$((SECONDS + 20))
until [ -f "$svc_in/inbox/today/data.bin" ] && [ "$(count_files "$svc_out")" -eq 0 ]; do
    [ "$SECONDS" -lt "$deadline" ] || fail "the services did not deliver within 20 s"
    sleep 0.2
done
same_tree "$originals/service" "$svc_in"
echo "Arrived over TLS in $svc_in, byte-identical; the outgoing directory is empty:"
show_tree "$svc_in"
for service in qk_relay_srvsvc qk_relay_clnsvc; do
    ctrl --status_service="$service" || fail "no status of $service"
    echo "  $service: $(grep -E '^Is (registered|running)' "$demo/ctrl.out" | tr -s ' \t' ' ' | paste -sd ';' -)"
done
for service in qk_relay_clnsvc qk_relay_srvsvc; do
    ctrl --stop_service="$service" || fail "qk_relay_ctrl could not stop $service"
    grep -E "^Service:" "$demo/ctrl.out" | sed 's/^/  /'
done
deadline=$((SECONDS + 20))
while ls "$QK_RELAY_RUN_DIR"/*.pid >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$deadline" ] || fail "a service did not stop within 20 s"
    sleep 0.2
done
echo "Both services stopped; their logs are in $tree/var/log/orvane/qk_relay_srvsvc and qk_relay_clnsvc."

section "Summary"
cat <<EOF
  keys          made by qk_relay_keys in $tree/share/orvane/
  TLS           $(count_files "$originals/tls") files sent to port $ssl_port
  plain TCP     $(count_files "$originals/plain") files sent to port $port
  arrived       $(count_files "$incoming") files in $incoming, all byte-identical
  backups       $(count_files "$srv_backup") on the server (a replaced file), $(count_files "$cln_backup") on the client
  services      $(count_files "$svc_in") files from qk_relay_clnsvc to qk_relay_srvsvc over TLS, both started and stopped by qk_relay_ctrl
  logs          $tree/var/log/orvane/
  time          $((SECONDS - started)) s after the build
Demo passed. Its files stay in $demo; remove them with: rm -rf $demo
EOF
