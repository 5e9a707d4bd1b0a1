#!/usr/bin/env bash
# Runs COMMAND and passes only when it ends with status 0 and its output
# (standard output and error together, passed on as they come) has a line
# that matches the extended regular expression PATTERN. A ctest test with
# PASS_REGULAR_EXPRESSION would pass on the output alone, whatever the status.
#   passes_with_output.sh PATTERN COMMAND [ARGUMENT...]
set -uo pipefail
pattern=$1
shift
output=$(mktemp)
trap 'rm -f "$output"' EXIT
"$@" 2>&1 | tee "$output"
status=${PIPESTATUS[0]}
if [ "$status" != 0 ]; then
    echo "passes_with_output: $1 ended with status $status"
    exit 1
fi
if ! grep -Eq -- "$pattern" "$output"; then
    echo "passes_with_output: no line of the output matches '$pattern'"
    exit 1
fi
