#!/usr/bin/env bash
# Installs what the build and the tests need, builds Linux and Windows, runs every test:
# Linux first, then the Windows build under wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

echo "== build: linux"
cmake --preset default >/dev/null
cmake --build build -j2

echo "== build: windows (mingw-w64)"
cmake --preset windows >/dev/null
cmake --build build-windows -j2

echo "== unit tests"
ctest --test-dir build --output-on-failure -j2

# Apart: each suite imports its own conftest by that one module name.
echo "== black-box tests"
export ZAL_BUILD_DIR="$PWD/build"
/usr/bin/python3 -m pytest -q -n 4 tests/blackbox
echo "== end-to-end tests"
/usr/bin/python3 -m pytest -q -n 4 tests/e2e
echo "== Debian package: lintian, install, run, remove"
bash scripts/package-check.sh build
echo "== Windows zip: contents and version records"
bash scripts/zip-check.sh build-windows

echo "== Windows build under wine: unit and black-box tests"
windows_start=$SECONDS
# A prefix of our own, made once per build tree; wine's chatter is of no use here.
export WINEPREFIX="$PWD/build-windows/wineprefix"
export WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
stop_wine() { wineserver -k 2>/dev/null || true; }
trap stop_wine EXIT
if [[ ! -f "$WINEPREFIX/.zal-ready" ]]; then
  # No mono or gecko: nothing here needs them, and their installers would only be looked for.
  if ! WINEDLLOVERRIDES="mscoree,mshtml=" timeout 300 wineboot -i >build-windows/wineboot.log 2>&1
  then
    cat build-windows/wineboot.log >&2
    exit 1
  fi
  timeout 60 wineserver -w  # the registry is written when the server ends
  touch "$WINEPREFIX/.zal-ready"
fi
# One server for the whole part, its system processes started here: each wine start then
# skips their start-up, and none of them holds a test's output pipes open. When it ends
# (the trap's -k) it lists every object left behind by the killed test processes on its
# standard error: that page goes to a log.
wineserver -p 2>build-windows/wineserver.log
wine cmd /c exit </dev/null >/dev/null 2>&1
echo "wine prefix ready after $((SECONDS - windows_start)) s"
# The toolchain file makes wine the emulator, so ctest runs each test case under wine.
ctest --test-dir build-windows --output-on-failure -j2
ZAL_TARGET=windows ZAL_BUILD_DIR="$PWD/build-windows" /usr/bin/python3 -m pytest -q -n 4 tests/blackbox
# A real ffmpeg.exe, built once per machine and source version (minutes the first time).
ffmpeg_exe=$(bash scripts/ffmpeg-exe.sh)
# One at a time: each run streams in real time.
ZAL_TARGET=windows ZAL_BUILD_DIR="$PWD/build-windows" ZAL_FFMPEG_EXE="$ffmpeg_exe" \
  /usr/bin/python3 -m pytest -q tests/e2e
echo "== Windows part: $((SECONDS - windows_start)) s"

echo "== sanitizers: unit and black-box tests under ASan+UBSan, then TSan"
bash scripts/sanitize.sh
echo "== fuzzing"
bash scripts/fuzz.sh
echo "== benchmark tools"
ZAL_BUILD_DIR="$PWD/build" /usr/bin/python3 -m pytest -q bench
