#!/usr/bin/env bash
# lorvent_wine_prefix (scripts/wine-env) with Wine's commands faked: a prefix
# whose making was cut short is made anew, a made one is kept as it is, and a
# folder it never began to make is never emptied.
set -uo pipefail
tree=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/lorvent-wine-env-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0

# wineboot leaves a file of its own; each command logs that it ran.
mkdir -p "$work/bin"
for command in wineboot wine wineserver; do
    printf '#!/bin/sh\necho %s >>"$WINEPREFIX.calls"\n' "$command" >"$work/bin/$command"
done
echo 'touch "$WINEPREFIX/system.reg"' >>"$work/bin/wineboot"
chmod +x "$work/bin"/*

prefix_after() { # SETUP: makes the prefix as it was, then runs lorvent_wine_prefix
    local prefix=$work/prefix-$RANDOM
    mkdir -p "$prefix"
    (cd "$prefix" && eval "$1")
    PATH=$work/bin:$PATH LORVENT_WINEPREFIX=$prefix \
        bash -c 'source "$1/scripts/wine-env" && lorvent_wine_prefix' _ "$tree" 2>/dev/null
    echo "$prefix"
}

# SETUP | files expected afterwards (sorted, hidden ones included) | wineboot ran
while IFS='|' read -r setup expected booted; do
    prefix=$(prefix_after "$setup")
    got=$(cd "$prefix" && find . -mindepth 1 | sed 's|^\./||' | sort | xargs)
    ran=no
    grep -qx wineboot "$prefix.calls" 2>/dev/null && ran=yes
    if [ "$got" = "$expected" ] && [ "$ran" = "$booted" ]; then
        echo "ok: '$setup' -> $expected (wineboot: $ran)"
    else
        echo "FAILED: '$setup': files '$got' (expected '$expected'), wineboot $ran (expected $booted)" >&2
        failures=$((failures + 1))
    fi
done <<'TABLE'
true|.lorvent-ready system.reg|yes
touch .lorvent-making half.reg; mkdir drive_c|.lorvent-ready system.reg|yes
touch .lorvent-ready kept.reg|.lorvent-ready kept.reg|no
touch mine.reg|.lorvent-ready mine.reg system.reg|yes
TABLE

[ $failures = 0 ] || { echo "$failures failed" >&2; exit 1; }
echo "all passed"
