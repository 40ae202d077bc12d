"""Pieces both soaks share: /proc readings, timed lines, the RTSP test server."""
import json
import os
import signal
import subprocess
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
SYSTEM_PYTHON = "/usr/bin/python3"  # python3-gi lives there


def proc_children(pid):
    kids = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                stat = Path("/proc/%s/stat" % name).read_text()
            except OSError:
                continue
            if int(stat[stat.rindex(")") + 2:].split()[1]) == pid:
                kids.append(int(name))
    return kids


def start_time(pid):
    """Start time in clock ticks, which tells a process from a later one with its pid."""
    try:
        stat = Path("/proc/%d/stat" % pid).read_text()
    except OSError:
        return None
    fields = stat[stat.rindex(")") + 2:].split()
    return None if fields[0] == "Z" else int(fields[19])


def cpu_ticks(pid):
    """User plus system time in clock ticks, or None when gone."""
    try:
        stat = Path("/proc/%d/stat" % pid).read_text()
    except OSError:
        return None
    fields = stat[stat.rindex(")") + 2:].split()
    return int(fields[11]) + int(fields[12])


def vm_rss_kb(pid):
    for line in Path("/proc/%d/status" % pid).read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def fd_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def cmdline(pid):
    raw = Path("/proc/%d/cmdline" % pid).read_bytes().split(b"\0")[:-1]
    return [a.decode("utf-8", "replace") for a in raw]


def read_line_within(stream, seconds):
    got = []
    t = threading.Thread(target=lambda: got.append(stream.readline()), daemon=True)
    t.start()
    t.join(seconds)
    return got[0].strip() if got else ""


class Lines:
    """Stdout lines of a program, each with its arrival time (CLOCK_MONOTONIC)."""

    def __init__(self, stream):
        self.items = []
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.thread.start()

    def _read(self, stream):
        for raw in stream:
            with self.cond:
                self.items.append((time.monotonic(), raw))
                self.cond.notify_all()

    def wait_until(self, predicate, timeout, first=0):
        """The first (time, object) from a JSON line, from line first on, that satisfies
        predicate, or None. Lines that are not JSON objects are skipped here."""
        deadline = time.monotonic() + timeout
        with self.cond:
            seen = first
            while True:
                for t, raw in self.items[seen:]:
                    obj = parse(raw)
                    if obj is not None and predicate(t, obj):
                        return t, obj
                seen = len(self.items)
                if time.monotonic() >= deadline:
                    return None
                self.cond.wait(min(0.2, max(0.0, deadline - time.monotonic())))

    def wait_for(self, event, timeout):
        got = self.wait_until(lambda t, obj: obj.get("event") == event, timeout)
        return got[0] if got else None


def parse(raw):
    try:
        obj = json.loads(raw)
    except ValueError:
        return None
    return obj if isinstance(obj, dict) else None


def start_rtsp_server(args, log, ready_within=30):
    """testing/rtsp_server.py with args; (process, url) where url is None when it did not
    come up (the process is then stopped)."""
    proc = subprocess.Popen([SYSTEM_PYTHON, str(REPO / "testing" / "rtsp_server.py"), *args],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log,
                            text=True, start_new_session=True)
    ready = read_line_within(proc.stdout, ready_within)
    if not ready.startswith("READY "):
        stop_process(proc)
        return proc, None
    return proc, ready.split()[1]


def stop_process(proc, grace=10):
    """Terminate (a stopped process is continued first, so it sees the signal), then kill."""
    if proc.poll() is not None:
        return
    for sig in (signal.SIGCONT, signal.SIGTERM):
        try:
            proc.send_signal(sig)
        except ProcessLookupError:
            return
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(grace)
