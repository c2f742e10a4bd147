#!/usr/bin/env bash
# Verifies a downloaded release against the commit that is checked out here.
#   verify-release.sh DIST [ALLOWED_SIGNERS=file] [CAFILE=file] [PIN=sha256]
#                              (make verify-release DIST=... [ALLOWED_SIGNERS=...] ...)
# Its trust inputs are those arguments, nothing else: it runs in an
# environment made from scratch (release-lib.sh), and its verdict names
# each trust input with its SHA-256, so that none can be swapped unseen.
#   ALLOWED_SIGNERS  the publisher's allowed-signers line (a file, as
#                    ssh-keygen reads it): SHA256SUMS.sig must be a good SSH
#                    signature of SHA256SUMS by a key in it. Without it, or
#                    without SHA256SUMS.sig, nobody vouches for the files,
#                    and the verdict says so.
#   CAFILE           the CA certificates for the programs' Authenticode
#                    signatures and time stamps (default: the system's;
#                    better, only the roots that the publisher names)
#   PIN              the SHA-256 fingerprint of the publisher's code-signing
#                    certificate; BUILDINFO names it anyway, and a pin must
#                    agree with it
# In order, each step bounded in size and time, so that a forgery or junk
# of any size is refused in seconds: exactly the files of a release, none
# larger than a release's; SHA256SUMS, one well-formed line for each other
# file, matching it; SHA256SUMS.sig against the allowed signers; BUILDINFO,
# strict, naming this commit on a clean tree and the version of its tag;
# the includes, as the commit has them; each program's Authenticode
# signature, where BUILDINFO names a certificate: osslsigncode verifies it
# against CAFILE, pinned to that certificate, and authenticode-policy.py
# allows what it is made with; the tag, and whether it is signed (by a key
# of the allowed signers, or checked by gpg). Then a fresh build of the
# commit, each program against BUILDINFO's hash and, with its signature
# attached, against the published one; and the notices and the SBOM
# against what the build and BUILDINFO give, byte for byte, the SBOM
# through CycloneDX's validator too. The last line gives the verdict
# first, then what it read from outside (quoted) and the trust inputs.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/release/release-lib.sh"
start_clean "$0" "$@"

fail() { echo "verify-release: $*" >&2; exit 1; }
say() { echo "verify-release: $*"; }

usage="usage: make verify-release DIST=folder [ALLOWED_SIGNERS=file] [CAFILE=file] [PIN=sha256]"
[ $# -ge 1 ] && [ -n "$1" ] && [[ $1 != *=* ]] || fail "$usage"
dist=${1%/}
shift
allowed="" cafile="" pin=""
for argument in "$@"; do
    case $argument in
    ALLOWED_SIGNERS=*) [ -z "$allowed" ] || fail "ALLOWED_SIGNERS is given twice"; allowed=${argument#*=} ;;
    CAFILE=*) [ -z "$cafile" ] || fail "CAFILE is given twice"; cafile=${argument#*=} ;;
    PIN=*) [ -z "$pin" ] || fail "PIN is given twice"; pin=${argument#*=} ;;
    *) fail "'$(shown "$argument")' is no input of a verification: $usage" ;;
    esac
done
[[ "$allowed$cafile$pin" != *$'\n'* ]] || fail "an input holds a line break"
shown_dist=$(shown "$dist")
cafile=${cafile:-/etc/ssl/certs/ca-certificates.crt}

[ -d "$dist" ] || fail "no release folder at $shown_dist"
[ -f "$cafile" ] || fail "no CA certificates at $(shown "$cafile") (CAFILE)"
[ "$(stat -c %s -- "$cafile")" -le $max_bytes ] || fail "the CA file $(shown "$cafile") is larger than any ($max_bytes bytes)"
if [ -n "$allowed" ]; then
    [ -f "$allowed" ] || fail "no allowed signers at $(shown "$allowed") (ALLOWED_SIGNERS)"
    [ "$(stat -c %s -- "$allowed")" -le $max_signature_bytes ] ||
        fail "the allowed signers $(shown "$allowed") are larger than any publisher's line ($max_signature_bytes bytes)"
fi
# The pin: as OpenSSL prints it ("sha256 Fingerprint=AB:CD:..."), or its
# hex digits alone, in either case.
if [ -n "$pin" ]; then
    pin_sha256=$(sed -E 's/^[Ss][Hh][Aa]256 [Ff]ingerprint=//' <<<"$pin" | tr -d ':' | tr 'A-F' 'a-f')
    [[ $pin_sha256 =~ ^[0-9a-f]{64}$ ]] ||
        fail "PIN is the SHA-256 fingerprint of the publisher's code-signing certificate (64 hex digits), not '$(shown "$pin")'"
fi
for tool in git sha256sum osslsigncode openssl ssh-keygen cmake node; do
    command -v $tool >/dev/null || fail "$tool is not installed (make verify-release installs it)"
done
# The CycloneDX library that writes the SBOM is the one that the commit pins.
log=$(timeout -k 5 60 node "$root/release/third-party.mjs" check-modules "$root" 2>&1) ||
    fail "$(shown "${log#third-party: }")"

# Exactly the files of a release, each a regular file no larger than any:
# nothing hidden, nothing extra, no link, no device, no pipe that a read
# would wait on.
declare -A expected=() present=()
for name in "${release_files[@]}" "$manifest_signature_file"; do
    expected[$name]=1
done
while IFS= read -r -d '' name; do
    [ -n "${expected[$name]+1}" ] ||
        fail "$shown_dist holds '$(shown "$name")', which is no file of a release"
    [ ! -L "$dist/$name" ] || fail "$name in $shown_dist is a link, not a file"
    [ -f "$dist/$name" ] || fail "$name in $shown_dist is not a regular file"
    bound=$max_bytes
    [ "$name" != "$manifest_signature_file" ] || bound=$max_signature_bytes
    [ "$(stat -c %s -- "$dist/$name")" -le $bound ] ||
        fail "$name in $shown_dist is larger than any release's ($bound bytes)"
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
    [ "$(sha256_of "$dist/$name")" = "${listed[$name]}" ] ||
        fail "SHA256SUMS does not match the files in $shown_dist: $name: FAILED"
done

# Who vouches for SHA256SUMS, and so for every file: a key of the allowed
# signers, or nobody.
if [ -n "${present[$manifest_signature_file]+1}" ] && [ -n "$allowed" ]; then
    check_ssh_signature "$allowed" "$dist/$manifest_signature_file" "$dist/SHA256SUMS" ||
        fail "$manifest_signature_file is not a good signature of SHA256SUMS by the allowed signers $(shown "$allowed"):$verify_error"
    vouched="SHA256SUMS, and so every file, signed by $ssh_principal with the key $ssh_key of the allowed signers"
elif [ -n "$allowed" ]; then
    fail "SHA256SUMS is not signed (no $manifest_signature_file): nobody vouches for the files, though the allowed signers $(shown "$allowed") were given"
elif [ -n "${present[$manifest_signature_file]+1}" ]; then
    vouched="SHA256SUMS signed, but not checked: no allowed signers were given, so nobody vouches for the files"
else
    vouched="SHA256SUMS unsigned: nobody vouches for the files"
fi

# BUILDINFO: printable ASCII, the header, then each key once (a program
# and a package once each), no other key.
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
    if [ "$key" = Package ] || [ "$key" = Program ]; then
        [[ $value =~ ^([^ ]+)\ ([^ ]+)$ ]] || fail "BUILDINFO line $line_number is not '$key: name value'"
        key="$key ${BASH_REMATCH[1]}" value=${BASH_REMATCH[2]}
        [[ " ${tool_packages[*]/#/Package } ${programs[*]/#/Program } " == *" $key "* ]] ||
            fail "BUILDINFO line $line_number names what no release records: '$line'"
    else
        [[ " ${buildinfo_keys[*]} ${buildinfo_optional_keys[*]} " == *" $key "* ]] ||
            fail "BUILDINFO line $line_number has a key that no release has: '$key'"
    fi
    [ -z "${field[$key]+1}" ] || fail "BUILDINFO has $key more than once"
    field[$key]=$value
done <"$dist/BUILDINFO"
for key in "${buildinfo_keys[@]}" "${tool_packages[@]/#/Package }" "${programs[@]/#/Program }"; do
    [ -n "${field[$key]+1}" ] || fail "BUILDINFO has no $key"
done
version=${field[Version]} commit=${field[Commit]} tree=${field[Tree]}
certificate=${field[Authenticode-Certificate]:-}
[[ $commit =~ ^[0-9a-f]{40}$ ]] || fail "BUILDINFO's commit is not a full commit id: '$commit'"
for name in "${programs[@]}"; do
    [[ ${field[Program $name]} =~ ^[0-9a-f]{64}$ ]] ||
        fail "BUILDINFO's hash of $name is not a SHA-256: '${field[Program $name]}'"
done
[ -z "$certificate" ] || [[ $certificate =~ ^[0-9a-f]{64}$ ]] ||
    fail "BUILDINFO's Authenticode-Certificate is not a SHA-256 fingerprint: '$certificate'"
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "BUILDINFO's version is not X.Y.Z: '$version'"
[ "$tree" = clean ] ||
    fail "BUILDINFO says the release was built from a tree with changes ('$tree'): it cannot be verified"
if [ -n "$pin" ]; then
    [ -n "$certificate" ] ||
        fail "the programs are unsigned, but PIN expects them signed by the certificate SHA-256 $pin_sha256"
    [ "$certificate" = "$pin_sha256" ] ||
        fail "BUILDINFO names the certificate SHA-256 $certificate, not $pin_sha256 (PIN)"
fi

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

# Each program's Authenticode signature, pinned to the certificate that
# BUILDINFO names, made as the policy allows.
if [ -n "$certificate" ]; then
    for name in "${programs[@]}"; do
        check_authenticode "$dist/$name" "$cafile" "$certificate" "$work" ||
            fail "the signature of $name does not verify against $(shown "$cafile"), pinned to the certificate SHA-256 $certificate:$verify_error"
    done
    signed_said="programs signed by the certificate SHA-256 $certificate ($policy_said)${stamped:+, time-stamped $(shown "$stamped")}"
else
    signed_said="programs unsigned"
fi

# Whether the commit's tag is signed: git verify-tag's verdict on the tag
# object that was checked above to be this version's, with SSH signatures
# checked against the allowed signers, never a look at its text.
tag=v$version outside=()
if [ "$(git -C "$root" cat-file -t "refs/tags/$tag" 2>/dev/null)" != tag ]; then
    tag_said="tag $tag not signed (a plain tag)"
else
    object=$(git -C "$root" rev-parse -q --verify "refs/tags/$tag")
    ssh_settings=(-c gpg.ssh.allowedSignersFile="${allowed:-/dev/null}")
    if status=$(timeout -k 5 60 git -C "$root" "${ssh_settings[@]}" verify-tag --raw "$object" 2>&1); then
        if [[ $status =~ Good\ \"git\"\ signature\ for\ (.*)\ with\ [A-Z0-9-]+\ key\ (SHA256:[A-Za-z0-9+/]+) ]]; then
            tag_said="tag $tag signed by $(shown "${BASH_REMATCH[1]}") with the key ${BASH_REMATCH[2]} of the allowed signers (git verify-tag)"
        else
            key=$(grep -m1 -o -E '^\[GNUPG:\] GOODSIG [0-9A-F]+' <<<"$status" | cut -d' ' -f3)
            tag_said="tag $tag signed, and git verify-tag checked it with gpg (${key:+GOODSIG $key}${key:-good})"
            uid=$(grep -m1 -E '^\[GNUPG:\] GOODSIG ' <<<"$status" | cut -d' ' -f4-)
            [ -z "$uid" ] || outside+=("tag signer '$(shown "$uid")'")
        fi
    elif grep -q -E '^\[GNUPG:\] BADSIG|Bad signature|bad signature|Signature verification failed' <<<"$status"; then
        fail "tag $tag carries a signature that does not match it (git verify-tag)"
    elif grep -q -E '^error: no signature found' <<<"$status"; then
        tag_said="tag $tag not signed"
    elif grep -q -E '^\[GNUPG:\] NODATA' <<<"$status"; then
        tag_said="tag $tag not signed: what looks like a signature in it is none (git verify-tag: NODATA)"
    else
        why=$(grep -m1 -o -E 'NO_PUBKEY|No principal matched|gpg.ssh.allowedSignersFile needs to be configured' <<<"$status" ||
            head -n 1 <<<"$status")
        tag_said="tag $tag not shown to be signed: git verify-tag could not check it ($(shown "$why"))"
    fi
fi

# Only now the build: a fresh one of the commit, never the checkout's own
# build/.
say "building version $version, commit ${commit:0:12}, afresh in $work"
mkdir "$work/tree" && fresh=$(build_commit "$root" "$commit" "$version" "$work/tree") ||
    fail "the build of commit $commit failed:$(reason 'error|Error' "$(cat "$work/tree.log" 2>/dev/null)")"
for name in "${programs[@]}"; do
    hash=$(sha256_of "$fresh/$name")
    [ "$hash" = "${field[Program $name]}" ] ||
        fail "the fresh build of $name of $commit has SHA-256 $hash, but BUILDINFO says ${field[Program $name]}"
    if [ -n "$certificate" ]; then
        # Its signature, as published, on the fresh build.
        timeout -k 5 30 osslsigncode extract-signature -in "$dist/$name" -out "$work/$name.sig" >/dev/null 2>&1 &&
            timeout -k 5 30 osslsigncode attach-signature -sigin "$work/$name.sig" -CAfile "$cafile" \
                -TSA-CAfile "$cafile" -in "$fresh/$name" -out "$work/$name.attached" >/dev/null 2>&1
        [ -f "$work/$name.attached" ] || fail "the signature of $name is not one of the fresh build of $commit"
        cmp -s "$work/$name.attached" "$dist/$name" ||
            fail "the published $name is not the fresh build of $commit with its signature attached"
    else
        cmp -s "$fresh/$name" "$dist/$name" || fail "the published $name is not the fresh build of $commit"
    fi
done

# The notices and the SBOM are what the commit's build and BUILDINFO's
# inputs give, and the SBOM passes CycloneDX's own validator.
cmp -s "$fresh/THIRD-PARTY-NOTICES.txt" "$dist/THIRD-PARTY-NOTICES.txt" ||
    fail "THIRD-PARTY-NOTICES.txt in $shown_dist is not what the build of $commit gives (from its links and this machine's packages)"
log=$(timeout -k 5 120 node "$root/release/third-party.mjs" validate "$dist/UninstallNotice.cdx.json" 2>&1) ||
    fail "$(shown "${log#third-party: }")"
mkdir "$work/sbom" || fail "cannot make $work/sbom"
for name in "${programs[@]}" "${includes[@]##*/}"; do
    cp "$dist/$name" "$work/sbom/" || fail "cannot copy $name into $work/sbom"
done
log=$(PUBLISHER_NAME=${field[Publisher-Name]} PUBLISHER_URL=${field[Publisher-URL]} \
    SOURCE_URL=${field[Source-URL]:-} DOWNLOAD_URL=${field[Download-URL]:-} \
    PUBLISHER_LICENSE=${field[Publisher-License]:-} PUBLISHER_LICENSE_URL=${field[Publisher-License-URL]:-} \
    make_sbom "$root" "$fresh/third-party.json" "$work/sbom" "$version" "$commit" \
        "$dist/UninstallNotice.cdx.json" 2>&1) ||
    fail "cannot make the SBOM again from BUILDINFO's inputs and the release's .deb facts: $(shown "${log#third-party: }")"
cmp -s "$work/sbom/UninstallNotice.cdx.json" "$dist/UninstallNotice.cdx.json" ||
    fail "UninstallNotice.cdx.json in $shown_dist is not the SBOM that the build of $commit and BUILDINFO give"
# The packages' .deb facts that this machine's apt could not check.
unchecked=$(sed -n 's/^unchecked: //p' <<<"$log" | paste -s -d ';' | sed 's/;/ and /g')
debs_said=""
[ -z "$unchecked" ] || debs_said="the SBOM's word taken, unchecked, for $unchecked; "

# The verdict first; what was read from outside after it, quoted, the trust
# inputs with their SHA-256, and the folder last, so that no name can pass
# for a verdict.
trusted="allowed signers none"
[ -z "$allowed" ] || trusted="allowed signers $(named_file "$allowed")"
trusted+=", CA file $(named_file "$cafile"), pin ${pin_sha256:-none given}"
said_outside=""
for item in "${outside[@]}"; do
    said_outside+="$item; "
done
say "ok: version $version, commit $commit, rebuilt byte for byte; $vouched; $signed_said; $tag_said; $debs_said${said_outside}trusted: $trusted; folder '$shown_dist'"
