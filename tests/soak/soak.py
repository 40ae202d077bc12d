"""Soak: one long run of zal-ndi-send with the RTSP test server and real ffmpeg at 1920x1080,
30 fps, publishing into the stand-in runtime in count mode. On demand, not in CI:
bash scripts/soak.sh (run with /usr/bin/python3, which has python3-gi for the server).

Criteria (a summary is printed; the exit code is 1 if one fails):
- resident memory of the program, sampled every few seconds, flat within 1 MB after the warm-up;
- a status line every 2 s +- 0.2 s until the stop;
- no frame lost: published frames = 30 fps x the time between the first and last frame,
  within one second of frames (the start-up);
- the decoder's argument list, read from /proc, exactly as the program must build it;
- the stop: exit code 0, the exit line last, ffmpeg gone.

Environment: SOAK_SECONDS (600), SOAK_WARMUP (60), SOAK_SAMPLE_SECONDS (3),
ZAL_BUILD_DIR (build), SOAK_OUT (out/soak: events, samples, counts and summary.json).
"""
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

from soaklib import (REPO, Lines, proc_children, start_rtsp_server, start_time, stop_process,
                     vm_rss_kb)

BUILD = Path(os.environ.get("ZAL_BUILD_DIR", REPO / "build")).resolve()
SECONDS = float(os.environ.get("SOAK_SECONDS", "600"))
WARMUP = float(os.environ.get("SOAK_WARMUP", "60"))
SAMPLE = float(os.environ.get("SOAK_SAMPLE_SECONDS", "3"))
OUT = Path(os.environ.get("SOAK_OUT", REPO / "out" / "soak")).resolve()
W, H, FPS = 1920, 1080, 30
RSS_LIMIT_KB = 1024
STATUS_PERIOD, STATUS_SLACK = 2.0, 0.2


def stamps(name, stream):
    """The filters by which ffmpeg prints each frame's timestamp on its standard output."""
    return ("{0}=mode=add:key=stream:value={1},"
            "{0}=mode=print:key=stream:direct=1:file='pipe\\:1'").format(name, stream)


def expected_decoder_args(url):
    """ffmpeg's argument list with the two output ports left as patterns."""
    port = re.compile(r"tcp://127\.0\.0\.1:(\d+)\?tcp_nodelay=1")
    return ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "warning",
            "-rtsp_transport", "tcp", "-flags", "low_delay",
            "-probesize", "2000000", "-analyzeduration", "3000000", "-fpsprobesize", "0",
            "-max_ts_probe", "0",
            "-i", url,
            "-map", "0:v:0", "-vf", "scale=%d:%d,format=nv12," % (W, H) + stamps("metadata", "video"),
            "-fps_mode", "passthrough", "-threads", "1", "-f", "rawvideo", port,
            "-map", "0:a:0", "-af", "aresample=async=1," + stamps("ametadata", "audio"),
            "-ac", "2", "-ar", "48000",
            "-f", "f32le", port]


def match_args(got, want):
    """Problems with got against want (strings exact, patterns full match); the ports."""
    if len(got) != len(want):
        return ["%d arguments, want %d: %r" % (len(got), len(want), got)], []
    problems, ports = [], []
    for i, (g, w) in enumerate(zip(got, want)):
        if isinstance(w, str):
            if g != w:
                problems.append("argument %d is %r, want %r" % (i, g, w))
        else:
            m = w.fullmatch(g)
            if m:
                ports.append(int(m.group(1)))
            else:
                problems.append("argument %d is %r, want %s" % (i, g, w.pattern))
    if len(set(ports)) != 2:
        problems.append("output ports not two distinct: %r" % ports)
    return problems, ports


def local_ports(pid):
    """Local ports of pid's TCP sockets."""
    inodes = set()
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    rows = [l.split() for l in Path("/proc/%d/net/tcp" % pid).read_text().splitlines()[1:]]
    return sorted(int(r[1].split(":")[1], 16) for r in rows if r[9] in inodes)


def status_problems(lines, started, stop):
    """Every interval between status lines written before the stop (the one after the stop
    closes a cut interval and is not timed)."""
    times = [started] + [t for t, raw in lines if json.loads(raw)["event"] == "status" and t < stop]
    gaps = [b - a for a, b in zip(times, times[1:])]
    bad = [(i, round(g, 3)) for i, g in enumerate(gaps) if abs(g - STATUS_PERIOD) > STATUS_SLACK]
    expected = int((stop - started) / STATUS_PERIOD)
    problems = ["status intervals off 2 s +- 0.2 s: %r" % bad[:10]] if bad else []
    if len(gaps) < expected - 1:
        problems.append("%d status lines before the stop, want about %d" % (len(gaps), expected))
    return problems, gaps


def main():
    for path in (BUILD / "zal-ndi-send", BUILD / "standin" / "libndi.so.6"):
        if not path.exists():
            print("soak: %s missing (cmake --preset default && cmake --build build)" % path)
            return 2
    if SECONDS <= WARMUP + 4 * SAMPLE:
        print("soak: SOAK_SECONDS must exceed SOAK_WARMUP by a few samples")
        return 2
    OUT.mkdir(parents=True, exist_ok=True)
    capture = OUT / "capture"
    capture.mkdir(exist_ok=True)
    for name in ("counts.json", "video_times.txt"):
        (capture / name).unlink(missing_ok=True)
    failures = []
    summary = {"seconds": SECONDS, "warmup": WARMUP}

    server_log = open(OUT / "server.log", "wb")
    server, url = start_rtsp_server(
        ["--width", str(W), "--height", str(H), "--fps", str(FPS),
         "--max-seconds", str(SECONDS + 300)], server_log)
    program = None
    try:
        if url is None:
            print("soak: RTSP server not ready (see %s)" % (OUT / "server.log"))
            return 2

        env = dict(os.environ, NDI_RUNTIME_DIR_V6=str(BUILD / "standin"),
                   ZAL_STANDIN_MODE="count", ZAL_STANDIN_CAPTURE=str(capture))
        env.pop("FFMPEG_BIN", None)  # ffmpeg from PATH, so argv[0] is "ffmpeg"
        for name in [n for n in env if n.startswith("ZAL_STANDIN_") and
                     n not in ("ZAL_STANDIN_MODE", "ZAL_STANDIN_CAPTURE")]:
            del env[name]
        err_log = open(OUT / "program.log", "wb")
        program = subprocess.Popen(
            [str(BUILD / "zal-ndi-send"), "--input", url, "--name", "ZAL Soak", "--width", str(W),
             "--height", str(H), "--fps", str(FPS)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err_log, env=env)
        lines = Lines(program.stdout)
        started = lines.wait_for("started", 60)
        if started is None:
            print("soak: no started line within 60 s (see %s)" % (OUT / "program.log"))
            return 2

        kids = proc_children(program.pid)
        if len(kids) != 1:
            failures.append("the program has %d children, want 1: %r" % (len(kids), kids))
        decoder = kids[0] if kids else None
        decoder_start = start_time(decoder) if decoder else None
        if decoder:
            args = Path("/proc/%d/cmdline" % decoder).read_bytes().split(b"\0")[:-1]
            args = [a.decode("utf-8", "replace") for a in args]
            problems, ports = match_args(args, expected_decoder_args(url))
            failures += ["decoder arguments: " + p for p in problems]
            if not problems and local_ports(program.pid) != sorted(ports):
                failures.append("the program's connections are not on the decoder's ports %r"
                                % ports)
            summary["decoder_args"] = args

        samples = []  # (seconds since started, VmRSS kB)
        print("soak: streaming %s for %.0f s; samples every %.0f s" % (url, SECONDS, SAMPLE))
        while time.monotonic() - started < SECONDS:
            if program.poll() is not None:
                failures.append("the program ended by itself after %.1f s (code %d)"
                                % (time.monotonic() - started, program.returncode))
                break
            if decoder and start_time(decoder) != decoder_start:
                failures.append("the decoder ended after %.1f s" % (time.monotonic() - started))
                decoder = None
            samples.append((round(time.monotonic() - started, 1), vm_rss_kb(program.pid)))
            time.sleep(min(SAMPLE, max(0.0, SECONDS - (time.monotonic() - started))))

        stop = time.monotonic()
        program.stdin.close()
        try:
            code = program.wait(15)
        except subprocess.TimeoutExpired:
            failures.append("still running 15 s after the stop")
            code = None
        ended = time.monotonic()
        lines.thread.join(5)
        summary["stop_seconds"] = round(ended - stop, 3)
        if code != 0:
            failures.append("exit code %r, want 0" % code)
        events = [json.loads(raw) for _, raw in lines.items]
        if not events or events[-1] != {"event": "exit", "ffmpeg": 0, "requested": True}:
            failures.append("last line %r" % (events[-1:],))
        if decoder and start_time(decoder) == decoder_start:
            failures.append("the decoder outlived the program")
        (OUT / "events.jsonl").write_bytes(b"".join(raw for _, raw in lines.items))

        # Memory after the warm-up.
        late = [kb for t, kb in samples if t >= WARMUP]
        (OUT / "rss.csv").write_text("".join("%s,%d\n" % s for s in samples))
        summary["rss_kb"] = {"first": samples[0][1] if samples else None,
                             "warm_min": min(late, default=None), "warm_max": max(late, default=None),
                             "samples_after_warmup": len(late)}
        if len(late) < 3:
            failures.append("only %d memory samples after the warm-up" % len(late))
        elif max(late) - min(late) > RSS_LIMIT_KB:
            failures.append("VmRSS moved %d kB after the warm-up (%d..%d kB), limit %d kB"
                            % (max(late) - min(late), min(late), max(late), RSS_LIMIT_KB))

        # Status lines.
        problems, gaps = status_problems(lines.items, started, stop)
        failures += problems
        fps = [e["fps"] for e in events if e["event"] == "status"][:-1]  # the last is cut short
        summary["status"] = {"count": len(gaps), "gap_min": round(min(gaps, default=0), 3),
                             "gap_max": round(max(gaps, default=0), 3),
                             "fps_min": min(fps, default=None), "fps_max": max(fps, default=None)}

        # Frames at the runtime.
        counts_path = capture / "counts.json"
        if not counts_path.exists():
            failures.append("no counts.json from the stand-in")
        else:
            counts = json.loads(counts_path.read_text())
            stamps = [int(l.split()[0]) for l in (capture / "video_times.txt").read_text().split("\n")
                      if l.strip()]
            frames = counts["video_frames"]
            span = (stamps[-1] - stamps[0]) / 1e9 if len(stamps) > 1 else 0.0
            expected = FPS * span + 1
            gaps_ms = [(b - a) / 1e6 for a, b in zip(stamps, stamps[1:])]
            summary["frames"] = {"published": frames, "times": len(stamps),
                                 "span_seconds": round(span, 3), "expected": round(expected, 1),
                                 "max_gap_ms": round(max(gaps_ms, default=0), 1),
                                 "audio_blocks": counts["audio_blocks"],
                                 "audio_expected": round(100 * span)}
            if len(stamps) != frames:
                failures.append("%d frame times for %d frames" % (len(stamps), frames))
            if abs(frames - expected) > FPS:
                failures.append("%d frames published over %.1f s, want %.0f +- %d"
                                % (frames, span, expected, FPS))
    finally:
        if program is not None and program.poll() is None:
            program.kill()
            program.wait(10)
        stop_process(server)

    summary["failures"] = failures
    (OUT / "summary.json").write_text(json.dumps(summary, indent=1) + "\n")
    print(json.dumps({k: v for k, v in summary.items() if k != "decoder_args"}, indent=1))
    print("soak: %s (%s)" % ("FAIL" if failures else "PASS", OUT))
    for f in failures:
        print("  - " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
