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

me=install-test
source "$source_tree/scripts/debian-lib"
trap 'debian_unmount_all "$root"' EXIT

seconds() { date +%s.%N; }
took() { awk -v a="$1" -v b="$(seconds)" 'BEGIN { printf "%.0f s", b - a }'; }

started=$(seconds)
debian_bootstrap "$root" "$root.debootstrap.log"
echo "debootstrap: $(took "$started")"

debian_mount_system "$root"
# The pseudo-terminals of the machine: the simulator's pty is opened there.
debian_mount_in_root "$root" --bind /dev/pts dev/pts
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
