# Sourced by the scripts that build from Debian's source packages (ffmpeg-exe.sh,
# httplib-header.sh): root or sudo, the deb-src entries, a source package's version, the cache.
# The sourcing script sets `log` and runs with set -euo pipefail.

SRC_LIST=/etc/apt/sources.list.d/zal-ndi-send-src.sources

SUDO=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null 2>&1 || { log "not root and no sudo"; exit 1; }
  SUDO=(sudo)
fi

# deb-src twins of the Debian entries already configured, in the format each file uses.
write_src_entries() {
  local f out
  out=$(mktemp)
  for f in /etc/apt/sources.list.d/*.sources; do
    [[ -f "$f" && "$f" != "$SRC_LIST" ]] || continue
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /(^|\n)Types:[^\n]*deb/ && /debian\.org/ && !/(^|\n)Enabled: *no/ {
           sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f" >>"$out"
  done
  # One-line entries go into a one-line file of their own.
  if [[ -f /etc/apt/sources.list ]] &&
    grep -q '^[[:space:]]*deb[[:space:]].*debian\.org' /etc/apt/sources.list; then
    sed -n 's/^[[:space:]]*deb\([[:space:]].*debian\.org.*\)/deb-src\1/p' /etc/apt/sources.list |
      "${SUDO[@]}" tee /etc/apt/sources.list.d/zal-ndi-send-src.list >/dev/null
  fi
  if [[ -s "$out" ]]; then
    "${SUDO[@]}" install -m 644 "$out" "$SRC_LIST"
  fi
  rm -f "$out"
}

# The version apt-get source would fetch for package $1, or "".
source_version() {
  apt-get source --print-uris --only-source "$1" 2>/dev/null |
    sed -n "s/^'[^']*' $1_\(.*\)\.dsc .*/\1/p" | head -n 1 || true
}

# The same, after adding the deb-src entries and updating the lists when none is known yet.
reachable_source_version() {
  local version try
  version=$(source_version "$1")
  if [[ -z "$version" ]]; then
    log "adding deb-src entries and updating the package lists"
    write_src_entries
    # Another apt run may hold the lists lock for a while.
    for try in 1 2 3 4 5 6; do
      "${SUDO[@]}" apt-get update -qq >&2 && break
      ((try < 6)) || exit 1
      sleep 10
    done
    version=$(source_version "$1")
    [[ -n "$version" ]] || { log "no $1 source package reachable"; exit 1; }
  fi
  echo "$version"
}

# A cache folder we may write to.
ensure_cache_root() {
  if [[ ! -w "$1" ]]; then
    "${SUDO[@]}" install -d -o "$(id -u)" -g "$(id -g)" "$1"
  fi
}

# Prints the cached file $1 and ends the script when it is there. Otherwise takes the lock
# $CACHE_ROOT/$2 for the rest of the script (one build at a time; whoever waited finds the
# finished file) and removes the work folders $CACHE_ROOT/$3.* that a killed run left.
cached_or_locked() {
  if [[ -f "$1" ]]; then
    echo "$1"
    exit 0
  fi
  ensure_cache_root "$CACHE_ROOT"
  exec 9>"$CACHE_ROOT/$2"
  flock 9
  if [[ -f "$1" ]]; then
    echo "$1"
    exit 0
  fi
  rm -rf "$CACHE_ROOT/$3".*
}
