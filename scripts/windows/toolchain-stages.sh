# Sourced by scripts/windows/toolchain.sh: the stages. Each fetches and checks its
# sources, builds into the cache, and leaves its stamp last, so that a stage cut short
# is built again.
# Debian's source packages, fetched once into sources/ and checked.
fetch_source() { # package, the orig archive's name, its sha256
    if [ ! -f "$cache/sources/$2" ]; then
        if ! apt-get source --print-uris "$1" >/dev/null 2>&1; then
            deb_src=/etc/apt/sources.list.d/uvo-debian-src.sources
            say "no deb-src entry for Debian's archive: adding $deb_src"
            printf '%s\n' "Types: deb-src" "URIs: http://deb.debian.org/debian" \
                "Suites: bookworm bookworm-updates" "Components: main" \
                "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
                as_root tee "$deb_src" >/dev/null
            scripts/install-deps.sh --update
        fi
        say "fetching the source of $1"
        # Only the upstream (orig) archive is needed: a Debian part that cannot be had
        # does not matter.
        (cd "$cache/sources" && apt-get -o Acquire::Retries=5 source --download-only "$1") \
            >"$cache/build/$1-source.log" 2>&1 || true
        [ -f "$cache/sources/$2" ] || {
            tail -5 "$cache/build/$1-source.log" >&2
            fail "could not download $2 (the source of Debian's $1) from Debian's archive;
put it into $cache/sources/ and run this again"
        }
    fi
    check_archive "$2" "$3"
}

build_qtbase() { # arch
    qt=$cache/$1/qt
    ! stage_current qtbase "$1" || return 0
    fetch_source qtbase-opensource-src "$qtbase_archive" "$qtbase_sha256"
    say "building qtbase $qt_version for $1 (about 12 minutes on 2 idle cores)"
    stage_started=$(date +%s)
    src=$cache/build/qtbase-src-$1
    out=$cache/build/qtbase-$1
    rm -rf "$src" "$out" "$qt"
    mkdir -p "$src" "$out"
    tar -xf "$cache/sources/$qtbase_archive" -C "$src" --strip-components=1
    # shellcheck disable=SC2046 # the options are words
    (cd "$out" && quietly "$cache/build/qtbase-$1-configure.log" \
        "$src/configure" $(qt_configure_options "$1") -extprefix "$qt")
    (cd "$out" && quietly "$cache/build/qtbase-$1-make.log" make -j"$jobs" &&
        quietly "$cache/build/qtbase-$1-install.log" make install)
    # What the notices are made from: the attribution files in which Qt names the
    # third-party code of its source tree and its licences, and the build's log, which
    # says which files the cross compiler compiled, so that only the parts compiled in
    # count (scripts/windows/qt-notices.py).
    mkdir -p "$qt/attribution"
    (cd "$src" && find . -name qt_attribution.json | LC_ALL=C sort | tar -cf - -T - | tar -xf - -C "$qt/attribution")
    xz -c "$cache/build/qtbase-$1-make.log" >"$qt/attribution/make.log.xz"
    rm -rf "$src" "$out"
    stamp_of qtbase "$1" >"$(stamp_file qtbase "$1")"
    say "qtbase for $1 is in $qt ($(($(date +%s) - stage_started)) s)"
}

build_qtserialport() { # arch
    qt=$cache/$1/qt
    ! stage_current qtserialport "$1" || return 0
    say "building qtserialport $qt_version for $1"
    stage_started=$(date +%s)
    src=$cache/build/qtserialport-$1
    rm -rf "$src" && mkdir -p "$src"
    tar -xf "$serialport" -C "$src" --strip-components=1
    # A git archive has no generated headers; a .git folder makes qmake run syncqt.
    mkdir -p "$src/.git"
    (cd "$src" && quietly "$cache/build/qtserialport-$1.log" \
        sh -c "'$qt/bin/qmake' && make -j$jobs && make install")
    rm -rf "$src"
    stamp_of qtserialport "$1" >"$(stamp_file qtserialport "$1")"
    say "qtserialport for $1 is in $qt ($(($(date +%s) - stage_started)) s)"
}

build_bossac() { # arch
    bossa=$cache/$1/bossa
    ! stage_current bossa "$1" || return 0
    fetch_source bossa "$bossa_archive" "$bossa_sha256"
    say "building bossac.exe $bossa_version for $1"
    src=$cache/build/bossa-$1
    rm -rf "$src" "$bossa" && mkdir -p "$src" "$bossa"
    tar -xf "$cache/sources/$bossa_archive" -C "$src" --strip-components=1
    # The command-line program alone, with Windows' serial port; static, so that it
    # needs no DLL beside what Windows has, like BOSSA's own release; stripped.
    (cd "$src/src" && quietly "$cache/build/bossa-$1.log" "$(mingw_host "$1")-g++" -O2 \
        -std=c++11 -DVERSION=\"$bossa_version\" -o "$bossa/bossac.exe" Samba.cpp Flash.cpp \
        D5xNvmFlash.cpp D2xNvmFlash.cpp EfcFlash.cpp EefcFlash.cpp Applet.cpp \
        WordCopyApplet.cpp WordCopyArm.cpp Flasher.cpp Device.cpp WinSerialPort.cpp \
        WinPortFactory.cpp bossac.cpp CmdOpts.cpp -static -s -lsetupapi)
    cp "$src/LICENSE" "$bossa/LICENSE"
    rm -rf "$src"
    stamp_of bossa "$1" >"$(stamp_file bossa "$1")"
    say "bossac.exe for $1 is in $bossa"
}
