#!/usr/bin/env bash
# Prints the path of cpp-httplib's single header for the Windows build, taken from Debian's
# cpp-httplib source package: Debian's libcpp-httplib-dev splits it into a header and a Linux
# library, which mingw cannot use. Fetched once per machine and source version, cached outside
# the clone (ZAL_CACHE_DIR, default /var/cache/zal-ndi-send); later runs only print the path.
# Needs: dpkg-dev (apt-get source), see scripts/deps.sh.
set -euo pipefail

CACHE_ROOT=${ZAL_CACHE_DIR:-/var/cache/zal-ndi-send}

log() { echo "httplib-header: $*" >&2; }

# shellcheck source=scripts/debian-source.sh
source "$(dirname "$0")/debian-source.sh"
version=$(reachable_source_version cpp-httplib)

final="$CACHE_ROOT/cpp-httplib-$version"
cached_or_locked "$final/httplib.h" cpp-httplib.lock httplib
work=$(mktemp -d "$CACHE_ROOT/httplib.XXXXXX")
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"  # apt's download user writes there
log "fetching cpp-httplib $version's source"
(
  cd "$work"
  apt-get source -qq --only-source cpp-httplib >&2
  mkdir "$work/out"
  cp cpp-httplib-*/httplib.h cpp-httplib-*/LICENSE "$work/out/"
)
# The finished folder appears whole or not at all.
chmod 755 "$work/out"
mv -T "$work/out" "$final"
echo "$final/httplib.h"
