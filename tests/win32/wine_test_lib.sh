# Sourced by the scripts that test lorvent.exe under Wine against the native
# kalvinor-server: finding the server, starting it on a free port, starting
# lorvent.exe with the simulated reader, waiting, and Windows paths. The
# sourcing script sets `me` (its name, for messages) and `source_dir`, and
# a `work` folder (make_work) before starting the server.

fail() {
    echo "$me: $*" >&2
    exit 1
}

# The native server: $LORVENT_NATIVE_SERVER or one of the native builds.
find_native_server() {
    server_bin=${LORVENT_NATIVE_SERVER:-}
    if [ -z "$server_bin" ]; then
        local preset
        for preset in debug release asan; do
            if [ -x "$source_dir/build/$preset/server/kalvinor-server" ]; then
                server_bin="$source_dir/build/$preset/server/kalvinor-server"
                break
            fi
        done
    fi
    [ -n "$server_bin" ] && [ -x "$server_bin" ] ||
        fail "the native kalvinor-server is not built; build it first with" \
            "'cmake --preset debug && cmake --build build/debug --target kalvinor-server'" \
            "(or name it in LORVENT_NATIVE_SERVER)"
}

wait_for() { # what seconds command...
    local what=$1 deadline=$((SECONDS + $2))
    shift 2
    until "$@"; do
        [ $SECONDS -lt $deadline ] || fail "gave up waiting for $what"
        sleep 0.2
    done
}

count_lines() { # file: its non-empty lines, 0 when it does not exist
    if [ -e "$1" ]; then grep -c . "$1" || true; else echo 0; fi
}

windows_path() { # the Z: drive of Wine's prefix is the Unix root
    local path=${1//\//\\}
    echo "Z:$path"
}

# A work folder of this run in `work`, removed on exit together with the
# processes in `server` and `lorvent`.
make_work() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/lorvent-$me.XXXXXX")
    server=""
    lorvent=""
    trap remove_work EXIT
}
remove_work() {
    [ -z "$lorvent" ] || kill "$lorvent" 2>/dev/null || true
    [ -z "$server" ] || kill "$server" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}

# The server on loopback, on the port given or a free one, with a database in
# $work (kept across restarts); sets `server` (its process) and `port`.
start_server() { # [port]
    "$server_bin" --port "${1:-0}" --db "$work/server.sqlite" >"$work/server.out" 2>"$work/server.err" &
    server=$!
    wait_for "the server to listen" 10 grep -q 'listening on' "$work/server.err"
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\),.*/\1/p' "$work/server.err")
    [ -n "$port" ] || fail "no port in: $(cat "$work/server.err")"
}

stop_server() {
    kill -TERM "$server"
    wait "$server" 2>/dev/null || true
    server=""
}

# lorvent.exe (`lorvent_exe`) in attendance mode in $work/run beside the
# simulated FTD2XX.DLL (`sim_dll`), uploading to the port given, its reader
# playing $work/script.txt and logging to $work/sim.log, its window's trace
# in $work/window; the Wine process is left in `lorvent`.
start_lorvent() { # port
    mkdir -p "$work/run"
    cp "$lorvent_exe" "$work/run/lorvent.exe"
    cp "$sim_dll" "$work/run/FTD2XX.DLL"
    (
        cd "$work/run"
        LORVENT_SERVER_PORT=$1 LORVENT_SIM_SCRIPT="$(windows_path "$work/script.txt")" \
            LORVENT_SIM_LOG="$(windows_path "$work/sim.log")" \
            LORVENT_UI_TRACE="$(windows_path "$work/window")" \
            exec "$wine_run" lorvent.exe -net -db "$(windows_path "$work/run/kalvinor.db")"
    ) >"$work/lorvent.out" 2>&1 &
    lorvent=$!
}

stored() { "$server_bin" --list --db "$work/server.sqlite"; }
stored_count() { stored | grep -c . || true; }

# Data file lines: dd/mm/yyyy-hh:nn number, each ended by CR LF.
check_data_file_lines() {
    local data_file=$1 lines crlf
    lines=$(count_lines "$data_file")
    crlf=$(grep -c $'\r$' "$data_file" || true)
    [ "$lines" = "$crlf" ] || fail "$crlf of $lines data file lines end in CR LF"
    if grep -qv $'^[0-9][0-9]/[0-9][0-9]/[0-9]\{4\}-[0-9][0-9]:[0-9][0-9] [0-9]*\r$' "$data_file"; then
        fail "data file lines not as 'dd/mm/yyyy-hh:nn number': $(cat -A "$data_file")"
    fi
}
