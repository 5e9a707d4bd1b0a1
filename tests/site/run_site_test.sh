#!/usr/bin/env bash
# A site in a box: the Debian packages installed as a site installs them,
# booted with systemd as PID 1 on Debian's own kernel under QEMU (software
# emulation), the reader on QEMU's emulated FTDI adapter and the reader
# simulator on this machine at the adapter's far end. The kernel's ftdi_sio
# makes the port, udev names it, systemd starts and watches lorventd and
# kalvinor-server. Checked:
#   - udev: /dev/lorvent-reader, group dialout, mode 0660, ModemManager's tag;
#   - reads reach the server's database in the guest; card frame to
#     acknowledgement through the real driver, beside the same on a pty;
#   - the adapter unplugged (device_del) and plugged back (device_add): the
#     reader's silence as a warning in lorventd's journal, then Ready;
#   - the watchdog: lorventd is fed, and stopped with SIGSTOP it is killed and
#     started again by systemd, losing no record;
#   - systemctl stop with a record waiting: the record is in the data file;
#   - a power cut (the machine quit through QEMU's monitor) with a read shown
#     and not yet uploaded: the next boot of the same disk has it in the data
#     file before lorventd reports ready.
# The guest has no network: the server runs in it, beside lorventd.
#
# QEMU moves the adapter's bytes as fast as they come (it does not pace them
# at 9600 baud and has no latency timer): the simulator paces its own bytes,
# the master's are not paced. Figures are printed at the end.
#
# Reuses the root of tests/packages/install_test.sh (build/package-root),
# made by running that test when missing. Needs root. Its files: build/site.
set -euo pipefail
cd "$(dirname "$0")/../.."
source_tree=$PWD
me=site-test
source "$source_tree/scripts/debian-lib"

package_root=$source_tree/build/package-root
work=$source_tree/build/site
root=$work/root
disk=$work/disk.img
simulator=$source_tree/build/package/sim/lorvent-reader-sim
lorventd=$source_tree/build/package/app/daemon/lorventd
# The watchdog time of the test's drop-in: short, so that the SIGSTOP step
# takes seconds, and still many times the loop's turn.
watchdog_sec=5
seconds_allowed=${LORVENT_SITE_SECONDS:-900}

started_at=$(date +%s.%N)
seconds_since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }
say() { echo "$me: $*"; }
figures=()

# --- The guest's root and disk -------------------------------------------------

check_host() {
    [ "$(id -u)" -eq 0 ] || debian_fail "needs root (chroot, the root's owners on its disk)"
    local program
    for program in qemu-system-x86_64 busybox cpio mkfs.ext4; do
        command -v "$program" >/dev/null || debian_fail "$program is not installed (scripts/install-deps.sh)"
    done
    for program in "$simulator" "$lorventd"; do
        [ -x "$program" ] || debian_fail "$program is missing (scripts/package debian)"
    done
}

# Whether the packages' root holds the packages of build/packages: the
# install test keeps the ones it installed in /opt/test.
installed_packages_are_current() {
    local deb
    for deb in "$source_tree"/build/packages/*.deb; do
        cmp -s "$deb" "$package_root/opt/test/${deb##*/}" || return 1
    done
}

# The packages' root, with systemd as init, udev and kmod added, the modules
# of the USB controller and the FTDI adapter for udev to load, and the test's
# own parts: its agent, a drop-in that lowers the watchdog time, fstab.
prepare_root() {
    installed_packages_are_current || tests/packages/install_test.sh
    local kernel=$work/kernel version
    debian_kernel "$kernel" >/dev/null
    version=$(ls "$kernel/lib/modules")
    rm -rf "$root"
    cp -a "$package_root" "$root"
    rm -rf "$root"/opt/test "$root"/var/tmp/lorvent-test.*
    trap 'debian_unmount_all "$root"' EXIT
    debian_mount_system "$root"
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
        sh -c 'apt-get install -y -qq --no-install-recommends systemd-sysv udev kmod dbus' \
        >"$work/apt.log" 2>&1 || { tail -30 "$work/apt.log" >&2; debian_fail "systemd and udev did not install"; }
    debian_kernel_modules "$kernel" "$root/lib/modules/$version/kernel/site" xhci-pci ftdi_sio
    sed 's|.*|kernel/site/&.ko|' "$root/lib/modules/$version/kernel/site/order" >"$root/lib/modules/$version/modules.order"
    rm "$root/lib/modules/$version/kernel/site/order"
    cp "$kernel/lib/modules/$version"/modules.builtin* "$root/lib/modules/$version/"
    chroot "$root" depmod "$version"
    debian_unmount_all "$root"
    trap - EXIT
    configure_guest
}

configure_guest() {
    echo "/dev/vda / ext4 rw 0 0" >"$root/etc/fstab"
    echo lorvent-site >"$root/etc/hostname"
    install -D -m 755 tests/site/guest.sh "$root/opt/site/guest.sh"
    mkdir -p "$root/etc/systemd/system/lorventd.service.d"
    printf '[Service]\nWatchdogSec=%s\nRestartSec=1\n' "$watchdog_sec" \
        >"$root/etc/systemd/system/lorventd.service.d/site-test.conf"
    cat >"$root/etc/systemd/system/site-agent.service" <<'UNIT'
[Unit]
Description=Site test agent on ttyS1
[Service]
ExecStart=/opt/site/guest.sh agent
[Install]
WantedBy=multi-user.target
UNIT
    ln -sf /etc/systemd/system/site-agent.service "$root/etc/systemd/system/multi-user.target.wants/"
    [ -L "$root/etc/systemd/system/multi-user.target.wants/lorventd.service" ] ||
        debian_fail "the package did not enable lorventd.service"
}

make_disk() {
    rm -f "$disk"
    truncate -s 3G "$disk"
    mkfs.ext4 -q -F -L lorvent-site -d "$root" "$disk"
}

make_initramfs() {
    local initramfs=$work/initramfs
    rm -rf "$initramfs" && mkdir -p "$initramfs"/{bin,dev,proc,sys,newroot}
    debian_kernel_modules "$work/kernel" "$initramfs/modules" virtio_pci virtio_blk crc32c_generic ext4
    cp /bin/busybox "$initramfs/bin/busybox"
    ln -s busybox "$initramfs/bin/sh"
    install -m 755 tests/site/initramfs-init "$initramfs/init"
    (cd "$initramfs" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initramfs.gz"
    rm -rf "$initramfs"
}

# --- The reader, the machine, its agent and its monitor ---------------------------

pids=()
end_all() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}

start_reader() { # NAME FD: a simulator on a pty at $work/NAME, its commands written to FD
    local name=$1 fd=$2
    rm -f "$work/$name" "$work/$name.commands"
    mkfifo "$work/$name.commands"
    # Opened for writing first: the simulator's open of the FIFO waits for a writer.
    eval "exec $fd<>\"\$work/\$name.commands\""
    "$simulator" --link "$work/$name" <"$work/$name.commands" >"$work/$name.log" 2>&1 &
    pids+=($!)
    wait_for_file "$work/$name"
}

# Waits up to LIMIT seconds for the command after it to succeed.
wait_until() { # LIMIT COMMAND...
    local deadline=$((SECONDS + $1))
    shift
    until "$@" 2>/dev/null; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

wait_for_file() {
    wait_until 10 test -e "$1" || debian_fail "$1 did not appear"
}

guest_pid=""
boot() {
    local channel line
    for channel in agent monitor; do
        rm -f "$work/$channel".{in,out}
        mkfifo "$work/$channel.in" "$work/$channel.out"
    done
    timeout --kill-after=10 "$seconds_allowed" qemu-system-x86_64 \
        -accel tcg -smp 2 -m 1536 -display none -no-reboot -nodefaults -nic none \
        -kernel "$(compgen -G "$work/kernel/boot/vmlinuz-*" | head -1)" -initrd "$work/initramfs.gz" \
        -append "console=ttyS0 panic=-1 quiet loglevel=3" \
        -drive "file=$disk,format=raw,if=virtio" \
        -chardev "file,id=console,path=$work/console.$boot_count.log" -serial chardev:console \
        -chardev "pipe,id=agent,path=$work/agent" -serial chardev:agent \
        -chardev "pipe,id=monitor,path=$work/monitor" -mon chardev=monitor,mode=readline \
        -device qemu-xhci,id=xhci \
        -chardev "serial,id=reader,path=$work/reader" \
        -device usb-serial,bus=xhci.0,chardev=reader,id=adapter &
    guest_pid=$!
    pids+=($guest_pid)
    # Read-write opens of a FIFO do not wait for the other end.
    exec 5<>"$work/agent.in" 6<>"$work/agent.out" 8<>"$work/monitor.in"
    # What the monitor says is kept for a person to read.
    cat "$work/monitor.out" >"$work/monitor.$boot_count.log" &
    pids+=($!)
    local waited
    for ((waited = 0; waited < 600; waited += 5)); do
        kill -0 "$guest_pid" 2>/dev/null || fail "the guest ended before its agent started"
        while IFS= read -r -t 5 line <&6; do
            [ "$line" = "@@agent@@" ] && return 0
        done
    done
    fail "the guest's agent did not start"
}
boot_count=1

# Runs a command of guest.sh in the guest; its output is shown, its status returned.
guest() {
    local line
    printf '/opt/site/guest.sh %s\n' "$*" >&5
    while IFS= read -r -t 300 line <&6; do
        line=${line%$'\r'}
        if [[ $line =~ ^@@rc=([0-9]+)@@$ ]]; then return "${BASH_REMATCH[1]}"; fi
        echo "  guest: $line"
    done
    fail "the guest did not answer '$*'"
}
check() { guest "$@" || fail "the guest's check '$*' failed"; }
ready_figure() {
    local line
    line=$(guest ready_after_boot) || fail "lorventd did not become ready: $line"
    echo "$line"
    figures+=("boot $boot_count: ${line#  guest: }")
}

monitor() { printf '%s\n' "$*" >&8; }

fail() {
    say "FAILED: $*" >&2
    local log
    for log in "$work"/console.*.log; do
        [ -e "$log" ] || continue
        echo "--- the last lines of ${log##*/}" >&2
        tail -25 "$log" | tr -d '\r' >&2
    done
    echo "--- the reader's last lines" >&2
    tail -15 "$work/reader.log" >&2
    exit 1
}

# --- Card frame to acknowledgement, as the reader sees it ------------------------

# Presents CARD and waits until the simulator has heard the master's
# acknowledgement of it.
read_card() { # READER_FD LOG CARD
    local fd=$1 log=$2 card=$3
    echo "card $card" >&"$fd"
    wait_until 30 grep -q "card read $card acknowledged" "$log" ||
        fail "the reader heard no acknowledgement of $card"
}

# The milliseconds from each card-read frame the reader sent to the
# acknowledgement it heard next, as median and largest.
ack_figures() { # LOG
    tr -d '\r' <"$1" | awk '
        /^\[ *[0-9.]+\] -> / && /card/ { sent = substr($0, 2, index($0, "]") - 2) + 0 }
        /^\[ *[0-9.]+\] <- / && /acknowledge/ && sent != "" {
            took[n++] = (substr($0, 2, index($0, "]") - 2) - sent) * 1000; sent = "" }
        END {
            if (n == 0) { print "no acknowledged reads"; exit }
            for (i = 0; i < n; i++) for (j = i + 1; j < n; j++) if (took[j] < took[i]) { t = took[i]; took[i] = took[j]; took[j] = t }
            printf "%d reads, median %.0f ms, largest %.0f ms\n", n, took[int(n / 2)], took[n - 1] }'
}

pty_figures() {
    local state=$work/pty-state
    rm -rf "$state" && mkdir -p "$state"
    start_reader pty 9
    LORVENT_SERIAL=$work/pty STATE_DIRECTORY=$state LORVENT_SERVER_PORT=1 \
        "$lorventd" -net 2>"$work/pty-lorventd.log" &
    local daemon=$!
    pids+=($daemon)
    local i
    wait_until 30 grep -q "<6>Ready" "$work/pty-lorventd.log" || fail "lorventd on the pty did not become ready"
    for ((i = 0; i < 10; i++)); do read_card 9 "$work/pty.log" "0000aa0$i"; done
    kill "$daemon"
    figures+=("card frame to acknowledgement, lorventd on a pty: $(ack_figures "$work/pty.log")")
}

# --- The site ---------------------------------------------------------------------

main() {
    check_host
    mkdir -p "$work"
    rm -f "$work"/console.*.log "$work"/monitor.*.log
    prepare_root
    make_disk
    make_initramfs
    trap end_all EXIT
    pty_figures
    say "root, disk and initramfs made: $(seconds_since "$started_at") s"

    start_reader reader 7
    local booted=$(date +%s.%N)
    boot
    say "first boot: agent up after $(seconds_since "$booted") s"
    ready_figure
    check wait_active kalvinor-server
    check check_reader_port
    check watchdog_fed "$watchdog_sec"

    # Reads reach the server's database.
    local i
    for ((i = 0; i < 10; i++)); do read_card 7 "$work/reader.log" "1234ab0$i"; done
    for ((i = 0; i < 10; i++)); do check wait_stored "1234ab0$i"; done
    figures+=("card frame to acknowledgement through QEMU's FTDI adapter: $(ack_figures "$work/reader.log")")

    # The adapter unplugged and plugged back.
    local silent ready
    silent=$(guest journal_lines warning Nekomunikuje) && ready=$(guest journal_lines info Ready) ||
        fail "lorventd's journal could not be read"
    monitor "device_del adapter"
    check wait_journal warning Nekomunikuje "${silent#  guest: }"
    monitor "device_add usb-serial,bus=xhci.0,chardev=reader,id=adapter"
    check wait_journal info Ready "${ready#  guest: }"
    check check_reader_port
    read_card 7 "$work/reader.log" 5eed0001
    check wait_stored 5eed0001

    # From here the server is stopped: records wait in lorventd.
    check stop_unit kalvinor-server

    # The watchdog: stopped with SIGSTOP while a record waits, lorventd is
    # killed and started again; the record is kept once.
    after_a_tick 7 0d0d0001
    read_card 7 "$work/reader.log" 0d0d0002
    check pin_waiting 0d0d0002
    check restarted_by_watchdog
    check only_in_data_file 0d0d0002

    # systemctl stop while a record waits: the shut-down keeps it.
    after_a_tick 7 0d0d0003
    read_card 7 "$work/reader.log" 0d0d0004
    check pin_waiting 0d0d0004
    check stop_unit lorventd
    check only_in_data_file 0d0d0004
    check start_unit lorventd

    # A power cut with a read shown and not uploaded.
    after_a_tick 7 0d0d0005
    read_card 7 "$work/reader.log" 0d0d0006
    check pin_waiting 0d0d0006
    monitor quit
    wait_for_exit "$guest_pid"
    say "power cut"
    boot_count=2
    booted=$(date +%s.%N)
    boot
    say "second boot: agent up after $(seconds_since "$booted") s"
    ready_figure
    check wait_active kalvinor-server
    check recovered_before_ready 0d0d0006
    check watchdog_fed "$watchdog_sec"

    monitor quit
    wait_for_exit "$guest_pid"
    figures+=("the whole test: $(seconds_since "$started_at") s")
    say "passed"
    printf '  %s\n' "${figures[@]}"
}

# The next upload tick is five seconds away once a record has just reached
# the data file: presents CARD and waits for that.
after_a_tick() { # READER_FD CARD
    read_card "$1" "$work/reader.log" "$2"
    check in_data_file_once "$2"
}

wait_for_exit() { # PID
    wait_until 30 eval "! kill -0 $1" || fail "QEMU did not quit"
}

main "$@"
