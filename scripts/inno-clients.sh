#!/usr/bin/env bash
# Compiles the end-to-end suite's Inno Setup clients, the example among them,
# into BUILD-DIR/inno, each with scripts/iscc.sh, from the given program,
# the in-use check, the notices and the stand-in for Quillane that the
# clients install beside them. The build runs it; where Wine's 32-bit half cannot run, the
# suite's virtual machine does.
# Only the clients named, if any are (example, step, ...).
#   inno-clients.sh BUILD-DIR UninstallNotice.exe FilesInUse.exe THIRD-PARTY-NOTICES.txt quillane.exe [CLIENT...]
set -u

fail() { echo "inno-clients: $*" >&2; exit 1; }

[ $# -ge 5 ] || fail "usage: inno-clients.sh BUILD-DIR UninstallNotice.exe FilesInUse.exe THIRD-PARTY-NOTICES.txt quillane.exe [CLIENT...]"
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1 notice=$2 check=$3 notices=$4 quillane=$5
shift 5
clients=("$@")
[ $# -gt 0 ] || clients=(example step post postcopy done init deinit missing upgrade mutex)
[ -d "$build" ] || fail "no build directory at $build"
[ -f "$check" ] || fail "no in-use check at $check"
[ -f "$notices" ] || fail "no third-party notices at $notices"
[ -f "$quillane" ] || fail "no stand-in for Quillane at $quillane"
check=$(realpath "$check") notices=$(realpath "$notices") quillane=$(realpath "$quillane")

# Each client: the event function that calls the notice, and what else
# differs, as $script, $out and $defines; unknown, it fails.
settings() {
    script=$root/e2e/inno-client.iss out=$build/inno/client-$1.exe
    defines=(NoticeFrom=CurUninstallStepChanged "CheckExe=$check" "QuillaneExe=$quillane")
    case $1 in
    example) script=$root/integration/inno/example.iss out=$build/inno/example.exe
        defines=("CheckExe=$check" "Notices=$notices") ;;
    post) defines+=(NoticeStep=usPostUninstall NoticeKept) ;;
    postcopy) defines+=(NoticeStep=usPostUninstall NoticeCopied) ;;
    done) defines+=(NoticeStep=usDone NoticeKept) ;;
    init) defines=(NoticeFrom=InitializeUninstall "CheckExe=$check" "QuillaneExe=$quillane") ;;
    deinit) defines=(NoticeFrom=DeinitializeUninstall "CheckExe=$check" "QuillaneExe=$quillane") ;;
    step) ;;
    missing) defines+=(NoticeMissing) ;;
    upgrade) defines+=(Upgrade) ;;
    mutex) defines+=(NoticeMutex) ;;
    *) return 1 ;;
    esac
}
for client in "${clients[@]}"; do
    settings "$client" || fail "no Inno client named '$client'"
done

# All at once, each into a log of its own: a compile mostly waits on Wine.
mkdir -p "$build/inno" || fail "cannot make $build/inno"
echo "Building the Inno clients: ${clients[*]}"
pids=()
for client in "${clients[@]}"; do
    settings "$client"
    bash "$root/scripts/iscc.sh" "$build" "$out" "$script" "$notice" "${defines[@]}" \
        >"$build/inno/$client.log" 2>&1 &
    pids+=($!)
done
failed=()
for i in "${!clients[@]}"; do
    wait "${pids[$i]}" && continue
    failed+=("${clients[$i]}")
    cat "$build/inno/${clients[$i]}.log" >&2
done
[ ${#failed[@]} -eq 0 ] || fail "the Inno clients ${failed[*]} did not build"
