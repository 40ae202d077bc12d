#!/usr/bin/python3
"""CPU of zal-ndi-send --keep-alive while only its slate goes out (Linux).

The camera is away for the whole run: the input is an rtsp:// address on a loopback port
where nothing listens, so each decoder (the fake one) ends at once and the program sends its
slate at the announced rate, with silence when audio is on, while it starts the decoder again
with back-off and probes the camera's port. The stand-in runtime runs in count mode. After a
warm-up, the program's CPU time (utime + stime from /proc/<pid>/stat, which keeps the time of
threads that have ended, such as the probes) is read at the start and the end of the window.

  /usr/bin/python3 bench/slate_cpu.py [--build build] [--reps 5] [--window 30] [--size 1920x1080]
"""
import argparse
import json
import os
import pathlib
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import benchlib as bl  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
TICK = os.sysconf("SC_CLK_TCK")


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def cpu_s(pid):
    return bl.stat_cpu_ticks(pathlib.Path(f"/proc/{pid}/stat").read_text()) / TICK


def one_run(build, width, height, fps, audio, warmup, window):
    capture = tempfile.mkdtemp(prefix="slate-cpu-")
    env = dict(os.environ, NDI_RUNTIME_DIR_V6=str(build / "standin"),
               FFMPEG_BIN=str(build / "testing" / "fake-ffmpeg"),
               ZAL_STANDIN_CAPTURE=capture, ZAL_STANDIN_MODE="count")
    args = [str(build / "zal-ndi-send"), "--keep-alive", "--input",
            "rtsp://127.0.0.1:%d/stream" % closed_port(), "--width", str(width),
            "--height", str(height), "--fps", str(fps)] + ([] if audio else ["--no-audio"])
    proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
    assert json.loads(proc.stdout.readline())["event"] == "started"
    time.sleep(warmup)
    busy_before = pathlib.Path("/proc/stat").read_text().splitlines()[0]
    start_cpu, start_ns = cpu_s(proc.pid), time.monotonic_ns()
    time.sleep(window)
    end_cpu, end_ns = cpu_s(proc.pid), time.monotonic_ns()
    busy_after = pathlib.Path("/proc/stat").read_text().splitlines()[0]
    proc.stdin.close()
    lines = [json.loads(line) for line in proc.stdout]
    assert proc.wait(30) == 0 and lines[-1]["event"] == "exit", lines[-1:]
    times = [int(line.split()[0]) for line in
             pathlib.Path(capture, "video_times.txt").read_text().splitlines()]
    frames = sum(start_ns <= t < end_ns for t in times)
    seconds = (end_ns - start_ns) / bl.NS
    return {"cpu_percent": 100 * (end_cpu - start_cpu) / seconds, "fps": frames / seconds,
            "system_busy": bl.system_busy(busy_before, busy_after),
            "restarts": max((e.get("decoder_restarts", 0) for e in lines), default=0)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--window", type=float, default=30)
    parser.add_argument("--warmup", type=float, default=3)
    parser.add_argument("--size", default="1920x1080")
    parser.add_argument("--fps", type=int, default=30)
    parser.add_argument("--no-audio", action="store_true")
    opts = parser.parse_args()
    width, height = (int(v) for v in opts.size.split("x"))
    runs = [one_run(pathlib.Path(opts.build).resolve(), width, height, opts.fps,
                    not opts.no_audio, opts.warmup, opts.window) for _ in range(opts.reps)]
    for r in runs:
        print("cpu %.2f %% of a core, %.1f fps sent, %d decoder restarts, machine %.0f %% busy"
              % (r["cpu_percent"], r["fps"], r["restarts"], 100 * r["system_busy"]))
    print("median: %.2f %% of a core at %s, %d fps, audio %s"
          % (statistics.median(r["cpu_percent"] for r in runs), opts.size, opts.fps,
             "off" if opts.no_audio else "on"))
    print(json.dumps(runs))


if __name__ == "__main__":
    main()
