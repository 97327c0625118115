#!/bin/sh
# Installs the Debian/Ubuntu packages that building and testing Ostrelle
# need, but only those that are missing. Runs apt-get directly as root and
# through sudo otherwise. Usage: tools/install-deps.sh [extra-package ...]
# Optional packages are installed where the package archive offers them; a
# test that needs a missing one is skipped and says why.
# An extra package may be given as alternatives "a|b": it is satisfied when
# any of them is installed, else the first one the archive offers is taken.
set -eu

# What the build and the tests use:
#   g++ cmake make pkg-config libjson-c-dev   build
#   libgtest-dev                              unit tests
#   python3 openssl                           end-to-end test bed (mirror, certificate)
#   wget unzip zip tar xz-utils gzip          the tools the program and its tests run
#   coreutils diffutils
PACKAGES="g++ cmake make pkg-config libjson-c-dev libgtest-dev python3 openssl \
wget unzip zip tar xz-utils gzip coreutils diffutils $*"
# Optional, and installed only by root (the only user whose test runs use
# them):
#   lava-dispatcher    LAVA's dispatcher, for the board-farm test (lava-run
#                      must run as root)
#   python3-labgrid    labgrid and its pytest plugin, for the labgrid test
#   python3-pytest
OPTIONAL="lava-dispatcher python3-labgrid python3-pytest"

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing=""
for wanted in $PACKAGES; do
    found=""
    for pkg in $(echo "$wanted" | tr '|' ' '); do
        if installed "$pkg"; then
            found=yes
            break
        fi
    done
    [ -n "$found" ] && continue
    choice=""
    for pkg in $(echo "$wanted" | tr '|' ' '); do
        if [ -z "$choice" ] && apt-cache show "$pkg" >/dev/null 2>&1; then
            choice=$pkg
        fi
    done
    missing="$missing ${choice:-${wanted%%|*}}"
done

optional=""
if [ "$(id -u)" -eq 0 ]; then
    for pkg in $OPTIONAL; do
        installed "$pkg" || optional="$optional $pkg"
    done
fi

if [ -z "$missing" ] && [ -z "$optional" ]; then
    echo "All build and test dependencies are installed."
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    SUDO=""
elif command -v sudo >/dev/null 2>&1; then
    SUDO="sudo"
else
    echo "error: not root and no sudo; install these packages first:$missing" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
updated=""
if [ -n "$missing" ]; then
    echo "Installing missing build and test dependencies:$missing"
    $SUDO apt-get update
    updated=yes
    # shellcheck disable=SC2086
    $SUDO apt-get install -y --no-install-recommends $missing
fi
for pkg in $optional; do
    # The package lists are refreshed once, only for a package they lack.
    if [ -z "$updated" ] && ! apt-cache show "$pkg" >/dev/null 2>&1; then
        $SUDO apt-get update
        updated=yes
    fi
    if apt-cache show "$pkg" >/dev/null 2>&1; then
        echo "Installing optional test dependency: $pkg"
        $SUDO apt-get install -y --no-install-recommends "$pkg" && continue
    fi
    echo "note: $pkg could not be installed; the tests that need it are skipped." >&2
done
