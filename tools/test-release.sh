#!/usr/bin/env bash
# The release as a publisher and a user meet it: an unsigned release, a
# release signed with a throwaway certificate, a user's checks of both, the
# signed exe under Wine, and the failures that must leave no release behind.
#   test-release.sh BUILD-DIR       (after the build and the exe checks)
set -u
[ -d "${1:-}" ] || { echo "usage: test-release.sh BUILD-DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
exe=$build/UninstallNotice.exe
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT

passed=0 failed=0
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
        passed=$((passed + 1))
    else
        echo "FAIL: $what"
        failed=$((failed + 1))
    fi
}

# A throwaway publisher, and shims that note every command line of the two
# tools that see the password file.
cd "$work" || exit 1
printf 'correct horse battery staple\n' >password.txt
printf 'not the password\n' >wrong.txt
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
    -subj "/CN=Quillane Test Publisher" -addext extendedKeyUsage=codeSigning >/dev/null 2>&1 &&
    openssl pkcs12 -export -inkey key.pem -in cert.pem -out cert.pfx -passout file:password.txt ||
    { echo "FAIL: cannot make a throwaway certificate with openssl"; exit 1; }
mkdir shims
for tool in osslsigncode openssl; do
    real=$(command -v $tool)
    printf '#!/bin/sh\necho "%s $*" >>%s/command-lines\nexec %s "$@"\n' "$tool" "$work" "$real" \
        >shims/$tool
    chmod +x shims/$tool
done

# release OUT [VAR=VALUE...]: a release with only the given signing settings.
release() {
    local out=$1
    shift
    env -u SIGN_PFX -u SIGN_PASSWORD_FILE -u SIGN_TIMESTAMP_URL -u SIGN_CAFILE \
        PATH="$work/shims:$PATH" "$@" bash "$root/scripts/release.sh" --no-build "$out" \
        >"$work/out" 2>"$work/err"
}
one_line_and_fails() { [ "$1" -ne 0 ] && [ "$(wc -l <"$work/err")" -eq 1 ] && [ ! -s "$work/out" ]; }
listed() { # every file but SHA256SUMS is listed, and nothing else
    [ "$(cd "$1" && ls | grep -v '^SHA256SUMS$')" = "$(sed 's/^[0-9a-f]*  //' "$1/SHA256SUMS")" ]
}
user_checks() { (cd "$1" && sha256sum -c --quiet SHA256SUMS) && listed "$1"; }

# Unsigned.
release plain
check "unsigned: the release succeeds" [ $? -eq 0 ]
check "unsigned: the files are the exe, the include and SHA256SUMS" \
    [ "$(ls plain | tr '\n' ' ')" = "SHA256SUMS UninstallNotice.exe UninstallNotice.nsh " ]
check "unsigned: the exe is the build's, byte for byte" cmp -s plain/UninstallNotice.exe "$exe"
check "unsigned: sha256sum -c passes, and SHA256SUMS lists every other file" user_checks plain

# Signed.
signing=(SIGN_PFX="$work/cert.pfx" SIGN_PASSWORD_FILE="$work/password.txt")
release signed "${signing[@]}" SIGN_CAFILE="$work/cert.pem"
check "signed: the release succeeds" [ $? -eq 0 ]
cat "$work/err"
check "signed: the files add the detached signature" \
    [ "$(ls signed | tr '\n' ' ')" = "SHA256SUMS UninstallNotice.exe UninstallNotice.exe.sig UninstallNotice.nsh " ]
osslsigncode verify -CAfile cert.pem -in signed/UninstallNotice.exe >verify.txt 2>&1
check "signed: osslsigncode verify -CAfile accepts it" [ $? -eq 0 ]
grep -E "^(Signature verification|Message digest algorithm|Number of verified)" verify.txt |
    sed 's/^/    /'
osslsigncode attach-signature -sigin signed/UninstallNotice.exe.sig -CAfile cert.pem -in "$exe" \
    -out attached.exe >/dev/null 2>&1
check "signed: the detached signature on the plain build gives the signed file byte for byte" \
    cmp -s attached.exe signed/UninstallNotice.exe
check "signed: sha256sum -c passes, and SHA256SUMS lists every other file" user_checks signed
check "signed: the password is on no command line" \
    bash -c '! grep -q -F "$(head -n1 password.txt)" command-lines'
echo "    unsigned $(stat -c %s plain/UninstallNotice.exe) bytes, signed" \
    "$(stat -c %s signed/UninstallNotice.exe) bytes, signature" \
    "$(stat -c %s signed/UninstallNotice.exe.sig) bytes"

# Failures: one line, non-zero, and the release that was there is untouched.
mkdir kept && echo "an earlier release" >kept/marker
untouched() { [ "$(ls -A kept)" = marker ] && [ -z "$(ls -A "$work" | grep '^\.release')" ]; }
for failure in "wrong password" "missing certificate" "password file missing" \
    "password file is a folder" "signature does not verify"; do
    case $failure in
    "wrong password") release kept "${signing[@]/password.txt/wrong.txt}" SIGN_CAFILE="$work/cert.pem" ;;
    "missing certificate") release kept SIGN_PFX="$work/none.pfx" SIGN_PASSWORD_FILE="$work/password.txt" ;;
    "password file missing") release kept SIGN_PFX="$work/cert.pfx" SIGN_PASSWORD_FILE="$work/none.txt" ;;
    "password file is a folder") release kept SIGN_PFX="$work/cert.pfx" SIGN_PASSWORD_FILE="$work/shims" ;;
    "signature does not verify") release kept "${signing[@]}" ;; # against the system's CAs only
    esac
    status=$?
    check "$failure: one plain line and a non-zero exit: $(head -c 300 "$work/err")" \
        one_line_and_fails $status
    check "$failure: the earlier release is untouched, nothing left behind" untouched
done
release fresh "${signing[@]/password.txt/wrong.txt}"
check "wrong password: no release of its own" [ ! -e fresh ]

# The signed exe runs as the unsigned one does.
bash "$root/e2e/run-wine.sh" "$build" "$build/notice_e2e.exe" "$work/signed/UninstallNotice.exe" \
    "exact title" >wine.txt 2>&1
check "signed: the exe passes the 'exact title' scenario under Wine: $(tail -n1 wine.txt)" [ $? -eq 0 ]

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
