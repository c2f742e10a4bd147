#!/usr/bin/env bash
# Builds a release into OUT-DIR (make release: dist/): UninstallNotice.exe,
# the NSIS and Inno Setup includes (UninstallNotice.nsh, UninstallNotice.iss),
# the licence notices of what the link pulled into the exe
# (THIRD-PARTY-NOTICES.txt), a CycloneDX SBOM (UninstallNotice.cdx.json),
# BUILDINFO (its version, and what it was built from, with and by whom) and
# SHA256SUMS; when signing, the exe is signed, UninstallNotice.exe.sig holds
# its detached signature, and SHA256SUMS.sig, a detached CMS signature of
# SHA256SUMS with the same key and certificate (time-stamped alike), vouches
# for every other file.
#   release.sh [--no-build] OUT-DIR
# The publisher, for the SBOM, is set by the environment too:
#   PUBLISHER_NAME       required: who makes and supplies the exe
#   PUBLISHER_URL        required: their https address
#   SOURCE_URL           optional: where the source can be had
#   DOWNLOAD_URL         optional: where this release is published
#   PUBLISHER_LICENSE    optional: the licence of our own code, an SPDX
#                        expression
#   PUBLISHER_LICENSE_URL optional: where the text of that licence is, which
#                        the SBOM gives for each LicenseRef-... in it
# The release ends by naming each field of BSI TR-03183-2 v2.1 that the SBOM
# lacks: for want of an input (named), or where nobody here can know it
# (the hashes of the DLLs that Windows provides).
# Signing is set by the environment (make release passes its variables on),
# with a key on a token or smart card or in a cloud HSM, through PKCS#11:
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
# Every build that decides the release's bytes runs in an environment made
# from scratch (clean_env): CXXFLAGS, CPATH, LDFLAGS, NODE_OPTIONS and their
# like never reach it, and the release names each that the caller had set.
# --no-build: the caller has just built the tree and run the exe checks.
# The commit must be tagged vX.Y.Z (git tag -s v1.2.0): the release is
# version X.Y.Z, in the exe's version resource and in BUILDINFO.
# The tree must be its commit: no uncommitted changes to tracked files, no
# untracked files, none that git was told to look away from; or the release
# could not be rebuilt from its commit. RELEASE_ALLOW_DIRTY=1 (for tests)
# lets changes through, and BUILDINFO then says so. Either way, before the
# exe is signed, it must be what a build of `git archive` of the commit gives,
# byte for byte.
# The release is put together in a temporary folder beside OUT-DIR and moved
# into place only when it is complete: a failed run leaves OUT-DIR as it was.
set -u

fail() { echo "release: $*" >&2; exit 1; }

build=1
[ "${1:-}" = --no-build ] && build=0 && shift
[ $# -eq 1 ] && [ -n "$1" ] || fail "usage: release.sh [--no-build] OUT-DIR"
out=${1%/}
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/release/release-lib.sh"
exe=$root/build/windows/UninstallNotice.exe
pfx=${SIGN_PFX:-} password=${SIGN_PASSWORD_FILE:-}
module=${SIGN_PKCS11_MODULE:-} key=${SIGN_KEY:-} cert=${SIGN_CERT:-} pin=${SIGN_PIN_FILE:-}
timestamp=${SIGN_TIMESTAMP_URL:-} cafile=${SIGN_CAFILE:-/etc/ssl/certs/ca-certificates.crt}
# Signing waits on the token and on the time-stamping service; neither may
# hold the release up for ever.
sign_timeout=${RELEASE_SIGN_TIMEOUT:-120}
[[ $sign_timeout =~ ^[1-9][0-9]{0,3}$ ]] ||
    fail "RELEASE_SIGN_TIMEOUT must be a whole number of seconds, 1 to 9999, not '$sign_timeout'"
# The build's own compiler makes the probe that is signed before the build.
probe_compiler=x86_64-w64-mingw32-gcc-win32

readable_file() { [ -f "$1" ] && head -c 0 <"$1" 2>/dev/null; }

# Every input is checked before anything is built or written.
[ ! -e "$out" ] || [ -d "$out" ] || fail "$out is there and is not a folder"
command -v node >/dev/null || fail "node is not installed (make release installs it)"
log=$(publisher_env node "$root/release/third-party.mjs" check-inputs 2>&1) || fail "${log#third-party: }"
# The CycloneDX library that writes the SBOM is the one that the commit pins.
log=$(clean_env node "$root/release/third-party.mjs" check-modules "$root" 2>&1) || fail "${log#third-party: }"
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
    [[ $key == pkcs11:* ]] || fail "SIGN_KEY must be a PKCS#11 URI (pkcs11:token=...;object=...), not '$key'"
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
    [ -z "$timestamp" ] || fail "SIGN_TIMESTAMP_URL is set, but nothing signs: set SIGN_KEY or SIGN_PFX"
    ;;
esac
if [ $with != none ]; then
    [ -z "$timestamp" ] || [[ $timestamp =~ ^https?://[^/] ]] ||
        fail "SIGN_TIMESTAMP_URL must be an http:// or https:// address, not '$timestamp'"
    [ -f "$cafile" ] || fail "no CA certificates at $cafile (SIGN_CAFILE)"
    command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (make release installs it)"
    [ -x /usr/bin/python3 ] || fail "/usr/bin/python3 is not installed (make release installs it)"
fi
head=$(git -C "$root" rev-parse --verify -q HEAD) ||
    fail "$root is not a git checkout with a commit: a release must be rebuilt from its commit"
tree=clean
changes=$(tree_changes "$root")
if [ -n "$changes" ]; then
    [ "${RELEASE_ALLOW_DIRTY:-}" = 1 ] ||
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
stage=""
trap 'rm -rf "$secrets" ${stage:+"$stage"}' EXIT

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

# sign IN OUT [OPTIONS...]: signs with the key, bounded in time. The secret
# goes through a private file that holds its first line only; it never stands
# on a command line.
sign() {
    local in=$1 signed=$2 log status
    shift 2
    log=$(timeout -k 5 "$sign_timeout" osslsigncode sign "${keys[@]}" -readpass "$secrets/secret" \
        -h sha256 -n "Quillane Uninstall Notice" "$@" -in "$in" -out "$signed" 2>&1)
    status=$?
    [ $status -eq 0 ] && return 0
    [ $status -eq 124 ] || [ $status -eq 137 ] || fail "$(signing_failure "$log")"
    [ -z "$timestamp" ] ||
        fail "the time-stamping service at $timestamp did not answer within $sign_timeout s"
    fail "signing with $what did not finish within $sign_timeout s"
}

stamping=()
[ -n "$timestamp" ] && stamping=(-ts "$timestamp")
if [ $with != none ]; then
    (umask 077 && head -n 1 "$secret_file" | tr -d '\r\n' >"$secrets/secret") ||
        fail "cannot read $secret_file"
    # A wrong PIN, a missing key, a certificate that is not the key's or a
    # time-stamping service that does not answer is found now, on a program
    # of a few bytes, before the build: one try of the PIN only.
    printf 'void probe(void) {}\n' | "$probe_compiler" -x c - -nostdlib -Wl,-e,probe -s \
        -o "$secrets/probe.exe" 2>/dev/null ||
        fail "cannot make the signing probe with $probe_compiler (make release installs it)"
    sign "$secrets/probe.exe" "$secrets/probe-signed.exe" "${stamping[@]}"
fi

if [ $build -eq 1 ]; then
    cd "$root" || exit 1
    # Afresh: a cache that an earlier configure filled from the caller's
    # CXXFLAGS would keep them.
    log=$(clean_env cmake --preset windows --fresh -DNOTICE_VERSION="$version" 2>&1 &&
        clean_env cmake --build --preset windows --target UninstallNotice third_party 2>&1) ||
        { printf '%s\n' "$log" >&2; fail "the build failed"; }
    log=$(ctest --preset windows -R '^exe_' 2>&1) ||
        { printf '%s\n' "$log" >&2; fail "the exe checks failed"; }
    echo "release: built; the exe checks passed"
fi
[ -f "$exe" ] || fail "no program at $exe (make release builds it)"
"$root/tools/check-exe.py" --version "$version" resources "$exe" >/dev/null 2>&1 ||
    fail "the program at $exe does not carry version $version (make release builds it so)"

# The exe must be what the commit builds: anything that the tree holds
# besides the commit (an untracked header, a file that git looks away from)
# and that went into it shows here, before anything is signed. The notices
# and the list of what went in come from that build too.
mkdir "$secrets/commit" && rebuilt=$(build_commit "$root" "$head" "$version" "$secrets/commit") ||
    fail "the build of commit ${head:0:12} from git archive failed:$(reason 'error|Error' "$(cat "$secrets/commit.log" 2>/dev/null)")"
if ! cmp -s "$rebuilt" "$exe"; then
    why=$changes
    if [ -z "$why" ]; then
        ignored=$(git -C "$root" ls-files --others --ignored --exclude-standard 2>/dev/null |
            grep -v -E '^(build|node_modules)(/|$)' | head -n 3 | xargs)
        [ -z "$ignored" ] || why="files that git ignores ($(shown "$ignored"))"
    fi
    fail "$exe is not what commit ${head:0:12} builds from git archive: ${why:-it was built from other files or settings (make release builds it afresh)}"
fi

parent=$(dirname "$out")
mkdir -p "$parent" || fail "cannot make $parent"
stage=$(mktemp -d "$parent/.release.XXXXXX") || fail "cannot make a folder in $parent"
chmod "$(printf %o $((0777 & ~0$(umask))))" "$stage"
cp "$exe" "${includes[@]/#/$root/}" "$(dirname "$rebuilt")/THIRD-PARTY-NOTICES.txt" "$stage/" ||
    fail "cannot copy the program, the includes and the notices into $stage"

{
    echo "$buildinfo_header"
    echo "Version: $version"
    echo "Commit: $head"
    echo "Tree: $tree"
    echo "Unsigned-SHA256: $(sha256sum <"$exe" | cut -c1-64)"
    for package in "${tool_packages[@]}"; do
        echo "Package: $package $(package_version "$package")"
    done
    echo "Publisher-Name: $PUBLISHER_NAME"
    echo "Publisher-URL: $PUBLISHER_URL"
    [ -z "${SOURCE_URL:-}" ] || echo "Source-URL: $SOURCE_URL"
    [ -z "${DOWNLOAD_URL:-}" ] || echo "Download-URL: $DOWNLOAD_URL"
    [ -z "${PUBLISHER_LICENSE:-}" ] || echo "Publisher-License: $PUBLISHER_LICENSE"
    [ -z "${PUBLISHER_LICENSE_URL:-}" ] || echo "Publisher-License-URL: $PUBLISHER_LICENSE_URL"
} >"$stage/BUILDINFO" || fail "cannot write BUILDINFO"

if [ $with != none ]; then
    sign "$exe" "$stage/signed.exe" "${stamping[@]}"
    mv "$stage/signed.exe" "$stage/UninstallNotice.exe"

    read_signature "$stage/UninstallNotice.exe" "$cafile" ||
        fail "the signature does not verify against $cafile:$verify_error"
    [ -z "$timestamp" ] || [ -n "$stamped" ] ||
        fail "the signature carries no time stamp that verifies against $cafile, though $timestamp was asked for one"
    log=$(osslsigncode extract-signature -in "$stage/UninstallNotice.exe" \
        -out "$stage/UninstallNotice.exe.sig" 2>&1) ||
        fail "cannot extract the signature:$(reason 'error|Failed' "$log")"
    # The promise of the release: the detached signature, attached to the
    # unsigned build, gives the published file byte for byte.
    osslsigncode attach-signature -sigin "$stage/UninstallNotice.exe.sig" -CAfile "$cafile" \
        -TSA-CAfile "$cafile" -in "$exe" -out "$stage/attached.exe" >/dev/null 2>&1
    cmp -s "$stage/attached.exe" "$stage/UninstallNotice.exe" ||
        fail "the detached signature does not reproduce the signed file"
    rm -f "$stage/attached.exe"
fi

# The SBOM, of the exe as published: made and validated from what the
# commit's build found in the link, and from the publisher's inputs.
lacking=$(make_sbom "$root" "$(dirname "$rebuilt")/third-party.json" "$stage" "$version" "$head" 2>&1) ||
    fail "${lacking#third-party: }"

(cd "$stage" && sha256sum -- * >SHA256SUMS) || fail "cannot write SHA256SUMS"

# SHA256SUMS, and with it every file that it lists, signed by the exe's own
# certificate and chain, with the same key; checked as verify-release will.
if [ $with != none ]; then
    mkdir "$secrets/exe-signer" &&
        signature_structure authenticode "$stage/UninstallNotice.exe.sig" "$cafile" "$secrets/exe-signer" ||
        fail "cannot read the exe's signature:$verify_error"
    exe_signer_sha256=$signer_sha256 exe_signer=$signer exe_stamped=$stamped
    if [ $with = file ]; then
        (umask 077 && openssl pkcs12 -in "$pfx" -nocerts -nodes -passin "file:$secrets/secret" \
            -out "$secrets/key.pem" 2>/dev/null) || fail "cannot read the key from $pfx"
        cms_key=(-inkey "$secrets/key.pem")
    else
        cms_key=(-engine pkcs11 -keyform engine -inkey "$key" -passin "file:$secrets/secret")
    fi
    extra=()
    [ ! -s "$secrets/exe-signer/chain.pem" ] || extra=(-certfile "$secrets/exe-signer/chain.pem")
    log=$(timeout -k 5 "$sign_timeout" openssl cms -sign -binary -md sha256 -nosmimecap -outform DER \
        -in "$stage/SHA256SUMS" -signer "$secrets/exe-signer/signer.pem" "${extra[@]}" "${cms_key[@]}" \
        -out "$secrets/SHA256SUMS.sig" 2>&1) ||
        fail "could not sign SHA256SUMS with $what:$(reason 'error|Error|failed' "$log")"
    if [ -n "$timestamp" ]; then
        log=$(timeout -k 5 $((sign_timeout + 5)) /usr/bin/python3 "$root/release/timestamp-cms.py" \
            "$secrets/SHA256SUMS.sig" "$timestamp" "$cafile" "$sign_timeout" "$stage/SHA256SUMS.sig" 2>&1) ||
            fail "SHA256SUMS: ${log#timestamp-cms: }"
    else
        cp "$secrets/SHA256SUMS.sig" "$stage/SHA256SUMS.sig" || fail "cannot write SHA256SUMS.sig"
    fi
    read_manifest_signature "$stage/SHA256SUMS.sig" "$stage/SHA256SUMS" "$cafile" ||
        fail "the signature of SHA256SUMS does not verify against $cafile:$verify_error"
    [ "$signer_sha256" = "$exe_signer_sha256" ] ||
        fail "SHA256SUMS is signed by another certificate than the exe"
    [ -z "$timestamp" ] || [ -n "$stamped" ] ||
        fail "the signature of SHA256SUMS carries no time stamp, though $timestamp was asked for one"
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

state=unsigned
if [ $with != none ]; then
    state="signed by $exe_signer${exe_stamped:+, time-stamped $exe_stamped}; SHA256SUMS signed by the same certificate"
fi
echo "release: $out holds UninstallNotice.exe $version ($(stat -c %s "$out/UninstallNotice.exe") bytes, $state):"
sed 's/^/    /' "$out/SHA256SUMS"
[ $with != none ] || echo "release: unsigned: nothing but the commit vouches for these files"
dropped=$(dropped_build_variables)
[ -z "$dropped" ] ||
    echo "release: the builds ignored what the caller set of $dropped: a release is built from its commit alone"
[ -z "$ignored_git_variables" ] ||
    echo "release: git ignored what the caller set of $ignored_git_variables: a release is the clone's own commit"
# What came from the environment rather than make's command line, by name:
# make says which (RELEASE_FROM_ENVIRONMENT); run alone, all of them.
if [ -n "${RELEASE_FROM_ENVIRONMENT+set}" ]; then
    from_environment=$RELEASE_FROM_ENVIRONMENT
else
    from_environment=$(for name in "${release_inputs[@]}"; do [ -z "${!name:-}" ] || echo "$name"; done | xargs)
fi
[ -z "$from_environment" ] ||
    echo "release: inputs taken from the environment: $from_environment"

[ -z "$lacking" ] ||
    echo "release: the SBOM lacks these fields of BSI TR-03183-2 v2.1: $(paste -s -d ';' <<<"$lacking" | sed 's/;/; /g')"
