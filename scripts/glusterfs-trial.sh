#!/usr/bin/env bash
# Receivers on separate machines sharing one incoming and one backup tree on GlusterFS.
#
# Sets up a single-node GlusterFS volume on loopback (glusterd started by hand, a brick under
# the build directory, one FUSE mount per receiver), then runs three qk_relay_srv on it, each
# as on a machine of its own (mount and host-name namespaces: its own /run/qk_relay and so
# its own single-instance lock, its own host name and so its own temporaries), and checks:
#   - two senders of one name through two receivers, round after round: every content whole
#     exactly once under the name or among its backups, or refused and still at its sender;
#   - a receiver killed (-9) inside a large file: the others, receiving into the same
#     directory, never remove its temporary or each other's live one; its sender keeps the
#     file; its restart under the same host name removes the temporary and takes the file;
#   - the same rounds with the name lock defeated (the second receiver sees a lock file of its
#     own), to show that the check sees what the lock prevents.
# It also probes which temporaries the mount gets (O_TMPFILE or named) and whether an OFD
# lock taken through one mount keeps out another mount.
#
# Run as root on a built tree (scripts/build.sh or the qk_relay_srv, qk_relay_cln and
# qk_relay_keys targets). Not part of CI.
#   scripts/glusterfs-trial.sh [--keep] [--rounds N] [--size MiB] [--big MiB] [--no-defeat]
#   scripts/glusterfs-trial.sh --teardown     # removes what a --keep run left
# Everything lives in build/glusterfs-trial (or $QK_GLUSTER_DIR) and is removed at the end,
# on failure too, unless --keep. Exit 0 when every check held, 1 when one failed, 2 when
# GlusterFS could not be set up here (the reason is printed).
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
stage=${QK_STAGE_DIR:-${QK_BUILD_DIR:-$top/build}/stage}
work=${QK_GLUSTER_DIR:-${QK_BUILD_DIR:-$top/build}/glusterfs-trial}
volume=qk_trial
# The brick's host: glusterd refuses "localhost" and 127.0.0.1 for a brick, not the rest of
# the loopback range.
host_ip=127.0.0.2
machines=(a b c)

keep=0 teardown_only=0 defeat=1
rounds=16 size_mib=4 big_mib=1024
while [ $# -gt 0 ]; do
    case $1 in
        --keep) keep=1 ;;
        --teardown) teardown_only=1 ;;
        --no-defeat) defeat=0 ;;
        --rounds) rounds=$2; shift ;;
        --size) size_mib=$2; shift ;;
        --big) big_mib=$2; shift ;;
        *) echo "usage: $0 [--keep] [--rounds N] [--size MiB] [--big MiB] [--no-defeat] | --teardown" >&2
           exit 64 ;;
    esac
    shift
done

# shellcheck source=ports.sh
. "$top/scripts/ports.sh"

failures=0
say() { printf '%s\n' "$*"; }
check() {  # check CONDITION-TEXT RESULT(0 = held)
    if [ "$2" -eq 0 ]; then say "  ok: $1"; else say "  FAIL: $1"; failures=$((failures + 1)); fi
}
unusable() {  # GlusterFS cannot run here: say exactly why and stop
    say "GlusterFS cannot run here: $*"
    exit 2
}

# ---------------------------------------------------------------------------- teardown

mount_of() { echo "$work/mnt-$1"; }

teardown() {
    [ -d "$work" ] || return 0
    say "== teardown"
    # Only what this trial started: its receivers and senders, by the pids it wrote down.
    if [ -f "$work/pids" ]; then
        while read -r pid; do kill -9 "$pid" 2>/dev/null; done <"$work/pids"
        sleep 1
    fi
    for m in "${machines[@]}"; do
        mountpoint -q "$(mount_of "$m")" && { umount "$(mount_of "$m")" 2>/dev/null || umount -l "$(mount_of "$m")"; }
    done
    if [ -f "$work/glusterd.pid" ] && kill -0 "$(cat "$work/glusterd.pid")" 2>/dev/null; then
        gluster --mode=script volume stop "$volume" force >/dev/null 2>&1
        gluster --mode=script volume delete "$volume" >/dev/null 2>&1
        if [ -f "$work/glusterd.ours" ]; then
            kill "$(cat "$work/glusterd.pid")"
            for _ in $(seq 50); do kill -0 "$(cat "$work/glusterd.pid")" 2>/dev/null || break; sleep 0.1; done
        fi
    fi
    rm -rf "$work"
}

if [ "$teardown_only" = 1 ]; then
    teardown
    exit 0
fi
[ "$(id -u)" = 0 ] || { echo "$0: run as root (glusterd, FUSE mounts, namespaces)" >&2; exit 64; }
for program in qk_relay_srv qk_relay_cln qk_relay_keys; do
    [ -x "$stage/bin/$program" ] || { echo "$0: no $stage/bin/$program: build first" >&2; exit 64; }
done
if [ -e "$work" ]; then
    echo "$0: $work exists (a --keep run?): $0 --teardown removes it" >&2
    exit 64
fi
on_exit() {
    if [ "$keep" = 1 ]; then
        say "== kept: volume $volume, mounts $work/mnt-*, logs $work/m-*/; $0 --teardown removes them"
    else
        teardown
    fi
}
trap on_exit EXIT
trap 'exit 130' INT TERM

# ---------------------------------------------------------------------------- GlusterFS

say "== GlusterFS"
"$top/scripts/setup.sh" glusterfs-server glusterfs-client python3 || unusable "the packages did not install"
mkdir -p "$work/brick" "$work/bin"
say "  $(glusterd --version | head -1), kernel $(uname -r)"

# The FUSE client needs the kernel's fuse file system and /dev/fuse.
grep -qw fuse /proc/filesystems || modprobe fuse 2>/dev/null
grep -qw fuse /proc/filesystems ||
    unusable "the kernel has no fuse file system (not in /proc/filesystems, modprobe fuse failed)"
[ -c /dev/fuse ] || unusable "/dev/fuse is missing (a container without the device?)"
exec 9<>/dev/fuse 2>/dev/null || unusable "/dev/fuse cannot be opened: $(ls -l /dev/fuse) (a container's device cgroup?)"
exec 9>&-

if pgrep -x glusterd >/dev/null; then
    say "  glusterd runs already: the trial uses it and leaves it running"
    pgrep -x glusterd >"$work/glusterd.pid"
else
    # No systemd here: glusterd is started by hand and stopped by its pid at the end. It and
    # the brick listen on the brick's loopback address only.
    sed "s/^end-volume/    option transport.socket.bind-address $host_ip\nend-volume/" \
        /etc/glusterfs/glusterd.vol >"$work/glusterd.vol"
    /usr/sbin/glusterd -f "$work/glusterd.vol" -p "$work/glusterd.pid" --log-file="$work/glusterd.log" ||
        unusable "glusterd did not start: $(tail -5 "$work/glusterd.log" 2>/dev/null)"
    touch "$work/glusterd.ours"
    for _ in $(seq 50); do gluster --mode=script volume list >/dev/null 2>&1 && break; sleep 0.2; done
fi
gluster --mode=script volume list >/dev/null 2>&1 ||
    unusable "glusterd answers no command: $(tail -5 "$work/glusterd.log" 2>/dev/null)"
# "force": the brick is on the root file system.
out=$(gluster --mode=script volume create "$volume" "$host_ip:$work/brick" force 2>&1) ||
    unusable "volume create failed: $out"
out=$(gluster --mode=script volume start "$volume" 2>&1) ||
    unusable "volume start failed: $out; brick log: $(tail -5 /var/log/glusterfs/bricks/*.log 2>/dev/null)"
for m in "${machines[@]}"; do
    mkdir -p "$(mount_of "$m")"
    mount -t glusterfs "$host_ip:/$volume" "$(mount_of "$m")" ||
        unusable "the FUSE mount failed: $(tail -5 "/var/log/glusterfs/$(mount_of "$m" | sed 's|^/||; s|/|-|g').log" 2>/dev/null)"
done
say "  volume $volume: brick $host_ip:$work/brick, FUSE mounts $work/mnt-{a,b,c}"

# ---------------------------------------------------------------------------- probes

say "== probes on the mount"
mkdir -p "$work/mnt-a/probe"
probe_out=$(python3 - "$work/mnt-a/probe" "$work/mnt-b/probe" <<'EOF'
import errno, fcntl, os, struct, subprocess, sys, time
first, second = sys.argv[1], sys.argv[2]
try:
    os.close(os.open(first, os.O_TMPFILE | os.O_WRONLY, 0o644))
    print("tmpfile=yes")
except OSError as e:
    print("tmpfile=no (%s)" % errno.errorcode[e.errno])

def lock(fd):  # a write lock on byte 4242, as CQKNameLock takes one: F_OFD_SETLK, no waiting
    try:
        fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_WRLCK, 0, 4242, 1, 0))
        return "granted"
    except OSError as e:
        return errno.errorcode[e.errno]

path = "/.qk_probe.lock"
holder = subprocess.Popen([sys.executable, "-c", """
import fcntl, os, struct, sys, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT, 0o644)
fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_WRLCK, 0, 4242, 1, 0))
print("held", flush=True)
time.sleep(120)
""", first + path], stdout=subprocess.PIPE, text=True)
holder.stdout.readline()
print("same_mount=" + lock(os.open(first + path, os.O_RDWR)))
other = os.open(second + path, os.O_RDWR)
print("other_mount=" + lock(other))
holder.kill()
holder.wait()
killed = time.monotonic()
result = lock(other)
while result != "granted" and time.monotonic() - killed < 60:
    time.sleep(0.05)
    result = lock(other)
print("after_kill=%s in %.2f s" % (result, time.monotonic() - killed))
EOF
)
say "$probe_out" | sed 's/^/  /'
tmpfile=$(sed -n 's/^tmpfile=//p' <<<"$probe_out")
lock_other=$(sed -n 's/^other_mount=//p' <<<"$probe_out")
lock_after_kill=$(sed -n 's/^after_kill=//p' <<<"$probe_out")
if [ "$lock_other" = EAGAIN ] || [ "$lock_other" = EACCES ]; then lock_honoured=yes; else lock_honoured=no; fi
check "an OFD lock taken through one mount keeps out another mount ($lock_other)" \
    "$([ $lock_honoured = yes ]; echo $?)"
check "the lock of a holder killed with -9 is given up ($lock_after_kill)" \
    "$([[ $lock_after_kill == granted* ]]; echo $?)"
rm -rf "$work/mnt-a/probe"

# ---------------------------------------------------------------------------- machines

# Runs a program as on a machine of its own: "on_own_machine HOST PROGRAM ARGS...": a private
# /run/qk_relay (its own single-instance locks) and its own host name. QK_TRIAL_OWN_LOCK names
# a file that gets a private one bound over it: the lock file of a receiver kept out of the
# others' locks.
cat >"$work/bin/on_own_machine" <<'EOF'
#!/bin/sh
host=$1
shift
exec unshare --mount --uts -- /bin/sh -c '
    mount -t tmpfs -o mode=0755 qk_relay /run/qk_relay && hostname "$0" || exit 70
    if [ -n "${QK_TRIAL_OWN_LOCK:-}" ]; then
        : >/run/qk_relay/own.lock && mount --bind /run/qk_relay/own.lock "$QK_TRIAL_OWN_LOCK" || exit 70
    fi
    exec "$@"' "$host" "$@"
EOF
chmod 0755 "$work/bin/on_own_machine"
mkdir -p /run/qk_relay
touch "$work/pids"

declare -A port ssl_port receiver_pid
used_ports=""
for m in "${machines[@]}"; do
    dir=$work/m-$m
    mkdir -p "$dir/out" "$dir/refused"
    cp -a "$stage" "$dir/tree"
    # Keys, CA and logs of the stage are not this machine's.
    find "$dir/tree" -path '*/keys/*' -type f -delete
    rm -rf "$dir/tree/share/orvane/ca" "$dir/tree/var/log"
    "$work/bin/on_own_machine" "qk-relay-$m" "$dir/tree/bin/qk_relay_keys" >"$dir/keys.log" 2>&1 ||
        { say "qk_relay_keys failed on $m: $(tail -3 "$dir/keys.log")"; exit 1; }
    port[$m]=$(pick_port $used_ports)
    used_ports="$used_ports ${port[$m]}"
    ssl_port[$m]=$(pick_port $used_ports)
    used_ports="$used_ports ${ssl_port[$m]}"
done

# start_receiver MACHINE IN BACK [ENV=VALUE...]: receiver_pid[MACHINE] is the receiver itself
# (every wrapper execs it).
start_receiver() {
    local m=$1 in=$2 back=$3
    shift 3
    local dir=$work/m-$m
    env "$@" "$work/bin/on_own_machine" "qk-relay-$m" "$dir/tree/bin/qk_relay_srv" --start_server \
        --in_dir="$in" --back_dir="$back" --port="${port[$m]}" --ssl_port="${ssl_port[$m]}" \
        </dev/null >>"$dir/srv.out" 2>&1 &
    receiver_pid[$m]=$!
    echo "$!" >>"$work/pids"
    for _ in $(seq 100); do
        listening "${port[$m]}" && return 0
        kill -0 "${receiver_pid[$m]}" 2>/dev/null || break
        sleep 0.1
    done
    say "receiver $m did not start: $(tail -5 "$dir/srv.out")"
    exit 1
}

stop_receiver() {
    kill "${receiver_pid[$1]}" 2>/dev/null
    wait "${receiver_pid[$1]}" 2>/dev/null
}

# send MACHINE: its sender sends its outgoing tree to its own receiver.
send() {
    local dir=$work/m-$1
    env QK_RELAY_DIR_GRACE_MS=0 "$work/bin/on_own_machine" "qk-relay-$1" \
        "$dir/tree/bin/qk_relay_cln" --send_files --out_dir="$dir/out" --sub_dirs \
        --server_address=127.0.0.1 --server_port="${port[$1]}" </dev/null >>"$dir/cln.out" 2>&1
}

# A content of MiB mebibytes that names itself, the rest random: no two alike.
make_content() {  # FILE MiB LABEL
    mkdir -p "$(dirname "$1")"
    { printf '%s\n' "$3"; head -c $(($2 << 20)) /dev/urandom; } >"$1"
}
hash_of() { sha256sum "$1" | cut -d' ' -f1; }

# ---------------------------------------------------------------------------- one name

# rounds IN BACK LABEL: two senders send sub/same.bin at once through receivers a and b.
# Leaves delivered/refused/lost/duplicated/foreign/leftover counts and the times.
rounds() {
    local in=$1 back=$2 label=$3
    local list=$work/delivered-$label
    : >"$list"
    refused=0 sent=0 times=()
    (while :; do
        find "$work/mnt-a/$in/sub" "$work/mnt-b/$in/sub" -maxdepth 1 -name '.qk_relay.*.part' -printf '%f\n' 2>/dev/null
        sleep 0.05
    done) >"$work/temporaries-$label" &
    local watcher=$!
    for round in $(seq "$rounds"); do
        local hashes=()
        for m in a b; do
            make_content "$work/m-$m/out/sub/same.bin" "$size_mib" "$label round $round sender $m"
            hashes+=("$(hash_of "$work/m-$m/out/sub/same.bin")")
        done
        local start end pa pb ea eb
        start=$(date +%s.%N)
        send a & pa=$!
        send b & pb=$!
        wait "$pa"; ea=$?
        wait "$pb"; eb=$?
        end=$(date +%s.%N)
        times+=("$(echo "$end - $start" | bc)")
        local i=0 code
        for m in a b; do
            code=$([ $i = 0 ] && echo "$ea" || echo "$eb")
            local left=$work/m-$m/out/sub/same.bin
            sent=$((sent + 1))
            if [ "$code" = 0 ] && [ ! -e "$left" ]; then
                echo "${hashes[$i]} round $round sender $m" >>"$list"
            elif [ "$code" = 65 ] && [ -f "$left" ] && [ "$(hash_of "$left")" = "${hashes[$i]}" ]; then
                refused=$((refused + 1))
                mv "$left" "$work/m-$m/refused/$label-$round"
            else
                say "  FAIL: round $round sender $m: exit $code, $([ -e "$left" ] && echo "file left" || echo "file gone")"
                failures=$((failures + 1))
                rm -f "$left"
            fi
            i=$((i + 1))
        done
    done
    kill "$watcher"
    wait "$watcher" 2>/dev/null
    delivered=$(wc -l <"$list")
    # Every file in both trees, hashed through another receiver's mount.
    find "$work/mnt-c/$in" "$work/mnt-c/$back" -type f ! -name .qk_relay.lock -exec sha256sum {} + \
        2>/dev/null | sort >"$work/found-$label"
    leftover=$(grep -c '/\.qk_relay\..*\.part$\|/\.qk_backup\.' "$work/found-$label")
    lost=0 duplicated=0
    while read -r hash _; do
        local n
        n=$(grep -c "^$hash " "$work/found-$label")
        [ "$n" = 0 ] && lost=$((lost + 1))
        [ "$n" -gt 1 ] && duplicated=$((duplicated + 1))
    done <"$list"
    foreign=$(cut -d' ' -f1 "$work/found-$label" | sort -u | grep -cvxFf <(cut -d' ' -f1 "$list"))
    seen_temporaries=$(sort -u "$work/temporaries-$label" | wc -l)
    round_avg=$(printf '%s\n' "${times[@]}" | awk '{ s += $1 } END { printf "%.2f", s / NR }')
    round_min=$(printf '%s\n' "${times[@]}" | sort -g | head -1 | xargs printf '%.2f')
    round_max=$(printf '%s\n' "${times[@]}" | sort -g | tail -1 | xargs printf '%.2f')
}

say "== two senders, one name: $rounds rounds of ${size_mib} MiB through receivers a and b"
for m in "${machines[@]}"; do
    start_receiver "$m" "$(mount_of "$m")/in" "$(mount_of "$m")/back"
done
rounds in back locked
say "  sent $sent, delivered $delivered, refused $refused (kept at the sender), lost $lost," \
    "duplicated $duplicated, foreign $foreign, temporaries left $leftover"
say "  time per round ${round_avg} s (min ${round_min}, max ${round_max}); named temporaries seen: $seen_temporaries"
check "nothing lost" "$lost"
check "nothing twice" "$duplicated"
check "no file holds other than one whole delivered content" "$foreign"
check "no temporary left" "$leftover"
check "every content delivered or kept at its sender" "$([ $((delivered + refused)) = "$sent" ]; echo $?)"
locked_sent=$sent locked_delivered=$delivered locked_refused=$refused locked_lost=$lost
locked_avg=$round_avg locked_min=$round_min locked_max=$round_max locked_seen=$seen_temporaries
refusals_logged=$(cat "$work"/m-[ab]/srv.out | grep -c "receiving already by another receiver")
say "  refusals for the other receiver's lock in the receivers' output: $refusals_logged"

# ---------------------------------------------------------------------------- kill

say "== kill case: receiver a killed (-9) inside a ${big_mib} MiB file, b and c receiving on"
# A directory no receiver has written to yet: each looks for debris there at its first file.
kill_dir=$work/mnt-c/in/kill
temporaries() { find "$kill_dir" -maxdepth 1 -name '.qk_relay.*.part' -printf '%f\n' 2>/dev/null; }
# ".qk_relay.<host>-<boot>.<pid>.<n>.part": the temporary of one receiver.
temporary_of() { temporaries | awk -F. -v pid="$1" '$4 == pid' | head -1; }
removals() { cat "$work/m-$1/srv.out" "$work"/m-"$1"/tree/var/log/*/*/*.log 2>/dev/null | grep -c "emove temporary\|emoved temporary"; }

make_content "$work/m-a/out/kill/big.bin" "$big_mib" "kill big"
big_hash=$(hash_of "$work/m-a/out/kill/big.bin")
send a & sender_a=$!
dead_pid=${receiver_pid[a]}
dead_temporary=
for _ in $(seq 600); do
    dead_temporary=$(temporary_of "$dead_pid")
    [ -n "$dead_temporary" ] && [ "$(stat -c %s "$kill_dir/$dead_temporary")" -ge $((64 << 20)) ] && break
    sleep 0.1
done
kill -9 "$dead_pid"
wait "$dead_pid" 2>/dev/null
wait "$sender_a"; code=$?
[ -n "$dead_temporary" ] && dead_size=$(stat -c %s "$kill_dir/$dead_temporary" 2>/dev/null)
say "  receiver a (pid $dead_pid, host qk-relay-a) killed; its temporary: ${dead_temporary:-none seen} (${dead_size:-0} bytes)"
check "the sender of the killed transfer failed (exit $code) and still has its file" \
    "$([ "$code" = 75 ] && [ "$(hash_of "$work/m-a/out/kill/big.bin")" = "$big_hash" ]; echo $?)"
check "the killed receiver's temporary is on the store" "$([ -n "$dead_temporary" ]; echo $?)"

# A live file through b, and while it travels c's first files into the same directory.
make_content "$work/m-b/out/kill/live.bin" "$big_mib" "kill live"
live_hash=$(hash_of "$work/m-b/out/kill/live.bin")
send b & sender_b=$!
live_temporary=
for _ in $(seq 600); do
    live_temporary=$(temporary_of "${receiver_pid[b]}")
    [ -n "$live_temporary" ] && break
    sleep 0.05
done
small_hashes=()
for i in 1 2 3; do
    make_content "$work/m-c/out/kill/small-$i.bin" 1 "kill small $i"
    small_hashes+=("$(hash_of "$work/m-c/out/kill/small-$i.bin")")
done
send c; code=$?
check "c received its files in the same directory meanwhile (exit $code)" "$code"
live_during_c=$(kill -0 "$sender_b" 2>/dev/null && echo yes || echo no)
check "b's live temporary ${live_temporary:-(none seen)} is still there after c's first files (b still sending: $live_during_c)" \
    "$([ -n "$live_temporary" ] && { [ -e "$kill_dir/$live_temporary" ] || [ -e "$kill_dir/live.bin" ]; }; echo $?)"
check "the dead receiver's temporary is still there after c's first files" \
    "$([ -e "$kill_dir/$dead_temporary" ]; echo $?)"
wait "$sender_b"; code=$?
check "b received the live file whole (exit $code)" \
    "$([ "$code" = 0 ] && [ "$(hash_of "$kill_dir/live.bin")" = "$live_hash" ]; echo $?)"
check "the dead receiver's temporary is still there after b's file" \
    "$([ -e "$kill_dir/$dead_temporary" ]; echo $?)"
i=0
for h in "${small_hashes[@]}"; do
    i=$((i + 1))
    [ "$(hash_of "$kill_dir/small-$i.bin")" = "$h" ] || { say "  FAIL: small-$i.bin"; failures=$((failures + 1)); }
done
check "b and c removed no temporary (removals logged: b $(removals b), c $(removals c))" \
    "$([ "$(removals b)" = 0 ] && [ "$(removals c)" = 0 ]; echo $?)"

# The dead receiver back under its host name: its first file in the directory removes its
# temporary, and the file its sender kept arrives.
removals_before=$(removals a)
start_receiver a "$(mount_of a)/in" "$(mount_of a)/back"
send a; code=$?
check "a, restarted, received the file its sender kept (exit $code)" \
    "$([ "$code" = 0 ] && [ "$(hash_of "$kill_dir/big.bin")" = "$big_hash" ] && [ ! -e "$work/m-a/out/kill/big.bin" ]; echo $?)"
check "a, restarted, removed its own temporary (removals logged: $(($(removals a) - removals_before)))" \
    "$([ ! -e "$kill_dir/$dead_temporary" ] && [ $(($(removals a) - removals_before)) -ge 1 ]; echo $?)"
kill_left=$(temporaries | wc -l)
check "no temporary left in the directory" "$kill_left"

# ---------------------------------------------------------------------------- defeated lock

if [ "$defeat" = 1 ]; then
    say "== the same rounds with the name lock defeated: receiver b locks a file of its own"
    stop_receiver a
    stop_receiver b
    mkdir -p "$work/mnt-a/in-nolock"
    : >"$work/mnt-a/in-nolock/.qk_relay.lock"
    start_receiver a "$(mount_of a)/in-nolock" "$(mount_of a)/back-nolock"
    start_receiver b "$(mount_of b)/in-nolock" "$(mount_of b)/back-nolock" \
        QK_TRIAL_OWN_LOCK="$(mount_of b)/in-nolock/.qk_relay.lock"
    rounds in-nolock back-nolock defeated
    say "  sent $sent, delivered $delivered, refused $refused, lost $lost, duplicated $duplicated," \
        "foreign $foreign, temporaries left $leftover"
    if [ $((lost + duplicated + foreign)) -gt 0 ]; then
        say "  the check sees what the lock prevents: $lost contents lost, $duplicated twice"
    else
        say "  no content was lost in these rounds: the replacements never met"
    fi
fi

# ---------------------------------------------------------------------------- figures

say "== figures"
say "rounds:               $rounds (two senders, one name, $size_mib MiB each)"
say "files sent:           $locked_sent"
say "delivered:            $locked_delivered"
say "refusals:             $locked_refused (kept at their sender)"
say "files lost:           $locked_lost"
say "time per round:       $locked_avg s (min $locked_min, max $locked_max)"
say "temporary path:       $([ "$locked_seen" -gt 0 ] && echo "named (.qk_relay.<host>-<boot>.<pid>.<n>.part, $locked_seen seen)" || echo "unnamed (O_TMPFILE)"); O_TMPFILE on the mount: $tmpfile"
say "lock honoured:        $lock_honoured (across two FUSE mounts: $lock_other; receivers' refusals: $refusals_logged)"
say "kill case:            temporary of the killed receiver kept by b and c, removed by its restart: $([ -n "$dead_temporary" ] && [ ! -e "$kill_dir/$dead_temporary" ] && echo yes || echo no)"
[ "$defeat" = 1 ] && say "lock defeated:        $sent sent, $refused refused, $lost lost, $duplicated twice"
say "RESULT: $([ "$failures" = 0 ] && echo "PASS" || echo "FAIL ($failures checks)")"
[ "$failures" = 0 ]
