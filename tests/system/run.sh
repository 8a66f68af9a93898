#!/usr/bin/env bash
# System test: the Debian packages qk-relay and qk-relay-gui installed in a booted Debian 12
# with systemd as init (systemd-nspawn containers from a cached debootstrap root), checked
# the way an administrator and an operator use them: an upgrade from the package of an earlier
# commit that keeps every received file and backup, services up under their own accounts, a
# transfer over TLS, start and stop through qk_relay_ctrl and polkit, the control ports,
# producers and consumers of files and what other accounts may read, a reboot, a second
# machine set up from a client bundle sending over IPv6, a peer without a certificate refused,
# removal and purge.
#
# Usage, as root: tests/system/run.sh
#   QK_SYSTEM_TEST_DEBS=DIR   take the .deb files from DIR instead of building them with
#                             scripts/package.sh
# The earlier package that machine A upgrades from is built once from commit UPGRADE_FROM of
# this clone and kept in the cache.
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
BACK_DIR=$WORK_DIR/srv_backups
SRV_USER=qkrelay-srv
CLN_USER=qkrelay-cln
PRODUCERS=qkrelay-out
# The last commit whose services ran as root: machine A starts with its package.
UPGRADE_FROM=2ea7095
# The two machines' addresses on the zone's private bridge (nothing on this machine's side).
ADDR_A=10.213.77.1
ADDR_B=10.213.77.2
ADDR6_A=fd42:213:77::1
ADDR6_B=fd42:213:77::2

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

# http_status M PORT [PATH]: the status the metrics endpoint on PORT of machine M answers to
# GET PATH (/health by default), through bash's /dev/tcp: the minimal root has no HTTP client.
http_status() {
    qk_st_in "$1" bash -c "exec 3<>/dev/tcp/127.0.0.1/$2 && printf 'GET ${3:-/health} HTTP/1.0\r\n\r\n' >&3 && head -n 1 <&3" |
        awk '{print $2}'
}
health_ok() { [ "$(http_status "$1" "$2")" = 200 ]; }
not_ready() { [ "$(http_status "$1" 5605 /ready)" = 503 ]; }

# owner_mode M PATH: PATH's owner (by name, as machine M knows it) and mode, "user:640".
owner_mode() { qk_st_in "$1" stat -c %U:%a "$2"; }

# runs_as M PROGRAM USER: PROGRAM's process in machine M runs as USER.
runs_as() { [ "$(qk_st_in "$1" ps -o user= -C "$2" | tr -d ' ')" = "$3" ]; }

# tree_sums M DIR...: the content of every file below the DIRs of machine M, path by path.
tree_sums() {
    local machine=$1 dir
    shift
    for dir in "$@"; do
        (cd "${QK_ST_ROOT[$machine]}$dir" && find . -type f ! -name '.qk_relay.lock' -print0 |
            sort -z | xargs -0 -r sha256sum | sed "s|  \./|  $dir/|")
    done
}

# open_to_others M DIR: the files and directories below DIR in machine M that accounts outside
# the owner and the group may read or enter.
open_to_others() { find "${QK_ST_ROOT[$1]}$2" -perm /o=rwx ! -name '.qk_relay.lock'; }

# health_with_idle_peers M PORT: holds 100 idle connections to the metrics endpoint on PORT of
# machine M and prints how many milliseconds /health then takes to answer 200; fails when it
# does not answer 200 within 2 s.
health_with_idle_peers() {
    qk_st_in "$1" bash -c '
        for i in $(seq 100); do exec {fd}<>"/dev/tcp/127.0.0.1/$0" || exit 2; done
        start=$(date +%s%N)
        exec 3<>"/dev/tcp/127.0.0.1/$0" && printf "GET /health HTTP/1.0\r\n\r\n" >&3 &&
            timeout 2 head -n 1 <&3 | grep -q "^HTTP/1\.[01] 200" || exit 1
        echo $(( ($(date +%s%N) - start) / 1000000 ))' "$2"
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
    # As a producer in the producers' group leaves it, where that group exists: the sending
    # service's account reads it and removes what it delivered.
    local gid
    gid=$(qk_st_in "$2" getent group $PRODUCERS | cut -d: -f3) || true
    if [ -n "$gid" ]; then
        chgrp -R "$gid" "$staging"
        chmod -R g+rwX "$staging"
    fi
    mv "$staging/$(basename "$1")" "${QK_ST_ROOT[$2]}$OUT_DIR/"
    rmdir "$staging"
}

# script_errors LOG: the shell errors of our maintainer scripts in an apt log ("postinst: 52:
# ...: not found"); dpkg reports success when such a script goes on past the error.
script_errors() { grep -E '/var/lib/dpkg/info/qk-relay[-a-z]*\.[a-z]+: [0-9]+: ' "$1"; }

# arrived SRC M: SRC's tree is byte-identical in M's incoming directory.
arrived() { diff -r "$1" "${QK_ST_ROOT[$2]}$IN_DIR/$(basename "$1")" >/dev/null 2>&1; }
out_empty() { [ -z "$(ls -A "${QK_ST_ROOT[$1]}$OUT_DIR")" ]; }

# A fresh tree (NAME, by default tree_from_SENDER) dropped into SENDER's outgoing directory
# arrives byte-identical in A's incoming directory and leaves SENDER's outgoing one.
expect_delivery() {
    local sender=$1 tree=$work/${2:-tree_from_$1}
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

# The package of commit UPGRADE_FROM, built once from that commit's own tree and cached.
DEB_EARLIER=""
step_earlier_package() {
    local cache=$QK_ST_CACHE/packages-$UPGRADE_FROM tree=$work/earlier
    local cached=("$cache"/qk-relay_*_amd64.deb)
    [ -f "${cached[0]}" ] && DEB_EARLIER=${cached[0]}
    if [ -z "$DEB_EARLIER" ]; then
        git -C "$top" cat-file -e "$UPGRADE_FROM^{commit}" 2>/dev/null ||
            fail "commit $UPGRADE_FROM is not in this clone (a shallow clone?)"
        mkdir -p "$tree"
        git -C "$top" archive "$UPGRADE_FROM" | tar -C "$tree" -xf -
        "$tree/scripts/package.sh" >"$work/earlier_package.log" 2>&1 ||
            fail "the package of $UPGRADE_FROM did not build" tail -n 30 "$work/earlier_package.log"
        mkdir -p "$cache"
        cp "$tree"/build/packages/qk-relay_*_amd64.deb "$cache/"
        rm -rf "$tree"
        cached=("$cache"/qk-relay_*_amd64.deb)
        DEB_EARLIER=${cached[0]}
    fi
    echo "earlier package: $DEB_EARLIER"
}

step_base_root() {
    qk_st_base_tarball
    ls -l "$QK_ST_BASE_TAR"
}

step_root_a() {
    qk_st_new_root A "$work" "$DEB_SERVICES" "$DEB_GUI"
    # Its dependencies are among the current package's, which are downloaded already.
    mkdir -p "${QK_ST_ROOT[A]}/root/earlier"
    cp "$DEB_EARLIER" "${QK_ST_ROOT[A]}/root/earlier/"
}

step_boot_a() {
    qk_st_boot A || fail "machine A did not boot" tail -n 40 "${QK_ST_ROOT[A]}.console"
}

# Machine A first runs the earlier package, whose services run as root: it receives a tree and
# then a second version of one of its files, so that the upgrade meets received files and a
# backup.
step_earlier() {
    qk_st_in A apt-get install -y -q --no-install-recommends \
        "/root/earlier/$(basename "$DEB_EARLIER")" >"$work/install_earlier.log" 2>&1 ||
        fail "apt-get install of the earlier package failed" cat "$work/install_earlier.log"
    expect_state A $SRV active
    expect_state A $CLN active
    runs_as A $SRV root || fail "the earlier $SRV does not run as root: the upgrade would prove little"
    expect_delivery A early_tree
    local again=$work/again/early_tree
    mkdir -p "$again"
    echo "second version" >"$again/readme.txt"
    drop "$again" A
    wait_for 60 grep -q "second version" "${QK_ST_ROOT[A]}$IN_DIR/early_tree/readme.txt" ||
        fail "the second version of readme.txt did not arrive" service_logs A
    [ -f "${QK_ST_ROOT[A]}$BACK_DIR/early_tree/readme.txt" ] ||
        fail "the replaced readme.txt was not backed up" ls -R "${QK_ST_ROOT[A]}$BACK_DIR"
    tree_sums A "$IN_DIR" "$BACK_DIR" >"$work/sums_before_upgrade.txt"
}

step_install() {
    qk_st_in A journalctl --no-pager -u $SRV -u $CLN | wc -l >"$work/journal_lines_before.txt"
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
    [ "$(http_status A 5605 /ready)" = 200 ] || fail "$CLN's /ready on 127.0.0.1:5605 is not 200"
    # Idle peers delay nobody's answer.
    local port ms
    for port in 5604 5605; do
        ms=$(health_with_idle_peers A $port) ||
            fail "/health on 127.0.0.1:$port does not answer while 100 idle peers hold the endpoint"
        echo "/health on $port with 100 idle peers: $ms ms"
    done
    qk_st_in A journalctl --no-pager -u $SRV -u $CLN |
        tail -n +"$(($(cat "$work/journal_lines_before.txt") + 1))" >"$work/journal_install.txt"
    if grep -q ERROR "$work/journal_install.txt"; then
        fail "ERROR in the services' journal" grep ERROR "$work/journal_install.txt"
    fi
    # Each service under its own account, with its own key and nothing else's.
    runs_as A $SRV $SRV_USER || fail "$SRV does not run as $SRV_USER" qk_st_in A ps -eo user,comm
    runs_as A $CLN $CLN_USER || fail "$CLN does not run as $CLN_USER" qk_st_in A ps -eo user,comm
    local etc=/etc/orvane
    [ "$(owner_mode A "$etc/$SRV/keys/srv.zx.orvane.key")" = "$SRV_USER:600" ] &&
        [ "$(owner_mode A "$etc/$CLN/keys/cln.zx.orvane.key")" = "$CLN_USER:600" ] &&
        [ "$(owner_mode A "$etc/ca")" = "root:700" ] &&
        [ "$(owner_mode A "$etc/ca/ca.zx.orvane.key")" = "root:600" ] ||
        fail "the keys' owners and modes are not as they should be" qk_st_in A ls -lR "$etc"
    # The upgrade handed every received file and backup over, unchanged and private.
    tree_sums A "$IN_DIR" "$BACK_DIR" >"$work/sums_after_upgrade.txt"
    diff "$work/sums_before_upgrade.txt" "$work/sums_after_upgrade.txt" >/dev/null ||
        fail "received files or backups changed in the upgrade" \
            diff "$work/sums_before_upgrade.txt" "$work/sums_after_upgrade.txt"
    [ -z "$(qk_st_in A find "$IN_DIR" "$BACK_DIR" ! -user $SRV_USER)" ] ||
        fail "files below $IN_DIR or $BACK_DIR are not $SRV_USER's" qk_st_in A ls -lR "$WORK_DIR"
    [ -z "$(open_to_others A "$IN_DIR")$(open_to_others A "$BACK_DIR")" ] ||
        fail "received files or backups are open to other accounts" open_to_others A "$WORK_DIR"
}

step_transfer() {
    expect_delivery A
    # The file that was received and backed up before the upgrade is replaced once more: its
    # backups rotate below the handed-over tree.
    local again=$work/again/early_tree
    echo "third version" >"$again/readme.txt"
    drop "$again" A
    wait_for 60 grep -q "third version" "${QK_ST_ROOT[A]}$IN_DIR/early_tree/readme.txt" ||
        fail "the third version of readme.txt did not arrive" service_logs A
    grep -q "second version" "${QK_ST_ROOT[A]}$BACK_DIR/early_tree/readme.txt" &&
        [ -f "${QK_ST_ROOT[A]}$BACK_DIR/early_tree/readme.txt.000.bak" ] ||
        fail "the backups of readme.txt did not rotate" ls -lR "${QK_ST_ROOT[A]}$BACK_DIR"
    [ -z "$(open_to_others A "$IN_DIR")$(open_to_others A "$BACK_DIR")" ] ||
        fail "received files or backups are open to other accounts" open_to_others A "$WORK_DIR"
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
    local cln_back=$WORK_DIR/cln_backups/applied srv_back=$WORK_DIR/srv_backups/applied
    as A alice QK_RELAY_PROGRAM_DATA=/etc/ /opt/qk_probe/control_probe "$cln_back" "$srv_back" \
        >"$work/probe.out" 2>&1 || fail "the applying probe failed" cat "$work/probe.out"
    local common=${QK_ST_ROOT[A]}/etc/orvane/common
    wait_for 15 grep -q "<back_dir>$cln_back</back_dir>" "$common/$CLN.xml" ||
        fail "$CLN.xml does not carry the applied back_dir" cat "$common/$CLN.xml"
    wait_for 15 grep -q "<back_dir>$srv_back</back_dir>" "$common/$SRV.xml" ||
        fail "$SRV.xml does not carry the applied back_dir" cat "$common/$SRV.xml"
    for unit in $SRV $CLN; do expect_state A $unit active; done
}

# A producer in the producers' group drops a file; it arrives private to the receiving
# service and the incoming tree's group: another account cannot read it.
step_producers() {
    qk_st_in A useradd -m -G $PRODUCERS prod
    as A prod sh -c "umask 007 && echo produced >$OUT_DIR/.produced.tmp && mv $OUT_DIR/.produced.tmp $OUT_DIR/produced.txt" ||
        fail "prod cannot drop a file into $OUT_DIR" ls -la "${QK_ST_ROOT[A]}$OUT_DIR"
    wait_for 60 [ -f "${QK_ST_ROOT[A]}$IN_DIR/produced.txt" ] ||
        fail "prod's file did not arrive" service_logs A
    wait_for 30 [ ! -e "${QK_ST_ROOT[A]}$OUT_DIR/produced.txt" ] ||
        fail "prod's file did not leave $OUT_DIR" service_logs A
    [ "$(owner_mode A "$IN_DIR/produced.txt")" = "$SRV_USER:640" ] ||
        fail "the received file is not $SRV_USER's with mode 640" ls -l "${QK_ST_ROOT[A]}$IN_DIR"
    if as A bob cat "$IN_DIR/produced.txt" >/dev/null 2>&1; then
        fail "bob, in no group of the relay, reads a received file"
    fi
    if as A prod cat "$IN_DIR/produced.txt" >/dev/null 2>&1; then
        fail "prod reads the received file"
    fi
}

# An operator (a member of qkrelay) points the client service at the CA's directory, then at
# its own keys: the service refuses both values, and no private key lands anywhere.
step_ca_out_of_reach() {
    local conf=/etc/orvane/common/$CLN.xml log=${QK_ST_ROOT[A]}/var/log/orvane/$CLN/$CLN.000.log
    local dir
    for dir in /etc/orvane/ca /etc/orvane/$CLN/keys; do
        as A alice sed -i "s:<out_dir>[^<]*</out_dir>:<out_dir>$dir</out_dir>:" "$conf" ||
            fail "alice cannot edit $conf"
        wait_for 30 grep -q "Wrong value of out_dir: $dir .*private keys are kept" "$log" ||
            fail "$CLN does not refuse out_dir $dir" tail -n 20 "$log"
    done
    sleep 6
    as A alice sed -i 's:<out_dir>[^<]*</out_dir>:<out_dir></out_dir>:' "$conf"
    local keys
    keys=$(find "${QK_ST_ROOT[A]}/var" "${QK_ST_ROOT[A]}/home" "${QK_ST_ROOT[A]}/tmp" -name '*.zx.orvane.key' 2>/dev/null)
    [ -z "$keys" ] || fail "a private key was copied: $keys"
    [ -f "${QK_ST_ROOT[A]}/etc/orvane/$CLN/keys/cln.zx.orvane.key" ] || fail "the client service's key is gone"
    [ "$(owner_mode A /etc/orvane/ca/ca.zx.orvane.key)" = root:600 ] ||
        fail "the CA's key is gone or open" ls -l "${QK_ST_ROOT[A]}/etc/orvane/ca"
    expect_state A $CLN active
}

# A file the client service may read but not remove (in a producer's directory that only the
# producer may write) is delivered once; the files beside it are delivered once and removed.
step_undeletable() {
    local log=${QK_ST_ROOT[A]}/var/log/orvane/$CLN/$CLN.000.log
    # Written under a hidden name and renamed, as a producer should: a file caught between its
    # creation and its content would be sent empty, then again once written (the service
    # reads another account's file without a lease, so only its size and time tell).
    as A prod sh -c "umask 022 && mkdir $OUT_DIR/fixed && echo kept >$OUT_DIR/fixed/.kept &&
        mv $OUT_DIR/fixed/.kept $OUT_DIR/fixed/kept.txt" || fail "prod cannot make $OUT_DIR/fixed"
    as A prod sh -c "umask 007 && for n in 1 2 3; do echo healthy \$n >$OUT_DIR/.healthy\$n &&
        mv $OUT_DIR/.healthy\$n $OUT_DIR/healthy\$n.txt; done"
    wait_for 60 [ -f "${QK_ST_ROOT[A]}$IN_DIR/fixed/kept.txt" ] ||
        fail "the file the service cannot remove did not arrive" service_logs A
    local n
    for n in 1 2 3; do
        wait_for 60 [ -f "${QK_ST_ROOT[A]}$IN_DIR/healthy$n.txt" ] ||
            fail "healthy$n.txt did not arrive" service_logs A
        wait_for 30 [ ! -e "${QK_ST_ROOT[A]}$OUT_DIR/healthy$n.txt" ] ||
            fail "healthy$n.txt did not leave $OUT_DIR" service_logs A
    done
    # Three scans later nothing went twice: no backup of any of them at the receiver.
    sleep 16
    local twice
    twice=$(find "${QK_ST_ROOT[A]}$BACK_DIR" -name 'kept.txt*' -o -name 'healthy*')
    [ -z "$twice" ] || fail "files were delivered more than once: $twice"
    [ -f "${QK_ST_ROOT[A]}$OUT_DIR/fixed/kept.txt" ] || fail "the file that cannot be removed is gone"
    [ "$(grep -c "fixed/kept.txt delivered but cannot be removed" "$log")" = 1 ] ||
        fail "the client service does not say once that fixed/kept.txt cannot be removed" \
            grep "kept.txt" "$log"
    as A prod rm -rf "$OUT_DIR/fixed"
}

# A producer drops a file a second for a minute: every file arrives, and the services' journal
# keeps what an operator needs (starts, stops, warnings, errors), not a line per file or scan.
step_quiet_journal() {
    local since n lines
    since=$(qk_st_in A date +%s)
    for n in $(seq 60); do
        as A prod sh -c "umask 007 && echo $n >$OUT_DIR/.steady$n && mv $OUT_DIR/.steady$n $OUT_DIR/steady$n.txt"
        sleep 1
    done
    wait_for 30 [ -f "${QK_ST_ROOT[A]}$IN_DIR/steady60.txt" ] || fail "the steady files did not all arrive" service_logs A
    [ "$(ls "${QK_ST_ROOT[A]}$IN_DIR" | grep -c '^steady')" = 60 ] || fail "not all 60 steady files arrived"
    lines=$(qk_st_in A journalctl --no-pager -q -o cat -u $SRV -u $CLN --since "@$since" | wc -l)
    echo "journal lines of both units over a minute of a file a second: $lines"
    [ "$lines" -le 5 ] ||
        fail "$lines journal lines in a quiet minute" qk_st_in A journalctl --no-pager -u $SRV -u $CLN --since "@$since"
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
    # nodad: the IPv6 addresses are usable at once, not after duplicate address detection.
    qk_st_in A ip addr add $ADDR_A/24 dev host0
    qk_st_in A ip -6 addr add $ADDR6_A/64 dev host0 nodad
    qk_st_in A ip link set host0 up
    qk_st_in B ip addr add $ADDR_B/24 dev host0
    qk_st_in B ip -6 addr add $ADDR6_B/64 dev host0 nodad
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
    runs_as B $SRV $SRV_USER && runs_as B $CLN $CLN_USER ||
        fail "B's services do not run under their accounts" qk_st_in B ps -eo user,comm

    expect_delivery B
}

# set_key FILE KEY VALUE: the element KEY of the configuration FILE holds VALUE; added before
# </config> when the file has none.
set_key() {
    if grep -q "<$2>" "$1"; then
        sed -i "s|<$2>[^<]*</$2>|<$2>$3</$2>|" "$1"
    else
        sed -i "s|^</config>|    <$2>$3</$2>\n</config>|" "$1"
    fi
    grep -q "<$2>$3</$2>" "$1" || fail "$2 could not be set in $1" cat "$1"
}

# listens M ADDRESS:PORT: machine M has a TCP listener on exactly that local address.
listens() { qk_st_in "$1" ss -Hltn | awk '{ print $4 }' | grep -qxF "$2"; }

# B's client service sends to A over IPv6: A's TLS listener, moved to ::, takes both families
# (A's own client keeps delivering over IPv4, step 14), and A's log names B by its IPv6
# address. B keeps sending to A's IPv6 address from here on.
step_ipv6() {
    local conf=${QK_ST_ROOT[A]}/etc/orvane/common/$SRV.xml
    local log=${QK_ST_ROOT[A]}/var/log/orvane/$SRV/$SRV.000.log
    set_key "$conf" log_level DEBUG
    set_key "$conf" ssl_address ::
    # ss writes a listener of both families (IPV6_V6ONLY off) as *:PORT.
    wait_for 60 listens A "*:5601" ||
        fail "A's TLS listener did not move to :: (both families)" qk_st_in A ss -Hltn
    set_key "${QK_ST_ROOT[B]}/etc/orvane/common/$CLN.xml" server_address "$ADDR6_A"
    qk_st_in B systemctl restart $CLN
    expect_state B $CLN active
    expect_delivery B tree_over_ipv6
    grep -q "address = \[$ADDR6_B\]:[0-9]* is_secure = 1" "$log" ||
        fail "A's log does not name B's IPv6 address" tail -n 20 "$log"
    set_key "$conf" log_level INFO
}

# first_byte M HOST PORT: the first byte that HOST:PORT sends to a peer in machine M, in hex
# ("00": the receiver's greeting), through bash's /dev/tcp; empty when the connection fails or
# nothing comes within 5 s.
# The manual pages and the bash completion as the package installs them on a fresh machine.
# The minimal root has neither man-db nor bash-completion: the installed pages are rendered
# by this machine's man, and the completion is sourced as bash-completion would load it.
step_man_completion() {
    local root=${QK_ST_ROOT[B]} page
    for page in man1/qk_relay_srv.1 man1/qk_relay_cln.1 man1/qk_relay_ctrl.1 \
        man1/qk_relay_keys.1 man8/qk_relay_srvsvc.8 man8/qk_relay_clnsvc.8; do
        [ -f "$root/usr/share/man/$page.gz" ] ||
            fail "no /usr/share/man/$page.gz on B" ls "$root/usr/share/man/man1" "$root/usr/share/man/man8"
    done
    if qk_st_in B test -x /usr/bin/man; then
        qk_st_in B man -w qk_relay_cln >/dev/null || fail "man -w qk_relay_cln finds no page on B"
    fi
    man --warnings -l "$root/usr/share/man/man1/qk_relay_cln.1.gz" >"$work/man_cln.txt" 2>"$work/man_cln.err"
    [ ! -s "$work/man_cln.err" ] && grep -q "EXIT STATUS" "$work/man_cln.txt" ||
        fail "B's qk_relay_cln.1.gz does not render cleanly" cat "$work/man_cln.err"

    local dir=/usr/share/bash-completion/completions program
    for program in qk_relay_srv qk_relay_cln qk_relay_ctrl qk_relay_keys qk_relay_srvsvc qk_relay_clnsvc; do
        qk_st_in B bash -c ". $dir/$program && complete -p $program" | grep -q "_qk_relay $program" ||
            fail "$dir/$program on B does not complete $program" ls -l "$root$dir"
    done
    local offered
    offered=$(qk_st_in B bash -c ". $dir/qk_relay_ctrl && COMP_WORDS=(qk_relay_ctrl --start_service = qk_relay_s) &&
        COMP_CWORD=3 && _qk_relay qk_relay_ctrl 2>/dev/null; echo \"\${COMPREPLY[*]}\"")
    [ "$offered" = qk_relay_srvsvc ] ||
        fail "completing 'qk_relay_ctrl --start_service=qk_relay_s' on B offers '$offered'"
}

# The console client as the README's quick start runs it on a fresh machine: one file over
# TLS to the receiver, removed once it has been acknowledged.
step_console_send() {
    local text="sent once by qk_relay_cln" arrived
    echo "$text" >"${QK_ST_ROOT[B]}/root/once.txt"
    qk_st_in B qk_relay_cln -n -f /root/once.txt -a $ADDR_A -p 5601 -l >"$work/cln_once.out" 2>&1 ||
        fail "qk_relay_cln on B exited $?" cat "$work/cln_once.out"
    arrived=$(qk_st_in A find "$IN_DIR" -name once.txt)
    [ -n "$arrived" ] && [ "$(cat "${QK_ST_ROOT[A]}$arrived")" = "$text" ] ||
        fail "once.txt did not arrive in A's $IN_DIR" cat "$work/cln_once.out"
    [ ! -e "${QK_ST_ROOT[B]}/root/once.txt" ] || fail "once.txt stayed on B after its delivery"
}

first_byte() {
    qk_st_in "$1" timeout 10 bash -c "exec 3<>/dev/tcp/$2/$3 && timeout 5 head -c 1 <&3 | od -An -tx1" 2>/dev/null |
        tr -d ' \n' || true
}

# srv_metric M NAME: the value of NAME at the server service's metrics endpoint of machine M.
srv_metric() {
    qk_st_in "$1" bash -c "exec 3<>/dev/tcp/127.0.0.1/5604 && printf 'GET /metrics HTTP/1.0\r\n\r\n' >&3 && cat <&3" |
        awk -v name="$2" '$1 == name { print $2 }'
}
tls_refusals_above() { [ "$(srv_metric B qk_relay_tls_handshakes_refused_total)" -gt "$1" ]; }

# A peer without a certificate gets nothing from machine B: B, installed afresh, binds its plain
# port to 127.0.0.1, out of A's reach at B's address (a peer on B itself is greeted there), and
# B's TLS port ends a handshake that shows no client certificate before any greeting. A,
# upgraded from a file without the key, keeps its plain port on every address (B is greeted
# there) and says so once at each start.
step_uncertified() {
    local conf=${QK_ST_ROOT[B]}/etc/orvane/common/$SRV.xml got before
    grep -q '<address>127.0.0.1</address>' "$conf" ||
        fail "B's new $SRV.xml does not bind the plain port to 127.0.0.1" cat "$conf"
    [ "$(first_byte B 127.0.0.1 5600)" = 00 ] ||
        fail "B's plain port does not greet a peer at 127.0.0.1" service_logs B
    got=$(first_byte A $ADDR_B 5600)
    [ -z "$got" ] || fail "A reached B's plain port at $ADDR_B (first byte: $got)"

    qk_st_in A sh -c 'command -v openssl' >/dev/null || fail "no openssl in machine A"
    before=$(srv_metric B qk_relay_tls_handshakes_refused_total)
    [ -n "$before" ] || fail "B's metrics have no qk_relay_tls_handshakes_refused_total"
    got=$(qk_st_in A timeout 20 openssl s_client -connect $ADDR_B:5601 -quiet </dev/null 2>/dev/null |
        head -c 1 | od -An -tx1 | tr -d ' \n') || true
    [ -z "$got" ] || fail "B's TLS port sent a peer without a certificate: $got" service_logs B
    wait_for 15 tls_refusals_above "$before" ||
        fail "B did not count the handshake without a certificate as refused" service_logs B

    [ "$(first_byte B $ADDR_A 5600)" = 00 ] ||
        fail "A's upgraded plain port does not greet B at $ADDR_A" service_logs A
    grep -q "The plain listener on 0.0.0.0:5600 accepts files from anyone who reaches it" \
        "${QK_ST_ROOT[A]}/var/log/orvane/$SRV/$SRV.000.log" ||
        fail "A does not warn that its plain port is open" service_logs A
}

# On A, where the CA is, machine B's exported certificate is revoked: A's receiver refuses B
# from its next connection on, without a restart, while A's own client still delivers.
step_revoked() {
    qk_st_in A qk_relay_keys --revoke=machine-b >"$work/revoke.out" 2>&1 ||
        fail "qk_relay_keys --revoke=machine-b failed" cat "$work/revoke.out"
    qk_st_in A qk_relay_keys --list_exports >"$work/exports.out" 2>&1
    # The revoked column (characters 81 to 102) carries the date of the revocation.
    grep machine-b "$work/exports.out" | cut -c81-102 | grep -q '[0-9]' ||
        fail "--list_exports does not show machine-b revoked" cat "$work/exports.out"
    local tree=$work/after_revocation log=${QK_ST_ROOT[A]}/var/log/orvane/$SRV/$SRV.000.log
    make_tree "$tree"
    drop "$tree" B
    wait_for 30 grep -q "Client certificate refused: serial .*, label machine-b" "$log" ||
        fail "A's receiver does not refuse machine-b's revoked certificate" tail -n 20 "$log"
    sleep 5
    if [ -e "${QK_ST_ROOT[A]}$IN_DIR/after_revocation" ]; then
        fail "files of the revoked machine-b arrived"
    fi
    [ -f "${QK_ST_ROOT[B]}$OUT_DIR/after_revocation/readme.txt" ] ||
        fail "machine-b's files left its outgoing tree" ls -R "${QK_ST_ROOT[B]}$OUT_DIR"
    # B's client service is alive but not ready: it cannot reach its receiver.
    health_ok B 5605 || fail "B's client service is not alive"
    wait_for 30 not_ready B || fail "B's client service says it is ready"
    expect_delivery A tree_after_revocation
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
    run_step "earlier package ($UPGRADE_FROM)" step_earlier_package
    run_step "base root (debootstrap or cache)" step_base_root
    run_step "root of machine A" step_root_a
    run_step "boot of machine A" step_boot_a
    run_step "1 earlier package: files received" step_earlier
    run_step "2 upgrade: own accounts, files kept" step_install
    run_step "3 transfer over TLS" step_transfer
    run_step "4 qk_relay_ctrl as root" step_ctrl
    run_step "5 operators: polkit, window, apply" step_operators
    run_step "6 a producer's file kept private" step_producers
    run_step "7 the CA's key out of reach" step_ca_out_of_reach
    run_step "8 an undeletable file sent once" step_undeletable
    run_step "9 the journal over a minute" step_quiet_journal
    run_step "10 reboot" step_reboot
    run_step "11 second machine from a bundle" step_second_machine
    run_step "11b man pages and completion on B" step_man_completion
    run_step "11c the console client over TLS from B" step_console_send
    run_step "12 transfer over IPv6" step_ipv6
    run_step "13 a peer without a certificate" step_uncertified
    run_step "14 a revoked client refused" step_revoked
    run_step "15 remove and purge" step_remove_purge
    run_step "power off" step_poweroff
}

main "$@"
