#!/usr/bin/env bash
# Demo: loopback RTSP test stream -> zal-ndi-send -> stand-in NDI runtime.
# Leaves out/demo/snapshot.png and out/demo/audio.wav. Run from anywhere:
#   bash scripts/demo.sh
# Knobs: ZAL_DEMO_SECONDS (10), ZAL_BUILD_DIR (build), ZAL_DEMO_NO_BUILD=1.
set -euo pipefail

cd "$(dirname "$0")/.."
PY=/usr/bin/python3  # needs the Debian python3-gi, not a pyenv python
SECONDS_TO_RUN=${ZAL_DEMO_SECONDS:-10}
BUILD=${ZAL_BUILD_DIR:-build}
OUT=out/demo
CAP=$OUT/capture
WIDTH=1280
HEIGHT=720

bash scripts/deps.sh
if [[ -z ${ZAL_DEMO_NO_BUILD:-} ]]; then
  cmake --preset default
  cmake --build build -j2
fi

rm -rf "$CAP"
mkdir -p "$CAP"
rm -f "$OUT/events.jsonl" "$OUT/snapshot.png" "$OUT/audio.wav"
TMP=$(mktemp -d)

# A Ctrl-C kills the sleep with status 130; that must not end the script (set -e).
nap() { sleep 0.1 || true; }

SERVER_PID=""
PROG_PID=""
TAIL_PID=""
# Each child runs in its own session (setsid): Ctrl-C then reaches only this
# script, and a whole group (program + its ffmpeg) can be ended at once.
stop_group() {
  local pid=$1
  [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 30); do kill -0 "$pid" 2>/dev/null || return 0; nap; done
  kill -KILL -- "-$pid" 2>/dev/null || kill -KILL "$pid" 2>/dev/null || true
}
# shellcheck disable=SC2317  # called through the EXIT trap
cleanup() {
  exec 3>&- 2>/dev/null || true
  stop_group "$PROG_PID"
  stop_group "$SERVER_PID"
  if [[ -n $TAIL_PID ]]; then kill "$TAIL_PID" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -rf "$TMP"
}
trap cleanup EXIT
STOP=0
trap 'STOP=1' INT TERM

echo "demo: starting RTSP test server (1920x1080 30 fps SMPTE bars, 1 kHz tone)"
setsid "$PY" testing/rtsp_server.py --width 1920 --height 1080 --fps 30 --freq 1000 \
  >"$TMP/server.out" 2>"$OUT/server.log" &
SERVER_PID=$!
URL=""
for _ in $(seq 150); do
  URL=$(awk '/^READY /{print $2; exit}' "$TMP/server.out")
  [[ -n $URL ]] && break
  kill -0 "$SERVER_PID" 2>/dev/null || { echo "demo: server failed, see $OUT/server.log" >&2; exit 3; }
  nap
done
[[ -n $URL ]] || { echo "demo: server not ready in 15 s" >&2; exit 3; }
echo "demo: serving $URL"

# The program stops when its stdin closes: hold it open through a fifo on fd 3.
mkfifo "$TMP/stdin"
echo "demo: running $BUILD/zal-ndi-send for ${SECONDS_TO_RUN} s (Ctrl-C stops early)"
NDI_RUNTIME_DIR_V6="$BUILD/standin" FFMPEG_BIN=ffmpeg \
  ZAL_STANDIN_CAPTURE="$CAP" ZAL_STANDIN_MAX_FRAMES=30 \
  setsid "$BUILD/zal-ndi-send" --input "$URL" --name "ZAL Demo" \
  --width "$WIDTH" --height "$HEIGHT" \
  <"$TMP/stdin" >"$OUT/events.jsonl" 2>"$OUT/program.log" &
PROG_PID=$!
exec 3>"$TMP/stdin"
tail -n +1 -f --pid="$PROG_PID" "$OUT/events.jsonl" 3>&- &
TAIL_PID=$!

for _ in $(seq $((SECONDS_TO_RUN * 10))); do
  ((STOP)) && break
  kill -0 "$PROG_PID" 2>/dev/null || break
  nap
done

echo "demo: closing the program's stdin"
exec 3>&-
for _ in $(seq 150); do
  kill -0 "$PROG_PID" 2>/dev/null || break
  nap
done
if kill -0 "$PROG_PID" 2>/dev/null; then
  echo "demo: program still running 15 s after stdin closed; ending it" >&2
  stop_group "$PROG_PID"
fi
set +e
wait "$PROG_PID"
RC=$?
set -e
PROG_PID=""
wait "$TAIL_PID" 2>/dev/null || true
TAIL_PID=""
echo "demo: program exit code $RC, last line: $(tail -n 1 "$OUT/events.jsonl")"

stop_group "$SERVER_PID"
wait "$SERVER_PID" 2>/dev/null || true
SERVER_PID=""

"$PY" testing/capture.py report --capture "$CAP" --width "$WIDTH" --height "$HEIGHT" \
  --events "$OUT/events.jsonl" --png "$OUT/snapshot.png" --wav "$OUT/audio.wav" || true
exit "$RC"
