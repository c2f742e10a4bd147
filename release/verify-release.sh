#!/usr/bin/env bash
# Verifies a downloaded release against the commit that is checked out here:
# that the folder holds exactly the files of a release, each listed once in
# SHA256SUMS and matching it; that BUILDINFO is a release's BUILDINFO and
# names this commit on a clean tree and the version that the commit's tag
# gives; a fresh build of the commit in a temporary folder against BUILDINFO's
# hash, and the published exe against that build (with its detached
# signature attached, when signed); the signature, its time stamp and its
# signer; and the notices and the SBOM against what the commit's build and
# BUILDINFO's inputs give, byte for byte, the SBOM through CycloneDX's
# validator too.
#   verify-release.sh DIST [CAFILE]      (make verify-release DIST=... [CAFILE=...])
# CAFILE: the CA certificates for the signature and the time stamp (default:
# the system's). EXPECT_SIGNER (environment): the publisher's certificate,
# by its subject as the last line prints it (/CN=...) or by its SHA-256
# fingerprint; a release that is unsigned or signed by anyone else then
# fails. Tools of other versions than BUILDINFO records are named, and the
# verification goes on: the bytes decide. Whatever the folder holds is
# printed with every byte that is not printable ASCII escaped.
set -u

fail() { echo "verify-release: $*" >&2; exit 1; }
say() { echo "verify-release: $*"; }

[ $# -ge 1 ] && [ $# -le 2 ] && [ -n "$1" ] ||
    fail "usage: make verify-release DIST=folder [CAFILE=ca.pem] [EXPECT_SIGNER=subject-or-sha256]"
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/release/release-lib.sh"
dist=${1%/} cafile=${2:-/etc/ssl/certs/ca-certificates.crt} expect=${EXPECT_SIGNER:-}
shown_dist=$(shown "$dist")
# No release file comes near this; a bigger one is refused before it is read.
max_bytes=$((16 * 1024 * 1024))

[ -d "$dist" ] || fail "no release folder at $shown_dist"
[ -f "$cafile" ] || fail "no CA certificates at $(shown "$cafile") (CAFILE)"
for tool in git sha256sum osslsigncode openssl cmake node; do
    command -v $tool >/dev/null || fail "$tool is not installed (make verify-release installs it)"
done
[ -x "$root/release/signature-info.py" ] || fail "no $root/release/signature-info.py"
if [ -n "$expect" ]; then
    expect_sha256=$(tr -d ':' <<<"$expect" | tr 'A-F' 'a-f')
    [[ $expect_sha256 =~ ^[0-9a-f]{64}$ ]] || expect_sha256=""
    [ -n "$expect_sha256" ] || [[ $expect == /* ]] ||
        fail "EXPECT_SIGNER is a certificate's subject (/CN=...) or its SHA-256 fingerprint, not '$(shown "$expect")'"
fi

# Exactly the files of a release, each a regular file: nothing hidden,
# nothing extra, no link, no device, no pipe that a read would wait on.
declare -A expected=() present=()
for name in "${release_files[@]}" "$signature_file"; do
    expected[$name]=1
done
while IFS= read -r -d '' name; do
    [ -n "${expected[$name]+1}" ] ||
        fail "$shown_dist holds '$(shown "$name")', which is no file of a release"
    [ ! -L "$dist/$name" ] || fail "$name in $shown_dist is a link, not a file"
    [ -f "$dist/$name" ] || fail "$name in $shown_dist is not a regular file"
    [ "$(stat -c %s -- "$dist/$name")" -le $max_bytes ] ||
        fail "$name in $shown_dist is larger than any release file ($max_bytes bytes)"
    present[$name]=1
done < <(find "$dist/" -mindepth 1 -maxdepth 1 -printf '%f\0')
for name in "${release_files[@]}"; do
    [ -n "${present[$name]+1}" ] || fail "no $name in $shown_dist"
done

# SHA256SUMS: one well-formed line for each other file, compared as literal
# names, before any of them is read; then the hashes.
# Whether FILE holds nothing but printable ASCII and line ends.
printable_file() { [ -z "$(LC_ALL=C tr -d '\n -~' <"$1" | head -c 1)" ]; }

declare -A listed=()
line_number=0
printable_file "$dist/SHA256SUMS" || fail "SHA256SUMS holds a byte that is not printable ASCII"
while IFS= read -r line || [ -n "$line" ]; do
    line_number=$((line_number + 1))
    [[ $line =~ ^([0-9a-f]{64})\ \ ([^/]+)$ ]] ||
        fail "SHA256SUMS line $line_number is not '<sha256>  <file name>': '$(shown "$line")'"
    hash=${BASH_REMATCH[1]} name=${BASH_REMATCH[2]}
    [ -n "${present[$name]+1}" ] && [ "$name" != SHA256SUMS ] ||
        fail "SHA256SUMS line $line_number lists '$(shown "$name")', which is no file of this release"
    [ -z "${listed[$name]+1}" ] || fail "SHA256SUMS lists $name twice"
    listed[$name]=$hash
done <"$dist/SHA256SUMS"
for name in "${!present[@]}"; do
    [ "$name" = SHA256SUMS ] || [ -n "${listed[$name]+1}" ] ||
        fail "$name is in $shown_dist but not in SHA256SUMS"
done
for name in "${!listed[@]}"; do
    [ "$(sha256sum <"$dist/$name" | cut -c1-64)" = "${listed[$name]}" ] ||
        fail "SHA256SUMS does not match the files in $shown_dist: $name: FAILED"
done

# BUILDINFO: printable ASCII, the header, then each key once, no other key.
printable_file "$dist/BUILDINFO" || fail "BUILDINFO holds a byte that is not printable ASCII"
declare -A field=()
line_number=0
while IFS= read -r line || [ -n "$line" ]; do
    line_number=$((line_number + 1))
    if [ $line_number -eq 1 ]; then
        [ "$line" = "$buildinfo_header" ] || fail "BUILDINFO does not start with the header of a release's BUILDINFO"
        continue
    fi
    [[ $line =~ ^([A-Za-z0-9-]+):\ (.+)$ ]] || fail "BUILDINFO line $line_number is not 'Key: value': '$line'"
    key=${BASH_REMATCH[1]} value=${BASH_REMATCH[2]}
    if [ "$key" = Package ]; then
        [[ $value =~ ^([^ ]+)\ ([^ ]+)$ ]] || fail "BUILDINFO line $line_number is not 'Package: name version'"
        key="Package ${BASH_REMATCH[1]}" value=${BASH_REMATCH[2]}
        [[ " ${tool_packages[*]} " == *" ${key#Package } "* ]] ||
            fail "BUILDINFO line $line_number names a package that no release records: '$line'"
    else
        [[ " ${buildinfo_keys[*]} ${buildinfo_optional_keys[*]} " == *" $key "* ]] ||
            fail "BUILDINFO line $line_number has a key that no release has: '$key'"
    fi
    [ -z "${field[$key]+1}" ] || fail "BUILDINFO has $key more than once"
    field[$key]=$value
done <"$dist/BUILDINFO"
for key in "${buildinfo_keys[@]}" "${tool_packages[@]/#/Package }"; do
    [ -n "${field[$key]+1}" ] || fail "BUILDINFO has no $key"
done
version=${field[Version]} commit=${field[Commit]} tree=${field[Tree]} unsigned=${field[Unsigned-SHA256]}
[[ $commit =~ ^[0-9a-f]{40}$ ]] || fail "BUILDINFO's commit is not a full commit id: '$commit'"
[[ $unsigned =~ ^[0-9a-f]{64}$ ]] || fail "BUILDINFO's Unsigned-SHA256 is not a SHA-256: '$unsigned'"
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "BUILDINFO's version is not X.Y.Z: '$version'"
[ "$tree" = clean ] ||
    fail "BUILDINFO says the release was built from a tree with changes ('$tree'): it cannot be verified"

# The commit, checked out here, with nothing changed.
head=$(git -C "$root" rev-parse -q --verify HEAD) || fail "$root is not a git checkout with a commit"
[ "$head" = "$commit" ] ||
    fail "BUILDINFO names commit $commit, but $head is checked out here: check out the release's commit"
changes=$(tree_changes "$root")
[ -z "$changes" ] ||
    fail "the checkout at $root is not its commit ($changes): verify from a clean checkout of $commit"
# The version is the commit's tag.
tags=$(tag_versions "$root" "$commit")
grep -q -x -F "$version" <<<"$tags" ||
    fail "BUILDINFO says version $version, but commit ${commit:0:12} is not tagged v$version (its version tags: $(sed 's/^/v/' <<<"$tags" | xargs | grep . || echo none))"

# Other tool versions may give other bytes; say which, and let the bytes decide.
for package in "${tool_packages[@]}"; do
    here=$(package_version "$package") built_with=${field[Package $package]}
    [ "$here" = "$built_with" ] ||
        say "note: $package is $here here, but the release was built with $built_with"
done

# The includes ship as they are in the commit.
for include in "${includes[@]}"; do
    name=${include##*/}
    git -C "$root" show "$commit:$include" 2>/dev/null | cmp -s - "$dist/$name" ||
        fail "$name in $shown_dist is not the one of commit $commit"
done

# A fresh build of the commit, never the checkout's own build/.
work=$(mktemp -d) || fail "cannot make a temporary folder"
trap 'rm -rf "$work"' EXIT
say "building version $version, commit ${commit:0:12}, afresh in $work"
mkdir "$work/tree" && fresh=$(build_commit "$root" "$commit" "$version" "$work/tree") ||
    fail "the build of commit $commit failed:$(reason 'error|Error' "$(cat "$work/tree.log" 2>/dev/null)")"
hash=$(sha256sum <"$fresh" | cut -c1-64)
[ "$hash" = "$unsigned" ] ||
    fail "the fresh build of $commit has SHA-256 $hash, but BUILDINFO says $unsigned"

if [ -n "${present[$signature_file]+1}" ]; then
    osslsigncode attach-signature -sigin "$dist/$signature_file" -CAfile "$cafile" \
        -TSA-CAfile "$cafile" -in "$fresh" -out "$work/attached.exe" >/dev/null 2>&1
    [ -f "$work/attached.exe" ] ||
        fail "$signature_file is not a signature of the fresh build of $commit"
    cmp -s "$work/attached.exe" "$dist/UninstallNotice.exe" ||
        fail "the published UninstallNotice.exe is not the fresh build of $commit with $signature_file attached"
    read_signature "$dist/UninstallNotice.exe" "$cafile" ||
        fail "the signature does not verify against $(shown "$cafile"):$verify_error"
    if [ -n "$expect" ] && [ "$signer_sha256" != "$expect_sha256" ] && [ "$signer" != "$expect" ]; then
        fail "the release is signed by $signer (SHA-256 $signer_sha256), not by $(shown "$expect") (EXPECT_SIGNER)"
    fi
    what="signed by $signer (certificate SHA-256 $signer_sha256)"
    case $stamp_kind in
    rfc3161) what="$what, time-stamped $stamped" ;;
    legacy) what="$what, with a legacy time stamp that this check does not read" ;;
    *) what="$what, with no time stamp" ;;
    esac
else
    cmp -s "$fresh" "$dist/UninstallNotice.exe" ||
        fail "the published UninstallNotice.exe is not the fresh build of $commit"
    [ -z "$expect" ] ||
        fail "the release is unsigned, but EXPECT_SIGNER expects it signed by $(shown "$expect")"
    what=unsigned
fi

# The notices and the SBOM are what the commit's build and BUILDINFO's
# inputs give, and the SBOM passes CycloneDX's own validator.
cmp -s "$(dirname "$fresh")/THIRD-PARTY-NOTICES.txt" "$dist/THIRD-PARTY-NOTICES.txt" ||
    fail "THIRD-PARTY-NOTICES.txt in $shown_dist is not what the build of $commit gives (from its link and this machine's packages)"
log=$(node "$root/release/third-party.mjs" validate "$dist/UninstallNotice.cdx.json" 2>&1) ||
    fail "$(shown "${log#third-party: }")"
mkdir "$work/sbom" || fail "cannot make $work/sbom"
for name in UninstallNotice.exe "${includes[@]##*/}"; do
    cp "$dist/$name" "$work/sbom/" || fail "cannot copy $name into $work/sbom"
done
log=$(PUBLISHER_NAME=${field[Publisher-Name]} PUBLISHER_URL=${field[Publisher-URL]} \
    SOURCE_URL=${field[Source-URL]:-} DOWNLOAD_URL=${field[Download-URL]:-} \
    PUBLISHER_LICENSE=${field[Publisher-License]:-} \
    make_sbom "$root" "$(dirname "$fresh")/third-party.json" "$work/sbom" "$version" "$commit" 2>&1) ||
    fail "cannot make the SBOM from BUILDINFO's inputs: ${log#third-party: }"
cmp -s "$work/sbom/UninstallNotice.cdx.json" "$dist/UninstallNotice.cdx.json" ||
    fail "UninstallNotice.cdx.json in $shown_dist is not the SBOM that the build of $commit and BUILDINFO give"

# Whether the commit's tag is signed, and whether git could check it.
tag=v$version
if [ "$(git -C "$root" cat-file -t "refs/tags/$tag" 2>/dev/null)" != tag ] ||
    ! git -C "$root" cat-file tag "refs/tags/$tag" | grep -q -E '^-----BEGIN (PGP|SSH) SIGNATURE-----$'; then
    tag_said="tag $tag not signed"
elif status=$(git -C "$root" verify-tag --raw "$tag" 2>&1); then
    tag_said="tag $tag signed, and git verify-tag checked it ($(shown "$(grep -m1 -o -E 'GOODSIG .*|Good "git" signature.*' <<<"$status" || echo good)"))"
elif grep -q -E 'BADSIG|Bad signature|bad signature' <<<"$status"; then
    fail "tag $tag carries a signature that does not match it (git verify-tag)"
else
    why=$(grep -m1 -o -E 'NO_PUBKEY|gpg.ssh.allowedSignersFile needs to be configured' <<<"$status" ||
        head -n 1 <<<"$status")
    tag_said="tag $tag signed, but git verify-tag could not check it ($(shown "$why"))"
fi
say "ok: $shown_dist is version $version, commit $commit, rebuilt byte for byte; $what; $tag_said"
