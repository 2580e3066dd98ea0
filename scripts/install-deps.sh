#!/bin/sh
# Installs, from Debian's archive, whatever the build and the tests need and this
# machine lacks, plus any packages named as arguments. Does nothing when everything
# is there.
set -eu

packages="cmake make g++ qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev
bossa-cli binutils-mingw-w64-i686 gcc-mingw-w64-i686 g++-mingw-w64-i686 xvfb xauth fonts-dejavu-core $*"

missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
# shellcheck disable=SC2086 # one word a package
$sudo apt-get install -y -q --no-install-recommends $missing
