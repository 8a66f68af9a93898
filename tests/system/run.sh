#!/usr/bin/env bash
# System test: the Debian packages qk-relay and qk-relay-gui installed in a booted Debian 12
# with systemd as init (systemd-nspawn containers from a cached debootstrap root), checked
# the way an administrator and an operator use them: services up after install, a transfer
# over TLS, start and stop through qk_relay_ctrl and polkit, the control ports, a reboot, a
# second machine set up from a client bundle, removal and purge.
#
# Usage, as root: tests/system/run.sh
#   QK_SYSTEM_TEST_DEBS=DIR   take the .deb files from DIR instead of building them with
#                             scripts/package.sh
#   QK_SYSTEM_TEST_CACHE=DIR  the base root and downloaded packages kept between runs
#                             (default /var/cache/qk-relay-system-test)
#   QK_SYSTEM_TEST_KEEP=1     keep the machines' roots (printed at the end)
#   QK_BUILD_DIR              the build folder with tests/system/control_probe (build/)
# Each step prints its duration; a failing one prints one "FAILED [step]: ..." line with an
# excerpt of the journal or log that shows why, and the script ends non-zero. Everything it
# started is torn down in any case, and a table of the steps' durations closes the output.
set -Eeuo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build_dir=${QK_BUILD_DIR:-$top/build}
# shellcheck source=machine.sh
. "$here/machine.sh"

SRV=qk_relay_srvsvc
CLN=qk_relay_clnsvc
WORK_DIR=/var/lib/orvane/qk_relay_work
OUT_DIR=$WORK_DIR/cln_out
IN_DIR=$WORK_DIR/srv_in
# The two machines' addresses on the zone's private bridge (nothing on this machine's side).
ADDR_A=10.213.77.1
ADDR_B=10.213.77.2

# This run's machines and files; made by main.
work=""

# ---- steps, their timing and the closing table

RUN_T0=$EPOCHREALTIME
STEP=""
STEP_T0=""
FAILED_LINE=""
SUMMARY=()

seconds_since() {
    awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'
}

run_step() {
    STEP=$1
    STEP_T0=$EPOCHREALTIME
    echo
    echo "=== $STEP"
    "$2"
    local took
    took=$(seconds_since "$STEP_T0")
    SUMMARY+=("$(printf '%-40s %8s s  passed' "$STEP" "$took")")
    echo "=== $STEP: passed in $took s"
    STEP=""
}

# fail TEXT [COMMAND...]: the failure line, then the last lines of COMMAND's output.
fail() {
    FAILED_LINE="FAILED [$STEP]: $1"
    echo "$FAILED_LINE" >&2
    shift
    if [ $# -gt 0 ]; then
        echo "--- $*" >&2
        "$@" 2>&1 | tail -n 40 >&2 || true
    fi
    exit 1
}

on_error() {
    [ -n "$FAILED_LINE" ] || FAILED_LINE="FAILED [$STEP]: '$2' exited $1 (run.sh line $3)"
}
trap 'on_error $? "$BASH_COMMAND" $LINENO' ERR

# The script's own output, for the closing table: a signal may run the teardown while a
# command's output is redirected to a file.
exec 3>&1 4>&2

teardown() {
    local status=$?
    trap - ERR
    set +e
    exec 1>&3 2>&4
    if [ $status -ne 0 ]; then
        [ -n "$FAILED_LINE" ] || FAILED_LINE="FAILED [$STEP]: exit $status"
        [ -n "$STEP" ] &&
            SUMMARY+=("$(printf '%-40s %8s s  FAILED' "$STEP" "$(seconds_since "$STEP_T0")")")
    fi
    local name
    for name in "${!QK_ST_NSPAWN_PID[@]}"; do qk_st_poweroff "$name"; done
    ip link show "vz-$QK_ST_ZONE" >/dev/null 2>&1 && ip link delete "vz-$QK_ST_ZONE"
    if [ "${QK_SYSTEM_TEST_KEEP:-0}" = 1 ]; then
        echo "kept: $work"
    elif [ -n "$work" ]; then
        qk_st_remove "$work"
    fi
    echo
    echo "System test steps:"
    printf '  %s\n' "${SUMMARY[@]}"
    printf '  %-40s %8s s\n' "total" "$(seconds_since "$RUN_T0")"
    # The numbered steps are the checks; the others prepare them.
    local checks
    checks=$(printf '%s\n' "${SUMMARY[@]}" | grep -c '^[0-9].*  passed$')
    if [ $status -ne 0 ]; then
        echo "$FAILED_LINE"
        echo "$checks passed, 1 failed"
    else
        echo "$checks passed, 0 failed"
    fi
    exit $status
}
trap teardown EXIT
trap 'FAILED_LINE="FAILED [$STEP]: interrupted"; exit 130' INT TERM

# ---- helpers

# wait_for SECONDS COMMAND...: polls COMMAND every half second until it succeeds.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.5
    done
}

# state M UNIT: systemd's ActiveState of UNIT in machine M.
state() { qk_st_in "$1" systemctl is-active "$2" || true; }
is_state() { [ "$(state "$1" "$2")" = "$3" ]; }
journal() { qk_st_in "$1" journalctl --no-pager -n 40 -u "$SRV" -u "$CLN"; }
# service_logs M: the units' journal and the ends of the services' own logs.
service_logs() {
    qk_st_in "$1" journalctl --no-pager -n 15 -u "$SRV" -u "$CLN"
    tail -n 12 "${QK_ST_ROOT[$1]}/var/log/orvane/$SRV/$SRV.000.log" \
        "${QK_ST_ROOT[$1]}/var/log/orvane/$CLN/$CLN.000.log"
}
# as M USER COMMAND...: COMMAND in machine M as USER, with that user's environment.
as() {
    local machine=$1 user=$2
    shift 2
    qk_st_in "$machine" runuser -u "$user" -- \
        env HOME="/home/$user" USER="$user" LOGNAME="$user" "$@"
}

# expect_state M UNIT STATE: polls (start and stop are requested without waiting). A simple
# service is "active" from its fork on, before its sandbox is even set up, so "active" must
# also hold two seconds later without a restart in between.
expect_state() {
    wait_for 30 is_state "$1" "$2" "$3" ||
        fail "$2 on $1 is '$(state "$1" "$2")', not '$3'" journal "$1"
    [ "$3" = active ] || return 0
    sleep 2
    local restarts
    restarts=$(qk_st_in "$1" systemctl show -p NRestarts --value "$2")
    is_state "$1" "$2" active && [ "$restarts" = 0 ] ||
        fail "$2 on $1 does not stay active: '$(state "$1" "$2")' after $restarts restarts" journal "$1"
}

# window_read_client LOG: the control program's log shows a verified read over the client
# service's control port.
window_read_client() {
    grep -q "code: read_conf_clns" "$1" &&
        grep -q "Connection: address = 127.0.0.1 port = 5603 is opened" "$1" &&
        grep -q "Verification of the signature (ECDSA) of Control Data.*Result: 1" "$1"
}

# health_ok M PORT: the metrics endpoint on PORT of machine M answers /health with 200
# (through bash's /dev/tcp: the minimal root has no HTTP client).
health_ok() {
    qk_st_in "$1" bash -c "exec 3<>/dev/tcp/127.0.0.1/$2 && printf 'GET /health HTTP/1.0\r\n\r\n' >&3 && head -n 1 <&3" |
        grep -q "^HTTP/1\.[01] 200"
}

# make_tree DIR: sub-directories, small files and a 5 MB one.
make_tree() {
    mkdir -p "$1/docs/2026/december" "$1/empty_not" "$1/media"
    echo "top level" >"$1/readme.txt"
    printf 'line %s\n' $(seq 1 500) >"$1/docs/lines.txt"
    echo "deep" >"$1/docs/2026/december/deep.txt"
    : >"$1/empty_not/zero.bin"
    head -c 5242880 /dev/urandom >"$1/media/big.bin"
}

# drop SRC M: moves the tree SRC into machine M's outgoing directory. It is copied beside the
# directory first and then renamed into it, so the scanner never sees a half-copied file.
drop() {
    local staging=${QK_ST_ROOT[$2]}/var/lib/orvane/qk_relay_staging
    rm -rf "$staging"
    mkdir -p "$staging"
    cp -a "$1" "$staging/"
    mv "$staging/$(basename "$1")" "${QK_ST_ROOT[$2]}$OUT_DIR/"
    rmdir "$staging"
}

# script_errors LOG: the shell errors of our maintainer scripts in an apt log ("postinst: 52:
# ...: not found"); dpkg reports success when such a script goes on past the error.
script_errors() { grep -E '/var/lib/dpkg/info/qk-relay[-a-z]*\.[a-z]+: [0-9]+: ' "$1"; }

# arrived SRC M: SRC's tree is byte-identical in M's incoming directory.
arrived() { diff -r "$1" "${QK_ST_ROOT[$2]}$IN_DIR/$(basename "$1")" >/dev/null 2>&1; }
out_empty() { [ -z "$(ls -A "${QK_ST_ROOT[$1]}$OUT_DIR")" ]; }

# A fresh tree dropped into SENDER's outgoing directory arrives byte-identical in A's incoming
# directory and leaves SENDER's outgoing one.
expect_delivery() {
    local sender=$1 tree=$work/tree_from_$1
    make_tree "$tree"
    drop "$tree" "$sender"
    wait_for 180 arrived "$tree" A ||
        fail "$sender's tree did not arrive byte-identical in A's $IN_DIR within 180 s" \
            service_logs "$sender"
    wait_for 30 out_empty "$sender" ||
        fail "$sender's tree did not leave its $OUT_DIR" ls -R "${QK_ST_ROOT[$sender]}$OUT_DIR"
}

# ---- the steps

DEB_SERVICES=""
DEB_GUI=""
PROBE=$build_dir/tests/system/control_probe

step_prerequisites() {
    "$top/scripts/setup.sh" debootstrap systemd-container iproute2 zstd
    if [ ! -x "$PROBE" ]; then
        [ -f "$build_dir/CMakeCache.txt" ] || cmake -S "$top" -B "$build_dir" >/dev/null
        cmake --build "$build_dir" -j2 --target control_probe >/dev/null
    fi
}

step_packages() {
    local dir=${QK_SYSTEM_TEST_DEBS:-}
    if [ -z "$dir" ]; then
        "$top/scripts/package.sh" || fail "scripts/package.sh exited $?"
        dir=$top/build/packages
    fi
    DEB_SERVICES=$(ls "$dir"/qk-relay_*_amd64.deb 2>/dev/null | head -1)
    DEB_GUI=$(ls "$dir"/qk-relay-gui_*_amd64.deb 2>/dev/null | head -1)
    [ -n "$DEB_SERVICES" ] && [ -n "$DEB_GUI" ] || fail "no qk-relay and qk-relay-gui .deb in $dir"
    echo "packages: $DEB_SERVICES $DEB_GUI"
}

step_base_root() {
    qk_st_base_tarball
    ls -l "$QK_ST_BASE_TAR"
}

step_root_a() {
    qk_st_new_root A "$work" "$DEB_SERVICES" "$DEB_GUI"
}

step_boot_a() {
    qk_st_boot A || fail "machine A did not boot" tail -n 40 "${QK_ST_ROOT[A]}.console"
}

step_install() {
    qk_st_in A apt-get install -y -q --no-install-recommends \
        "/root/debs/$(basename "$DEB_SERVICES")" "/root/debs/$(basename "$DEB_GUI")" \
        >"$work/install.log" 2>&1 || fail "apt-get install failed" cat "$work/install.log"
    if script_errors "$work/install.log" >/dev/null; then
        fail "a maintainer script failed during the install" script_errors "$work/install.log"
    fi
    local unit
    for unit in $SRV $CLN; do
        expect_state A $unit active
        qk_st_in A systemctl is-enabled --quiet $unit || fail "$unit is not enabled"
    done
    # The shipped files' metrics ports: the server service's listeners and the client
    # service's scanner run.
    wait_for 30 health_ok A 5604 || fail "$SRV's /health on 127.0.0.1:5604 is not 200" journal A
    wait_for 30 health_ok A 5605 || fail "$CLN's /health on 127.0.0.1:5605 is not 200" journal A
    qk_st_in A journalctl --no-pager -u $SRV -u $CLN >"$work/journal_install.txt"
    if grep -q ERROR "$work/journal_install.txt"; then
        fail "ERROR in the services' journal" grep ERROR "$work/journal_install.txt"
    fi
}

step_transfer() {
    expect_delivery A
    # Under the unit's restrictions the outgoing tree is watched, not only scanned.
    grep -q "for completed files" "${QK_ST_ROOT[A]}/var/log/orvane/$CLN/$CLN.000.log" ||
        fail "$CLN does not watch its outgoing tree" service_logs A
}

step_ctrl() {
    local unit out
    for unit in $SRV $CLN; do
        out=$(qk_st_in A qk_relay_ctrl -u $unit) || fail "qk_relay_ctrl -u $unit exited $?"
        grep -q "Is running *: 1" <<<"$out" || fail "qk_relay_ctrl -u $unit does not say it runs" echo "$out"
        qk_st_in A qk_relay_ctrl -t $unit >/dev/null || fail "qk_relay_ctrl -t $unit exited $?"
        expect_state A $unit inactive
        out=$(qk_st_in A qk_relay_ctrl -u $unit) || fail "qk_relay_ctrl -u $unit exited $?"
        grep -q "Is running *: 0" <<<"$out" || fail "qk_relay_ctrl -u $unit does not say it stopped" echo "$out"
        qk_st_in A qk_relay_ctrl -s $unit >/dev/null || fail "qk_relay_ctrl -s $unit exited $?"
        expect_state A $unit active
    done
}

step_operators() {
    qk_st_in A useradd -m -G qkrelay alice
    qk_st_in A useradd -m bob
    local unit rc
    for unit in $SRV $CLN; do
        as A alice qk_relay_ctrl -t $unit >/dev/null ||
            fail "alice: qk_relay_ctrl -t $unit exited $?" journal A
        expect_state A $unit inactive
        as A alice qk_relay_ctrl -s $unit >/dev/null ||
            fail "alice: qk_relay_ctrl -s $unit exited $?" journal A
        expect_state A $unit active
        as A alice systemctl stop $unit || fail "alice: systemctl stop $unit exited $?" journal A
        expect_state A $unit inactive
        as A alice systemctl start $unit || fail "alice: systemctl start $unit exited $?" journal A
        expect_state A $unit active

        rc=0
        as A bob qk_relay_ctrl -t $unit >/dev/null 2>&1 || rc=$?
        [ $rc -eq 74 ] || fail "bob: qk_relay_ctrl -t $unit exited $rc, not 74"
        sleep 1
        is_state A $unit active || fail "bob stopped $unit: it is '$(state A $unit)'"
    done

    # The control program reads the client page over the client service's control port at
    # its start; its file log shows the connection and the verified signature (the activity
    # lines go to the window's pane).
    local log=${QK_ST_ROOT[A]}/home/alice/.local/share/orvane/qk_relay_w/log/qk_relay_w.000.log
    as A alice QT_QPA_PLATFORM=offscreen timeout 120 qk_relay_w >"$work/qk_relay_w.out" 2>&1 &
    local window=$!
    wait_for 60 window_read_client "$log" ||
        fail "qk_relay_w did not read the client service's parameters over port 5603" \
            sh -c "cat '$work/qk_relay_w.out'; grep -v getServiceStatus '$log' | tail -n 30"
    local pid
    pid=$(qk_st_in A pgrep -u alice -x qk_relay_w) && qk_st_in A kill "$pid"
    wait "$window" || true

    # An operator applies parameters to both services over their control ports.
    mkdir -p "${QK_ST_ROOT[A]}/opt/qk_probe"
    install -m 755 "$PROBE" "${QK_ST_ROOT[A]}/opt/qk_probe/control_probe"
    local cln_back=$WORK_DIR/cln_backups_applied srv_back=$WORK_DIR/srv_backups_applied
    as A alice QK_RELAY_PROGRAM_DATA=/etc/ /opt/qk_probe/control_probe "$cln_back" "$srv_back" \
        >"$work/probe.out" 2>&1 || fail "the applying probe failed" cat "$work/probe.out"
    local common=${QK_ST_ROOT[A]}/etc/orvane/common
    wait_for 15 grep -q "<back_dir>$cln_back</back_dir>" "$common/$CLN.xml" ||
        fail "$CLN.xml does not carry the applied back_dir" cat "$common/$CLN.xml"
    wait_for 15 grep -q "<back_dir>$srv_back</back_dir>" "$common/$SRV.xml" ||
        fail "$SRV.xml does not carry the applied back_dir" cat "$common/$SRV.xml"
    for unit in $SRV $CLN; do expect_state A $unit active; done
}

step_reboot() {
    qk_st_poweroff A
    qk_st_boot A || fail "machine A did not boot again" tail -n 40 "${QK_ST_ROOT[A]}.console"
    expect_state A $SRV active
    expect_state A $CLN active
}

step_second_machine() {
    qk_st_new_root B "$work" "$DEB_SERVICES"
    qk_st_boot B || fail "machine B did not boot" tail -n 40 "${QK_ST_ROOT[B]}.console"
    qk_st_in B apt-get install -y -q --no-install-recommends \
        "/root/debs/$(basename "$DEB_SERVICES")" >"$work/install_b.log" 2>&1 ||
        fail "apt-get install on B failed" cat "$work/install_b.log"
    qk_st_in A ip addr add $ADDR_A/24 dev host0
    qk_st_in A ip link set host0 up
    qk_st_in B ip addr add $ADDR_B/24 dev host0
    qk_st_in B ip link set host0 up

    qk_st_in A qk_relay_keys --export_client=/root/b.bundle --label=machine-b >"$work/export.out" 2>&1 ||
        fail "qk_relay_keys --export_client failed" cat "$work/export.out"
    qk_st_in A qk_relay_keys --list_exports >"$work/exports.out" 2>&1 ||
        fail "qk_relay_keys --list_exports failed" cat "$work/exports.out"
    grep -q machine-b "$work/exports.out" || fail "--list_exports does not list machine-b" cat "$work/exports.out"
    cp "${QK_ST_ROOT[A]}/root/b.bundle" "${QK_ST_ROOT[B]}/root/b.bundle"
    qk_st_in B qk_relay_keys --import_client=/root/b.bundle >"$work/import.out" 2>&1 ||
        fail "qk_relay_keys --import_client failed" cat "$work/import.out"

    local conf=${QK_ST_ROOT[B]}/etc/orvane/common/$CLN.xml
    sed -i "s|<server_address>[^<]*</server_address>|<server_address>$ADDR_A</server_address>|" "$conf"
    grep -q "<server_address>$ADDR_A</server_address>" "$conf" || fail "no server_address in B's $CLN.xml" cat "$conf"
    qk_st_in B systemctl restart $CLN
    expect_state B $CLN active

    expect_delivery B
    qk_st_poweroff B
}

step_remove_purge() {
    local root=${QK_ST_ROOT[A]} unit
    qk_st_in A apt-get remove -y -q qk-relay-gui qk-relay >"$work/remove.log" 2>&1 ||
        fail "apt-get remove failed" cat "$work/remove.log"
    if script_errors "$work/remove.log" >/dev/null; then
        fail "a maintainer script failed during the removal" script_errors "$work/remove.log"
    fi
    for unit in $SRV $CLN; do
        if is_state A $unit active; then fail "$unit is still active after remove"; fi
        if qk_st_in A pgrep -x $unit >/dev/null; then fail "a $unit process still runs after remove"; fi
    done
    [ -f "$root/etc/orvane/common/$SRV.xml" ] && [ -d "$root/etc/orvane/common/keys" ] ||
        fail "remove took the configuration" ls -R "$root/etc/orvane"
    arrived "$work/tree_from_A" A && arrived "$work/tree_from_B" A || fail "remove took received files" ls -R "$root$IN_DIR"

    qk_st_in A apt-get purge -y -q qk-relay-gui qk-relay >"$work/purge.log" 2>&1 ||
        fail "apt-get purge failed" cat "$work/purge.log"
    if script_errors "$work/purge.log" >/dev/null; then
        fail "a maintainer script failed during the purge" script_errors "$work/purge.log"
    fi
    [ ! -e "$root/etc/orvane" ] || fail "/etc/orvane is still there after purge" ls -R "$root/etc/orvane"
    arrived "$work/tree_from_A" A && arrived "$work/tree_from_B" A || fail "purge took received files" ls -R "$root$IN_DIR"
}

step_poweroff() {
    qk_st_poweroff A
}

# All of the script is read before the first step runs, so an edit of this file during a
# run cannot change what the run does.
main() {
    work=$(mktemp -d /var/tmp/qk-relay-system-test.XXXXXX)
    chmod 755 "$work"
    run_step "prerequisites" step_prerequisites
    run_step "package build" step_packages
    run_step "base root (debootstrap or cache)" step_base_root
    run_step "root of machine A" step_root_a
    run_step "boot of machine A" step_boot_a
    run_step "1 install: units active" step_install
    run_step "2 transfer over TLS" step_transfer
    run_step "3 qk_relay_ctrl as root" step_ctrl
    run_step "4 operators: polkit, window, apply" step_operators
    run_step "5 reboot" step_reboot
    run_step "6 second machine from a bundle" step_second_machine
    run_step "7 remove and purge" step_remove_purge
    run_step "power off" step_poweroff
}

main "$@"
