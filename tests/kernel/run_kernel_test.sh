#!/bin/bash
# Boots Debian's own kernel under QEMU (software emulation, no /dev/uinput or
# KVM needed on the host) with an initramfs made here: busybox, the kernel's
# uinput and evdev modules, XKB's data and the test program with its
# libraries. The test program's result is the script's.
#   run_kernel_test.sh TEST_PROGRAM WORK_DIR
set -euo pipefail
program=$1
work=$2
mkdir -p "$work"
work=$(cd "$work" && pwd)

me=kernel-test
source "$(dirname "$0")/../../scripts/debian-lib"

# The kernel of the package that linux-image-amd64 points at, fetched once
# into the work directory.
vmlinuz=$(debian_kernel "$work/kernel")

root=$work/root
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,usr/share/X11}
debian_kernel_modules "$work/kernel" "$root/modules" evdev uinput

cp /bin/busybox "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
cp -r /usr/share/X11/xkb "$root/usr/share/X11/"
cp "$program" "$root/test"
# The program's shared libraries and loader, at their own paths.
ldd "$program" | grep -o '/[^ ]*' | sort -u | while read -r library; do
    mkdir -p "$root$(dirname "$library")"
    cp -L "$library" "$root$library"
done

cat >"$root/init" <<'INIT'
#!/bin/sh
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t sysfs sysfs /sys
/bin/busybox mount -t devtmpfs devtmpfs /dev
for module in $(/bin/busybox cat /modules/order); do /bin/busybox insmod /modules/$module.ko; done
/test
echo "kernel-test: result $?"
/bin/busybox poweroff -f
INIT
chmod 755 "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initramfs.gz"

# The sanitizers' settings reach the test as the kernel hands unknown
# parameters to init: as its environment.
environment=""
for variable in ASAN_OPTIONS UBSAN_OPTIONS; do
    [ -z "${!variable:-}" ] || environment+=" $variable=${!variable}"
done

started=$(date +%s.%N)
timeout 540 qemu-system-x86_64 -accel tcg -m 1024 -nographic -no-reboot \
    -kernel "$vmlinuz" -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 panic=-1 quiet$environment" </dev/null >"$work/console.log" 2>&1 || true
ended=$(date +%s.%N)
sed -n '/\[==========\]/,$p' "$work/console.log" | tr -d '\r'
awk -v a="$started" -v b="$ended" 'BEGIN { printf "kernel-test: boot, test and power-off took %.1f s\n", b - a }'
grep -q "kernel-test: result 0" "$work/console.log" || {
    echo "kernel-test: failed; the console's last lines:" >&2
    tail -40 "$work/console.log" | tr -d '\r' >&2
    exit 1
}
