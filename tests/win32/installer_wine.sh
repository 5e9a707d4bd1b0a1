#!/usr/bin/env bash
# The installer end to end under Wine, as an IT department uses it: a silent
# install into a fresh Wine prefix with a start at log-in in attendance mode
# and a data file under a Czech name; the installed lorvent.exe, started by
# its Start-menu shortcut with the simulated FTD2XX.DLL where the converter's
# driver puts it, uploads to a native kalvinor-server and keeps the reads the
# server misses in the data file; then a silent uninstall, after which the
# program, its shortcuts and its Programs and Features entry are gone, and
# the data file and log.txt are not.
#
#   installer_wine.sh SOURCE_DIR [WIDTH [SETUP_EXE]]
#
# WIDTH 32 (the default) is the default install: the 32-bit installer puts
# the 32-bit lorvent.exe under Program Files (x86); it needs Wine's 32-bit
# half (scripts/windows-tests runs it in a virtual machine where this
# machine's kernel cannot run 32-bit programs, see scripts/wine32-guest).
# WIDTH 64 is the 64-bit build of the same script installing the 64-bit
# lorvent.exe (/64). The installer is built here (scripts/package) unless
# SETUP_EXE names one built for WIDTH.
#
# Needs the builds windows and windows32 (scripts/package builds what it
# uses), makensis unless SETUP_EXE is given, and the native server (see
# wine_test_lib.sh).
set -euo pipefail

source_dir=$(cd "$1" && pwd)
width=${2:-32}
given_installer=${3:-}
me=installer_wine
source "$(dirname "$0")/wine_test_lib.sh"
source "$source_dir/scripts/wine-env"
find_native_server

work=$(mktemp -d "${TMPDIR:-/tmp}/lorvent-installer-wine.XXXXXX")
# LORVENT_INSTALLER_PREFIX names a fresh prefix made ready elsewhere (the
# virtual machine of wine32-guest gives a copy of its kept one); otherwise
# one is made here.
export LORVENT_WINEPREFIX=${LORVENT_INSTALLER_PREFIX:-$work/prefix} LORVENT_WINE_SESSION="$work/session"
export WINEPREFIX=$LORVENT_WINEPREFIX
wine_run="$source_dir/scripts/wine-run"
server=""
lorvent=""
cleanup() {
    [ -z "$lorvent" ] || kill "$lorvent" 2>/dev/null || true
    [ -z "$server" ] || kill "$server" 2>/dev/null || true
    "$source_dir/scripts/wine-session" stop "$LORVENT_WINE_SESSION" >/dev/null 2>&1 || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

case $width in
32)
    lorvent_wine_runs_32bit || fail "Wine cannot run 32-bit programs here (its kernel does not" \
        "run them, or wine32 is missing); scripts/windows-tests runs this part in a virtual machine"
    target=x86-unicode install_options=()
    program_dir="Program Files (x86)/Lorvent" library_dir=windows/syswow64 reg_view=/reg:32 ;;
64)
    target=amd64-unicode install_options=(/64)
    program_dir="Program Files/Lorvent" library_dir=windows/system32 reg_view=/reg:64 ;;
*) fail "no width $width (32 or 64)" ;;
esac
if [ -n "$given_installer" ]; then
    installer=$given_installer
    [ -e "$installer" ] || fail "no installer $installer"
else
    LORVENT_PACKAGES="$work/packages" LORVENT_INSTALLER_TARGET=$target \
        "$source_dir/scripts/package" windows >"$work/package.log" 2>&1 ||
        fail "the installer did not build: $(cat "$work/package.log")"
    installer=$(ls "$work"/packages/lorvent-setup-*.exe)
fi
if [ $width = 32 ]; then sim_build=windows32; else sim_build=windows; fi
sim_dll="$source_dir/build/$sim_build/sim/dll/FTD2XX.DLL"
close_window_exe="$source_dir/build/windows/tests/win32/close_window.exe"
[ -e "$sim_dll" ] && [ -e "$close_window_exe" ] ||
    fail "build the Windows tests first (scripts/windows-tests)"

"$source_dir/scripts/wine-session" start "$LORVENT_WINE_SESSION" >/dev/null
drive_c="$WINEPREFIX/drive_c"
start_menu="$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Lorvent'
data_dir="$drive_c/Docházka"
log_txt="$drive_c/ProgramData/Lorvent/log.txt"

# --- Silent install ---
"$wine_run" "$installer" /S "${install_options[@]}" /AUTOSTART=attendance \
    '/DB=C:\Docházka\kalvinor.db' >"$work/install.log" 2>&1 ||
    fail "the silent install failed ($?): $(cat "$work/install.log")"
# Windows spells the folder Startup, Wine StartUp.
startup=$(find "$start_menu" -mindepth 1 -maxdepth 1 -iname startup -print -quit)
[ -n "$startup" ] || fail "no Startup folder in $start_menu"
for file in "$drive_c/$program_dir/lorvent.exe" "$drive_c/$program_dir/uninstall.exe" \
    "$start_menu/Lorvent/Lorvent - klávesnice.lnk" "$start_menu/Lorvent/Lorvent - docházka.lnk" \
    "$startup/Lorvent.lnk"; do
    [ -e "$file" ] || fail "not installed: $file"
done
expected_format=$([ $width = 32 ] && echo "PE32 executable" || echo "PE32+ executable")
file "$drive_c/$program_dir/lorvent.exe" | grep -q "$expected_format" ||
    fail "the installed lorvent.exe is not the $width-bit one: $(file "$drive_c/$program_dir/lorvent.exe")"
"$wine_run" reg query "$uninstall_key" $reg_view >"$work/key.txt" 2>&1 ||
    fail "no entry in Programs and Features: $(cat "$work/key.txt")"
grep -q 'QuietUninstallString.*uninstall.exe" /S' "$work/key.txt" ||
    fail "no silent uninstall in the entry: $(cat "$work/key.txt")"

# --- The installed program, as the start at log-in starts it ---
cp "$sim_dll" "$drive_c/$library_dir/FTD2XX.DLL"
start_server
numbers=(20261211 20261212 20261213)
printf 'wait 2s\ncard 0x%s\nwait 1s\ncard 0x%s\nwait 15s\ncard 0x%s\n' "${numbers[@]}" >"$work/script.txt"
LORVENT_SERVER_PORT=$port LORVENT_SIM_SCRIPT="$(windows_path "$work/script.txt")" \
    LORVENT_SIM_LOG="$(windows_path "$work/sim.log")" \
    "$wine_run" start /wait /unix "$startup/Lorvent.lnk" >"$work/lorvent.out" 2>&1 &
lorvent=$!
server_has_first_reads() { [ "$(stored_count)" -ge 2 ]; }
wait_for "the first two reads at the server" 60 server_has_first_reads
stop_server
data_file="$data_dir/kalvinor.db"
file_has_last_read() { [ -e "$data_file" ] && grep -q "${numbers[2]}" "$data_file"; }
wait_for "the last read in the data file" 60 file_has_last_read
"$wine_run" "$close_window_exe" Lorvent 10 >/dev/null 2>&1 || fail "lorvent's window was not found"
wait "$lorvent" || fail "lorvent.exe ended with status $?: $(cat "$work/lorvent.out")"
lorvent=""
[ "$(stored | awk '{print $NF}' | sort | xargs)" = "${numbers[0]} ${numbers[1]}" ] ||
    fail "the server stored: $(stored)"
check_data_file_lines "$data_file"
grep -q "Slave wakes" "$log_txt" || fail "no log.txt in the shortcuts' folder"
cp "$data_file" "$work/data-before"

# --- Silent uninstall: it copies itself away and returns at once ---
"$wine_run" "$drive_c/$program_dir/uninstall.exe" /S >"$work/uninstall.log" 2>&1 ||
    fail "the silent uninstall failed: $(cat "$work/uninstall.log")"
program_gone() { [ ! -e "$drive_c/$program_dir" ]; }
wait_for "the program folder to go" 30 program_gone
for gone in "$start_menu/Lorvent" "$startup/Lorvent.lnk"; do
    [ ! -e "$gone" ] || fail "left after uninstall: $gone"
done
if "$wine_run" reg query "$uninstall_key" $reg_view >/dev/null 2>&1; then
    fail "the Programs and Features entry is left"
fi
cmp -s "$data_file" "$work/data-before" || fail "the data file was changed or removed"
[ -s "$log_txt" ] || fail "log.txt was removed"
echo "$me: the $width-bit install ran, stored ${numbers[0]} ${numbers[1]} at the server and" \
    "${numbers[2]} in the data file; the uninstall kept the data file and log.txt"
