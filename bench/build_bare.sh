#!/usr/bin/env bash
# Builds the bare receiver: bash bench/build_bare.sh <output-file>
# Same flags as the program's RelWithDebInfo objects, same source files for the
# decoder start-up and the sockets.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p "$(dirname "$1")"
g++ -std=c++17 -O2 -g -DNDEBUG -Wall -Wextra -pthread -Isrc -Icommon \
  bench/bare_receiver.cpp src/options.cpp src/decoder.cpp src/decoder_process.cpp src/decoder_log.cpp src/lip_sync.cpp src/events.cpp \
  common/process_posix.cpp common/clock.cpp common/numbers.cpp common/redact.cpp src/net_posix.cpp \
  -o "$1"
