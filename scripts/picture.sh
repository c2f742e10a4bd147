#!/usr/bin/env bash
# Takes the picture of the notice over a real uninstaller of an installer
# system, headless: the system's example installer from the build is
# installed in a Wine virtual desktop on Xvfb, its uninstaller run as a user
# runs it, and the desktop shot while the notice is up. nsis-guiinit: the
# suite's NSIS client that calls the notice from un.onGUIInit instead.
#   picture.sh BUILD-DIR nsis|nsis-guiinit|inno OUT.png       (make pictures)
set -u

fail() { echo "picture: $*" >&2; exit 1; }

[ $# -eq 3 ] || fail "usage: picture.sh BUILD-DIR nsis|nsis-guiinit|inno OUT.png"
build=$1 system=$2 out=$3
case $system in
nsis | inno) setup=$build/$system/example.exe ;;
nsis-guiinit) setup=$build/nsis/client-guiinit.exe ;;
*) fail "the installer system is nsis, nsis-guiinit or inno, not '$system'" ;;
esac
notice=$build/UninstallNotice.exe driver=$build/notice_e2e.exe
source "$(dirname "$0")/../e2e/wine-env.sh" "$build"
[ "$system" = nsis ] || wine32_runs || fail "cannot take the Inno picture here: $WINE32_MISSING"

for file in "$notice" "$driver" "$setup"; do
    is_windows_program "$file" || fail "no Windows program at $file (make pictures builds it)"
done
for tool in wine xvfb-run timeout import convert; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (make pictures installs it)"
done
mkdir -p "$(dirname "$out")" || fail "cannot make the folder of $out"
ensure_wine_prefix || exit 1

report=$build/picture-$system.txt signal=$build/picture-$system.shot shot=$build/picture-$system.png
rm -f "$report" "$signal" "$shot" "$WINE_LOG"
shoot_in_desktop 60 "$report" "$signal" "$shot" "$(to_windows_path "$driver")" --picture "$system" \
    "$(to_windows_path "$notice")" "$(to_windows_path "$report")" "$(to_windows_path "$signal")"

why=$(shot_failure "$report" "$shot" "the notice over the $system uninstaller")
[ ! -f "$report" ] || tr -d '\r' <"$report" | grep -v '^notice_e2e: testing'
[ -z "$why" ] || fail "$why"
# The uninstaller and the notice, without the empty desktop around them.
convert "$shot" -trim +repage -bordercolor "$(convert "$shot" -format '%[pixel:p{0,0}]' info:)" \
    -border 12 "$out" || fail "cannot write $out"
rm -f "$shot"
echo "Picture of the notice over the $system uninstaller: $out"
