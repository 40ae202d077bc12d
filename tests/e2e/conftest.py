"""End-to-end harness: loopback RTSP server, the real program, real ffmpeg, stand-in runtime.

ZAL_TARGET=windows runs the Windows build under wine with the ffmpeg.exe named by
ZAL_FFMPEG_EXE (bash scripts/ffmpeg-exe.sh builds it and prints its path).
"""
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
SYSTEM_PYTHON = "/usr/bin/python3"  # python3-gi lives there, not in a pyenv python
sys.path.insert(0, str(REPO / "testing"))
from event_schema import validate_send_line  # noqa: E402


WINDOWS = os.environ.get("ZAL_TARGET") == "windows"
EXE = ".exe" if WINDOWS else ""
RUNTIME = "Processing.NDI.Lib.x64.dll" if WINDOWS else "libndi.so.6"


def build_dir():
    return Path(os.environ.get("ZAL_BUILD_DIR", str(REPO / "build")))


def host_path(path):
    """A path as the program sees it (a Windows path under wine)."""
    return "Z:" + str(path).replace("/", "\\") if WINDOWS else str(path)


def decoder_exe():
    return Path(os.environ.get("ZAL_FFMPEG_EXE", "")) if WINDOWS else None


@pytest.fixture(scope="session")
def rtsp_available():
    probe = subprocess.run(
        [SYSTEM_PYTHON, "-c",
         "import gi; gi.require_version('GstRtspServer', '1.0');"
         "from gi.repository import GstRtspServer"],
        capture_output=True, text=True, timeout=30)
    if probe.returncode != 0:
        pytest.skip("GStreamer RTSP server for python3-gi missing "
                    "(bash scripts/deps.sh installs it): " + probe.stderr.strip()[-200:])


@pytest.fixture(scope="session")
def program(rtsp_available):
    exe = build_dir() / ("zal-ndi-send" + EXE)
    runtime = build_dir() / "standin" / RUNTIME
    for path in (exe, runtime):
        assert path.exists(), f"{path} missing: build with cmake --preset default && cmake --build build"
    if WINDOWS:
        assert decoder_exe().is_file(), "ZAL_FFMPEG_EXE must name ffmpeg.exe (bash scripts/ffmpeg-exe.sh)"
        start_wine_server()
    return exe


def start_wine_server():
    """A server that outlives single runs, its system processes started here, not by a run
    (they would hold its output pipes open)."""
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL, env=dict(os.environ, WINEDEBUG="-all"))
    subprocess.run(["wineserver", "-p30"], timeout=30, **quiet)
    subprocess.run(["wine", "cmd", "/c", "exit"], timeout=300, check=True, **quiet)


class RtspServer:
    def __init__(self, *args):
        self.log = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(
            [SYSTEM_PYTHON, str(REPO / "testing" / "rtsp_server.py"), "--max-seconds", "120", *args],
            stdout=subprocess.PIPE, stderr=self.log, text=True)
        line = _readline_within(self.proc.stdout, 15)
        if not line.startswith("READY "):
            self.stop()
            self.log.seek(0)
            raise RuntimeError(f"RTSP server not ready: {line!r} {self.log.read()[-500:]!r}")
        self.url = line.split()[1]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)


def _readline_within(stream, seconds):
    out = []
    reader = threading.Thread(target=lambda: out.append(stream.readline()), daemon=True)
    reader.start()
    reader.join(seconds)
    return out[0].strip() if out else ""


def proc_stat(pid):
    """(ppid, starttime, state) from /proc, or None when the process is gone."""
    try:
        raw = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    fields = raw[raw.rindex(")") + 2 :].split()
    return int(fields[1]), int(fields[19]), fields[0]


def children(pid):
    found = {}
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            st = proc_stat(int(entry.name))
            if st and st[0] == pid:
                try:
                    comm = (entry / "comm").read_text().strip()
                except OSError:
                    comm = "?"
                found[int(entry.name)] = (st[1], comm)
    return found


def still_running(pid, starttime):
    """A zombie counts as ended: its parent may be gone and it awaits reaping."""
    st = proc_stat(pid)
    return st is not None and st[1] == starttime and st[2] != "Z"


def decoders(program_pid, url):
    """The program's decoder processes: its children on Linux; under wine, where processes
    are not children of their parent's Unix process, the wine processes of ffmpeg.exe
    that were given this stream's address."""
    if not WINDOWS:
        return children(program_pid)
    found = {}
    needles = (decoder_exe().name.encode(), url.encode())
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            cmdline = (entry / "cmdline").read_bytes()
        except OSError:
            continue
        st = proc_stat(int(entry.name))
        if st and all(n in cmdline for n in needles):
            found[int(entry.name)] = (st[1], "ffmpeg")
    return found


class Run:
    """One run of the program: its stdout lines, exit code and the children it had."""

    def __init__(self, exe, url, capture, args, max_frames=30):
        env = dict(os.environ,
                   NDI_RUNTIME_DIR_V6=host_path(build_dir() / "standin"),
                   ZAL_STANDIN_CAPTURE=host_path(capture),
                   ZAL_STANDIN_MAX_FRAMES=str(max_frames))
        env.pop("FFMPEG_BIN", None)  # real ffmpeg from PATH
        if WINDOWS:
            env.update(FFMPEG_BIN=host_path(decoder_exe()), WINEDEBUG="-all")
        self.capture = capture
        self.url = url
        self.lines = []
        self.children = {}
        self.returncode = None
        self.lines_before_stop = None
        command = ["wine"] if WINDOWS else []
        self.proc = subprocess.Popen(command + [str(exe), "--input", url, *args], env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self._out = threading.Thread(target=self._read_stdout, daemon=True)
        self._out.start()
        self._err = []
        threading.Thread(target=lambda: self._err.append(self.proc.stderr.read()), daemon=True).start()

    def _read_stdout(self):
        for raw in self.proc.stdout:
            self.lines.append(raw.decode("utf-8", "replace").rstrip("\r\n"))

    def watch(self, seconds):
        """Lets it stream, noting its children; returns early if it exits."""
        end = time.monotonic() + seconds
        while time.monotonic() < end and self.proc.poll() is None:
            self.children.update(decoders(self.proc.pid, self.url))
            time.sleep(0.2)

    def close_stdin_and_wait(self, timeout=15):
        self.lines_before_stop = len(self.lines)
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        return self.wait(timeout)

    def wait(self, timeout=15):
        try:
            self.returncode = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=10)
            self._out.join(5)
            pytest.fail(f"program still running {timeout} s after it should have stopped\n"
                        + self.describe())
        self._out.join(5)
        self.events()  # every line, also of tests that compare them as text
        return self.returncode

    def stderr(self):
        return (self._err[0] if self._err else b"").decode("utf-8", "replace")[-2000:]

    def events(self):
        events = [json.loads(line) for line in self.lines]
        for event in events:
            validate_send_line(event)
        return events

    def describe(self):
        return f"rc={self.returncode}\nstdout:\n" + "\n".join(self.lines) + f"\nstderr:\n{self.stderr()}"
