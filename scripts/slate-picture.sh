#!/usr/bin/env bash
# Takes docs/slate.png from the program's own output: zal-ndi-send --keep-alive with a camera
# that cannot be reached, through the stand-in runtime's capture; the last frame captured,
# scaled to half size by ffmpeg.
# Usage: bash scripts/slate-picture.sh [build-dir] [out.png]   (defaults: build, docs/slate.png)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=$(realpath "${1:-build}")
OUT=${2:-docs/slate.png}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A port where nothing listens: the probe finds the camera away.
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
(sleep 4) | NDI_RUNTIME_DIR_V6="$BUILD/standin" FFMPEG_BIN="$BUILD/testing/fake-ffmpeg" \
  ZAL_STANDIN_CAPTURE="$work" ZAL_STANDIN_MAX_FRAMES=150 \
  "$BUILD/zal-ndi-send" --keep-alive --input "rtsp://127.0.0.1:$port/stream" \
  --name "Stage Left" --no-audio >"$work/lines"
grep -q '"cause":"unreachable"' "$work/lines"
frame=$((1920 * 1080 * 3 / 2))
count=$(($(stat -c %s "$work/video.nv12") / frame))
tail -c "$frame" "$work/video.nv12" >"$work/last.nv12"
ffmpeg -loglevel error -y -f rawvideo -pix_fmt nv12 -s 1920x1080 -i "$work/last.nv12" \
  -vf scale=960:540:flags=area -frames:v 1 "$OUT"
echo "slate-picture: frame $count of the capture -> $OUT"
