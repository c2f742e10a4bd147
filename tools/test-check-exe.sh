#!/usr/bin/env bash
# The checker answers bad input with one plain line and a non-zero exit.
#   test-check-exe.sh UninstallNotice.exe
set -u
[ -f "${1:-}" ] || { echo "usage: test-check-exe.sh UninstallNotice.exe"; exit 2; }
checker=$(dirname "$0")/check-exe.py
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT

printf 'not a program\n' >"$work/text.exe"
head -c 64 "$1" >"$work/header-only.exe"
head -c "$(($(stat -c %s "$1") / 2))" "$1" >"$work/half.exe"

passed=0 failed=0
for input in "$work/missing.exe" "$work/text.exe" "$work/header-only.exe" "$work/half.exe" "$work"; do
    out=$("$checker" imports "$input" 2>&1)
    status=$?
    lines=$(printf '%s\n' "$out" | wc -l)
    if [ $status -ne 0 ] && [ $status -ne 1 ] && [ "$lines" -eq 1 ] && [[ $out != *Traceback* ]]; then
        echo "ok: $(basename "$input"): exit $status: $out"
        passed=$((passed + 1))
    else
        echo "FAIL: $(basename "$input"): expected one line and exit 2, saw exit $status, $lines lines: $out"
        failed=$((failed + 1))
    fi
done
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
