#!/usr/bin/env bash
# Installs what the build and the demo need, builds, and shows the helper at work through the
# host-side client, then frame_streamer on a virtual screen; one captured frame is kept as a
# JPEG file to look at.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
bin=build/bin
demo_dir=$(pwd)/build/demo
mkdir -p "$demo_dir"

# A private simulated general pasteboard, so the demo leaves the user's own alone.
scratch=$(mktemp -d /tmp/morvane-demo.XXXXXX)
export MORVANE_SIM_PASTEBOARD="$scratch/pasteboard"
trap 'rm -rf "$scratch"' EXIT
client="$bin/clipboard_client"
png=tests/data/pngsuite/basn6a08.png

echo "== another application puts text on the pasteboard"
"$bin/sim_pasteboard" write --text "planted by another app" >/dev/null
echo "\$ clipboard_client read:text"
"$client" read:text; echo
echo "\$ printf 'hello from morvane' | clipboard_client write:text"
printf 'hello from morvane' | "$client" write:text
echo "\$ clipboard_client read:text"
"$client" read:text; echo
echo "\$ clipboard_client write:image 32 32 1 < $(basename "$png")"
"$client" write:image 32 32 1 <"$png"
echo "\$ clipboard_client --payload-out /dev/null read:image   (payload: $(wc -c <"$png") bytes of PNG)"
"$client" --payload-out /dev/null read:image
echo "\$ echo '[\"/tmp/a b.txt\",\"/tmp/report #2.pdf\"]' | clipboard_client write:file_urls"
echo '["/tmp/a b.txt","/tmp/report #2.pdf"]' | "$client" write:file_urls
echo "\$ clipboard_client read:file_urls"
"$client" read:file_urls; echo
echo "\$ clipboard_client clear"
"$client" clear
echo "\$ clipboard_client read:auto"
"$client" read:auto

# --- frame_streamer: three seconds of a virtual screen into a file ---
echo "== frame_streamer: 3 s of a 1512x982 Xvfb screen whose colour changes every 0.25 s"
frames="$scratch/frames.bin" displayfd="$scratch/displayfd"
: >"$displayfd"
# -noreset keeps what xsetroot draws after it disconnects; -displayfd reports a free number.
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1512x982x24 3>"$displayfd" 2>/dev/null &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true; rm -rf "$scratch"' EXIT
for _ in $(seq 100); do grep -q . "$displayfd" && break; sleep 0.1; done
grep -q . "$displayfd" || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$displayfd")"
( for colour in red green blue orange purple teal navy olive gray maroon white black; do
    xsetroot -solid "$colour"; sleep 0.25
  done ) &
painter=$!
# The streamer runs until it is ended from outside; timeout's status 124 is that ending.
status=0
timeout 3 "$bin/frame_streamer" --fps 10 >"$frames" || status=$?
[ "$status" -eq 124 ] || { echo "frame_streamer ended with status $status" >&2; exit 1; }
kill "$painter" 2>/dev/null || true
wait "$painter" 2>/dev/null || true
unset DISPLAY

# Each record: 4-byte big-endian JPEG length, width, height, then the JPEG data.
total=$(wc -c <"$frames") offset=0 count=0 kept=""
be32() { od -An -tu1 -j "$1" -N 4 "$frames" | awk '{print $1*16777216 + $2*65536 + $3*256 + $4}'; }
while [ "$offset" -lt "$total" ]; do
  length=$(be32 "$offset")
  if [ "$count" -eq 0 ]; then
    echo "first record: $(be32 $((offset + 4)))x$(be32 $((offset + 8))), $length bytes of JPEG"
  fi
  # Keep the fourth frame (a painted colour rather than the first black screen) when there is one.
  if [ "$count" -eq 0 ] || [ "$count" -eq 3 ]; then
    dd if="$frames" of="$demo_dir/frame.jpg" bs=64K iflag=skip_bytes,count_bytes \
      skip=$((offset + 12)) count="$length" status=none
    kept=$count
  fi
  offset=$((offset + 12 + length)) count=$((count + 1))
done
echo "$count records, $total bytes in all"
[ "$count" -gt 0 ] || { echo "no frame was captured" >&2; exit 1; }
# A JPEG file starts with the SOI marker FF D8 FF.
[ "$(od -An -tx1 -N 3 "$demo_dir/frame.jpg" | tr -d ' ')" = ffd8ff ] ||
  { echo "the kept frame is not a JPEG file" >&2; exit 1; }
echo "frame $((kept + 1)) saved as $demo_dir/frame.jpg ($(wc -c <"$demo_dir/frame.jpg") bytes): open it to look"
