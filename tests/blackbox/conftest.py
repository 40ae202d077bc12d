"""Runs the real zal-ndi-send with the fake decoder and the stand-in NDI runtime.

ZAL_BUILD_DIR names the build to test (default: build/ beside this tree).
ZAL_TARGET=windows runs the Windows build under wine instead.
"""

import json
import os
import pathlib
import subprocess
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "testing"))
from event_schema import validate_send_line, validate_supervise_line  # noqa: E402

BUILD = pathlib.Path(os.environ.get("ZAL_BUILD_DIR", ROOT / "build")).resolve()
WINDOWS = os.environ.get("ZAL_TARGET") == "windows"
EXE = ".exe" if WINDOWS else ""
PROGRAM = BUILD / ("zal-ndi-send" + EXE)
FAKE = BUILD / "testing" / ("fake-ffmpeg" + EXE)
STANDIN = BUILD / "standin"
STANDIN_INCOMPATIBLE = BUILD / "standin-incompatible"
NEWLINE = b"\r\n" if WINDOWS else b"\n"
# Under wine the Windows PATH is the prefix's own, extended by WINEPATH; the Unix PATH is unused.
PATH_VAR = "WINEPATH" if WINDOWS else "PATH"

# Standard error is in text mode on Windows too.
USAGE = (b"usage: zal-ndi-send --input <rtsp-url> [--name <ndi-name>] [--ffmpeg <path>] "
         b"[--no-audio] [--width 1920] [--height 1080] [--fps 30]" + NEWLINE)


def host_path(path):
    """A path as the program sees it (a Windows path under wine)."""
    if not WINDOWS:
        return str(path)
    return "Z:" + str(path).replace("/", "\\")


def wine_pids(*needles, env=None):
    """Unix pids of wine processes whose command line holds every needle (and env entry)."""
    found = []
    for proc in pathlib.Path("/proc").iterdir():
        if not proc.name.isdigit():
            continue
        try:
            cmdline = (proc / "cmdline").read_bytes()
            environ = (proc / "environ").read_bytes().split(b"\0") if env else []
        except OSError:
            continue
        if all(n.encode() in cmdline for n in needles) and \
                all(("%s=%s" % kv).encode() in environ for kv in (env or {}).items()):
            found.append(int(proc.name))
    return found


def read_jsonl(path):
    path = pathlib.Path(path)
    if not path.exists():
        return []
    return [json.loads(line) for line in path.read_text().splitlines() if line.strip()]


class Run:
    """One run of the program: stdout is read line by line as it comes.

    Every line read is checked against the program's published event schema.
    """

    def __init__(self, args, env, stdin=subprocess.PIPE, program=PROGRAM, cwd=None,
                 preexec_fn=None):
        supervisor = pathlib.Path(program).name.startswith("zal-ndi-supervise")
        self.validate = validate_supervise_line if supervisor else validate_send_line
        self.checked = 0  # lines already checked: wait_for reads them all again and again
        command = ["wine"] if WINDOWS else []
        command += [str(program)] + list(args)
        self.proc = subprocess.Popen(command, stdin=stdin, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env, cwd=cwd,
                                     preexec_fn=preexec_fn)
        self.raw = []  # every stdout line, bytes, with its line ending
        self.lock = threading.Condition()
        self.done = False
        self.err = b""
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.err_reader = threading.Thread(target=self._read_err, daemon=True)
        self.err_reader.start()

    def _read(self):
        for line in iter(self.proc.stdout.readline, b""):
            with self.lock:
                self.raw.append(line)
                self.lock.notify_all()
        with self.lock:
            self.done = True
            self.lock.notify_all()

    def _read_err(self):
        self.err = self.proc.stderr.read()

    def _parsed(self):
        """Every line so far as JSON; call with the lock held."""
        events = [json.loads(line) for line in self.raw]
        for event in events[self.checked:]:
            self.validate(event)
        self.checked = len(events)
        return events

    @property
    def events(self):
        with self.lock:
            return self._parsed()

    def wait_for(self, predicate, timeout=20):
        """Waits until predicate(events) holds; returns the events."""
        deadline = time.monotonic() + timeout
        with self.lock:
            while True:
                events = self._parsed()
                if predicate(events):
                    return events
                left = deadline - time.monotonic()
                if left <= 0 or self.done:
                    raise AssertionError("timed out waiting; events so far: %r" % events)
                self.lock.wait(min(left, 0.2))

    def wait_event(self, name, count=1, timeout=20):
        return self.wait_for(lambda ev: sum(e["event"] == name for e in ev) >= count, timeout)

    def close_stdin(self):
        if self.proc.stdin:
            self.proc.stdin.close()

    def finish(self, timeout=30):
        """Waits for the exit; returns the exit code. Checks every line is whole, schema-valid JSON."""
        code = self.proc.wait(timeout)
        self.reader.join(5)
        self.err_reader.join(5)
        for line in self.raw:
            assert line.endswith(NEWLINE), line
            assert NEWLINE not in line[:-len(NEWLINE)], line
        with self.lock:
            self._parsed()
        return code

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)


@pytest.fixture(scope="session", autouse=True)
def wine_server():
    """Under wine: a server that outlives single runs, with its system processes started here.

    They inherit the standard handles of the process that starts them and keep them open
    for seconds after it ends, so a run must never be the one to start them.
    """
    if WINDOWS:
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, env=dict(os.environ, WINEDEBUG="-all"))
        subprocess.run(["wineserver", "-p30"], timeout=30, **quiet)  # 2 when one runs
        subprocess.run(["wine", "cmd", "/c", "exit"], timeout=300, check=True, **quiet)
    yield


@pytest.fixture
def env(tmp_path):
    """Environment with the stand-in runtime, the fake decoder and capture directories."""
    e = dict(os.environ)
    for name in list(e):
        if name.startswith(("ZAL_STANDIN_", "ZAL_FAKE_")):
            del e[name]
    e["NDI_RUNTIME_DIR_V6"] = host_path(STANDIN)
    e["FFMPEG_BIN"] = host_path(FAKE)
    e["ZAL_STANDIN_CAPTURE"] = host_path(tmp_path / "capture")
    e["ZAL_FAKE_LOG"] = host_path(tmp_path / "fake")
    if WINDOWS:
        e["WINEDEBUG"] = "-all"
    return e


@pytest.fixture
def capture(tmp_path):
    return tmp_path / "capture"


@pytest.fixture
def fakelog(tmp_path):
    return tmp_path / "fake"


@pytest.fixture
def run(env):
    """Starts runs of the program; kills any still running at the end of the test."""
    runs = []

    def start(*args, extra_env=None, stdin=subprocess.PIPE, program=PROGRAM, cwd=None,
              preexec_fn=None):
        e = dict(env)
        for key, value in (extra_env or {}).items():
            if value is None:
                e.pop(key, None)
            else:
                e[key] = value
        r = Run(args, e, stdin=stdin, program=program, cwd=cwd, preexec_fn=preexec_fn)
        runs.append(r)
        return r

    yield start
    for r in runs:
        r.kill()
