#!/bin/sh
# Installs, from Debian's archive, whatever the build and the tests need and this
# machine lacks, plus any packages named as arguments (a name ending in :i386 adds
# that architecture first). Does nothing when everything is there.
set -eu

packages="cmake make g++ qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev
bossa-cli binutils-mingw-w64-i686 gcc-mingw-w64-i686 g++-mingw-w64-i686 xvfb xauth
xdotool fonts-dejavu-core ccache $*"

missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
[ -z "$missing" ] && exit 0

add_i386=""
case "$missing" in
*:i386*) dpkg --print-foreign-architectures | grep -qx i386 || add_i386=yes ;;
esac

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "These packages are missing:$missing" >&2
        echo "Install them as root, then run this again:" >&2
        [ -z "$add_i386" ] || echo "    dpkg --add-architecture i386" >&2
        echo "    apt-get update && apt-get install --no-install-recommends$missing" >&2
        exit 1
    fi
    sudo="sudo"
fi

echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
[ -z "$add_i386" ] || $sudo dpkg --add-architecture i386
$sudo apt-get update -q
# shellcheck disable=SC2086 # one word a package
$sudo apt-get install -y -q --no-install-recommends $missing
