#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, when
# any is missing: directly as root, otherwise through sudo.
set -eu

packages=(
    cmake make g++ libgtest-dev          # host build and unit tests
    g++-mingw-w64-x86-64-win32           # the Windows build
    wine wine64 xvfb xauth               # running it under Wine on a virtual display
    fonts-wine                           # Wine's own fonts, for caption buttons that look right
    imagemagick                          # screenshots of the notice
    python3 python3-pefile               # checking the shipped executable
    nsis                                 # real NSIS uninstallers that call the notice
    osslsigncode openssl                 # signing and verifying a release
    opensc libengine-pkcs11-openssl      # signing with a key on a token (PKCS#11)
    softhsm2 faketime                    # the release tests: a software token, a later clock
    bats bats-support bats-assert        # the scripts' own tests
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null; then
    as_root=(sudo)
else
    echo "install-deps: missing ${missing[*]}, and not root and no sudo to install them" >&2
    exit 1
fi
echo "install-deps: installing ${missing[*]}"
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
