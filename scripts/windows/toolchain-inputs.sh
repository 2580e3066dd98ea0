# Sourced by scripts/windows/toolchain.sh and the scripts that describe its output:
# what the toolchain is built from (versions, source archives and their SHA-256, Qt's
# configure options, compiler flags, the Debian packages of the compilers) and the
# stamps that record it. Needs lib.sh and lane.sh sourced, and cache set.
qt_version=5.15.8
bossa_version=1.9.1
# The source archives and their SHA-256. Those of qtbase and BOSSA are the ones that
# Debian's signed source packages name (qtbase-opensource-src_5.15.8+dfsg-11+deb12u3.dsc,
# bossa_1.9.1-3.dsc); Qt Serial Port's is that of `git archive` of its tag, made by
# scripts/windows/fetch-qtserialport.sh.
qtbase_archive=qtbase-opensource-src_$qt_version+dfsg.orig.tar.xz
qtbase_sha256=d1c61b777850c2953862a8d52c7afb56350a99b23af763beb44c51c6fe8c0e38
bossa_archive=bossa_$bossa_version.orig.tar.gz
bossa_sha256=ca650455dfa36cbd029010167347525bea424717a71a691381c0811591c93e72
serialport_archive=qtserialport-$qt_version.tar.xz
serialport_sha256=8921bb8b9e8bb73077de082b40846ec6204034682720a2d7cfd3e570c968c4b9
# Dates and paths that end up in the binaries, the same for every cache.
toolchain_epoch=1672531200
fixed_cache=/uvo-windows-cache
jobs=$(nproc)

# Qt's configure options, one place for the build and for the release's BUILDINFO.
# Left out, as the program needs none of it: OpenGL, D-Bus, ICU, SQL, XML,
# concurrency, network, tablets (Debian lacks the Wintab headers), printing and the
# Direct2D platform plugin.
qt_configure_options() { # arch
    echo "-xplatform win32-g++ -device-option CROSS_COMPILE=$(mingw_host "$1")- \
-prefix /uvo/qt-$qt_version-$1 -opensource -confirm-license -release \
-nomake examples -nomake tests -no-opengl -no-dbus -no-icu -no-feature-sql \
-no-feature-xml -no-feature-concurrent -no-feature-network -no-feature-tabletevent \
-no-feature-printer -no-direct2d -qt-zlib -qt-libpng -qt-libjpeg -qt-pcre \
-qt-harfbuzz -qt-freetype -no-pch"
}
# What the cross compilers add to every command line.
compile_flags="-ffile-prefix-map=$cache=$fixed_cache -fno-ident"
link_flags="-Wl,--no-insert-timestamp"

# The Debian packages whose versions the binaries depend on.
compiler_packages() { # arch
    debian_arch=$(mingw_host "$1" | sed 's/_/-/; s/-w64-mingw32//')
    echo "g++-mingw-w64-$debian_arch-posix gcc-mingw-w64-$debian_arch-posix" \
        "gcc-mingw-w64-$debian_arch-posix-runtime gcc-mingw-w64-base" \
        "binutils-mingw-w64-$debian_arch mingw-w64-$debian_arch-dev mingw-w64-common"
}

# What a stage's stamp records: everything its bytes depend on but the scripts' code.
stamp_of() { # stage, arch
    echo "stage: $1 for $2"
    case "$1" in
    qtbase | qtserialport)
        echo "qt: $qt_version"
        echo "configure: $(qt_configure_options "$2")"
        echo "source: $qtbase_sha256 $qtbase_archive"
        [ "$1" = qtbase ] || echo "source: $serialport_sha256 $serialport_archive"
        ;;
    bossa)
        echo "bossa: $bossa_version"
        echo "source: $bossa_sha256 $bossa_archive"
        ;;
    esac
    echo "flags: $compile_flags $link_flags" | sed "s|$cache|CACHE|g"
    echo "epoch: $toolchain_epoch"
    # shellcheck disable=SC2046 # one word a package
    package_versions $(compiler_packages "$2") | sed 's/^/debian: /'
}
stamp_file() { # stage, arch
    case "$1" in
    qtbase) echo "$cache/$2/qt/.qtbase-done" ;;
    qtserialport) echo "$cache/$2/qt/.qtserialport-done" ;;
    bossa) echo "$cache/$2/bossa/.done" ;;
    esac
}
# True when the stage is built from what its stamp records now; else says why not.
stage_current() { # stage, arch
    stamp=$(stamp_file "$1" "$2")
    [ -f "$stamp" ] || return 1
    stamp_of "$1" "$2" >"$cache/build/.stamp-$1-$2"
    cmp -s "$stamp" "$cache/build/.stamp-$1-$2" && return 0
    say "rebuilding $1 for $2: its stamp differs from what it would be built from now:
$(diff "$stamp" "$cache/build/.stamp-$1-$2" | grep '^[<>]' | sed 's/^</  was:/; s/^>/  now:/')"
    return 1
}


# An archive is taken only with its SHA-256.
check_archive() { # name, sha256
    echo "$2  $cache/sources/$1" | sha256sum -c --quiet >/dev/null 2>&1 ||
        fail "$cache/sources/$1 is not the expected archive: its sha256 is $(sha256sum "$cache/sources/$1" | cut -d' ' -f1), not $2"
}

