#!/usr/bin/python3
"""The status server's cost: zal-ndi-supervise with N sources, its server off, then on with a
client asking 100 requests per second, in turns (Linux).

Each source is a zal-ndi-send fed by the fake decoder, as in supervise_cpu.py; one more source,
"probe", writes the monotonic clock (shared by every process on Linux) as a line every 50 ms,
so the delay from its write to the supervisor's line read here is the line latency. Per turn,
once every source streams: the supervisor's own CPU (utime + stime from /proc) over the window,
and the median and p99 line latency. The requests rotate over /api/sources, /metrics, one
source and the page, each on a connection of its own.

  /usr/bin/python3 bench/supervise_http.py [--build build] [--sources 16] [--window 20] [--turns 2]
"""
import argparse
import http.client
import json
import os
import pathlib
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import benchlib as bl  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
TICK = os.sysconf("SC_CLK_TCK")

# zal-ndi-send for every source but "probe", which writes its clock until its input ends.
WRAPPER = """#!/bin/sh
if [ "$4" = probe ]; then
  exec /usr/bin/python3 -c '
import sys, threading, time
threading.Thread(target=lambda: (sys.stdin.read(), sys.exit(0)), daemon=True).start()
while True:
    print("%.6f" % time.monotonic(), flush=True)
    time.sleep(0.05)
'
fi
exec "{send}" "$@"
"""


def cpu_seconds(pid):
    return bl.stat_cpu_ticks(pathlib.Path(f"/proc/{pid}/stat").read_text()) / TICK


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def ask(port, stop, counts):
    """100 requests per second, paced, until stop is set."""
    paths = ["/api/sources", "/metrics", "/api/sources/cam%2000", "/"]
    start, i = time.monotonic(), 0
    while not stop.is_set():
        delay = start + i * 0.01 - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
        try:
            conn.request("GET", paths[i % len(paths)])
            res = conn.getresponse()
            res.read()
            counts["ok" if res.status == 200 else "bad"] += 1
        except OSError:
            counts["bad"] += 1
        finally:
            conn.close()
        i += 1


def turn(build, tmp, names, window, serve):
    port = free_port()
    doc = {"program": str(tmp / "send"), "sources": [
        {"name": n, "input": "fake:forever=1;fps=30", "width": 320, "height": 240} for n in names]
        + [{"name": "probe", "input": "x"}]}
    if serve:
        doc["http"] = {"listen": "127.0.0.1:%d" % port}
    (tmp / "sources.json").write_text(json.dumps(doc))
    env = bl.supervise_env(os.environ, build, tmp / "capture")
    proc = subprocess.Popen([str(build / "zal-ndi-supervise"), str(tmp / "sources.json")],
                            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    streaming, latencies = set(), []
    ready, measuring = threading.Event(), threading.Event()

    def read():
        for raw in proc.stdout:
            now = time.monotonic()
            event = json.loads(raw)
            if event.get("source") == "probe" and event["event"] == "output":
                if measuring.is_set():
                    latencies.append(now - float(event["text"]))
            elif event["event"] == "status" and event["fps"] > 0:
                streaming.add(event["source"])
                if len(streaming) == len(names):
                    ready.set()

    threading.Thread(target=read, daemon=True).start()
    stop, counts = threading.Event(), {"ok": 0, "bad": 0}
    try:
        if not ready.wait(120):
            sys.exit("not every source streamed within 120 s")
        client = None
        if serve:
            client = threading.Thread(target=ask, args=(port, stop, counts), daemon=True)
            client.start()
            time.sleep(1)  # the client at its pace
        measuring.set()
        cpu0, t0 = cpu_seconds(proc.pid), time.monotonic()
        time.sleep(window)
        cpu1, t1 = cpu_seconds(proc.pid), time.monotonic()
        measuring.clear()
        stop.set()
        if client:
            client.join(10)
    finally:
        proc.stdin.close()
        proc.wait(30)
    lat = sorted(latencies)
    return {"server": serve, "cpu_percent": round((cpu1 - cpu0) / (t1 - t0) * 100, 3),
            "lines": len(lat), "latency_ms_median": round(statistics.median(lat) * 1000, 3),
            "latency_ms_p99": round(lat[int(len(lat) * 0.99)] * 1000, 3),
            "requests_per_s": round(counts["ok"] / (t1 - t0 + 1), 1), "failed_requests": counts["bad"]}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=str(ROOT / "build"))
    ap.add_argument("--sources", type=int, default=16)
    ap.add_argument("--window", type=float, default=20)
    ap.add_argument("--turns", type=int, default=2)
    args = ap.parse_args()
    build = pathlib.Path(args.build).resolve()
    tmp = pathlib.Path(tempfile.mkdtemp())
    (tmp / "send").write_text(WRAPPER.replace("{send}", str(build / "zal-ndi-send")))
    (tmp / "send").chmod(0o755)
    names = ["cam %02d" % i for i in range(args.sources)]
    runs = []
    for _ in range(args.turns):
        for serve in (False, True):
            runs.append(turn(build, tmp, names, args.window, serve))
            print(json.dumps(runs[-1]), flush=True)

    def median(key, serve):
        return statistics.median(r[key] for r in runs if r["server"] == serve)

    result = {"sources": args.sources, "window_s": args.window, "runs": runs, "ratio_on_off": {
        key: round(median(key, True) / median(key, False), 2)
        for key in ("cpu_percent", "latency_ms_median", "latency_ms_p99")}}
    out = ROOT / "out" / "bench"
    out.mkdir(parents=True, exist_ok=True)
    (out / "supervise-http.json").write_text(json.dumps(result) + "\n")
    print(json.dumps(result["ratio_on_off"]))


if __name__ == "__main__":
    main()
