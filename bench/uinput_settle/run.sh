#!/bin/bash
# Measures how long a real Wayland compositor takes to take up a new uinput
# keyboard: Debian's own kernel under QEMU (software emulation) boots an
# initramfs made here with udev, sway (wlroots, headless output, libinput
# input) and settle_bench, which is a focused window and drives the keyboards
# itself. Prints settle_bench's rounds and figures, and the guest's loop speed
# against this machine's. STALL_ROUNDS > 0 then types that many 20-character
# card numbers per stall (50, 100, 150, 250 ms of sway stopped at a random
# moment of the typing), with the uinput key delay and without.
#   bench/uinput_settle/run.sh [ROUNDS] [WORK_DIR] [STALL_ROUNDS]
# Needs root: it installs the Wayland headers to build settle_bench and
# downloads (without installing) the packages of sway and udev for the guest.
set -euo pipefail
cd "$(dirname "$0")/../.."
source_tree=$PWD
rounds=${1:-20}
work=${2:-$source_tree/build/uinput-settle}
stall_rounds=${3:-0}
mkdir -p "$work"
work=$(cd "$work" && pwd)

say() { echo "uinput-settle: $*" >&2; }
[ "$(id -u)" -eq 0 ] || { say "needs root (apt-get)"; exit 1; }

# --- settle_bench, built against the Wayland client library -----------------
missing=()
for package in libwayland-dev wayland-protocols qemu-system-x86 busybox-static cpio xz-utils; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    say "installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
build=$source_tree/build/release
[ -f "$build/CMakeCache.txt" ] || cmake --preset release >/dev/null
# The bench is configured only where the Wayland headers were found.
grep -q '^WAYLAND_SCANNER:FILEPATH=/' "$build/CMakeCache.txt" || cmake "$build" >/dev/null
nice -n 19 cmake --build "$build" --target settle_bench >/dev/null
bench=$build/bench/settle_bench

# --- the kernel and its evdev and uinput modules -----------------------------
kernel_tree=$work/kernel
if ! compgen -G "$kernel_tree/boot/vmlinuz-*" >/dev/null; then
    image=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-/ {print $2; exit}')
    [ -n "$image" ] || { say "no linux-image package known to apt (apt-get update?)"; exit 1; }
    rm -rf "$work/download" && mkdir -p "$work/download"
    (cd "$work/download" && apt-get download "$image" >/dev/null)
    dpkg-deb -x "$work"/download/*.deb "$kernel_tree"
    rm -rf "$work/download"
fi
vmlinuz=$(compgen -G "$kernel_tree/boot/vmlinuz-*" | head -1)

# --- sway and udev, with what of theirs this machine lacks: unpacked, not
# installed (the two themselves even where this machine has them) -----------
staging=$work/staging
if [ ! -x "$staging/usr/bin/sway" ] || [ ! -x "$staging/bin/udevadm" ]; then
    rm -rf "$work/debs" "$staging" && mkdir -p "$work/debs/partial" "$staging"
    apt-get install -y -qq --download-only --no-install-recommends \
        -o Dir::Cache::archives="$work/debs" sway udev >/dev/null
    (cd "$work/debs" && apt-get download sway udev >/dev/null 2>&1)
    for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$staging"; done
fi

# --- the guest's root: merged /usr, as Debian 12 has it ----------------------
root=$work/root
rm -rf "$root"
mkdir -p "$root"/usr/{bin,sbin,lib,lib64} "$root"/{dev,proc,sys,run,tmp,root,modules,etc}
for link in bin sbin lib lib64; do ln -s "usr/$link" "$root/$link"; done

for name in evdev uinput; do
    module=$(find "$kernel_tree/lib/modules" -name "$name.ko*" | head -1)
    [ -n "$module" ] || { say "the kernel has no $name module"; exit 1; }
    case $module in
    *.xz) xz -dc "$module" >"$root/modules/$name.ko" ;;
    *.zst) zstd -qdc "$module" >"$root/modules/$name.ko" ;;
    *) cp "$module" "$root/modules/$name.ko" ;;
    esac
done

# This machine's udev helpers and rules (libinput's among them), then the
# unpacked packages over them.
[ -d /usr/lib/udev ] && tar -C /usr/lib -c udev | tar -C "$root/usr/lib" -x
tar -C "$staging" -c --exclude=./usr/share/doc --exclude=./usr/share/man \
    --exclude='./*/hwdb.d' --exclude=./etc/init.d . |
    tar -C "$root" -x --keep-directory-symlink
cp /bin/busybox "$root/usr/bin/busybox"
for applet in sh mount insmod mkdir chmod chown sleep cat tail poweroff nproc kill; do
    ln -sf busybox "$root/usr/bin/$applet"
done
cp "$bench" "$root/usr/bin/settle_bench"
cp /usr/bin/setpriv "$root/usr/bin/setpriv" # busybox's cannot change the user
mkdir -p "$root/usr/share/X11" "$root/usr/share/fonts/truetype"
cp -r /usr/share/X11/xkb "$root/usr/share/X11/"
[ -d /usr/share/libinput ] && cp -r /usr/share/libinput "$root/usr/share/"
cp -r /etc/fonts "$root/etc/"
cp -r /usr/share/fonts/truetype/dejavu "$root/usr/share/fonts/truetype/"
# sway refuses to run as root: it runs as a user of the group input, which
# udev gives the event devices to, and opens them through its own seat.
printf 'root:x:0:0:root:/root:/bin/sh\nbench:x:1000:105::/tmp:/bin/sh\n' >"$root/etc/passwd"
for group in root:0 tty:5 disk:6 kmem:15 dialout:20 audio:29 video:44 input:105 render:106; do
    echo "${group%%:*}:x:${group##*:}:"
done >"$root/etc/group"

# The shared libraries of every program the guest runs, at their own paths;
# the unpacked packages' own are already in place.
library_path=$staging/usr/lib/x86_64-linux-gnu:$staging/lib/x86_64-linux-gnu
library_path+=:$staging/usr/lib/x86_64-linux-gnu/systemd:$staging/lib/systemd
programs=("$root"/usr/bin/{sway,udevadm,settle_bench,setpriv})
for helper in "$root"/usr/lib/udev/*; do
    [ -f "$helper" ] && head -c 4 "$helper" | grep -q ELF && programs+=("$helper")
done
for program in "${programs[@]}"; do
    LD_LIBRARY_PATH=$library_path ldd "$program" | grep -q 'not found' && {
        say "$program: $(LD_LIBRARY_PATH=$library_path ldd "$program" | grep 'not found')"
        exit 1
    }
    LD_LIBRARY_PATH=$library_path ldd "$program" | grep -o '/[^ ]*'
done | sort -u | while read -r library; do
    case $library in "$staging"/*) continue ;; esac
    mkdir -p "$root$(dirname "$library")"
    cp -L "$library" "$root$library"
done

cat >"$root/etc/sway-bench.conf" <<'CONFIG'
xwayland disable
default_border none
font pango:DejaVu Sans 8
CONFIG

cat >"$root/init" <<INIT
#!/bin/sh
export PATH=/usr/bin:/usr/sbin HOME=/root
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
mkdir -p /dev/pts /dev/shm && mount -t devpts devpts /dev/pts && mount -t tmpfs tmpfs /dev/shm
insmod /modules/evdev.ko
insmod /modules/uinput.ko
echo "uinput-settle: guest CPUs \$(nproc)"
settle_bench calibrate
/lib/systemd/systemd-udevd --daemon
udevadm trigger --action=add
udevadm settle --timeout=300
mkdir -p /run/user/1000 && chown 1000:105 /run/user/1000 && chmod 700 /run/user/1000
export XDG_RUNTIME_DIR=/run/user/1000
# The seat is sway's own (libseat's built-in seatd, with no virtual terminal):
# libseat's no-op seat never becomes active with this wlroots.
LIBSEAT_BACKEND=builtin SEATD_VTBOUND=0 WLR_BACKENDS=headless,libinput WLR_LIBINPUT_NO_DEVICES=1 \
    WLR_RENDERER=pixman /usr/bin/setpriv --reuid=1000 --regid=105 --clear-groups \
    sway -c /etc/sway-bench.conf >/tmp/sway.log 2>&1 &
sway=\$!
waited=0
while [ ! -S /run/user/1000/wayland-1 ] && [ \$waited -lt 300 ] && kill -0 \$sway 2>/dev/null; do
    sleep 1
    waited=\$((waited + 1))
done
echo "uinput-settle: sway's socket after \$waited s"
WAYLAND_DISPLAY=wayland-1 settle_bench rounds $rounds $stall_rounds \$sway
echo "uinput-settle: result \$?"
echo "uinput-settle: sway's log:"
tail -30 /tmp/sway.log
poweroff -f
INIT
chmod 755 "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initramfs.gz"
say "initramfs $(du -h "$work/initramfs.gz" | cut -f1)"

nice -n 19 "$bench" calibrate | sed 's/^settle-bench: /uinput-settle: host /'
started=$(date +%s)
timeout 3000 nice -n 19 qemu-system-x86_64 -accel tcg -m 2048 -nographic -no-reboot \
    -kernel "$vmlinuz" -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 panic=-1 quiet" </dev/null >"$work/console.log" 2>&1 || true
say "the guest ran $(($(date +%s) - started)) s"
tr -d '\r' <"$work/console.log" | grep -E '^(uinput-settle|settle-bench|round|creation|node|burst|card|stall|  )' |
    sed 's/^settle-bench: calibration/uinput-settle: guest calibration/'
grep -q "uinput-settle: result 0" "$work/console.log" || {
    say "failed; the console's last lines:"
    tail -60 "$work/console.log" | tr -d '\r' >&2
    exit 1
}
