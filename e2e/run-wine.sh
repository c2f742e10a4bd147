#!/usr/bin/env bash
# Runs the end-to-end driver under Wine, in a Wine virtual desktop on a
# private Xvfb display, with a Wine prefix of the build's own.
#   run-wine.sh BUILD-DIR DRIVER.exe UninstallNotice.exe [SCENARIO | --inno | --no-inno]
# The virtual desktop does not pass the driver's exit code through, so the
# driver writes a report and this script judges by its closing line.
set -u

fail() { echo "run-wine: $*" >&2; exit 1; }

[ $# -eq 3 ] || [ $# -eq 4 ] ||
    fail "usage: run-wine.sh BUILD-DIR DRIVER.exe UninstallNotice.exe [SCENARIO | --inno | --no-inno]"
build=$1 driver=$2 notice=$3
only=() part=""
case ${4-} in
"") ;;
--inno | --no-inno) only=("$4") part=${4#-} ;;
*) only=(--scenario "$4") part=-one-scenario ;;
esac
source "$(dirname "$0")/wine-env.sh" "$build"
[ -d "$build" ] || fail "no build directory at $build"
[ -f "$driver" ] || fail "no driver at $driver"
[ -f "$notice" ] || fail "no program at $notice"
is_windows_program "$driver" || fail "the driver $driver is not a Windows program (no MZ header)"
is_windows_program "$notice" || fail "the program $notice is not a Windows program (no MZ header)"
for tool in wine xvfb-run timeout; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (make test installs it)"
done
ensure_wine_prefix || exit 1

# Wine prefers its own uxtheme.dll and rstrtmgr.dll; Windows looks beside
# the program first for a DLL that is not a known system DLL. Make Wine do
# the same, so that the suite's planted DLLs are found wherever the search
# still allows.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;uxtheme,rstrtmgr=n,b"

report=$build/e2e-report$part.txt
rm -f "$report" "$WINE_LOG"

run_in_desktop 900 "$(to_windows_path "$driver")" "${only[@]}" "$(to_windows_path "$notice")" \
    "$(to_windows_path "$report")" &
runner=$!
# The driver writes its first line as soon as it starts. Anything else in its
# place (the program itself, say, with the two swapped) never does.
for _ in $(seq 300); do
    [ -s "$report" ] || ! kill -0 $runner 2>/dev/null && break
    sleep 0.1
done
if [ ! -s "$report" ] && kill -0 $runner 2>/dev/null && [ -z "$(wine_failure "$WINE_LOG")" ]; then
    wineserver -k 2>/dev/null
    wait $runner
    fail "the driver showed no sign of life within 30 s: is $driver the suite's driver?"
fi
wait $runner
status=$?

said=$(wine_failure "$WINE_LOG")
[ -f "$report" ] || [ -z "$said" ] || fail "Wine could not start the driver: $said"
[ -f "$report" ] || fail "the driver wrote no report (the run ended with status $status)"
# Wine's C runtime writes CR LF line ends.
tr -d '\r' <"$report"
last=$(tail -n 1 "$report" | tr -d '\r')
[[ $last =~ ^([0-9]+)\ passed,\ 0\ failed$ ]] && [ "${BASH_REMATCH[1]}" -gt 0 ] ||
    fail "the suite did not pass: ${last:-empty report}"
