#!/usr/bin/env bash
# Installs dependencies, builds, and shows the helper at work through the host-side client.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
bin=build/bin

# A private simulated general pasteboard, so the demo leaves the user's own alone.
export MORVANE_SIM_PASTEBOARD=$(mktemp -u /tmp/morvane-demo-pasteboard.XXXXXX)
trap 'rm -f "$MORVANE_SIM_PASTEBOARD" "$MORVANE_SIM_PASTEBOARD.lock"' EXIT
client="$bin/clipboard_client"
png=tests/data/pngsuite/basn6a08.png
[ -f "$png" ] || png=$(ls tests/data/pngsuite/b*.png 2>/dev/null | head -n1)

echo "== another application puts text on the pasteboard"
"$bin/sim_pasteboard" write --text "planted by another app" >/dev/null
echo "\$ clipboard_client read:text"
"$client" read:text; echo
echo "\$ printf 'hello from morvane' | clipboard_client write:text"
printf 'hello from morvane' | "$client" write:text
echo "\$ clipboard_client read:text"
"$client" read:text; echo
if [ -n "$png" ]; then
  echo "\$ clipboard_client write:image 32 32 1 < $(basename "$png")"
  "$client" write:image 32 32 1 <"$png"
  echo "\$ clipboard_client --payload-out /dev/null read:image   (payload: $(stat -c %s "$png") bytes of PNG)"
  "$client" --payload-out /dev/null read:image
fi
echo "\$ echo '[\"/tmp/a b.txt\",\"/tmp/report #2.pdf\"]' | clipboard_client write:file_urls"
echo '["/tmp/a b.txt","/tmp/report #2.pdf"]' | "$client" write:file_urls
echo "\$ clipboard_client read:file_urls"
"$client" read:file_urls; echo
echo "\$ clipboard_client clear"
"$client" clear
echo "\$ clipboard_client read:auto"
"$client" read:auto

# --- frame_streamer: three seconds of a virtual screen into a file ---
if [ -x "$bin/frame_streamer" ]; then
  echo "== frame_streamer: 3 s of a 1512x982 Xvfb screen whose colour changes every 0.25 s"
  frames=$(mktemp) displayfd=$(mktemp)
  # -noreset keeps what xsetroot draws after it disconnects; -displayfd reports a free number.
  Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1512x982x24 3>"$displayfd" 2>/dev/null &
  xvfb=$!
  for _ in $(seq 100); do grep -q . "$displayfd" && break; sleep 0.1; done
  export DISPLAY=":$(head -n1 "$displayfd")"
  ( for colour in red green blue orange purple teal navy olive gray maroon white black; do
      xsetroot -solid "$colour"; sleep 0.25
    done ) &
  painter=$!
  # The streamer runs until it is ended from outside; timeout's status 124 is that ending.
  timeout 3 "$bin/frame_streamer" --fps 10 >"$frames" || [ $? -eq 124 ]
  kill "$painter" 2>/dev/null || true
  kill "$xvfb"; wait "$xvfb" 2>/dev/null || true
  unset DISPLAY
  # Each record: 4-byte big-endian JPEG length, width, height, then the JPEG data.
  total=$(stat -c %s "$frames") offset=0 count=0
  be32() { od -An -tu1 -j "$1" -N 4 "$frames" | awk '{print $1*16777216 + $2*65536 + $3*256 + $4}'; }
  while [ "$offset" -lt "$total" ]; do
    length=$(be32 "$offset")
    [ "$count" -eq 0 ] && echo "first record: $(be32 $((offset + 4)))x$(be32 $((offset + 8))), $length bytes of JPEG"
    offset=$((offset + 12 + length)) count=$((count + 1))
  done
  echo "$count records, $total bytes in all"
  rm -f "$frames" "$displayfd"
fi
