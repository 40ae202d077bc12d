#!/usr/bin/env bash
# Builds a static Windows ffmpeg.exe from Debian's ffmpeg source package, restricted to what
# zal-ndi-send asks of it and what common cameras send, and prints its path.
# Built once per machine, source version and recipe, cached outside the clone
# (ZAL_CACHE_DIR, default /var/cache/zal-ndi-send); later runs only print the path.
# Needs: dpkg-dev (apt-get source), nasm, gcc-mingw-w64-x86-64-posix, make (scripts/deps.sh).
set -euo pipefail

CACHE_ROOT=${ZAL_CACHE_DIR:-/var/cache/zal-ndi-send}
SRC_LIST=/etc/apt/sources.list.d/zal-ndi-send-src.sources
HOST=x86_64-w64-mingw32

# The recipe: the rtsp input, the decoders common cameras need, the filters and the two raw
# outputs of the program's decoder argument list. Nothing found on the build machine is used.
CONFIGURE=(
  --target-os=mingw32 --arch=x86_64 --enable-cross-compile
  --cross-prefix=$HOST- --cc=$HOST-gcc-posix
  --pkg-config=false --disable-autodetect --enable-w32threads
  --enable-static --disable-shared --extra-ldflags=-static
  --disable-debug --disable-doc --disable-ffplay --disable-ffprobe
  --disable-everything --enable-network
  --enable-demuxer=rtsp,rtp,sdp
  --enable-protocol=tcp,udp,rtp,file,pipe
  --enable-decoder=h264,hevc,aac,opus,pcm_alaw,pcm_mulaw
  --enable-parser=h264,hevc,aac,opus
  --enable-filter=scale,format,aresample,aformat,null,anull,buffer,abuffer,buffersink,abuffersink,copy,acopy
  --enable-muxer=rawvideo,pcm_f32le
  --enable-encoder=rawvideo,pcm_f32le
)

log() { echo "ffmpeg-exe: $*" >&2; }

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

source_version() {
  apt-get source --print-uris --only-source ffmpeg 2>/dev/null |
    sed -n "s/^'[^']*' ffmpeg_\(.*\)\.dsc .*/\1/p" | head -n 1 || true
}

version=$(source_version)
if [[ -z "$version" ]]; then
  log "adding deb-src entries and updating the package lists"
  write_src_entries
  # Another apt run may hold the lists lock for a while.
  for try in 1 2 3 4 5 6; do
    "${SUDO[@]}" apt-get update -qq >&2 && break
    ((try < 6)) || exit 1
    sleep 10
  done
  version=$(source_version)
  [[ -n "$version" ]] || { log "no ffmpeg source package reachable"; exit 1; }
fi

recipe=$(printf '%s\n' "${CONFIGURE[@]}" | sha256sum | cut -c1-8)
final="$CACHE_ROOT/ffmpeg-$version-$recipe"
if [[ -f "$final/ffmpeg.exe" ]]; then
  echo "$final/ffmpeg.exe"
  exit 0
fi

if [[ ! -w "$CACHE_ROOT" ]]; then
  "${SUDO[@]}" install -d -o "$(id -u)" -g "$(id -g)" "$CACHE_ROOT"
fi

# One build at a time; whoever waited finds the finished file.
exec 9>"$CACHE_ROOT/ffmpeg.lock"
flock 9
if [[ -f "$final/ffmpeg.exe" ]]; then
  echo "$final/ffmpeg.exe"
  exit 0
fi

# Holding the lock, any build folder left is from a build that was killed.
rm -rf "$CACHE_ROOT"/build.*
work=$(mktemp -d "$CACHE_ROOT/build.XXXXXX")
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"  # apt's download user writes there
start=$SECONDS
log "building ffmpeg $version for Windows in $work"
(
  cd "$work"
  apt-get source -qq --only-source ffmpeg >&2  # the version named above
  cd ffmpeg-*/
  nice ./configure "${CONFIGURE[@]}" >configure.log 2>&1 || { tail -n 40 configure.log >&2; exit 1; }
  nice make -j"$(nproc)" ffmpeg.exe >make.log 2>&1 || { tail -n 40 make.log >&2; exit 1; }
  $HOST-strip ffmpeg.exe
  mkdir "$work/out"
  cp ffmpeg.exe "$work/out/ffmpeg.exe"
  printf '%s\n' "${CONFIGURE[@]}" >"$work/out/configure-args"
)
# The finished folder appears whole or not at all.
chmod 755 "$work/out"
mv -T "$work/out" "$final"
log "built in $((SECONDS - start)) s"
echo "$final/ffmpeg.exe"
