#!/usr/bin/env bash
# Builds the .deb from a built Linux tree, holds it to lintian (no error, no warning),
# installs it, runs the installed programs once each, then removes the package again.
# Usage: bash scripts/package-check.sh [build-dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=$(realpath "${1:-build}")

SUDO=()
if [[ $(id -u) -ne 0 ]]; then SUDO=(sudo); fi

# Other apt users on the machine may hold the dpkg lock for a while.
apt_get() {
  local try
  for try in 1 2 3 4 5 6 7 8 9 10; do
    if "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "$@"; then return 0; fi
    echo "package-check: apt-get $1 failed (try $try), retrying" >&2
    sleep 6
  done
  return 1
}

echo "== man pages and changelog"
# A version bump must reach the changelog and the man pages' footers too.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
logged=$(dpkg-parsechangelog -l packaging/changelog -S Version)
if [[ "$logged" != "$version" ]]; then
  echo "package-check: packaging/changelog is at $logged, the project at $version" >&2
  exit 1
fi
for page in docs/man/*.1; do
  if ! grep -q "^\.TH .* \"zal-ndi-send $version\"" "$page"; then
    echo "package-check: $page does not name version $version" >&2
    exit 1
  fi
  warnings=$(groff -ww -man -z "$page" 2>&1)
  if [[ -n "$warnings" ]]; then echo "$warnings" >&2; exit 1; fi
done

echo "== package"
rm -f "$BUILD"/zal-ndi-send_*.deb
(cd "$BUILD" && cpack -G DEB >/dev/null)
deb=$(ls "$BUILD"/zal-ndi-send_*.deb)
dpkg-deb --contents "$deb"

echo "== lintian"
status=0
lintian --fail-on error,warning "$deb" || status=$?
if ((status != 0)); then echo "package-check: lintian found errors or warnings" >&2; exit 1; fi

echo "== install"
remove() { apt_get remove -y zal-ndi-send >/dev/null || true; }
trap remove EXIT
apt_get install -y --no-install-recommends "$deb" >/dev/null

echo "== installed programs"
/usr/bin/python3 - "$BUILD" <<'EOF'
import json
import os
import signal
import subprocess
import sys

sys.path.insert(0, "testing")
from event_schema import validate_send_line

build = sys.argv[1]

def check(what, ok):
    if not ok:
        sys.exit("package-check: " + what)

usage = subprocess.run(["/usr/bin/zal-ndi-send"], capture_output=True, timeout=10)
check("usage exit %d" % usage.returncode, usage.returncode == 64)
check("usage line %r" % usage.stderr, usage.stderr.startswith(b"usage: zal-ndi-send --input "))
check("usage stdout %r" % usage.stdout, usage.stdout == b"")

# The decoder stops after five frames: started, then exit, code 1. Standard input stays open.
env = dict(os.environ, NDI_RUNTIME_DIR_V6=os.path.join(build, "standin"))
for name in [n for n in env if n.startswith(("ZAL_STANDIN_", "ZAL_FAKE_"))]:
    del env[name]
run = subprocess.Popen(["/usr/bin/zal-ndi-send", "--input", "fake:frames=5",
                        "--ffmpeg", os.path.join(build, "testing", "fake-ffmpeg"),
                        "--width", "64", "--height", "48"],
                       stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
signal.alarm(60)  # the read below ends with the program's output
out = run.stdout.read()
code = run.wait(timeout=30)
signal.alarm(0)
run.stdin.close()
lines = [json.loads(line) for line in out.splitlines()]
for line in lines:
    validate_send_line(line)
check("run exit %d: %r" % (code, lines), code == 1)
check("run lines %r" % lines, [l["event"] for l in lines][:1] == ["started"]
      and lines[-1] == {"event": "exit", "ffmpeg": 0, "requested": False})

# The supervisor: its usage line, and the sample sources file it is shipped with is good.
usage = subprocess.run(["/usr/bin/zal-ndi-supervise"], capture_output=True, timeout=10)
check("supervise usage %r" % (usage,), usage.returncode == 64
      and usage.stderr.startswith(b"usage: zal-ndi-supervise "))
sample = "/usr/share/doc/zal-ndi-send/examples/sources.json"
checked = subprocess.run(["/usr/bin/zal-ndi-supervise", "--check", sample],
                         capture_output=True, timeout=10)
check("supervise --check %r" % (checked,), checked.returncode == 0 and checked.stdout == b"")
print("package-check: installed programs run")
EOF
