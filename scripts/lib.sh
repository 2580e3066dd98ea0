# Sourced by the project's scripts: the helpers they share. Each message starts with
# the script's name, which a script may set in `script` before sourcing this.
script=${script:-$(basename "$0" .sh)}
started=${started:-$(date +%s)}

# A line of progress, with the seconds since the script started.
say() {
    printf '%s [%s s]: %s\n' "$script" "$(($(date +%s) - started))" "$*"
}

fail() {
    printf '%s: FAILED: %s\n' "$script" "$*" >&2
    exit 1
}

# Tries a command every tenth of a second until it succeeds; false after that many tries.
wait_until() { # tries, command...
    wait_limit=$1
    shift
    wait_tries=0
    until "$@"; do
        wait_tries=$((wait_tries + 1))
        [ "$wait_tries" -lt "$wait_limit" ] || return 1
        sleep 0.1
    done
}

# Runs a command with its output in a log; shows the log's end and fails when it fails.
quietly() { # log, command...
    quiet_log=$1
    shift
    quiet_status=0
    "$@" >"$quiet_log" 2>&1 || quiet_status=$?
    [ "$quiet_status" -eq 0 ] && return 0
    tail -n 40 "$quiet_log" >&2
    fail "$* failed with exit code $quiet_status (its log: $quiet_log)"
}

# Runs a command as root: directly when this is root, else through sudo.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        command -v sudo >/dev/null 2>&1 || fail "run as root, or install sudo: $*"
        sudo "$@"
    fi
}

# The Linux build in build/: configures it, then builds the targets named (all, when
# none is named).
build_linux() { # target...
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    [ $# -eq 0 ] || set -- --target "$@"
    cmake --build build --parallel "$(nproc)" "$@"
}

# Fails before any work unless every command named is installed, and says which are
# missing and which packages bring them: a job that lacks one then stops at once, with
# its name, not half an hour later with "not found".
require_commands() { # command[:package]...
    require_missing=""
    for require_item in "$@"; do
        command -v "${require_item%%:*}" >/dev/null 2>&1 ||
            require_missing="$require_missing ${require_item%%:*} (Debian's package ${require_item#*:})"
    done
    [ -z "$require_missing" ] ||
        fail "missing:$require_missing; install it (scripts/install-deps.sh PACKAGE) and run this again"
}

# The project's version, written once: CMakeLists.txt's project(VERSION). Run from
# the checkout's top.
project_version() {
    project_version_found=$(sed -n 's/^project(UVOFirmwareUploader VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
    [ -n "$project_version_found" ] || fail "no project(UVOFirmwareUploader VERSION ...) in $PWD/CMakeLists.txt"
    echo "$project_version_found"
}

# The installed Debian version of each package, a line each.
package_versions() { # package...
    for package in "$@"; do
        printf '%s %s\n' "$package" "$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null || echo '(not installed)')"
    done
}
