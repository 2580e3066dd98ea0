#!/bin/sh
# Package check: makes the Linux archive from a finished build (default build/),
# unpacks it into a fresh folder and starts the unpacked program on the offscreen
# platform, with the source and build trees hidden from it. It passes only when the
# program's main window comes up; every other outcome fails the script.
#
# Hiding needs no privilege that a container lacks (a container job has no
# CAP_SYS_ADMIN, so no mount namespace): run as root, it starts the program as the
# unprivileged user nobody, for whom the two trees are made unreadable (mode 0700)
# until it ends; run as another user, it covers them with empty folders in a private
# mount namespace of a new user namespace, which needs no privilege either.
#
# The program has no options, so the build's tests/tools/libuvo_window_probe.so is
# loaded into it with LD_PRELOAD: it prints one line once the main window is shown
# and exposed, then quits the event loop, so the program exits 0.
set -eu
cd "$(dirname "$0")/.."
top=$PWD
build=$(cd "${1:-build}" && pwd)
. scripts/lib.sh
# The window's title carries the project's version (tst_mainwindow holds them equal).
title="UVO Firmware Updater $(project_version)"

require_commands cpack:cmake tar readelf:binutils unshare:util-linux setpriv:util-linux timeout:coreutils
[ -f "$build/tests/tools/libuvo_window_probe.so" ] \
    || fail "$build/tests/tools/libuvo_window_probe.so is missing: build the tests first"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$build/tests/tools/libuvo_window_probe.so" "$work/probe.so"

(cd "$build" && cpack -G TGZ -B "$work/package") >"$work/cpack.log" 2>&1 \
    || { cat "$work/cpack.log" >&2; fail "cpack failed"; }
set -- "$work"/package/*.tar.gz
if [ $# -ne 1 ] || ! [ -f "$1" ]; then
    fail "expected one archive in $work/package, found: $*"
fi
archive=$1
echo "check-package: $(basename "$archive"), $(wc -c <"$archive") bytes"

mkdir "$work/unpacked"
tar -xzf "$archive" -C "$work/unpacked"
name=$(basename "$archive" .tar.gz)
program="$work/unpacked/$name/bin/UVOFirmwareUploader"
[ -x "$program" ] || fail "the archive holds no bin/UVOFirmwareUploader under $name/"
for notice in notices/Qt.txt notices/LGPL-3.0.txt notices/GPL-3.0.txt LICENSE; do
    [ -f "$work/unpacked/$name/share/doc/UVOFirmwareUploader/$notice" ] \
        || fail "the archive lacks $notice"
done
echo "check-package: unpacked:"
(cd "$work/unpacked" && find . -type f | sort | sed 's/^/    /')

# No search path of the unpacked program may lead back to the source or build tree.
if readelf -d "$program" | grep -E '\((RPATH|RUNPATH)\)' | grep -F -e "$top" -e "$build"; then
    fail "the unpacked program's library search path points into $top"
fi

mkdir "$work/run"
status=0
if [ "$(id -u)" -eq 0 ]; then
    # As nobody, with the trees closed to everyone but their owner for as long as the
    # program runs, and their modes put back after it, whatever happens.
    nobody=65534
    chmod 0755 "$work"
    chown "$nobody:$nobody" "$work/run"
    chmod 0700 "$work/run"
    top_mode=$(stat -c %a "$top")
    build_mode=$(stat -c %a "$build")
    hidden=yes
    restore_modes() {
        [ -z "$hidden" ] || { chmod "$build_mode" "$build"; chmod "$top_mode" "$top"; }
    }
    trap 'restore_modes; rm -rf "$work"' EXIT
    chmod go-rwx "$top" "$build"
    as_nobody="setpriv --reuid=$nobody --regid=$nobody --clear-groups"
    # shellcheck disable=SC2016,SC2086 # expanded by the inner shell; the command's words
    timeout 60 $as_nobody sh -c '
        ! ls "$1" >/dev/null 2>&1 || exit 91
        ! ls "$2" >/dev/null 2>&1 || exit 91
        cd "$3/run" || exit 92
        HOME=$3/run XDG_RUNTIME_DIR=$3/run QT_QPA_PLATFORM=offscreen LD_PRELOAD="$3/probe.so" exec "$4"
    ' hide "$top" "$build" "$work" "$program" >"$work/run.log" 2>&1 || status=$?
    restore_modes
    hidden=""
else
    # Empty folders over the build tree and the source tree (which usually holds the
    # build tree), in a private mount namespace; unshare maps the caller to root in a
    # new user namespace.
    isolate="unshare --mount --map-root-user"
    # shellcheck disable=SC2086 # the command and its options
    $isolate true || fail "cannot make a private mount namespace with '$isolate' (run this as root instead: it then hides the trees by their modes)"
    # shellcheck disable=SC2016,SC2086 # expanded by the inner shell; the command's words
    timeout 60 $isolate sh -c '
        mount -t tmpfs none "$2" || exit 90
        mount -t tmpfs none "$1" || exit 90
        [ -z "$(ls -A "$1")" ] || exit 91
        ! [ -e "$2" ] || [ -z "$(ls -A "$2")" ] || exit 91
        cd "$3/run" || exit 92
        QT_QPA_PLATFORM=offscreen LD_PRELOAD="$3/probe.so" exec "$4"
    ' hide "$top" "$build" "$work" "$program" >"$work/run.log" 2>&1 || status=$?
fi
cat "$work/run.log"
case $status in
0) ;;
90 | 91 | 92) fail "could not hide the source and build trees (status $status)" ;;
124) fail "the main window did not come up within 60 s" ;;
*) fail "the unpacked program exited with status $status" ;;
esac
grep -q -F "window-probe: watching for the main window" "$work/run.log" \
    || fail "the probe was not loaded into the program"
grep -q -F "window-probe: main window \"$title\" shown and exposed" "$work/run.log" \
    || fail "the program exited without showing its main window \"$title\""

echo "check-package: passed in $(($(date +%s) - started)) s"
