# Shared by the attendance scripts that run lorvent.exe under Wine against the
# native kalvinor-server: sourced after `name` and `source_dir` are set.
# Gives fail, wait_for, windows_path, start_lorvent, server_bin and a work
# directory `work` removed on exit together with the processes in `server` and
# `lorvent`.

fail() {
    echo "$name: $*" >&2
    exit 1
}

server_bin=${LORVENT_NATIVE_SERVER:-}
if [ -z "$server_bin" ]; then
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
[ -n "${DISPLAY:-}" ] || fail "no DISPLAY: run it through scripts/windows-tests"

work=$(mktemp -d "${TMPDIR:-/tmp}/lorvent-$name.XXXXXX")
server=""
lorvent=""
cleanup() {
    [ -z "$lorvent" ] || kill "$lorvent" 2>/dev/null || true
    [ -z "$server" ] || kill "$server" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

wait_for() { # what seconds command...
    local what=$1 deadline=$((SECONDS + $2))
    shift 2
    until "$@"; do
        [ $SECONDS -lt $deadline ] || fail "gave up waiting for $what"
        sleep 0.2
    done
}
windows_path() { # the Z: drive of Wine's prefix is the Unix root
    local path=${1//\//\\}
    echo "Z:$path"
}

# lorvent.exe in attendance mode in $work/run, uploading to the server's port
# given, its simulated reader playing $work/script.txt and logging to
# $work/sim.log; the Wine process is left in `lorvent`.
start_lorvent() { # port
    mkdir -p "$work/run"
    cp "$lorvent_exe" "$work/run/lorvent.exe"
    cp "$sim_dll" "$work/run/FTD2XX.DLL"
    (
        cd "$work/run"
        LORVENT_SERVER_PORT=$1 LORVENT_SIM_SCRIPT="$(windows_path "$work/script.txt")" \
            LORVENT_SIM_LOG="$(windows_path "$work/sim.log")" \
            exec "$wine_run" lorvent.exe -net -db "$(windows_path "$work/run/kalvinor.db")"
    ) >"$work/lorvent.out" 2>&1 &
    lorvent=$!
}
