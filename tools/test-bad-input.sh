#!/usr/bin/env bash
# Our scripts answer wrong input with one plain line and a non-zero exit, at
# once: before they set up Wine or build anything. A script that would wait
# (a wrong driver used to hang for 300 s) is cut off and fails here.
#   test-bad-input.sh BUILD-DIR
set -u
[ -d "${1:-}" ] || { echo "usage: test-bad-input.sh BUILD-DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
printf 'not a program\n' >"$work/text.exe"
mkdir "$work/only-program" "$work/text-program"
cp "$build/UninstallNotice.exe" "$work/only-program/"
cp "$work/text.exe" "$work/text-program/UninstallNotice.exe"
cp "$build/notice_e2e.exe" "$work/text-program/"

passed=0 failed=0
# expect NAME TEXT-IN-THE-LINE -- COMMAND...
expect() {
    local name=$1 text=$2
    shift 3
    env -u DISPLAY timeout -k 5 20 "$@" >"$work/out" 2>"$work/err"
    local status=$? lines
    lines=$(cat "$work/out" "$work/err" | grep -c '')
    if [ $status -ne 0 ] && [ $status -ne 124 ] && [ "$lines" -eq 1 ] && grep -q -F -- "$text" "$work/err"; then
        echo "ok: $name: $(cat "$work/err")"
        passed=$((passed + 1))
    else
        echo "FAIL: $name: expected one line with '$text' and a non-zero exit within 20 s;" \
            "saw exit $status: $(cat "$work/out" "$work/err")"
        failed=$((failed + 1))
    fi
}

expect "suite, text file as the driver" "driver $work/text.exe is not a Windows program" -- \
    bash "$root/e2e/run-wine.sh" "$build" "$work/text.exe" "$build/UninstallNotice.exe"
expect "suite, text file as the program" "program $work/text.exe is not a Windows program" -- \
    bash "$root/e2e/run-wine.sh" "$build" "$build/notice_e2e.exe" "$work/text.exe"
expect "make run, a folder with the program only" "no driver at" -- \
    bash "$root/scripts/run-notice.sh" "$work/only-program"
expect "make run, text file as the program" "is not a Windows program" -- \
    bash "$root/scripts/run-notice.sh" "$work/text-program"
expect "make bench, BENCH_PAIRS=\"5 6\"" "BENCH_PAIRS must be a whole number" -- \
    bash "$root/bench/run-bench.sh" --check-pairs "5 6"
for folder in only-program text-program; do
    [ ! -e "$work/$folder/wineprefix" ] && passed=$((passed + 1)) && echo "ok: $folder: no Wine prefix" ||
        { failed=$((failed + 1)) && echo "FAIL: $folder: a Wine prefix was created"; }
done
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
