#!/usr/bin/env bash
# Installs the Debian packages needed to build, test (unit, e2e, Windows under wine) and run
# the demo.
# Idempotent: when every package is already installed it returns without apt work.
# Extra packages: ZAL_EXTRA_PACKAGES="gdb ..." bash scripts/deps.sh
set -euo pipefail

PACKAGES=(
  # build
  cmake g++ make libgtest-dev nlohmann-json3-dev pkg-config
  # the supervisor's readiness and status for systemd (sd_notify)
  libsystemd-dev
  # the keep-alive slate: stb_truetype, stb_image (header-only) and the font compiled in
  libstb-dev fonts-dejavu-core
  # the supervisor's status page and API (the Windows build takes the single header from the
  # source package: scripts/httplib-header.sh)
  libcpp-httplib-dev
  # Windows cross-build
  g++-mingw-w64-x86-64-posix
  # sanitizer builds and the libFuzzer targets
  clang libclang-rt-14-dev
  # tests and demo helpers (xdist: the suites run with -n)
  python3 python3-pytest python3-pytest-xdist python3-numpy
  # the .deb and its checks (file, dpkg-dev: cpack's dependency list), the event schemas
  file dpkg-dev lintian groff-base man-db python3-jsonschema unzip
  # the systemd unit's checks (systemd-analyze) and its run as the service user (adduser)
  systemd adduser procps
  # the Windows build's tests run under wine (64-bit only)
  wine wine64
  # decoder the program starts
  ffmpeg
  # loopback RTSP test server (x264enc: ugly; rtp payloaders: good; opusenc: base)
  python3-gi gir1.2-gstreamer-1.0 gir1.2-gst-plugins-base-1.0 gir1.2-gst-rtsp-server-1.0
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly
  # the RTSP test server's H.265 stream (x265enc)
  gstreamer1.0-plugins-bad
  # the bench's in-process peer: gst-launch-1.0 and avdec_h264
  gstreamer1.0-tools gstreamer1.0-libav
  # the Windows ffmpeg.exe, built from Debian's source package (scripts/ffmpeg-exe.sh)
  dpkg-dev nasm
  # the status page's browser test (headless) and the metrics' check (promtool)
  chromium chromium-driver python3-selenium prometheus
)
# shellcheck disable=SC2206
PACKAGES+=(${ZAL_EXTRA_PACKAGES:-})

missing() {
  local p status
  for p in "${PACKAGES[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [[ "$status" == installed ]] || echo "$p"
  done
}

mapfile -t todo < <(missing)
if ((${#todo[@]} == 0)); then
  echo "deps: all ${#PACKAGES[@]} packages installed"
  exit 0
fi
echo "deps: installing ${todo[*]}"

SUDO=()
if [[ $(id -u) -ne 0 ]]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO=(sudo)
  else
    echo "deps: not root and no sudo; install as root: ${todo[*]}" >&2
    exit 1
  fi
fi

"${SUDO[@]}" apt-get update
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y --no-install-recommends "${todo[@]}"

mapfile -t still < <(missing)
if ((${#still[@]} != 0)); then
  echo "deps: still missing after install: ${still[*]}" >&2
  exit 1
fi
echo "deps: done"
