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

# Whether the checkout at $1 has no uncommitted changes to tracked files.
tree_is_clean() {
    git -C "$1" update-index -q --refresh >/dev/null 2>&1
    git -C "$1" diff-index --quiet HEAD -- 2>/dev/null
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

# Verifies a signed file against CAFILE, for the signature and for its time
# stamp, and reads back who signed it and when it was stamped: sets $signer
# and $stamped ("" when there is no time stamp). Fails with the reason in
# $verify_error.
#   read_signature FILE CAFILE
read_signature() {
    local log
    signer="" stamped="" verify_error=""
    log=$(osslsigncode verify -CAfile "$2" -TSA-CAfile "$2" -in "$1" 2>&1) || {
        # OpenSSL's own words first ("certificate has expired"), then any.
        verify_error=$(reason 'Verify error' "$log")
        verify_error=${verify_error:-$(reason 'Error:|error|Failed' "$log")}
        return 1
    }
    signer=$(sed -n "/^Signer's certificate:/,/Subject:/s/^[[:space:]]*Subject: *//p" <<<"$log" | head -n1)
    if grep -q '^Timestamp Server Signature verification: ok' <<<"$log"; then
        stamped=$(sed -n -E 's/^[[:space:]]*(Timestamp time|The signature is timestamped): *//p' <<<"$log" | head -n1)
        stamped=${stamped:-a time that it does not show}
    fi
}
