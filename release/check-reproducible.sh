#!/usr/bin/env bash
# Builds the programs twice from the commit checked out here (`git archive`,
# never the working tree, so that an untracked or hidden file cannot go into
# both builds alike), in two folders of different names, and checks that,
# for each program, both builds and the given one are the same bytes: no
# time stamp and no build path may end up in a file, and nothing beside the
# commit may have gone into the given one. Both are built as the given
# version (default: the development version).
#   check-reproducible.sh [--version X.Y.Z] UninstallNotice.exe FilesInUse.exe
set -u

fail() { echo "reproducible: FAIL: $*"; exit 1; }

version=0.0.0
[ "${1:-}" = --version ] && [ $# -ge 2 ] && version=$2 && shift 2
[ $# -eq 2 ] ||
    { echo "usage: check-reproducible.sh [--version X.Y.Z] UninstallNotice.exe FilesInUse.exe"; exit 2; }
for file in "$@"; do
    [ -f "$file" ] || { echo "check-reproducible: $file: no such file"; exit 2; }
done
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/release/release-lib.sh"
commit=$(git -C "$root" rev-parse -q --verify HEAD) || fail "$root is not a git checkout with a commit"

work=$(mktemp -d) || fail "cannot make a temporary folder"
trap 'rm -rf "$work"' EXIT
folders=()
for copy in a "second-copy-with-a-longer-name"; do
    mkdir "$work/$copy" && built=$(build_commit "$root" "$commit" "$version" "$work/$copy") ||
        fail "the build of commit ${commit:0:12} in $work/$copy failed"
    folders+=("$built")
done

sha() { sha256sum <"$1" | cut -c1-64; }
for given in "$@"; do
    name=$(basename "$given")
    hashes=("$(sha "${folders[0]}/$name")" "$(sha "${folders[1]}/$name")" "$(sha "$given")")
    echo "reproducible: $name: sha256 of two fresh builds of commit ${commit:0:12} and the given one: ${hashes[*]}"
    [ "${hashes[0]}" = "${hashes[1]}" ] || fail "$name: the two builds of the commit differ"
    if [ "${hashes[1]}" != "${hashes[2]}" ]; then
        changes=$(tree_changes "$root")
        fail "$name: the given one is not what the commit builds${changes:+; the tree is not its commit: $changes}"
    fi
done
echo "reproducible: ok: for each program, all three are the same bytes"
