# Sourced by release.sh and verify-release.sh: what a release records of how
# it was built, and how a signature on it is read back.

# The Debian packages that shape the bytes of UninstallNotice.exe: the
# compiler (the C++ and C drivers, with libstdc++ and libgcc), its binutils,
# the MinGW-w64 headers and C runtime, and CMake.
tool_packages=(g++-mingw-w64-x86-64-win32 gcc-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
    mingw-w64-x86-64-dev mingw-w64-common cmake)

# The includes that ship beside the program, one per installer system, as
# paths in the tree; each is published under its own file name.
includes=(integration/nsis/UninstallNotice.nsh integration/inno/UninstallNotice.iss)

# Every file of a release, as make release writes it, by name; a signed
# release also holds the detached signature. Nothing else belongs there.
release_files=(UninstallNotice.exe "${includes[@]##*/}" THIRD-PARTY-NOTICES.txt UninstallNotice.cdx.json
    BUILDINFO SHA256SUMS)
signature_file=UninstallNotice.exe.sig
# The first line of BUILDINFO, the keys that it always has (besides one
# "Package:" for each of tool_packages) and those that it may have.
buildinfo_header="# What this release was built from and with; make verify-release checks it."
buildinfo_keys=(Version Commit Tree Unsigned-SHA256 Publisher-Name Publisher-URL)
buildinfo_optional_keys=(Source-URL Download-URL Publisher-License)

# The versions that a commit releases as: X.Y.Z for each of its tags vX.Y.Z,
# each part 0 to 65535 with no leading zero; one a line.
#   tag_versions CHECKOUT COMMIT
tag_versions() {
    local tag part ok
    for tag in $(git -C "$1" tag --points-at "$2" 2>/dev/null); do
        [[ $tag =~ ^v(0|[1-9][0-9]{0,4})\.(0|[1-9][0-9]{0,4})\.(0|[1-9][0-9]{0,4})$ ]] || continue
        ok=1
        for part in "${BASH_REMATCH[@]:1}"; do
            [ "$part" -le 65535 ] || ok=0
        done
        [ $ok = 0 ] || echo "${tag#v}"
    done
}

package_version() {
    dpkg-query -W -f='${Version}' "$1" 2>/dev/null | grep . || echo "not-installed"
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

# Builds the exe of COMMIT, as VERSION, from `git archive` of the checkout
# at ROOT into a fresh FOLDER (never the checkout's build/), and beside it
# what the link pulled in (third-party.json) and its notices
# (THIRD-PARTY-NOTICES.txt); the output of the build goes to FOLDER.log.
# Prints the exe's path.
#   build_commit ROOT COMMIT VERSION FOLDER
build_commit() {
    git -C "$1" archive "$2" | tar -x -C "$4" || return 1
    (cd "$4" && cmake --preset windows -DNOTICE_VERSION="$3" &&
        cmake --build --preset windows --target UninstallNotice third_party) >"$4.log" 2>&1 || return 1
    echo "$4/build/windows/UninstallNotice.exe"
}

# Writes FOLDER/UninstallNotice.cdx.json, the SBOM of the release in FOLDER
# (its exe as published, its includes), with the checkout's own tool and
# libraries, and the publisher's inputs from the environment. Its time is
# the commit's. Prints the fields that it lacks for want of an input.
#   make_sbom ROOT THIRD-PARTY.json FOLDER VERSION COMMIT
make_sbom() {
    local time list="" name
    time=$(git -C "$1" log -1 --format=%ct "$5") || return 1
    for name in "${includes[@]##*/}"; do
        list+="$3/$name"$'\n'
    done
    SBOM_VERSION=$4 SBOM_COMMIT=$5 SBOM_TIME=$time SBOM_EXE=$3/UninstallNotice.exe SBOM_INCLUDES=$list \
        node "$1/release/third-party.mjs" sbom "$2" "$3/UninstallNotice.cdx.json"
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

# Verifies a signed file against CAFILE, and reads from the signature's
# structure who signed it and when it was stamped (never from osslsigncode's
# report, which prints the description that the signer chose as it stands):
# sets $signer (the certificate's subject, shown), $signer_sha256 (its
# fingerprint) and $stamped (the time of an RFC 3161 time stamp that
# verifies against CAFILE; "" for none, and $stamp_kind says "legacy" for an
# older counter-signature that is not checked here). Fails with the reason
# in $verify_error.
#   read_signature FILE CAFILE
read_signature() {
    local log work info
    signer="" signer_sha256="" stamped="" stamp_kind=none verify_error=""
    log=$(osslsigncode verify -CAfile "$2" -TSA-CAfile "$2" -in "$1" 2>&1) || {
        # OpenSSL's own words first ("certificate has expired"), then any.
        verify_error=$(reason 'Verify error' "$log")
        verify_error=${verify_error:-$(reason 'Error:|error|Failed' "$log")}
        verify_error=$(shown "$verify_error")
        return 1
    }
    work=$(mktemp -d) || { verify_error=" cannot make a temporary folder"; return 1; }
    if ! osslsigncode extract-signature -in "$1" -out "$work/signature" >/dev/null 2>&1; then
        verify_error=" cannot extract the signature"
    elif ! info=$("$root/release/signature-info.py" "$work/signature" "$work" 2>&1); then
        verify_error=" $(shown "${info#signature-info: }")"
    else
        signer=$(shown "$(openssl x509 -in "$work/signer.pem" -noout -subject -nameopt compat |
            sed 's/^subject=//')")
        signer_sha256=$(openssl x509 -in "$work/signer.pem" -noout -fingerprint -sha256 |
            sed 's/.*=//; s/://g' | tr 'A-F' 'a-f')
        case $info in
        "time-stamp=rfc3161 "*)
            stamp_kind=rfc3161
            if openssl ts -verify -token_in -in "$work/token.der" -data "$work/stamped.bin" \
                -CAfile "$2" >/dev/null 2>&1; then
                stamped=${info#time-stamp=rfc3161 }
            else
                verify_error=" its time stamp does not verify against $(shown "$2")"
            fi
            ;;
        time-stamp=legacy) stamp_kind=legacy ;;
        esac
    fi
    rm -rf "$work"
    [ -z "$verify_error" ]
}
