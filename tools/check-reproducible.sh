#!/usr/bin/env bash
# Builds UninstallNotice.exe twice, from copies of this tree in two folders of
# different names, and checks that both builds and the given one are the same
# bytes: no time stamp and no build path may end up in the file. Both are
# built as the given version (default: the development version).
#   check-reproducible.sh [--version X.Y.Z] UninstallNotice.exe
set -u

fail() { echo "reproducible: FAIL: $*"; exit 1; }

version=()
[ "${1:-}" = --version ] && [ $# -ge 2 ] && version=("-DNOTICE_VERSION=$2") && shift 2
[ $# -eq 1 ] || { echo "usage: check-reproducible.sh [--version X.Y.Z] UninstallNotice.exe"; exit 2; }
[ -f "$1" ] || { echo "check-reproducible: $1: no such file"; exit 2; }
given=$1
source=$(cd "$(dirname "$0")/.." && pwd)

work=$(mktemp -d) || fail "cannot make a temporary folder"
trap 'rm -rf "$work"' EXIT
hashes=()
for copy in a "second-copy-with-a-longer-name"; do
    mkdir -p "$work/$copy"
    tar -C "$source" --exclude=./build --exclude=./.git --exclude=./node_modules -cf - . |
        tar -C "$work/$copy" -xf - ||
        fail "cannot copy the tree to $work/$copy"
    (cd "$work/$copy" && cmake --preset windows "${version[@]}" >/dev/null &&
        cmake --build --preset windows --target UninstallNotice >/dev/null) ||
        fail "the build in $work/$copy failed"
    hashes+=("$(sha256sum <"$work/$copy/build/windows/UninstallNotice.exe" | cut -c1-64)")
done
hashes+=("$(sha256sum <"$given" | cut -c1-64)")

echo "reproducible: sha256 of the two fresh builds and the given one: ${hashes[*]}"
[ "${hashes[0]}" = "${hashes[1]}" ] && [ "${hashes[1]}" = "${hashes[2]}" ] ||
    fail "the builds differ"
echo "reproducible: ok: all three are the same bytes"
