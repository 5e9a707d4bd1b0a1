#!/usr/bin/env bash
# Two computers on one data file in a shared folder, under Wine: lorvent.exe
# twice, each in a Wine prefix of its own whose wineserver starts in a UTS
# namespace with the computer's host name (Wine names the computer after the
# host name its wineserver starts under), against the native kalvinor-server.
# Both start, every read reaches the server or the data file; each is killed
# with a read in its journal, and its next start stores that read once while
# the other computer's journal stays as it was.
#
# A read leaves the journal at the next upload tick (every 5 s) for the data
# file when the server is stopped. To kill each computer with its read
# certainly still journaled, however slow the machine, the data file lives on
# a filesystem of its own (bound over its path in a mount namespace of the
# test's own) that is full while the computers are killed: each tick then
# finds the data file refusing the line and the journal keeps it.
#
#   computers_wine.sh LORVENT_EXE FTD2XX_DLL CLOSE_WINDOW_EXE SOURCE_DIR
#
# Needs root (the namespaces), a display and Wine's prefix, as
# scripts/windows-tests gives them.
set -euo pipefail

if [ -z "${LORVENT_OWN_MOUNTS:-}" ]; then
    LORVENT_OWN_MOUNTS=1 exec unshare --mount --propagation private bash "$0" "$@"
fi

lorvent_exe=$1
sim_dll=$2
close_window_exe=$3
source_dir=$4
wine_run="$source_dir/scripts/wine-run"
me=computers_wine
source "$(dirname "$0")/wine_test_lib.sh"
source "$source_dir/scripts/wine-env"

find_native_server
[ -n "${DISPLAY:-}${LORVENT_WINE_SESSION:-}" ] || fail "no display: run it through ctest or scripts/windows-tests"
[ "$(id -u)" = 0 ] || fail "a host name per computer (a UTS namespace) needs root"
lorvent_wine_prefix
base_prefix=$WINEPREFIX

make_work
declare -A pid
end_computers() {
    local name
    for name in "${!pid[@]}"; do kill -9 "${pid[$name]}" 2>/dev/null || true; done
    for name in pc-a pc-b; do
        [ ! -d "$work/$name/prefix" ] || WINEPREFIX="$work/$name/prefix" wineserver -k 2>/dev/null || true
    done
    ! mountpoint -q "$data_file" || umount "$data_file"
    ! mountpoint -q "$work/data-disk" || umount "$work/data-disk"
    remove_work
}
trap end_computers EXIT

data_file="$work/shared/kalvinor.db"
mkdir -p "$work/shared" "$work/data-disk"
journal() { echo "$data_file.$1.journal"; }

# The data file on a small disk of its own; the journals stay beside it.
mount -t tmpfs -o size=64k tmpfs "$work/data-disk"
touch "$work/data-disk/kalvinor.db" "$data_file"
mount --bind "$work/data-disk/kalvinor.db" "$data_file"
# An empty data file has no block to take a line in: once the disk is full,
# every append fails until the filler goes.
fill_data_disk() {
    [ ! -s "$data_file" ] || fail "the data file is not empty: $(cat "$data_file")"
    dd if=/dev/zero of="$work/data-disk/filler" bs=4k 2>/dev/null || true
    [ "$(df --output=avail "$work/data-disk" | tail -1 | tr -d ' ')" = 0 ] ||
        fail "the data file's disk did not fill: $(df "$work/data-disk")"
}
free_data_disk() { rm "$work/data-disk/filler"; }

# A prefix of its own (the registry, which holds the computer's name), its
# drive C: that of the session's prefix. Its update stamp too: without it,
# Wine's first start in the prefix updates it (minutes under emulation) and
# writes into the shared drive C.
make_computer() { # name
    local dir="$work/$1"
    mkdir -p "$dir/prefix" "$dir/run"
    cp -a "$base_prefix"/*.reg "$base_prefix/dosdevices" "$base_prefix/.lorvent-ready" \
        "$base_prefix/.update-timestamp" "$dir/prefix/"
    ln -s "$base_prefix/drive_c" "$dir/prefix/drive_c"
    cp "$lorvent_exe" "$dir/run/lorvent.exe"
    cp "$sim_dll" "$dir/run/FTD2XX.DLL"
}

start_computer() { # name script
    local dir="$work/$1"
    (
        cd "$dir/run"
        LORVENT_WINEPREFIX="$dir/prefix" LORVENT_SERVER_PORT=$port \
            LORVENT_SIM_SCRIPT="$(windows_path "$2")" LORVENT_SIM_LOG="$(windows_path "$dir/sim.log")" \
            exec unshare --uts sh -c 'hostname "$0" && exec "$@"' "$1" \
            "$wine_run" lorvent.exe -net -db "$(windows_path "$data_file")"
    ) >>"$dir/lorvent.out" 2>&1 &
    pid[$1]=$!
}

# Killed once its journal holds the read, which the full data file keeps there.
kill_after_read() { # name number
    local deadline=$((SECONDS + 120))
    until grep -q "$2" "$(journal "$1")" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || fail "$2 never reached $1's journal: $(cat "$work/$1/lorvent.out")"
        sleep 0.05
    done
    kill -9 "${pid[$1]}"
    wait "${pid[$1]}" 2>/dev/null || true
    unset "pid[$1]"
    grep -q "$2" "$(journal "$1")" || fail "an upload tick took $2 out of $1's journal before the kill"
}

close_computer() { # name
    LORVENT_WINEPREFIX="$work/$1/prefix" "$wine_run" "$close_window_exe" Lorvent 10 ||
        fail "$1's window was not found"
    local status=0
    wait "${pid[$1]}" || status=$?
    unset "pid[$1]"
    [ "$status" = 0 ] || fail "$1's lorvent.exe ended with status $status: $(cat "$work/$1/lorvent.out")"
}

count() { # number file...: how often the number is there
    cat "${@:2}" 2>/dev/null | grep -c "$1" || true
}

start_server
for name in pc-a pc-b; do
    digit=$([ "$name" = pc-a ] && echo 1 || echo 2)
    printf '%s\n' "wait 3s" "card 0x${digit}0000001" "wait 20s" "card 0x${digit}0000002" "wait 3600s" \
        >"$work/$name.txt"
    make_computer "$name"
done
echo "wait 3600s" >"$work/idle.txt"

start_computer pc-a "$work/pc-a.txt"
start_computer pc-b "$work/pc-b.txt"
wait_for "both computers' journals" 120 test -e "$(journal pc-a)" -a -e "$(journal pc-b)"
first_reads_stored() { stored | grep -q 10000001 && stored | grep -q 20000001; }
wait_for "the first reads at the server" 120 first_reads_stored
stop_server
fill_data_disk

kill_after_read pc-b 20000002
kill_after_read pc-a 10000002
journal_b=$(cat "$(journal pc-b)")
[ "$(count 10000002 "$data_file")" = 0 ] || fail "10000002 reached the data file before the kill"
free_data_disk

start_computer pc-a "$work/idle.txt"
wait_for "pc-a's read stored by its next start" 120 grep -q 10000002 "$data_file"
[ "$(count 10000002 "$data_file")" = 1 ] || fail "10000002 stored $(count 10000002 "$data_file") times"
[ "$(cat "$(journal pc-b)")" = "$journal_b" ] || fail "pc-a's start changed pc-b's journal"
[ "$(count 20000002 "$data_file")" = 0 ] || fail "pc-a's start stored pc-b's read"

start_computer pc-b "$work/idle.txt"
wait_for "pc-b's read stored by its next start" 120 grep -q 20000002 "$data_file"
close_computer pc-a
close_computer pc-b

for number in 10000001 20000001 10000002 20000002; do
    times=$(($(stored | grep -c "$number" || true) + $(count "$number" "$data_file")))
    [ "$times" = 1 ] || fail "$number is $times times on the server and in the data file"
done
check_data_file_lines "$data_file"
[ ! -s "$(journal pc-a)" ] && [ ! -s "$(journal pc-b)" ] || fail "a journal was not emptied"
echo "computers_wine: 2 computers, 4 reads: $(stored | grep -c . || true) at the server," \
    "$(count_lines "$data_file") in the data file, each once"
