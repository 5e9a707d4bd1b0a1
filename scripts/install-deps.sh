#!/usr/bin/env bash
# Installs the Debian packages that building and testing Lorvent need.
# Runs as root, or through sudo when started by another user.
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    qt6-base-dev libxtst-dev libx11-dev xvfb xauth x11-utils fonts-dejavu-core
    # setxkbmap: the typing tests switch keyboard layouts (us, cz, fr, de).
    x11-xkb-utils
    libasio-dev libsqlite3-dev sqlite3
    # The attendance server's PostgreSQL store (libpq) and the throwaway
    # clusters its tests start; chromium loads its report page in the tests.
    libpq-dev postgresql chromium
    # The Windows build: MinGW-w64 cross compiler, tests under Wine.
    g++-mingw-w64-x86-64-posix wine wine64
    # Debian packages: built (CPack, dpkg-shlibdeps, icons), validated, and
    # installed into a fresh Debian 12 root.
    dpkg-dev file librsvg2-bin lintian desktop-file-utils appstream systemd debootstrap
    # Fuzzing: clang with libFuzzer and the sanitizer run-times.
    clang libclang-rt-14-dev
)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

export DEBIAN_FRONTEND=noninteractive
as_root apt-get update -qq
as_root apt-get install -y -qq --no-install-recommends "${packages[@]}"
