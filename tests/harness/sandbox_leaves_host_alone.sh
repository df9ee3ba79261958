#!/usr/bin/env bash
# Changes the firewall and writes into every folder the sandbox covers from inside
# tests/sandbox, then checks that the host's firewall, network namespace and folders are as
# they were, and that the sandbox passes its command's exit status through.
#
#   sandbox_leaves_host_alone.sh [path/to/tests/sandbox]
#
# Exits 77 (skipped) when not root, since the sandbox needs root.
set -euo pipefail

sandbox=${1:-$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)/sandbox}

if [[ $(id -u) -ne 0 ]]; then
    echo "sandbox_leaves_host_alone: skipped: the sandbox needs root" >&2
    exit 77
fi

readonly probe=sandbox-probe-$$
readonly covered=(/opt/Varnik /var/Varnik /etc/wz.d /run)

# Only reads the host: iptables -S lists, it changes nothing.
host_facts() {
    /usr/sbin/iptables -S
    readlink /proc/self/ns/net
    local path
    for path in "${covered[@]}"; do
        if [[ -e $path || -L $path ]]; then echo "$path exists"; else echo "$path missing"; fi
        if [[ -e $path/$probe ]]; then echo "$path/$probe exists"; fi
    done
}

fail() {
    echo "sandbox_leaves_host_alone: FAIL: $*" >&2
    exit 1
}

before=$(host_facts)

# The probe's own checks make sure the changes really happened inside, so an unchanged host is
# not just the result of a probe that did nothing. The single quotes are meant: the script runs
# inside the sandbox and gets the probe name as $1.
# shellcheck disable=SC2016
"$sandbox" sh -euc '
    /opt/Varnik/kyv/fw/bin/iptables -N TQ_SANDBOX_PROBE
    /opt/Varnik/kyv/fw/bin/iptables -A TQ_SANDBOX_PROBE -j DROP
    /opt/Varnik/kyv/fw/bin/iptables -P OUTPUT DROP
    for dir in /opt/Varnik /var/Varnik /etc/wz.d /run; do
        echo probe > "$dir/$1"
    done
    /usr/sbin/iptables -S | grep -qx -- "-P OUTPUT DROP"
    /usr/sbin/iptables -S | grep -qx -- "-A TQ_SANDBOX_PROBE -j DROP"
' sh "$probe" || fail "the probe command failed inside the sandbox (exit $?)"

after=$(host_facts)
if [[ $before != "$after" ]]; then
    diff <(echo "$before") <(echo "$after") >&2 || true
    fail "the host changed while the sandbox ran"
fi

status=0
"$sandbox" sh -c 'exit 3' || status=$?
[[ $status -eq 3 ]] || fail "tests/sandbox sh -c 'exit 3' exited $status"

echo "sandbox_leaves_host_alone: host unchanged"
