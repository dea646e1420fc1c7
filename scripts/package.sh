#!/usr/bin/env bash
# Builds the shipped programs in Release and packs them with CPack: a .tar.gz named with the
# version, system and architectures (on Linux also a .deb when dpkg-dev is there), each with a
# .sha256 beside it. On macOS the build is universal (arm64 and x86_64) and the programs are
# signed as they are installed into the package: ad hoc unless MORVANE_CODESIGN_IDENTITY names
# a Developer ID identity. The last line printed is the archive's path.
# Usage: scripts/package.sh [BUILD_DIR] [extra cmake options...]   (BUILD_DIR: build-package)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-package}
shift || true
scripts/install-deps.sh

options=(-DCMAKE_BUILD_TYPE=Release -DMORVANE_BUILD_TESTS=OFF -DMORVANE_BUILD_BENCH=OFF
  # cpack installs without building everything first: the shipped target below is enough.
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON)
if [ "$(uname -s)" = Darwin ]; then
  options+=("-DCMAKE_OSX_ARCHITECTURES=arm64;x86_64")
fi
cmake -S . -B "$dir" -G Ninja "${options[@]}" "$@" >/dev/null
cmake --build "$dir" --target shipped -j"$(getconf _NPROCESSORS_ONLN)"

out="$dir/packages"
rm -rf "$out"
# cpack reads its configuration from the current folder.
(cd "$dir" && cpack -B "$PWD/packages" >cpack.log) || { cat "$dir/cpack.log" >&2; exit 1; }
archives=("$out"/*.tar.gz)
[ ${#archives[@]} -eq 1 ] && [ -f "${archives[0]}" ] || { echo "no single archive in $out" >&2; exit 1; }
for file in "$out"/*; do
  [ -f "$file" ] && echo "$(wc -c <"$file") bytes  $(basename "$file")"
done
echo "$(cd "$out" && pwd)/$(basename "${archives[0]}")"
