#!/usr/bin/env bash
# Supervised fault soak, on demand (not in CI): zal-ndi-supervise with four sources from four
# RTSP test servers and real ffmpeg, the servers dropped, kept away and frozen in turn, for
# SOAK_SECONDS (1200). See tests/soak/soak_supervise.py for the checks, goals and knobs.
# Exits non-zero if a check fails; results in out/soak-supervise/ (summary.json).
# ZAL_SOAK_NO_BUILD=1 skips the build.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ -z ${ZAL_SOAK_NO_BUILD:-} ]]; then
  cmake --preset default >/dev/null
  cmake --build build -j2
fi
# /usr/bin/python3: the servers need the Debian python3-gi.
exec /usr/bin/python3 tests/soak/soak_supervise.py
