#!/usr/bin/env bash
# The suite's Inno scenarios in the suite's virtual machine, for a machine
# whose kernel runs no 32-bit program: there the Inno clients are compiled
# from the given program, in-use check, notices and stand-in for Quillane,
# and run-wine.sh
# runs the scenarios (--inno), or the one named. Judged as run-wine.sh
# judges; its output ends up in BUILD-DIR/inno-vm/job.txt.
#   inno-e2e.sh BUILD-DIR DRIVER.exe UninstallNotice.exe FilesInUse.exe THIRD-PARTY-NOTICES.txt quillane.exe [SCENARIO]
set -u

fail() { echo "inno-e2e: $*" >&2; exit 1; }

[ $# -eq 6 ] || [ $# -eq 7 ] ||
    fail "usage: inno-e2e.sh BUILD-DIR DRIVER.exe UninstallNotice.exe FilesInUse.exe THIRD-PARTY-NOTICES.txt quillane.exe [SCENARIO]"
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/e2e/time-scale.sh"
build=$1 work=$1/inno-vm scenario=${7:---inno}
[ -d "$build" ] || fail "no build directory at $build"
for file in "$2" "$3" "$4" "$5" "$6"; do
    [ -f "$file" ] || fail "no file at $file"
done
rm -rf "$work" && mkdir -p "$work" || fail "cannot make $work"
cp "$2" "$work/notice_e2e.exe" && cp "$3" "$work/UninstallNotice.exe" &&
    cp "$4" "$work/FilesInUse.exe" && cp "$5" "$work/THIRD-PARTY-NOTICES.txt" &&
    cp "$6" "$work/quillane_standin.exe" ||
    fail "cannot copy the inputs into $work"
work=$(realpath "$work")

# Wine's prefix and the clients live on the machine's own disk: a shared
# folder is slow, and Wine's prefix is not for one.
{
    echo 'set -u'
    printf 'root=%q work=%q scenario=%q\n' "$root" "$work" "$scenario"
    # QEMU's software emulation runs Wine about ten times slower than the
    # host does, and the host's own load slows it further: every bound in
    # the machine scales with both.
    scale=$((E2E_TIME_SCALE * 10))
    printf 'export E2E_TIME_SCALE=%d\n' $((scale > 99 ? 99 : scale))
    cat <<'JOB'
build=/root/build
mkdir -p "$build" && cp "$work"/*.exe "$work/THIRD-PARTY-NOTICES.txt" "$build/" || exit 1
bash "$root/scripts/inno-clients.sh" "$build" "$build/UninstallNotice.exe" \
    "$build/FilesInUse.exe" "$build/THIRD-PARTY-NOTICES.txt" "$build/quillane_standin.exe" || exit 1
bash "$root/e2e/run-wine.sh" "$build" "$build/notice_e2e.exe" "$build/UninstallNotice.exe" "$scenario"
JOB
} >"$work/job.sh"

echo "inno-e2e: running the Inno scenarios in the virtual machine (about 10 minutes)"
vm=$(bash "$root/e2e/vm/image.sh" --where) || exit 1
bash "$root/e2e/vm/run.sh" "$vm" "$root" "$work" "$(scaled 1500)"
status=$?
[ -f "$work/job.txt" ] && cat "$work/job.txt"
exit $status
