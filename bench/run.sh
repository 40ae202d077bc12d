#!/usr/bin/env bash
# The benchmark, in one command:  bash bench/run.sh [driver options]
# Builds the program, the stand-in runtime and the fake decoder in build-bench/
# (RelWithDebInfo, as shipped) and the bare receiver beside them, then runs
# bench/driver.py, which prints the table and writes out/bench/results-*.json.
# Driver options: --reps N, --window S, --sizes 1280x720,..., --no-e2e, --e2e-only,
# --against <other build tree> (see /usr/bin/python3 bench/driver.py --help).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD="${ZAL_BENCH_BUILD:-build-bench}"
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZAL_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target zal-ndi-send ndi_standin fake-ffmpeg >/dev/null

bash bench/build_bare.sh "$BUILD/bench/bare_receiver"

exec /usr/bin/python3 bench/driver.py --build "$BUILD" "$@"
