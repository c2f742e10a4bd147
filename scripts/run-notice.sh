#!/usr/bin/env bash
# Shows the notice under Wine. With a display, the real box stays up until
# the user dismisses it. Headless, it runs in a Wine virtual desktop on Xvfb
# over a stand-in uninstall window, saves a screenshot and dismisses it.
#   run-notice.sh BUILD-DIR
set -u

fail() { echo "run-notice: $*" >&2; exit 1; }

[ $# -eq 1 ] || fail "usage: run-notice.sh BUILD-DIR"
build=$1
notice=$build/UninstallNotice.exe driver=$build/notice_e2e.exe
source "$(dirname "$0")/../e2e/wine-env.sh" "$build"

# Every input is checked before anything (the Wine prefix) is created.
[ -f "$notice" ] || fail "no program at $notice (make run builds it)"
is_windows_program "$notice" || fail "$notice is not a Windows program (no MZ header)"
tools=(wine)
if [ -z "${DISPLAY:-}" ]; then
    [ -f "$driver" ] || fail "no driver at $driver (make run builds it)"
    is_windows_program "$driver" || fail "$driver is not a Windows program (no MZ header)"
    tools+=(xvfb-run timeout convert)
fi
for tool in "${tools[@]}"; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (make run installs it)"
done
ensure_wine_prefix || exit 1

if [ -n "${DISPLAY:-}" ]; then
    echo "The notice is on screen; dismiss it to go on."
    wine "$(to_windows_path "$notice")"
    echo "UninstallNotice.exe ended with exit code $?"
    exit 0
fi

report=$build/notice-demo.txt signal=$build/notice-demo.shot shot=$build/notice-demo.xwd
picture=$build/../notice.png
rm -f "$report" "$signal" "$shot" "$picture" "$WINE_LOG"

shoot_in_desktop 30 "$report" "$signal" "$shot" "$(to_windows_path "$driver")" --demo \
    "$(to_windows_path "$notice")" "$(to_windows_path "$report")" "$(to_windows_path "$signal")"

why=$(shot_failure "$report" "$shot" "the notice")
[ ! -f "$report" ] || tr -d '\r' <"$report" | grep -v '^\(notice_e2e: testing\|exit code\)'
[ -z "$why" ] || fail "$why"
convert "xwd:$shot" "$picture" || fail "cannot write $picture"
rm -f "$shot"
echo "Screenshot of the notice: $(realpath "$picture")"
code=$(tr -d '\r' <"$report" | sed -n 's/^exit code //p')
[ -n "$code" ] || fail "the notice did not end"
echo "UninstallNotice.exe ended with exit code $code"
