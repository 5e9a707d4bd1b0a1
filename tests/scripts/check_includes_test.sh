#!/usr/bin/env bash
# scripts/check-includes on small trees of its own: a tree that keeps the
# floors passes; each kind of fault fails, named with the files behind it.
set -uo pipefail
tree=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/lorvent-check-includes-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0

# FILES: "path>include,include;path>..." makes each file with those quoted includes.
make_tree() {
    local root=$1 entry path includes include
    IFS=';' read -ra entries <<<"$2"
    for entry in "${entries[@]}"; do
        path=${entry%%>*}
        includes=${entry#*>}
        mkdir -p "$root/$(dirname "$path")"
        : >"$root/$path"
        IFS=',' read -ra list <<<"$includes"
        for include in "${list[@]}"; do
            [ -n "$include" ] && echo "#include \"$include\"" >>"$root/$path"
        done
    done
}

# FILES | exit status | a line the report must hold ("" when it passes)
case=0
while IFS='|' read -r files status expected; do
    case=$((case + 1))
    root=$work/tree-$case
    make_tree "$root" "$files"
    report=$(python3 "$tree/scripts/check-includes" "$root" 2>&1)
    got=$?
    if [ "$got" = "$status" ] && { [ -z "$expected" ] || grep -qF -- "$expected" <<<"$report"; }; then
        echo "ok: $files -> $got"
    else
        echo "FAILED: $files: status $got (expected $status), report:" >&2
        echo "$report" >&2
        failures=$((failures + 1))
    fi
done <<'TABLE'
app/qt/w.cpp>app/f.h;app/f.h>protocol/p.h;app/f.cpp>f.h,record/r.h;protocol/p.h>device/d.h;device/d.h>;record/r.h>;sim/s.h>device/d.h|0|
app/x.h>;app/y.h>;app/x.cpp>y.h;app/y.cpp>x.h|1|files that include each other: app/x, app/y
protocol/t.h>;protocol/r.h>t.h;protocol/t.cpp>t.h,r.h|1|protocol/t.cpp:2 includes protocol/r.h
protocol/a.h>;protocol/b.h>;protocol/a_posix.cpp>a.h,b.h;protocol/b.cpp>b.h,a.h|1|files that include each other: protocol/a, protocol/b
server/a.h>b.h;server/b.h>c.h;server/c.h>a.h|1|files that include each other: server/a, server/b, server/c
device/d.h>protocol/p.h;protocol/p.h>|1|device/d.h:1: upward include of protocol/p.h
app/f.cpp>app/qt/w.h;app/qt/w.h>|1|app/f.cpp:1: upward include of app/qt/w.h
sim/s.cpp>protocol/p.h;protocol/p.h>|1|sim/s.cpp:1: sideways include of protocol/p.h
server/s.cpp>app/f.h;app/f.h>|1|server/s.cpp:1: sideways include of app/f.h
app/f.cpp>gone.h|1|app/f.cpp:1: #include "gone.h" names no file of the tree
app/f.cpp>tests/support/t.h;tests/support/t.h>|1|includes tests/support/t.h, which is not a product file
TABLE

[ $failures = 0 ] || { echo "$failures failed" >&2; exit 1; }
echo "all passed"
