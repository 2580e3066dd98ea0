#!/bin/sh
# The one place that installs Debian packages for the project's scripts: whatever the
# build and the tests need and this machine lacks, plus any packages named as
# arguments (a name ending in :i386 adds that architecture first). Does nothing when
# everything is there.
#
#   scripts/install-deps.sh [PACKAGE...]
#   scripts/install-deps.sh --can-install PACKAGE...
#   scripts/install-deps.sh --update
#
# --can-install installs nothing: it exits 0 when apt could install those packages
# now, or prints apt's reason on one line and exits 1. --update only refreshes the
# package indexes (after a source was added).
#
# The archive has bad days: a mirror in sync, or one index out of step with its Release
# file, for hours. Every download is retried; an update that fails for some indexes
# goes on, and this stops, with apt's reason, only when what is needed cannot be
# installed from what was fetched.
set -eu
cd "$(dirname "$0")/.."
script=install-deps
. scripts/lib.sh

mode=install
case "${1:-}" in
--can-install) mode=check; shift ;;
--update) mode=update; shift ;;
esac

packages="$*"
if [ "$mode" = install ]; then
    packages="cmake make g++ qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev bossa-cli
binutils-mingw-w64-i686 gcc-mingw-w64-i686 g++-mingw-w64-i686 xvfb xauth xdotool
fonts-dejavu-core ccache $packages"
    # The workflow check runs npx. A Node.js that is already there (from another source
    # than Debian) is kept: Debian's nodejs would replace it.
    if ! command -v npx >/dev/null 2>&1; then
        if ! command -v node >/dev/null 2>&1; then
            packages="$packages nodejs npm"
        elif dpkg-query -W -f='${Status}' nodejs 2>/dev/null | grep -q "install ok installed"; then
            packages="$packages npm"
        else
            fail "node ($(command -v node)) is installed without npx, and not from Debian's
packages: install npm for that Node.js, then run this again"
        fi
    fi
fi

missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
[ -n "$missing" ] || [ "$mode" = update ] || exit 0

apt() {
    DEBIAN_FRONTEND=noninteractive as_root apt-get -q -o Acquire::Retries=5 \
        -o DPkg::Lock::Timeout=600 "$@"
}
# apt's reasons, on one line: what cannot be had, and its errors.
reasons_in() { # log
    grep -E '^(E|W|Err):|not installable|no installation candidate|Unable to locate|unexpected size|Mirror sync' "$1" |
        sed 's/^ *//' | tr -s ' \n' ' ' | sed 's/ $//' | cut -c1-600
}

work=$(mktemp -d /tmp/uvo-apt-XXXXXX)
trap 'rm -rf "$work"' EXIT
added_i386=""
case "$missing" in
*:i386*)
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        [ "$mode" = check ] || say "adding the i386 architecture"
        as_root dpkg --add-architecture i386
        added_i386=yes
    fi
    ;;
esac
[ "$mode" != install ] || say "installing:$missing"
if ! apt update >"$work/update.log" 2>&1 && [ "$mode" != check ]; then
    say "some package indexes could not be fetched; going on with the others: $(reasons_in "$work/update.log")"
fi
case "$mode" in
update) exit 0 ;;
check)
    # shellcheck disable=SC2086 # one word a package
    if ! apt install --simulate --no-install-recommends $missing >"$work/install.log" 2>&1; then
        reasons_in "$work/install.log"
        # An architecture that nothing uses would only slow every later update down.
        if [ -n "$added_i386" ] && as_root dpkg --remove-architecture i386 2>/dev/null; then
            apt update >/dev/null 2>&1 || true
        fi
        exit 1
    fi
    exit 0
    ;;
esac
# shellcheck disable=SC2086 # one word a package
if ! apt install -y --no-install-recommends $missing >"$work/install.log" 2>&1; then
    tail -n 30 "$work/install.log" >&2
    fail "could not install$missing: $(reasons_in "$work/install.log")
(the update of the package indexes said: $(reasons_in "$work/update.log"))"
fi
say "installed:$missing"
