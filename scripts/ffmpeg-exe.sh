#!/usr/bin/env bash
# Builds a static Windows ffmpeg.exe from Debian's ffmpeg source package, restricted to what
# zal-ndi-send asks of it and what common cameras send, and prints its path.
# Built once per machine, source version and recipe, cached outside the clone
# (ZAL_CACHE_DIR, default /var/cache/zal-ndi-send); later runs only print the path.
# Needs: dpkg-dev (apt-get source), nasm, gcc-mingw-w64-x86-64-posix, make (scripts/deps.sh).
set -euo pipefail

CACHE_ROOT=${ZAL_CACHE_DIR:-/var/cache/zal-ndi-send}
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
  --enable-filter=scale,format,aresample,aformat,null,anull,buffer,abuffer,buffersink,abuffersink,copy,acopy,metadata,ametadata
  --enable-muxer=rawvideo,pcm_f32le
  --enable-encoder=rawvideo,pcm_f32le
)

log() { echo "ffmpeg-exe: $*" >&2; }

# shellcheck source=scripts/debian-source.sh
source "$(dirname "$0")/debian-source.sh"
version=$(reachable_source_version ffmpeg)

recipe=$(printf '%s\n' "${CONFIGURE[@]}" | sha256sum | cut -c1-8)
final="$CACHE_ROOT/ffmpeg-$version-$recipe"
cached_or_locked "$final/ffmpeg.exe" ffmpeg.lock build
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
