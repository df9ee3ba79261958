# Shell helpers of the benchmark runners: install the build into the sandbox, write settings,
# start and stop the platform service and tqd, wait for the daemon's chains. Sourced by
# bench/*/run; every function refuses to run outside tests/sandbox.

bin=/opt/Varnik/kyv/fw/bin
prefs=/var/Varnik/kyv/fw/prefs.xml
spool=/var/Varnik/kyv/fw/agent
daemon_log=/var/Varnik/kyv/log/fw/tqd.log
zav_socket=/var/Varnik/kyv/zav/zavsocket
# The listing program of the backend under test; the push benchmark switches it.
ipt_list=${ipt_list:-/usr/sbin/iptables}
broker_pid=
daemon_pid=

bench_fail() { echo "bench: $*" >&2; exit 1; }

bench_require_sandbox() {
    [[ ${TQ_SANDBOX:-} == 1 ]] || bench_fail "not inside tests/sandbox"
}

# Re-runs the calling script inside a fresh sandbox unless it already runs in one.
bench_enter_sandbox() {
    local script=$1 root=$2
    shift 2
    if [[ ${TQ_SANDBOX:-} != 1 ]]; then
        exec "$root/tests/sandbox" "$script" "$@"
    fi
}

bench_install() {
    bench_require_sandbox
    cmake --install "$1" >/dev/null
}

# Settings: the shipped template with the firewall on or off, FTP inspection off (it would load
# a kernel module on the shared kernel) and the given log level; a managed agent spool.
bench_prepare() {
    local enabled=$1 log_level=${2:-5}
    bench_require_sandbox
    sed -e "s|<IsFirewallEnabled>[01]<|<IsFirewallEnabled>$enabled<|" \
        -e 's|<UseFTPinspection>1<|<UseFTPinspection>0<|' \
        -e "s|<FirewallLogLevel>[0-9]*<|<FirewallLogLevel>$log_level<|g" \
        /opt/Varnik/kyv/fw/etc/prefs.xml > "$prefs"
    chmod 0600 "$prefs"
    mkdir -p -m 0700 "$spool/policy.d"
    echo 'managed_mode=1' > "$spool/agent.conf"
    echo '6|mgmt-server|10.20.30.40|443|8443' > "$spool/sitelist.conf"
}

bench_start_broker() {
    bench_require_sandbox
    "$bin/zavbrokerd" 2>/tmp/zavbrokerd.err &
    broker_pid=$!
    for _ in $(seq 50); do [[ -S $zav_socket ]] && return 0; sleep 0.1; done
    bench_fail "the platform service did not start"
}

bench_start_daemon() {
    bench_require_sandbox
    "$bin/tqd" >/tmp/tqd.out 2>&1 &
    daemon_pid=$!
}

# The number of "-A" lines of the listing; reads it whole (no early exit into SIGPIPE).
bench_rule_lines() { "$ipt_list" -S 2>/dev/null | grep -c '^-A' || true; }

# Waits until both policies are DROP and the rule count stayed the same for a second, which
# covers the start-up push of a large store.
bench_wait_enforcement() {
    local timeout=$1 last=-1 stable=0 count listing
    for _ in $(seq $((timeout * 2))); do
        listing=$("$ipt_list" -S 2>/dev/null)
        if grep -c -- '^-P INPUT DROP' <<<"$listing" >/dev/null &&
           grep -c -- '^-P OUTPUT DROP' <<<"$listing" >/dev/null; then
            count=$(grep -c '^-A' <<<"$listing" || true)
            if [[ $count == "$last" ]]; then
                stable=$((stable + 1))
                [[ $stable -ge 2 ]] && return 0
            else
                stable=0
            fi
            last=$count
        fi
        sleep 0.5
    done
    bench_fail "tqd did not enforce within $timeout s"
}

bench_stop_daemon() {
    if [[ -n $daemon_pid ]]; then
        kill -TERM "$daemon_pid" 2>/dev/null || true
        wait "$daemon_pid" 2>/dev/null || true
        daemon_pid=
    fi
}

bench_stop_all() {
    bench_stop_daemon
    if [[ -n $broker_pid ]]; then
        kill -TERM "$broker_pid" 2>/dev/null || true
        wait "$broker_pid" 2>/dev/null || true
        broker_pid=
    fi
}

# Seconds since the epoch with nanoseconds, for wall times taken around whole processes.
bench_now() { date +%s.%N; }
