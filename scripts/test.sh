#!/bin/sh
# Installs what is missing, builds everything and runs the whole test suite, checks
# the Linux package and validates the GitHub workflows, then builds and runs the
# suite once more with AddressSanitizer and UndefinedBehaviorSanitizer. Any failure
# or sanitizer report fails the script.
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --parallel "$(nproc)"
ctest --test-dir build --output-on-failure
scripts/check-package.sh build
scripts/check-workflows.sh

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DUVO_SANITIZE=ON -DUVO_BUILD_BENCH=OFF
cmake --build build-sanitize --parallel "$(nproc)"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1" \
LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest --test-dir build-sanitize --output-on-failure
