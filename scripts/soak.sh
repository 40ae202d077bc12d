#!/usr/bin/env bash
# Soak run, on demand (not in CI): the RTSP test server, real ffmpeg at 1920x1080 30 fps and
# the stand-in runtime in count mode, for SOAK_SECONDS (600). See tests/soak/soak.py for the
# criteria and knobs. Exits non-zero if one fails; results stay in out/soak/.
# ZAL_SOAK_NO_BUILD=1 skips the build.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ -z ${ZAL_SOAK_NO_BUILD:-} ]]; then
  cmake --preset default >/dev/null
  cmake --build build -j2
fi
# /usr/bin/python3: the server needs the Debian python3-gi.
exec /usr/bin/python3 tests/soak/soak.py
