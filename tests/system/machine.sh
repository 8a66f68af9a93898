# Helpers of the system test, sourced by run.sh: the cached Debian 12 base root and the
# containers booted from copies of it. They need root, debootstrap, systemd-nspawn (which
# does not need systemd on this machine with --keep-unit) and iproute2.

QK_ST_CACHE=${QK_SYSTEM_TEST_CACHE:-/var/cache/qk-relay-system-test}
# Bump when the recipe of the base root changes: an older tarball is then rebuilt.
QK_ST_BASE_RECIPE=1
QK_ST_BASE_TAR=$QK_ST_CACHE/bookworm-base-r$QK_ST_BASE_RECIPE.tar.zst
# Downloaded .deb files kept between runs, so that each run's fresh root skips most downloads.
QK_ST_DEBS_CACHE=$QK_ST_CACHE/archives
# The network zone both containers join: nspawn makes the bridge vz-<zone> and one veth per
# container, and removes them when the last container ends. No address on this machine's side.
QK_ST_ZONE=qkst$$

declare -A QK_ST_NSPAWN_PID=()  # machine name -> nspawn's pid
declare -A QK_ST_ROOT=()        # machine name -> its root directory

# The mirror of this machine's own apt sources.
qk_st_mirror() {
    local file=/etc/apt/sources.list.d/debian.sources
    if [ -f "$file" ]; then
        awk '/^URIs:/ {u = $2} /^Suites:/ {for (i = 2; i <= NF; i++) if ($i == "bookworm") {print u; exit}}' "$file"
    else
        awk '$1 == "deb" && $3 == "bookworm" {print $2; exit}' /etc/apt/sources.list
    fi
}

# Copies this machine's apt sources into ROOT, so that the root gets the same package versions
# as the build (security updates included).
qk_st_copy_sources() {
    local root=$1
    rm -f "$root/etc/apt/sources.list" "$root"/etc/apt/sources.list.d/*
    [ -f /etc/apt/sources.list.d/debian.sources ] &&
        cp /etc/apt/sources.list.d/debian.sources "$root/etc/apt/sources.list.d/"
    [ -f /etc/apt/sources.list ] && cp /etc/apt/sources.list "$root/etc/apt/"
    cp -L /etc/resolv.conf "$root/etc/resolv.conf"
}

# Runs a command chrooted into ROOT with /proc, /sys, /dev and /dev/pts mounted, in a mount
# namespace of its own: the mounts end with the command, whatever happens.
qk_st_chroot() {
    local root=$1
    shift
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
        unshare --mount --propagation private sh -ec '
            root=$1; shift
            mount -t proc proc "$root/proc"
            mount -t sysfs sys "$root/sys"
            mount --bind /dev "$root/dev"
            mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
            exec chroot "$root" "$@"' qk_st_chroot "$root" "$@"
}

# Removes DIR after unmounting whatever is still mounted below it (debootstrap mounts /proc
# and /sys in its target; a killed run leaves them), so that rm never reaches into them.
qk_st_remove() {
    local dir mounts
    dir=$(realpath -m "$1")
    mounts=$(awk -v d="$dir/" 'index($2 "/", d) == 1 {print $2}' /proc/mounts | sort -r)
    [ -z "$mounts" ] || umount -l $mounts
    if awk -v d="$dir/" 'index($2 "/", d) == 1 {found = 1} END {exit !found}' /proc/mounts; then
        echo "not removing $dir: mounts remain below it" >&2
        return 1
    fi
    rm -rf "$dir"
}

# The base root as a tarball: minimal Debian 12 with systemd, dbus, polkitd, iproute2 and procps.
# Built once per machine (about two minutes), then reused.
qk_st_base_tarball() {
    [ -s "$QK_ST_BASE_TAR" ] && return 0
    local root mirror
    mirror=$(qk_st_mirror)
    [ -n "$mirror" ] || { echo "no bookworm mirror in this machine's apt sources" >&2; return 1; }
    mkdir -p "$QK_ST_CACHE"
    root=$(mktemp -d "$QK_ST_CACHE/base.XXXXXX")
    chmod 755 "$root"
    echo "debootstrap from $mirror into $root"
    debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus,ca-certificates \
        bookworm "$root" "$mirror" >"$root.log" 2>&1 ||
        { tail -20 "$root.log" >&2; qk_st_remove "$root"; return 1; }
    qk_st_copy_sources "$root"
    # Nothing starts inside the chroot; the packages' services start at the first boot.
    printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
    chmod 755 "$root/usr/sbin/policy-rc.d"
    qk_st_chroot "$root" apt-get update -qq
    qk_st_chroot "$root" apt-get install -y -qq --no-install-recommends polkitd iproute2 procps >/dev/null
    qk_st_chroot "$root" apt-get clean
    rm "$root/usr/sbin/policy-rc.d"
    # Each boot makes its own machine id.
    : >"$root/etc/machine-id"
    tar -C "$root" --zstd -cf "$QK_ST_BASE_TAR.part" .
    mv "$QK_ST_BASE_TAR.part" "$QK_ST_BASE_TAR"
    qk_st_remove "$root"
    rm -f "$root.log"
}

# A fresh root for machine NAME from the base tarball, with this machine's apt sources and the
# dependencies of the given .deb files downloaded (from the kept archives where they are).
qk_st_new_root() {
    local name=$1 dir=$2
    shift 2
    local root=$dir/$name
    mkdir -p "$root" "$QK_ST_DEBS_CACHE"
    tar -C "$root" --zstd -xf "$QK_ST_BASE_TAR"
    qk_st_copy_sources "$root"
    echo "$name" >"$root/etc/hostname"
    rm -f "$root/var/lib/dbus/machine-id"
    mkdir -p "$root/root/debs"
    cp "$@" "$root/root/debs/"
    cp "$QK_ST_DEBS_CACHE"/*.deb "$root/var/cache/apt/archives/" 2>/dev/null || true
    qk_st_chroot "$root" apt-get update -qq
    local debs=() deb
    for deb in "$@"; do debs+=("/root/debs/$(basename "$deb")"); done
    qk_st_chroot "$root" apt-get install -y -qq --download-only --no-install-recommends \
        "${debs[@]}" >/dev/null
    cp -n "$root"/var/cache/apt/archives/*.deb "$QK_ST_DEBS_CACHE/" 2>/dev/null || true
    QK_ST_ROOT[$name]=$root
}

# Boots machine NAME from its root in the background, in the network zone, and waits until
# its systemd says the boot is done. The console goes to ROOT.console.
qk_st_boot() {
    local name=$1 root=${QK_ST_ROOT[$1]}
    # The machine name carries this run's zone, so that nspawn's veth names (vb-<machine>)
    # never meet those of another run.
    systemd-nspawn -D "$root" -b --register=no --keep-unit --network-zone="$QK_ST_ZONE" \
        -M "$QK_ST_ZONE-$name" >>"$root.console" 2>&1 </dev/null &
    QK_ST_NSPAWN_PID[$name]=$!
    local deadline=$((SECONDS + 60)) state
    until qk_st_init_pid "$name" >/dev/null; do
        kill -0 "${QK_ST_NSPAWN_PID[$name]}" 2>/dev/null &&
            [ $SECONDS -lt $deadline ] || { tail -20 "$root.console" >&2; return 1; }
        sleep 0.2
    done
    # systemctl answers once systemd's private socket exists, a moment after the start.
    until qk_st_in "$name" systemctl is-system-running >/dev/null 2>&1 ||
        [ "$(qk_st_in "$name" systemctl is-system-running 2>/dev/null)" != "" ]; do
        [ $SECONDS -lt $deadline ] || { tail -20 "$root.console" >&2; return 1; }
        sleep 0.2
    done
    # nspawn makes the zone's bridge but leaves it down: no machine would reach another.
    ip link set "vz-$QK_ST_ZONE" up
    state=$(qk_st_in "$name" timeout 120 systemctl is-system-running --wait) || true
    case $state in
        running) ;;
        degraded) echo "machine $name booted degraded: $(qk_st_in "$name" systemctl --failed --no-legend --plain | awk '{print $1}' | tr '\n' ' ')" ;;
        *) echo "machine $name did not finish its boot: '$state'" >&2; return 1 ;;
    esac
}

# The pid (on this machine) of machine NAME's systemd: the child of its nspawn, once it is the
# container's own init. Right after the start that child is still nspawn's fork and stands in
# this machine's namespaces, where a command would ask this machine instead of the container;
# it counts only once it runs systemd and its root is no longer ours.
qk_st_init_pid() {
    local pid
    pid=$(ps -o pid= --ppid "${QK_ST_NSPAWN_PID[$1]:-0}" 2>/dev/null | head -1 | tr -d ' ')
    [ -n "$pid" ] || return 1
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = systemd ] || return 1
    [ "$(stat -L -c %d:%i "/proc/$pid/root" 2>/dev/null)" != "$(stat -L -c %d:%i /)" ] || return 1
    echo "$pid"
}

# Runs a command inside machine NAME, as root, with a clean environment.
qk_st_in() {
    local pid
    pid=$(qk_st_init_pid "$1") || { echo "machine $1 is not running" >&2; return 1; }
    shift
    nsenter -t "$pid" -m -u -i -n -p -r -w -- \
        env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 HOME=/root TERM=dumb "$@"
}

# Powers machine NAME off and waits for its nspawn to end; kills it after 60 s.
qk_st_poweroff() {
    local name=$1 pid=${QK_ST_NSPAWN_PID[$1]:-}
    [ -n "$pid" ] || return 0
    if kill -0 "$pid" 2>/dev/null; then
        qk_st_in "$name" systemctl poweroff >/dev/null 2>&1 || true
        local deadline=$((SECONDS + 60))
        while kill -0 "$pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.2; done
        if kill -0 "$pid" 2>/dev/null; then
            # Killing the container's init ends its whole pid namespace, and so its nspawn.
            local init
            init=$(qk_st_init_pid "$name") || true
            echo "machine $name did not power off: killing its init (${init:-none}) and nspawn ($pid)" >&2
            [ -n "$init" ] && kill -KILL "$init" 2>/dev/null
            sleep 1
            kill -KILL "$pid" 2>/dev/null || true
        fi
    fi
    wait "$pid" 2>/dev/null || true
    unset "QK_ST_NSPAWN_PID[$name]"
}
