#!/usr/bin/env bats
# make verify-release as a user meets it, against two genuine releases made
# once for the whole file (signed: the programs with the token's key and
# time-stamped, SHA256SUMS with the release key, the tag signed with it
# too; and unsigned), and tampered copies of them. A good release verifies,
# the signed one still 400 days on, after both its certificates expired.
# Every forgery is refused in one line, those that need no build before
# any build: whatever a forger changes in a file, signatures included,
# changes SHA256SUMS, which only the publisher's key can sign; and what the
# publisher's key signs must be made as the policy allows. Each trust input
# is named in the verdict with its SHA-256.
#   BUILD_DIR=build/windows bats tests/release/verify-release.bats

load signing-fixture

setup_file() {
    bats_require_minimum_version 1.5.0
    make_publisher "$BATS_FILE_TMPDIR/publisher"
    make_checkout "$BATS_FILE_TMPDIR/checkout"
    # The tag, signed with the release key, as git signs with SSH.
    git -C "$REPO" -c gpg.format=ssh -c user.signingkey="$RELEASE_KEY_FILE" -c user.name=Test \
        -c user.email=test@example.invalid tag -f -s -m "version $VERSION" "v$VERSION" >/dev/null ||
        fail "cannot sign the tag"
    token_settings
    export SIGNED=$BATS_FILE_TMPDIR/signed UNSIGNED=$BATS_FILE_TMPDIR/unsigned
    make_release "$SIGNED" "${token[@]}" SIGN_TIMESTAMP_URL="$TSA" SIGN_CAFILE="$CA" \
        RELEASE_KEY="$RELEASE_KEY_FILE"
    make_release "$UNSIGNED"
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

# verify_release DIST [NAME=VALUE...]: against the publisher's allowed
# signers and the test CA, unless the arguments give others.
verify_release() {
    local dist=$1
    shift
    run --separate-stderr bash "$REPO/release/verify-release.sh" "$dist" "ALLOWED_SIGNERS=$ALLOWED" \
        "CAFILE=$CA" "$@"
}
# verify_only DIST [NAME=VALUE...]: with only the given trust inputs.
verify_only() {
    local dist=$1
    shift
    run --separate-stderr bash "$REPO/release/verify-release.sh" "$dist" "$@"
}

# forge FROM TO: a copy of a release; after the caller's changes, reseal
# rewrites its checksums, as a forger would (who cannot sign them anew),
# and resign signs them with the publisher's own key, as a publisher who
# released such a thing would.
forge() { cp -r "$1" "$2"; }
reseal() { (cd "$1" && rm SHA256SUMS && sha256sum -- $(ls | grep -v -x SHA256SUMS.sig) >SHA256SUMS); }
resign() {
    reseal "$1"
    rm -f "$1/SHA256SUMS.sig"
    ssh-keygen -q -Y sign -f "${2:-$RELEASE_KEY_FILE}" -n uninstallnotice-release@quillane "$1/SHA256SUMS" ||
        fail "cannot sign $1/SHA256SUMS"
}
# A refusal before any build: one line, and nothing built.
assert_refused_unbuilt() {
    assert_one_line_failure "$1"
    [[ $output != *"building version"* ]] || fail "it built before it refused"
}
sha() { sha256sum <"$1" | cut -c1-64; }

@test "a good signed release verifies: who vouches, the programs' signer and time stamp, the tag, and each trust input" {
    verify_release "$SIGNED"
    assert_success
    assert_equal "$stderr" ""
    local time="[A-Z][a-z]{2} [ 0-9]{2} [0-9:]{8} [0-9]{4} GMT"
    local key="SHA256:[A-Za-z0-9+/]+"
    assert_regex "${lines[-1]}" "^verify-release: ok: version $VERSION, commit $COMMIT, rebuilt byte for byte; SHA256SUMS, and so every file, signed by $PRINCIPAL with the key $key of the allowed signers; programs signed by the certificate SHA-256 $CERT_SHA256 \\(sha256, RSA 2048, code signing, time stamp RSA 2048\\), time-stamped $time; tag v$VERSION signed by $PRINCIPAL with the key $key of the allowed signers \\(git verify-tag\\); trusted: allowed signers '$ALLOWED' \\(SHA-256 $(sha "$ALLOWED")\\), CA file '$CA' \\(SHA-256 $(sha "$CA")\\), pin none given; folder '$SIGNED'$"
}

# The fault: every old release stopped verifying once the time-stamping
# certificate expired, as openssl ts -verify judged the stamp at the
# current time.
@test "a good signed release still verifies 400 days on, after its certificate and the time stamp's expired" {
    local expired
    expired=$(openssl x509 -in "$FIXTURE/tsa.pem" -noout -enddate | sed 's/notAfter=//' | date -u -f - +%s)
    [ "$(faketime -f +400d date -u +%s)" -gt "$expired" ]
    run --separate-stderr faketime -f +400d bash "$REPO/release/verify-release.sh" "$SIGNED" \
        "ALLOWED_SIGNERS=$ALLOWED" "CAFILE=$CA"
    assert_success
    assert_line --partial "verify-release: ok: version $VERSION, commit $COMMIT, rebuilt byte for byte; SHA256SUMS, and so every file, signed by $PRINCIPAL"
}

@test "a good unsigned release verifies, and says that nobody vouches for it; given allowed signers, it is refused" {
    verify_only "$UNSIGNED" "CAFILE=$CA"
    assert_success
    assert_line --partial "verify-release: ok: version $VERSION, commit $COMMIT, rebuilt byte for byte; SHA256SUMS unsigned: nobody vouches for the files; programs unsigned; tag v$VERSION not shown to be signed: git verify-tag could not check it"
    verify_release "$UNSIGNED"
    assert_refused_unbuilt "verify-release: SHA256SUMS is not signed (no SHA256SUMS.sig): nobody vouches for the files, though the allowed signers $ALLOWED were given"
}

# The faults of the last review, each a change that no key signed: 256 KiB
# as a signature's algorithm parameters, an issuer name padded, its own
# certificate 2,000 times more; here as the bytes that a forger appends to
# a program's signature, or changes in it. Resealed or not, signed again by
# the forger's key or not, or the signature taken off: each is refused.
@test "a program's signature grown by 256 KiB: refused before any build, whatever is done to SHA256SUMS" {
    forge "$SIGNED" forged
    head -c 262144 /dev/urandom >>forged/UninstallNotice.exe
    verify_release forged
    assert_refused_unbuilt "verify-release: SHA256SUMS does not match the files in forged: UninstallNotice.exe: FAILED"
    reseal forged
    verify_release forged
    assert_refused_unbuilt "verify-release: SHA256SUMS.sig is not a good signature of SHA256SUMS by the allowed signers $ALLOWED: Signature verification failed: incorrect signature"
    ssh-keygen -q -t ed25519 -N '' -f forger
    resign forged forger
    verify_release forged
    assert_refused_unbuilt "verify-release: SHA256SUMS.sig is not a good signature of SHA256SUMS by the allowed signers $ALLOWED: no key of the allowed signers made it, or it is no SSH signature"
    rm forged/SHA256SUMS.sig
    verify_release forged
    assert_refused_unbuilt "verify-release: SHA256SUMS is not signed (no SHA256SUMS.sig): nobody vouches for the files, though the allowed signers $ALLOWED were given"
    # With nobody's word asked for, the signature itself cannot be read.
    verify_only forged "CAFILE=$CA"
    assert_refused_unbuilt "verify-release: the signature of UninstallNotice.exe does not verify against $CA, pinned to the certificate SHA-256 $CERT_SHA256: it carries no signature that can be read"
}

@test "BUILDINFO, the notices, the SBOM or an include changed, resealed: refused before any build" {
    local change
    for change in "s/^Authenticode-Certificate: .*/Authenticode-Certificate: $(printf 'a%.0s' {1..64})/|BUILDINFO" \
        "s/UninstallNotice/UninstallNotise/|THIRD-PARTY-NOTICES.txt" "s/Quillane/Quillan/|UninstallNotice.cdx.json" \
        "s/Quillane/Quillan/|UninstallNotice.nsh"; do
        echo "# ${change#*|}" >&3
        rm -rf forged && forge "$SIGNED" forged
        sed -i "${change%|*}" "forged/${change#*|}"
        reseal forged
        verify_release forged
        assert_refused_unbuilt "verify-release: SHA256SUMS.sig is not a good signature of SHA256SUMS by the allowed signers $ALLOWED: Signature verification failed: incorrect signature"
    done
    # With nobody's word asked for, the commit and the rebuild decide.
    rm forged/SHA256SUMS.sig
    verify_only forged "CAFILE=$CA"
    assert_refused_unbuilt "verify-release: UninstallNotice.nsh in forged is not the one of commit $COMMIT"
}

@test "the allowed signers decide: another key, a key retired, another namespace" {
    ssh-keygen -q -t ed25519 -N '' -f other
    printf '%s %s\n' "$PRINCIPAL" "$(cut -d' ' -f1,2 other.pub)" >other-signers
    sed 's/namespaces="[^"]*"/valid-before="20200101"/' "$ALLOWED" >retired
    sed 's/namespaces="[^"]*"/namespaces="git"/' "$ALLOWED" >git-only
    local file text
    for file in other-signers retired git-only; do
        echo "# $file" >&3
        verify_only "$SIGNED" "ALLOWED_SIGNERS=$file" "CAFILE=$CA"
        assert_one_line_failure_with "verify-release: SHA256SUMS.sig is not a good signature of SHA256SUMS by the allowed signers $file:"
    done
}

# The faults: a release signed with an RSA-1024 key, an MD5- or SHA-1-signed
# certificate, or a certificate not meant for code signing verified ok,
# pinned to it. Here the publisher's own key vouches for such a release: the
# policy refuses it all the same.
@test "programs signed outside the policy are refused, though the publisher's key vouches for them" {
    local cases=(
        "RSA 1024|rsa:1024|sha256|extendedKeyUsage=codeSigning\n|has an RSA key of 1024 bits, fewer than 2048"
        "signed with SHA-1|rsa:2048|sha1|extendedKeyUsage=codeSigning\n|uses sha1, not SHA-256 or stronger"
        "no extended key usage|rsa:2048|sha256|keyUsage=critical,keyEncipherment\n|is not meant for code signing (its extended key usage: none)"
    )
    for case in "${cases[@]}"; do
        IFS='|' read -r name spec digest extensions text <<<"$case"
        echo "# $name" >&3
        certificate "$name" "$spec" "$digest" "basicConstraints=CA:FALSE\n$extensions"
        rm -rf forged && forge "$UNSIGNED" forged
        for program in UninstallNotice.exe FilesInUse.exe; do
            rm -f "forged/$program"
            osslsigncode sign -certs "$name.pem" -key "$name.key" -h sha256 \
                -in "$UNSIGNED/$program" -out "forged/$program" >/dev/null || fail "cannot sign"
        done
        sed -i "/^Tree: /a Authenticode-Certificate: $(certificate_sha256 "$name.pem")" forged/BUILDINFO
        resign forged
        verify_release forged
        assert_refused_unbuilt "verify-release: the signature of UninstallNotice.exe does not verify against $CA, pinned to the certificate SHA-256 $(certificate_sha256 "$name.pem"): the certificate of Common Name: $name $text"
    done
    # The same digests for the image: refused by name too.
    rm -rf forged && forge "$UNSIGNED" forged
    for program in UninstallNotice.exe FilesInUse.exe; do
        rm -f "forged/$program"
        (cd "$FIXTURE" && osslsigncode sign -pkcs11module "$MODULE" -key "$KEY" -certs "$CERT" \
            -readpass "$PIN" -h sha1 -in "$UNSIGNED/$program" -out "$BATS_TEST_TMPDIR/forged/$program") >/dev/null
    done
    sed -i "/^Tree: /a Authenticode-Certificate: $CERT_SHA256" forged/BUILDINFO
    resign forged
    verify_release forged
    assert_refused_unbuilt "verify-release: the signature of UninstallNotice.exe does not verify against $CA, pinned to the certificate SHA-256 $CERT_SHA256: the image's digest uses sha1, not SHA-256 or stronger"
}

# The faults: openssl also trusted the default CA folder (SSL_CERT_DIR),
# while the verdict named one CA file; and a certificate issued by one that
# may issue none was refused with a message that said otherwise.
@test "only the CA file is trusted, never the caller's SSL_CERT_DIR; a certificate's issuer that is no CA is named so" {
    mkdir stranger-cas
    openssl req -x509 -newkey rsa:2048 -nodes -keyout stranger-cas/ca.key -out stranger-cas/ca.pem \
        -days 5 -subj "/CN=Stranger CA" -addext basicConstraints=critical,CA:TRUE \
        -addext keyUsage=critical,keyCertSign 2>/dev/null
    openssl rehash stranger-cas
    openssl req -new -newkey rsa:2048 -nodes -keyout stranger.key -subj "/CN=Stranger" -out stranger.csr 2>/dev/null
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >leaf.ext
    openssl x509 -req -in stranger.csr -CA stranger-cas/ca.pem -CAkey stranger-cas/ca.key -CAcreateserial \
        -days 5 -sha256 -extfile leaf.ext -out stranger.pem 2>/dev/null
    # And one issued by the publisher's own certificate, which is no CA.
    openssl req -new -newkey rsa:2048 -nodes -keyout under.key -subj "/CN=Under The Publisher" \
        -out under.csr 2>/dev/null
    openssl x509 -req -in under.csr -CA "$FIXTURE/publisher.pem" -engine pkcs11 -CAkeyform engine \
        -CAkey "$KEY" -passin "file:$PIN" -CAcreateserial -days 5 -sha256 -extfile leaf.ext \
        -out under.pem 2>/dev/null || fail "cannot issue under the publisher"
    cat under.pem "$FIXTURE/publisher.pem" >under-chain.pem
    local signer chain text
    for signer in "stranger|stranger.pem|unable to get local issuer certificate" \
        "under|under-chain.pem|invalid CA certificate"; do
        IFS='|' read -r name chain text <<<"$signer"
        echo "# $name" >&3
        rm -rf forged && forge "$UNSIGNED" forged
        for program in UninstallNotice.exe FilesInUse.exe; do
            rm -f "forged/$program"
            osslsigncode sign -certs "$chain" -key "$name.key" -h sha256 -in "$UNSIGNED/$program" \
                -out "forged/$program" >/dev/null || fail "cannot sign"
        done
        local leaf=$name.pem
        [ "$name" = stranger ] || leaf=under.pem
        sed -i "/^Tree: /a Authenticode-Certificate: $(certificate_sha256 "$leaf")" forged/BUILDINFO
        resign forged
        SSL_CERT_DIR=$PWD/stranger-cas SSL_CERT_FILE=$PWD/stranger-cas/ca.pem verify_release forged
        assert_refused_unbuilt "verify-release: the signature of UninstallNotice.exe does not verify against $CA, pinned to the certificate SHA-256 $(certificate_sha256 "$leaf"): Verify error: $text"
    done
}

@test "a pin must be BUILDINFO's, and an unsigned release has no certificate to pin" {
    verify_release "$SIGNED" "PIN=$(printf 'b%.0s' {1..64})"
    assert_refused_unbuilt "verify-release: BUILDINFO names the certificate SHA-256 $CERT_SHA256, not $(printf 'b%.0s' {1..64}) (PIN)"
    verify_only "$UNSIGNED" "CAFILE=$CA" "PIN=$CERT_SHA256"
    assert_refused_unbuilt "verify-release: the programs are unsigned, but PIN expects them signed by the certificate SHA-256 $CERT_SHA256"
    # As OpenSSL prints it, it pins alike.
    verify_release "$SIGNED" "PIN=sha256 Fingerprint=$(sed 's/../&:/g; s/:$//' <<<"${CERT_SHA256^^}")" CAFILE=/nowhere
    assert_refused_unbuilt "verify-release: CAFILE is given twice"
}

# The fault: a verifier given 60,000 tiny certificates, or a file of any
# size, was still busy after 120 s.
@test "junk of any size is refused in seconds" {
    forge "$SIGNED" forged
    head -c $((20 * 1024 * 1024)) /dev/zero >forged/UninstallNotice.exe
    SECONDS=0
    verify_release forged
    assert_refused_unbuilt "verify-release: UninstallNotice.exe in forged is larger than any release's (4194304 bytes)"
    rm forged/UninstallNotice.exe && cp "$SIGNED/UninstallNotice.exe" forged/
    head -c 100000 /dev/urandom >forged/SHA256SUMS.sig
    verify_release forged
    assert_refused_unbuilt "verify-release: SHA256SUMS.sig in forged is larger than any release's (16384 bytes)"
    head -c 3000 /dev/urandom >forged/SHA256SUMS.sig
    verify_release forged
    assert_refused_unbuilt "verify-release: SHA256SUMS.sig is not a good signature of SHA256SUMS by the allowed signers $ALLOWED: no key of the allowed signers made it, or it is no SSH signature"
    [ $SECONDS -lt 60 ] || fail "it took $SECONDS s"
}

@test "the file set: an extra file, listed or not; a hidden one; a pattern's match; a link; a line out of the folder" {
    local name
    for name in install.cmd .htaccess 'Setup.exe|UninstallNotice.nsh' 'UninstallNotice.ex.' UninstallNotice.exe.sig; do
        echo "# $name" >&3
        rm -rf forged && forge "$UNSIGNED" forged
        echo "MZ" >"forged/$name"
        reseal forged
        verify_only forged
        assert_refused_unbuilt "verify-release: forged holds '$name', which is no file of a release"
    done
    rm -rf forged && forge "$UNSIGNED" forged
    mv forged/UninstallNotice.iss iss && ln -s "$PWD/iss" forged/UninstallNotice.iss
    verify_only forged
    assert_refused_unbuilt "verify-release: UninstallNotice.iss in forged is a link, not a file"
    rm -rf forged && forge "$UNSIGNED" forged
    local line=$(($(grep -c '' forged/SHA256SUMS) + 1)) target
    for target in ../../../../../../../../../../etc/hostname /dev/zero; do
        echo "$(printf '0%.0s' {1..64})  $target" >>forged/SHA256SUMS
        run --separate-stderr timeout -k 5 60 bash "$REPO/release/verify-release.sh" forged
        [ "$status" -ne 124 ] || fail "still running after 60 s"
        assert_refused_unbuilt "verify-release: SHA256SUMS line $line is not '<sha256>  <file name>': '$(printf '0%.0s' {1..64})  $target'"
        sed -i '$d' forged/SHA256SUMS
    done
}

@test "BUILDINFO: a key twice, a key that no release has, escape sequences, another commit, another version" {
    local line
    for line in "Version: 7.7.7" "Program: FilesInUse.exe $(printf '0%.0s' {1..64})" "Reviewed-by: Security Team, no findings"; do
        echo "# $line" >&3
        rm -rf forged && forge "$UNSIGNED" forged
        echo "$line" >>forged/BUILDINFO
        reseal forged
        verify_only forged
        assert_one_line_failure_with "verify-release: BUILDINFO "
        [[ $stderr == *"more than once"* || $stderr == *"a key that no release has"* ]] ||
            fail "expected the key named, saw: $stderr"
    done
    rm -rf forged && forge "$UNSIGNED" forged
    sed -i "s/^Tree: .*/Tree: clean$(printf '\r\033[2K')verify-release: ok: all good$(printf '\033[8m')/" forged/BUILDINFO
    reseal forged
    verify_only forged
    assert_refused_unbuilt "verify-release: BUILDINFO holds a byte that is not printable ASCII"
    [[ $stderr$output != *$'\e'* && $stderr$output != *$'\r'* ]] || fail "an escape reached the output"
    rm -rf forged && forge "$UNSIGNED" forged
    sed -i "s/^Commit: .*/Commit: $(printf '1%.0s' {1..40})/" forged/BUILDINFO
    reseal forged
    verify_only forged
    assert_refused_unbuilt "verify-release: BUILDINFO names commit $(printf '1%.0s' {1..40}), but $COMMIT is checked out here: check out the release's commit"
    rm -rf forged && forge "$UNSIGNED" forged
    sed -i "s/^Version: .*/Version: 1.2.4/" forged/BUILDINFO
    reseal forged
    verify_only forged
    assert_refused_unbuilt "verify-release: BUILDINFO says version 1.2.4, but commit ${COMMIT:0:12} is not tagged v1.2.4 (its version tags: v$VERSION)"
}

# The faults: MAKEFLAGS, an --eval or MAKEFILES brought in a stranger's CA
# unseen. Now whatever make passes is named, with its SHA-256. One release
# for both: its cmake's version differs from BUILDINFO's, which is named,
# and the bytes decide.
@test "through make, each trust input is named with its SHA-256, and a folder's name stays data; a tool of another version is named, and the bytes decide" {
    local weird='rel $(touch pwned) `touch pwned2` "q" '"'"'s'"'"' $HOME'
    forge "$UNSIGNED" "$weird"
    sed -i 's/^Package: cmake .*/Package: cmake 0.0-elsewhere/' "$weird/BUILDINFO"
    reseal "$weird"
    run --separate-stderr env MAKEFLAGS="CAFILE=$FIXTURE/tsa.pem" make -s -C "$REPO" -o deps verify-release \
        "DIST=$BATS_TEST_TMPDIR/$weird"
    assert_success
    [ ! -e pwned ] && [ ! -e pwned2 ] && [ ! -e "$REPO/pwned" ] || fail "the name ran"
    assert_line "verify-release: note: cmake is $(dpkg-query -W -f='${Version}' cmake) here, but the release was built with 0.0-elsewhere"
    assert_line --partial "verify-release: ok: version $VERSION, commit $COMMIT"
    assert_line --partial "trusted: allowed signers none, CA file '$FIXTURE/tsa.pem' (SHA-256 $(sha "$FIXTURE/tsa.pem")), pin none given; folder '$BATS_TEST_TMPDIR/$weird'"
}

@test "each wrong input: one plain line" {
    local cases=(
        "|usage: make verify-release DIST=folder"
        "/nowhere|no release folder at /nowhere"
        "$UNSIGNED ALLOWED_SIGNERS=/nowhere|no allowed signers at /nowhere (ALLOWED_SIGNERS)"
        "$UNSIGNED CAFILE=/nowhere|no CA certificates at /nowhere (CAFILE)"
        "$UNSIGNED PIN=abc|PIN is the SHA-256 fingerprint of the publisher's code-signing certificate (64 hex digits), not 'abc'"
        "$UNSIGNED EXPECT_SIGNER=x|'EXPECT_SIGNER=x' is no input of a verification"
    )
    local case arguments text
    for case in "${cases[@]}"; do
        IFS='|' read -r arguments text <<<"$case"
        echo "# $arguments" >&3
        run --separate-stderr bash "$REPO/release/verify-release.sh" $arguments
        assert_one_line_failure_with "verify-release: $text"
    done
}

# The strong core: where nobody's word is asked for, or a forger has the
# publisher's Authenticode key but not the release key, the rebuild from
# the commit decides. A build of a changed notice, its hash in BUILDINFO.
@test "a program built from a changed source, BUILDINFO's hash made its own: the rebuild refuses it" {
    mkdir changed && git -C "$REPO" archive HEAD | tar -x -C changed
    sed -i 's/close any open Explorer windows/save your work first/' changed/notice/notice.cpp
    (cd changed && cmake --preset windows -DNOTICE_VERSION=$VERSION >/dev/null &&
        cmake --build --preset windows --target UninstallNotice >/dev/null) || fail "cannot build the change"
    forge "$UNSIGNED" forged
    cp changed/build/windows/UninstallNotice.exe forged/
    sed -i "s/^Program: UninstallNotice.exe .*/Program: UninstallNotice.exe $(sha forged/UninstallNotice.exe)/" \
        forged/BUILDINFO
    reseal forged
    verify_only forged
    assert_one_line_failure "verify-release: the fresh build of UninstallNotice.exe of $COMMIT has SHA-256 $(sha "$UNSIGNED/UninstallNotice.exe"), but BUILDINFO says $(sha forged/UninstallNotice.exe)"
}
