#!/usr/bin/env bash
# Installs dependencies, builds, and shows the helper at work through the host-side client.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
bin=build/bin

echo "== read:text (answered as unsupported until the pasteboard operations exist)"
"$bin/clipboard_client" read:text || echo "(exit status $?)"
