#!/usr/bin/env bash
# Runs a command inside user-mode Linux, which has the CAN stack this host's
# kernel lacks: the CAN modules are loaded and vcan0..vcan3 are up (the
# netem and CAN gateway modules are loaded too, for fault tests). The host's
# file system is the root inside, so paths, the working folder and the
# environment are the caller's.
#
#   scripts/uml-can.sh CMD [ARG...]
#
# Standard output and error of CMD are passed on (after it ended) and its exit
# status is returned. Where the kernel cannot start (no user-mode Linux
# installed, or it does not boot here), one line says so and the exit status
# is 77, which CTest counts as a skip (SKIP_RETURN_CODE 77).
#
# OSTRELO_UML_MEM (default 768M) sets the kernel's memory, OSTRELO_UML_TIMEOUT
# (seconds, default 600) ends a kernel that runs longer, as a failure.
set -uo pipefail

if [ "$#" -eq 0 ]; then
    echo "usage: scripts/uml-can.sh CMD [ARG...]" >&2
    exit 2
fi

skip() {
    echo "uml-can: SKIPPED: $*"
    exit 77
}

kernel="$(command -v linux.uml || true)"
[ -n "$kernel" ] || skip "user-mode Linux is not installed (scripts/install-deps.sh installs user-mode-linux)"
moddir=""
for d in /usr/lib/uml/modules/*/kernel; do
    [ -f "$d/net/can/can.ko" ] && moddir="$d"
done
[ -n "$moddir" ] || skip "user-mode Linux has no CAN modules under /usr/lib/uml/modules"

work="$(mktemp -d "${TMPDIR:-/tmp}/ostrelo-uml.XXXXXX")"
uml_pid=""
# The kernel runs in a process group of its own: ending it ends its helper
# processes too, which outlive a kernel process that is killed alone.
end_kernel() {
    kill -KILL -- "-$uml_pid" 2>/dev/null
    wait "$uml_pid" 2>/dev/null
}
cleanup() {
    if [ -n "$uml_pid" ]; then
        end_kernel
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The caller's environment, working folder and command, for the init script.
export -p >"$work/env"
printf 'cd %q\n' "$PWD" >"$work/cmd"
printf '%q ' "$@" >>"$work/cmd"
echo >>"$work/cmd"

cat >"$work/init" <<EOF
#!/bin/bash
# PID 1 of the user-mode kernel: set up CAN, run the command, power off.
W=$work
M=$moddir
EOF
cat >>"$work/init" <<'EOF'
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
: >"$W/booted"
off() {
    sync
    echo o >/proc/sysrq-trigger
    sleep 10
}
setup() {
    mount -t proc proc /proc && mount -t sysfs sysfs /sys || return 1
    mount -t tmpfs tmpfs /dev/shm 2>/dev/null
    mount -t tmpfs tmpfs /run 2>/dev/null
    ip link set lo up
    # vcan with echo=1 hands a frame to the other sockets only after it has
    # passed the interface's queue, as a real controller does: so a netem
    # qdisc on it loses, duplicates and reorders what the other side sees.
    for m in net/can/can.ko net/can/can-raw.ko drivers/net/can/dev/can-dev.ko "drivers/net/can/vcan.ko echo=1" \
        drivers/net/can/vxcan.ko net/can/can-gw.ko net/sched/sch_netem.ko; do
        set -- $m
        insmod "$M/$1" "${@:2}" || { echo "cannot load $m"; return 1; }
    done
    for i in 0 1 2 3; do
        ip link add dev "vcan$i" type vcan && ip link set up "vcan$i" || return 1
    done
}
if ! setup >"$W/setup.log" 2>&1; then
    echo failed >"$W/setup-failed"
    off
fi
(
    source "$W/env"
    export PATH="$PATH:/usr/sbin:/sbin"
    export HOME="${HOME:-/root}"
    source "$W/cmd"
) </dev/null >"$W/out" 2>"$W/err"
echo $? >"$W/status"
off
EOF
chmod +x "$work/init"

mem="${OSTRELO_UML_MEM:-768M}"
limit="${OSTRELO_UML_TIMEOUT:-600}"
# The kernel's console goes to a log, shown when it does not boot.
# Its memory lives in a file: in /dev/shm where there is one.
memdir="$work"
[ -d /dev/shm ] && [ -w /dev/shm ] && memdir=/dev/shm
TMPDIR="$memdir" setsid "$kernel" mem="$mem" root=/dev/root rootfstype=hostfs rootflags=/ rw \
    init="$work/init" umid="ostrelo-$$-$RANDOM" uml_dir="$work" quiet \
    con=null con0=null,fd:1 </dev/null >"$work/console" 2>&1 &
uml_pid=$!
waited=0
while kill -0 "$uml_pid" 2>/dev/null; do
    if [ "$waited" -ge $((limit * 5)) ]; then
        end_kernel
        uml_pid=""
        [ -f "$work/out" ] && cat "$work/out"
        [ -f "$work/err" ] && cat "$work/err" >&2
        echo "uml-can: the command ran longer than ${limit} s; ended" >&2
        exit 1
    fi
    sleep 0.2
    waited=$((waited + 1))
done
wait "$uml_pid" 2>/dev/null
uml_pid=""

[ -f "$work/out" ] && cat "$work/out"
[ -f "$work/err" ] && cat "$work/err" >&2
if [ ! -f "$work/booted" ]; then
    skip "user-mode Linux does not start here ($(grep -v '^$' "$work/console" | tail -1))"
fi
if [ -f "$work/setup-failed" ]; then
    echo "uml-can: the CAN interfaces could not be set up in user-mode Linux:" >&2
    cat "$work/setup.log" >&2
    exit 1
fi
if [ ! -f "$work/status" ]; then
    echo "uml-can: the kernel stopped before the command ended" >&2
    tail -5 "$work/console" >&2
    exit 1
fi
exit "$(cat "$work/status")"
