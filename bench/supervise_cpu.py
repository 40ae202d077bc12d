#!/usr/bin/python3
"""CPU of zal-ndi-supervise next to its children, with N sources streaming at once (Linux).

Each source is a zal-ndi-send fed by the fake decoder at a paced frame rate, publishing to the
stand-in runtime in count mode. After every source has reported frames, the CPU time of each
process (utime + stime from /proc/<pid>/stat) is taken at the start and the end of the window.

  /usr/bin/python3 bench/supervise_cpu.py [--build build] [--sources 16] [--window 20]
"""
import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import benchlib as bl  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
TICK = os.sysconf("SC_CLK_TCK")


def stat(pid):
    """(ppid, comm, cpu seconds) or None once gone."""
    try:
        raw = pathlib.Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    comm = raw[raw.index("(") + 1 : raw.rindex(")")]
    ppid = int(raw[raw.rindex(")") + 2 :].split()[1])
    return ppid, comm, bl.stat_cpu_ticks(raw) / TICK


def tree(root):
    """{pid: (comm, cpu seconds)} for root and every descendant."""
    table = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            st = stat(int(entry))
            if st:
                table[int(entry)] = st
    found, todo = {}, [root]
    while todo:
        pid = todo.pop()
        if pid in table:
            found[pid] = table[pid][1:]
            todo += [p for p, st in table.items() if st[0] == pid]
    return found


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=str(ROOT / "build"))
    ap.add_argument("--sources", type=int, default=16)
    ap.add_argument("--window", type=float, default=20)
    ap.add_argument("--size", default="320x240")
    ap.add_argument("--fps", type=int, default=30)
    args = ap.parse_args()
    build = pathlib.Path(args.build).resolve()
    width, height = (int(v) for v in args.size.split("x"))
    tmp = pathlib.Path(tempfile.mkdtemp())
    names = ["cam %02d" % i for i in range(args.sources)]
    (tmp / "sources.json").write_text(json.dumps({"sources": [
        {"name": n, "input": f"fake:forever=1;fps={args.fps}", "width": width, "height": height}
        for n in names]}))
    env = bl.supervise_env(os.environ, build, tmp / "capture")
    proc = subprocess.Popen([str(build / "zal-ndi-supervise"), str(tmp / "sources.json")],
                            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    streaming, lines = set(), []
    ready = threading.Event()

    def read():
        for raw in proc.stdout:
            event = json.loads(raw)
            lines.append(event)
            if event["event"] == "status" and event["fps"] > 0:
                streaming.add(event["source"])
                if len(streaming) == len(names):
                    ready.set()

    threading.Thread(target=read, daemon=True).start()
    try:
        if not ready.wait(120):
            sys.exit("not every source streamed within 120 s")
        before, t0 = tree(proc.pid), time.monotonic()
        time.sleep(args.window)
        after, t1 = tree(proc.pid), time.monotonic()
    finally:
        proc.stdin.close()
        proc.wait(30)
    wall = t1 - t0
    share = {"supervisor": 0.0, "zal-ndi-send": 0.0, "fake-ffmpeg": 0.0}
    for pid, (comm, cpu) in after.items():
        if pid in before:
            kind = "supervisor" if pid == proc.pid else ("fake-ffmpeg" if "fake" in comm
                                                           else "zal-ndi-send")
            share[kind] += (cpu - before[pid][1]) / wall * 100
    result = {"sources": len(names), "size": args.size, "fps": args.fps,
              "window_s": round(wall, 1), "cpu_percent": {k: round(v, 2) for k, v in share.items()},
              "restarts": sum(e["event"] == "restart" for e in lines)}
    out = ROOT / "out" / "bench"
    out.mkdir(parents=True, exist_ok=True)
    (out / "supervise-cpu.json").write_text(json.dumps(result) + "\n")
    print(json.dumps(result))


if __name__ == "__main__":
    main()
