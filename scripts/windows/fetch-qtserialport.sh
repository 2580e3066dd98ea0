#!/bin/sh
# Makes qtserialport-5.15.8.tar.xz, the source archive of Qt Serial Port that
# scripts/windows/toolchain.sh needs and Debian's archive cannot serve: `git archive`
# of the tag v5.15.8-lts-lgpl (commit e2851096dc6f6a7cfa635d69ea950b382e3658ab) of
# Qt's qtserialport repository, compressed with xz. Needs access to Qt's git server,
# as a GitHub runner has. Puts it into the toolchain's sources/ folder, where the
# toolchain script checks its SHA-256; does nothing when it is there already.
set -eu
cd "$(dirname "$0")/../.."
archive=$(scripts/windows/toolchain.sh --env)/sources/qtserialport-5.15.8.tar.xz
[ ! -f "$archive" ] || exit 0
scripts/install-deps.sh git xz-utils
work=$(mktemp -d /tmp/uvo-qtserialport-XXXXXX)
trap 'rm -rf "$work"' EXIT
git clone -q --bare --depth 1 --branch v5.15.8-lts-lgpl https://code.qt.io/qt/qtserialport.git "$work/repo"
git -C "$work/repo" archive --prefix=qtserialport/ v5.15.8-lts-lgpl | xz >"$work/archive"
mkdir -p "$(dirname "$archive")"
mv "$work/archive" "$archive"
echo "fetch-qtserialport: $archive, sha256 $(sha256sum "$archive" | cut -d' ' -f1)"
