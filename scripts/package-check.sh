#!/usr/bin/env bash
# Builds the .deb from a built Linux tree, holds it to lintian (no error, no warning, nothing
# pedantic), installs it, runs the installed programs once each, checks the service (its unit,
# user and paths, and its run as that user as far as a machine without systemd running
# allows), then purges the package again.
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
lintian --pedantic --fail-on error,warning,pedantic "$deb" || status=$?
if ((status != 0)); then echo "package-check: lintian found errors or warnings" >&2; exit 1; fi

echo "== install"
remove() { apt_get purge -y zal-ndi-send >/dev/null || true; }
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

echo "== service: unit, user, paths"
unit=/usr/lib/systemd/system/zal-ndi-supervise.service
fail() { echo "package-check: $*" >&2; exit 1; }
[[ -f $unit ]] || fail "no $unit"
# Nothing in /etc: the administrator writes the sources file, and the unit is not enabled.
if dpkg -L zal-ndi-send | grep -q '^/etc'; then fail "the package ships files in /etc"; fi
if [[ -e /etc/systemd/system/multi-user.target.wants/zal-ndi-supervise.service ]]; then
  fail "the service is enabled on install"
fi
grep -qx 'ConditionPathExists=/etc/zal-ndi-send/sources.json' "$unit" || fail "unit starts without sources"
IFS=: read -r _ _ uid gid _ home shell < <(getent passwd zal-ndi-supervise) || fail "no user"
((uid < 1000)) || fail "zal-ndi-supervise is not a system user (uid $uid)"
[[ $home == /nonexistent && $shell == /usr/sbin/nologin ]] || fail "user home $home, shell $shell"
[[ $(getent group zal-ndi-supervise | cut -d: -f3) == "$gid" ]] || fail "no group of its own"
# Offline: systemd is not PID 1 here.
verified=$(systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify: $verified"
[[ -z $verified ]] || fail "systemd-analyze verify: $verified"
exposure=$(systemd-analyze security --offline=yes "$unit" 2>&1 \
  | sed -n 's/.*Overall exposure level for zal-ndi-supervise.service: \([0-9.]*\).*/\1/p')
echo "exposure $exposure"
[[ -n $exposure ]] && awk -v e="$exposure" 'BEGIN { exit !(e <= 3.0) }' \
  || fail "exposure ${exposure:-?} above 3.0"

echo "== service: its command line as its user"
/usr/bin/python3 - "$BUILD" "$unit" <<'EOF'
import json
import os
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, "testing")
from event_schema import validate_supervise_line

build, unit = sys.argv[1], sys.argv[2]

def check(what, ok):
    if not ok:
        sys.exit("package-check: " + what)

settings = {}
for line in open(unit):
    key, _, value = line.strip().partition("=")
    settings.setdefault(key, value)
command = shlex.split(settings["ExecStart"])
check("ExecStart %r" % command, command == ["/usr/bin/zal-ndi-supervise", "--service",
                                            "/etc/zal-ndi-send/sources.json"])

# What the service user reads, where it can reach it: the stand-in runtime, the fake decoder
# and a sources file in place of /etc/zal-ndi-send/sources.json.
work = tempfile.mkdtemp(prefix="zal-service-")
os.chmod(work, 0o755)
shutil.copytree(os.path.join(build, "standin"), os.path.join(work, "standin"))
fake = shutil.copy(os.path.join(build, "testing", "fake-ffmpeg"), work)
sources = os.path.join(work, "sources.json")
small = {"width": 64, "height": 48, "input": "fake:forever=1;fps=30"}
with open(sources, "w") as f:
    json.dump({"ffmpeg": fake, "sources": [dict(small, name="a"), dict(small, name="b")]}, f)
os.chmod(sources, 0o644)

# systemd's own kind of socket: abstract, so the service user reaches it as systemd's.
notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
address = "zal-package-check-%d" % os.getpid()
notify.bind("\0" + address)
env = {"PATH": "/usr/bin:/bin", "NDI_RUNTIME_DIR_V6": os.path.join(work, "standin"),
       "NOTIFY_SOCKET": "@" + address}
user = settings["User"]
run = subprocess.Popen(["setpriv", "--reuid=" + user, "--regid=" + settings["Group"],
                        "--init-groups", "--no-new-privs", "--"] + command[:-1] + [sources],
                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, env=env)
lines = []
reader = threading.Thread(target=lambda: lines.extend(run.stdout), daemon=True)
reader.start()
signal.alarm(90)  # whatever hangs below

def wait_notified(wanted):
    got = []
    deadline = time.monotonic() + 30
    while wanted not in got:
        notify.settimeout(max(deadline - time.monotonic(), 0.01))
        try:
            got.extend(notify.recv(4096).decode().split("\n"))
        except socket.timeout:
            check("no %s; notified %r, lines %r" % (wanted, got, lines), False)
    return got

def children():
    found = subprocess.run(["pgrep", "-P", str(run.pid)], capture_output=True, text=True)
    return sorted(found.stdout.split())

wait_notified("READY=1")
wait_notified("STATUS=2 sources: 2 streaming")
owner = os.stat("/proc/%d" % run.pid).st_uid
check("runs as uid %d" % owner, owner == int(subprocess.check_output(["id", "-u", user])))
before = children()
check("children %r" % before, len(before) == 2)
def statuses():
    return sum(b'"event":"status"' in line for line in list(lines))

# A reload that adds a source starts it and leaves the other two processes as they are.
with open(sources, "w") as f:
    json.dump({"ffmpeg": fake, "sources": [dict(small, name=n) for n in ("a", "b", "c")]}, f)
run.send_signal(signal.SIGHUP)
got = wait_notified("READY=1")
check("no RELOADING=1 before READY=1: %r" % got, "RELOADING=1" in got)
wait_notified("STATUS=3 sources: 3 streaming")
check("ended on SIGHUP", run.poll() is None)
after = children()
check("children after the reload %r, before %r" % (after, before),
      len(after) == 3 and set(before) < set(after))
run.send_signal(signal.SIGTERM)
code = run.wait(timeout=30)
reader.join(10)
signal.alarm(0)
events = [json.loads(line) for line in lines]
for event in events:
    validate_supervise_line(event)
check("exit %d" % code, code == 0)
for name in ("a", "b", "c"):
    own = [e for e in events if e.get("source") == name]
    check("%s: %r" % (name, own), own[0]["event"] == "started"
          and own[-1] == {"source": name, "event": "exit", "ffmpeg": 0, "requested": True})
shutil.rmtree(work)
check("reloaded %r" % events, {"event": "reloaded", "added": ["c"], "removed": [], "changed": []} in events)
print("package-check: the service ran as %s: ready, a reload that added a source, stopped with 0" % user)
EOF
