# shellcheck shell=bash
# A peer for firewall tests to send traffic to: network namespace "tqpeer" joined to this one by
# a veth pair. Sourced, never run, by tests that already run inside tests/sandbox:
#
#   source tests/tools/netns_rig.sh
#   rig_up                      tq0 here (10.77.0.1/24) <-> tq1 in tqpeer (10.77.0.2/24), all up
#   in_peer <command> [args...] runs the command in tqpeer
#   rig_down                    removes the pair and the namespace
#
# Each function returns non-zero with a message on stderr when it fails. rig_up and rig_down
# may be called again at any time; they finish what is missing and leave the rest.
#
# The namespace's name lives in /run/netns, which inside the sandbox is on the sandbox's own
# /run tmpfs, so the host never sees it and it is gone with the sandbox even if rig_down never
# runs.

RIG_PEER_NS=tqpeer
RIG_LOCAL_IF=tq0
RIG_PEER_IF=tq1
RIG_LOCAL_ADDR=10.77.0.1
RIG_PEER_ADDR=10.77.0.2
RIG_PREFIX=24

rig_fail() {
    echo "netns_rig: $*" >&2
    return 1
}

# The same checks as the sandbox's own: its marker alone could be inherited or forged on the
# host, where adding links and namespaces would change the host's network.
rig_inside_sandbox() {
    [[ ${TQ_SANDBOX:-} == 1 ]] ||
        rig_fail "refused: not inside tests/sandbox (TQ_SANDBOX is not 1)" || return
    [[ -n ${TQ_SANDBOX_HOST_NETNS:-} ]] ||
        rig_fail "refused: not inside tests/sandbox (host namespace unknown)" || return
    [[ $(readlink /proc/self/ns/net) != "$TQ_SANDBOX_HOST_NETNS" ]] ||
        rig_fail "refused: this is the host's network namespace" || return
}

rig_peer_exists() {
    [[ -e /run/netns/$RIG_PEER_NS ]]
}

in_peer() {
    rig_inside_sandbox || return
    [[ $# -gt 0 ]] || rig_fail "usage: in_peer <command> [args...]" || return
    ip netns exec "$RIG_PEER_NS" "$@"
}

rig_up() {
    rig_inside_sandbox || return
    if ! rig_peer_exists; then
        ip netns add "$RIG_PEER_NS" || rig_fail "cannot add namespace $RIG_PEER_NS" || return
    fi
    # A tq0 left from a half-done run whose other end is not in the peer is made again.
    if ip link show dev "$RIG_LOCAL_IF" >/dev/null 2>&1 &&
        ! ip -n "$RIG_PEER_NS" link show dev "$RIG_PEER_IF" >/dev/null 2>&1; then
        ip link del dev "$RIG_LOCAL_IF" || rig_fail "cannot remove stale $RIG_LOCAL_IF" || return
    fi
    if ! ip link show dev "$RIG_LOCAL_IF" >/dev/null 2>&1; then
        ip link add "$RIG_LOCAL_IF" type veth peer name "$RIG_PEER_IF" netns "$RIG_PEER_NS" ||
            rig_fail "cannot add veth pair $RIG_LOCAL_IF/$RIG_PEER_IF" || return
    fi
    # replace, not add: a second rig_up must not fail on an address already there.
    ip addr replace "$RIG_LOCAL_ADDR/$RIG_PREFIX" dev "$RIG_LOCAL_IF" &&
        ip link set dev "$RIG_LOCAL_IF" up &&
        ip -n "$RIG_PEER_NS" addr replace "$RIG_PEER_ADDR/$RIG_PREFIX" dev "$RIG_PEER_IF" &&
        ip -n "$RIG_PEER_NS" link set dev "$RIG_PEER_IF" up &&
        ip -n "$RIG_PEER_NS" link set dev lo up ||
        rig_fail "cannot configure $RIG_LOCAL_IF/$RIG_PEER_IF" || return
    rig_wait_for_carrier
}

# A veth pair passes traffic only once both ends report a carrier, which comes a moment after
# "up"; a test sending at once would lose its first packets. Asked of ip rather than /sys, which
# in the sandbox still shows the host's links. Bounded to about thirty seconds, a guard against a
# hang only: beside other builds the carrier can take seconds.
rig_wait_for_carrier() {
    local attempt
    for ((attempt = 0; attempt < 1500; ++attempt)); do
        if ip -o link show dev "$RIG_LOCAL_IF" 2>/dev/null | grep -q ' state UP ' &&
            ip -n "$RIG_PEER_NS" -o link show dev "$RIG_PEER_IF" 2>/dev/null |
            grep -q ' state UP '; then
            return 0
        fi
        sleep 0.02
    done
    rig_fail "$RIG_LOCAL_IF/$RIG_PEER_IF did not come up"
}

rig_down() {
    rig_inside_sandbox || return
    # Deleting one end removes both; done before the namespace so no link outlives it, since
    # the kernel frees a deleted namespace's links only some time later.
    if ip link show dev "$RIG_LOCAL_IF" >/dev/null 2>&1; then
        ip link del dev "$RIG_LOCAL_IF" || rig_fail "cannot remove $RIG_LOCAL_IF" || return
    fi
    if rig_peer_exists; then
        ip netns del "$RIG_PEER_NS" || rig_fail "cannot remove namespace $RIG_PEER_NS" || return
    fi
}
