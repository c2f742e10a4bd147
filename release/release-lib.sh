# Sourced by release.sh and verify-release.sh: what a release records of how
# it was built, and how a signature on it is read back.

# Git reads the commit, its files and its tags as the clone holds them:
# never from another object store, index or work tree that the caller's
# environment names (a loose object there is taken for what its name says,
# whatever it holds), and never an object that refs/replace puts in the
# place of another. So no GIT_* of the caller's reaches any git call.
ignored_git_variables=$(compgen -e | grep '^GIT_' | xargs)
for name in $ignored_git_variables; do
    unset "$name"
done
export GIT_NO_REPLACE_OBJECTS=1

# The Debian packages that shape the bytes of UninstallNotice.exe: the
# compiler (the C++ and C drivers, with libstdc++ and libgcc), its binutils,
# the MinGW-w64 headers and C runtime, and CMake.
tool_packages=(g++-mingw-w64-x86-64-win32 gcc-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
    mingw-w64-x86-64-dev mingw-w64-common cmake)

# What a release takes from its caller, by name (make release passes each).
release_inputs=(SIGN_PFX SIGN_PASSWORD_FILE SIGN_PKCS11_MODULE SIGN_KEY SIGN_CERT SIGN_PIN_FILE
    SIGN_TIMESTAMP_URL SIGN_CAFILE PUBLISHER_NAME PUBLISHER_URL SOURCE_URL DOWNLOAD_URL
    PUBLISHER_LICENSE PUBLISHER_LICENSE_URL RELEASE_SIGN_TIMEOUT RELEASE_ALLOW_DIRTY)

# The includes that ship beside the program, one per installer system, as
# paths in the tree; each is published under its own file name.
includes=(integration/nsis/UninstallNotice.nsh integration/inno/UninstallNotice.iss)

# Every file of a release, as make release writes it, by name; a signed
# release also holds the exe's detached signature (listed in SHA256SUMS) and
# the signature of SHA256SUMS itself, which vouches for every other file.
# Nothing else belongs there.
release_files=(UninstallNotice.exe "${includes[@]##*/}" THIRD-PARTY-NOTICES.txt UninstallNotice.cdx.json
    BUILDINFO SHA256SUMS)
signature_file=UninstallNotice.exe.sig
manifest_signature_file=SHA256SUMS.sig
# The first line of BUILDINFO, the keys that it always has (besides one
# "Package:" for each of tool_packages) and those that it may have.
buildinfo_header="# What this release was built from and with; make verify-release checks it."
buildinfo_keys=(Version Commit Tree Unsigned-SHA256 Publisher-Name Publisher-URL)
buildinfo_optional_keys=(Source-URL Download-URL Publisher-License Publisher-License-URL)

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

# Where each build that decides a release's bytes runs: an environment made
# from scratch, so that nothing of the caller's (CXXFLAGS, CPATH, LDFLAGS,
# MAKEFLAGS, NODE_OPTIONS, git's settings, a PATH with another compiler
# first) reaches the exe, the notices or the SBOM. Every tool that they use
# is one of Debian's, in /usr/bin; HOME is a folder that holds nothing; git
# reads no system settings and takes no object for another (git replace).
#   clean_env [NAME=VALUE...] COMMAND...
clean_env() {
    env -i PATH=/usr/bin:/bin HOME=/nonexistent LC_ALL=C TZ=UTC GIT_CONFIG_NOSYSTEM=1 \
        GIT_NO_REPLACE_OBJECTS=1 "$@"
}

# The variables of the caller's environment that a compiler, linker, make,
# CMake or node reads and that clean_env therefore leaves out, on one line;
# nothing where none is set (git's are gone already: ignored_git_variables). Make's own (MAKEFLAGS, MAKELEVEL), which
# it sets for every recipe, are left out too, without a word.
dropped_build_variables() {
    local LC_ALL=C
    compgen -e | grep -E '^(CC|CXX|CPP|RC|AS|LD|AR|NM|OBJCOPY|STRIP|WINDRES|CFLAGS|CXXFLAGS|CPPFLAGS|LDFLAGS|RCFLAGS|ASMFLAGS|LDLIBS|CPATH|C_INCLUDE_PATH|CPLUS_INCLUDE_PATH|OBJC_INCLUDE_PATH|LIBRARY_PATH|COMPILER_PATH|GCC_[A-Z_]+|DEPENDENCIES_OUTPUT|SUNPRO_DEPENDENCIES|SOURCE_DATE_EPOCH|LD_[A-Z_]+|MAKEFILES|CMAKE_[A-Z_]+|CTEST_[A-Z_]+|NODE_(OPTIONS|PATH|ICU_DATA|PRESERVE_SYMLINKS)|DEB_[A-Z_]*FLAGS[A-Z_]*)$' | xargs
}

# clean_env, with the publisher's inputs as the environment holds them
# (make release's, or BUILDINFO's in verify-release) and nothing else.
#   publisher_env COMMAND...
publisher_env() {
    clean_env PUBLISHER_NAME="${PUBLISHER_NAME:-}" PUBLISHER_URL="${PUBLISHER_URL:-}" \
        SOURCE_URL="${SOURCE_URL:-}" DOWNLOAD_URL="${DOWNLOAD_URL:-}" \
        PUBLISHER_LICENSE="${PUBLISHER_LICENSE:-}" PUBLISHER_LICENSE_URL="${PUBLISHER_LICENSE_URL:-}" "$@"
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
# at ROOT into a fresh FOLDER (never the checkout's build/), in a clean
# environment, and beside it
# what the link pulled in (third-party.json) and its notices
# (THIRD-PARTY-NOTICES.txt); the output of the build goes to FOLDER.log.
# Prints the exe's path.
#   build_commit ROOT COMMIT VERSION FOLDER
build_commit() {
    clean_env git -C "$1" archive "$2" | tar -x -C "$4" || return 1
    # The npm packages that the notices and the SBOM are written with, as
    # package-lock.json pins them: the checkout's own.
    [ ! -d "$1/node_modules" ] || ln -s "$1/node_modules" "$4/node_modules" || return 1
    (cd "$4" && clean_env cmake --preset windows -DNOTICE_VERSION="$3" &&
        clean_env cmake --build --preset windows --target UninstallNotice FilesInUse third_party) \
        >"$4.log" 2>&1 ||
        return 1
    echo "$4/build/windows/UninstallNotice.exe"
}

# Writes FOLDER/UninstallNotice.cdx.json, the SBOM of the release in FOLDER
# (its exe as published, its includes), with the checkout's own tool and
# libraries, and the publisher's inputs from the environment. Its time is
# the commit's. Prints the fields that it lacks. A verifier gives the
# release's own SBOM as RELEASED: its .deb names and hashes are taken, each
# checked where apt here knows it, and one line "unchecked: ..." is printed
# for each that apt here cannot check.
#   make_sbom ROOT THIRD-PARTY.json FOLDER VERSION COMMIT [RELEASED]
make_sbom() {
    local time list="" name
    time=$(git -C "$1" log -1 --format=%ct "$5") || return 1
    for name in "${includes[@]##*/}"; do
        list+="$3/$name"$'\n'
    done
    publisher_env SBOM_VERSION="$4" SBOM_COMMIT="$5" SBOM_TIME="$time" \
        SBOM_PROGRAMS="$3/UninstallNotice.exe"$'\n'"$3/FilesInUse.exe" \
        SBOM_INCLUDES="$list" SBOM_DEBS_FROM="${6:-}" node "$1/release/third-party.mjs" sbom "$2" "$3/UninstallNotice.cdx.json"
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

# Reads a signature's structure with signature-info.py (KIND authenticode or
# cms) into FOLDER, which refuses all that its signer did not sign and every
# certificate that is neither CAFILE's own nor checked against its issuer's
# key, and checks its time stamp, if any, against CAFILE: sets
# $signer (the certificate's subject, shown), $signer_sha256 (its
# fingerprint), $stamped (the time of the RFC 3161 time stamp, "" for none)
# and $stamped_epoch. A signature that carries anything its signer did not
# sign is refused. Fails with the reason in $verify_error.
#   signature_structure KIND SIGNATURE CAFILE FOLDER
signature_structure() {
    local info
    signer="" signer_sha256="" stamped="" stamped_epoch="" verify_error=""
    if ! info=$("$root/release/signature-info.py" "$1" "$2" "$3" "$4" 2>&1); then
        verify_error=" $(shown "${info#signature-info: }")"
        return 1
    fi
    signer=$(shown "$(openssl x509 -in "$4/signer.pem" -noout -subject -nameopt compat |
        sed 's/^subject=//')")
    signer_sha256=$(openssl x509 -in "$4/signer.pem" -noout -fingerprint -sha256 |
        sed 's/.*=//; s/://g' | tr 'A-F' 'a-f')
    case $info in
    "time-stamp=rfc3161 "*)
        openssl ts -verify -token_in -in "$4/token.der" -data "$4/stamped.bin" -CAfile "$3" \
            >/dev/null 2>&1 || {
            verify_error=" its time stamp does not verify against $(shown "$3")"
            return 1
        }
        info=${info#time-stamp=rfc3161 }
        stamped=${info% *} stamped_epoch=${info##* }
        ;;
    esac
}

# Verifies a signed exe against CAFILE, and reads from the signature's
# structure who signed it and when it was stamped (never from osslsigncode's
# report, which prints the description that the signer chose as it
# stands); sets what signature_structure sets.
#   read_signature FILE CAFILE
read_signature() {
    local log work status
    verify_error=""
    log=$(osslsigncode verify -CAfile "$2" -TSA-CAfile "$2" -in "$1" 2>&1) || {
        # OpenSSL's own words first ("certificate has expired"), then any.
        verify_error=$(reason 'Verify error' "$log")
        verify_error=${verify_error:-$(reason 'Error:|error|Failed' "$log")}
        verify_error=$(shown "$verify_error")
        return 1
    }
    work=$(mktemp -d) || { verify_error=" cannot make a temporary folder"; return 1; }
    if osslsigncode extract-signature -in "$1" -out "$work/signature" >/dev/null 2>&1; then
        signature_structure authenticode "$work/signature" "$2" "$work"
        status=$?
    else
        verify_error=" cannot extract the signature" status=1
    fi
    rm -rf "$work"
    return $status
}

# Verifies SIGNATURE, the detached CMS signature of the file CONTENT, against
# CAFILE: at the time of its time stamp where it has one (a release outlives
# its certificate), otherwise now. Sets what signature_structure sets.
#   read_manifest_signature SIGNATURE CONTENT CAFILE
read_manifest_signature() {
    local work status=1 at=()
    work=$(mktemp -d) || { verify_error=" cannot make a temporary folder"; return 1; }
    if signature_structure cms "$1" "$3" "$work"; then
        [ -z "$stamped_epoch" ] || at=(-attime "$stamped_epoch")
        # The purpose is the exe's certificate's, which is checked there:
        # a signature of SHA256SUMS counts only where it is that certificate.
        if log=$(openssl cms -verify -binary -inform DER -in "$1" -content "$2" -CAfile "$3" \
            -purpose any "${at[@]}" -out /dev/null 2>&1); then
            status=0
        else
            verify_error=$(reason 'Verify error|verify error' "$log")
            verify_error=$(shown "${verify_error:-$(reason 'error|Error' "$log")}")
        fi
    fi
    rm -rf "$work"
    return $status
}
