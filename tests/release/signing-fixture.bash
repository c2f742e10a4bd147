# Loaded by the release tests: a publisher as they sign today, all on this
# machine. A SoftHSM2 token in a temporary folder with a key generated on it,
# a throwaway CA that issued the key's code-signing certificate (valid for 10
# days) and a time-stamping certificate, a local RFC 3161 service on
# 127.0.0.1; the release key, an SSH key in a file, with its allowed-signers
# line; and a git checkout of this tree with the build's programs, for
# releases that must be rebuilt from their commit.

bats_load_library bats-support
bats_load_library bats-assert

ROOT=$(cd "$BATS_TEST_DIRNAME/../.." && pwd)
: "${BUILD_DIR:=$ROOT/build/windows}"
MODULE=/usr/lib/softhsm/libsofthsm2.so

# make_publisher DIR: the token, its key and certificate, the CA, the
# time-stamping service; everything the tests use is exported.
make_publisher() {
    local dir=$1 so_pin=87654321 pin=pin-4711-quillane
    export FIXTURE=$dir
    mkdir -p "$dir/tokens" && cd "$dir" || return 1
    printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$dir" \
        >softhsm2.conf
    export SOFTHSM2_CONF=$dir/softhsm2.conf
    echo $pin >pin.txt && printf 'not-the-pin-0000\n' >wrong-pin.txt
    softhsm2-util --init-token --free --label "Quillane Test" --so-pin $so_pin --pin $pin >/dev/null &&
        pkcs11-tool --module $MODULE --token-label "Quillane Test" --login --pin $pin \
            --keypairgen --key-type rsa:2048 --label publisher --id 01 >/dev/null 2>&1 ||
        fail "cannot make a SoftHSM2 token with a key on it"
    export KEY="pkcs11:token=Quillane%20Test;object=publisher;type=private"

    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 365 \
        -subj "/CN=Quillane Test CA" -addext basicConstraints=critical,CA:TRUE \
        -addext keyUsage=critical,keyCertSign >/dev/null 2>&1 || fail "cannot make the CA"
    # The key's certificate request is signed on the token, through OpenSSL's
    # pkcs11 engine (which finds SoftHSM2 through p11-kit).
    openssl req -new -engine pkcs11 -keyform engine -key "$KEY" -passin file:pin.txt \
        -subj "/CN=Quillane Test Publisher" -out publisher.csr >/dev/null 2>&1 &&
        issue publisher 10 codeSigning || fail "cannot certify the token's key"
    openssl x509 -in publisher.pem -outform der -out publisher.der &&
        pkcs11-tool --module $MODULE --token-label "Quillane Test" --login --pin $pin \
            --write-object publisher.der --type cert --label publisher --id 01 >/dev/null 2>&1 ||
        fail "cannot put the certificate on the token"
    export CERT=$dir/publisher.pem CA=$dir/ca.pem PIN=$dir/pin.txt WRONG_PIN=$dir/wrong-pin.txt
    export CERT_SHA256=$(openssl x509 -in publisher.pem -noout -fingerprint -sha256 |
        sed 's/.*=//; s/://g' | tr 'A-F' 'a-f')

    openssl req -new -newkey rsa:2048 -nodes -keyout tsa.key -subj "/CN=Quillane Test Time Stamps" \
        -out tsa.csr >/dev/null 2>&1 && issue tsa 365 critical,timeStamping ||
        fail "cannot make the time-stamping certificate"
    cat >tsa.cnf <<EOF
[ tsa ]
default_tsa = stamps
[ stamps ]
serial = $dir/tsa.serial
crypto_device = builtin
signer_cert = $dir/tsa.pem
certs = $dir/ca.pem
signer_key = $dir/tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
EOF
    echo 01 >tsa.serial
    # The service's stdio leaves bats' own descriptors alone, or bats would
    # wait for it.
    "$BATS_TEST_DIRNAME/timestamp-service.py" tsa.cnf port >service.log 2>&1 3>&- &
    echo $! >service.pid
    for _ in $(seq 100); do [ -s port ] && break; sleep 0.1; done
    [ -s port ] || fail "the time-stamping service did not start: $(cat service.log)"
    export TSA=http://127.0.0.1:$(cat port)
    # The release key, and the line that a verifier is given for it; the
    # token's key, as an SSH public key, for a release key on the token.
    ssh-keygen -q -t ed25519 -N '' -C release -f release-key || fail "cannot make the release key"
    export RELEASE_KEY_FILE=$dir/release-key PRINCIPAL=release@quillane.example
    printf '%s namespaces="git,uninstallnotice-release@quillane" %s\n' "$PRINCIPAL" \
        "$(cut -d' ' -f1,2 release-key.pub)" >allowed-signers
    export ALLOWED=$dir/allowed-signers
    ssh-keygen -D "$MODULE" 2>/dev/null | head -n 1 >token-key.pub
    grep -q '^ssh-rsa ' token-key.pub || fail "cannot read the token's key as an SSH key"
    export TOKEN_SSH_KEY=$dir/token-key.pub
    # A port on which nothing listens.
    export NO_TSA=http://127.0.0.1:$(/usr/bin/python3 -c 'import socket; s = socket.socket()
s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
}

# issue NAME DAYS EXTENDED-KEY-USAGE: the CA certifies NAME.csr into NAME.pem.
issue() {
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n' \
        "$3" >"$1.ext"
    openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days "$2" \
        -extfile "$1.ext" -out "$1.pem" >/dev/null 2>&1
}

stop_publisher() {
    [ -f "$FIXTURE/service.pid" ] && kill "$(cat "$FIXTURE/service.pid")" 2>/dev/null
    true
}

# make_checkout DIR: this tree as it is now, committed into a git checkout of
# its own and tagged as version $VERSION, with that version's exe built in
# its build folder. Exports REPO, COMMIT and VERSION.
make_checkout() {
    export REPO=$1 VERSION=1.2.3
    mkdir -p "$REPO" || return 1
    (cd "$ROOT" && git ls-files -z --cached --others --exclude-standard |
        xargs -0 -I{} sh -c '[ ! -e "$1" ] || cp --parents -P "$1" "$2"' _ {} "$REPO") &&
        git -C "$REPO" init -q && git -C "$REPO" add -A &&
        git -C "$REPO" -c user.name=Test -c user.email=test@example.invalid commit -q -m release &&
        git -C "$REPO" tag "v$VERSION" || fail "cannot make a checkout"
    # The tools that make and check the SBOM, as npm installed them here.
    ln -s "$ROOT/node_modules" "$REPO/node_modules"
    export COMMIT=$(git -C "$REPO" rev-parse HEAD)
    build_checkout
}

# build_checkout: the programs of the checkout as it is now, as version
# $VERSION. Its sources are touched, so that a header that a test plants or
# removes, which make has never seen, counts too.
build_checkout() {
    touch "$REPO"/notice/*.cpp "$REPO"/inuse/*.cpp
    (cd "$REPO" && cmake --preset windows -DNOTICE_VERSION=$VERSION &&
        cmake --build --preset windows --parallel "$(nproc)" \
            --target UninstallNotice FilesInUse third_party) >"$REPO.build.log" 2>&1 ||
        fail "cannot build version $VERSION in the checkout: $(tail -n 5 "$REPO.build.log")"
}

# release_sh OUT [NAME=VALUE...]: release.sh on the checkout, with only the
# given inputs, and a publisher unless they name another.
release_sh() {
    local out=$1 argument name
    shift
    # A later setting of a name stands in for an earlier one, as on make's
    # command line; the script takes each name once.
    declare -A last=()
    local inputs=("PUBLISHER_NAME=Quillane Test Publisher" PUBLISHER_URL=https://quillane.example "$@") kept=()
    for argument in "${inputs[@]}"; do
        last[${argument%%=*}]=$argument
    done
    for argument in "${inputs[@]}"; do
        name=${argument%%=*}
        [ -z "${last[$name]+1}" ] || { kept+=("${last[$name]}"); unset "last[$name]"; }
    done
    bash "$REPO/release/release.sh" --no-build "$out" "${kept[@]}"
}

# release OUT [NAME=VALUE...]: the same, run for a test to judge: its output
# in $output, its error lines in $stderr.
release() {
    run --separate-stderr release_sh "$@"
}

# make_release OUT [NAME=VALUE...]: a release that a test starts from; what
# it printed is kept in OUT.log.
make_release() {
    release_sh "$@" >"$1.log" 2>&1 || fail "cannot make the release $1: $(cat "$1.log")"
}

# The token's settings for `release`, in the array $token.
token_settings() {
    token=(SIGN_PKCS11_MODULE=$MODULE "SIGN_KEY=$KEY" "SIGN_CERT=$CERT" "SIGN_PIN_FILE=$PIN")
}

# certificate NAME KEY-SPEC DIGEST EXTENSIONS: a certificate that the CA
# issues with those, and its key, as a PKCS#12 file NAME.pfx whose password
# is in password.txt.
certificate() {
    openssl req -new -newkey "$2" -nodes -keyout "$1.key" -subj "/CN=$1" -out "$1.csr" 2>/dev/null &&
        printf "$4" >"$1.ext" &&
        openssl x509 -req -in "$1.csr" -CA "$FIXTURE/ca.pem" -CAkey "$FIXTURE/ca.key" -CAcreateserial \
            -days 5 "-$3" -extfile "$1.ext" -out "$1.pem" 2>/dev/null &&
        echo "file password" >password.txt &&
        openssl pkcs12 -export -inkey "$1.key" -in "$1.pem" -out "$1.pfx" -passout file:password.txt ||
        fail "cannot make the certificate $1"
}

# One plain line on stderr, and a non-zero exit.
assert_one_line_failure() {
    assert_failure
    assert_equal "$(grep -c '' <<<"$stderr")" 1
    [ -z "${1:-}" ] || assert_equal "$stderr" "$1"
}

# The same, with TEXT somewhere in the line.
assert_one_line_failure_with() {
    assert_one_line_failure
    [[ $stderr == *"$1"* ]] || fail "expected '$1' in the line, saw '$stderr'"
}

# The SHA-256 fingerprint of a PEM certificate, in lower-case hex digits.
certificate_sha256() {
    openssl x509 -in "$1" -noout -fingerprint -sha256 | sed 's/.*=//; s/://g' | tr 'A-F' 'a-f'
}
