#!/usr/bin/env bash
# Runs the end-to-end driver under Wine, in the virtual desktop of a Wine
# prefix of the build's own, on a private Xvfb display. Its lines go to
# standard output; it passes when the driver ends with exit code 0 and its
# closing line says that its checks, more than none, passed.
#   run-wine.sh BUILD-DIR DRIVER.exe UninstallNotice.exe [SCENARIO | --inno | --no-inno]
set -u

fail() { echo "run-wine: $*" >&2; exit 1; }

[ $# -eq 3 ] || [ $# -eq 4 ] ||
    fail "usage: run-wine.sh BUILD-DIR DRIVER.exe UninstallNotice.exe [SCENARIO | --inno | --no-inno]"
build=$1 driver=$2 notice=$3
only=()
case ${4-} in
"") ;;
--inno | --no-inno) only=("$4") ;;
*) only=(--scenario "$4") ;;
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

# Two drivers in one prefix would see each other's windows: one at a time.
bound=$(scaled 900)
exec {lock}>"$WINEPREFIX.run.lock"
flock -w "$bound" "$lock" || fail "another run of the suite held $WINEPREFIX.run.lock for $bound s"
rm -f "$WINE_LOG"
# Wine's C runtime writes CR LF line ends.
run_in_desktop 900 "$(to_windows_path "$driver")" "${only[@]}" "$(to_windows_path "$notice")" |
    tr -d '\r' | {
    last=""
    while IFS= read -r line; do
        printf '%s\n' "$line"
        last=$line
    done
    [[ $last =~ ^([0-9]+)\ passed,\ 0\ failed$ ]] && [ "${BASH_REMATCH[1]}" -gt 0 ]
}
statuses=("${PIPESTATUS[@]}")
status=${statuses[0]}
[ "$status" -ne 124 ] && [ "$status" -ne 137 ] || fail "the suite was cut off after $bound s"
said=$(wine_failure "$WINE_LOG")
[ "$status" -eq 0 ] || [ -z "$said" ] || fail "Wine could not start the driver: $said"
[ "$status" -eq 0 ] || fail "the suite did not pass: the driver ended with exit code $status"
[ "${statuses[2]}" -eq 0 ] || fail "the driver ended with exit code 0 but said no 'N passed, 0 failed': is $driver the suite's driver?"
