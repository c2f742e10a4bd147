#!/usr/bin/env bash
# Verifies a downloaded release against the commit that is checked out here:
# that the folder holds exactly the files of a release, each listed once in
# SHA256SUMS and matching it; that BUILDINFO is a release's BUILDINFO and
# names this commit on a clean tree and the version that the commit's tag
# gives; the exe's signature and the signature of SHA256SUMS (which vouches
# for every other file), their time stamps, their signer, and that they are
# canonical, carrying nothing that their signer did not sign; the commit's
# tag, and whether git finds it signed. All that needs no build comes first,
# so that a forgery is refused in seconds. Then a fresh build of the commit
# in a temporary folder against BUILDINFO's hash, and the published exe
# against that build (with its detached signature attached, when signed);
# and the notices and the SBOM against what the commit's build and
# BUILDINFO's inputs give, byte for byte, the SBOM through CycloneDX's
# validator too.
#   verify-release.sh DIST [CAFILE]      (make verify-release DIST=... [CAFILE=...])
# CAFILE: the CA certificates for the signature and the time stamp (default:
# the system's; better, only the roots that the publisher names for its
# code-signing and its time-stamping certificates: docs/releasing.md).
# EXPECT_SIGNER (environment): the SHA-256 fingerprint of the publisher's
# certificate, in either case, with or without colons, as OpenSSL prints it
# (a subject pins nothing: any CA in CAFILE can issue one that bears it); a
# release that is unsigned, whose SHA256SUMS is unsigned, or that anyone
# else signed then fails. Given but empty, it is refused. The last line
# gives the verdict first, whether the signer was pinned, and what it read
# from outside (the signer's subject, the tag's signer, the CA file that it
# trusted, the folder) quoted at its end. Tools of other versions than
# BUILDINFO records are named, and the verification goes on: the bytes
# decide. Git reads nothing of the caller's GIT_* and no replaced object
# (release-lib.sh); node_modules must be what package-lock.json pins.
# Whatever the folder holds is printed with every byte that is not
# printable ASCII escaped.
set -u

fail() { echo "verify-release: $*" >&2; exit 1; }
say() { echo "verify-release: $*"; }
# When the signature last read was time-stamped, in the last line's words.
stamp_said() { if [ -n "$stamped" ]; then echo "time-stamped $stamped"; else echo "with no time stamp"; fi; }

[ $# -ge 1 ] && [ $# -le 2 ] && [ -n "$1" ] ||
    fail "usage: make verify-release DIST=folder [CAFILE=ca.pem] [EXPECT_SIGNER=sha256]"
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/release/release-lib.sh"
dist=${1%/} cafile=${2:-/etc/ssl/certs/ca-certificates.crt} expect=${EXPECT_SIGNER-}
shown_dist=$(shown "$dist")
# No release file comes near this; a bigger one is refused before it is read.
max_bytes=$((16 * 1024 * 1024))

[ -d "$dist" ] || fail "no release folder at $shown_dist"
[ -f "$cafile" ] || fail "no CA certificates at $(shown "$cafile") (CAFILE)"
for tool in git sha256sum osslsigncode openssl cmake node; do
    command -v $tool >/dev/null || fail "$tool is not installed (make verify-release installs it)"
done
[ -x "$root/release/signature-info.py" ] || fail "no $root/release/signature-info.py"
# The pin: as OpenSSL prints it ("sha256 Fingerprint=AB:CD:..."), or its
# hex digits alone, in either case.
if [ -n "${EXPECT_SIGNER+set}" ]; then
    [ -n "$expect" ] ||
        fail "EXPECT_SIGNER is given but empty: give the SHA-256 fingerprint of the publisher's certificate, or leave EXPECT_SIGNER out to verify without pinning the signer"
    expect_sha256=$(sed -E 's/^[Ss][Hh][Aa]256 [Ff]ingerprint=//' <<<"$expect" | tr -d ':' | tr 'A-F' 'a-f')
    [[ $expect_sha256 =~ ^[0-9a-f]{64}$ ]] ||
        fail "EXPECT_SIGNER is the SHA-256 fingerprint of the publisher's certificate (64 hex digits), not '$(shown "$expect")': a subject pins nothing, since any CA that CAFILE trusts can issue a certificate that bears it"
    pinned="signer pinned to $expect_sha256"
else
    expect="" pinned="signer not pinned"
fi
# The CycloneDX library that writes the SBOM is the one that the commit pins.
log=$(clean_env node "$root/release/third-party.mjs" check-modules "$root" 2>&1) ||
    fail "$(shown "${log#third-party: }")"

# Exactly the files of a release, each a regular file: nothing hidden,
# nothing extra, no link, no device, no pipe that a read would wait on.
declare -A expected=() present=()
for name in "${release_files[@]}" "$signature_file" "$manifest_signature_file"; do
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
    [ -n "${present[$name]+1}" ] && [ "$name" != SHA256SUMS ] && [ "$name" != "$manifest_signature_file" ] ||
        fail "SHA256SUMS line $line_number lists '$(shown "$name")', which is no file of this release"
    [ -z "${listed[$name]+1}" ] || fail "SHA256SUMS lists $name twice"
    listed[$name]=$hash
done <"$dist/SHA256SUMS"
for name in "${!present[@]}"; do
    [ "$name" = SHA256SUMS ] || [ "$name" = "$manifest_signature_file" ] || [ -n "${listed[$name]+1}" ] ||
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
if ! grep -q -x -F "$version" <<<"$tags"; then
    mismatch=$(tag_mismatch "$root" "v$version" "$commit")
    [[ $mismatch == "there is no such tag" || $mismatch == "it names another commit" ]] ||
        fail "tag v$version is not this version's tag: $mismatch"
    fail "BUILDINFO says version $version, but commit ${commit:0:12} is not tagged v$version (its version tags: $(tag_list "$tags"))"
fi

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

work=$(mktemp -d) || fail "cannot make a temporary folder"
trap 'rm -rf "$work"' EXIT

# The signatures: the exe's, and the one of SHA256SUMS, which vouches for
# every other file. Each must carry nothing that its signer did not sign,
# and both must be one certificate's.
outside=()
if [ -n "${present[$signature_file]+1}" ]; then
    mkdir "$work/exe-signature" &&
        signature_structure authenticode "$dist/$signature_file" "$cafile" "$work/exe-signature" ||
        fail "$signature_file:$verify_error"
    read_signature "$dist/UninstallNotice.exe" "$cafile" ||
        fail "the signature does not verify against $(shown "$cafile"):$verify_error"
    [ -z "$expect" ] || [ "$signer_sha256" = "$expect_sha256" ] ||
        fail "the release is signed by the certificate SHA-256 $signer_sha256, not by $expect_sha256 (EXPECT_SIGNER); its subject: '$signer'"
    exe_signer=$signer exe_signer_sha256=$signer_sha256
    what="exe signed by the certificate SHA-256 $signer_sha256, $(stamp_said)"
    outside+=("signer '$exe_signer'")
    if [ -n "${present[$manifest_signature_file]+1}" ]; then
        read_manifest_signature "$dist/$manifest_signature_file" "$dist/SHA256SUMS" "$cafile" ||
            fail "$manifest_signature_file, against $(shown "$cafile") and SHA256SUMS as it stands:$verify_error"
        [ "$signer_sha256" = "$exe_signer_sha256" ] ||
            fail "SHA256SUMS is signed by the certificate SHA-256 $signer_sha256, not by the exe's, $exe_signer_sha256"
        what="$what; SHA256SUMS, and so every file, signed by the same certificate, $(stamp_said)"
    else
        [ -z "$expect" ] ||
            fail "SHA256SUMS is not signed (no $manifest_signature_file), so nothing vouches for BUILDINFO, the SBOM, the notices or the includes, but EXPECT_SIGNER expects a signed release"
        what="$what; SHA256SUMS unsigned: no one vouches for the other files"
    fi
else
    [ -z "${present[$manifest_signature_file]+1}" ] ||
        fail "$manifest_signature_file is there, but the exe is unsigned: no release is made so"
    [ -z "$expect" ] ||
        fail "the release is unsigned, but EXPECT_SIGNER expects it signed by $expect_sha256"
    what="unsigned: no one vouches for its files"
fi

# Whether the commit's tag is signed: git verify-tag's verdict on the tag
# object that was checked above to be this version's, never a look at its
# text.
tag=v$version
if [ "$(git -C "$root" cat-file -t "refs/tags/$tag" 2>/dev/null)" != tag ]; then
    tag_said="tag $tag not signed (a plain tag)"
else
    object=$(git -C "$root" rev-parse -q --verify "refs/tags/$tag")
    if status=$(git -C "$root" verify-tag --raw "$object" 2>&1); then
        key=$(grep -m1 -o -E '^\[GNUPG:\] GOODSIG [0-9A-F]+' <<<"$status" | cut -d' ' -f3)
        tag_said="tag $tag signed, and git verify-tag checked it (${key:+GOODSIG $key}${key:-good})"
        uid=$(grep -m1 -E '^\[GNUPG:\] GOODSIG ' <<<"$status" | cut -d' ' -f4-)
        [ -n "$uid" ] || uid=$(grep -m1 -o -E 'Good "git" signature.*' <<<"$status")
        outside+=("tag signer '$(shown "$uid")'")
    elif grep -q -E '^\[GNUPG:\] BADSIG|Bad signature|bad signature' <<<"$status"; then
        fail "tag $tag carries a signature that does not match it (git verify-tag)"
    elif grep -q -E '^error: no signature found' <<<"$status"; then
        tag_said="tag $tag not signed"
    elif grep -q -E '^\[GNUPG:\] NODATA' <<<"$status"; then
        tag_said="tag $tag not signed: what looks like a signature in it is none (git verify-tag: NODATA)"
    else
        why=$(grep -m1 -o -E 'NO_PUBKEY|gpg.ssh.allowedSignersFile needs to be configured' <<<"$status" ||
            head -n 1 <<<"$status")
        tag_said="tag $tag not shown to be signed: git verify-tag could not check it ($(shown "$why"))"
    fi
fi

# Only now the build: a fresh one of the commit, never the checkout's own
# build/.
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
else
    cmp -s "$fresh" "$dist/UninstallNotice.exe" ||
        fail "the published UninstallNotice.exe is not the fresh build of $commit"
fi

# The notices and the SBOM are what the commit's build and BUILDINFO's
# inputs give, and the SBOM passes CycloneDX's own validator.
cmp -s "$(dirname "$fresh")/THIRD-PARTY-NOTICES.txt" "$dist/THIRD-PARTY-NOTICES.txt" ||
    fail "THIRD-PARTY-NOTICES.txt in $shown_dist is not what the build of $commit gives (from its link and this machine's packages)"
log=$(clean_env node "$root/release/third-party.mjs" validate "$dist/UninstallNotice.cdx.json" 2>&1) ||
    fail "$(shown "${log#third-party: }")"
mkdir "$work/sbom" || fail "cannot make $work/sbom"
for name in UninstallNotice.exe "${includes[@]##*/}"; do
    cp "$dist/$name" "$work/sbom/" || fail "cannot copy $name into $work/sbom"
done
log=$(PUBLISHER_NAME=${field[Publisher-Name]} PUBLISHER_URL=${field[Publisher-URL]} \
    SOURCE_URL=${field[Source-URL]:-} DOWNLOAD_URL=${field[Download-URL]:-} \
    PUBLISHER_LICENSE=${field[Publisher-License]:-} PUBLISHER_LICENSE_URL=${field[Publisher-License-URL]:-} \
    make_sbom "$root" "$(dirname "$fresh")/third-party.json" "$work/sbom" "$version" "$commit" \
        "$dist/UninstallNotice.cdx.json" 2>&1) ||
    fail "cannot make the SBOM again from BUILDINFO's inputs and the release's .deb facts: $(shown "${log#third-party: }")"
cmp -s "$work/sbom/UninstallNotice.cdx.json" "$dist/UninstallNotice.cdx.json" ||
    fail "UninstallNotice.cdx.json in $shown_dist is not the SBOM that the build of $commit and BUILDINFO give"
# The packages' .deb facts that this machine's apt could not check.
unchecked=$(sed -n 's/^unchecked: //p' <<<"$log" | paste -s -d ';' | sed 's/;/ and /g')
debs_said=""
[ -z "$unchecked" ] || debs_said="the SBOM's word taken, unchecked, for $unchecked; "

# The verdict first; what was read from outside after it, quoted, the folder
# last, so that no name can pass for a verdict.
outside+=("CA file '$(shown "$cafile")'" "folder '$shown_dist'")
said_outside=$(printf '%s; ' "${outside[@]}")
[ -z "$ignored_git_variables" ] ||
    say "note: git read nothing of what the caller set of $ignored_git_variables: only the clone's own objects and refs"
say "ok: version $version, commit $commit, rebuilt byte for byte; $what; $pinned; $tag_said; $debs_said${said_outside%; }"
