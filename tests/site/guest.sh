#!/bin/bash
# The guest's half of the site test, installed as /opt/site/guest.sh in the
# guest's root. `guest.sh agent` is the test agent, started by
# site-agent.service: it runs each line that the host writes to the second
# serial port (ttyS1) and answers with the command's output and a last line
# "@@rc=STATUS@@". The other commands are the checks that the host asks for;
# each prints what it saw and fails with the reason. Waits are bounded: they
# wait for an event and give up after a limit that only bounds a hang.
set -uo pipefail

server_db=/var/lib/kalvinor-server/kalvinor-server.sqlite
data_file=/var/lib/lorventd/kalvinor.db

fail() {
    echo "FAILED: $*"
    exit 1
}

# Waits up to LIMIT seconds for the command after it to succeed.
wait_for() { # LIMIT COMMAND...
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

agent() {
    exec </dev/ttyS1 >/dev/ttyS1 2>&1
    stty raw -echo
    echo "@@agent@@"
    local line status
    while IFS= read -r line; do
        bash -c "$line" </dev/null
        status=$?
        echo "@@rc=$status@@"
    done
}

property() { # UNIT NAME
    systemctl show -p "$2" --value "$1"
}
is_active() { # UNIT
    [ "$(property "$1" ActiveState)" = active ]
}

# lorventd is active once it has sent READY=1 (Type=notify).
wait_active() { # UNIT...
    local unit
    for unit in "$@"; do
        wait_for 120 is_active "$unit" ||
            fail "$unit is not active: $(systemctl status --no-pager "$unit" | tail -3; journalctl -b -u "$unit" -o cat | tail -25)"
    done
}

# Microseconds from the kernel's start to lorventd's READY=1.
ready_after_boot() {
    wait_active lorventd
    [ "$(property lorventd NRestarts)" = 0 ] ||
        fail "lorventd failed at boot and was restarted: $(journalctl -b -u lorventd -o cat | head -30)"
    echo "lorventd ready $(property lorventd ActiveEnterTimestampMonotonic) us after the kernel started"
}

# The port as udev made it: the stable name, its group and mode, the tag that
# keeps ModemManager away, and the kernel's FTDI driver behind it.
check_reader_port() {
    wait_for 60 test -e /dev/lorvent-reader || fail "udev made no /dev/lorvent-reader: $(ls /dev/ttyUSB* 2>&1)"
    local device driver
    device=$(readlink -f /dev/lorvent-reader)
    driver=$(basename "$(readlink -f "/sys/class/tty/${device##*/}/device/driver")")
    echo "/dev/lorvent-reader -> $device ($(stat -c '%G %a' "$device"), driver $driver)"
    [ "$driver" = ftdi_sio ] || fail "the port's driver is $driver, not ftdi_sio"
    [ "$(stat -c %G "$device")" = dialout ] || fail "the port's group is not dialout"
    [ "$(stat -c %a "$device")" = 660 ] || fail "the port's mode is not 0660"
    udevadm info -q property "$device" | grep -qx ID_MM_DEVICE_IGNORE=1 ||
        fail "the port lacks ModemManager's ignore tag"
}

# Root reads the server's database where the service keeps it (its own
# user cannot reach /var/lib/private outside the service).
server_has() { # CARD
    kalvinor-server --list --db "$server_db" | grep -q " $1\$"
}
wait_stored() { # CARD
    wait_for 60 server_has "$1" ||
        fail "$1 did not reach the server's database: $(kalvinor-server --list --db "$server_db" 2>&1 | tail -3;
            journalctl -b -u kalvinor-server -o cat | tail -5; tail -3 "$data_file"; tail -5 /var/lib/lorventd/log.txt; cat /proc/net/tcp)"
    echo "$1 is in the server's database"
}

# A read is shown when lorventd's journal has its line.
wait_shown() { # CARD
    wait_for 60 sh -c "journalctl -b -u lorventd -o cat | grep -q ' $1\$'" ||
        fail "lorventd did not show $1"
}

data_file_count() { # CARD
    [ -e "$data_file" ] || { echo 0; return; }
    grep -c " $1"$'\r'"\$" "$data_file"
}
has_in_data_file() { # CARD
    [ "$(data_file_count "$1")" -ge 1 ]
}
# A record is in the data file exactly once.
in_data_file_once() { # CARD
    wait_for 30 has_in_data_file "$1" || fail "$1 is not in the data file"
    [ "$(data_file_count "$1")" = 1 ] || fail "$1 is in the data file $(data_file_count "$1") times"
    echo "$1 is in the data file once"
}
# Nowhere but in the data file, once: not on the server as well.
only_in_data_file() { # CARD
    in_data_file_once "$1"
    ! server_has "$1" || fail "$1 is in the data file and on the server"
}

# The record recovered at start-up was written before lorventd said it was ready.
recovered_before_ready() { # CARD
    wait_active lorventd
    in_data_file_once "$1"
    local written ready
    written=$(stat -c %.6Y "$data_file" | tr -d .)
    ready=$(systemctl show --timestamp=us+utc -p ActiveEnterTimestamp --value lorventd)
    ready=$(date -d "${ready#* }" +%s%6N)
    [ "$written" -le "$ready" ] ||
        fail "the data file was written at $written us, after lorventd was ready at $ready us"
    echo "$1 was in the data file when lorventd reported ready"
}

# How many lines of lorventd's journal at PRIORITY or above are TEXT.
journal_lines() { # PRIORITY TEXT
    journalctl -u lorventd -p "$1" -o cat | grep -cxF -- "$2" || true
}
journal_has_more() { # PRIORITY TEXT COUNT
    [ "$(journal_lines "$1" "$2")" -gt "$3" ]
}
# Waits for a line TEXT at PRIORITY or above beyond the COUNT there were.
wait_journal() { # PRIORITY TEXT COUNT
    wait_for 90 journal_has_more "$1" "$2" "$3" ||
        fail "no new '$2' at priority $1 in lorventd's journal: $(journalctl -u lorventd -o cat | tail -5)"
    echo "lorventd's journal: $2"
}

# lorventd has fed the watchdog when systemd heard WATCHDOG=1 from the
# process it started later than WatchdogSec after its start: one that never
# feeds it is killed by then.
fed_beyond_first_period() { # PID WATCHDOG_USEC
    [ "$(property lorventd MainPID)" = "$1" ] &&
        [ "$(property lorventd WatchdogTimestampMonotonic)" -gt \
          $(($(property lorventd ExecMainStartTimestampMonotonic) + $2)) ]
}
watchdog_fed() { # WATCHDOG_SECONDS
    wait_active lorventd
    local pid
    pid=$(property lorventd MainPID)
    wait_for $(($1 * 4)) fed_beyond_first_period "$pid" $(($1 * 1000000)) ||
        fail "lorventd (pid $pid) did not feed the watchdog: $(journalctl -b -u lorventd -o cat | tail -5)"
    echo "lorventd (pid $pid) feeds the watchdog within its ${1}s"
}

journal_count() { # CARD
    cat /var/lib/lorventd/kalvinor.db*.journal 2>/dev/null | grep -c " $1"$'\r'"\$"
}

# Stops lorventd with SIGSTOP once it has shown CARD, and checks that the
# record then waits in its journal and not yet in the data file.
pin_waiting() { # CARD
    wait_shown "$1"
    kill -STOP "$(property lorventd MainPID)"
    [ "$(journal_count "$1")" = 1 ] || fail "$1 is not in lorventd's journal once: $(journal_count "$1")"
    [ "$(data_file_count "$1")" = 0 ] || fail "$1 is in the data file already: the upload tick came first"
    echo "$1 waits in lorventd's journal; lorventd is stopped"
}

# A lorventd that stopped feeding the watchdog is killed and started again.
restarted_by_watchdog() {
    local pid restarts
    pid=$(property lorventd MainPID)
    restarts=$(property lorventd NRestarts)
    wait_for 120 sh -c "[ \"\$(systemctl show -p NRestarts --value lorventd)\" -gt $restarts ]" ||
        fail "lorventd (pid $pid) was not restarted"
    wait_active lorventd
    journalctl -u lorventd -o cat | grep -q "Watchdog timeout" ||
        fail "lorventd was restarted, but not by the watchdog: $(journalctl -u lorventd -o cat | tail -5)"
    echo "the watchdog killed lorventd (pid $pid); systemd started it again (pid $(property lorventd MainPID))"
}

stop_unit() { # UNIT
    systemctl stop "$1" || fail "systemctl stop $1 failed"
    echo "$1 stopped"
}
start_unit() { # UNIT
    systemctl start "$1" || fail "systemctl start $1 failed"
    wait_active "$1"
    echo "$1 started"
}

# Any command, for a person looking into a failure.
run() {
    bash -c "$*"
}

"$@"
