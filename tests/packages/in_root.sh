#!/bin/bash
# Runs inside the fresh root of install_test.sh, after the packages were
# installed: the programs from /usr/bin, as a site runs them.
set -euo pipefail
work=$(mktemp -d /var/tmp/lorvent-test.XXXXXX)
cd "$work"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT

fail() {
    echo "install-test: $*" >&2
    for log in "$work"/*.log; do echo "--- ${log##*/}" >&2; tail -15 "$log" >&2; done
    exit 1
}
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
    local limit=$1 i
    shift
    for ((i = 0; i < limit * 5; i++)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.2
    done
    return 1
}
stored() { kalvinor-server --list --db "$work/attendance.sqlite" | grep -q " $1\$"; }
in_data_file() { grep -q " $1"$'\r'"\$" "$work/state/kalvinor.db"; }
journal_has() { grep -qF -- "$1" "$work/lorventd.log"; }

for program in lorvent lorventd kalvinor-server; do
    [ "$(command -v "$program")" = "/usr/bin/$program" ] || fail "$program is not in /usr/bin"
done
[ -e /usr/lib/udev/rules.d/60-lorvent-reader.rules ] || [ -e /lib/udev/rules.d/60-lorvent-reader.rules ] ||
    fail "the udev rule is not installed"

# The reader on a pseudo-terminal, its commands through a FIFO.
mkfifo reader.commands
/opt/test/lorvent-reader-sim --link "$work/reader" <reader.commands >reader.log 2>&1 &
pids+=($!)
exec 3>reader.commands
reader() { echo "$*" >&3; }
wait_for 10 test -e "$work/reader" || fail "the simulator made no pty"

kalvinor-server --port 0 --db "$work/attendance.sqlite" >server.records 2>server.log &
server=$!
pids+=($server)
wait_for 10 grep -q "listening on" server.log || fail "kalvinor-server did not start"
port=$(sed -n 's/.*listening on [^ ]*:\([0-9]*\),.*/\1/p' server.log)
[ -n "$port" ] || fail "no port in: $(cat server.log)"

mkdir -p state
LORVENT_SERIAL=$work/reader LORVENT_SERVER_PORT=$port STATE_DIRECTORY=$work/state \
    lorventd -net 2>lorventd.log &
daemon=$!
pids+=($daemon)
wait_for 20 journal_has "<6>Ready" || fail "lorventd did not become ready"

reader card 12ab34cd
wait_for 30 stored 12ab34cd || fail "the read did not reach the server's database"
echo "a read reached the server's database"

kill -TERM "$server"
wait "$server" || fail "kalvinor-server did not end cleanly"
reader card 0a0b0c0d
wait_for 30 in_data_file 0a0b0c0d || fail "with the server stopped the read did not reach the data file"
echo "with the server stopped, the next read reached the data file"

# A read shown and then SIGTERM at once: the record is in the data file
# whether the upload tick or the shut-down put it there.
reader card 5a5a5a5a
wait_for 20 journal_has " 5a5a5a5a" || fail "lorventd did not show the third read"
kill -TERM "$daemon"
wait "$daemon" || fail "lorventd did not end cleanly on SIGTERM"
in_data_file 5a5a5a5a || fail "lorventd lost its queued record on SIGTERM"
journal_has "<6>signal 15, shutting down" || fail "no shut-down line in the journal"
echo "lorventd ended with SIGTERM kept its queued record"

# The window program under Xvfb, keyboard mode, the same reader.
exec 4>display.number
Xvfb -displayfd 4 -nolisten tcp >xvfb.log 2>&1 &
pids+=($!)
exec 4>&-
wait_for 20 test -s display.number || fail "Xvfb did not start"
export DISPLAY=:$(cat display.number)
LORVENT_SERIAL=$work/reader lorvent >lorvent.log 2>&1 &
pids+=($!)
viewable() { xwininfo -name Lorvent | grep -q "Map State: IsViewable"; }
wait_for 30 viewable || fail "lorvent showed no window"
echo "lorvent showed its window: $(xwininfo -name Lorvent | grep -E 'Width|Height' | tr -s ' ' | tr '\n' ' ')"
echo "all passed in the fresh root"
