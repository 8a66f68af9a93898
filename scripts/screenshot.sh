#!/usr/bin/env bash
# Takes the picture of the control program's window for the README: builds what it needs,
# sets up a throw-away install tree with keys, starts both services there through
# qk_relay_ctrl (direct manager, pid files in the tree's run directory), starts qk_relay_w on
# a private Xvfb display, waits until its window exists and shows the services running, and
# saves the window as a PNG. Everything it started is stopped again.
#
#   scripts/screenshot.sh [OUTPUT.png]      (default: docs/images/qk_relay_w.png)
#
# Set QK_SCREENSHOT_KEEP=1 to keep the throw-away tree for a look.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${QK_BUILD_DIR:-$top/build}
output=${1:-$top/docs/images/qk_relay_w.png}
title="QK Relay Control W"

fail() {
    echo "screenshot: FAILED: $*" >&2
    exit 1
}

source "$top/scripts/ports.sh"

# Polls the command every 0.2 s for at most the given seconds.
wait_for() {
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}

work=
xvfb_pid=
gui_pid=
on_exit() {
    local rc=$?
    [ -n "$gui_pid" ] && kill -TERM "$gui_pid" 2>/dev/null && wait "$gui_pid" 2>/dev/null
    if [ -n "$work" ]; then
        local pid_file
        for pid_file in "$work"/run/*.pid; do
            [ -f "$pid_file" ] && kill -TERM "$(cat "$pid_file")" 2>/dev/null
        done
    fi
    [ -n "$xvfb_pid" ] && kill -TERM "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    if [ -n "$work" ]; then
        if [ "$rc" -ne 0 ] || [ -n "${QK_SCREENSHOT_KEEP:-}" ]; then
            echo "screenshot: the tree of this run is kept in $work" >&2
        else
            rm -rf "$work"
        fi
    fi
    return "$rc"
}
trap on_exit EXIT

# x11-apps has xwd, x11-utils xwininfo, netpbm the converters to PNG.
"$top/scripts/setup.sh" x11-apps x11-utils netpbm
cmake -S "$top" -B "$build_dir" >/dev/null
cmake --build "$build_dir" -j2 --target qk_relay_w qk_relay_keys qk_relay_srvsvc qk_relay_clnsvc \
    qk_relay_ctrl >/dev/null
stage=$build_dir/stage

work=$(mktemp -d "${TMPDIR:-/tmp}/qk_relay_screenshot.XXXXXX")
tree=$work/tree
copy_stage "$stage" "$tree"
"$tree/bin/qk_relay_keys" >"$work/keys.out" 2>&1 || fail "qk_relay_keys failed (see $work/keys.out)"

# Both services with their control ports, which the window's pages read.
port=$(pick_port) || fail "no free TCP port"
ssl_port=$(pick_port "$port") || fail "no free TCP port"
srv_ctrl=$(pick_port "$port" "$ssl_port") || fail "no free TCP port"
cln_ctrl=$(pick_port "$port" "$ssl_port" "$srv_ctrl") || fail "no free TCP port"
mkdir -p "$work/outgoing" "$work/run" "$work/config"
cat >"$tree/share/orvane/common/qk_relay_srvsvc.xml" <<XML
<config><control_code>1</control_code><in_dir>$work/incoming</in_dir><back_dir>$work/server-backup</back_dir>
<port>$port</port><ssl_port>$ssl_port</ssl_port><control_port>$srv_ctrl</control_port></config>
XML
cat >"$tree/share/orvane/common/qk_relay_clnsvc.xml" <<XML
<config><control_code>1</control_code><op_code>1</op_code><out_dir>$work/outgoing</out_dir>
<back_dir>$work/client-backup</back_dir><file></file><server_address>127.0.0.1</server_address>
<server_port>$ssl_port</server_port><use_ssl>true</use_ssl><sub_dirs>true</sub_dirs>
<scan_time>1000</scan_time><min_age>0</min_age><control_port>$cln_ctrl</control_port></config>
XML
cat >"$tree/share/orvane/common/qk_relay_w.xml" <<XML
<config><client_control_port>$cln_ctrl</client_control_port><server_control_port>$srv_ctrl</server_control_port>
<run_when_win_starts>false</run_when_win_starts><start_mimimized>false</start_mimimized></config>
XML
export QK_RELAY_SERVICE_MANAGER=direct QK_RELAY_RUN_DIR=$work/run XDG_CONFIG_HOME=$work/config
for service in qk_relay_srvsvc qk_relay_clnsvc; do
    "$tree/bin/qk_relay_ctrl" --start_service="$service" >"$work/ctrl.out" 2>&1 ||
        fail "qk_relay_ctrl could not start $service (see $work/ctrl.out)"
done
wait_for 15 listening "$ssl_port" || fail "qk_relay_srvsvc did not open its port"
wait_for 15 listening "$cln_ctrl" || fail "qk_relay_clnsvc did not open its control port"

display=
for n in $(seq 90 130); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
        display=:$n
        break
    fi
done
[ -n "$display" ] || fail "no free X display between :90 and :130"
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.out" 2>&1 &
xvfb_pid=$!
wait_for 10 xwininfo -root -display "$display" >/dev/null 2>&1 ||
    fail "Xvfb did not start (see $work/xvfb.out)"
export DISPLAY=$display

"$tree/bin/qk_relay_w" >"$work/gui.out" 2>&1 &
gui_pid=$!
gui_log=$tree/var/log/orvane/qk_relay_w/qk_relay_w.000.log
wait_for 20 xwininfo -name "$title" >/dev/null 2>&1 ||
    fail "the window did not appear (see $work/gui.out and $gui_log)"
# Two rounds of the status poller (two services each) have run, so the first has reached the
# window; a moment more for the pages' first reads and the painting.
polled() { [ "$(grep -c '(CQKStatusesTask::getServiceStatus())' "$gui_log" 2>/dev/null)" -ge 4 ]; }
wait_for 20 polled || fail "the status poller did not run (see $gui_log)"
sleep 1

mkdir -p "$(dirname "$output")"
xwd -silent -name "$title" | xwdtopnm 2>/dev/null | pnmtopng >"$output"
echo "Saved $output ($(wc -c <"$output") bytes)."
