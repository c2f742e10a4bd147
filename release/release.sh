#!/usr/bin/env bash
# Builds a release into OUT-DIR (make release: dist/): the programs
# UninstallNotice.exe and FilesInUse.exe, the NSIS and Inno Setup includes
# (UninstallNotice.nsh, UninstallNotice.iss), the licence notices of what the
# links pulled into the programs (THIRD-PARTY-NOTICES.txt), a CycloneDX SBOM
# (UninstallNotice.cdx.json), BUILDINFO (its version, and what it was built
# from, with and by whom) and SHA256SUMS, which lists every other file; and,
# with the publisher's release key, SHA256SUMS.sig, an SSH signature of
# SHA256SUMS that vouches for all of them.
#   release.sh [--no-build] OUT-DIR [NAME=VALUE]...
# Its inputs are NAME=VALUE arguments, nothing else: it runs in an
# environment made from scratch (release-lib.sh), so nothing of the
# caller's reaches the builds, the signing or BUILDINFO. The publisher:
#   PUBLISHER_NAME       required: who makes and supplies the programs
#   PUBLISHER_URL        required: their https address
#   SOURCE_URL           optional: where the source can be had
#   DOWNLOAD_URL         optional: where this release is published
#   PUBLISHER_LICENSE    optional: the licence of our own code, an SPDX
#                        expression
#   PUBLISHER_LICENSE_URL optional: where the text of that licence is, which
#                        the SBOM gives for each LicenseRef-... in it
# The release key, which signs SHA256SUMS (ssh-keygen -Y sign), in a file:
#   RELEASE_KEY          an SSH private key, with no passphrase
# or on a token or smart card, through PKCS#11 and an ssh-agent of the
# release's own:
#   RELEASE_KEY          the key's public key (a .pub file)
#   RELEASE_PKCS11_MODULE the token's PKCS#11 module (a .so)
#   RELEASE_PIN_FILE     a file whose first line is the token's PIN
# and for either:
#   RELEASE_PRINCIPAL    the name in the allowed-signers line (default:
#                        release@ and PUBLISHER_URL's host)
# The programs are signed (Authenticode, with osslsigncode) with a key on a
# token, through PKCS#11:
#   SIGN_PKCS11_MODULE   the token's PKCS#11 module (a .so)
#   SIGN_KEY             the key's PKCS#11 URI (pkcs11:token=...;object=...)
#   SIGN_CERT            the certificate chain, PEM, or the certificate's
#                        PKCS#11 URI on the token
#   SIGN_PIN_FILE        a file whose first line is the token's PIN
# or with a key in a file:
#   SIGN_PFX             the publisher's certificate and key (PKCS#12)
#   SIGN_PASSWORD_FILE   a file whose first line is their password
# and for either:
#   SIGN_TIMESTAMP_URL   optional: an RFC 3161 time-stamping service
#   SIGN_CAFILE          optional: the CA certificates that the signature and
#                        its time stamp must verify against (default: the
#                        system's)
# RELEASE_SIGN_TIMEOUT: how many seconds one signing may take, with its time
# stamp (default 120).
# The signature of each program must be one that the policy allows
# (authenticode-policy.py: SHA-256 and up, RSA 2048 and up or ECDSA P-256
# and up, a certificate meant for code signing): a probe is signed and
# judged before anything is built, and the release refuses to sign outside
# it. BUILDINFO names the certificate by its SHA-256 fingerprint.
# --no-build: the caller has just built the tree and run the exe checks.
# The commit must be tagged vX.Y.Z (git tag -s v1.2.0): the release is
# version X.Y.Z, in the programs' version resources and in BUILDINFO.
# The tree must be its commit: no uncommitted changes to tracked files, no
# untracked files, none that git was told to look away from; or the release
# could not be rebuilt from its commit. RELEASE_ALLOW_DIRTY=1 (for tests)
# lets changes through, and BUILDINFO then says so. Either way, before a
# program is signed, it must be what a build of `git archive` of the commit
# gives, byte for byte.
# The release is put together in a temporary folder beside OUT-DIR and moved
# into place only when it is complete: a failed run leaves OUT-DIR as it was.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/release/release-lib.sh"
start_clean "$0" "$@"

fail() { echo "release: $*" >&2; exit 1; }

build=1
[ "${1:-}" = --no-build ] && build=0 && shift
[ $# -ge 1 ] && [ -n "$1" ] && [[ $1 != *=* ]] ||
    fail "usage: release.sh [--no-build] OUT-DIR [NAME=VALUE]..."
out=${1%/}
shift
inputs=(PUBLISHER_NAME PUBLISHER_URL SOURCE_URL DOWNLOAD_URL PUBLISHER_LICENSE PUBLISHER_LICENSE_URL
    RELEASE_KEY RELEASE_PKCS11_MODULE RELEASE_PIN_FILE RELEASE_PRINCIPAL
    SIGN_PFX SIGN_PASSWORD_FILE SIGN_PKCS11_MODULE SIGN_KEY SIGN_CERT SIGN_PIN_FILE
    SIGN_TIMESTAMP_URL SIGN_CAFILE RELEASE_SIGN_TIMEOUT RELEASE_ALLOW_DIRTY)
declare -A given=()
for argument in "$@"; do
    name=${argument%%=*}
    [[ $argument == *=* ]] && [[ " ${inputs[*]} " == *" $name "* ]] ||
        fail "'$(shown "$argument")' is no input of a release (they are NAME=VALUE: ${inputs[*]})"
    [ -z "${given[$name]+1}" ] || fail "$name is given twice"
    [[ ${argument#*=} != *$'\n'* ]] || fail "$name holds a line break; it must be one line"
    given[$name]=1
    printf -v "$name" '%s' "${argument#*=}"
done
for name in "${inputs[@]}"; do
    [ -n "${given[$name]+1}" ] || printf -v "$name" '%s' ""
done
exe_folder=$root/build/windows
pfx=$SIGN_PFX password=$SIGN_PASSWORD_FILE
module=$SIGN_PKCS11_MODULE key=$SIGN_KEY cert=$SIGN_CERT pin=$SIGN_PIN_FILE
timestamp=$SIGN_TIMESTAMP_URL cafile=${SIGN_CAFILE:-/etc/ssl/certs/ca-certificates.crt}
# Signing waits on the token and on the time-stamping service; neither may
# hold the release up for ever.
sign_timeout=${RELEASE_SIGN_TIMEOUT:-120}
[[ $sign_timeout =~ ^[1-9][0-9]{0,3}$ ]] ||
    fail "RELEASE_SIGN_TIMEOUT must be a whole number of seconds, 1 to 9999, not '$(shown "$sign_timeout")'"
# The build's own compiler makes the probe that is signed before the build.
probe_compiler=x86_64-w64-mingw32-gcc-win32

readable_file() { [ -f "$1" ] && head -c 0 <"$1" 2>/dev/null; }

# Every input is checked before anything is built or written.
[ ! -e "$out" ] || [ -d "$out" ] || fail "$out is there and is not a folder"
command -v node >/dev/null || fail "node is not installed (make release installs it)"
publisher() {
    env PUBLISHER_NAME="$PUBLISHER_NAME" PUBLISHER_URL="$PUBLISHER_URL" SOURCE_URL="$SOURCE_URL" \
        DOWNLOAD_URL="$DOWNLOAD_URL" PUBLISHER_LICENSE="$PUBLISHER_LICENSE" \
        PUBLISHER_LICENSE_URL="$PUBLISHER_LICENSE_URL" "$@"
}
log=$(publisher node "$root/release/third-party.mjs" check-inputs 2>&1) || fail "${log#third-party: }"
# The CycloneDX library that writes the SBOM is the one that the commit pins.
log=$(node "$root/release/third-party.mjs" check-modules "$root" 2>&1) || fail "${log#third-party: }"

with=none
[ -n "$pfx$password" ] && with=file
if [ -n "$module$key$cert$pin" ]; then
    [ $with = none ] ||
        fail "SIGN_PFX and SIGN_KEY are both set: sign with a key in a file or on a token, not both"
    with=token
fi
case $with in
file)
    [ -n "$pfx" ] || fail "SIGN_PASSWORD_FILE is set, but SIGN_PFX (the certificate) is not"
    [ -n "$password" ] || fail "SIGN_PFX is set, but SIGN_PASSWORD_FILE is not"
    [ -f "$pfx" ] || fail "no certificate at $pfx (SIGN_PFX)"
    readable_file "$pfx" || fail "cannot read the certificate $pfx (SIGN_PFX)"
    readable_file "$password" || fail "cannot read the password file $password (SIGN_PASSWORD_FILE)"
    secret_file=$password what=$pfx
    keys=(-pkcs12 "$pfx")
    ;;
token)
    [ -n "$key" ] || fail "SIGN_PKCS11_MODULE, SIGN_CERT or SIGN_PIN_FILE is set, but SIGN_KEY (the key's PKCS#11 URI) is not"
    [[ $key == pkcs11:* ]] || fail "SIGN_KEY must be a PKCS#11 URI (pkcs11:token=...;object=...), not '$(shown "$key")'"
    [ -n "$module" ] || fail "SIGN_KEY is set, but SIGN_PKCS11_MODULE (the token's PKCS#11 module) is not"
    [ -n "$cert" ] || fail "SIGN_KEY is set, but SIGN_CERT (the certificate chain or its PKCS#11 URI) is not"
    [ -n "$pin" ] || fail "SIGN_KEY is set, but SIGN_PIN_FILE is not"
    command -v pkcs11-tool >/dev/null || fail "pkcs11-tool is not installed (make release installs opensc)"
    [ -f "$module" ] || fail "no PKCS#11 module at $module (SIGN_PKCS11_MODULE)"
    log=$(timeout -k 5 "$sign_timeout" pkcs11-tool --module "$module" --show-info 2>&1) ||
        fail "cannot load the PKCS#11 module $module (SIGN_PKCS11_MODULE):$(reason 'error|failed|Failed' "$log")"
    keys=(-pkcs11module "$module" -key "$key")
    if [[ $cert == pkcs11:* ]]; then
        keys+=(-pkcs11cert "$cert")
    else
        [ -f "$cert" ] || fail "no certificate at $cert (SIGN_CERT)"
        openssl x509 -noout -in "$cert" 2>/dev/null || fail "$cert is not a PEM certificate (SIGN_CERT)"
        keys+=(-certs "$cert")
    fi
    readable_file "$pin" || fail "cannot read the PIN file $pin (SIGN_PIN_FILE)"
    secret_file=$pin what=$key
    ;;
none)
    [ -z "$timestamp" ] || fail "SIGN_TIMESTAMP_URL is set, but nothing signs the programs: set SIGN_KEY or SIGN_PFX"
    ;;
esac
if [ $with != none ]; then
    [ -z "$timestamp" ] || [[ $timestamp =~ ^https?://[^/] ]] ||
        fail "SIGN_TIMESTAMP_URL must be an http:// or https:// address, not '$(shown "$timestamp")'"
    [ -f "$cafile" ] || fail "no CA certificates at $cafile (SIGN_CAFILE)"
    command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (make release installs it)"
    [ -x /usr/bin/python3 ] || fail "/usr/bin/python3 is not installed (make release installs it)"
fi

# The release key: a private key in a file, or a public key whose private
# key is on the token.
signs=none
if [ -n "$RELEASE_KEY$RELEASE_PKCS11_MODULE$RELEASE_PIN_FILE$RELEASE_PRINCIPAL" ]; then
    [ -n "$RELEASE_KEY" ] || fail "RELEASE_PKCS11_MODULE, RELEASE_PIN_FILE or RELEASE_PRINCIPAL is set, but RELEASE_KEY (the release key) is not"
    readable_file "$RELEASE_KEY" || fail "cannot read the release key $RELEASE_KEY (RELEASE_KEY)"
    command -v ssh-keygen >/dev/null || fail "ssh-keygen is not installed (make release installs openssh-client)"
    if [ -n "$RELEASE_PKCS11_MODULE$RELEASE_PIN_FILE" ]; then
        [ -n "$RELEASE_PKCS11_MODULE" ] || fail "RELEASE_PIN_FILE is set, but RELEASE_PKCS11_MODULE is not"
        [ -n "$RELEASE_PIN_FILE" ] || fail "RELEASE_PKCS11_MODULE is set, but RELEASE_PIN_FILE is not"
        [ -f "$RELEASE_PKCS11_MODULE" ] || fail "no PKCS#11 module at $RELEASE_PKCS11_MODULE (RELEASE_PKCS11_MODULE)"
        readable_file "$RELEASE_PIN_FILE" || fail "cannot read the PIN file $RELEASE_PIN_FILE (RELEASE_PIN_FILE)"
        public_key=$(ssh-keygen -l -f "$RELEASE_KEY" 2>/dev/null) && grep -q '^ssh-\|^ecdsa-' "$RELEASE_KEY" ||
            fail "$RELEASE_KEY is not an SSH public key (RELEASE_KEY, with RELEASE_PKCS11_MODULE)"
        signs=token
    else
        ssh-keygen -y -P '' -f "$RELEASE_KEY" >/dev/null 2>&1 ||
            fail "$RELEASE_KEY is not an SSH private key without a passphrase (RELEASE_KEY): for a key on a token, give its public key and RELEASE_PKCS11_MODULE"
        signs=file
    fi
    principal=$RELEASE_PRINCIPAL
    if [ -z "$principal" ]; then
        host=${PUBLISHER_URL#https://} host=${host%%[/:?#]*}
        principal=release@$host
    fi
    [[ $principal =~ ^[A-Za-z0-9._@+-]+$ ]] ||
        fail "RELEASE_PRINCIPAL is a name of letters, digits and ._@+-, as an allowed-signers line takes it, not '$(shown "$principal")'"
fi

head=$(git -C "$root" rev-parse --verify -q HEAD) ||
    fail "$root is not a git checkout with a commit: a release must be rebuilt from its commit"
tree=clean
changes=$(tree_changes "$root")
if [ -n "$changes" ]; then
    [ "$RELEASE_ALLOW_DIRTY" = 1 ] ||
        fail "the tree is not its commit: $changes; such a release cannot be rebuilt from its commit: commit or remove them first"
    tree="modified (uncommitted changes; this release cannot be rebuilt from its commit)"
fi
versions=$(tag_versions "$root" "$head")
[ -n "$versions" ] ||
    fail "commit ${head:0:12} has no version tag: tag it with its version (git tag -s v1.2.0) and run make release again"
[ "$(wc -l <<<"$versions")" -eq 1 ] ||
    fail "commit ${head:0:12} has several version tags ($(tag_list "$versions")): keep the one it releases as"
version=$versions

secrets=$(mktemp -d) || fail "cannot make a temporary folder"
stage="" agent=""
cleanup() {
    [ -z "$agent" ] || kill "$agent" 2>/dev/null
    rm -rf "$secrets" ${stage:+"$stage"}
}
trap cleanup EXIT

# signing_failure LOG: why osslsigncode could not sign, in the release's terms.
signing_failure() {
    local log=$1 why
    if [ $with = file ] && grep -q -i -E "wrong password|mac verify failure" <<<"$log"; then
        echo "the password in $password does not open $pfx"
    elif grep -q "PIN incorrect" <<<"$log"; then
        echo "the PIN in $pin does not open $key"
    elif grep -q "PIN locked" <<<"$log"; then
        echo "the token's PIN is locked: $key cannot sign until the token's owner unlocks it"
    elif grep -q "Failed to load private key" <<<"$log"; then
        echo "no private key at $key on the token:$(reason 'error' "$log")"
    elif grep -q "Failed to load certificate" <<<"$log"; then
        echo "no certificate at $cert on the token"
    elif grep -q "key values mismatch" <<<"$log"; then
        echo "the certificate ${cert:-in $pfx} is not the one for the key $what"
    elif grep -q "Failed to convert timestamp reply" <<<"$log"; then
        echo "the time-stamping service at $timestamp answered, but not with a time stamp"
    elif grep -q -E "HTTP failure|CURL failure|BIO_connect|connect error" <<<"$log"; then
        why=$(grep -o -m1 -E "Connection refused|Name or service not known|Network is unreachable|No route to host|Connection timed out|Couldn't connect to server|Could not resolve host" <<<"$log")
        echo "the time-stamping service at $timestamp cannot be reached: ${why:-no answer}"
    elif grep -q "timestamping failed" <<<"$log"; then
        echo "the time-stamping service at $timestamp gave no time stamp:$(reason 'error|failed|Failed' "$log")"
    else
        echo "could not sign with $what:$(reason 'error|Failed to|Unable' "$log")"
    fi
}

# sign IN OUT: signs a program with the key, time-stamped where asked,
# bounded in time, with the description that Windows shows for it. The
# secret goes through a private file that holds its first line only; it
# never stands on a command line.
sign() {
    local log status stamping=() description="Quillane Uninstall Notice"
    [ -z "$timestamp" ] || stamping=(-ts "$timestamp")
    [ "$(basename "$2")" != FilesInUse.exe ] || description="Quillane Files-in-Use Check"
    log=$(timeout -k 5 "$sign_timeout" osslsigncode sign "${keys[@]}" -readpass "$secrets/secret" \
        -h sha256 -n "$description" "${stamping[@]}" -in "$1" -out "$2" 2>&1)
    status=$?
    [ $status -eq 0 ] && return 0
    [ $status -eq 124 ] || [ $status -eq 137 ] || fail "$(signing_failure "$log")"
    [ -z "$timestamp" ] ||
        fail "the time-stamping service at $timestamp did not answer within $sign_timeout s"
    fail "signing with $what did not finish within $sign_timeout s"
}

# The signing certificate of a signed program, PEM.
signer_certificate() {
    timeout -k 5 30 osslsigncode extract-signature -in "$1" -out "$secrets/signature.der" >/dev/null 2>&1 &&
        openssl pkcs7 -inform DER -in "$secrets/signature.der" -print_certs 2>/dev/null |
        awk '/BEGIN CERT/{n++} n==1' | sed '/END CERT/q'
}

if [ $with != none ]; then
    (umask 077 && head -n 1 "$secret_file" | tr -d '\r\n' >"$secrets/secret") ||
        fail "cannot read $secret_file"
    # A wrong PIN, a missing key, a certificate that is not the key's or
    # outside the policy, or a time-stamping service that does not answer
    # is found now, on a program of a few bytes, before the build: one try
    # of the PIN only.
    printf 'void probe(void) {}\n' | "$probe_compiler" -x c - -nostdlib -Wl,-e,probe -s \
        -o "$secrets/probe.exe" 2>/dev/null ||
        fail "cannot make the signing probe with $probe_compiler (make release installs it)"
    sign "$secrets/probe.exe" "$secrets/probe-signed.exe"
    signer_certificate "$secrets/probe-signed.exe" >"$secrets/signer.pem"
    signer_sha256=$(certificate_sha256 "$secrets/signer.pem")
    [[ $signer_sha256 =~ ^[0-9a-f]{64}$ ]] || fail "cannot read the certificate that signed the probe"
    mkdir "$secrets/check" && check_authenticode "$secrets/probe-signed.exe" "$cafile" "$signer_sha256" "$secrets/check" ||
        fail "the signature is not one that a release may carry:$verify_error"
    [ -z "$timestamp" ] || [ -n "$stamped" ] ||
        fail "the signature carries no time stamp that verifies against $cafile, though $timestamp was asked for one"
fi

# The release key signs a probe too, before the build.
ssh_sign() { # ssh_sign FILE: FILE.sig
    if [ $signs = file ]; then
        timeout -k 5 "$sign_timeout" ssh-keygen -Y sign -f "$RELEASE_KEY" -n "$ssh_namespace" -q "$1" 2>&1
    else
        SSH_AUTH_SOCK=$secrets/agent.sock timeout -k 5 "$sign_timeout" \
            ssh-keygen -Y sign -f "$RELEASE_KEY" -n "$ssh_namespace" -q "$1" 2>&1
    fi
}
if [ $signs != none ]; then
    if [ $signs = token ]; then
        # An agent of the release's own, with the token's keys; the PIN
        # goes through a private file, never a command line.
        (umask 077 && head -n 1 "$RELEASE_PIN_FILE" | tr -d '\r\n' >"$secrets/ssh-pin" &&
            printf '#!/bin/sh\ncat %q\n' "$secrets/ssh-pin" >"$secrets/askpass" && chmod 700 "$secrets/askpass") ||
            fail "cannot read $RELEASE_PIN_FILE"
        agent_log=$(timeout -k 5 30 ssh-agent -s -a "$secrets/agent.sock" 2>&1) ||
            fail "cannot start an ssh-agent for the token"
        agent=$(sed -n 's/^SSH_AGENT_PID=\([0-9]*\);.*/\1/p' <<<"$agent_log")
        log=$(SSH_AUTH_SOCK=$secrets/agent.sock SSH_ASKPASS=$secrets/askpass SSH_ASKPASS_REQUIRE=force \
            DISPLAY=none timeout -k 5 "$sign_timeout" ssh-add -s "$RELEASE_PKCS11_MODULE" </dev/null 2>&1) ||
            fail "the token's keys cannot be used (ssh-add -s $RELEASE_PKCS11_MODULE):$(reason '.' "$log")"
    fi
    printf '%s %s\n' "$principal" "$(awk '{print $1, $2}' "$RELEASE_KEY")" >"$secrets/allowed-signers"
    [ $signs = token ] || ssh-keygen -y -P '' -f "$RELEASE_KEY" 2>/dev/null |
        awk -v p="$principal" '{print p, $1, $2}' >"$secrets/allowed-signers"
    allowed_line="$principal namespaces=\"git,$ssh_namespace\" $(cut -d' ' -f2- "$secrets/allowed-signers")"
    echo probe >"$secrets/probe.txt"
    log=$(ssh_sign "$secrets/probe.txt") || fail "the release key cannot sign:$(reason '.' "$log")"
    check_ssh_signature "$secrets/allowed-signers" "$secrets/probe.txt.sig" "$secrets/probe.txt" ||
        fail "the release key's signature does not verify:$verify_error"
    release_key=$ssh_key
fi

if [ $build -eq 1 ]; then
    cd "$root" || exit 1
    # Afresh: a cache that an earlier configure filled keeps what it found.
    log=$(cmake --preset windows --fresh -DNOTICE_VERSION="$version" 2>&1 &&
        cmake --build --preset windows --parallel "$(nproc)" \
            --target UninstallNotice FilesInUse third_party 2>&1) ||
        { printf '%s\n' "$log" >&2; fail "the build failed"; }
    log=$(ctest --preset windows -R '^exe_' 2>&1) ||
        { printf '%s\n' "$log" >&2; fail "the exe checks failed"; }
    echo "release: built; the exe checks passed"
fi
for name in "${programs[@]}"; do
    [ -f "$exe_folder/$name" ] || fail "no program at $exe_folder/$name (make release builds it)"
    "$root/tools/check-exe.py" --version "$version" resources "$exe_folder/$name" >/dev/null 2>&1 ||
        fail "the program at $exe_folder/$name does not carry version $version (make release builds it so)"
done

# The programs must be what the commit builds: anything that the tree holds
# besides the commit (an untracked header, a file that git looks away
# from) and that went into one shows here, before anything is signed. The
# notices and the list of what went in come from that build too.
mkdir "$secrets/commit" && rebuilt=$(build_commit "$root" "$head" "$version" "$secrets/commit") ||
    fail "the build of commit ${head:0:12} from git archive failed:$(reason 'error|Error' "$(cat "$secrets/commit.log" 2>/dev/null)")"
for name in "${programs[@]}"; do
    cmp -s "$rebuilt/$name" "$exe_folder/$name" && continue
    why=$changes
    if [ -z "$why" ]; then
        ignored=$(git -C "$root" ls-files --others --ignored --exclude-standard 2>/dev/null |
            grep -v -E '^(build|node_modules)(/|$)' | head -n 3 | xargs)
        [ -z "$ignored" ] || why="files that git ignores ($(shown "$ignored"))"
    fi
    fail "$exe_folder/$name is not what commit ${head:0:12} builds from git archive: ${why:-it was built from other files or settings (make release builds it afresh)}"
done

parent=$(dirname "$out")
mkdir -p "$parent" || fail "cannot make $parent"
stage=$(mktemp -d "$parent/.release.XXXXXX") || fail "cannot make a folder in $parent"
chmod 755 "$stage"
cp "${includes[@]/#/$root/}" "$rebuilt/THIRD-PARTY-NOTICES.txt" "$stage/" ||
    fail "cannot copy the includes and the notices into $stage"

{
    echo "$buildinfo_header"
    echo "Version: $version"
    echo "Commit: $head"
    echo "Tree: $tree"
    for name in "${programs[@]}"; do
        echo "Program: $name $(sha256_of "$exe_folder/$name")"
    done
    [ $with = none ] || echo "Authenticode-Certificate: $signer_sha256"
    for package in "${tool_packages[@]}"; do
        echo "Package: $package $(package_version "$package")"
    done
    echo "Publisher-Name: $PUBLISHER_NAME"
    echo "Publisher-URL: $PUBLISHER_URL"
    [ -z "$SOURCE_URL" ] || echo "Source-URL: $SOURCE_URL"
    [ -z "$DOWNLOAD_URL" ] || echo "Download-URL: $DOWNLOAD_URL"
    [ -z "$PUBLISHER_LICENSE" ] || echo "Publisher-License: $PUBLISHER_LICENSE"
    [ -z "$PUBLISHER_LICENSE_URL" ] || echo "Publisher-License-URL: $PUBLISHER_LICENSE_URL"
} >"$stage/BUILDINFO" || fail "cannot write BUILDINFO"

for name in "${programs[@]}"; do
    if [ $with = none ]; then
        cp "$exe_folder/$name" "$stage/$name" || fail "cannot copy $name into $stage"
        continue
    fi
    sign "$exe_folder/$name" "$stage/$name"
    check_authenticode "$stage/$name" "$cafile" "$signer_sha256" "$secrets/check" ||
        fail "the signature of $name is not good:$verify_error"
    # The promise of the release: its signature, attached to the unsigned
    # build, gives the published file byte for byte.
    timeout -k 5 30 osslsigncode extract-signature -in "$stage/$name" -out "$secrets/$name.sig" >/dev/null 2>&1 &&
        timeout -k 5 30 osslsigncode attach-signature -sigin "$secrets/$name.sig" -CAfile "$cafile" \
            -TSA-CAfile "$cafile" -in "$exe_folder/$name" -out "$secrets/$name.attached" >/dev/null 2>&1 &&
        cmp -s "$secrets/$name.attached" "$stage/$name" ||
        fail "the signature of $name does not reproduce the signed file on the unsigned build"
done

# The SBOM, of the programs as published: made and validated from what the
# commit's build found in the links, and from the publisher's inputs.
lacking=$(make_sbom "$root" "$rebuilt/third-party.json" "$stage" "$version" "$head" 2>&1) ||
    fail "${lacking#third-party: }"

(cd "$stage" && sha256sum -- * >SHA256SUMS) || fail "cannot write SHA256SUMS"
if [ $signs != none ]; then
    log=$(ssh_sign "$stage/SHA256SUMS") || fail "the release key cannot sign SHA256SUMS:$(reason '.' "$log")"
    check_ssh_signature "$secrets/allowed-signers" "$stage/SHA256SUMS.sig" "$stage/SHA256SUMS" ||
        fail "the signature of SHA256SUMS does not verify:$verify_error"
fi

# Swap the finished release in; a crash between the two moves leaves no
# release rather than half of one.
if [ -d "$out" ]; then
    old=$(mktemp -d "$parent/.release-old.XXXXXX") || fail "cannot make a folder in $parent"
    mv -T "$out" "$old/previous" || fail "cannot move the previous $out aside"
    mv -T "$stage" "$out" || { mv -T "$old/previous" "$out"; fail "cannot move the release to $out"; }
    rm -rf "$old"
else
    mv -T "$stage" "$out" || fail "cannot move the release to $out"
fi
stage=""

if [ $with = none ]; then
    programs_said="programs unsigned"
else
    programs_said="programs signed by the certificate SHA-256 $signer_sha256 ($policy_said)${stamped:+, time-stamped $stamped}"
fi
echo "release: $out holds version $version of commit $head ($programs_said):"
sed 's/^/    /' "$out/SHA256SUMS"
if [ $signs = none ]; then
    echo "release: SHA256SUMS unsigned (no RELEASE_KEY): nobody vouches for these files"
else
    echo "release: SHA256SUMS, and so every file, signed by $principal with the release key $release_key; publish this allowed-signers line for verify-release:"
    echo "    $allowed_line"
fi
# Each input as it was taken, so that none can pass unseen.
said=()
for name in "${inputs[@]}"; do
    [ -z "${given[$name]+1}" ] || said+=("$name='$(shown "${!name}")'")
done
echo "release: inputs: ${said[*]:-none}"
[ -z "${SOFTHSM2_CONF:-}" ] || echo "release: the token's module read SOFTHSM2_CONF='$(shown "$SOFTHSM2_CONF")'"
[ -z "$lacking" ] ||
    echo "release: the SBOM lacks these fields of BSI TR-03183-2 v2.1: $(paste -s -d ';' <<<"$lacking" | sed 's/;/; /g')"
