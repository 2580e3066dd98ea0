#!/bin/sh
# The release job, as one script that runs the same in the workflow's debian:12
# container and in a fresh Debian 12 root here: it installs every package that its
# steps use, then
#
#   1. runs the tests (scripts/test.sh), first, as they need no toolchain and a fault
#      there should not wait for an hour's build of one,
#   2. fetches Qt Serial Port's source where the toolchain's cache has none,
#   3. builds the toolchain where the cache misses it,
#   4. makes the release twice and requires the same bytes
#      (scripts/windows/check-reproducible.sh; with --full, also the toolchain again
#      in a fresh cache),
#   5. runs the release under Wine (scripts/windows/check-wine.sh --release release),
#   6. lays out the cross-built win32 tests in windows-tests/ for the Windows runner.
#
#   scripts/windows/release-job.sh [--full]
#
# It needs no privilege that a container job lacks (CAP_SYS_ADMIN, a mount
# namespace): the package check hides the build tree by its modes. A package missing
# from the list below makes the step that needs it fail at its start, naming it.
set -eu
cd "$(dirname "$0")/../.."
script=release-job
. scripts/lib.sh
. scripts/windows/lane.sh

full=""
case "${1:-}" in
"") ;;
--full) full=--full ;;
*) echo "usage: $0 [--full]" >&2; exit 2 ;;
esac

# Every build step runs in the same locale, whatever the machine's.
LC_ALL=C.UTF-8
export LC_ALL

# What the steps use beyond what scripts/install-deps.sh installs by itself: the
# release (zip, unzip, xz, git), the toolchain (dpkg-dev for apt-get source, perl and
# python3 for Qt's configure and the notices), and Wine with what its check needs.
choose_wine_lane
say "the Windows lane here is $wine_lane: $wine_lane_reason"
# shellcheck disable=SC2046 # one word a package
scripts/install-deps.sh zip unzip xz-utils git ca-certificates dpkg-dev perl python3 \
    util-linux $(wine_packages "$wine_lane") fonts-wine xclip imagemagick locales
# What the steps run, checked now: a package missing above stops the job here, by name,
# not after the tests.
require_commands zip unzip zipinfo:unzip xz:xz-utils git perl python3 apt-get:apt \
    dpkg-source:dpkg-dev flock:util-linux setpriv:util-linux wine:wine \
    xclip import:imagemagick localedef:locales

say "1. the tests"
scripts/test.sh
say "2. Qt Serial Port's source"
scripts/windows/fetch-qtserialport.sh
say "3. the toolchain"
scripts/windows/toolchain.sh
say "4. the release, twice${full:+, and the toolchain again in a fresh cache}"
scripts/windows/check-reproducible.sh $full
say "5. the release under Wine"
scripts/windows/check-wine.sh --release release

# The Wine check has built them already where its lane is win32; then nothing is redone.
say "6. the Windows tests for the Windows runner"
build_windows_tests win32 build-windows build-windows.log
scripts/windows/pack-tests.sh build-windows windows-tests
say "passed: release/ and windows-tests/ are ready"
