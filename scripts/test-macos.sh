#!/usr/bin/env bash
# Every test on a Mac, against the real general pasteboard and screen: the unit tests, the
# black-box suite (macos_pasteboard plays the other application), the round-trip script with a
# helper built with its test hooks, and a few seconds of frame_streamer. scripts/test.sh runs
# this on macOS.
#
# The tests replace the clipboard's contents. Every item and every type on the general
# pasteboard is saved first and put back at the end, also after a failure or Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(getconf _NPROCESSORS_ONLN)

scripts/build.sh build -DMORVANE_BUILD_BENCH=OFF
# A second helper with the test-only fault hooks, for the exception checks of the round-trip
# script; the helper in build/ has none.
cmake -S . -B build-hooks -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVANE_BUILD_BENCH=OFF \
  -DMORVANE_BUILD_TESTS=OFF -DMORVANE_TEST_HOOKS=ON >/dev/null
cmake --build build-hooks --target morvane_macos_helper -j"$jobs"

. scripts/macos-common.sh
trap restore_pasteboard EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
save_pasteboard build/bin/macos_pasteboard

# One line per failed check. A string, not an array: under set -u, macOS's bash 3.2 fails on the
# expansion of an empty array as on an unset variable.
failed=""
# One test at a time: they share the one real pasteboard.
ctest --test-dir build --output-on-failure -j1 --timeout 600 ||
  failed="${failed}FAILED: unit and black-box tests"$'\n'
scripts/macos-pasteboard-check.sh build build-hooks || failed="${failed}FAILED: pasteboard round trips"$'\n'
scripts/macos-streamer-check.sh build || failed="${failed}FAILED: frame_streamer check"$'\n'

if [ -n "$failed" ]; then
  printf '%s' "$failed" >&2
  exit 1
fi
echo "all checks passed (skipped ones are listed above with their reasons)"
