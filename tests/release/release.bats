#!/usr/bin/env bats
# make release as a publisher meets it: unsigned; signed with a key on a
# token and time-stamped; signed with a PKCS#12 file; and the inputs and
# services that fail, each in one line, leaving the release that was there
# untouched.
#   BUILD_DIR=build/windows bats tests/release/release.bats

load signing-fixture

setup_file() {
    bats_require_minimum_version 1.5.0
    make_publisher "$BATS_FILE_TMPDIR/publisher"
    make_checkout "$BATS_FILE_TMPDIR/checkout"

    # Shims that note every command line of the tools that could be handed
    # the PIN.
    mkdir "$FIXTURE/shims"
    for tool in osslsigncode openssl pkcs11-tool; do
        printf '#!/bin/sh\necho "%s $*" >>%s/command-lines\nexec %s "$@"\n' \
            "$tool" "$FIXTURE" "$(command -v $tool)" >"$FIXTURE/shims/$tool"
        chmod +x "$FIXTURE/shims/$tool"
    done
    export SHIMS=$FIXTURE/shims

    token_settings
    export SIGNED=$BATS_FILE_TMPDIR/signed
    PATH=$SHIMS:$PATH make_release "$SIGNED" "${token[@]}" SIGN_TIMESTAMP_URL="$TSA" SIGN_CAFILE="$CA"
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
# planted header goes, and the exe is the commit's again.
teardown() {
    git -C "$REPO" update-index -q --no-skip-worktree notice/notice.h
    git -C "$REPO" checkout -q -- .
    git -C "$REPO" tag -f "v$VERSION" "$COMMIT" >/dev/null
    if [ -e "$BATS_TEST_TMPDIR/planted" ]; then
        rm -f "$REPO/notice/windows.h" "$REPO/.git/info/exclude"
        build_checkout
    fi
}

# The line that a planted file adds to the exe.
planted_line='__attribute__((used)) static const char Planted[] = "not the commit";'

# plant_header: an untracked notice/windows.h that puts code of its own into
# the exe, which is built with it.
plant_header() {
    printf '%s\n' '#pragma once' '#include_next <windows.h>' "$planted_line" >"$REPO/notice/windows.h"
    touch "$BATS_TEST_TMPDIR/planted"
    build_checkout
}

# The fields that the SBOM lacks wherever a release is made: those of what
# the user's Windows provides; and the SHA-512 of a package's .deb where
# apt's cache here does not hold it.
platform_lacking="Windows: version, filename, executable property, archive property, structured property, SHA-512, declared licences (the user's system: the release does not ship it)"
for dll in KERNEL32.dll msvcrt.dll USER32.dll; do
    platform_lacking+="; $dll: version, SHA-512, declared licences (part of the user's Windows: the release does not ship it)"
done
literal() { sed 's/[][\.*^$()+?{}|/]/\\&/g' <<<"$1"; }

# assert_lacks INPUTS: release's line of what the SBOM lacks, INPUTS (what
# no input gave, "; "-ended) first.
assert_lacks() {
    assert_line --regexp "^$(literal "release: the SBOM lacks these fields of BSI TR-03183-2 v2.1: $1")((gcc-mingw-w64-x86-64-win32|mingw-w64-x86-64-dev): SHA-512 $(literal "(of its .deb, which apt here does not hold or know); "))*$(literal "$platform_lacking")\$"
}

verify() { # verify FILE: the signature and its time stamp, against the test CA
    run osslsigncode verify -CAfile "$CA" -TSA-CAfile "$CA" -in "$1"
}

@test "unsigned: the build's exe, the includes, the notices, the SBOM, BUILDINFO, and checksums over all of them" {
    release plain
    assert_success
    assert_equal "$(ls plain | xargs)" \
        "BUILDINFO SHA256SUMS THIRD-PARTY-NOTICES.txt UninstallNotice.cdx.json UninstallNotice.exe UninstallNotice.iss UninstallNotice.nsh"
    cmp plain/UninstallNotice.iss "$REPO/integration/inno/UninstallNotice.iss"
    cmp plain/UninstallNotice.exe "$REPO/build/windows/UninstallNotice.exe"
    (cd plain && sha256sum --strict -c --quiet SHA256SUMS)
    assert_equal "$(cut -c67- plain/SHA256SUMS | xargs)" \
        "BUILDINFO THIRD-PARTY-NOTICES.txt UninstallNotice.cdx.json UninstallNotice.exe UninstallNotice.iss UninstallNotice.nsh"
    assert_lacks "distribution licences of UninstallNotice.exe and the includes (PUBLISHER_LICENSE); source code URI of UninstallNotice.exe (SOURCE_URL); URI of the deployable form of UninstallNotice.exe (DOWNLOAD_URL); "

    run grep -v '^#' plain/BUILDINFO
    assert_line --index 0 "Version: $VERSION"
    assert_line --index 1 "Commit: $COMMIT"
    assert_line --index 2 "Tree: clean"
    assert_line --index 3 "Unsigned-SHA256: $(sha256sum <"$REPO/build/windows/UninstallNotice.exe" | cut -c1-64)"
    for package in g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev cmake; do
        assert_line "Package: $package $(dpkg-query -W -f='${Version}' $package)"
    done
}

@test "the tag's version is in the exe's version resource, and in what release says" {
    release tagged
    assert_success
    assert_line --partial "release: tagged holds UninstallNotice.exe $VERSION ("
    run "$ROOT/tools/check-exe.py" --version "$VERSION" resources tagged/UninstallNotice.exe
    assert_success
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

@test "token-signed and time-stamped: the signature and its time stamp verify against the CA" {
    assert_equal "$(ls "$SIGNED" | xargs)" \
        "BUILDINFO SHA256SUMS SHA256SUMS.sig THIRD-PARTY-NOTICES.txt UninstallNotice.cdx.json UninstallNotice.exe UninstallNotice.exe.sig UninstallNotice.iss UninstallNotice.nsh"
    run cat "$SIGNED.log"
    assert_line --partial "signed by /CN=Quillane Test Publisher, time-stamped"
    assert_line --partial "; SHA256SUMS signed by the same certificate):"
    verify "$SIGNED/UninstallNotice.exe"
    assert_success
    assert_line "Timestamp Server Signature verification: ok"
    assert_line "Signature verification: ok"
    (cd "$SIGNED" && sha256sum --strict -c --quiet SHA256SUMS)
}

@test "the detached signature on the unsigned build gives the signed file byte for byte" {
    osslsigncode attach-signature -sigin "$SIGNED/UninstallNotice.exe.sig" -CAfile "$CA" \
        -TSA-CAfile "$CA" -in "$REPO/build/windows/UninstallNotice.exe" -out attached.exe >/dev/null
    cmp attached.exe "$SIGNED/UninstallNotice.exe"
}

@test "the PIN stands on no command line" {
    run grep -c '^osslsigncode sign' "$FIXTURE/command-lines"
    assert_output 2 # the probe before the build, and the exe
    run grep -F -- "$(head -n 1 "$PIN")" "$FIXTURE/command-lines"
    assert_failure
}

@test "the certificate may be the one on the token, by its PKCS#11 URI" {
    release from-token "${token[@]}" SIGN_CERT="${KEY/type=private/type=cert}" SIGN_CAFILE="$CA"
    assert_success
    verify from-token/UninstallNotice.exe
    assert_success
    assert_output --partial "Subject: /CN=Quillane Test Publisher"
}

@test "signed with a PKCS#12 file, as before" {
    openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
        -subj "/CN=Quillane File Publisher" -addext extendedKeyUsage=codeSigning 2>/dev/null
    echo "file password" >password.txt
    openssl pkcs12 -export -inkey key.pem -in cert.pem -out cert.pfx -passout file:password.txt
    release pfx SIGN_PFX=cert.pfx SIGN_PASSWORD_FILE=password.txt SIGN_CAFILE=cert.pem
    assert_success
    run osslsigncode verify -CAfile cert.pem -in pfx/UninstallNotice.exe
    assert_success
    assert_output --partial "Subject: /CN=Quillane File Publisher"
}

# An earlier release, and the check that a failed run left it as it was.
earlier_release() { mkdir kept && echo "an earlier release" >kept/marker; }
assert_untouched() {
    assert_equal "$output" ""
    assert_equal "$(ls -A kept)" marker
    assert_equal "$(ls -A | grep '^\.release' || true)" ""
}

@test "a wrong PIN says so in one line, and leaves the earlier release untouched" {
    earlier_release
    release kept "${token[@]}" SIGN_PIN_FILE="$WRONG_PIN" SIGN_CAFILE="$CA"
    assert_one_line_failure "release: the PIN in $WRONG_PIN does not open $KEY"
    assert_untouched
}

@test "an unreachable time-stamping service fails in one line, and leaves the earlier release untouched" {
    earlier_release
    release kept "${token[@]}" SIGN_TIMESTAMP_URL="$NO_TSA" SIGN_CAFILE="$CA"
    # Then why: "Connection refused" (osslsigncode 2.5: "Couldn't connect to server").
    assert_one_line_failure_with "release: the time-stamping service at $NO_TSA cannot be reached: "
    assert_untouched
}

@test "each other bad input or service: one plain line, and the earlier release untouched" {
    earlier_release
    echo "not a certificate" >garbage.pem
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
        "a signature that the CAs do not know|does not verify against /etc/ssl/certs/ca-certificates.crt|SIGN_CAFILE="
    )
    for case in "${cases[@]}"; do
        IFS='|' read -r name text setting <<<"$case"
        echo "# $name" >&3
        release kept "${token[@]}" SIGN_CAFILE="$CA" RELEASE_SIGN_TIMEOUT=3 "$setting"
        assert_one_line_failure_with "$text"
        assert_untouched
    done
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
}

@test "the signed exe passes the 'exact title' scenario under Wine" {
    run bash "$ROOT/e2e/run-wine.sh" "$BUILD_DIR" "$BUILD_DIR/notice_e2e.exe" \
        "$SIGNED/UninstallNotice.exe" "exact title"
    assert_success
    assert_line --regexp '^[0-9]+ passed, 0 failed$'
}

@test "fooled: an untracked header in the tree went into the exe" {
    earlier_release
    plant_header
    release kept
    assert_one_line_failure "release: the tree is not its commit: untracked files (notice/windows.h); such a release cannot be rebuilt from its commit: commit or remove them first"
    assert_untouched
}

@test "fooled: a file that git looks away from (skip-worktree)" {
    earlier_release
    git -C "$REPO" update-index --skip-worktree notice/notice.h
    echo "$planted_line" >>"$REPO/notice/notice.h"
    touch "$BATS_TEST_TMPDIR/planted"
    build_checkout
    release kept
    assert_one_line_failure "release: the tree is not its commit: files marked skip-worktree or assume-unchanged (notice/notice.h); such a release cannot be rebuilt from its commit: commit or remove them first"
    assert_untouched
}

@test "fooled: a header that git ignores went into the exe: the rebuild from git archive differs" {
    earlier_release
    plant_header
    echo "notice/windows.h" >"$REPO/.git/info/exclude"
    release kept
    assert_one_line_failure "release: $REPO/build/windows/UninstallNotice.exe is not what commit ${COMMIT:0:12} builds from git archive: files that git ignores (notice/windows.h)"
    assert_untouched
}

@test "fooled: check-reproducible builds the commit, not a tree with a planted header" {
    plant_header
    run bash "$REPO/release/check-reproducible.sh" --version "$VERSION" "$REPO/build/windows/UninstallNotice.exe"
    assert_failure
    assert_line "reproducible: FAIL: the given one is not what the commit builds; the tree is not its commit: untracked files (notice/windows.h)"
}

@test "a missing publisher is refused in one line that names the inputs, before anything is built" {
    earlier_release
    local setting
    for setting in PUBLISHER_NAME= PUBLISHER_URL= ; do
        echo "# $setting" >&3
        release kept "$setting"
        assert_one_line_failure "release: PUBLISHER_NAME and PUBLISHER_URL (an https URL) are required: the SBOM names the publisher as the maker and supplier of the exe"
        assert_untouched
    done
    release kept PUBLISHER_URL=http://quillane.example
    assert_one_line_failure "release: PUBLISHER_URL must be an https URL, not 'http://quillane.example'"
    release kept "PUBLISHER_LICENSE=Quillane EULA"
    assert_one_line_failure_with "release: PUBLISHER_LICENSE must be an SPDX licence expression"
    assert_untouched
}

@test "every input given: the SBOM has all that they give, and the release names only what no input gives" {
    release full PUBLISHER_LICENSE=LicenseRef-Quillane-EULA PUBLISHER_LICENSE_URL=https://quillane.example/eula \
        SOURCE_URL=https://quillane.example/source DOWNLOAD_URL=https://quillane.example/download/UninstallNotice.exe
    assert_success
    assert_lacks ""
    run node -e '
        const d = JSON.parse(require("fs").readFileSync(process.argv[1]))
        const c = d.metadata.component
        console.log(c.licenses[0].license.name, c.licenses[0].license.url, c.externalReferences.map((r) => r.type + " " + r.url).join(" "))' \
        full/UninstallNotice.cdx.json
    assert_output "LicenseRef-Quillane-EULA https://quillane.example/eula distribution https://quillane.example/download/UninstallNotice.exe source-distribution https://quillane.example/source"
    assert_equal "$(grep -c -E '^(Source-URL|Download-URL|Publisher-License|Publisher-License-URL): ' full/BUILDINFO)" 4
}

# The fault: both builds read the caller's CXXFLAGS, so a release carried
# code that is in no commit, and its rebuild agreed.
@test "fooled: the caller's CXXFLAGS reach neither build of a release, and it says so" {
    printf '__attribute__((used)) static const char Evil[] = "in no commit";\n' >evil.h
    release poisoned "CXXFLAGS=-include $PWD/evil.h" "CPATH=$PWD"
    assert_success
    # Named, among any others that this machine's environment sets.
    assert_line --regexp "^release: the builds ignored what the caller set of (.* )?CPATH .*: a release is built from its commit alone$"
    assert_line --regexp "^release: the builds ignored what the caller set of (.* )?CXXFLAGS( .*)?: a release is built from its commit alone$"
    cmp poisoned/UninstallNotice.exe "$REPO/build/windows/UninstallNotice.exe"
    run grep -c "in no commit" poisoned/UninstallNotice.exe
    assert_output 0
}
