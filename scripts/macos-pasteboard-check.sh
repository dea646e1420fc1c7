#!/usr/bin/env bash
# Round trips through the real general pasteboard on macOS. The helper writes and reads through
# the host-side client; pbcopy and pbpaste play the other application. It replaces the clipboard's
# contents: run it between saving and restoring them (the macOS workflow does).
# Usage: scripts/macos-pasteboard-check.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
client="$build/bin/clipboard_client"
helper="$build/bin/morvane_macos_helper"
export LANG=en_US.UTF-8  # pbcopy and pbpaste convert text by the locale

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*" >&2
  [ -f "$work/header" ] && echo "last header: $(cat "$work/header")" >&2
  exit 1
}
# One helper operation; the header line goes to $work/header, the payload to $work/payload.
helper_op() {
  rm -f "$work/header" "$work/payload"
  "$client" --helper "$helper" --payload-out "$work/payload" "$@" >"$work/header"
}

# What the helper writes is what another application pastes.
text='morvane check: caf'$'\xc3\xa9'' line'$'\n''second'
printf '%s' "$text" | helper_op write:text || fail "write:text"
grep -q '"delivery":"committed_verified"' "$work/header" || fail "write:text not verified"
[ "$(pbpaste)" = "$text" ] || fail "pbpaste does not show the text the helper wrote"

# What another application copies is what the helper reads, byte for byte.
printf '%s' 'copied elsewhere' | pbcopy
helper_op read:text || fail "read:text"
[ "$(cat "$work/payload")" = 'copied elsewhere' ] || fail "read:text payload"
helper_op read:auto || fail "read:auto"
grep -q '"kind":"text"' "$work/header" || fail "read:auto does not see text"

# A small PNG: validated by ImageIO, written, and read back unchanged.
python3 - "$work/image.png" <<'EOF'
import struct, sys, zlib

def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

width, height = 3, 2
rows = b"".join(b"\x00" + bytes([200, 30, 60, 255]) * width for _ in range(height))
png = (b"\x89PNG\r\n\x1a\n"
       + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
       + chunk(b"IDAT", zlib.compress(rows))
       + chunk(b"IEND", b""))
open(sys.argv[1], "wb").write(png)
EOF
helper_op validate:png <"$work/image.png" || fail "validate:png rejects a valid PNG"
head -c 40 "$work/image.png" | helper_op validate:png && fail "validate:png accepts a truncated PNG"
helper_op write:image 3 2 2 <"$work/image.png" || fail "write:image"
helper_op read:image || fail "read:image"
cmp -s "$work/payload" "$work/image.png" || fail "read:image payload differs from what was written"
grep -q '"height":2' "$work/header" || fail "read:image height"
grep -q '"width":3' "$work/header" || fail "read:image width"

# File paths: one pasteboard item per path, read back as the same paths.
paths='["/tmp/with space","/tmp/100%","/"]'
printf '%s' "$paths" | helper_op write:file_urls || fail "write:file_urls"
helper_op read:file_urls || fail "read:file_urls"
[ "$(cat "$work/payload")" = "$paths" ] || fail "read:file_urls payload: $(cat "$work/payload")"

# Clear leaves nothing for anyone.
helper_op clear || fail "clear"
helper_op read:auto || fail "read:auto after clear"
grep -q '"kind":"none"' "$work/header" || fail "read:auto after clear"
[ -z "$(pbpaste)" ] || fail "pbpaste still shows text after clear"

echo "pasteboard round trips: ok"
