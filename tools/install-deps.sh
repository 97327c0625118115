#!/bin/sh
# Installs the Debian/Ubuntu packages that building and testing Ostrelle
# need, but only those that are missing. Runs apt-get directly as root and
# through sudo otherwise. Usage: tools/install-deps.sh [extra-package ...]
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

if [ -z "$missing" ]; then
    echo "All build and test dependencies are installed."
    exit 0
fi

echo "Installing missing build and test dependencies:$missing"
if [ "$(id -u)" -eq 0 ]; then
    SUDO=""
elif command -v sudo >/dev/null 2>&1; then
    SUDO="sudo"
else
    echo "error: not root and no sudo; install these packages first:$missing" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
# shellcheck disable=SC2086
$SUDO apt-get install -y --no-install-recommends $missing
