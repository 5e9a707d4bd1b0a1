#!/usr/bin/env bash
# The Windows build at length: lorvent.exe in attendance mode under Wine, the
# simulated FTD2XX.DLL reading a card every second or so with a fault on the
# bus now and then, kalvinor-server running natively and stopped for a while
# every minute. At the end every read the reader heard acknowledged must be
# stored by the server or in the data file, whose lines are whole records.
# No record is stored more often than the window showed it, except once more
# in the data file beside the server's copy: the server stored it and its OK
# never reached lorvent (a stopped server can cut an exchange so, and the
# test cannot see which), which is the one extra copy a run without kills
# may make.
#
#   soak_wine.sh LORVENT_EXE FTD2XX_DLL CLOSE_WINDOW_EXE SOURCE_DIR
#
# LORVENT_WINE_SOAK_SECONDS, else LORVENT_SOAK_SECONDS (which the windows test
# preset sets to 10), is how long cards are read: 60 s by default, 600 for ten
# minutes. The native server is found as attendance_wine.sh finds it.
set -euo pipefail

lorvent_exe=$1
sim_dll=$2
close_window_exe=$3
source_dir=$4
wine_run="$source_dir/scripts/wine-run"
seconds=${LORVENT_WINE_SOAK_SECONDS:-${LORVENT_SOAK_SECONDS:-60}}

me=soak_wine
source "$(dirname "$0")/wine_test_lib.sh"
find_native_server
[ -n "${DISPLAY:-}${LORVENT_WINE_SESSION:-}" ] || fail "no display: run it through ctest or scripts/windows-tests"
make_work
start_server

# Cards at gaps of 0.5 to 1.5 s, one bus fault in every five gaps.
faults=("noise 24" "corrupt-crc 2" "lose-replies 2" "repeat 1" "wrong-address" "oversize"
    "reset-request" "silence 2s")
RANDOM=20261209
{
    echo "wait 2s"
    elapsed=0 card=0
    while [ $elapsed -lt $((seconds * 1000)) ]; do
        card=$((card + 1))
        printf 'card 0x%08x\n' $((0x6d000000 + card))
        if [ $((RANDOM % 5)) = 0 ]; then echo "${faults[RANDOM % ${#faults[@]}]}"; fi
        gap=$((500 + RANDOM % 1000))
        echo "wait ${gap}ms"
        elapsed=$((elapsed + gap))
    done
    echo "wait 10s"
} >"$work/script.txt"

start_lorvent "$port"

# The server goes away for 20 s of every minute; the reads meanwhile go to
# the data file.
end=$((SECONDS + seconds + 12))
while [ $SECONDS -lt $end ]; do
    sleep $((end - SECONDS < 40 ? end - SECONDS : 40))
    [ $SECONDS -lt $((end - 20)) ] || break
    stop_server
    sleep 20
    start_server "$port"
done
kill -0 "$lorvent" 2>/dev/null || fail "lorvent.exe ended early: $(cat "$work/lorvent.out")"

"$wine_run" "$close_window_exe" Lorvent 10 || fail "lorvent's window was not found"
status=0
wait "$lorvent" || status=$?
lorvent=""
[ "$status" = 0 ] || fail "lorvent.exe ended with status $status: $(cat "$work/lorvent.out")"

data_file="$work/run/kalvinor.db"
acknowledged=$(sed -n 's/.*card read \([0-9a-f]*\) acknowledged$/\1/p' "$work/sim.log" | sort -u)
stored=$(stored | awk '{print $NF}' | sort)
filed=$(tr -d '\r' <"$data_file" 2>/dev/null | awk 'NF {print $NF}' | sort)
lost=$(comm -23 <(echo "$acknowledged") <(printf '%s\n' $stored $filed | sort -u) | grep -c . || true)
in_both=$(comm -12 <(echo "$stored" | sort -u) <(echo "$filed" | sort -u) | grep -c . || true)
echo "soak_wine: $seconds s, $(echo "$acknowledged" | grep -c .) reads acknowledged on the bus," \
    "$(echo "$stored" | grep -c .) stored by the server, $(echo "$filed" | grep -c .) in the data" \
    "file, $in_both in both, $lost lost"
[ "$lost" = 0 ] || fail "reads lost: $(comm -23 <(echo "$acknowledged") <(printf '%s\n' $stored $filed | sort -u))"
[ -n "$acknowledged" ] || fail "no read was acknowledged: $(cat "$work/sim.log")"
if [ -s "$data_file" ] &&
    grep -qv $'^[0-9][0-9]/[0-9][0-9]/[0-9]\{4\}-[0-9][0-9]:[0-9][0-9] [0-9a-f]*\r$' "$data_file"; then
    fail "data file lines not whole records: $(cat -A "$data_file")"
fi
# Per number: rows shown, copies on the server, lines in the file.
wrong_copies=$(
    {
        tr -d '\r' <"$work/window" | sed -n 's/^LogGrid 1 [0-9]* \([0-9a-f]*\)$/shown \1/p'
        echo "$stored" | sed -n 's/^\([0-9a-f][0-9a-f]*\)$/stored \1/p'
        echo "$filed" | sed -n 's/^\([0-9a-f][0-9a-f]*\)$/filed \1/p'
    } | awk '{ count[$1, $2]++; numbers[$2] = 1 }
        END {
            for (n in numbers) {
                shown = count["shown", n] + 0; s = count["stored", n] + 0; f = count["filed", n] + 0
                reads = shown > 0 ? shown : 1
                if (s > reads || f > reads || s + f > reads + 1)
                    printf "%s: shown %d, stored %d, filed %d\n", n, shown, s, f
            }
        }'
)
[ -z "$wrong_copies" ] || fail "records stored more often than the window showed them: $wrong_copies"
for journal in "$data_file".*.journal; do
    [ ! -s "$journal" ] || fail "the journal was not emptied: $(cat -A "$journal")"
done
