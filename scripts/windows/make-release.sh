#!/bin/sh
# Makes the Windows release on Linux with the cached toolchain (scripts/windows/toolchain.sh
# builds it first where it is missing). The same commit gives the same bytes, whatever
# the checkout's folder, the build folder, the umask and the time:
#
#   OUT/UVOFirmwareUploader-VERSION-win32.zip     the program, bossac.exe, Qt, the MinGW
#                                                runtime, LICENSE.txt (the program's,
#                                                MIT), the notices and BUILDINFO.txt
#   OUT/UVOFirmwareUploader-VERSION-sources.tar   the source archives of all of it
#   OUT/SHA256SUMS
#
#   scripts/windows/make-release.sh [--arch win32|win64] [--out DIR] [--build DIR]
#
# OUT is release/ (release-win64/ for win64), the build folder build-release-ARCH. A
# win64 release is made only for the Wine check on machines that run no 32-bit code;
# it is never published. The ZIP passes scripts/windows/check-zip.sh before it is
# written out.
set -eu
cd "$(dirname "$0")/../.."
top=$PWD
. scripts/lib.sh
. scripts/windows/lane.sh

arch=win32
out=""
build=""
while [ $# -gt 0 ]; do
    case "$1" in
    --arch) arch=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    *) echo "usage: $0 [--arch win32|win64] [--out DIR] [--build DIR]" >&2; exit 2 ;;
    esac
done
host=$(mingw_host "$arch") || { echo "make-release: unknown architecture $arch" >&2; exit 2; }
require_commands git cmake make zip unzip xz:xz-utils python3 "$host-objdump:binutils-mingw-w64-$(echo "$host" | sed 's/_/-/; s/-w64-mingw32//')"
[ -n "$out" ] || { [ "$arch" = win32 ] && out=release || out=release-$arch; }
[ -n "$build" ] || build=build-release-$arch
mkdir -p "$out"
out=$(realpath "$out")
mkdir -p "$build"
build=$(realpath "$build")


# What the bytes may depend on: the commit, and nothing of this run.
umask 022
TZ=UTC
LC_ALL=C
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct HEAD)
QT_RCC_SOURCE_DATE_OVERRIDE=$SOURCE_DATE_EPOCH
export TZ LC_ALL SOURCE_DATE_EPOCH QT_RCC_SOURCE_DATE_OVERRIDE
commit=$(git rev-parse HEAD)
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    say "the checkout has uncommitted changes: this ZIP is not the release of commit $commit"
    commit=$commit-dirty
fi
version=$(project_version)
name=UVOFirmwareUploader-$version

scripts/windows/toolchain.sh --arch "$arch"
cache=$(scripts/windows/toolchain.sh --env)

say "building $name for $arch in $build"
# --fresh: nothing of an earlier configuration (another toolchain file, other flags)
# reaches the release. No ccache: every object of the release is compiled by this run.
cmake --fresh -S . -B "$build" --toolchain "$top/cmake/$host.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DUVO_BUILD_BENCH=OFF -DBUILD_TESTING=OFF -DUVO_CCACHE=OFF \
    -DUVO_BUNDLE_BOSSAC="$cache/$arch/bossa/bossac.exe" \
    >"$build/release-configure.log" 2>&1 || { cat "$build/release-configure.log" >&2; fail "configuring failed"; }
cmake --build "$build" --parallel "$(nproc)" >"$build/release-build.log" 2>&1 ||
    { tail -40 "$build/release-build.log" >&2; fail "the build failed"; }

work=$(mktemp -d /tmp/uvo-release-XXXXXX)
trap 'rm -rf "$work"' EXIT
stage=$work/$name-$arch
cmake --install "$build" --prefix "$stage" >"$build/release-install.log" 2>&1 ||
    { tail -40 "$build/release-install.log" >&2; fail "the install step failed"; }
# The third-party code that this Qt compiled in, each part with its licence's text,
# from Qt's attribution files and the toolchain's build log.
python3 scripts/windows/qt-notices.py --notice "$cache" "$arch" "$stage/notices/Qt-third-party.txt"

# BUILDINFO.txt: what anyone needs to make these bytes again.
debian_arch=$(echo "$host" | sed 's/_/-/; s/-w64-mingw32//')
{
    echo "UVO Firmware Uploader $version for Windows ($arch)"
    echo
    echo "Built on Linux from the project's commit $commit"
    echo "with SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH ($(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC'), the commit's time)."
    echo
    echo "To make the same bytes again: on Debian 12, with the packages below, check out"
    echo "that commit and run scripts/windows/make-release.sh, which first builds Qt and"
    echo "bossac.exe from the archives below (put qtserialport-5.15.8.tar.xz into"
    echo "~/.cache/uvo-windows/sources/); then compare the ZIP's SHA-256 with SHA256SUMS."
    echo "The source bundle $name-sources.tar holds all of it."
    echo
    echo "Debian packages that Qt and bossac.exe were built with:"
    scripts/windows/toolchain.sh --built-with "$arch" | sed 's/^/  /'
    echo
    echo "Debian packages that the program, its runtime DLLs and the ZIP were made with:"
    package_versions "g++-mingw-w64-$debian_arch-posix" "gcc-mingw-w64-$debian_arch-posix-runtime" \
        "binutils-mingw-w64-$debian_arch" "mingw-w64-$debian_arch-dev" qtbase5-dev-tools cmake zip |
        sed 's/^/  /'
    echo
    echo "Source archives (SHA-256):"
    for archive in $(scripts/windows/toolchain.sh --sources); do
        printf '  %s  %s\n' "$(sha256sum "$archive" | cut -d' ' -f1)" "$(basename "$archive")"
    done
    echo
    echo "Qt's configure options and the toolchain's compiler flags:"
    scripts/windows/toolchain.sh --configure-options | grep -v '^win[0-9]*:' | sed 's/^/  /'
    scripts/windows/toolchain.sh --configure-options | sed -n "s/^$arch: /  /p"
} >"$stage/BUILDINFO.txt"

# The ZIP: every file with the commit's time and the same mode, names sorted, no extra
# fields (owner, access times).
find "$stage" -type f -exec chmod 0644 {} +
find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
zip=$out/$name-$arch.zip
rm -f "$zip"
(cd "$work" && find "$name-$arch" -type f | sort | zip -X -D -q -@ "$zip.part")
mv "$zip.part" "$zip"
scripts/windows/check-zip.sh --arch "$arch" "$zip"

# The source bundle: the archives the toolchain was built from, the project at this
# commit (with the toolchain script), and BUILDINFO.txt.
sources=$work/$name-sources
mkdir -p "$sources"
cp $(scripts/windows/toolchain.sh --sources) "$sources/"
# tar.umask fixed: a user's git configuration must not reach the modes in it.
git -c tar.umask=0022 archive --format=tar --prefix="$name/" -o "$sources/$name-$(git rev-parse --short=12 HEAD).tar" HEAD
cp "$stage/BUILDINFO.txt" "$sources/"
# Modes set, not added to: the cache may hold an archive without write bits or with
# execute bits.
find "$sources" -type d -exec chmod 0755 {} +
find "$sources" -type f -exec chmod 0644 {} +
tarball=$out/$name-sources.tar
tar --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner \
    --format=gnu -cf "$tarball" -C "$work" "$name-sources"

(cd "$out" && sha256sum "$(basename "$zip")" "$(basename "$tarball")" >SHA256SUMS)
say "made, for $arch, from commit $commit:"
(cd "$out" && while read -r sum file; do echo "  $out/$file  sha256 $sum"; done <SHA256SUMS)
echo "  $out/SHA256SUMS"
