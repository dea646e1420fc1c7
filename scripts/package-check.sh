#!/usr/bin/env bash
# The install and the package end to end, on Linux. One Release build of the shipped programs
# (scripts/package.sh) is installed with DESTDIR into a temporary prefix and packed; the archive
# is unpacked into a folder of its own. Each tree must hold exactly the expected files, whose
# programs need no path of the build tree and only system libraries, carry and print the
# version, and work from where they are: a write and a read through the installed
# clipboard_client and the helper it finds itself, and a second of frame_streamer on a virtual
# screen. The .deb, when there is one, must hold the same files.
# Usage: scripts/package-check.sh [BUILD_DIR]   (default build-package)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-package}
source_dir=$PWD
version=$(sed -n 's/^project(morvane VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
expected='bin/clipboard_client
bin/sim_pasteboard
libexec/morvane/frame_streamer
libexec/morvane/morvane_macos_helper
share/doc/morvane-helpers/README.txt
share/doc/morvane-helpers/integrating.md'

archive=$(scripts/package.sh "$build" | tail -n 1)
build_dir=$(cd "$build" && pwd)

work=$(mktemp -d)
xvfb_pid=
cleanup() {
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "package check FAILED: $*" >&2
  exit 1
}

# A virtual screen on the display number Xvfb picks.
Xvfb -displayfd 3 -nolisten tcp -screen 0 640x400x24 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb did not start"
display=:$(head -n 1 "$work/display")

# Runs a program as on a clean machine: no variable of this shell, the store of its own.
clean_run() { env -i PATH=/usr/bin:/bin MORVANE_SIM_PASTEBOARD="$work/store" "$@"; }

check_programs() {
  local tree=$1 program
  for program in "$tree"/bin/* "$tree"/libexec/morvane/*; do
    if readelf -d "$program" | grep -E 'RPATH|RUNPATH' >"$work/rpath"; then
      fail "$program has a library search path: $(cat "$work/rpath")"
    fi
    if grep -qaF -e "$source_dir" -e "$build_dir" "$program"; then
      fail "$program holds a path of the source or build tree"
    fi
    ldd "$program" >"$work/ldd"
    if grep -v -E '=> /(usr/)?lib|^\s*(linux-vdso|/lib)' "$work/ldd" >"$work/odd-libraries"; then
      fail "$program needs libraries from outside the system: $(cat "$work/odd-libraries")"
    fi
    grep -qaF "@(#)morvane-helpers $version (git " "$program" || fail "$program has no version stamp"
  done
  for program in bin/clipboard_client bin/sim_pasteboard libexec/morvane/frame_streamer; do
    clean_run "$tree/$program" --version >"$work/version"
    grep -q "^${program##*/} $version (git " "$work/version" ||
      fail "$program --version says: $(cat "$work/version")"
  done
  # The helper answers only the host's launches: --version without them is a broken launch.
  local status=0
  clean_run "$tree/libexec/morvane/morvane_macos_helper" --version >"$work/out" 2>&1 || status=$?
  [ "$status" -eq 2 ] && [ ! -s "$work/out" ] || fail "the helper answered --version ($status)"
}

check_round_trip() {
  local tree=$1 text="written through $2"
  printf '%s' "$text" | clean_run "$tree/bin/clipboard_client" write:text >"$work/write" ||
    fail "write:text from $2: $(cat "$work/write")"
  clean_run "$tree/bin/clipboard_client" read:text >"$work/read" ||
    fail "read:text from $2: $(cat "$work/read")"
  head -n 1 "$work/read" | grep -q '"ok":true' || fail "read:text from $2: $(cat "$work/read")"
  [ "$(tail -n +2 "$work/read")" = "$text" ] || fail "read:text from $2 gave: $(cat "$work/read")"
  [ "$(clean_run "$tree/bin/sim_pasteboard" read text)" = "$text" ] ||
    fail "sim_pasteboard from $2 does not see the text"
}

# A second of capture: at least one record, a JPEG of the scaled screen.
check_capture() {
  local tree=$1 status=0
  env -i DISPLAY="$display" timeout 1 "$tree/libexec/morvane/frame_streamer" --width 320 --fps 10 \
    >"$work/frames" 2>"$work/frames.err" || status=$?
  [ "$status" -eq 124 ] || fail "frame_streamer from $2 ended with $status: $(cat "$work/frames.err")"
  local header
  header=$(od -An -tx1 -N14 "$work/frames" | tr -d ' \n')
  [ "${header:8:16}" = 00000140000000c8 ] && [ "${header:24:4}" = ffd8 ] ||
    fail "frame_streamer from $2 wrote no 320x200 JPEG record: $header"
}

check_tree() {
  local tree=$1 label=$2 files
  files=$(cd "$tree" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
  [ "$files" = "$expected" ] || fail "$label holds:"$'\n'"$files"
  check_programs "$tree"
  check_round_trip "$tree" "$label"
  check_capture "$tree" "$label"
  echo "package check: $label passed"
}

DESTDIR="$work/destdir" cmake --install "$build" --prefix /opt/morvane-helpers >/dev/null
check_tree "$work/destdir/opt/morvane-helpers" "the DESTDIR install"

(cd "$(dirname "$archive")" && sha256sum --quiet -c "$(basename "$archive").sha256") ||
  fail "the archive does not match its checksum"
mkdir "$work/unpacked"
tar -xzf "$archive" -C "$work/unpacked"
top=$(basename "$archive" .tar.gz)
[ "$(ls "$work/unpacked")" = "$top" ] || fail "the archive does not unpack into one folder $top"
check_tree "$work/unpacked/$top" "the unpacked archive"

for deb in "$(dirname "$archive")"/*.deb; do
  [ -f "$deb" ] || continue
  files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./usr/||' | LC_ALL=C sort)
  [ "$files" = "$expected" ] || fail "$(basename "$deb") holds:"$'\n'"$files"
  echo "package check: $(basename "$deb") holds the same files"
done
echo "package check: $(basename "$archive") passed"
