#!/usr/bin/env bats
# make release as a publisher meets it, from two genuine releases made once
# for the whole file: the programs signed with a key on a token and
# time-stamped, SHA256SUMS signed with a release key in a file, every
# publisher input given; and the programs signed with a PKCS#12 file,
# SHA256SUMS with the token's key, the caller's CXXFLAGS set. Then the
# inputs, services and certificates that are refused, each in one line
# before anything is built, leaving the release that was there untouched.
#   BUILD_DIR=build/windows bats tests/release/release.bats

load signing-fixture

setup_file() {
    bats_require_minimum_version 1.5.0
    make_publisher "$BATS_FILE_TMPDIR/publisher"
    make_checkout "$BATS_FILE_TMPDIR/checkout"

    # Every command line that the release runs is noted (strace), to show
    # that no PIN stands on one.
    token_settings
    export SIGNED=$BATS_FILE_TMPDIR/signed FILE_SIGNED=$BATS_FILE_TMPDIR/file-signed
    strace -f -qq -e trace=execve -s 4096 -o "$FIXTURE/command-lines" \
        bash "$REPO/release/release.sh" --no-build "$SIGNED" "PUBLISHER_NAME=Quillane Test Publisher" \
        PUBLISHER_URL=https://quillane.example "${token[@]}" SIGN_TIMESTAMP_URL="$TSA" SIGN_CAFILE="$CA" \
        RELEASE_KEY="$RELEASE_KEY_FILE" PUBLISHER_LICENSE=LicenseRef-Quillane-EULA \
        PUBLISHER_LICENSE_URL=https://quillane.example/eula SOURCE_URL=https://quillane.example/source \
        DOWNLOAD_URL=https://quillane.example/download/UninstallNotice.exe >"$SIGNED.log" 2>&1 ||
        fail "cannot make the release: $(cat "$SIGNED.log")"

    (cd "$FIXTURE" && certificate "Quillane File Publisher" rsa:2048 sha256 \
        'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n')
    export PFX="$FIXTURE/Quillane File Publisher.pfx" PASSWORD=$FIXTURE/password.txt
    # The caller's environment reaches nothing.
    printf '__attribute__((used)) static const char Evil[] = "in no commit";\n' >"$FIXTURE/evil.h"
    CXXFLAGS="-include $FIXTURE/evil.h" CPATH=$FIXTURE MAKEFLAGS=PUBLISHER_NAME=Evil \
        make_release "$FILE_SIGNED" SIGN_PFX="$PFX" SIGN_PASSWORD_FILE="$PASSWORD" SIGN_CAFILE="$CA" \
        RELEASE_KEY="$TOKEN_SSH_KEY" RELEASE_PKCS11_MODULE="$MODULE" RELEASE_PIN_FILE="$PIN"
}

teardown_file() {
    stop_publisher
}

setup() {
    bats_require_minimum_version 1.5.0
    token_settings
    cd "$BATS_TEST_TMPDIR"
}

# A tracked file that a test changes is put back, whatever the test did; a
# planted header goes, and the programs are the commit's again.
teardown() {
    git -C "$REPO" update-index -q --no-skip-worktree notice/notice.h
    git -C "$REPO" checkout -q -- .
    git -C "$REPO" tag -f "v$VERSION" "$COMMIT" >/dev/null
    if [ -e "$BATS_TEST_TMPDIR/planted" ]; then
        rm -f "$REPO/notice/windows.h" "$REPO/.git/info/exclude"
        build_checkout
    fi
}

# The line that a planted file adds to the notice.
planted_line='__attribute__((used)) static const char Planted[] = "not the commit";'

# plant_header: an untracked notice/windows.h that puts code of its own into
# the notice, which is built with it.
plant_header() {
    printf '%s\n' '#pragma once' '#include_next <windows.h>' "$planted_line" >"$REPO/notice/windows.h"
    touch "$BATS_TEST_TMPDIR/planted"
    build_checkout
}

verify() { # verify FILE: the signature and its time stamp, against the test CA, pinned
    run osslsigncode verify -CAfile "$CA" -TSA-CAfile "$CA" -require-leaf-hash "sha256:$1" -in "$2"
}

@test "signed: the programs, the includes, the notices, the SBOM, BUILDINFO, SHA256SUMS over all of them, and its signature" {
    assert_equal "$(ls "$SIGNED" | xargs)" \
        "BUILDINFO FilesInUse.exe SHA256SUMS SHA256SUMS.sig THIRD-PARTY-NOTICES.txt UninstallNotice.cdx.json UninstallNotice.exe UninstallNotice.iss UninstallNotice.nsh"
    cmp "$SIGNED/UninstallNotice.iss" "$REPO/integration/inno/UninstallNotice.iss"
    (cd "$SIGNED" && sha256sum --strict -c --quiet SHA256SUMS)
    assert_equal "$(cut -c67- "$SIGNED/SHA256SUMS" | xargs)" \
        "BUILDINFO FilesInUse.exe THIRD-PARTY-NOTICES.txt UninstallNotice.cdx.json UninstallNotice.exe UninstallNotice.iss UninstallNotice.nsh"
    run ssh-keygen -Y verify -f "$ALLOWED" -I "$PRINCIPAL" -n uninstallnotice-release@quillane \
        -s "$SIGNED/SHA256SUMS.sig" <"$SIGNED/SHA256SUMS"
    assert_success
    # The line that the publisher publishes, as the release printed it.
    run cat "$SIGNED.log"
    assert_line "    $(cat "$ALLOWED")"
    assert_line --regexp "^release: SHA256SUMS, and so every file, signed by $PRINCIPAL with the release key SHA256:[A-Za-z0-9+/]+; publish this allowed-signers line for verify-release:$"

    run grep -v '^#' "$SIGNED/BUILDINFO"
    assert_line --index 0 "Version: $VERSION"
    assert_line --index 1 "Commit: $COMMIT"
    assert_line --index 2 "Tree: clean"
    for name in UninstallNotice.exe FilesInUse.exe; do
        assert_line "Program: $name $(sha256sum <"$REPO/build/windows/$name" | cut -c1-64)"
    done
    assert_line "Authenticode-Certificate: $CERT_SHA256"
    for package in g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev cmake; do
        assert_line "Package: $package $(dpkg-query -W -f='${Version}' $package)"
    done
    assert_equal "$(grep -c -E '^(Source-URL|Download-URL|Publisher-License|Publisher-License-URL): ' "$SIGNED/BUILDINFO")" 4
}

@test "each program is signed, time-stamped, pinned, and carries the tag's version; the signature on the unsigned build gives it byte for byte" {
    for name in UninstallNotice.exe FilesInUse.exe; do
        verify "$CERT_SHA256" "$SIGNED/$name"
        assert_success
        assert_line "Timestamp Server Signature verification: ok"
        run "$ROOT/tools/check-exe.py" --version "$VERSION" resources "$SIGNED/$name"
        assert_success
        osslsigncode extract-signature -in "$SIGNED/$name" -out "$name.sig" >/dev/null
        osslsigncode attach-signature -sigin "$name.sig" -CAfile "$CA" -TSA-CAfile "$CA" \
            -in "$REPO/build/windows/$name" -out "$name" >/dev/null
        cmp "$name" "$SIGNED/$name"
    done
    run cat "$SIGNED.log"
    assert_line --regexp "^release: $SIGNED holds version $VERSION of commit $COMMIT \\(programs signed by the certificate SHA-256 $CERT_SHA256 \\(sha256, RSA 2048, code signing, time stamp RSA 2048\\), time-stamped .*\\):$"
}

@test "every input given: the SBOM has all that they give, the release names each input, and what no input gives" {
    run cat "$SIGNED.log"
    assert_line "release: inputs: PUBLISHER_NAME='Quillane Test Publisher' PUBLISHER_URL='https://quillane.example' SOURCE_URL='https://quillane.example/source' DOWNLOAD_URL='https://quillane.example/download/UninstallNotice.exe' PUBLISHER_LICENSE='LicenseRef-Quillane-EULA' PUBLISHER_LICENSE_URL='https://quillane.example/eula' RELEASE_KEY='$RELEASE_KEY_FILE' SIGN_PKCS11_MODULE='$MODULE' SIGN_KEY='$KEY' SIGN_CERT='$CERT' SIGN_PIN_FILE='$PIN' SIGN_TIMESTAMP_URL='$TSA' SIGN_CAFILE='$CA'"
    assert_line "release: the token's module read SOFTHSM2_CONF='$SOFTHSM2_CONF'"
    assert_line --regexp '^release: the SBOM lacks these fields of BSI TR-03183-2 v2.1: Windows: version'
    run node -e '
        const d = JSON.parse(require("fs").readFileSync(process.argv[1]))
        const c = d.metadata.component
        console.log(c.licenses[0].license.name, c.licenses[0].license.url, c.externalReferences.map((r) => r.type + " " + r.url).join(" "))
        console.log(d.components.filter((c) => c.type === "application").map((c) => c.name + " " + c.purl).join(" "))' \
        "$SIGNED/UninstallNotice.cdx.json"
    assert_line --index 0 "LicenseRef-Quillane-EULA https://quillane.example/eula distribution https://quillane.example/download/UninstallNotice.exe source-distribution https://quillane.example/source"
    assert_line --index 1 "FilesInUse pkg:generic/UninstallNotice@1.2.3#FilesInUse.exe"
}

# The fault: both builds read the caller's CXXFLAGS, so a release carried
# code that is in no commit, and its rebuild agreed; and MAKEFLAGS set an
# input unseen.
@test "a key in a file signs the programs, the token's key SHA256SUMS, and the caller's environment reaches nothing" {
    for name in UninstallNotice.exe FilesInUse.exe; do
        run osslsigncode verify -CAfile "$CA" -in "$FILE_SIGNED/$name"
        assert_success
        assert_output --partial "Subject: /CN=Quillane File Publisher"
        cmp "$FILE_SIGNED/$name" "$SIGNED/$name" && fail "signed alike by two keys"
        run grep -c "in no commit" "$FILE_SIGNED/$name"
        assert_output 0
    done
    run grep -h '^Program: ' "$SIGNED/BUILDINFO" "$FILE_SIGNED/BUILDINFO"
    assert_equal "$(sort -u <<<"$output" | wc -l)" 2
    grep -q "^Publisher-Name: Quillane Test Publisher$" "$FILE_SIGNED/BUILDINFO"
    printf '%s %s\n' "$PRINCIPAL" "$(cat "$TOKEN_SSH_KEY")" >token-signers
    run ssh-keygen -Y verify -f token-signers -I "$PRINCIPAL" -n uninstallnotice-release@quillane \
        -s "$FILE_SIGNED/SHA256SUMS.sig" <"$FILE_SIGNED/SHA256SUMS"
    assert_success
}

@test "no PIN stands on a command line" {
    run grep -c 'execve("/usr/bin/osslsigncode", \["osslsigncode", "sign"' "$FIXTURE/command-lines"
    assert_output 3 # the probe before the build, and each program
    run grep -c 'execve("/usr/bin/ssh-keygen", \["ssh-keygen", "-Y", "sign"' "$FIXTURE/command-lines"
    assert_output 2 # the probe before the build, and SHA256SUMS
    run grep -F -- "$(head -n 1 "$PIN")" "$FIXTURE/command-lines"
    assert_failure
}

# An earlier release, and the check that a failed run left it as it was.
earlier_release() { mkdir kept && echo "an earlier release" >kept/marker; }
assert_untouched() {
    assert_equal "$output" ""
    assert_equal "$(ls -A kept)" marker
    assert_equal "$(ls -A | grep '^\.release' || true)" ""
}

# The faults: a release signed with an RSA-1024 key, an MD5- or SHA-1-signed
# certificate, or a certificate that is not meant for code signing (none
# for code signing in its extended key usage, keyEncipherment alone in its
# key usage), which verified and was signed.
@test "a certificate outside the policy is refused in one line, before anything is built" {
    earlier_release
    local cases=(
        "RSA 1024|rsa:1024|sha256|extendedKeyUsage=codeSigning\n|has an RSA key of 1024 bits, fewer than 2048"
        "signed with SHA-1|rsa:2048|sha1|extendedKeyUsage=codeSigning\n|uses sha1, not SHA-256 or stronger"
        "signed with MD5|rsa:2048|md5|extendedKeyUsage=codeSigning\n|uses md5, not SHA-256 or stronger"
        "no extended key usage|rsa:2048|sha256|keyUsage=critical,keyEncipherment\n|is not meant for code signing (its extended key usage: none)"
        "key encipherment only|rsa:2048|sha256|keyUsage=critical,keyEncipherment\nextendedKeyUsage=codeSigning\n|may not sign (its key usage: key_encipherment)"
        "a TLS server's|rsa:2048|sha256|extendedKeyUsage=serverAuth\n|is not meant for code signing (its extended key usage: server_auth)"
    )
    for case in "${cases[@]}"; do
        IFS='|' read -r name spec digest extensions text <<<"$case"
        echo "# $name" >&3
        certificate "$name" "$spec" "$digest" "basicConstraints=CA:FALSE\n$extensions"
        release kept SIGN_PFX="$name.pfx" SIGN_PASSWORD_FILE=password.txt SIGN_CAFILE="$CA"
        assert_one_line_failure "release: the signature is not one that a release may carry: the certificate of Common Name: $name $text"
        assert_untouched
    done
}

@test "a commit without a version tag is refused in one line, before anything is built" {
    earlier_release
    git -C "$REPO" tag -d "v$VERSION" >/dev/null
    git -C "$REPO" tag not-a-version
    release kept
    git -C "$REPO" tag -d not-a-version >/dev/null
    assert_one_line_failure "release: commit ${COMMIT:0:12} has no version tag: tag it with its version (git tag -s v1.2.0) and run make release again"
    assert_untouched
}

@test "a wrong PIN says so in one line, and leaves the earlier release untouched" {
    earlier_release
    release kept "${token[@]}" SIGN_PIN_FILE="$WRONG_PIN" SIGN_CAFILE="$CA"
    assert_one_line_failure "release: the PIN in $WRONG_PIN does not open $KEY"
    assert_untouched
    release kept RELEASE_KEY="$TOKEN_SSH_KEY" RELEASE_PKCS11_MODULE="$MODULE" RELEASE_PIN_FILE="$WRONG_PIN"
    assert_one_line_failure_with "release: the token's keys cannot be used (ssh-add -s $MODULE):"
    assert_untouched
}

@test "an unreachable time-stamping service fails in one line, and leaves the earlier release untouched" {
    earlier_release
    release kept "${token[@]}" SIGN_TIMESTAMP_URL="$NO_TSA" SIGN_CAFILE="$CA"
    # Then why: "Connection refused" (osslsigncode: "Couldn't connect to server").
    assert_one_line_failure_with "release: the time-stamping service at $NO_TSA cannot be reached: "
    assert_untouched
}

@test "each other bad input or service: one plain line, and the earlier release untouched" {
    earlier_release
    echo "not a certificate" >garbage.pem
    echo "not a key" >garbage.key
    mkdir folder
    local cases=(
        "SIGN_KEY without a module|SIGN_KEY is set, but SIGN_PKCS11_MODULE|SIGN_PKCS11_MODULE="
        "a module that cannot be loaded|cannot load the PKCS#11 module $CA|SIGN_PKCS11_MODULE=$CA"
        "no such module|no PKCS#11 module at /nowhere.so|SIGN_PKCS11_MODULE=/nowhere.so"
        "no certificate file|no certificate at /nowhere.pem (SIGN_CERT)|SIGN_CERT=/nowhere.pem"
        "not a certificate|garbage.pem is not a PEM certificate|SIGN_CERT=garbage.pem"
        "no PIN file|cannot read the PIN file /nowhere.txt|SIGN_PIN_FILE=/nowhere.txt"
        "a folder as the PIN file|cannot read the PIN file folder|SIGN_PIN_FILE=folder"
        "file and token at once|SIGN_PFX and SIGN_KEY are both set|SIGN_PFX=cert.pfx"
        "a certificate not for the key|the certificate $CA is not the one for the key|SIGN_CERT=$CA"
        "no such key on the token|no private key at pkcs11:token=Quillane%20Test;object=nobody|SIGN_KEY=pkcs11:token=Quillane%20Test;object=nobody;type=private"
        "a service that answers garbage|at $TSA/garbage answered, but not with a time stamp|SIGN_TIMESTAMP_URL=$TSA/garbage"
        "a service that never answers|at $TSA/silent did not answer within 3 s|SIGN_TIMESTAMP_URL=$TSA/silent"
        "a signature that the CAs do not know|the signature is not one that a release may carry:|SIGN_CAFILE="
        "no release key file|cannot read the release key /nowhere (RELEASE_KEY)|RELEASE_KEY=/nowhere"
        "a release key that is none|garbage.key is not an SSH private key without a passphrase|RELEASE_KEY=garbage.key"
        "a principal with a space|RELEASE_PRINCIPAL is a name of letters|RELEASE_PRINCIPAL=a b"
        "an input of no release|'SIGN_EVERYTHING=1' is no input of a release|SIGN_EVERYTHING=1"
    )
    for case in "${cases[@]}"; do
        IFS='|' read -r name text setting <<<"$case"
        echo "# $name" >&3
        local key_for=()
        [[ $setting != RELEASE_PRINCIPAL=* ]] || key_for=(RELEASE_KEY="$RELEASE_KEY_FILE")
        release kept "${token[@]}" SIGN_CAFILE="$CA" RELEASE_SIGN_TIMEOUT=3 "${key_for[@]}" "$setting"
        assert_one_line_failure_with "$text"
        assert_untouched
    done
}

@test "a missing publisher is refused in one line that names the inputs, before anything is built" {
    earlier_release
    local setting
    for setting in PUBLISHER_NAME= PUBLISHER_URL= ; do
        echo "# $setting" >&3
        run --separate-stderr bash "$REPO/release/release.sh" --no-build kept "$setting"
        assert_one_line_failure "release: PUBLISHER_NAME and PUBLISHER_URL (an https URL) are required: the SBOM names the publisher as the maker and supplier of the exe"
        assert_untouched
    done
    run --separate-stderr bash "$REPO/release/release.sh" --no-build kept PUBLISHER_NAME=Q \
        PUBLISHER_URL=https://quillane.example PUBLISHER_URL=https://forger.example
    assert_one_line_failure "release: PUBLISHER_URL is given twice"
    release kept PUBLISHER_URL=http://quillane.example
    assert_one_line_failure "release: PUBLISHER_URL must be an https URL, not 'http://quillane.example'"
    release kept "PUBLISHER_LICENSE=Quillane EULA"
    assert_one_line_failure_with "release: PUBLISHER_LICENSE must be an SPDX licence expression"
    assert_untouched
}

@test "a tree with uncommitted changes is refused; let through for a test, BUILDINFO says so" {
    earlier_release
    echo "a change" >>"$REPO/README.md"
    release kept
    assert_one_line_failure "release: the tree is not its commit: uncommitted changes to tracked files (README.md); such a release cannot be rebuilt from its commit: commit or remove them first"
    assert_untouched
    release dirty RELEASE_ALLOW_DIRTY=1
    assert_success
    assert_equal "$(grep '^Tree: ' dirty/BUILDINFO)" \
        "Tree: modified (uncommitted changes; this release cannot be rebuilt from its commit)"
    assert_line "release: SHA256SUMS unsigned (no RELEASE_KEY): nobody vouches for these files"
    assert_line "release: dirty holds version $VERSION of commit $COMMIT (programs unsigned):"
}

@test "the signed programs pass the 'exact title' and planted-DLL scenarios under Wine" {
    mkdir programs && cp "$SIGNED"/*.exe "$BUILD_DIR/notice_e2e.exe" "$BUILD_DIR/notice_planted.dll" programs/
    run bash "$ROOT/e2e/run-wine.sh" "$BUILD_DIR" programs/notice_e2e.exe programs/UninstallNotice.exe "exact title"
    assert_success
    assert_line --regexp '^[0-9]+ passed, 0 failed$'
    run bash "$ROOT/e2e/run-wine.sh" "$BUILD_DIR" programs/notice_e2e.exe programs/UninstallNotice.exe \
        "planted uxtheme.dll and rstrtmgr.dll beside the in-use check"
    assert_success
    assert_line --regexp '^[0-9]+ passed, 0 failed$'
}

@test "fooled: a file that git looks away from (skip-worktree)" {
    earlier_release
    git -C "$REPO" update-index --skip-worktree notice/notice.h
    echo "$planted_line" >>"$REPO/notice/notice.h"
    release kept
    assert_one_line_failure "release: the tree is not its commit: files marked skip-worktree or assume-unchanged (notice/notice.h); such a release cannot be rebuilt from its commit: commit or remove them first"
    assert_untouched
}

# One planted header, built into the programs, seen two ways.
@test "fooled: a header in the tree went into the programs: refused while untracked; once git ignores it, the rebuild from git archive differs" {
    earlier_release
    plant_header
    release kept
    assert_one_line_failure "release: the tree is not its commit: untracked files (notice/windows.h); such a release cannot be rebuilt from its commit: commit or remove them first"
    assert_untouched
    echo "notice/windows.h" >"$REPO/.git/info/exclude"
    release kept
    assert_one_line_failure "release: $REPO/build/windows/UninstallNotice.exe is not what commit ${COMMIT:0:12} builds from git archive: files that git ignores (notice/windows.h)"
    assert_untouched
    run bash "$REPO/release/check-reproducible.sh" --version "$VERSION" "$REPO/build/windows/UninstallNotice.exe" \
        "$REPO/build/windows/FilesInUse.exe"
    assert_failure
    assert_line "reproducible: FAIL: UninstallNotice.exe: the given one is not what the commit builds"
}

