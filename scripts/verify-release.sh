#!/usr/bin/env bash
# Verifies a downloaded release against the commit that is checked out here:
# its checksums, that BUILDINFO names this commit on a clean tree and the
# version that the commit's tag gives, a fresh
# build of the commit in a temporary folder against BUILDINFO's hash, and the
# published exe against that build (with its detached signature attached,
# when signed), and the signature and its time stamp.
#   verify-release.sh DIST [CAFILE]      (make verify-release DIST=... [CAFILE=...])
# CAFILE: the CA certificates for the signature and the time stamp (default:
# the system's). Tools of other versions than BUILDINFO records are named,
# and the verification goes on: the bytes decide.
set -u

fail() { echo "verify-release: $*" >&2; exit 1; }
say() { echo "verify-release: $*"; }

[ $# -ge 1 ] && [ $# -le 2 ] && [ -n "$1" ] ||
    fail "usage: make verify-release DIST=folder [CAFILE=ca.pem]"
dist=${1%/} cafile=${2:-/etc/ssl/certs/ca-certificates.crt}
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/release-lib.sh"

[ -d "$dist" ] || fail "no release folder at $dist"
[ -f "$cafile" ] || fail "no CA certificates at $cafile (CAFILE)"
for tool in git sha256sum osslsigncode cmake; do
    command -v $tool >/dev/null || fail "$tool is not installed (make verify-release installs it)"
done

# The checksums, and nothing in the folder that they leave out.
[ -f "$dist/SHA256SUMS" ] || fail "no SHA256SUMS in $dist"
log=$(cd "$dist" && sha256sum --strict -c SHA256SUMS 2>&1) || {
    bad=$(grep -m1 -E ': FAILED|: FAILED open or read|improperly formatted' <<<"$log")
    fail "SHA256SUMS does not match the files in $dist: ${bad:-$(tail -n1 <<<"$log")}"
}
for file in "$dist"/*; do
    name=$(basename "$file")
    [ "$name" = SHA256SUMS ] || grep -q -E "^[0-9a-f]{64}  $name\$" "$dist/SHA256SUMS" ||
        fail "$name is in $dist but not in SHA256SUMS"
done
for name in UninstallNotice.exe "${includes[@]##*/}" BUILDINFO; do
    [ -f "$dist/$name" ] || fail "no $name in $dist"
done

field() { sed -n "s/^$1: //p" "$dist/BUILDINFO" | head -n 1; }
version=$(field Version) commit=$(field Commit) tree=$(field Tree) unsigned=$(field Unsigned-SHA256)
[[ $commit =~ ^[0-9a-f]{40}$ ]] && [[ $unsigned =~ ^[0-9a-f]{64}$ ]] && [ -n "$tree" ] &&
    [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] ||
    fail "$dist/BUILDINFO is not a release's BUILDINFO (no version, commit, tree or unsigned hash)"
[ "$tree" = clean ] ||
    fail "BUILDINFO says the release was built from a tree with changes ($tree): it cannot be verified"

# The commit, checked out here, with nothing changed.
head=$(git -C "$root" rev-parse -q --verify HEAD) || fail "$root is not a git checkout with a commit"
[ "$head" = "$commit" ] ||
    fail "BUILDINFO names commit $commit, but $head is checked out here: check out the release's commit"
tree_is_clean "$root" ||
    fail "the checkout at $root has uncommitted changes: verify from a clean checkout of $commit"
# The version is the commit's tag.
tags=$(tag_versions "$root" "$commit")
grep -q -x -F "$version" <<<"$tags" ||
    fail "BUILDINFO says version $version, but commit ${commit:0:12} is not tagged v$version (its version tags: $(sed 's/^/v/' <<<"$tags" | xargs | grep . || echo none))"

# Other tool versions may give other bytes; say which, and let the bytes decide.
while read -r _ package built_with; do
    here=$(package_version "$package")
    [ "$here" = "$built_with" ] ||
        say "note: $package is $here here, but the release was built with $built_with"
done < <(grep '^Package: ' "$dist/BUILDINFO")

# The includes ship as they are in the commit.
for include in "${includes[@]}"; do
    name=${include##*/}
    git -C "$root" show "$commit:$include" 2>/dev/null | cmp -s - "$dist/$name" ||
        fail "$name in $dist is not the one of commit $commit"
done

# A fresh build of the commit, never the checkout's own build/.
work=$(mktemp -d) || fail "cannot make a temporary folder"
trap 'rm -rf "$work"' EXIT
say "building version $version, commit ${commit:0:12}, afresh in $work"
git -C "$root" archive "$commit" | tar -x -C "$work" || fail "cannot unpack commit $commit into $work"
log=$(cd "$work" && cmake --preset windows -DNOTICE_VERSION="$version" 2>&1 &&
    cmake --build --preset windows --target UninstallNotice 2>&1) ||
    fail "the build of commit $commit failed:$(reason 'error|Error' "$log")"
fresh=$work/build/windows/UninstallNotice.exe
hash=$(sha256sum <"$fresh" | cut -c1-64)
[ "$hash" = "$unsigned" ] ||
    fail "the fresh build of $commit has SHA-256 $hash, but BUILDINFO says $unsigned"

if [ -f "$dist/UninstallNotice.exe.sig" ]; then
    osslsigncode attach-signature -sigin "$dist/UninstallNotice.exe.sig" -CAfile "$cafile" \
        -TSA-CAfile "$cafile" -in "$fresh" -out "$work/attached.exe" >/dev/null 2>&1
    [ -f "$work/attached.exe" ] ||
        fail "UninstallNotice.exe.sig is not a signature of the fresh build of $commit"
    cmp -s "$work/attached.exe" "$dist/UninstallNotice.exe" ||
        fail "the published UninstallNotice.exe is not the fresh build of $commit with UninstallNotice.exe.sig attached"
    read_signature "$dist/UninstallNotice.exe" "$cafile" ||
        fail "the signature does not verify against $cafile:$verify_error"
    what="signed by $signer"
    if [ -n "$stamped" ]; then
        what="$what, time-stamped $stamped"
    else
        what="$what, with no time stamp"
    fi
else
    cmp -s "$fresh" "$dist/UninstallNotice.exe" ||
        fail "the published UninstallNotice.exe is not the fresh build of $commit"
    what=unsigned
fi
say "ok: $dist is version $version, commit $commit, rebuilt byte for byte; $what"
