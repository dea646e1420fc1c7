#!/usr/bin/env bash
# Installs dependencies, builds, and runs every test: the normal build (g++ and libstdc++), the
# install and package round trip of a Release build, the sanitizer build (clang and libc++, the
# compiler family of the macOS build, with warnings as errors), and the bounded fuzzing runs.
set -euo pipefail
cd "$(dirname "$0")/.."
# On a Mac the same command checks the real build against the real pasteboard and screen.
if [ "$(uname -s)" = Darwin ]; then
  exec scripts/test-macos.sh
fi
scripts/install-deps.sh --test

# The interleaving sweep's counts, from ctest's log of every test's output.
sweep_counts() { grep -h '^\[ sweep' "$1/Testing/Temporary/LastTest.log" || true; }

scripts/build.sh build
ctest --test-dir build --output-on-failure -j2 --timeout 600
sweep_counts build

# The install and the package: a Release build of the shipped programs, installed with DESTDIR
# and packed, each tree run from where it is.
scripts/package-check.sh

# Sanitizers: any report aborts the process, so the test that caused it fails.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
CC=clang-16 CXX=clang++-16 scripts/build.sh build-asan -DMORVANE_SANITIZE=ON -DMORVANE_LIBCXX=ON \
  -DMORVANE_WERROR=ON -DMORVANE_BUILD_BENCH=OFF
ctest --test-dir build-asan --output-on-failure -j2 --timeout 900
sweep_counts build-asan

# 20 s for each of the seven targets keeps the whole run near a quarter of an hour on two cores.
FUZZ_SECONDS=${FUZZ_SECONDS:-20} scripts/fuzz.sh
