#!/usr/bin/env bash
# Runs inside tests/sandbox: builds the peer namespace with netns_rig.sh and sends UDP, TCP and
# raw IPv4 traffic across it with tq-traffic in both directions, as the firewall tests will.
#
#   tests/sandbox bash netns_rig_test.sh path/to/tq-traffic
#
# Exit status 0 when every check passed, 1 otherwise.
set -uo pipefail

[[ $# -eq 1 ]] || { echo "usage: netns_rig_test.sh path/to/tq-traffic" >&2; exit 1; }
tool=$1

# shellcheck source=netns_rig.sh
source "$(dirname -- "${BASH_SOURCE[0]}")/netns_rig.sh"

# On the sandbox's own /run, so nothing is left on the host's disk.
work=$(mktemp -d /run/netns_rig_test.XXXXXX) || exit 1
failures=0
declare -A receivers=()

cleanup() {
    local name
    for name in "${!receivers[@]}"; do
        kill "${receivers[$name]}" 2>/dev/null
        wait "${receivers[$name]}" 2>/dev/null
    done
    rig_down >/dev/null 2>&1
    rm -rf -- "$work"
}
trap cleanup EXIT

# check <what> <expected status> <command...>
check() {
    local what=$1 want=$2 got=0
    shift 2
    "$@" || got=$?
    if [[ $got -eq $want ]]; then
        echo "ok: $what"
    else
        echo "FAIL: $what: exit status $got, expected $want" >&2
        failures=$((failures + 1))
    fi
}

# check_output <what> <file> <extended regex> <expected number of matching lines>
check_output() {
    local what=$1 file=$2 pattern=$3 want=$4 got
    got=$(grep -cE -- "$pattern" "$file")
    if [[ $got -eq $want ]]; then
        echo "ok: $what"
    else
        echo "FAIL: $what: $got lines match '$pattern', expected $want; output was:" >&2
        cat -- "$file" >&2
        failures=$((failures + 1))
    fi
}

# start_receiver <name> <command...>: runs a receiver in the background and waits for its
# "ready" line, so the sender after it cannot be too early; at most thirty seconds, a guard
# against a hang only.
start_receiver() {
    local name=$1 attempt
    shift
    "$@" >"$work/$name.out" 2>"$work/$name.err" &
    receivers[$name]=$!
    for ((attempt = 0; attempt < 1500; ++attempt)); do
        grep -q '^ready ' "$work/$name.out" && return 0
        kill -0 "${receivers[$name]}" 2>/dev/null || break
        sleep 0.02
    done
    echo "$name did not get ready: $(cat -- "$work/$name.err")" >&2
    return 1
}

# finish_receiver <name>: the receiver's exit status.
finish_receiver() {
    local name=$1 status=0
    wait "${receivers[$name]}" || status=$?
    unset "receivers[$name]"
    [[ $status -eq 0 ]] || cat -- "$work/$name.err" >&2
    return "$status"
}

# run_to <file> <command...>: the command with its standard output in the file.
run_to() {
    local file=$1
    shift
    "$@" >"$file"
}

link_exists() {
    ip link show dev "$1" >/dev/null 2>&1
}

# The marker the sandbox sets is what lets the rig change links and namespaces. The single
# quotes are meant: the inner shell gets the rig's path as $1.
# shellcheck disable=SC2016
check "rig_up refuses without the sandbox marker" 1 env -u TQ_SANDBOX bash -c \
    'source "$1" && rig_up' bash "$(dirname -- "${BASH_SOURCE[0]}")/netns_rig.sh"
check "nothing was built by the refused rig_up" 1 test -e /run/netns/tqpeer

check "rig_up" 0 rig_up
check "rig_up again" 0 rig_up
ip -4 -o addr show dev tq0 >"$work/tq0.addr"
check_output "tq0 has its address once" "$work/tq0.addr" ' 10\.77\.0\.1/24 ' 1

# Every receiver and sender may take twenty seconds (the tool's own default is two): a guard
# against a hang only, since beside other builds an exchange can take seconds. A refusal comes
# back at once whatever the bound.
echo "--- UDP from here to the peer"
check "udp-echo in the peer gets ready" 0 start_receiver udp-echo \
    in_peer "$tool" udp-echo 10.77.0.2 7000 --count 3 --timeout 20000
check "udp-send gets every echo" 0 \
    "$tool" udp-send 10.77.0.2 7000 --from 10.77.0.1 --count 3 --expect-reply --timeout 20000
check "udp-echo ends after three" 0 finish_receiver udp-echo
check_output "udp-echo saw this side" "$work/udp-echo.out" '^peer 10\.77\.0\.1:' 3

echo "--- TCP from here to the peer"
check "tcp-listen in the peer gets ready" 0 start_receiver tcp-peer \
    in_peer "$tool" tcp-listen 10.77.0.2 7001 --timeout 20000
check "tcp-connect to the peer" 0 \
    run_to "$work/connect-peer.out" "$tool" tcp-connect 10.77.0.2 7001 --timeout 20000
check_output "tcp-connect got the greeting" "$work/connect-peer.out" '^ok$' 1
check "tcp-listen in the peer ends" 0 finish_receiver tcp-peer
check_output "the peer saw this side" "$work/tcp-peer.out" '^peer 10\.77\.0\.1:' 1

echo "--- TCP from the peer to here"
check "tcp-listen here gets ready" 0 start_receiver tcp-here \
    "$tool" tcp-listen 10.77.0.1 7002 --timeout 20000
check "tcp-connect from the peer" 0 \
    run_to "$work/connect-here.out" in_peer "$tool" tcp-connect 10.77.0.1 7002 --timeout 20000
check_output "tcp-connect from the peer got the greeting" "$work/connect-here.out" '^ok$' 1
check "tcp-listen here ends" 0 finish_receiver tcp-here
check_output "this side saw the peer" "$work/tcp-here.out" '^peer 10\.77\.0\.2:' 1

check "tcp-connect to a closed port in the peer is refused" 1 \
    "$tool" tcp-connect 10.77.0.2 7003 --timeout 20000

echo "--- raw IPv4 protocol 47 from here to the peer"
check "raw-recv in the peer gets ready" 0 start_receiver raw \
    in_peer "$tool" raw-recv 10.77.0.2 --protocol 47 --timeout 20000
check "raw-send" 0 "$tool" raw-send 10.77.0.2 --protocol 47 --from 10.77.0.1 --timeout 20000
check "raw-recv got it" 0 finish_receiver raw
check_output "raw-recv saw this side" "$work/raw.out" '^peer 10\.77\.0\.1:' 1

check "rig_down" 0 rig_down
check "the peer namespace is gone" 1 test -e /run/netns/tqpeer
check "tq0 is gone" 1 link_exists tq0
check "rig_down again" 0 rig_down

if [[ $failures -ne 0 ]]; then
    echo "netns_rig_test: $failures check(s) failed" >&2
    exit 1
fi
echo "netns_rig_test: all checks passed"
