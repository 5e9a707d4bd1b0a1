#!/usr/bin/env bash
# Checks the Debian packages in build/packages/ as a distribution would:
# lintian with no errors, the desktop entry, the AppStream metadata and each
# systemd unit as installed. Run scripts/package first.
set -euo pipefail
cd "$(dirname "$0")/../.."
packages=build/packages
shopt -s nullglob
debs=("$packages"/*.deb)
[ ${#debs[@]} -gt 0 ] || { echo "validate: no packages in $packages (run scripts/package)" >&2; exit 1; }

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
for deb in "${debs[@]}"; do
    dpkg-deb -x "$deb" "$tree"
done

failed=0
check() {
    local what=$1
    shift
    echo "--- $what"
    if ! "$@"; then
        echo "FAILED: $what" >&2
        failed=1
    fi
}

# Errors fail; warnings are shown and kept in mind (the README lists those left).
check "lintian" lintian --fail-on error --tag-display-limit 0 "${debs[@]}"
for entry in "$tree"/usr/share/applications/*.desktop; do
    check "desktop-file-validate ${entry##*/}" desktop-file-validate "$entry"
done
for metainfo in "$tree"/usr/share/metainfo/*.xml; do
    check "appstreamcli ${metainfo##*/}" appstreamcli validate --no-net "$metainfo"
done
# Each unit against the installed tree, so that its programs are found there,
# beside the system's own units that it refers to. Any complaint fails, also
# one that systemd only warns about (an unknown key is ignored at run time).
cp -rn /lib/systemd/system/. "$tree/usr/lib/systemd/system/"
verify_unit() {
    local complaints
    complaints=$(systemd-analyze verify --man=no --root="$tree" "$1" 2>&1) || { echo "$complaints"; return 1; }
    [ -z "$complaints" ] || { echo "$complaints"; return 1; }
}
units=$(for deb in "${debs[@]}"; do dpkg-deb -c "$deb"; done |
        awk '$6 ~ /^\.\/usr\/lib\/systemd\/system\/.*\.service$/ {print substr($6, 2)}')
[ -n "$units" ] || { echo "validate: no systemd units in the packages" >&2; failed=1; }
for unit in $units; do
    check "systemd-analyze verify ${unit##*/}" verify_unit "$unit"
done
for expected in lorvent lorventd kalvinor-server lorvent-reader-udev; do
    ls "$packages/${expected}_"*.deb >/dev/null 2>&1 || { echo "validate: no $expected package" >&2; failed=1; }
done

[ $failed -eq 0 ] && echo "packages valid" || exit 1
