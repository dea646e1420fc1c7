#!/usr/bin/env bash
# Installs whatever the build and tests need and is not there yet; a no-op when all is.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(uname -s)" = "Darwin" ]; then
  # macOS: the compiler and frameworks come with Xcode's command line tools; the rest from
  # Homebrew.
  command -v brew >/dev/null || { echo "install Homebrew first" >&2; exit 1; }
  brew list cmake nlohmann-json googletest google-benchmark >/dev/null 2>&1 ||
    brew install cmake nlohmann-json googletest google-benchmark
  exit 0
fi

mapfile -t wanted < <(grep -vE '^\s*(#|$)' scripts/debian-packages.txt)
missing=()
for pkg in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
