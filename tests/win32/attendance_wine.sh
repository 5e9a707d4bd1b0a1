#!/usr/bin/env bash
# Attendance mode end to end across the Wine boundary: lorvent.exe under Wine,
# with the simulated FTD2XX.DLL reading cards, uploads to kalvinor-server
# running natively on loopback; the server is stopped half-way, so the later
# reads must land in the data file. Every read must end up in exactly one of
# the two places, and the data file's lines end in CR LF.
#
#   attendance_wine.sh LORVENT_EXE FTD2XX_DLL CLOSE_WINDOW_EXE SOURCE_DIR
#
# The native server comes from $LORVENT_NATIVE_SERVER or the native builds
# under SOURCE_DIR/build (debug, release, asan); without one the test fails.
# It needs a display and Wine's prefix, as scripts/windows-tests gives them.
set -euo pipefail

lorvent_exe=$1
sim_dll=$2
close_window_exe=$3
source_dir=$4
wine_run="$source_dir/scripts/wine-run"
me=attendance_wine
source "$(dirname "$0")/wine_test_lib.sh"

find_native_server
[ -n "${DISPLAY:-}${LORVENT_WINE_SESSION:-}" ] || fail "no display: run it through ctest or scripts/windows-tests"

make_work

start_server

# Eight reads: four while the server runs, then a pause long enough for their
# upload and the server's stop, then four more.
numbers=(20261201 20261202 20261203 20261204 20261205 20261206 20261207 20261208)
{
    echo "wait 2s"
    for i in 0 1 2 3; do echo "card 0x${numbers[i]}"; echo "wait 1s"; done
    echo "wait 14s"
    for i in 4 5 6 7; do echo "card 0x${numbers[i]}"; echo "wait 1s"; done
} >"$work/script.txt"

start_lorvent "$port"

# Half-way: once the server has stored the first reads, it is stopped.
server_has_first_reads() { [ "$(stored_count)" -ge 4 ]; }
wait_for "the first four reads at the server" 40 server_has_first_reads
stop_server
echo "attendance_wine: server stopped after $(stored_count) records"

# The later reads are offered to the gone server and kept in the data file.
data_file="$work/run/kalvinor.db"
file_has_last_reads() { [ "$(count_lines "$data_file")" -ge 4 ] && grep -q 20261208 "$data_file"; }
wait_for "the last reads in the data file" 60 file_has_last_reads

"$wine_run" "$close_window_exe" Lorvent 10 || fail "lorvent's window was not found"
status=0
wait "$lorvent" || status=$?
lorvent=""
[ "$status" = 0 ] || fail "lorvent.exe ended with status $status: $(cat "$work/lorvent.out")"

# Each read in exactly one place, none lost.
server_numbers=$(stored | awk '{print $NF}' | sort)
file_numbers=$(tr -d '\r' <"$data_file" | awk 'NF {print $NF}' | sort)
all=$(printf '%s\n' $server_numbers $file_numbers | sort)
expected=$(printf '%s\n' "${numbers[@]}" | sort)
echo "attendance_wine: stored by the server: $(echo $server_numbers)"
echo "attendance_wine: kept in the data file: $(echo $file_numbers)"
[ "$all" = "$expected" ] || fail "reads lost or doubled: expected $(echo $expected), got $(echo $all)"
[ -n "$server_numbers" ] || fail "the server stored nothing"
[ -n "$file_numbers" ] || fail "the data file kept nothing"

check_data_file_lines "$data_file"
lines=$(count_lines "$data_file")

# The reader got the feedback for every read.
acknowledged=$(grep -c 'acknowledged$' "$work/sim.log" || true)
[ "$acknowledged" = 8 ] || fail "$acknowledged of 8 reads acknowledged on the bus: $(cat "$work/sim.log")"
echo "attendance_wine: 8 reads, $(echo $server_numbers | wc -w) at the server, $lines in the data file"
