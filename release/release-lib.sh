# Sourced by release.sh and verify-release.sh: what a release is, how it is
# built, and how its signatures are made and checked.

# Each script runs in an environment made from scratch: nothing of the
# caller's (CXXFLAGS, MAKEFLAGS, SSL_CERT_DIR, GIT_DIR, NODE_OPTIONS…) can
# reach a build or a check, and its inputs come from its own command line
# only. A software token's configuration (SOFTHSM2_CONF, which says where
# its keys are) is the one variable kept, for the token's module alone,
# and a release names it.
#   start_clean "$0" "$@"
start_clean() {
    [ "${UNINSTALLNOTICE_CLEAN_ENVIRONMENT:-}" = 1 ] && return 0
    local keep=()
    [ -z "${SOFTHSM2_CONF:-}" ] || keep=("SOFTHSM2_CONF=$SOFTHSM2_CONF")
    exec env -i PATH=/usr/bin:/bin HOME=/nonexistent LC_ALL=C TZ=UTC UNINSTALLNOTICE_CLEAN_ENVIRONMENT=1 \
        "${keep[@]}" /bin/bash "$@"
}

# Git reads the commit, its files and its tags as the clone holds them:
# never an object that refs/replace puts in the place of another, and no
# settings of the system's.
export GIT_NO_REPLACE_OBJECTS=1 GIT_CONFIG_NOSYSTEM=1

# The Debian packages that shape the bytes of the programs: the compiler
# (the C++ and C drivers, with libstdc++ and libgcc), its binutils, the
# MinGW-w64 headers and C runtime, and CMake.
tool_packages=(g++-mingw-w64-x86-64-win32 gcc-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
    mingw-w64-x86-64-dev mingw-w64-common cmake)

# The programs that ship, as the build names them.
programs=(UninstallNotice.exe FilesInUse.exe)
# The includes that ship beside them, one per installer system, as paths
# in the tree; each is published under its own file name.
includes=(integration/nsis/UninstallNotice.nsh integration/inno/UninstallNotice.iss)

# Every file of a release, by name; a vouched-for release also holds
# SHA256SUMS.sig, the publisher's SSH signature of SHA256SUMS, which lists
# every other file. Nothing else belongs there.
release_files=("${programs[@]}" "${includes[@]##*/}" THIRD-PARTY-NOTICES.txt UninstallNotice.cdx.json
    BUILDINFO SHA256SUMS)
manifest_signature_file=SHA256SUMS.sig
# What an SSH signature of ours says it is for: ssh-keygen signs and
# verifies within a namespace, so that no signature made for anything else
# (a git commit, a login) passes for one of a release.
ssh_namespace=uninstallnotice-release@quillane
# The largest file that any release holds, and the largest signature; a
# bigger one is refused before it is read.
max_bytes=$((4 * 1024 * 1024))
max_signature_bytes=16384

# The first line of BUILDINFO, the keys that it has once, those that it may
# have once, and those that it has once a program or package.
buildinfo_header="# What this release was built from and with; make verify-release checks it."
buildinfo_keys=(Version Commit Tree Publisher-Name Publisher-URL)
buildinfo_optional_keys=(Source-URL Download-URL Publisher-License Publisher-License-URL
    Authenticode-Certificate)

# The versions that a commit releases as: X.Y.Z for each of its tags vX.Y.Z,
# each part 0 to 65535 with no leading zero, that is the commit's own (see
# tag_mismatch); one a line.
#   tag_versions CHECKOUT COMMIT
tag_versions() {
    local tag part ok
    for tag in $(git -C "$1" tag --points-at "$2" 2>/dev/null); do
        [[ $tag =~ ^v(0|[1-9][0-9]{0,4})\.(0|[1-9][0-9]{0,4})\.(0|[1-9][0-9]{0,4})$ ]] || continue
        ok=1
        for part in "${BASH_REMATCH[@]:1}"; do
            [ "$part" -le 65535 ] || ok=0
        done
        [ $ok = 1 ] && [ -z "$(tag_mismatch "$1" "$tag" "$2")" ] && echo "${tag#v}"
    done
}

# VERSIONS (one a line, as tag_versions prints them) as "v1.2.3 v1.2.4", or
# "none".
tag_list() {
    [ -n "$1" ] && sed 's/^/v/' <<<"$1" | xargs || echo none
}

# Why refs/tags/TAG is not COMMIT's own tag, or nothing where it is. A
# plain tag is its ref; a tag object says itself what it is, and a mirror
# can serve one under any name: it counts only where its own header names
# TAG and the commit itself.
#   tag_mismatch CHECKOUT TAG COMMIT
tag_mismatch() {
    local ref=refs/tags/$2 header
    case $(git -C "$1" cat-file -t "$ref" 2>/dev/null) in
    commit)
        [ "$(git -C "$1" rev-parse -q --verify "$ref")" = "$3" ] || echo "it names another commit"
        ;;
    tag)
        header=$(git -C "$1" cat-file tag "$ref" 2>/dev/null | head -n 3)
        if [[ $header != "object "*$'\n'"type "*$'\n'"tag "* ]]; then
            echo "its tag object has no header of a tag"
        elif [ "${header##*$'\n'tag }" != "$2" ]; then
            echo "it holds the tag object of '$(shown "${header##*$'\n'tag }")', not of $2"
        elif [ "$header" != "object $3"$'\n'"type commit"$'\n'"tag $2" ]; then
            echo "its tag object names another object than commit $3"
        fi
        ;;
    *) echo "there is no such tag" ;;
    esac
}

package_version() {
    dpkg-query -W -f='${Version}' "$1" 2>/dev/null | grep . || echo "not-installed"
}

sha256_of() {
    sha256sum <"$1" | cut -c1-64
}

# What in the checkout at $1 is not its commit, on one line, or nothing:
# uncommitted changes to tracked files, untracked files (which a build may
# pick up as readily as tracked ones), and files that git was told to look
# away from (skip-worktree, assume-unchanged). Files that .gitignore names
# are the build's own; a rebuild from the commit catches any other use.
tree_changes() {
    local changed untracked hidden
    git -C "$1" update-index -q --refresh >/dev/null 2>&1
    changed=$(git -C "$1" diff-index --name-only HEAD -- 2>/dev/null | head -n 3 | xargs)
    untracked=$(git -C "$1" ls-files --others --exclude-standard 2>/dev/null | head -n 3 | xargs)
    hidden=$(git -C "$1" ls-files -v 2>/dev/null | grep -E '^([a-z]|S) ' | cut -c3- | head -n 3 | xargs)
    local said=()
    [ -z "$changed" ] || said+=("uncommitted changes to tracked files ($changed)")
    [ -z "$untracked" ] || said+=("untracked files ($untracked)")
    [ -z "$hidden" ] || said+=("files marked skip-worktree or assume-unchanged ($hidden)")
    [ ${#said[@]} -eq 0 ] || shown "$(IFS=';' && echo "${said[*]}" | sed 's/;/; /g')"
}

# TEXT as it may stand in our output: every byte that is not printable
# ASCII becomes \xNN, so that nothing read from a release or a certificate
# can end our line, start another or drive the terminal.
shown() {
    local LC_ALL=C text=$1 out="" char code i
    for ((i = 0; i < ${#text}; i++)); do
        char=${text:i:1}
        if [[ $char == [\ -~] ]]; then
            out+=$char
        else
            printf -v code '%d' "'$char"
            printf -v char '\\x%02X' $((code & 255))
            out+=$char
        fi
    done
    printf '%s' "$out"
}

# Builds the programs of COMMIT, as VERSION, from `git archive` of the
# checkout at ROOT into a fresh FOLDER (never the checkout's build/), and
# beside them what the links pulled in (third-party.json) and its notices
# (THIRD-PARTY-NOTICES.txt); the output of the build goes to FOLDER.log,
# each step bounded. Prints the folder that holds them.
#   build_commit ROOT COMMIT VERSION FOLDER
build_commit() {
    git -C "$1" archive "$2" | tar -x -C "$4" || return 1
    # The npm packages that the notices and the SBOM are written with, as
    # package-lock.json pins them: the checkout's own.
    [ ! -d "$1/node_modules" ] || ln -s "$1/node_modules" "$4/node_modules" || return 1
    (cd "$4" && timeout -k 10 600 cmake --preset windows -DNOTICE_VERSION="$3" &&
        timeout -k 10 1200 cmake --build --preset windows --parallel "$(nproc)" \
            --target UninstallNotice FilesInUse third_party) >"$4.log" 2>&1 || return 1
    echo "$4/build/windows"
}

# Writes FOLDER/UninstallNotice.cdx.json, the SBOM of the release in FOLDER
# (its programs as published, its includes), with the checkout's own tool
# and libraries, and the publisher's inputs as given (PUBLISHER_NAME and the
# rest, as shell variables). Its time is the commit's. Prints the fields
# that it lacks. A verifier gives the release's own SBOM as RELEASED: its
# .deb names and hashes are taken, each checked where apt here knows it,
# and one line "unchecked: ..." is printed for each that apt here cannot
# check.
#   make_sbom ROOT THIRD-PARTY.json FOLDER VERSION COMMIT [RELEASED]
make_sbom() {
    local time files="" name
    time=$(git -C "$1" log -1 --format=%ct "$5") || return 1
    for name in "${includes[@]##*/}"; do
        files+="$3/$name"$'\n'
    done
    env PUBLISHER_NAME="${PUBLISHER_NAME:-}" PUBLISHER_URL="${PUBLISHER_URL:-}" \
        SOURCE_URL="${SOURCE_URL:-}" DOWNLOAD_URL="${DOWNLOAD_URL:-}" \
        PUBLISHER_LICENSE="${PUBLISHER_LICENSE:-}" PUBLISHER_LICENSE_URL="${PUBLISHER_LICENSE_URL:-}" \
        SBOM_VERSION="$4" SBOM_COMMIT="$5" SBOM_TIME="$time" \
        SBOM_PROGRAMS="$(printf "$3/%s\n" "${programs[@]}")" SBOM_INCLUDES="$files" \
        SBOM_DEBS_FROM="${6:-}" timeout -k 5 120 node "$1/release/third-party.mjs" sbom "$2" \
        "$3/UninstallNotice.cdx.json"
}

# The line of a tool's output that says what went wrong, after a space:
# OpenSSL's error stack loses its prefix.
#   reason PATTERN OUTPUT
reason() {
    grep -m1 -E "$1" <<<"$2" | sed -E '
        s/^[0-9A-F]+:error:[0-9A-F]+:[^:]*:[^:]*:([^:]*):[^:]*:[0-9]+:$/\1/
        s/^[0-9A-F]+:error:.*:[0-9]+://
        s/^[[:space:]]*/ /'
}

# A file's SHA-256, as the verdict names a trust input: "'PATH' (SHA-256 …)".
named_file() {
    printf "'%s' (SHA-256 %s)" "$(shown "$1")" "$(sha256_of "$1")"
}

# Checks a signed program: osslsigncode verifies its Authenticode signature
# against CAFILE (the signing certificate, and the time stamp's at the
# stamp's own time), with its certificate pinned to the SHA-256 PIN, and
# the signature's algorithms and keys must be ones that the policy allows
# (authenticode-policy.py). Sets $policy_said (what the policy found) and
# $stamped (the time stamp's time, as osslsigncode gives it, or ""); fails
# with the reason in $verify_error.
#   check_authenticode FILE CAFILE PIN WORK
check_authenticode() {
    local log status
    policy_said="" stamped="" verify_error=""
    # What it is made with first: a signature outside the policy is refused
    # by name, before osslsigncode's own verdict on it.
    timeout -k 5 30 osslsigncode extract-signature -in "$1" -out "$4/signature.der" >/dev/null 2>&1 || {
        verify_error=" it carries no signature that can be read"
        return 1
    }
    log=$(timeout -k 5 30 /usr/bin/python3 "$root/release/authenticode-policy.py" "$4/signature.der" 2>&1)
    status=$?
    rm -f "$4/signature.der"
    case $status in
    0) policy_said=${log#policy: ok: } ;;
    1) verify_error=" $(shown "${log#policy: }")"; return 1 ;;
    *) verify_error=" $(shown "${log#authenticode-policy: }")"; return 1 ;;
    esac
    log=$(timeout -k 5 60 osslsigncode verify -CAfile "$2" -TSA-CAfile "$2" -ignore-cdp \
        -require-leaf-hash "sha256:$3" -in "$1" 2>&1)
    status=$?
    if [ $status -ne 0 ]; then
        verify_error=$(reason 'Verify error|verify error' "$log")
        [ -n "$verify_error" ] || ! grep -q '^Leaf hash match: failed' <<<"$log" ||
            verify_error=" its certificate is not the one whose SHA-256 is $3"
        verify_error=${verify_error:-$(reason 'Error:|error|Failed' "$log")}
        [ $status -ne 124 ] || verify_error=" osslsigncode gave no answer within 60 s"
        verify_error=$(shown "${verify_error:- osslsigncode says it is not good}")
        return 1
    fi
    stamped=$(sed -n 's/^\s*Timestamp time: //p' <<<"$log" | head -n 1)
}

# The SHA-256 fingerprint of a PEM certificate, in lower-case hex digits.
certificate_sha256() {
    openssl x509 -in "$1" -noout -fingerprint -sha256 2>/dev/null | sed 's/.*=//; s/://g' | tr 'A-F' 'a-f'
}

# Checks SIGNATURE, an SSH signature of FILE within our namespace, against
# the allowed signers in ALLOWED (each line a principal and a key, as
# ssh-keygen reads them): sets $ssh_principal and $ssh_key (the key's
# SHA256 fingerprint) from ssh-keygen's own answer; fails with the reason
# in $verify_error.
#   check_ssh_signature ALLOWED SIGNATURE FILE
check_ssh_signature() {
    local principals log
    ssh_principal="" ssh_key="" verify_error=""
    principals=$(timeout -k 5 30 ssh-keygen -Y find-principals -f "$1" -s "$2" 2>/dev/null | head -n 1)
    if [ -z "$principals" ]; then
        verify_error=" no key of the allowed signers made it, or it is no SSH signature"
        return 1
    fi
    log=$(timeout -k 5 30 ssh-keygen -Y verify -f "$1" -I "$principals" -n "$ssh_namespace" -s "$2" <"$3" 2>&1) || {
        verify_error=$(shown "$(head -n 1 <<<"$log" | tr -d '\r')")
        verify_error=" ${verify_error:-ssh-keygen says it is not good}"
        return 1
    }
    [[ $log =~ ^Good\ \"[^\"]*\"\ signature\ for\ (.*)\ with\ [A-Z0-9-]+\ key\ (SHA256:[A-Za-z0-9+/]+)$ ]] || {
        verify_error=" ssh-keygen's answer is not one it gives for a good signature: '$(shown "$log")'"
        return 1
    }
    ssh_principal=$(shown "${BASH_REMATCH[1]}") ssh_key=${BASH_REMATCH[2]}
}
