#!/usr/bin/env bats
# make verify-release as a user meets it: a good signed release and a good
# unsigned one verify, the signed one still 40 days on, after its
# certificate expired, thanks to its time stamp; and each forgery fails in
# one line: an exe built from a
# changed source and signed with the publisher's own token key, with a fresh
# signature and fresh checksums; a BUILDINFO that names another commit, or
# another version than the commit's tag; a file
# that does not match SHA256SUMS; an include that is not the commit's.
#   BUILD_DIR=build/windows bats tests/scripts/verify-release.bats

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
}

verify_release() { # verify_release DIST: against the test CA
    run --separate-stderr bash "$REPO/scripts/verify-release.sh" "$1" "$CA"
}

# forge FROM TO: a copy of a release; after the caller's changes, reseal
# rewrites its checksums, as a forger would.
forge() { cp -r "$1" "$2"; }
reseal() { (cd "$1" && rm SHA256SUMS && sha256sum -- * >SHA256SUMS); }

@test "a good signed release verifies: the commit, the signer and the time stamp" {
    verify_release "$SIGNED"
    assert_success
    assert_equal "$stderr" ""
    assert_regex "${lines[-1]}" "^verify-release: ok: $SIGNED is version $VERSION, commit $COMMIT, rebuilt byte for byte; signed by /CN=Quillane Test Publisher, time-stamped [A-Z][a-z]{2} [ 0-9]{2} [0-9:]{8} [0-9]{4} GMT$"
}

@test "a good signed release still verifies 40 days on, after its certificate expired" {
    local expired
    expired=$(openssl x509 -in "$CERT" -noout -enddate | sed 's/notAfter=//' | date -u -f - +%s)
    [ "$(faketime -f +40d date -u +%s)" -gt "$expired" ]
    run --separate-stderr faketime -f +40d bash "$REPO/scripts/verify-release.sh" "$SIGNED" "$CA"
    assert_success
    assert_line --partial "verify-release: ok: $SIGNED is version $VERSION, commit $COMMIT"
}

@test "the same release signed without a time stamp fails 40 days on" {
    token_settings
    make_release unstamped "${token[@]}" SIGN_CAFILE="$CA"
    run --separate-stderr faketime -f +40d bash "$REPO/scripts/verify-release.sh" unstamped "$CA"
    assert_one_line_failure "verify-release: the signature does not verify against $CA: Verify error: certificate has expired"
}

@test "a good unsigned release verifies" {
    verify_release "$UNSIGNED"
    assert_success
    assert_equal "${lines[-1]}" \
        "verify-release: ok: $UNSIGNED is version $VERSION, commit $COMMIT, rebuilt byte for byte; unsigned"
}

@test "a tool of another version than BUILDINFO records is named, and the bytes decide" {
    forge "$UNSIGNED" other-cmake
    sed -i 's/^Package: cmake .*/Package: cmake 0.0-elsewhere/' other-cmake/BUILDINFO
    reseal other-cmake
    verify_release other-cmake
    assert_success
    assert_line "verify-release: note: cmake is $(dpkg-query -W -f='${Version}' cmake) here, but the release was built with 0.0-elsewhere"
    assert_line --partial "verify-release: ok: other-cmake is version $VERSION, commit $COMMIT"
}

@test "forgery: a changed source signed with the same key, fresh signature and checksums" {
    forge "$SIGNED" forged
    cp "$FORGED/signed.exe" forged/UninstallNotice.exe
    cp "$FORGED/signed.exe.sig" forged/UninstallNotice.exe.sig
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
    assert_one_line_failure "verify-release: BUILDINFO says the release was built from a tree with changes (modified (uncommitted changes; this release cannot be rebuilt from its commit)): it cannot be verified"
}

@test "each other wrong input: one plain line" {
    forge "$UNSIGNED" extra && echo "unlisted" >extra/README
    forge "$UNSIGNED" unsummed && rm unsummed/SHA256SUMS
    local cases=(
        "no such folder|no release folder at nowhere|nowhere"
        "no SHA256SUMS|no SHA256SUMS in unsummed|unsummed"
        "a file that SHA256SUMS leaves out|README is in extra but not in SHA256SUMS|extra"
        "a checkout with changes|the checkout at $REPO has uncommitted changes|$UNSIGNED"
    )
    for case in "${cases[@]}"; do
        IFS='|' read -r name text dist <<<"$case"
        echo "# $name" >&3
        [ "$name" != "a checkout with changes" ] || echo "a change" >>"$REPO/README.md"
        verify_release "$dist"
        assert_one_line_failure_with "$text"
    done
}
