#!/usr/bin/env bash
# Round trips through the real general pasteboard on macOS. The helper writes and reads through
# the host-side client; pbcopy, pbpaste and AppKit through osascript play the other application.
# It replaces the clipboard's contents: run it between saving and restoring them (the macOS
# workflow does).
# Usage: scripts/macos-pasteboard-check.sh [BUILD_DIR [TEST_HOOKS_BUILD_DIR]]
# The second build, configured with -DMORVANE_TEST_HOOKS=ON, adds the checks of a platform
# exception raised in the middle of an operation.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
hooks_build=${2:-}
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

# Text the platform could lose on its way in or out: a leading U+FEFF (which decoding UTF-8
# takes for a byte-order mark and drops), an embedded NUL, characters outside the Basic
# Multilingual Plane. Each is written and read back byte for byte.
printf '\xef\xbb\xbfbegins with U+FEFF' >"$work/bom.txt"
printf 'embedded\0NUL' >"$work/nul.txt"
printf 'outside the plane: \xf0\x9f\x98\x80 \xf0\x90\x8d\x88' >"$work/astral.txt"
for sample in bom nul astral; do
  helper_op write:text <"$work/$sample.txt" || fail "write:text of $sample.txt"
  grep -q '"delivery":"committed_verified"' "$work/header" || fail "write:text of $sample.txt not verified"
  helper_op read:text || fail "read:text of $sample.txt"
  cmp -s "$work/payload" "$work/$sample.txt" || fail "read:text of $sample.txt differs from what was written"
done

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

# An image copied as TIFF only, as applications that copy an NSImage leave it: read as PNG of
# the same size, a PNG the helper itself accepts; text beside it still wins in read:auto.
sips -s format tiff "$work/image.png" --out "$work/image.tiff" >/dev/null || fail "sips made no TIFF"
printf '\x89PNG\r\n\x1a\n' >"$work/signature"
"$build/bin/macos_pasteboard" write --data public.tiff "$work/image.tiff" >/dev/null ||
  fail "could not plant a TIFF"
for operation in read:image read:auto; do
  helper_op "$operation" || fail "$operation of a TIFF"
  grep -q '"height":2,"kind":"image","width":3' "$work/header" || fail "$operation of a TIFF"
  head -c 8 "$work/payload" | cmp -s - "$work/signature" || fail "$operation of a TIFF is no PNG"
done
helper_op validate:png <"$work/payload" || fail "the PNG converted from a TIFF does not validate"
"$build/bin/macos_pasteboard" write --text beside --data public.tiff "$work/image.tiff" >/dev/null ||
  fail "could not plant text and a TIFF"
helper_op read:auto || fail "read:auto of text and a TIFF"
grep -q '"kind":"text"' "$work/header" || fail "read:auto prefers a TIFF to text"

# File paths: one pasteboard item per path, read back as the same paths.
paths='["/tmp/with space","/tmp/100%","/"]'
printf '%s' "$paths" | helper_op write:file_urls || fail "write:file_urls"
helper_op read:file_urls || fail "read:file_urls"
[ "$(cat "$work/payload")" = "$paths" ] || fail "read:file_urls payload: $(cat "$work/payload")"

# Files copied in Finder: the pasteboard holds a file reference URL (file:///.file/id=...),
# planted here from NSURL's fileReferenceURL as Finder puts it there. The helper reads it as the
# file's path, as the file system reports it (/var is /private/var); once the file is gone, the
# reference names nothing and the read fails.
copied="$work/copied in Finder 100% #1 caf"$'\xc3\xa9'".txt"
printf 'x' >"$copied"
osascript -l JavaScript - "$copied" <<'JS' || fail "could not plant a file reference URL"
ObjC.import('AppKit');
function run(argv) {
  const reference = $.NSURL.fileURLWithPath($(argv[0])).fileReferenceURL;
  const text = reference.absoluteString.js;
  if (!text.startsWith('file:///.file/id=')) throw new Error('not a file reference URL: ' + text);
  const pasteboard = $.NSPasteboard.generalPasteboard;
  pasteboard.clearContents;
  if (!pasteboard.setStringForType($(text), $('public.file-url'))) throw new Error('not written');
}
JS
# $1: a payload file, $2: the one path it must list (Unicode normalisation forms may differ).
lists_path() {
  python3 - "$1" "$2" <<'PY'
import json, os, sys, unicodedata
nfc = lambda text: unicodedata.normalize("NFC", text)
paths = json.load(open(sys.argv[1], encoding="utf-8"))
sys.exit(0 if [nfc(p) for p in paths] == [nfc(os.path.realpath(sys.argv[2]))] else 1)
PY
}
for operation in read:file_urls read:auto; do
  helper_op "$operation" || fail "$operation of a file reference URL"
  grep -q '"kind":"file_urls"' "$work/header" || fail "$operation does not see the file reference URL"
  lists_path "$work/payload" "$copied" || fail "$operation of a file reference URL: $(cat "$work/payload")"
done
rm "$copied"
helper_op read:file_urls && fail "read:file_urls of a reference to a deleted file succeeded"
grep -q '"message":"Clipboard file URL is not a local UTF-8 path"' "$work/header" ||
  fail "read:file_urls of a reference to a deleted file"

# A written path that is itself a file reference (/.file/id=...) is written as the path of the
# file it names and read back as that path; once the file is gone it is refused before the clear.
printf 'y' >"$copied"
"$build/bin/macos_pasteboard" write --file-reference "$copied" >/dev/null ||
  fail "could not plant a file reference URL"
reference=$("$build/bin/macos_pasteboard" read file-urls)
reference=${reference#file://}
printf '["%s"]' "$reference" | helper_op write:file_urls || fail "write:file_urls of $reference"
helper_op read:file_urls || fail "read:file_urls after writing $reference"
lists_path "$work/payload" "$copied" || fail "write:file_urls of $reference: $(cat "$work/payload")"
rm "$copied"
printf '["%s"]' "$reference" | helper_op write:file_urls &&
  fail "write:file_urls of a reference to a deleted file succeeded"
grep -q '"delivery":"not_delivered"' "$work/header" ||
  fail "write:file_urls of a reference to a deleted file touched the clipboard"

# Clear leaves nothing for anyone.
helper_op clear || fail "clear"
helper_op read:auto || fail "read:auto after clear"
grep -q '"kind":"none"' "$work/header" || fail "read:auto after clear"
[ -z "$(pbpaste)" ] || fail "pbpaste still shows text after clear"

# AppKit raises NSPasteboardCommunicationException from any call when the pasteboard server
# fails. Raised here on request from Foundation, below the seam's plain C++ frames, through a
# hook only the test build has: the operation ends in an INTERNAL response, and one that had
# begun to change the clipboard reports its delivery as uncertain. The shipped helper has no
# such hook and ignores the request.
MORVANE_TEST_RAISE_IN=change_count helper_op read:auto || fail "the shipped helper obeys a test hook"
if [ -n "$hooks_build" ]; then
  hooked="$hooks_build/bin/morvane_macos_helper"
  # $1: the seam member that raises, $2: the delivery the response must report, then the
  # operation.
  raised() {
    local member=$1 delivery=$2
    shift 2
    rm -f "$work/header"
    MORVANE_TEST_RAISE_IN=$member "$client" --helper "$hooked" --payload-out "$work/payload" "$@" \
      </dev/null >"$work/header" && fail "$* with an exception in $member succeeded"
    grep -q '"error_code":"INTERNAL"' "$work/header" || fail "$* with an exception in $member"
    grep -q "\"delivery\":\"$delivery\"" "$work/header" ||
      fail "$* with an exception in $member: not $delivery"
  }
  raised change_count unknown read:text
  raised change_count unknown read:file_urls
  raised clear_contents delivery_uncertain clear
  raised set_string delivery_uncertain write:text
  # Without the request the test build is the helper as usual.
  printf 'after' | "$client" --helper "$hooked" write:text >/dev/null || fail "test build write:text"
fi

echo "pasteboard round trips: ok"
