#!/usr/bin/env bash
# The host side of scripts/wine32-guest without booting anything: the kernel
# modules its initramfs loads (each after the modules it depends on), the
# cache key (it changes with any package's version), the packages of the
# native server's libraries, and how the guest's reported results are judged.
set -uo pipefail
tree=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/lorvent-wine32-guest-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0

check() { # DESCRIPTION COMMAND...
    local description=$1
    shift
    if "$@"; then echo "ok: $description"; else echo "FAILED: $description" >&2; failures=$((failures + 1)); fi
}

# --- Kernel modules: a fake kernel package whose modules name their
# dependencies as real ones do (a depends= field in .modinfo).
kernel=$work/kernel
modules=$kernel/lib/modules/6.1.0-test
mkdir -p "$modules/kernel/fs" "$modules/kernel/net"
fake_module() { # PATH DEPENDS
    printf 'ELF\0license=GPL\0depends=%s\0vermagic=6.1.0\0' "$2" >"$modules/kernel/$1"
}
fake_module fs/top.ko "middle,base"
fake_module net/middle.ko "base,inkernel"
fake_module fs/base.ko ""
fake_module net/packed.ko "base"
xz "$modules/kernel/net/packed.ko"
fake_module fs/loner.ko ""
echo "kernel/fs/inkernel.ko" >"$modules/modules.builtin"

# Whether each module in DIR/order comes after the modules it depends on,
# and every file is there uncompressed.
loads_in_order() { # DIR
    local dir=$1 name dependency loaded=" "
    for name in $(cat "$dir/order"); do
        [ -f "$dir/$name.ko" ] && grep -qa '^ELF' "$dir/$name.ko" || return 1
        for dependency in $(tr '\0' '\n' <"$dir/$name.ko" | sed -n 's/^depends=//p' | tr ',' ' '); do
            [ "$dependency" = inkernel ] && continue
            [[ "$loaded" == *" $dependency "* ]] || return 1
        done
        loaded+="$name "
    done
}

modules_case() { # REQUESTED EXPECTED_SET
    local dir=$work/initramfs-$RANDOM requested=$1 expected=$2 got
    (me=test; source "$tree/scripts/debian-lib"; debian_kernel_modules "$kernel" "$dir" $requested) || return 1
    got=$(sort "$dir/order" | xargs)
    [ "$got" = "$expected" ] || { echo "  loaded: $got, expected: $expected" >&2; return 1; }
    loads_in_order "$dir"
}
while IFS='|' read -r requested expected; do
    check "modules for '$requested' are {$expected}, each after its dependencies" \
        modules_case "$requested" "$expected"
done <<'TABLE'
top|base middle top
loner|loner
packed top|base middle packed top
base top base|base middle top
inkernel|
TABLE
missing_module_fails() {
    local message
    message=$(me=test; source "$tree/scripts/debian-lib"; debian_kernel_modules "$kernel" "$work/m" nosuch 2>&1) && return 1
    [[ "$message" == *"no module nosuch"* ]]
}
check "a module the kernel lacks stops the initramfs with its name" missing_module_fails

# --- The cache key, with apt's answers faked: any version changes it.
fakebin=$work/bin
mkdir -p "$fakebin"
cat >"$fakebin/apt-cache" <<'FAKE'
#!/bin/bash
if [ "$1" = depends ]; then echo "linux-image-amd64"; echo "  Depends: linux-image-6.1.0-test-amd64"; exit 0; fi
shift
for name in "$@"; do
    version=1.0
    [ "$name" = "${FAKE_CHANGED:-}" ] && version=1.1
    printf '%s:\n  Installed: (none)\n  Candidate: %s\n' "$name" "$version"
done
FAKE
chmod +x "$fakebin/apt-cache"
key_with() { # CHANGED_PACKAGE
    PATH=$fakebin:$PATH FAKE_CHANGED=$1 bash -c 'source "$1/scripts/wine32-guest"; cache_key' _ "$tree"
}
base_key=$(key_with "")
check "the key is the same for the same versions" test "$base_key" = "$(key_with "")"
for changed in wine xvfb cmake libc6 linux-image-6.1.0-test-amd64; do
    check "the key changes when $changed changes" test "$base_key" != "$(key_with "$changed")"
done

# --- The server's libraries: a program linking one outside the fixed list.
server_packages_case() {
    local program packages
    program=$(command -v sqlite3) || return 1
    packages=$(LORVENT_NATIVE_SERVER=$program bash -c 'source "$1/scripts/wine32-guest"; guest_packages' _ "$tree")
    [[ " $packages " == *" libreadline8 "* ]] && [[ " $packages " == *" wine32:i386 "* ]] ||
        { echo "  packages: $packages" >&2; return 1; }
}
check "the guest gets the packages of the libraries the server links" server_packages_case

# --- Judging the guest's report: STATUS_LINES (\n-separated, or 'none'),
# tasks given, whether the run passes.
results_case() { # STATUS RUN_CTEST INSTALLER EXPECTED(pass|fail)
    local dir=$work/run-$RANDOM outcome=pass
    mkdir -p "$dir"
    echo "console line before the end" >"$dir/console.log"
    [ "$1" = none ] || printf "$1\n" >"$dir/status"
    (source "$tree/scripts/wine32-guest"
     run=$dir run_ctest=$2 installer=$3
     guest_results) >"$dir/out" 2>&1 || outcome=fail
    [ "$outcome" = "$4" ] || { cat "$dir/out" >&2; return 1; }
    # A guest that reported nothing shows its console.
    [ "$1" != none ] || grep -q "console line before the end" "$dir/out"
}
while IFS='|' read -r status run_ctest installer expected; do
    check "status '$status' (ctest $run_ctest, installer '${installer}') $expected" \
        results_case "$status" "$run_ctest" "$installer" "$expected"
done <<'TABLE'
prefix 0\nctest 0|1||pass
prefix 0\nctest 0\ninstaller 0|1|setup.exe|pass
prefix 0\nctest 0|1|setup.exe|fail
prefix 0\nctest 8\ninstaller 0|1|setup.exe|fail
ctest 0|1||fail
prefix no-wine32|1||fail
prefix 0\ninstaller 0|0|setup.exe|pass
prefix 0\ninstaller 1|0|setup.exe|fail
prefix 0|0||pass
prefix failed|0||fail
none|1||fail
TABLE

[ $failures = 0 ] || { echo "$failures failed" >&2; exit 1; }
echo "all passed"
