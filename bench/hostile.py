#!/usr/bin/python3
"""Hostile clients against zal-ndi-supervise's status server, on loopback only (Linux).

Two sources stream through the fake decoder and the stand-in runtime while, in turn:
- one peer (127.0.0.1) holds 100 connections, half silent and half sending a byte a second,
  and another address (127.0.0.2) asks for /api/sources: its answer time;
- a Range header of 100 KiB, a path of 100 KiB and 10,000 header lines: the answers, and the
  process still there;
- 8 clients post actions as fast as they can for 10 s: the supervisor's memory before and
  after, the answers by status, and the longest gap between a source's status lines;
- a stop with 100 connections held, against a stop without: the seconds each took;
- a port taken before the start: the sources stream meanwhile, and the server listens this
  long after the port is freed.
Every count and time is bounded; the run takes about a minute.

  /usr/bin/python3 bench/hostile.py [--build build]
"""
import argparse
import http.client
import json
import pathlib
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import benchlib as bl  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
FOREVER = "fake:forever=1;fps=30"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Supervisor:
    """One run, its lines read on a thread and kept with their arrival time."""

    def __init__(self, build, folder, port):
        doc = {"http": {"listen": "127.0.0.1:%d" % port},
               "sources": [{"name": n, "input": FOREVER, "width": 64, "height": 48} for n in ("a", "b")]}
        path = folder / "sources.json"
        path.write_text(json.dumps(doc))
        env = bl.supervise_env(dict(), build, folder / "capture")
        self.proc = subprocess.Popen([str(build / "zal-ndi-supervise"), str(path)], env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.lines = []
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        for raw in self.proc.stdout:
            self.lines.append((time.monotonic(), json.loads(raw)))

    def wait_for(self, predicate, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = [e for _, e in list(self.lines) if predicate(e)]
            if found:
                return found
            time.sleep(0.02)
        raise SystemExit("timed out; last lines: %r" % self.lines[-5:])

    def rss_kb(self):
        return bl.status_kb(pathlib.Path("/proc/%d/status" % self.proc.pid).read_text(), "VmRSS")

    def longest_status_gap(self, since):
        gaps = []
        for name in ("a", "b"):
            times = [t for t, e in list(self.lines) if e.get("source") == name and e["event"] == "status"
                     and t >= since]
            gaps += [b - a for a, b in zip(times, times[1:])]
        return max(gaps) if gaps else None

    def stop(self):
        start = time.monotonic()
        self.proc.stdin.close()
        code = self.proc.wait(timeout=30)
        return code, time.monotonic() - start


def get(port, path="/api/sources", source=None):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10, source_address=source)
    try:
        conn.request("GET", path)
        res = conn.getresponse()
        res.read()
        return res.status
    finally:
        conn.close()


def raw_status(port, data):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        try:
            s.sendall(data)
            return s.recv(64).split(b"\r\n")[0].decode()
        except OSError as error:
            return "connection: %s" % error.__class__.__name__


def hold(port, count):
    held = [socket.create_connection(("127.0.0.1", port), timeout=30) for _ in range(count)]
    stop = threading.Event()

    def drip():
        while not stop.wait(1):
            for s in held[1::2]:
                try:
                    s.send(b"G")
                except OSError:
                    pass
    threading.Thread(target=drip, daemon=True).start()
    return held, stop


def release(held, stop):
    stop.set()
    for s in held:
        s.close()


def flood(port, seconds, counts):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        try:
            conn.request("POST", "/api/sources/a/resume")
            res = conn.getresponse()
            res.read()
            counts[res.status] = counts.get(res.status, 0) + 1
        except OSError:
            counts["error"] = counts.get("error", 0) + 1
        finally:
            conn.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=str(ROOT / "build"))
    build = pathlib.Path(parser.parse_args().build).resolve()
    report = {}
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        port = free_port()
        run = Supervisor(build, folder, port)
        run.wait_for(lambda e: e.get("source") == "b" and e["event"] == "status")
        while get(port) != 200:
            time.sleep(0.05)

        held, dripping = hold(port, 100)
        time.sleep(1)
        waits = []
        for _ in range(5):
            start = time.monotonic()
            assert get(port, source=("127.0.0.2", 0)) == 200
            waits.append(time.monotonic() - start)
            time.sleep(0.2)
        release(held, dripping)
        report["another address behind 100 held connections (s, median of 5)"] = round(bl.median(waits), 3)

        report["Range of 100 KiB"] = raw_status(port, b"GET / HTTP/1.1\r\nRange: bytes=" + b"0-1," * 25600 + b"\r\n\r\n")
        report["path of 100 KiB"] = raw_status(port, b"GET /" + b"a" * 102400 + b" HTTP/1.1\r\n\r\n")
        report["10,000 header lines"] = raw_status(port, b"GET / HTTP/1.1\r\n" + b"X-A: a\r\n" * 10000 + b"\r\n")
        report["still running after them"] = run.proc.poll() is None and get(port) == 200

        before = run.rss_kb()
        counts = {}
        since = time.monotonic()
        clients = [threading.Thread(target=flood, args=(port, 10, counts)) for _ in range(8)]
        for c in clients:
            c.start()
        for c in clients:
            c.join()
        time.sleep(2)
        report["action flood: answers by status"] = counts
        report["action flood: memory growth (kB)"] = run.rss_kb() - before
        report["action flood: longest gap between status lines (s)"] = round(run.longest_status_gap(since), 2)

        held, dripping = hold(port, 100)
        time.sleep(0.5)
        code, with_clients = run.stop()
        release(held, dripping)
        report["stop with 100 connections held (s)"] = round(with_clients, 2)
        report["restarts or stalls during the run"] = len([e for _, e in run.lines if e["event"] == "restart"])
        assert code == 0, code

        busy = socket.socket()
        busy.bind(("127.0.0.1", 0))
        busy.listen(1)
        port = busy.getsockname()[1]
        run = Supervisor(build, folder, port)
        run.wait_for(lambda e: e.get("source") == "b" and e["event"] == "status")
        report["taken port: sources streaming meanwhile"] = True
        busy.close()
        freed = time.monotonic()
        run.wait_for(lambda e: e.get("event") == "http" and e["state"] == "listening")
        report["taken port: listening after it was freed (s)"] = round(time.monotonic() - freed, 2)
        code, without = run.stop()
        report["stop without clients (s)"] = round(without, 2)
        assert code == 0, code
    for key, value in report.items():
        print("%-62s %s" % (key, value))


if __name__ == "__main__":
    main()
