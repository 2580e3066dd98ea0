#!/bin/sh
# Checks the documentation, installs what is missing, builds everything and runs the
# whole test suite, checks the Linux package and validates the GitHub workflows, then
# runs the suite once more on a build with AddressSanitizer and
# UndefinedBehaviorSanitizer. Any failure or sanitizer report fails the script, and
# leaves no test process behind. The Windows build is checked by
# scripts/windows/check-wine.sh, which CI runs after this.
set -eu
cd "$(dirname "$0")/.."
script=test
. scripts/lib.sh

# First, as it takes a second and needs nothing installed.
scripts/check-docs.sh
scripts/install-deps.sh

build_linux tst_longwaits
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DUVO_SANITIZE=ON -DUVO_BUILD_BENCH=OFF

# Two jobs go on in the background, each in a session of its own, so that it can be
# stopped with every program it started:
# - the tests labelled slow, which wait out real limits (over a minute and a half of
#   sleep), once, on the normal build, from build/slow-tests, so that their CTest
#   records do not mix with those of the runs in the foreground; they start as soon
#   as their programs are built;
# - the sanitizer build, at the lowest priority: it takes the processors while the
#   tests in the foreground mostly wait, and yields them when they do not.
slow_log=build/slow-tests.log
setsid ctest --test-dir build/slow-tests -L slow --no-tests=error --output-on-failure \
    >"$slow_log" 2>&1 &
slow=$!
sanitize=""
finish() {
    status=$?
    trap - EXIT
    if [ "$status" -ne 0 ]; then
        # KILL, not TERM: a Qt Test program answers TERM with a stack trace through
        # gdb, which keeps it and the programs it started alive for many seconds.
        for job in $slow $sanitize; do
            kill -s KILL -- "-$job" 2>/dev/null || true
            wait "$job" 2>/dev/null || true
            tries=0
            while kill -s 0 -- "-$job" 2>/dev/null && [ "$tries" -lt 100 ]; do
                sleep 0.1
                tries=$((tries + 1))
            done
        done
        echo "test: failed; what the slow tests wrote until then:" >&2
        cat "$slow_log" >&2
    fi
    exit "$status"
}
trap finish EXIT
# dash runs no EXIT trap when a signal ends it: make each an exit.
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

cmake --build build --parallel "$(nproc)"
sanitize_log=build/sanitize-build.log
setsid nice -n 19 cmake --build build-sanitize --parallel "$(nproc)" --target uvo_quick_tests \
    >"$sanitize_log" 2>&1 &
sanitize=$!

ctest --test-dir build -LE slow --parallel "$(nproc)" --output-on-failure
scripts/check-package.sh build
scripts/check-workflows.sh

if ! wait "$sanitize"; then
    cat "$sanitize_log" >&2
    fail "the sanitizer build failed"
fi
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1" \
LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest --test-dir build-sanitize -LE slow --parallel "$(nproc)" --output-on-failure

if ! wait "$slow"; then
    fail "the slow tests failed"
fi
cat "$slow_log"
say "passed"
