#!/usr/bin/env bash
# What lorvent.exe and the simulated FTD2XX.DLL are as files, without running
# them: the width, the DLLs the program imports (only Windows' own: it is
# linked statically), and the library's calls at the numbers the program
# imports them by.
#
#   pe_check.sh OBJDUMP FORMAT LORVENT_EXE FTD2XX_DLL    (FORMAT: pei-i386 or pei-x86-64)
set -euo pipefail
objdump=$1 format=$2 exe=$3 dll=$4

fail() {
    echo "pe_check: $*" >&2
    exit 1
}

for file in "$exe" "$dll"; do
    "$objdump" -f "$file" | grep -q "file format $format\$" ||
        fail "$file is not $format: $("$objdump" -f "$file" | grep 'file format')"
done

windows_own=" ADVAPI32.DLL GDI32.DLL KERNEL32.DLL MSVCRT.DLL SHELL32.DLL USER32.DLL WS2_32.DLL "
imports=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr a-z A-Z | sort -u)
for import in $imports; do
    [[ "$windows_own" == *" $import "* ]] || fail "lorvent.exe imports $import, which Windows lacks"
done

# Each name with its ordinal; objdump lists names by their index from base 1.
exports=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[ *\([0-9]*\)\] \(FT_[A-Za-z]*\)$/\2 \1/p' |
    while read -r name index; do echo "$name $((index + 1))"; done | sort | xargs)
expected="FT_Close 2 FT_Open 1 FT_Read 3 FT_SetBaudRate 7 FT_SetDataCharacteristics 8"
expected+=" FT_SetFlowControl 9 FT_SetTimeouts 17 FT_Write 4"
[ "$exports" = "$expected" ] || fail "FTD2XX.DLL exports '$exports', not '$expected'"
echo "pe_check: $format; lorvent.exe imports $(echo $imports); FTD2XX.DLL's eight calls in place"
