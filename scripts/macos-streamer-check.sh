#!/usr/bin/env bash
# frame_streamer on a real Mac. With Screen Recording granted to the process that runs it, a few
# seconds of records must be well formed (sizes, JPEG, unchanged frames dropped), and a summary
# table is printed. Without it, the set-up must fail with its one line on standard error and
# status 1, which is reported as a skipped check with how to grant the permission. A crash, a
# signal or stray output fails the check.
# Usage: scripts/macos-streamer-check.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
streamer="$build/bin/frame_streamer"
. scripts/macos-common.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A standard output closed at launch ends the streamer at once, before any capture.
"$streamer" >&- 2>"$work/closed-err" &
pid=$!
for _ in $(seq 1 50); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
  kill "$pid"
  echo "FAIL: still running with standard output closed" >&2
  exit 1
fi
status=0
wait "$pid" || status=$?
if [ "$status" -ne 1 ] || [ "$(cat "$work/closed-err")" != "frame output failed: Bad file descriptor" ]; then
  echo "FAIL: closed standard output gave status $status and: $(cat "$work/closed-err")" >&2
  exit 1
fi

# A few seconds of capture at a known rate. A still screen must not give a record per frame:
# unchanged frames are dropped.
fps=10 seconds=4 width=320
"$streamer" --width "$width" --fps "$fps" >"$work/out" 2>"$work/err" &
pid=$!
# Set-up may wait on ScreenCaptureKit (and, in a session nobody answers, on a permission
# prompt): up to 10 s for the first record, then the measured seconds.
for _ in $(seq 1 100); do
  kill -0 "$pid" 2>/dev/null || break
  [ -s "$work/out" ] && break
  sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then sleep "$seconds"; fi

if kill -0 "$pid" 2>/dev/null; then
  kill "$pid"
  wait "$pid" || true
  if [ ! -s "$work/out" ]; then
    echo "frame_streamer: SKIPPED: no frame within 10 s; standard error: $(cat "$work/err")"
    echo "$screen_recording_grant"
    exit 0
  fi
  python3 - "$work/out" "$fps" "$seconds" "$width" <<'EOF'
import struct, sys

data = open(sys.argv[1], "rb").read()
fps, seconds, width_limit = int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
at, sizes, shapes = 0, [], set()
while at + 12 <= len(data):
    length, width, height = struct.unpack(">III", data[at:at + 12])
    jpeg = data[at + 12:at + 12 + length]
    if len(jpeg) < length:
        break  # the process was ended in the middle of a record
    assert 1 <= width <= width_limit and height >= 1, f"record {len(sizes)}: {width}x{height}"
    assert jpeg[:3] == b"\xff\xd8\xff" and jpeg[-2:] == b"\xff\xd9", f"record {len(sizes)}: not a complete JPEG"
    sizes.append(length)
    shapes.add((width, height))
    at += 12 + length
assert sizes, "no complete record"
assert len(shapes) == 1, f"the capture size changed: {sorted(shapes)}"
# A screen that changed on every frame for the whole run would give this many.
ceiling = fps * seconds
assert len(sizes) < ceiling, f"{len(sizes)} records: unchanged frames were not dropped"
(width, height), = shapes
rows = [
    ("records", f"{len(sizes)} in about {seconds} s at --fps {fps}"),
    ("capture size", f"{width}x{height} (at most {width_limit} wide)"),
    ("JPEG bytes", f"min {min(sizes)}, max {max(sizes)}, mean {sum(sizes) // len(sizes)}"),
    ("JPEG validity", "every record starts with FF D8 FF and ends with FF D9"),
    ("idle frames", f"dropped: {len(sizes)} records, fewer than the {ceiling} of a changing screen"),
]
print("frame_streamer check: passed")
print(f"| {'what':<14} | result")
print(f"|{'-' * 16}|{'-' * 66}")
for what, result in rows:
    print(f"| {what:<14} | {result}")
EOF
else
  status=0
  wait "$pid" || status=$?
  err=$(cat "$work/err")
  [ "$status" -eq 1 ] || { echo "FAIL: frame_streamer ended with status $status: $err" >&2; exit 1; }
  [ ! -s "$work/out" ] || { echo "FAIL: output written on a failed set-up" >&2; exit 1; }
  [ "$(wc -l <"$work/err")" -eq 1 ] || { echo "FAIL: more than one line on stderr: $err" >&2; exit 1; }
  case "$err" in
    "screen capture failed: "*)
      # Without the permission the set-up fails cleanly: a skipped check, not a pass.
      echo "frame_streamer: SKIPPED: $err"
      echo "$screen_recording_grant" ;;
    "no display available")
      echo "frame_streamer: SKIPPED: $err (this session has no display)" ;;
    *) echo "FAIL: unexpected standard error: $err" >&2; exit 1 ;;
  esac
fi
