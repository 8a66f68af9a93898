# shellcheck shell=bash
# Helpers shared by the scripts that start servers (sourced, not run): free ports, and a
# fresh install tree to run them from.

# True when a socket holds the TCP port as its local port: in the given state (a hex code of
# /proc/net/tcp, "0A" = listening), or in any state without one. Read from /proc, so it
# needs no tool and never connects: a probe connection would only add noise to the log.
port_in_state() {
    local hex
    hex=$(printf '%04X' "$1")
    awk -v port="$hex" -v state="${2:-}" \
        'FNR > 1 && substr($2, length($2) - 3) == port && (state == "" || $4 == state) { found = 1 }
         END { exit !found }' /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

# True when something listens on the TCP port (IPv4 or IPv6).
listening() { port_in_state "$1" 0A; }

# True when any socket holds the port, in any state. A port that an outgoing connection uses
# (curl's health checks, say) cannot be bound by a listener either.
port_held() { port_in_state "$1"; }

# A port no socket holds and none of the ones given. It lies outside the kernel's range of
# ephemeral ports, so that no outgoing connection can take it between the pick and the bind.
pick_port() {
    local port low=32768 high=60999
    read -r low high </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || true
    for _ in $(seq 1000); do
        port=$((10000 + (RANDOM << 15 | RANDOM) % 55536))
        ((port >= low && port <= high)) && continue
        if ! port_held "$port" && [[ " $* " != *" $port "* ]]; then
            echo "$port"
            return 0
        fi
    done
    return 1
}

# copy_stage STAGE TREE: TREE becomes a copy of the build's STAGE without the keys and logs
# that runs from the stage may have left there, ready for qk_relay_keys.
copy_stage() {
    cp -a "$1" "$2"
    rm -rf "$2/share/orvane/ca"
    find "$2/share/orvane" -path '*/keys/*' -type f -delete
    find "$2/var/log" -type f -delete
}
