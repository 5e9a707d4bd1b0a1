#!/usr/bin/env bash
# Installs the Debian packages of build/packages/ into a fresh Debian 12 root
# made with debootstrap and runs them there as a site would, from /usr/bin:
#   - kalvinor-server and lorventd against lorvent-reader-sim on a pty: a read
#     reaches the server's database; with the server stopped the next read
#     reaches lorventd's data file; lorventd ended with SIGTERM keeps its record;
#   - lorvent under Xvfb shows its window.
# Needs root, debootstrap and Debian's mirror. Everything it makes is under
# build/package-root (made anew each run). Run scripts/package first.
set -euo pipefail
cd "$(dirname "$0")/../.."
source_tree=$PWD
root=$source_tree/build/package-root
packages=$source_tree/build/packages
simulator=$source_tree/build/package/sim/lorvent-reader-sim

[ "$(id -u)" -eq 0 ] || { echo "install-test: needs root (debootstrap, chroot)" >&2; exit 1; }
for needed in "$packages"/lorvent_*.deb "$packages"/lorventd_*.deb \
              "$packages"/kalvinor-server_*.deb "$packages"/lorvent-reader-udev_*.deb "$simulator"; do
    [ -e "$needed" ] || { echo "install-test: $needed is missing (run scripts/package)" >&2; exit 1; }
done

# The mirror this machine's apt uses for bookworm.
mirror() {
    local uri
    uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
    [ -n "$uri" ] || uri=$(awk '$1 == "deb" && $3 ~ /^bookworm$/ {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
    [ -n "$uri" ] || { echo "install-test: no Debian mirror in /etc/apt" >&2; exit 1; }
    echo "$uri"
}

mounted=()
unmount_all() {
    local i
    # Whatever the root still runs goes first, then its mounts, innermost first.
    if [ -d "$root/proc" ]; then
        for pid in $(ls -1 /proc | grep -E '^[0-9]+$'); do
            [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$root" ] && kill -9 "$pid" 2>/dev/null || true
        done
    fi
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -l "${mounted[i]}" 2>/dev/null || true
    done
    mounted=()
}
trap unmount_all EXIT
mount_in_root() { # TYPE SOURCE TARGET, or --bind SOURCE TARGET
    mkdir -p "$root/$3"
    if [ "$1" = --bind ]; then mount --bind "$2" "$root/$3"; else mount -t "$1" "$2" "$root/$3"; fi
    mounted+=("$root/$3")
}

seconds() { date +%s.%N; }
took() { awk -v a="$1" -v b="$(seconds)" 'BEGIN { printf "%.0f s", b - a }'; }

rm -rf "$root"
mkdir -p "$root"
started=$(seconds)
debootstrap --variant=minbase bookworm "$root" "$(mirror)" >"$root.debootstrap.log" 2>&1 || {
    tail -20 "$root.debootstrap.log" >&2
    exit 1
}
echo "debootstrap: $(took "$started")"

mount_in_root proc proc proc
mount_in_root sysfs sysfs sys
mount_in_root --bind /dev dev
# The pseudo-terminals of the machine: the simulator's pty is opened there.
mount_in_root --bind /dev/pts dev/pts
cp /etc/resolv.conf "$root/etc/resolv.conf"
# What the installer writes on a real machine and debootstrap leaves out: the
# programs are built for the server "localhost" unless told otherwise.
printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"

started=$(seconds)
mkdir -p "$root/opt/test"
cp "$packages"/*.deb "$simulator" "$root/opt/test/"
cp "$source_tree/tests/packages/in_root.sh" "$root/opt/test/"
chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
    sh -c 'apt-get update -qq && apt-get install -y -qq --no-install-recommends /opt/test/*.deb xvfb xauth x11-utils' \
    >"$root.apt.log" 2>&1 || {
    tail -30 "$root.apt.log" >&2
    exit 1
}
echo "packages installed: $(took "$started")"

started=$(seconds)
chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root /opt/test/in_root.sh
echo "programs run in the root: $(took "$started")"
