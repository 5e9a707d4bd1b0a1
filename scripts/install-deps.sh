#!/usr/bin/env bash
# Installs the Debian packages that building and testing Lorvent need.
# Runs as root, or through sudo when started by another user.
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    # scripts/check-includes, the include check CI runs first.
    python3
    libgtest-dev libgmock-dev libbenchmark-dev
    qt6-base-dev libxtst-dev libx11-dev xvfb xauth x11-utils fonts-dejavu-core
    # setxkbmap: the typing tests switch keyboard layouts (us, cz, fr, de).
    x11-xkb-utils
    # The uinput keyboard of Wayland sessions: libevdev, XKB layouts through
    # libxkbcommon; its kernel test boots Debian's kernel under QEMU with an
    # initramfs of busybox, the kernel's modules and the test program. QEMU,
    # busybox and debootstrap (below) also make the virtual machine of the
    # 32-bit Windows tests where this kernel does not run 32-bit programs.
    libevdev-dev libxkbcommon-dev xkb-data qemu-system-x86 busybox-static cpio xz-utils
    libasio-dev libsqlite3-dev sqlite3
    # The upload's tests on a lossy network: a network namespace (unshare,
    # ip) whose packet filter (nft) loses SYNs.
    util-linux iproute2 nftables
    # The attendance server's PostgreSQL store (libpq) and the throwaway
    # clusters its tests start; chromium loads its report page in the tests.
    libpq-dev postgresql chromium
    # The report page's users: their passwords kept as salted Argon2id hashes,
    # session ids and tokens from the system's random source (libsodium).
    libsodium-dev
    # The report page over HTTPS: Asio's TLS is OpenSSL's; its tests make
    # their certificates with the openssl program, and scripts/report-screenshots
    # draws the printed month sheet with pdftoppm (poppler-utils).
    libssl-dev openssl poppler-utils
    # The Windows build, both widths: MinGW-w64 cross compilers, tests under
    # Wine (its 32-bit half, wine32, is added below where it can run), and
    # the installer's compiler.
    g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 nsis
    # Debian packages: built (CPack, dpkg-shlibdeps, icons), validated, and
    # installed into a fresh Debian 12 root.
    dpkg-dev file librsvg2-bin lintian desktop-file-utils appstream systemd debootstrap
    # The site test: that root booted as a disk (mkfs.ext4 -d) under QEMU.
    e2fsprogs
    # Fuzzing: clang with libFuzzer and the sanitizer run-times.
    clang libclang-rt-14-dev
)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Whether this kernel runs 32-bit x86 programs: a 93-byte i386 program that
# only exits. Some virtual machines have no IA-32 emulation; there wine32's
# loader cannot start, and once it is installed the `wine` command picks it
# for every program and fails, 64-bit ones included.
runs_32bit_programs() {
    local probe status=0
    probe=$(mktemp)
    printf '\177\105\114\106\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000'\
'\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000'\
'\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010'\
'\000\200\004\010\135\000\000\000\135\000\000\000\005\000\000\000\000\020\000\000\061\333'\
'\270\001\000\000\000\315\200' >"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    return $status
}

export DEBIAN_FRONTEND=noninteractive
if runs_32bit_programs; then
    # wine32 is an i386 package: the architecture is added before the update
    # that fetches its lists.
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
    fi
    packages+=(wine32:i386)
else
    echo "install-deps: this kernel does not run 32-bit programs: wine32 left out;" \
        "scripts/windows-tests runs the 32-bit Windows programs under Wine in a virtual machine" >&2
fi
# A mirror caught mid-sync serves a list of the wrong size and the update
# exits 100. Such a fault passes in a minute or two, so the update is tried
# again; if one list still fails, the install goes on with the lists it has
# and fails only if a package it needs is not in them.
update_package_lists() {
    local attempt
    for attempt in 1 2 3; do
        if as_root apt-get update -qq -o Acquire::Retries=3; then
            return 0
        fi
        echo "install-deps: the package lists did not all download (attempt $attempt of 3)" >&2
        [ "$attempt" -lt 3 ] && sleep $((attempt * 20))
    done
    echo "install-deps: going on with the package lists that did download" >&2
}

update_package_lists
as_root apt-get install -y -qq --no-install-recommends -o Acquire::Retries=3 "${packages[@]}"
