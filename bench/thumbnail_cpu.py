#!/usr/bin/python3
"""CPU that --thumbnail adds to zal-ndi-send (Linux): the same run with and without it.

The fake decoder streams 1080p30 for the whole run (or, with --keep-alive, nothing listens
at the camera's port and the slate goes out); the stand-in runtime runs in count mode. Runs
with and without --thumbnail alternate, so that both see the same machine; after a warm-up
the program's CPU time (schedstat of every thread) is read at the start and the end of the
window. The thumbnail's cost is the difference of each pair, and their ratio. Since that
difference is small beside a busy machine's noise, the cost of one picture is also measured
apart, on a thread's CPU clock (bench/thumbnail_cost.cpp, built against the build's library).

  /usr/bin/python3 bench/thumbnail_cpu.py [--build build] [--pairs 5] [--window 20] [--keep-alive]
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


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def one_run(build, opts, thumbnail):
    folder = tempfile.mkdtemp(prefix="thumb-cpu-")
    env = dict(os.environ, NDI_RUNTIME_DIR_V6=str(build / "standin"),
               FFMPEG_BIN=str(build / "testing" / "fake-ffmpeg"),
               ZAL_STANDIN_CAPTURE=folder, ZAL_STANDIN_MODE="count")
    width, height = (int(v) for v in opts.size.split("x"))
    source = ("rtsp://127.0.0.1:%d/stream" % closed_port() if opts.keep_alive
              else "fake:forever=1;fps=%d" % opts.fps)
    args = [str(build / "zal-ndi-send"), "--input", source, "--width", str(width),
            "--height", str(height), "--fps", str(opts.fps)]
    args += ["--keep-alive"] if opts.keep_alive else []
    picture = pathlib.Path(folder, "picture.jpg")
    args += ["--thumbnail", str(picture)] if thumbnail else []
    proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
    assert json.loads(proc.stdout.readline())["event"] == "started"
    time.sleep(opts.warmup)
    busy_before = pathlib.Path("/proc/stat").read_text().splitlines()[0]
    start_cpu, start_ns = bl.cpu_ns(proc.pid), time.monotonic_ns()
    time.sleep(opts.window)
    end_cpu, end_ns = bl.cpu_ns(proc.pid), time.monotonic_ns()
    busy_after = pathlib.Path("/proc/stat").read_text().splitlines()[0]
    written = picture.exists()
    proc.stdin.close()
    lines = [json.loads(line) for line in proc.stdout]
    assert proc.wait(30) == 0 and lines[-1]["event"] == "exit", lines[-1:]
    assert written == thumbnail
    return {"cpu_percent": 100 * (end_cpu - start_cpu) / (end_ns - start_ns),
            "system_busy": bl.system_busy(busy_before, busy_after)}


def picture_cost(build, size):
    """CPU of one picture, ms: the video path's copy and the writer's encoding."""
    binary = pathlib.Path(tempfile.mkdtemp(prefix="thumb-cost-"), "thumbnail_cost")
    subprocess.run(["g++", "-O2", "-std=c++17", "-I", str(ROOT / "src"),
                    str(ROOT / "bench" / "thumbnail_cost.cpp"), str(build / "src" / "libzalsend.a"),
                    "-lpthread", "-o", str(binary)], check=True)
    width, height = size.split("x")
    return json.loads(subprocess.run([str(binary), width, height], capture_output=True,
                                     check=True).stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--pairs", type=int, default=5)
    parser.add_argument("--window", type=float, default=20)
    parser.add_argument("--warmup", type=float, default=3)
    parser.add_argument("--size", default="1920x1080")
    parser.add_argument("--fps", type=int, default=30)
    parser.add_argument("--keep-alive", action="store_true")
    opts = parser.parse_args()
    build = pathlib.Path(opts.build).resolve()
    cost = picture_cost(build, opts.size)
    print("one picture: copy %.3f ms on the video path, conversion and JPEG %.3f ms on the "
          "writer's thread (%d bytes); every 2 s: %.3f %% of a core"
          % (cost["copy_ms"], cost["encode_ms"], cost["jpeg_bytes"],
             (cost["copy_ms"] + cost["encode_ms"]) / 20))
    pairs = []
    for i in range(opts.pairs):
        # Which of the two goes first alternates too.
        order = (False, True) if i % 2 == 0 else (True, False)
        runs = {thumbnail: one_run(build, opts, thumbnail) for thumbnail in order}
        pairs.append({"without": runs[False], "with": runs[True]})
    for p in pairs:
        a, b = p["without"]["cpu_percent"], p["with"]["cpu_percent"]
        print("without %.2f %%, with %.2f %% of a core: +%.3f points, ratio %.3f (machine %.0f %% busy)"
              % (a, b, b - a, b / a, 100 * p["with"]["system_busy"]))
    added = statistics.median(p["with"]["cpu_percent"] - p["without"]["cpu_percent"] for p in pairs)
    ratio = statistics.median(p["with"]["cpu_percent"] / p["without"]["cpu_percent"] for p in pairs)
    print("median: +%.3f points of a core, ratio %.3f, at %s, %d fps, %s"
          % (added, ratio, opts.size, opts.fps, "slate (keep-alive)" if opts.keep_alive else "camera"))
    print(json.dumps(pairs))


if __name__ == "__main__":
    main()
