#!/usr/bin/env bash
# Installs whatever is needed and not there yet; a no-op when all is.
#   scripts/install-deps.sh          what the build and the demo need
#   scripts/install-deps.sh --test   that, plus what the full test run needs (sanitizer build
#                                    with clang and libc++, fuzzing)
set -euo pipefail
cd "$(dirname "$0")/.."
lists=(scripts/debian-packages.txt)
case "${1:-}" in
  "") ;;
  --test) lists+=(scripts/debian-packages-test.txt) ;;
  *) echo "usage: scripts/install-deps.sh [--test]" >&2; exit 2 ;;
esac

if [ "$(uname -s)" = "Darwin" ]; then
  # macOS: the compiler and frameworks come with Xcode's command line tools; the rest from
  # Homebrew.
  command -v brew >/dev/null || { echo "install Homebrew first" >&2; exit 1; }
  brew list cmake ninja pkgconf nlohmann-json googletest google-benchmark >/dev/null 2>&1 ||
    brew install cmake ninja pkgconf nlohmann-json googletest google-benchmark
  exit 0
fi

mapfile -t wanted < <(cat "${lists[@]}" | grep -vE '^\s*(#|$)')
missing=()
for pkg in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "not root and no sudo: install ${missing[*]} first" >&2; exit 1; }
  sudo=(sudo DEBIAN_FRONTEND=noninteractive)
fi
echo "installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
