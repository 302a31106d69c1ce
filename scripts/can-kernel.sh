#!/usr/bin/env bash
# Runs a command inside a Linux kernel that has the CAN stack this host's
# kernel lacks: the CAN modules are loaded and vcan0..vcan3 are up (the netem
# and CAN gateway modules are loaded too, for fault tests). The host's file
# system is the root inside, so paths, the working folder and the environment
# are the caller's.
#
#   scripts/can-kernel.sh CMD [ARG...]
#   scripts/can-kernel.sh --fetch     (run by scripts/install-deps.sh)
#
# The kernel (OSTRELO_CAN_KERNEL):
#   auto (default)  Debian's user-mode Linux where it starts; on hosts where it
#                   does not (it panics on CPUs with a large XSAVE area), Debian's
#                   own kernel under qemu-system-x86_64 with TCG
#   uml             user-mode Linux only
#   qemu            the kernel under QEMU only. Ask for it where the command
#                   needs what user-mode Linux has not: there hid, uhid,
#                   hid-generic (and hidraw where it is a module) are loaded and
#                   devtmpfs is on /dev, so /dev/uhid is there and a device made
#                   through it appears as /dev/hidraw0.
# Under QEMU the host's root comes in over 9p (virtio), through a small
# initramfs made here of busybox-static and the virtio and 9p modules.
# --fetch puts the kernel's image and the modules needed here, unpacked from
# Debian's package (apt-get download + dpkg-deb -x: no kernel hooks run on the
# host), into OSTRELO_KERNEL_CACHE (default /var/cache/ostrelo/kernel as root,
# else ~/.cache/ostrelo/kernel); it does nothing when they are there.
#
# One line says which kernel ran ("can-kernel: ran in ..."); then the command's
# standard output and error are passed on (after it ended) and its exit status
# is returned. The command sees the kernel's name in OSTRELO_KERNEL. Where no
# kernel can start, one line says why and the exit status is 1.
#
# OSTRELO_KERNEL_MEM (default 1024M) sets the kernel's memory,
# OSTRELO_KERNEL_CPUS (default 1) QEMU's processors, OSTRELO_KERNEL_TIMEOUT
# (seconds, default 600) ends a kernel that runs longer, as a failure.
set -uo pipefail

# Modules of the QEMU route's initramfs, and those loaded before the command
# ("name args"; a trailing ? marks one loaded only where it is a module).
BOOT_MODULES=(virtio_pci 9pnet_virtio 9p)
# vcan with echo=1 hands a frame to the other sockets only after it has
# passed the interface's queue, as a real controller does: so a netem qdisc
# on it loses, duplicates and reorders what the other side sees.
CAN_MODULES=(can can-raw can-dev "vcan echo=1" vxcan can-gw sch_netem)
HID_MODULES=(hid uhid hid-generic "hidraw?")

cache="${OSTRELO_KERNEL_CACHE:-}"
if [ -z "$cache" ]; then
    if [ "$(id -u)" -eq 0 ]; then
        cache=/var/cache/ostrelo/kernel
    else
        cache="${XDG_CACHE_HOME:-$HOME/.cache}/ostrelo/kernel"
    fi
fi

# Prints the files of modules ENTRY... (as named in DIR/modules.dep), each
# after what it needs and each once, with its arguments; fails naming a
# module that is neither there nor built in.
module_order() {
    local dir="$1" entry name args line file i
    shift
    local -A seen=()
    local -a deps
    for entry in "$@"; do
        name="${entry%% *}"
        args=""
        [ "$entry" = "$name" ] || args="${entry#* }"
        local optional=0
        if [ "${name%\?}" != "$name" ]; then
            optional=1
            name="${name%\?}"
        fi
        line="$(grep -m1 -E "(^|/)${name}\.ko(\.[a-z]+)?:" "$dir/modules.dep")"
        if [ -z "$line" ]; then
            if [ "$optional" = 1 ] || grep -q -E "(^|/)${name}\.ko$" "$dir/modules.builtin" 2>/dev/null; then
                continue
            fi
            echo "has no module $name in $dir" >&2
            return 1
        fi
        file="${line%%:*}"
        read -ra deps <<<"${line#*:}"
        for ((i = ${#deps[@]} - 1; i >= 0; i--)); do
            if [ -z "${seen[${deps[i]}]:-}" ]; then
                seen[${deps[i]}]=1
                echo "${deps[i]}"
            fi
        done
        if [ -z "${seen[$file]:-}" ]; then
            seen[$file]=1
            echo "$file${args:+ $args}"
        fi
    done
}

# The unpacked kernel under the cache: sets kver and kdir, or fails.
find_cached_kernel() {
    kdir="$(readlink -f "$cache/current" 2>/dev/null)"
    kver="$(basename "$kdir" 2>/dev/null)"
    [ -n "$kdir" ] && [ -f "$kdir/vmlinux" ] && [ -f "$kdir/lib/modules/$kver/modules.dep" ]
}

fetch() {
    if find_cached_kernel; then
        echo "can-kernel: kernel $kver for QEMU present in $cache"
        return 0
    fi
    local pkg tmp
    pkg="$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -1)"
    if [ -z "$pkg" ]; then
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo=sudo
        $sudo apt-get update -qq || return 1
        pkg="$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -1)"
    fi
    [ -n "$pkg" ] || {
        echo "can-kernel: apt knows no package linux-image-amd64" >&2
        return 1
    }
    mkdir -p "$cache" || return 1
    tmp="$(mktemp -d "$cache/.fetch.XXXXXX")" || return 1
    echo "can-kernel: fetching $pkg for QEMU into $cache"
    unpack "$pkg" "$tmp"
    local rc=$?
    rm -rf "$tmp"
    [ "$rc" -eq 0 ] && find_cached_kernel && echo "can-kernel: kernel $kver for QEMU unpacked into $cache"
}

# Downloads and unpacks package $1 in the scratch folder $2, then moves what
# is used here into the cache.
unpack() {
    local pkg="$1" tmp="$2"
    if ! (cd "$tmp" && apt-get download -qq -o APT::Sandbox::User=root "$pkg" && dpkg-deb -x ./*.deb unpacked); then
        echo "can-kernel: could not fetch $pkg" >&2
        return 1
    fi
    local u="$tmp/unpacked" v out
    v="$(basename "$(ls -d "$u"/lib/modules/*/ | head -1)")"
    out="$tmp/$v"
    mkdir -p "$out/lib/modules/$v"
    cp "$u/boot/vmlinuz-$v" "$out/vmlinuz" || return 1
    # The image unpacked, for QEMU's direct (PVH) start: unpacking it in the
    # emulated machine at every start takes seconds.
    local at
    at="$(tr '\375\n' '\n\375' <"$out/vmlinuz" | grep -abo '^7zXZ' | head -1 | cut -d: -f1)"
    [ -n "$at" ] && tail -c "+$at" "$out/vmlinuz" | xz -dcq >"$out/vmlinux" 2>/dev/null
    if [ "$(head -c 4 "$out/vmlinux" | od -An -c | tr -d ' ')" != '177ELF' ]; then
        echo "can-kernel: cannot unpack the kernel image of $pkg (not an xz-packed image)" >&2
        return 1
    fi
    rm "$out/vmlinuz"
    cp "$u/boot/config-$v" "$out/config"
    cp "$u/lib/modules/$v"/modules.{order,builtin,builtin.modinfo} "$out/lib/modules/$v/"
    depmod -b "$u" "$v" || return 1
    # Only the modules used here (about 2 MB of the package's 400).
    local files f
    files="$(module_order "$u/lib/modules/$v" "${BOOT_MODULES[@]}" "${CAN_MODULES[@]}" "${HID_MODULES[@]}")" ||
        return 1
    while read -r f _; do
        mkdir -p "$out/lib/modules/$v/$(dirname "$f")"
        cp "$u/lib/modules/$v/$f" "$out/lib/modules/$v/$f" || return 1
    done <<<"$files"
    depmod -b "$out" "$v" || return 1
    # Another fetch may have finished meanwhile: either result serves.
    rm -rf "${cache:?}/$v"
    mv "$out" "$cache/$v" && ln -sfn "$v" "$cache/current"
}

if [ "${1:-}" = "--fetch" ]; then
    fetch
    exit $?
fi
if [ "$#" -eq 0 ]; then
    echo "usage: scripts/can-kernel.sh CMD [ARG...] | --fetch" >&2
    exit 2
fi
mode="${OSTRELO_CAN_KERNEL:-auto}"
case "$mode" in
auto | uml | qemu) ;;
*)
    echo "can-kernel: OSTRELO_CAN_KERNEL must be auto, uml or qemu, not '$mode'" >&2
    exit 2
    ;;
esac

work="$(mktemp -d "${TMPDIR:-/tmp}/ostrelo-kernel.XXXXXX")"
pid=""
# The kernel runs in a process group of its own: ending it ends its helper
# processes too, which outlive a kernel process that is killed alone.
end_kernel() {
    kill -KILL -- "-$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    pid=""
}
cleanup() {
    [ -z "$pid" ] || end_kernel
    rm -rf "$work"
}
# Ended from outside (a test's time limit): what the command wrote so far,
# and the kernel's last words, say where it was.
interrupted() {
    [ ! -f "$work/out" ] || cat "$work/out"
    [ ! -f "$work/err" ] || cat "$work/err" >&2
    echo "can-kernel: ended by a signal while the command ran; the kernel's console ends:" >&2
    tail -5 "$work/console" >&2 2>/dev/null
    exit "$1"
}
trap cleanup EXIT
trap 'interrupted 130' INT
trap 'interrupted 143' TERM

# The caller's environment, working folder and command, for the init script.
export -p >"$work/env"
printf 'cd %q\n' "$PWD" >"$work/cmd"
printf '%q ' "$@" >>"$work/cmd"
echo >>"$work/cmd"

# PID 1 of either kernel, once the host's root is its root: loads the modules
# named in $W/modules ("file args" under $W/moddir), brings up vcan0..vcan3
# (what the QEMU route's initramfs has not done already), runs the command,
# powers off.
cat >"$work/init" <<EOF
#!/bin/bash
W=$work
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
    [ -d /proc/self ] || mount -t proc proc /proc || return 1
    [ -d /sys/class ] || mount -t sysfs sysfs /sys || return 1
    mkdir -p /dev/shm
    mount -t tmpfs tmpfs /dev/shm 2>/dev/null
    mount -t tmpfs tmpfs /run 2>/dev/null
    mount -t tracefs tracefs /sys/kernel/tracing 2>/dev/null
    [ ! -f "$W/initramfs.log" ] || cat "$W/initramfs.log"
    ip link set lo up
    local M f args
    M="$(cat "$W/moddir")"
    while read -r f args; do
        # shellcheck disable=SC2086
        insmod "$M/$f" $args || { echo "cannot load $f"; return 1; }
    done <"$W/modules"
    for i in 0 1 2 3; do
        [ -d "/sys/class/net/vcan$i" ] || ip link add dev "vcan$i" type vcan || return 1
        ip link set up "vcan$i" || return 1
    done
    if [ -f "$W/devtmpfs" ] && [ ! -c /dev/uhid ]; then
        echo "no /dev/uhid"
        return 1
    fi
    # shellcheck disable=SC2059
    printf "$(cat "$W/name")\n" "$(uname -r)" >"$W/kernel"
}
if ! setup >"$W/setup.log" 2>&1; then
    echo failed >"$W/setup-failed"
    off
fi
(
    source "$W/env"
    export PATH="$PATH:/usr/sbin:/sbin"
    export HOME="${HOME:-/root}"
    OSTRELO_KERNEL="$(cat "$W/kernel")"
    export OSTRELO_KERNEL
    source "$W/cmd"
) </dev/null >"$W/out" 2>"$W/err"
echo $? >"$W/status"
off
EOF
chmod +x "$work/init"

mem="${OSTRELO_KERNEL_MEM:-1024M}"
limit="${OSTRELO_KERNEL_TIMEOUT:-600}"

# Waits for the kernel started as $pid; 1 when it ran past the limit. Once
# the command has ended, the kernel has 30 s to power off before it is ended
# (the command's result stands).
wait_kernel() {
    local waited=0 after=0
    while kill -0 "$pid" 2>/dev/null; do
        if [ -f "$work/status" ] || [ -f "$work/setup-failed" ]; then
            after=$((after + 1))
            if [ "$after" -ge 150 ]; then
                end_kernel
                return 0
            fi
        elif [ "$waited" -ge $((limit * 5)) ]; then
            end_kernel
            return 1
        fi
        sleep 0.2
        waited=$((waited + 1))
    done
    wait "$pid" 2>/dev/null
    pid=""
    return 0
}

# Why a kernel did not start, from its console: the first line that says
# something failed, else the last line.
last_words() {
    local text
    text="$(cat "$@" 2>/dev/null | tr -d '\r' | grep -a -v '^[[:space:]]*$')"
    { grep -a -m1 -i 'fail' <<<"$text" || tail -1 <<<"$text"; } | head -1
}

# Each start_* sets `why` and fails when its kernel cannot be started at all;
# else it runs the kernel to its end (0) or past the time limit (1).
start_uml() {
    local kernel moddir="" d
    kernel="$(command -v linux.uml)"
    [ -n "$kernel" ] || {
        why="is not installed (scripts/install-deps.sh installs user-mode-linux)"
        return 2
    }
    for d in /usr/lib/uml/modules/*; do
        [ -f "$d/modules.dep" ] && moddir="$d"
    done
    [ -n "$moddir" ] || {
        why="has no modules under /usr/lib/uml/modules"
        return 2
    }
    module_order "$moddir" "${CAN_MODULES[@]}" >"$work/modules" 2>"$work/why" || {
        why="$(cat "$work/why")"
        return 2
    }
    echo "$moddir" >"$work/moddir"
    echo "user-mode Linux %s" >"$work/name"
    rm -f "$work/devtmpfs"
    # Its memory lives in a file: in /dev/shm where there is one.
    local memdir="$work"
    [ -d /dev/shm ] && [ -w /dev/shm ] && memdir=/dev/shm
    TMPDIR="$memdir" setsid "$kernel" mem="$mem" root=/dev/root rootfstype=hostfs rootflags=/ rw \
        init="$work/init" umid="ostrelo-$$-$RANDOM" uml_dir="$work" quiet \
        con=null con0=null,fd:1 </dev/null >"$work/console" 2>&1 &
    pid=$!
    wait_kernel
}

start_qemu() {
    local qemu bb f
    qemu="$(command -v qemu-system-x86_64)"
    bb="$(command -v busybox)"
    if [ -z "$qemu" ] || [ -z "$bb" ]; then
        why="or busybox is missing (scripts/install-deps.sh installs qemu-system-x86 and busybox-static)"
        return 2
    fi
    if ldd "$bb" >/dev/null 2>&1; then
        why="needs the static busybox, $bb is not (scripts/install-deps.sh installs busybox-static)"
        return 2
    fi
    find_cached_kernel || {
        why="has no kernel in $cache (scripts/install-deps.sh fetches it)"
        return 2
    }
    local md="$kdir/lib/modules/$kver" ird="$work/initramfs"
    {
        module_order "$md" "${BOOT_MODULES[@]}" >"$work/boot-modules" &&
            module_order "$md" "${CAN_MODULES[@]}" >"$work/more-modules" &&
            module_order "$md" "${HID_MODULES[@]}" >>"$work/more-modules"
    } 2>"$work/why" || {
        why="$(cat "$work/why")"
        return 2
    }
    : >"$work/modules"
    echo "$md" >"$work/moddir"
    echo "Debian's kernel %s under QEMU (TCG)" >"$work/name"
    : >"$work/devtmpfs"
    # Everything the initramfs does is done by the static busybox, from
    # memory: a program loaded over 9p takes a good part of a second.
    mkdir -p "$ird"/{bin,proc,sys,dev,newroot,mods}
    cp "$bb" "$ird/bin/busybox"
    local order args
    for order in boot more; do
        while read -r f args; do
            cp "$md/$f" "$ird/mods/" || return 1
            echo "${f##*/}${args:+ $args}" >>"$ird/mods/$order"
        done <"$work/$order-modules"
    done
    cat >"$ird/init" <<'EOF'
#!/bin/busybox sh
# Loads virtio and 9p, mounts the host's root, loads the CAN and HID modules
# and brings up vcan0..vcan3, then hands over to the init script named on
# the command line (its folder takes this script's complaints).
b=/bin/busybox
$b mount -t proc proc /proc
$b mount -t sysfs sysfs /sys
$b mount -t devtmpfs devtmpfs /dev
while read -r m args; do
    $b insmod "/mods/$m" $args || echo "initramfs: cannot load $m"
done </mods/boot
if ! $b mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=mmap hostroot /newroot; then
    echo "initramfs: cannot mount the host's root over 9p"
    $b poweroff -f
fi
init=""
for w in $($b cat /proc/cmdline); do
    case "$w" in ostrelo.init=*) init="${w#ostrelo.init=}" ;; esac
done
log="/newroot$($b dirname "$init")/initramfs.log"
while read -r m args; do
    $b insmod "/mods/$m" $args || echo "initramfs: cannot load $m" >>"$log"
done </mods/more
for i in 0 1 2 3; do
    $b ip link add dev "vcan$i" type vcan && $b ip link set "vcan$i" up ||
        echo "initramfs: cannot bring up vcan$i" >>"$log"
done
for d in proc sys dev; do
    $b mount --move "/$d" "/newroot/$d"
done
exec $b switch_root /newroot "$init"
EOF
    chmod +x "$ird/init"
    (cd "$ird" && find . | "$bb" cpio -o -H newc -R 0:0 >"$work/initramfs.cpio" 2>/dev/null) || {
        why="cannot pack the initramfs"
        return 2
    }
    # No KVM: TCG is the route that starts on every host. The guest's clock
    # counts the instructions it runs (-icount, as if at 1 GHz) while it has
    # work, and runs with the host's while it idles: so a host busy with other
    # work slows the guest's clock with it, instead of letting its time limits
    # run out.
    setsid "$qemu" -nodefaults -no-user-config -display none -no-reboot -accel tcg -cpu max \
        -icount shift=0,sleep=on -smp "${OSTRELO_KERNEL_CPUS:-1}" -m "$mem" \
        -kernel "$kdir/vmlinux" -initrd "$work/initramfs.cpio" \
        -append "console=ttyS0 quiet panic=-1 mitigations=off ostrelo.init=$work/init" \
        -fsdev local,id=root,path=/,security_model=none,multidevs=remap \
        -device virtio-9p-pci,fsdev=root,mount_tag=hostroot \
        -serial "file:$work/console" </dev/null >"$work/qemu.log" 2>&1 &
    pid=$!
    wait_kernel
}

ran=""
failed=""
for kind in uml qemu; do
    [ "$mode" = auto ] || [ "$mode" = "$kind" ] || continue
    why=""
    rm -f "$work/booted"
    "start_$kind" 2>/dev/null # bash notes there how the kernel process ended
    rc=$?
    if [ "$rc" -eq 1 ]; then
        [ -f "$work/out" ] && cat "$work/out"
        [ -f "$work/err" ] && cat "$work/err" >&2
        echo "can-kernel: the command ran longer than ${limit} s; ended" >&2
        exit 1
    fi
    if [ "$rc" -eq 0 ] && [ -f "$work/booted" ]; then
        ran="$kind"
        break
    fi
    if [ "$rc" -eq 0 ]; then
        why="does not start here: $(last_words "$work/console" "$work/qemu.log")"
    fi
    label="user-mode Linux"
    [ "$kind" = uml ] || label="QEMU"
    failed+="${failed:+; }$label $why"
done

if [ -z "$ran" ]; then
    echo "can-kernel: FAILED: no kernel with CAN starts here: $failed" >&2
    exit 1
fi
name="$(cat "$work/kernel" 2>/dev/null || sed 's/ %s//' "$work/name")"
echo "can-kernel: ran in $name${failed:+; $failed}"
[ -f "$work/out" ] && cat "$work/out"
[ -f "$work/err" ] && cat "$work/err" >&2
if [ -f "$work/setup-failed" ]; then
    echo "can-kernel: the CAN interfaces could not be set up in $name:" >&2
    cat "$work/setup.log" >&2
    exit 1
fi
if [ ! -f "$work/status" ]; then
    echo "can-kernel: the kernel stopped before the command ended" >&2
    tail -5 "$work/console" >&2
    exit 1
fi
exit "$(cat "$work/status")"
