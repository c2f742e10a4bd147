#!/usr/bin/env bash
# Builds a release into OUT-DIR (make release: dist/): UninstallNotice.exe,
# UninstallNotice.nsh and SHA256SUMS; when signing, the exe is signed and
# UninstallNotice.exe.sig holds its detached signature.
#   release.sh [--no-build] OUT-DIR
# Signing is set by the environment (make release passes its variables on):
#   SIGN_PFX             the publisher's certificate and key (PKCS#12)
#   SIGN_PASSWORD_FILE   a file whose first line is their password
#   SIGN_TIMESTAMP_URL   optional: an RFC 3161 time-stamping service
#   SIGN_CAFILE          optional: the CA certificates that the signature must
#                        verify against (default: the system's)
# --no-build: the caller has just built the tree and run the exe checks.
# The release is put together in a temporary folder beside OUT-DIR and moved
# into place only when it is complete: a failed run leaves OUT-DIR as it was.
set -u

fail() { echo "release: $*" >&2; exit 1; }
# The line of a tool's output that says what went wrong.
reason() { grep -m1 -E "$1" <<<"$2" | sed -E 's/^[0-9A-F]+:error:.*:[0-9]+:/ /; s/^([^ ])/ \1/'; }

build=1
[ "${1:-}" = --no-build ] && build=0 && shift
[ $# -eq 1 ] && [ -n "$1" ] || fail "usage: release.sh [--no-build] OUT-DIR"
out=${1%/}
root=$(cd "$(dirname "$0")/.." && pwd)
exe=$root/build/windows/UninstallNotice.exe
nsh=$root/integration/nsis/UninstallNotice.nsh
pfx=${SIGN_PFX:-} password=${SIGN_PASSWORD_FILE:-}
timestamp=${SIGN_TIMESTAMP_URL:-} cafile=${SIGN_CAFILE:-/etc/ssl/certs/ca-certificates.crt}

# Every input is checked before anything is built or written.
[ ! -e "$out" ] || [ -d "$out" ] || fail "$out is there and is not a folder"
if [ -n "$pfx" ] || [ -n "$password" ]; then
    [ -n "$pfx" ] || fail "SIGN_PASSWORD_FILE is set, but SIGN_PFX (the certificate) is not"
    [ -n "$password" ] || fail "SIGN_PFX is set, but SIGN_PASSWORD_FILE is not"
    [ -f "$pfx" ] || fail "no certificate at $pfx (SIGN_PFX)"
    [ -r "$pfx" ] || fail "cannot read the certificate $pfx (SIGN_PFX)"
    [ -f "$password" ] && head -c 0 <"$password" 2>/dev/null ||
        fail "cannot read the password file $password (SIGN_PASSWORD_FILE)"
    [ -f "$cafile" ] || fail "no CA certificates at $cafile (SIGN_CAFILE)"
    command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (make release installs it)"
fi

if [ $build -eq 1 ]; then
    cd "$root" || exit 1
    log=$(cmake --preset windows 2>&1 && cmake --build --preset windows 2>&1) ||
        { printf '%s\n' "$log" >&2; fail "the build failed"; }
    log=$(ctest --preset windows -R '^exe_' 2>&1) ||
        { printf '%s\n' "$log" >&2; fail "the exe checks failed"; }
    echo "release: built; the exe checks passed"
fi
[ -f "$exe" ] || fail "no program at $exe (make release builds it)"

parent=$(dirname "$out")
mkdir -p "$parent" || fail "cannot make $parent"
stage=$(mktemp -d "$parent/.release.XXXXXX") || fail "cannot make a folder in $parent"
trap 'rm -rf "$stage"' EXIT
chmod "$(printf %o $((0777 & ~0$(umask))))" "$stage"
cp "$exe" "$nsh" "$stage/" || fail "cannot copy the program and the include into $stage"

if [ -n "$pfx" ]; then
    # The password stays in its file: only the file's name is on a command line.
    signing=(sign -pkcs12 "$pfx" -readpass "$password" -h sha256 -n "Quillane Uninstall Notice")
    [ -n "$timestamp" ] && signing+=(-ts "$timestamp")
    log=$(osslsigncode "${signing[@]}" -in "$exe" -out "$stage/signed.exe" 2>&1) || {
        grep -q -i -E "wrong password|mac verify failure" <<<"$log" &&
            fail "the password in $password does not open $pfx"
        fail "could not sign with $pfx:$(reason 'error|Failed to|Unable' "$log")"
    }
    mv "$stage/signed.exe" "$stage/UninstallNotice.exe"

    log=$(osslsigncode verify -CAfile "$cafile" -in "$stage/UninstallNotice.exe" 2>&1) ||
        fail "the signature does not verify against $cafile:$(reason 'Verify error|error|Failed' "$log")"
    log=$(osslsigncode extract-signature -in "$stage/UninstallNotice.exe" \
        -out "$stage/UninstallNotice.exe.sig" 2>&1) ||
        fail "cannot extract the signature:$(reason 'error|Failed' "$log")"
    # The promise of the release: the detached signature, attached to the
    # unsigned build, gives the published file byte for byte.
    osslsigncode attach-signature -sigin "$stage/UninstallNotice.exe.sig" -CAfile "$cafile" \
        -in "$exe" -out "$stage/attached.exe" >/dev/null 2>&1
    cmp -s "$stage/attached.exe" "$stage/UninstallNotice.exe" ||
        fail "the detached signature does not reproduce the signed file"
    rm -f "$stage/attached.exe"
fi

(cd "$stage" && sha256sum -- * >SHA256SUMS) || fail "cannot write SHA256SUMS"

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

state=unsigned
[ -n "$pfx" ] && state="signed with $pfx"
echo "release: $out holds UninstallNotice.exe ($(stat -c %s "$out/UninstallNotice.exe") bytes, $state):"
sed 's/^/    /' "$out/SHA256SUMS"
