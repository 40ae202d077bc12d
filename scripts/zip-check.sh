#!/usr/bin/env bash
# Builds the Windows zip from a built Windows tree and checks what it holds: both programs
# (each with its version record), the README, the LICENSE, the third-party notices, the
# schemas and the sample.
# Usage: bash scripts/zip-check.sh [build-dir]   (default: build-windows)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=$(realpath "${1:-build-windows}")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")

rm -f "$BUILD"/zal-ndi-send-*-windows-x64.zip
(cd "$BUILD" && cpack -G ZIP >/dev/null)
zip="$BUILD/zal-ndi-send-$version-windows-x64.zip"
unzip -l "$zip"

programs=(zal-ndi-send zal-ndi-supervise)
wanted=(README.md LICENSE THIRD-PARTY-NOTICES.txt events.schema.json supervise-events.schema.json
  supervise-api.schema.json examples/sources.json)
names=$(unzip -Z1 "$zip")
for name in "${wanted[@]}" "${programs[@]/%/.exe}"; do
  grep -qxF "$name" <<<"$names" || { echo "zip-check: $name missing from $zip" >&2; exit 1; }
done

# A notice for each piece compiled in, the slate's font and stb among them.
notices=$(unzip -p "$zip" THIRD-PARTY-NOTICES.txt)
for what in nlohmann-json cpp-httplib stb DejaVu mingw-w64; do
  grep -q "^==== $what" <<<"$notices" || { echo "zip-check: no notice for $what in $zip" >&2; exit 1; }
done

# The version record as Explorer shows it, read back from each program in the zip.
IFS=. read -r major minor patch <<<"$version"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
unzip -q "$zip" -d "$unpacked"
for program in "${programs[@]}"; do
  record=$(x86_64-w64-mingw32-windres -i "$unpacked/$program.exe" -O rc)
  for line in "FILEVERSION $major, $minor, $patch, 0" "PRODUCTVERSION $major, $minor, $patch, 0" \
      "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
      "VALUE \"ProductName\", \"zal-ndi-send\"" "VALUE \"OriginalFilename\", \"$program.exe\"" \
      "VALUE \"LegalCopyright\", \"Copyright (c) 2026 The zal-ndi-send authors\"" \
      "VALUE \"FileDescription\", \""; do
    grep -qF "$line" <<<"$record" || {
      echo "zip-check: $program.exe: no '$line' in its version record:" >&2
      echo "$record" >&2
      exit 1
    }
  done
done
echo "zip-check: ${programs[*]} with version $version"
