#!/usr/bin/env bash
# The checker answers bad input with one plain line on stderr and exit code 2,
# and --help with its usage on stdout and exit code 0.
#   test-check-exe.sh UninstallNotice.exe
set -u
[ -f "${1:-}" ] || { echo "usage: test-check-exe.sh UninstallNotice.exe" >&2; exit 2; }
checker=$(dirname "$0")/check-exe.py
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT

printf 'not a program\n' >"$work/text.exe"
head -c 64 "$1" >"$work/header-only.exe"
head -c "$(($(stat -c %s "$1") / 2))" "$1" >"$work/half.exe"

passed=0 failed=0
# expect NAME STATUS STDOUT-LINES STDERR-LINES [TEXT-IN-OUTPUT] -- COMMAND...
expect() {
    local name=$1 status=$2 outs=$3 errs=$4 text=$5
    shift 6
    "$@" >"$work/out" 2>"$work/err"
    local got=$? o e
    o=$(grep -c '' "$work/out") e=$(grep -c '' "$work/err")
    if [ $got -eq "$status" ] && [ "$o" -eq "$outs" ] && [ "$e" -eq "$errs" ] &&
        ! grep -q Traceback "$work/out" "$work/err" && grep -q -F -- "$text" "$work/out" "$work/err"; then
        echo "ok: $name: exit $got: $(cat "$work/out" "$work/err" | head -n 1)"
        passed=$((passed + 1))
    else
        echo "FAIL: $name: expected exit $status, $outs line(s) on stdout and $errs on stderr" \
            "with '$text'; saw exit $got, $o and $e: $(cat "$work/out" "$work/err")"
        failed=$((failed + 1))
    fi
}

for input in "$work/missing.exe" "$work/text.exe" "$work/header-only.exe" "$work/half.exe" "$work"; do
    expect "$(basename "$input")" 2 0 1 "check-exe: " -- "$checker" imports "$input"
done
expect "no arguments" 2 0 1 "usage: " -- "$checker"
expect "--help" 0 3 0 "usage: " -- "$checker" --help
# An interpreter that cannot see Debian's pefile (here: Debian's own, without
# its site packages) must not be told that the package is missing.
expect "interpreter without pefile" 2 0 1 "cannot import pefile" -- \
    /usr/bin/python3 -S "$checker" imports "$1"
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
