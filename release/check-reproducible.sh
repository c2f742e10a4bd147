#!/usr/bin/env bash
# Builds UninstallNotice.exe twice from the commit checked out here (`git
# archive`, never the working tree, so that an untracked or hidden file
# cannot go into both builds alike), in two folders of different names, and
# checks that both builds and the given one are the same bytes: no time
# stamp and no build path may end up in the file, and nothing beside the
# commit may have gone into the given one. Both are built as the given
# version (default: the development version).
#   check-reproducible.sh [--version X.Y.Z] UninstallNotice.exe
set -u

fail() { echo "reproducible: FAIL: $*"; exit 1; }

version=0.0.0
[ "${1:-}" = --version ] && [ $# -ge 2 ] && version=$2 && shift 2
[ $# -eq 1 ] || { echo "usage: check-reproducible.sh [--version X.Y.Z] UninstallNotice.exe"; exit 2; }
[ -f "$1" ] || { echo "check-reproducible: $1: no such file"; exit 2; }
given=$1
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/release/release-lib.sh"
commit=$(git -C "$root" rev-parse -q --verify HEAD) || fail "$root is not a git checkout with a commit"

work=$(mktemp -d) || fail "cannot make a temporary folder"
trap 'rm -rf "$work"' EXIT
hashes=()
for copy in a "second-copy-with-a-longer-name"; do
    mkdir "$work/$copy" && built=$(build_commit "$root" "$commit" "$version" "$work/$copy") ||
        fail "the build of commit ${commit:0:12} in $work/$copy failed"
    hashes+=("$(sha256sum <"$built" | cut -c1-64)")
done
hashes+=("$(sha256sum <"$given" | cut -c1-64)")

echo "reproducible: sha256 of two fresh builds of commit ${commit:0:12} and the given one: ${hashes[*]}"
[ "${hashes[0]}" = "${hashes[1]}" ] || fail "the two builds of the commit differ"
if [ "${hashes[1]}" != "${hashes[2]}" ]; then
    changes=$(tree_changes "$root")
    fail "the given one is not what the commit builds${changes:+; the tree is not its commit: $changes}"
fi
echo "reproducible: ok: all three are the same bytes"
