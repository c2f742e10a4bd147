#!/usr/bin/env bash
# Takes the picture of the notice over a real uninstaller of an installer
# system, headless: the system's example installer from the build is
# installed in a Wine virtual desktop on Xvfb, its uninstaller run as a user
# runs it, and the desktop shot while the notice is up. nsis-guiinit: the
# suite's NSIS client that calls the notice from un.onGUIInit instead.
# nsis-question, inno-question and their -german: the suite's client while
# a stand-in Quillane runs from the install folder, shot while the include
# asks the user to close it.
#   picture.sh BUILD-DIR nsis|nsis-guiinit|inno|{nsis,inno}-question[-german] OUT.png
#                                                                  (make pictures)
set -u

fail() { echo "picture: $*" >&2; exit 1; }

[ $# -eq 3 ] || fail "usage: picture.sh BUILD-DIR nsis|nsis-guiinit|inno|{nsis,inno}-question[-german] OUT.png"
build=$1 system=$2 out=$3 what="the notice"
case $system in
nsis | inno) client=example ;;
nsis-guiinit) client=guiinit ;;
nsis-question | nsis-question-german) client=section what="the question" ;;
inno-question | inno-question-german) client=step what="the question" ;;
*) fail "the installer system is nsis, nsis-guiinit, inno, or either's -question or -question-german, not '$system'" ;;
esac
# In German, Wine labels the buttons of a box in German too, as a German
# Windows does.
wine_language=
[[ $system != *-german ]] || wine_language=de_DE.UTF-8
setup=$build/${system%%-*}/client-$client.exe
[ "$client" != example ] || setup=$build/${system%%-*}/example.exe
root=$(cd "$(dirname "$0")/.." && pwd)
notice=$build/UninstallNotice.exe driver=$build/notice_e2e.exe
source "$root/e2e/wine-env.sh" "$build"
# Inno's installers are 32-bit programs: where none runs here, the picture is
# taken in the suite's virtual machine, as the Inno scenarios run there.
in_vm=
if [[ $system == inno* ]] && ! wine32_runs; then
    vm=$(bash "$root/e2e/vm/image.sh" --where) || exit 1
    [ -f "$vm/root.img" ] ||
        fail "cannot take the Inno picture here: $WINE32_MISSING, and the suite's virtual machine is not made yet (make test makes it)"
    in_vm=yes setup=$build/quillane_standin.exe
fi

for file in "$notice" "$driver" "$setup"; do
    is_windows_program "$file" || fail "no Windows program at $file (make pictures builds it)"
done
for tool in wine xvfb-run timeout convert; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (make pictures installs it)"
done
mkdir -p "$(dirname "$out")" || fail "cannot make the folder of $out"

report=$build/picture-$system.txt signal=$build/picture-$system.shot shot=$build/picture-$system.xwd
rm -f "$report" "$signal" "$shot" "$WINE_LOG"
if [ -z "$in_vm" ]; then
    ensure_wine_prefix || exit 1
    [ -z "$wine_language" ] || export LANG=$wine_language LC_ALL=$wine_language
    shoot_in_desktop 60 "$report" "$signal" "$shot" "$(to_windows_path "$driver")" --picture "$system" \
        "$(to_windows_path "$notice")" "$(to_windows_path "$report")" "$(to_windows_path "$signal")"
else
    work=$build/picture-vm
    rm -rf "$work" && mkdir -p "$work" && cp "$notice" "$driver" "$build/FilesInUse.exe" \
        "$build/quillane_standin.exe" \
        "$build/THIRD-PARTY-NOTICES.txt" "$work/" || fail "cannot copy the inputs into $work"
    work=$(realpath "$work")
    {
        echo 'set -u'
        printf 'root=%q work=%q system=%q client=%q wine_language=%q\n' "$root" "$work" "$system" \
            "$client" "$wine_language"
        # Software emulation: everything takes about ten times longer.
        scale=$((E2E_TIME_SCALE * 10))
        printf 'export E2E_TIME_SCALE=%d\n' $((scale > 99 ? 99 : scale))
        cat <<'JOB'
build=/root/build
mkdir -p "$build" && cp "$work"/*.exe "$work/THIRD-PARTY-NOTICES.txt" "$build/" || exit 1
bash "$root/scripts/inno-clients.sh" "$build" "$build/UninstallNotice.exe" "$build/FilesInUse.exe" \
    "$build/THIRD-PARTY-NOTICES.txt" "$build/quillane_standin.exe" "$client" || exit 1
source "$root/e2e/wine-env.sh" "$build"
ensure_wine_prefix || exit 1
[ -z "$wine_language" ] || export LANG=$wine_language LC_ALL=$wine_language
shoot_in_desktop 600 "$work/report.txt" "$work/signal" "$work/shot.xwd" \
    "$(to_windows_path "$build/notice_e2e.exe")" --picture "$system" \
    "$(to_windows_path "$build/UninstallNotice.exe")" "$(to_windows_path "$work/report.txt")" \
    "$(to_windows_path "$work/signal")"
cp "$WINE_LOG" "$work/wine-stderr.txt" 2>/dev/null
true
JOB
    } >"$work/job.sh"
    echo "picture: taking the Inno picture in the suite's virtual machine (about 5 minutes)"
    bash "$root/e2e/vm/run.sh" "$vm" "$root" "$work" "$(scaled 1200)" ||
        fail "the virtual machine could not take it; see $work/job.txt"
    report=$work/report.txt shot=$work/shot.xwd WINE_LOG=$work/wine-stderr.txt
fi

why=$(shot_failure "$report" "$shot" "$what over the ${system%%-*} uninstaller")
[ ! -f "$report" ] || tr -d '\r' <"$report" | grep -v '^notice_e2e: testing'
[ -z "$why" ] || fail "$why"
# The uninstaller and the box, without the empty desktop around them.
convert "xwd:$shot" -trim +repage \
    -bordercolor "$(convert "xwd:$shot" -format '%[pixel:p{0,0}]' info:)" -border 12 "$out" ||
    fail "cannot write $out"
rm -f "$shot"
echo "Picture of $what over the ${system%%-*} uninstaller: $out"
