#!/usr/bin/env bash
# Compiles the end-to-end suite's Inno Setup clients, the example among them,
# into BUILD-DIR/inno, each with scripts/iscc.sh, from the given program and
# its third-party notices. The build runs it; where Wine's 32-bit half cannot
# run, the suite's virtual machine does.
#   inno-clients.sh BUILD-DIR UninstallNotice.exe THIRD-PARTY-NOTICES.txt
set -u

fail() { echo "inno-clients: $*" >&2; exit 1; }

[ $# -eq 3 ] || fail "usage: inno-clients.sh BUILD-DIR UninstallNotice.exe THIRD-PARTY-NOTICES.txt"
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1 notice=$2 notices=$3
[ -d "$build" ] || fail "no build directory at $build"
[ -f "$notices" ] || fail "no third-party notices at $notices"
notices=$(realpath "$notices")

# Each client: the event function that calls the notice, and what else differs.
for client in example step post postcopy done init deinit missing upgrade; do
    script=$root/e2e/inno-client.iss out=$build/inno/client-$client.exe
    defines=(NoticeFrom=CurUninstallStepChanged)
    case $client in
    example) script=$root/integration/inno/example.iss out=$build/inno/example.exe
        defines=("Notices=$notices") ;;
    post) defines+=(NoticeStep=usPostUninstall NoticeKept) ;;
    postcopy) defines+=(NoticeStep=usPostUninstall NoticeCopied) ;;
    done) defines+=(NoticeStep=usDone NoticeKept) ;;
    init) defines=(NoticeFrom=InitializeUninstall) ;;
    deinit) defines=(NoticeFrom=DeinitializeUninstall) ;;
    missing) defines+=(NoticeMissing) ;;
    upgrade) defines+=(Upgrade) ;;
    esac
    echo "Building the Inno client $client"
    bash "$root/scripts/iscc.sh" "$build" "$out" "$script" "$notice" "${defines[@]}" || exit 1
done
