#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, when
# any is missing: directly as root, otherwise through sudo. Then the Inno
# Setup compiler and the CycloneDX library, from npm, as package-lock.json
# pins them.
set -eu
cd "$(dirname "$0")/.."

packages=(
    cmake make g++ libgtest-dev          # host build and unit tests
    g++-mingw-w64-x86-64-win32           # the Windows build
    wine wine64 xvfb xauth               # running it under Wine on a virtual display
    wine32:i386                          # Wine's 32-bit half: Inno Setup's (un)installers are 32-bit
    fonts-wine                           # Wine's own fonts, for caption buttons that look right
    imagemagick                          # screenshots of the notice
    python3 python3-pefile               # checking the shipped executable
    python3-asn1crypto                   # reading a release's signature from its structure
    nsis                                 # real NSIS uninstallers that call the notice
    osslsigncode openssl                 # signing and verifying a release
    opensc libengine-pkcs11-openssl      # signing with a key on a token (PKCS#11)
    softhsm2 faketime strace             # the release tests: a software token, a later clock,
                                         # every command line that a release runs
    openssh-client                       # the release key's signature (ssh-keygen -Y)
    bats bats-support bats-assert        # the scripts' own tests
)
# npm, for the Inno Setup compiler, unless a Node.js is here already.
command -v npm >/dev/null || packages+=(nodejs npm)

# Installs those of the given packages that are missing.
install_missing() {
    local package missing=() as_root
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    if [ "$(id -u)" -eq 0 ]; then
        as_root=()
    elif command -v sudo >/dev/null; then
        as_root=(sudo)
    else
        echo "install-deps: missing ${missing[*]}, and not root and no sudo to install them" >&2
        exit 1
    fi
    echo "install-deps: installing ${missing[*]}"
    # wine32 comes from the i386 half of the archive.
    dpkg --print-foreign-architectures | grep -qx i386 ||
        "${as_root[@]}" dpkg --add-architecture i386
    # A mirror in the middle of a sync can fail one index; the others are
    # still fresh, so go on with what apt has.
    "${as_root[@]}" apt-get update -qq 2>/dev/null ||
        echo "install-deps: apt-get update failed for some index (a mirror mid-sync?); going on with the lists that apt has"
    install() {
        DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends \
            "$@" "${missing[@]}" >/dev/null
    }
    # Without the security archive's i386 index, the i386 libraries exist only
    # at the release's versions, and each must match its amd64 twin: take
    # both from the release itself.
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    install 2>/dev/null || {
        [ -n "$codename" ] || install
        echo "install-deps: retrying with the versions of $codename itself"
        install -t "$codename"
    }
}
install_missing "${packages[@]}"

# A kernel without 32-bit emulation runs no 32-bit program, Wine's 32-bit
# half neither: there the Inno scenarios run in the suite's virtual machine
# (e2e/vm), which debootstrap makes and QEMU runs. Sourcing the suite's Wine
# settings creates nothing. E2E_INNO_IN_VM=1 takes that way here too.
source e2e/wine-env.sh build/windows
if ! wine32_runs || [ "${E2E_INNO_IN_VM:-}" = 1 ]; then
    install_missing debootstrap qemu-system-x86
fi

# The npm tools, exactly as the lock file has them; node_modules
# keeps a copy of the lock that it was installed from.
if ! cmp -s package-lock.json node_modules/.installed-from-lock.json; then
    echo "install-deps: installing the Inno Setup compiler and the CycloneDX library (npm ci)"
    npm ci --no-audit --no-fund --loglevel=error >/dev/null
    cp package-lock.json node_modules/.installed-from-lock.json
fi
