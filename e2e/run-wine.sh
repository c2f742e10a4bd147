#!/usr/bin/env bash
# Runs the end-to-end driver under Wine, in a Wine virtual desktop on a
# private Xvfb display, with a Wine prefix of the build's own.
#   run-wine.sh BUILD-DIR DRIVER.exe UninstallNotice.exe [SCENARIO]
# The virtual desktop does not pass the driver's exit code through, so the
# driver writes a report and this script judges by its closing line.
set -u

fail() { echo "run-wine: $*" >&2; exit 1; }

[ $# -eq 3 ] || [ $# -eq 4 ] || fail "usage: run-wine.sh BUILD-DIR DRIVER.exe UninstallNotice.exe [SCENARIO]"
build=$1 driver=$2 notice=$3
only=()
[ $# -eq 4 ] && only=(--scenario "$4")
[ -d "$build" ] || fail "no build directory at $build"
[ -f "$driver" ] || fail "no driver at $driver"
[ -f "$notice" ] || fail "no program at $notice"
for tool in wine xvfb-run timeout; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (make test installs it)"
done

source "$(dirname "$0")/wine-env.sh" "$build"

# Wine prefers its own uxtheme.dll; Windows looks beside the program first
# for a DLL that is not a known system DLL. Make Wine do the same, so that
# the suite's planted uxtheme.dll is found wherever the search still allows.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;uxtheme=n,b"

report=$build/e2e-report${4:+-one-scenario}.txt
rm -f "$report"

run_in_desktop 300 "$(to_windows_path "$driver")" "${only[@]}" "$(to_windows_path "$notice")" \
    "$(to_windows_path "$report")"
status=$?

[ -f "$report" ] || fail "the driver wrote no report (the run ended with status $status)"
# Wine's C runtime writes CR LF line ends.
tr -d '\r' <"$report"
last=$(tail -n 1 "$report" | tr -d '\r')
[[ $last =~ ^([0-9]+)\ passed,\ 0\ failed$ ]] && [ "${BASH_REMATCH[1]}" -gt 0 ] ||
    fail "the suite did not pass: ${last:-empty report}"
