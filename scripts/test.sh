#!/usr/bin/env bash
# Installs what the build and the tests need, builds Linux and Windows, runs every test.
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

echo "== black-box and end-to-end tests"
export ZAL_BUILD_DIR="$PWD/build"
/usr/bin/python3 -m pytest -q -n 4 tests/blackbox tests/e2e
