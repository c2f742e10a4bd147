#!/usr/bin/env bats
# make verify-release as a user meets it: a good signed release and a good
# unsigned one verify, the signed one still 40 days on, after its
# certificate expired, thanks to its time stamp; and each forgery fails in
# one line: an exe built from a
# changed source and signed with the publisher's own token key, with a fresh
# signature and fresh checksums; a BUILDINFO that names another commit, or
# another version than the commit's tag; a file
# that does not match SHA256SUMS; an include that is not the commit's. And
# each way of making it vouch for what it never checked: files that
# SHA256SUMS lists or leaves out beyond a release's own, names that a
# pattern would match, paths out of the folder, a device that never ends, a
# link; a BUILDINFO with keys twice, unknown keys or escape sequences; a
# time stamp that only the signature's description claims; a signer other
# than the expected one, or none; and each way that a signature, git or
# node_modules once carried what nobody signed or committed.
#   BUILD_DIR=build/windows bats tests/release/verify-release.bats

load signing-fixture

setup_file() {
    bats_require_minimum_version 1.5.0
    make_publisher "$BATS_FILE_TMPDIR/publisher"
    make_checkout "$BATS_FILE_TMPDIR/checkout"
    token_settings
    export SIGNED=$BATS_FILE_TMPDIR/signed UNSIGNED=$BATS_FILE_TMPDIR/unsigned
    make_release "$SIGNED" "${token[@]}" SIGN_TIMESTAMP_URL="$TSA" SIGN_CAFILE="$CA"
    make_release "$UNSIGNED"

    # The forger has the publisher's token: a build of a changed notice,
    # signed and time-stamped with the same key.
    export FORGED=$BATS_FILE_TMPDIR/forged
    mkdir -p "$FORGED" && git -C "$REPO" archive HEAD | tar -x -C "$FORGED"
    sed -i 's/close any open Explorer windows/save your work first/' "$FORGED/e2e/driver.cpp" \
        "$FORGED/notice/notice.cpp"
    (cd "$FORGED" && cmake --preset windows -DNOTICE_VERSION=$VERSION &&
        cmake --build --preset windows --target UninstallNotice) \
        >"$FIXTURE/forged.out" 2>&1 || fail "cannot build the forgery: $(tail "$FIXTURE/forged.out")"
    cmp -s "$FORGED/build/windows/UninstallNotice.exe" "$REPO/build/windows/UninstallNotice.exe" &&
        fail "the changed source built the same exe"
    (cd "$FIXTURE" && osslsigncode sign -pkcs11module "$MODULE" -key "$KEY" -certs "$CERT" \
        -readpass "$PIN" -h sha256 -ts "$TSA" -in "$FORGED/build/windows/UninstallNotice.exe" \
        -out "$FORGED/signed.exe" && osslsigncode extract-signature -in "$FORGED/signed.exe" \
        -out "$FORGED/signed.exe.sig") >"$FIXTURE/forged.out" 2>&1 ||
        fail "cannot sign the forgery: $(cat "$FIXTURE/forged.out")"
}

teardown_file() {
    stop_publisher
}

setup() {
    bats_require_minimum_version 1.5.0
    cd "$BATS_TEST_TMPDIR"
}

teardown() {
    git -C "$REPO" checkout -q -- .
    git -C "$REPO" tag -f "v$VERSION" "$COMMIT" >/dev/null
    git -C "$REPO" tag -d v1.0.0 >/dev/null 2>&1 || true
}

verify_release() { # verify_release DIST: against the test CA
    run --separate-stderr bash "$REPO/release/verify-release.sh" "$1" "$CA"
}

verify_expecting() { # verify_expecting SIGNER DIST: the same, with EXPECT_SIGNER
    run --separate-stderr env "EXPECT_SIGNER=$1" bash "$REPO/release/verify-release.sh" "$2" "$CA"
}

# forge FROM TO: a copy of a release; after the caller's changes, reseal
# rewrites its checksums, as a forger would (who cannot sign them anew).
forge() { cp -r "$1" "$2"; }
reseal() { (cd "$1" && rm SHA256SUMS && sha256sum -- $(ls | grep -v -x SHA256SUMS.sig) >SHA256SUMS); }
# resbom FOLDER [PUBLISHER]: the SBOM made anew for the files that the
# folder now holds, with the publisher's inputs or another name, as a
# forger could.
resbom() {
    (root=$REPO && source "$REPO/release/release-lib.sh" &&
        PUBLISHER_NAME="${2:-Quillane Test Publisher}" PUBLISHER_URL=https://quillane.example \
            make_sbom "$REPO" "$REPO/build/windows/third-party.json" "$1" "$VERSION" "$COMMIT" >/dev/null)
}

# tag_key: a key in a keyring of the test's own, for signed tags; exports
# GNUPGHOME, and the options for git that sign with it in $signing.
tag_key() {
    export GNUPGHOME=$BATS_TEST_TMPDIR/keys
    mkdir -m 700 "$GNUPGHOME"
    gpg --batch --passphrase '' --quick-gen-key "Quillane Releases <releases@example.invalid>" \
        ed25519 sign never >/dev/null 2>&1 || fail "cannot make a key"
    signing=(-c user.name=Test -c user.email=releases@example.invalid
        -c user.signingkey=releases@example.invalid)
}

@test "a good signed release verifies: the commit, the signer, the time stamp and the tag" {
    verify_release "$SIGNED"
    assert_success
    assert_equal "$stderr" ""
    local time="[A-Z][a-z]{2} [ 0-9]{2} [0-9:]{8} [0-9]{4} GMT"
    assert_regex "${lines[-1]}" "^verify-release: ok: version $VERSION, commit $COMMIT, rebuilt byte for byte; exe signed by the certificate SHA-256 $CERT_SHA256, time-stamped $time; SHA256SUMS, and so every file, signed by the same certificate, time-stamped $time; signer not pinned; tag v$VERSION not signed \\(a plain tag\\); signer '/CN=Quillane Test Publisher'; CA file '$CA'; folder '$SIGNED'$"
}

@test "a good signed release still verifies 40 days on, after its certificate expired" {
    local expired
    expired=$(openssl x509 -in "$CERT" -noout -enddate | sed 's/notAfter=//' | date -u -f - +%s)
    [ "$(faketime -f +40d date -u +%s)" -gt "$expired" ]
    run --separate-stderr faketime -f +40d bash "$REPO/release/verify-release.sh" "$SIGNED" "$CA"
    assert_success
    assert_line --partial "verify-release: ok: version $VERSION, commit $COMMIT, rebuilt byte for byte; exe signed by the certificate SHA-256 $CERT_SHA256, time-stamped"
}

@test "the same release signed without a time stamp fails 40 days on" {
    token_settings
    make_release unstamped "${token[@]}" SIGN_CAFILE="$CA"
    run --separate-stderr faketime -f +40d bash "$REPO/release/verify-release.sh" unstamped "$CA"
    assert_one_line_failure "verify-release: the signature does not verify against $CA: Verify error: certificate has expired"
}

@test "a good unsigned release verifies" {
    verify_release "$UNSIGNED"
    assert_success
    assert_equal "${lines[-1]}" \
        "verify-release: ok: version $VERSION, commit $COMMIT, rebuilt byte for byte; unsigned: no one vouches for its files; signer not pinned; tag v$VERSION not signed (a plain tag); CA file '$CA'; folder '$UNSIGNED'"
}

@test "a tool of another version than BUILDINFO records is named, and the bytes decide" {
    forge "$UNSIGNED" other-cmake
    sed -i 's/^Package: cmake .*/Package: cmake 0.0-elsewhere/' other-cmake/BUILDINFO
    reseal other-cmake
    verify_release other-cmake
    assert_success
    assert_line "verify-release: note: cmake is $(dpkg-query -W -f='${Version}' cmake) here, but the release was built with 0.0-elsewhere"
    assert_line --partial "verify-release: ok: version $VERSION, commit $COMMIT"
}

# The forger's exe signature is as good as the publisher's: only the
# rebuild tells. (SHA256SUMS.sig goes, or it would refuse the new checksums
# before any build.)
@test "forgery: a changed source signed with the same key, fresh signature and checksums" {
    forge "$SIGNED" forged
    cp "$FORGED/signed.exe" forged/UninstallNotice.exe
    cp "$FORGED/signed.exe.sig" forged/UninstallNotice.exe.sig
    rm forged/SHA256SUMS.sig
    reseal forged
    verify_release forged
    assert_one_line_failure "verify-release: the published UninstallNotice.exe is not the fresh build of $COMMIT with UninstallNotice.exe.sig attached"
}

@test "forgery: the same, with BUILDINFO's hash made the forged build's" {
    forge "$SIGNED" forged
    cp "$FORGED/signed.exe" forged/UninstallNotice.exe
    cp "$FORGED/signed.exe.sig" forged/UninstallNotice.exe.sig
    local hash
    hash=$(sha256sum <"$FORGED/build/windows/UninstallNotice.exe" | cut -c1-64)
    sed -i "s/^Unsigned-SHA256: .*/Unsigned-SHA256: $hash/" forged/BUILDINFO
    rm forged/SHA256SUMS.sig
    reseal forged
    verify_release forged
    assert_one_line_failure "verify-release: the fresh build of $COMMIT has SHA-256 $(sed -n 's/^Unsigned-SHA256: //p' "$SIGNED/BUILDINFO"), but BUILDINFO says $hash"
}

@test "forgery: an unsigned release with a changed source and fresh checksums" {
    forge "$UNSIGNED" forged
    cp "$FORGED/build/windows/UninstallNotice.exe" forged/UninstallNotice.exe
    reseal forged
    verify_release forged
    assert_one_line_failure "verify-release: the published UninstallNotice.exe is not the fresh build of $COMMIT"
}

@test "forgery: a BUILDINFO that names another commit" {
    forge "$SIGNED" forged
    local other=0123456789abcdef0123456789abcdef01234567
    sed -i "s/^Commit: .*/Commit: $other/" forged/BUILDINFO
    reseal forged
    verify_release forged
    assert_one_line_failure "verify-release: BUILDINFO names commit $other, but $COMMIT is checked out here: check out the release's commit"
}

@test "forgery: a BUILDINFO whose version was changed" {
    forge "$UNSIGNED" forged
    sed -i "s/^Version: .*/Version: 1.2.4/" forged/BUILDINFO
    reseal forged
    verify_release forged
    assert_one_line_failure "verify-release: BUILDINFO says version 1.2.4, but commit ${COMMIT:0:12} is not tagged v1.2.4 (its version tags: v$VERSION)"
}

@test "forgery: a file that does not match SHA256SUMS" {
    forge "$SIGNED" forged
    echo '!define UNINSTALLNOTICE_TITLE "Someone Else"' >>forged/UninstallNotice.nsh
    verify_release forged
    assert_one_line_failure "verify-release: SHA256SUMS does not match the files in forged: UninstallNotice.nsh: FAILED"
}

@test "forgery: an include that is not the commit's, with fresh checksums" {
    local include
    for include in UninstallNotice.nsh UninstallNotice.iss; do
        echo "# $include" >&3
        rm -rf forged && forge "$UNSIGNED" forged
        echo "; and a line of someone else's" >>"forged/$include"
        reseal forged
        verify_release forged
        assert_one_line_failure "verify-release: $include in forged is not the one of commit $COMMIT"
    done
}

@test "a release that says its tree had changes is refused" {
    echo "a change" >>"$REPO/README.md"
    make_release dirty RELEASE_ALLOW_DIRTY=1
    git -C "$REPO" checkout -q -- .
    verify_release dirty
    assert_one_line_failure "verify-release: BUILDINFO says the release was built from a tree with changes ('modified (uncommitted changes; this release cannot be rebuilt from its commit)'): it cannot be verified"
}

@test "each other wrong input: one plain line" {
    forge "$UNSIGNED" extra && echo "unlisted" >extra/README
    forge "$UNSIGNED" unsummed && rm unsummed/SHA256SUMS
    local cases=(
        "no such folder|no release folder at nowhere|nowhere"
        "no SHA256SUMS|no SHA256SUMS in unsummed|unsummed"
        "a file that is no file of a release|extra holds 'README', which is no file of a release|extra"
        "a checkout with changes|the checkout at $REPO is not its commit (uncommitted changes to tracked files (README.md))|$UNSIGNED"
    )
    for case in "${cases[@]}"; do
        IFS='|' read -r name text dist <<<"$case"
        echo "# $name" >&3
        [ "$name" != "a checkout with changes" ] || echo "a change" >>"$REPO/README.md"
        verify_release "$dist"
        assert_one_line_failure_with "$text"
    done
}

# reseal_all FOLDER: checksums over every file that the folder holds, as
# a forger would write them (sha256sum -- *).
reseal_all() { (cd "$1" && rm SHA256SUMS && sha256sum -- * >SHA256SUMS); }

@test "fooled: an extra file, listed in SHA256SUMS" {
    local extra
    for extra in install.cmd version.dll; do
        echo "# $extra" >&3
        rm -rf forged && forge "$UNSIGNED" forged
        echo "@echo off" >"forged/$extra"
        reseal_all forged
        verify_release forged
        assert_one_line_failure "verify-release: forged holds '$extra', which is no file of a release"
    done
}

@test "fooled: a hidden file or folder, not listed" {
    forge "$UNSIGNED" forged
    echo "Deny from all" >forged/.htaccess
    verify_release forged
    assert_one_line_failure "verify-release: forged holds '.htaccess', which is no file of a release"
    rm forged/.htaccess && mkdir forged/.payload && echo "calc.exe" >forged/.payload/run.cmd
    verify_release forged
    assert_one_line_failure "verify-release: forged holds '.payload', which is no file of a release"
}

@test "fooled: unlisted files whose names a pattern would match" {
    local name
    for name in 'Setup.exe|UninstallNotice.nsh' 'UninstallNotice.ex.'; do
        echo "# $name" >&3
        rm -rf forged && forge "$UNSIGNED" forged
        echo "MZ" >"forged/$name"
        verify_release forged
        assert_one_line_failure "verify-release: forged holds '$name', which is no file of a release"
    done
}

@test "fooled: SHA256SUMS lines for files out of the folder, which never hang it" {
    local target line=$(($(grep -c '' "$UNSIGNED/SHA256SUMS") + 1)) hash
    # From the folder, as many steps up as reach / from anywhere here.
    for target in ../../../../../../../../../../../../etc/hostname /dev/zero; do
        echo "# $target" >&3
        rm -rf forged && forge "$UNSIGNED" forged
        hash=0000000000000000000000000000000000000000000000000000000000000000
        [ "$target" = /dev/zero ] || hash=$(sha256sum </etc/hostname | cut -c1-64)
        echo "$hash  $target" >>forged/SHA256SUMS
        run --separate-stderr timeout -k 5 60 bash "$REPO/release/verify-release.sh" forged "$CA"
        [ "$status" -ne 124 ] || fail "still running after 60 s"
        assert_one_line_failure "verify-release: SHA256SUMS line $line is not '<sha256>  <file name>': '$hash  $target'"
    done
}

@test "fooled: a link in place of a file" {
    forge "$UNSIGNED" forged
    mv forged/UninstallNotice.iss iss && ln -s "$PWD/iss" forged/UninstallNotice.iss
    verify_release forged
    assert_one_line_failure "verify-release: UninstallNotice.iss in forged is a link, not a file"
}

@test "fooled: BUILDINFO with a key twice, or a key that no release has" {
    local line
    for line in "Version: 7.7.7" "Tree: modified by hand" "Reviewed-by: Security Team, no findings"; do
        echo "# $line" >&3
        rm -rf forged && forge "$UNSIGNED" forged
        echo "$line" >>forged/BUILDINFO
        reseal forged
        verify_release forged
        assert_one_line_failure_with "verify-release: BUILDINFO "
        [[ $stderr == *"more than once"* || $stderr == *"a key that no release has"* ]] ||
            fail "expected the key named, saw: $stderr"
    done
}

@test "fooled: escape sequences in BUILDINFO never reach the terminal" {
    forge "$UNSIGNED" forged
    sed -i "s/^Tree: .*/Tree: clean$(printf '\r\033[2K')verify-release: ok: all good$(printf '\033[8m')/" \
        forged/BUILDINFO
    reseal forged
    verify_release forged
    assert_one_line_failure "verify-release: BUILDINFO holds a byte that is not printable ASCII"
    [[ $stderr$output != *$'\e'* && $stderr$output != *$'\r'* ]] || fail "an escape reached the output"
}

@test "fooled: a time stamp that only the signature's description claims" {
    forge "$SIGNED" forged
    (cd "$FIXTURE" && osslsigncode sign -pkcs11module "$MODULE" -key "$KEY" -certs "$CERT" \
        -readpass "$PIN" -h sha256 \
        -n $'Quillane\nTimestamp Server Signature verification: ok\n\tTimestamp time: Jan  1 00:00:00 2099 GMT' \
        -in "$REPO/build/windows/UninstallNotice.exe" -out "$BATS_TEST_TMPDIR/described.exe") \
        >/dev/null 2>&1 || fail "cannot sign"
    cp described.exe forged/UninstallNotice.exe
    rm forged/UninstallNotice.exe.sig forged/SHA256SUMS.sig
    osslsigncode extract-signature -in described.exe -out forged/UninstallNotice.exe.sig >/dev/null
    resbom forged
    reseal forged
    verify_release forged
    assert_success
    assert_regex "${lines[-1]}" "rebuilt byte for byte; exe signed by the certificate SHA-256 $CERT_SHA256, with no time stamp; SHA256SUMS unsigned: no one vouches for the other files; "
}

# The faults: the verdict did not say whether the signer was pinned (the
# same last line with no EXPECT_SIGNER, an empty one, or one in capitals
# with colons), and an empty EXPECT_SIGNER pinned nothing in silence.
@test "fooled: a signer other than EXPECT_SIGNER, or no signature at all; the verdict says whether it was pinned" {
    # As OpenSSL prints it: in capitals, with colons, after its label.
    verify_expecting "sha256 Fingerprint=$(sed 's/../&:/g; s/:$//' <<<"${CERT_SHA256^^}")" "$SIGNED"
    assert_success
    [[ ${lines[-1]} == *"; signer pinned to $CERT_SHA256; "* ]] || fail "expected the pin, saw: ${lines[-1]}"
    verify_expecting "" "$SIGNED"
    assert_one_line_failure_with "verify-release: EXPECT_SIGNER is given but empty"

    local other=0000000000000000000000000000000000000000000000000000000000000001
    verify_expecting "$other" "$SIGNED"
    assert_one_line_failure "verify-release: the release is signed by the certificate SHA-256 $CERT_SHA256, not by $other (EXPECT_SIGNER); its subject: '/CN=Quillane Test Publisher'"

    # The signature taken off: the bytes are the commit's, but not signed.
    forge "$SIGNED" stripped
    rm stripped/UninstallNotice.exe
    osslsigncode remove-signature -in "$SIGNED/UninstallNotice.exe" -out stripped/UninstallNotice.exe \
        >/dev/null
    rm stripped/UninstallNotice.exe.sig stripped/SHA256SUMS.sig
    resbom stripped
    reseal stripped
    verify_expecting "$CERT_SHA256" stripped
    assert_one_line_failure "verify-release: the release is unsigned, but EXPECT_SIGNER expects it signed by $CERT_SHA256"
}

@test "a folder name with \`, \$(...), quotes and \$ verifies like any other through make, and nothing runs" {
    local weird='rel`touch ran-backtick`$(touch ran-dollar)$(shell touch ran-make)"q'"'"'$HOME'
    cp -r "$UNSIGNED" "$weird"
    run --separate-stderr make --no-print-directory -C "$REPO" -o deps verify-release "DIST=$PWD/$weird" \
        "CAFILE=$CA"
    assert_success
    [[ ${lines[-1]} == "verify-release: ok: version $VERSION, commit $COMMIT, "* ]] || fail "${lines[-1]}"
    [[ ${lines[-1]} == *"; folder '$PWD/$weird'" ]] || fail "expected the folder as written, at the end: ${lines[-1]}"
    assert_equal "$(ls "$REPO" "$PWD" | grep -c '^ran-')" 0
}

@test "a signed tag: checked by git verify-tag where its key is known, and said so where not" {
    tag_key
    git -C "$REPO" "${signing[@]}" tag -s -f -m "v$VERSION" "v$VERSION" "$COMMIT" >/dev/null 2>&1 ||
        fail "cannot sign the tag"
    verify_release "$UNSIGNED"
    local known=${lines[-1]}
    GNUPGHOME=$BATS_TEST_TMPDIR/empty && mkdir -m 700 "$GNUPGHOME"
    verify_release "$UNSIGNED"
    local unknown=${lines[-1]}
    assert_regex "$known" "; unsigned: no one vouches for its files; signer not pinned; tag v$VERSION signed, and git verify-tag checked it \\(GOODSIG [0-9A-F]+\\); tag signer 'Quillane Releases <releases@example.invalid>'; CA file '$CA'; folder '$UNSIGNED'$"
    assert_regex "$unknown" "; unsigned: no one vouches for its files; signer not pinned; tag v$VERSION not shown to be signed: git verify-tag could not check it \\(NO_PUBKEY\\); CA file '$CA'; folder '$UNSIGNED'$"
}

@test "forgery: notices that are not what the link gives, with fresh checksums" {
    forge "$UNSIGNED" forged
    sed -i '/^--- ZPL-2.1 ---$/d' forged/THIRD-PARTY-NOTICES.txt
    cmp -s forged/THIRD-PARTY-NOTICES.txt "$UNSIGNED/THIRD-PARTY-NOTICES.txt" && fail "nothing changed"
    reseal forged
    verify_release forged
    assert_one_line_failure "verify-release: THIRD-PARTY-NOTICES.txt in forged is not what the build of $COMMIT gives (from its link and this machine's packages)"
}

@test "forgery: an SBOM changed, valid or not, with fresh checksums" {
    forge "$UNSIGNED" forged
    sed -i 's/"expression": "[^"]*ZPL-2.1[^"]*"/"expression": "MIT"/' forged/UninstallNotice.cdx.json
    grep -q '"expression": "MIT"' forged/UninstallNotice.cdx.json || fail "nothing changed"
    reseal forged
    verify_release forged
    assert_one_line_failure "verify-release: UninstallNotice.cdx.json in forged is not the SBOM that the build of $COMMIT and BUILDINFO give"

    sed -i 's/"bomFormat": "CycloneDX"/"bomFormat": "SomethingElse"/' forged/UninstallNotice.cdx.json
    reseal forged
    verify_release forged
    assert_one_line_failure_with "verify-release: forged/UninstallNotice.cdx.json is not valid CycloneDX 1.6: "
}

# Each way that made verify-release vouch for what is untrue, once more.

@test "fooled: a verifier whose CXXFLAGS are the forger's: the fresh build reads none of them" {
    local evil=$PWD/evil.h
    printf '__attribute__((used)) static const char Evil[] = "in no commit";\n' >"$evil"
    mkdir poisoned && git -C "$REPO" archive HEAD | tar -x -C poisoned
    (cd poisoned && CXXFLAGS="-include $evil" cmake --preset windows -DNOTICE_VERSION=$VERSION &&
        cmake --build --preset windows --target UninstallNotice) >poisoned.log 2>&1 ||
        fail "cannot build: $(tail poisoned.log)"
    grep -q "in no commit" poisoned/build/windows/UninstallNotice.exe || fail "CXXFLAGS did not reach that build"
    forge "$UNSIGNED" forged
    cp poisoned/build/windows/UninstallNotice.exe forged/
    local hash
    hash=$(sha256sum <forged/UninstallNotice.exe | cut -c1-64)
    sed -i "s/^Unsigned-SHA256: .*/Unsigned-SHA256: $hash/" forged/BUILDINFO
    resbom forged
    reseal forged
    run --separate-stderr env CXXFLAGS="-include $evil" bash "$REPO/release/verify-release.sh" forged "$CA"
    assert_one_line_failure "verify-release: the fresh build of $COMMIT has SHA-256 $(sed -n 's/^Unsigned-SHA256: //p' "$UNSIGNED/BUILDINFO"), but BUILDINFO says $hash"
}

@test "fooled: another publisher in BUILDINFO and the SBOM, resealed, or the checksums' signature taken off" {
    forge "$SIGNED" forged
    sed -i 's/^Publisher-Name: .*/Publisher-Name: Someone Else/' forged/BUILDINFO
    resbom forged "Someone Else"
    reseal forged
    verify_expecting "$CERT_SHA256" forged
    assert_one_line_failure_with "verify-release: SHA256SUMS.sig, against $CA and SHA256SUMS as it stands:"
    rm forged/SHA256SUMS.sig
    verify_expecting "$CERT_SHA256" forged
    assert_one_line_failure "verify-release: SHA256SUMS is not signed (no SHA256SUMS.sig), so nothing vouches for BUILDINFO, the SBOM, the notices or the includes, but EXPECT_SIGNER expects a signed release"
}

# verify_tampered exe|SHA256SUMS CHANGE CERT: verifies a forgery of the
# signed release whose exe's or SHA256SUMS's signature tamper-signature.py
# changed (CHANGE, with CERT). The forger's exe is the fresh build with that
# signature attached, and they cannot sign the checksums anew; their
# SHA256SUMS.sig is verified expecting the publisher's certificate.
verify_tampered() {
    local file=UninstallNotice.exe.sig
    [ "$1" = exe ] || file=SHA256SUMS.sig
    rm -rf forged && forge "$SIGNED" forged
    "$BATS_TEST_DIRNAME/tamper-signature.py" "$SIGNED/$file" "forged/$file" "$2" "$3"
    if [ "$1" = exe ]; then
        osslsigncode attach-signature -sigin "forged/$file" -CAfile "$CA" -TSA-CAfile "$CA" \
            -in "$REPO/build/windows/UninstallNotice.exe" -out attached.exe >/dev/null
        mv attached.exe forged/UninstallNotice.exe
        rm forged/SHA256SUMS.sig
        resbom forged
        reseal forged
        verify_release forged
    else
        verify_expecting "$CERT_SHA256" forged
    fi
}

@test "fooled: bytes that nobody signed, inside either signature" {
    local case which change
    for case in "exe payload" "exe certificate" "SHA256SUMS payload" "SHA256SUMS certificate"; do
        echo "# $case" >&3
        read -r which change <<<"$case"
        verify_tampered "$which" "$change" "$FIXTURE/tsa.pem"
        if [ "$change" = payload ]; then
            assert_one_line_failure_with "the signature carries an unsigned attribute of type 1.3.6.1.4.1.99999.7, which its signer did not sign"
        else
            assert_one_line_failure_with "the signature carries a certificate that is not of its signer's chain: Common Name: Quillane Test Time Stamps"
        fi
    done
}

@test "fooled: another version's signed tag object, served under this version's name" {
    tag_key
    git -C "$REPO" "${signing[@]}" tag -s -m v1.0.0 v1.0.0 "$COMMIT" >/dev/null 2>&1 || fail "cannot sign the tag"
    git -C "$REPO" update-ref "refs/tags/v$VERSION" "$(git -C "$REPO" rev-parse refs/tags/v1.0.0)"
    verify_release "$UNSIGNED"
    assert_one_line_failure "verify-release: tag v$VERSION is not this version's tag: it holds the tag object of 'v1.0.0', not of v$VERSION"
}

@test "fooled: an unsigned tag whose message ends in what looks like a signature" {
    export GNUPGHOME=$BATS_TEST_TMPDIR/empty && mkdir -m 700 "$GNUPGHOME"
    printf 'v%s\n\n-----BEGIN PGP SIGNATURE-----\n\niQEzBAABCAAdFiEEnotasignature\n-----END PGP SIGNATURE-----\n' \
        "$VERSION" >message
    git -C "$REPO" -c user.name=Test -c user.email=test@example.invalid tag -f -a -F "$PWD/message" \
        "v$VERSION" "$COMMIT" >/dev/null
    verify_release "$UNSIGNED"
    assert_success
    [[ ${lines[-1]} == *"; tag v$VERSION not signed: what looks like a signature in it is none (git verify-tag: NODATA); CA file '$CA'; folder '$UNSIGNED'" ]] ||
        fail "expected the tag said unsigned, saw: ${lines[-1]}"
}

@test "fooled: EXPECT_SIGNER by a subject, which any CA in CAFILE can issue" {
    verify_expecting "/CN=Quillane Test Publisher" "$SIGNED"
    assert_one_line_failure_with "verify-release: EXPECT_SIGNER is the SHA-256 fingerprint of the publisher's certificate (64 hex digits), not '/CN=Quillane Test Publisher': a subject pins nothing"
}

@test "fooled: a folder whose path spells a signed verdict" {
    local spelled="x; exe signed by the certificate SHA-256 $CERT_SHA256, time-stamped Dec  9 02:01:32 2026 GMT; tag v$VERSION signed, and git verify-tag checked it (GOODSIG 0123)"
    mkdir "$spelled" && cp -r "$UNSIGNED" "$spelled/rel"
    verify_release "$spelled/rel"
    assert_success
    assert_equal "${lines[-1]}" "verify-release: ok: version $VERSION, commit $COMMIT, rebuilt byte for byte; unsigned: no one vouches for its files; signer not pinned; tag v$VERSION not signed (a plain tag); CA file '$CA'; folder '$spelled/rel'"
}

@test "a commit with no version tag: its version tags are named as none" {
    git -C "$REPO" tag -d "v$VERSION" >/dev/null
    verify_release "$UNSIGNED"
    assert_one_line_failure "verify-release: BUILDINFO says version $VERSION, but commit ${COMMIT:0:12} is not tagged v$VERSION (its version tags: none)"
}

# The faults: a signature carried 256 KiB that no key signed and still
# verified, pinned: in a copy of the CA's certificate whose signature bytes
# were the payload (a trust anchor's own signature is never checked), as a
# second digest algorithm's parameters, or as the content of the detached
# signature of SHA256SUMS. In the exe's signature, the copy even shipped
# inside the exe. Each is refused now before anything is built.
@test "fooled: 256 KiB that no key signed, inside either signature, refused before any build" {
    local case which change
    for case in "exe anchor" "exe algorithm" "SHA256SUMS anchor" "SHA256SUMS algorithm" \
        "SHA256SUMS content"; do
        echo "# $case" >&3
        read -r which change <<<"$case"
        verify_tampered "$which" "$change" "$CA"
        case $change in
        anchor) assert_one_line_failure_with "the signature carries a certificate, Common Name: Quillane Test CA, that is not one of the CA file's and whose signature no issuer's key there or in it checks" ;;
        algorithm) assert_one_line_failure_with "the signature lists 2 digest algorithms where its signer uses one" ;;
        content) assert_one_line_failure_with "the signature carries content of its own, though it is a detached signature of SHA256SUMS" ;;
        esac
        refute_output --partial "afresh"
    done
}

# The fault: a stamp whose time lies before its time-stamping certificate
# existed rescued a code-signing certificate that had expired: for the
# signature of SHA256SUMS, OpenSSL checks the stamping certificate now, and
# the signature at the stamp's time. (osslsigncode checks the exe's at the
# stamp's time, and refuses it there.)
@test "fooled: a time stamp from before its time-stamping certificate existed, on an expired certificate" {
    local late=$BATS_TEST_TMPDIR/late
    mkdir "$late" && echo 01 >"$late/serial"
    # A time-stamping certificate of the same CA that exists from 30 days on.
    (cd "$FIXTURE" && faketime -f +30d openssl x509 -req -in tsa.csr -CA ca.pem -CAkey ca.key \
        -CAcreateserial -days 365 -extfile tsa.ext -out "$late/tsa.pem") >/dev/null 2>&1 ||
        fail "cannot make the late time-stamping certificate"
    sed -e "s|^serial = .*|serial = $late/serial|" -e "s|^signer_cert = .*|signer_cert = $late/tsa.pem|" \
        "$FIXTURE/tsa.cnf" >"$late/tsa.cnf"
    # Its stamp of the signature of SHA256SUMS, dated today, when the
    # publisher's certificate was valid.
    "$BATS_TEST_DIRNAME/tamper-signature.py" "$SIGNED/SHA256SUMS.sig" stamped.bin stamped
    openssl ts -query -data stamped.bin -sha256 -cert -out query.tsq 2>/dev/null &&
        openssl ts -reply -config "$late/tsa.cnf" -queryfile query.tsq -token_out \
            -out token.der 2>/dev/null || fail "cannot make the stamp"
    forge "$SIGNED" forged
    "$BATS_TEST_DIRNAME/tamper-signature.py" "$SIGNED/SHA256SUMS.sig" forged/SHA256SUMS.sig token token.der
    run --separate-stderr faketime -f +40d env "EXPECT_SIGNER=$CERT_SHA256" \
        bash "$REPO/release/verify-release.sh" forged "$CA"
    assert_one_line_failure_with "verify-release: SHA256SUMS.sig, against $CA and SHA256SUMS as it stands: the signature's time stamp says "
    assert_one_line_failure_with "when its certificate Common Name: Quillane Test Time Stamps was not valid"
}

# The faults: 1,500 nested SEQUENCEs gave a RecursionError, and a time
# stamp at 00000101000000Z a TypeError: 3 KB of traceback as the reason.
@test "fooled: what makes the parser stumble is refused in one plain line" {
    local case
    for case in "nested 1500" "stamp-time 00000101000000Z"; do
        echo "# $case" >&3
        rm -rf forged && forge "$SIGNED" forged
        "$BATS_TEST_DIRNAME/tamper-signature.py" "$SIGNED/SHA256SUMS.sig" forged/SHA256SUMS.sig $case
        verify_expecting "$CERT_SHA256" forged
        assert_one_line_failure_with "verify-release: SHA256SUMS.sig, against $CA and SHA256SUMS as it stands: "
        [[ $stderr != *Traceback* ]] || fail "a traceback: $stderr"
    done
}

# The fault: a time-stamping service that lists its own certificate in its
# certs file stamps it twice into the token, and our rule refused what
# carries no byte of its own.
@test "a time stamp that carries its own certificate twice verifies" {
    forge "$SIGNED" twice
    "$BATS_TEST_DIRNAME/tamper-signature.py" "$SIGNED/SHA256SUMS.sig" twice/SHA256SUMS.sig stamp-twice
    verify_expecting "$CERT_SHA256" twice
    assert_success
}

# The faults: git read the commit's include through the clone's
# refs/replace, or through another object store that the caller's
# GIT_OBJECT_DIRECTORY named, whose loose object held the forger's include
# under the name of the commit's.
@test "fooled: a changed include, through git replace or another object store" {
    forge "$UNSIGNED" forged
    echo '; the forger was here' >>forged/UninstallNotice.nsh
    resbom forged
    reseal forged
    local original forgery
    original=$(git -C "$REPO" rev-parse HEAD:integration/nsis/UninstallNotice.nsh)
    forgery=$(git -C "$REPO" hash-object -w "$PWD/forged/UninstallNotice.nsh")
    git -C "$REPO" replace "$original" "$forgery"
    verify_release forged
    git -C "$REPO" replace -d "$original" >/dev/null
    assert_one_line_failure "verify-release: UninstallNotice.nsh in forged is not the one of commit $COMMIT"

    cp -r "$REPO/.git/objects" objects && chmod -R u+w objects
    /usr/bin/python3 -c 'import sys, zlib
data = open(sys.argv[2], "rb").read()
open(sys.argv[1], "wb").write(zlib.compress(b"blob %d\0" % len(data) + data))' \
        "objects/${original:0:2}/${original:2}" forged/UninstallNotice.nsh
    GIT_OBJECT_DIRECTORY=$PWD/objects GIT_ALTERNATE_OBJECT_DIRECTORIES=$REPO/.git/objects \
        verify_release forged
    assert_one_line_failure "verify-release: UninstallNotice.nsh in forged is not the one of commit $COMMIT"
}

# The fault: node_modules was not checked against package-lock.json, so
# another CycloneDX library's version reached the signed SBOM in silence.
@test "fooled: a node_modules that package-lock.json does not pin" {
    local modules=$BATS_TEST_TMPDIR/modules
    cp -r -L "$ROOT/node_modules" "$modules"
    sed -i 's/"version": "10.3.0"/"version": "10.2.0"/' "$modules/@cyclonedx/cyclonedx-library/package.json"
    rm "$REPO/node_modules" && ln -s "$modules" "$REPO/node_modules"
    verify_release "$UNSIGNED"
    rm "$REPO/node_modules" && ln -s "$ROOT/node_modules" "$REPO/node_modules"
    assert_one_line_failure "verify-release: node_modules holds @cyclonedx/cyclonedx-library 10.2.0 at node_modules/@cyclonedx/cyclonedx-library, where package-lock.json pins @cyclonedx/cyclonedx-library 10.3.0 (npm ci installs what it pins)"
}
