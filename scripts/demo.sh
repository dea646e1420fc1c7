#!/usr/bin/env bash
# Installs what the build and the demo need, builds, and shows the helper at work through the
# host-side client with another application on the same pasteboard, then a few seconds of
# frame_streamer; the last captured frame is kept as a JPEG file to look at.
#   Linux: a private simulated pasteboard (sim_pasteboard is the other application) and a
#          virtual screen (Xvfb) with a window of text and a ticking clock.
#   macOS: the real general pasteboard (macos_pasteboard is the other application), saved first
#          and put back at the end, and the real screen, which needs Screen Recording.
# Runs on macOS's bash 3.2 and BSD tools as well as on Linux.
set -euo pipefail
cd "$(dirname "$0")/.."
mac=false
if [ "$(uname -s)" = Darwin ]; then
  mac=true
  . scripts/macos-common.sh
fi
scripts/install-deps.sh
if $mac; then
  # The same configuration as scripts/test-macos.sh, so the two share build/.
  scripts/build.sh build -DMORVANE_BUILD_BENCH=OFF
else
  scripts/build.sh build
fi
bin=build/bin
demo_dir=$(pwd)/build/demo
mkdir -p "$demo_dir"
rm -f "$demo_dir/frame.jpg"

scratch=$(mktemp -d /tmp/morvane-demo.XXXXXX)
# Programs started in the background, ended when the demo ends however it ends.
background=""
cleanup() {
  local pid
  for pid in $background; do kill "$pid" 2>/dev/null || true; done
  for pid in $background; do wait "$pid" 2>/dev/null || true; done
  if $mac; then restore_pasteboard; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if $mac; then
  other="$bin/macos_pasteboard"
  echo "== the demo uses your general pasteboard: its contents are saved now and put back at the end"
  save_pasteboard "$other"
else
  # A private simulated general pasteboard, so the demo leaves the user's own alone.
  export MORVANE_SIM_PASTEBOARD="$scratch/pasteboard"
  other="$bin/sim_pasteboard"
fi
client="$bin/clipboard_client"
png=tests/data/pngsuite/basn6a08.png

echo "== another application ($(basename "$other")) puts text on the pasteboard"
"$other" write --text "planted by another app" >/dev/null
echo "\$ clipboard_client read:text"
"$client" read:text; echo
echo "\$ printf 'hello from morvane' | clipboard_client write:text"
printf 'hello from morvane' | "$client" write:text
echo "== the other application reads it: $("$other" read text)"
echo "\$ clipboard_client write:image 32 32 1 < $(basename "$png")"
"$client" write:image 32 32 1 <"$png"
echo "\$ clipboard_client --payload-out /dev/null read:image   (payload: $(($(wc -c <"$png"))) bytes of PNG)"
"$client" --payload-out /dev/null read:image
echo "\$ echo '[\"/tmp/a b.txt\",\"/tmp/report #2.pdf\"]' | clipboard_client write:file_urls"
echo '["/tmp/a b.txt","/tmp/report #2.pdf"]' | "$client" write:file_urls
echo "\$ clipboard_client read:file_urls"
"$client" read:file_urls; echo
echo "\$ clipboard_client clear"
"$client" clear
echo "\$ clipboard_client read:auto"
"$client" read:auto
if $mac; then restore_pasteboard; fi

# --- frame_streamer: a few seconds of a screen into a file ---
frames="$scratch/frames.bin" seconds=3
if ! $mac; then
  echo "== frame_streamer: ${seconds} s of a 1512x982 Xvfb screen showing a window of text and a clock"
  displayfd="$scratch/displayfd"
  : >"$displayfd"
  # -displayfd reports a free display number.
  Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1512x982x24 3>"$displayfd" 2>/dev/null &
  background="$!"
  for _ in $(seq 100); do grep -q . "$displayfd" && break; sleep 0.1; done
  grep -q . "$displayfd" || { echo "Xvfb did not start" >&2; exit 1; }
  export DISPLAY=":$(head -n1 "$displayfd")"
  xsetroot -solid '#2f5f7f'
  # The clock's second hand changes the screen every second: each tick is a changed frame.
  xclock -update 1 -geometry 400x400+1050+70 -bg white 2>/dev/null &
  background="$! $background"
  xterm -title 'morvane demo' -fa 'DejaVu Sans Mono' -fs 20 -geometry 46x11+70+70 \
    -bg '#fdf6e3' -fg '#073642' -hold -e printf '%s\n' \
    'frame_streamer demo' '' \
    'This is a virtual X screen, 1512x982.' \
    'frame_streamer captures it, scales it' \
    'to at most 1024 pixels wide and writes' \
    'every changed frame as a JPEG record.' '' \
    'The clock on the right ticks each second,' \
    'so every second gives a new frame.' 2>/dev/null &
  background="$! $background"
  # Both windows on screen before the capture starts (they are drawn within a second or so).
  for _ in $(seq 50); do
    xwininfo -name xclock >/dev/null 2>&1 && xwininfo -name 'morvane demo' >/dev/null 2>&1 && break
    sleep 0.1
  done
else
  echo "== frame_streamer: ${seconds} s of your screen (nothing is sent anywhere; one frame is kept in build/demo)"
fi

# The streamer runs until it is ended from outside, as its host ends it. Set-up may wait on the
# capture framework (on macOS, on a permission prompt): up to 10 s for the first record.
"$bin/frame_streamer" --fps 10 >"$frames" 2>"$scratch/streamer-errors" &
streamer=$!
background="$streamer $background"
for _ in $(seq 100); do
  kill -0 "$streamer" 2>/dev/null || break
  [ -s "$frames" ] && break
  sleep 0.1
done
if kill -0 "$streamer" 2>/dev/null; then sleep "$seconds"; fi
kill "$streamer" 2>/dev/null || true
status=0
wait "$streamer" 2>/dev/null || status=$?
# 143 is the end by SIGTERM from here; anything else is the streamer's own, and only a failure
# ends it.
if [ "$status" -ne 143 ]; then
  problem=$(cat "$scratch/streamer-errors")
  echo "frame_streamer ended with status $status: $problem" >&2
  if $mac; then
    case "$problem" in
      "screen capture failed: "*)
        echo "No frame: this terminal has no Screen Recording permission." >&2
        echo "$screen_recording_grant" >&2 ;;
      "no display available")
        echo "No frame: this session has no display (log in at the Mac, not over ssh)." >&2 ;;
    esac
    exit 0  # the clipboard part ran; the capture needs a person's permission
  fi
  exit 1
fi
if $mac && [ ! -s "$frames" ]; then
  echo "No frame within 10 s: macOS may be asking for Screen Recording permission." >&2
  echo "$screen_recording_grant" >&2
  exit 0
fi

# Each record: 4-byte big-endian JPEG length, width, height, then the JPEG data. The process was
# ended from outside, so the last record may be cut short: the last whole one is kept.
total=$(($(wc -c <"$frames"))) offset=0 count=0 kept=""
be32() { od -An -tu1 -j "$1" -N 4 "$frames" | awk '{print $1*16777216 + $2*65536 + $3*256 + $4}'; }
while [ $((offset + 12)) -le "$total" ]; do
  length=$(be32 "$offset")
  [ $((offset + 12 + length)) -le "$total" ] || break
  size="$(be32 $((offset + 4)))x$(be32 $((offset + 8)))"
  [ "$count" -gt 0 ] || echo "first record: $size, $length bytes of JPEG"
  kept=$offset kept_length=$length count=$((count + 1))
  offset=$((offset + 12 + length))
done
[ "$count" -gt 0 ] || { echo "no frame was captured" >&2; exit 1; }
echo "$count records, $total bytes in all"
# head stops once it has the frame; tail may then die of SIGPIPE, which is no failure here.
(set +o pipefail; tail -c +$((kept + 13)) "$frames" | head -c "$kept_length") >"$demo_dir/frame.jpg"
# A JPEG file starts with the SOI marker FF D8 FF.
[ "$(od -An -tx1 -N 3 "$demo_dir/frame.jpg" | tr -d ' ')" = ffd8ff ] ||
  { echo "the kept frame is not a JPEG file" >&2; exit 1; }
echo "frame $count of $count saved as $demo_dir/frame.jpg ($(($(wc -c <"$demo_dir/frame.jpg"))) bytes): open it to look"
