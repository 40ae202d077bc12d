#!/usr/bin/python3
"""Latency bench: how late our program hands marked frames and sound to the NDI runtime,
against the in-process GStreamer peer on the same stream, in alternated runs.

The RTSP test server (--marker) sends black frames and silence but for one white frame per
second with a 1 kHz burst from that frame's timestamp, and prints when each marker leaves
it. Our program publishes to the stand-in runtime in count mode, which keeps the arrival
time of every frame and audio block; the peer (latency_peer.py) stamps its own arrivals.
All times are CLOCK_MONOTONIC.

  bash bench/latency.sh [options]      (builds, then runs this)
  /usr/bin/python3 bench/latency.py --build build [--runs 3] [--seconds 16] [--fps 30]
      [--key-int 30] [--bframes 0] [--variant NAME=FFMPEG] [--against BUILD] [--kinds ours,peer]
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import benchlib as bl  # noqa: E402

REPO = Path(__file__).resolve().parents[1]
SYSTEM_PYTHON = "/usr/bin/python3"
MS = 1_000_000
MAX_LATENCY_NS = 500 * MS  # a marker later than this is not matched
MIN_MATCHED = 0.80
SAMPLES = 480  # per audio block
RATE = 48000


class Lines:
    """A child whose stdout lines are collected as they come."""

    def __init__(self, cmd, env=None, stdin=subprocess.DEVNULL, stderr=None):
        self.launched_ns = time.monotonic_ns()
        self.proc = subprocess.Popen(cmd, env=env, stdin=stdin, stdout=subprocess.PIPE,
                                     stderr=stderr or subprocess.DEVNULL, text=True)
        self.lines = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append(line.strip())

    def wait_for(self, prefix, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            found = [ln for ln in self.lines if ln.startswith(prefix)]
            if found:
                return found[0]
            if self.proc.poll() is not None and not self.reader.is_alive():
                return None
            time.sleep(0.02)
        return None

    def end(self, close_stdin=False, seconds=15):
        if close_stdin:
            self.proc.stdin.close()
        else:
            self.proc.terminate()
        try:
            code = self.proc.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = self.proc.wait(timeout=10)
        self.reader.join(5)
        return code


# --- pure logic: reading, matching, statistics ---------------------------------------

def departures(lines):
    """'MARK kind second t' lines of the server -> {kind: {second: t}}."""
    out = {"video": {}, "audio": {}}
    for line in lines:
        parts = line.split()
        if len(parts) == 4 and parts[0] == "MARK":
            out[parts[1]][int(parts[2])] = int(parts[3])
    return out


def video_marks(times):
    """(t, first8) per frame -> arrival times of the white frames (luma well above black)."""
    return [t for t, first8 in times if first8 & 0xFF >= 128]


def audio_onsets(blocks, samples=SAMPLES, rate=RATE):
    """(t, quiet samples) per block -> times of the first loud sample after at least one
    whole quiet block, each placed at its offset within its block."""
    out = []
    quiet_before = True
    for t, quiet in blocks:
        loud = quiet < samples
        if loud and quiet_before:
            out.append(t + quiet * 1_000_000_000 // rate)
        quiet_before = not loud
    return out


def match(sent, arrived, window_ns=MAX_LATENCY_NS):
    """{second: sent t}, [arrival t] -> {second: arrival t}: each marker takes the first
    unused arrival within the window after it left."""
    arrived = sorted(arrived)
    used = set()
    out = {}
    for second, t in sorted(sent.items(), key=lambda kv: kv[1]):
        for i, a in enumerate(arrived):
            if i not in used and t <= a < t + window_ns:
                used.add(i)
                out[second] = a
                break
    return out


def expected(sent, from_ns, stop_ns, window_ns=MAX_LATENCY_NS):
    """Markers the receiver could have handed over in its steady state: those that left
    once it had settled, early enough to arrive before it was stopped."""
    return {s: t for s, t in sent.items() if from_ns <= t <= stop_ns - window_ns}


def run_figures(sent, first_ns, launched_ns, stop_ns, video, audio, settle_ns=0):
    """One run's figures from the server's departures and the receiver's arrivals; markers
    count from settle_ns after the first frame."""
    out = {"launch_to_first_ms": (first_ns - launched_ns) / MS if first_ns else None}
    got = {}
    for kind, arrivals in (("video", video), ("audio", audio)):
        want = expected(sent[kind], (first_ns or stop_ns) + settle_ns, stop_ns)
        got[kind] = match(want, arrivals)
        out[f"{kind}_expected"] = len(want)
        out[f"{kind}_matched"] = len(got[kind])
        out[f"{kind}_ms"] = [(got[kind][s] - want[s]) / MS for s in sorted(got[kind])]
    both = sorted(set(got["video"]) & set(got["audio"]))
    out["av_ms"] = [(got["audio"][s] - got["video"][s]) / MS for s in both]
    return out


def matched_share(runs, kind):
    want = sum(r[f"{kind}_expected"] for r in runs)
    return sum(r[f"{kind}_matched"] for r in runs) / want if want else 0.0


def summary(runs):
    """Medians and p95 over the markers of every run of one kind; launch over runs."""
    row = {}
    for key in ("video_ms", "audio_ms", "av_ms"):
        values = [v for r in runs for v in r[key]]
        row[key] = (bl.median(values), p95(values), len(values))
    launch = [r["launch_to_first_ms"] for r in runs if r["launch_to_first_ms"] is not None]
    row["launch_ms"] = (bl.median(launch), p95(launch), len(launch))
    row["video_share"] = matched_share(runs, "video")
    row["audio_share"] = matched_share(runs, "audio")
    return row


def p95(values):
    """p95 by magnitude of the sign kept: the value whose size 95 % of the values do not
    exceed (for audio minus video, either side of zero counts)."""
    if not values:
        return None
    ordered = sorted(values, key=abs)
    return ordered[min(len(ordered) - 1, -(-len(ordered) * 95 // 100) - 1)]


# --- the runs ------------------------------------------------------------------------

class Bench:
    def __init__(self, args):
        self.args = args
        self.kinds = {}  # name -> (program, ffmpeg) or "peer"
        build = Path(args.build).resolve()
        ffmpeg = shutil.which("ffmpeg")
        for name in args.kinds.split(","):
            if name == "peer":
                self.kinds[name] = "peer"
            elif name == "ours":
                self.kinds[name] = (build / "zal-ndi-send", ffmpeg)
        for variant in args.variant:
            name, _, path = variant.partition("=")
            self.kinds[name] = (build / "zal-ndi-send", str(Path(path).resolve()))
        if args.against:
            self.kinds["before"] = (Path(args.against).resolve() / "zal-ndi-send", ffmpeg)
        self.runtime = build / "standin"
        self.tmp = Path(tempfile.mkdtemp(prefix="zal-latency-"))
        self.count = 0

    def server(self, work):
        a = self.args
        cmd = [SYSTEM_PYTHON, str(REPO / "testing" / "rtsp_server.py"), "--marker",
               "--width", str(a.width), "--height", str(a.height), "--fps", str(a.fps),
               "--key-int", str(a.key_int), "--bframes", str(a.bframes), "--codec", a.codec,
               "--max-seconds", str(a.seconds + 60)]
        if a.audio_codec != "opus":
            cmd += ["--audio-codec", a.audio_codec]
        return Lines(cmd, stderr=open(work / "server.txt", "w"))

    def receiver(self, kind, url, work):
        a = self.args
        if self.kinds[kind] == "peer":
            return Lines([SYSTEM_PYTHON, str(REPO / "bench" / "latency_peer.py"), url, "--width",
                          str(a.width), "--height", str(a.height), "--codec", a.codec],
                         stderr=open(work / "stderr.txt", "w"))
        program, ffmpeg = self.kinds[kind]
        env = dict(os.environ, NDI_RUNTIME_DIR_V6=str(self.runtime), ZAL_STANDIN_MODE="count",
                   ZAL_STANDIN_CAPTURE=str(work))
        env.pop("FFMPEG_BIN", None)
        return Lines([str(program), "--input", url, "--ffmpeg", ffmpeg, "--width", str(a.width),
                      "--height", str(a.height), "--fps", str(a.fps)] + a.extra, env=env,
                     stdin=subprocess.PIPE, stderr=open(work / "stderr.txt", "w"))

    def run(self, kind):
        self.count += 1
        work = self.tmp / f"{self.count:03d}-{kind}"
        work.mkdir()
        server = self.server(work)
        try:
            ready = server.wait_for("READY ", 30)
            if ready is None:
                sys.exit("the RTSP test server did not start: " + (work / "server.txt").read_text()[-500:])
            receiver = self.receiver(kind, ready.split()[1], work)
            time.sleep(self.args.seconds)
            stop_ns = time.monotonic_ns()
            receiver.end(close_stdin=self.kinds[kind] != "peer")
        finally:
            server.end()
        sent = departures(server.lines)
        if self.kinds[kind] == "peer":
            first = next((int(ln.split()[1]) for ln in receiver.lines if ln.startswith("FIRST ")), None)
            video = [int(ln.split()[2]) for ln in receiver.lines if ln.startswith("MARK video ")]
            audio = [int(ln.split()[2]) for ln in receiver.lines if ln.startswith("MARK audio ")]
        else:
            times = bl.parse_times(read(work / "video_times.txt"))
            first = times[0][0] if times else None
            video = video_marks(times)
            audio = audio_onsets(bl.parse_times(read(work / "audio_times.txt")))
        figures = run_figures(sent, first, receiver.launched_ns, stop_ns, video, audio,
                              int(self.args.settle * 1e9))
        figures["kind"] = kind
        if not self.args.keep:
            shutil.rmtree(work, ignore_errors=True)
        return figures


def read(path):
    return path.read_text() if path.exists() else ""


def fmt(value, pattern="7.1f"):
    return f"{'-':>7}" if value is None else format(value, pattern)


def print_table(rows):
    print(f"\n{'':8} | {'video ms':>15} | {'audio ms':>15} | {'audio-video ms':>15} | "
          f"{'launch->first ms':>17} | matched v/a")
    print(f"{'':8} | {'median':>7} {'p95':>7} | {'median':>7} {'p95':>7} | {'median':>7} {'p95':>7} | "
          f"{'median':>8} {'p95':>8} |")
    for kind, row in rows.items():
        cells = " | ".join(f"{fmt(row[k][0])} {fmt(row[k][1])}" for k in ("video_ms", "audio_ms", "av_ms"))
        print(f"{kind:8} | {cells} | {fmt(row['launch_ms'][0], '8.0f')} {fmt(row['launch_ms'][1], '8.0f')} | "
              f"{row['video_share']:.0%}/{row['audio_share']:.0%}")


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", default=str(REPO / "build"))
    p.add_argument("--runs", type=int, default=3, help="alternated runs of each kind")
    p.add_argument("--seconds", type=float, default=16.0, help="length of one run")
    p.add_argument("--settle", type=float, default=5.0,
                   help="seconds after the first frame before markers count (ours measures the "
                        "frame period that its sound is held back by over seconds 2 to 4)")
    p.add_argument("--width", type=int, default=1280)
    p.add_argument("--height", type=int, default=720)
    p.add_argument("--fps", type=int, default=30)
    p.add_argument("--key-int", type=int, default=30, help="frames between keyframes")
    p.add_argument("--bframes", type=int, default=0)
    p.add_argument("--codec", default="h264", choices=("h264", "h265"))
    p.add_argument("--audio-codec", default="opus", choices=("opus", "aac", "pcma", "pcmu"))
    p.add_argument("--kinds", default="ours,peer", help="ours and/or peer")
    p.add_argument("--variant", action="append", default=[], metavar="NAME=FFMPEG",
                   help="our program with another decoder program (a wrapper), as kind NAME")
    p.add_argument("--against", metavar="BUILD", help="another build's program, as kind before")
    p.add_argument("--extra", action="append", default=[], help="an option for our program")
    p.add_argument("--keep", action="store_true", help="keep the per-run files")
    p.add_argument("--out", default=str(REPO / "out" / "bench"))
    args = p.parse_args(argv)
    if args.audio_codec != "opus" and "peer" in args.kinds.split(","):
        sys.exit("the peer takes Opus only: --kinds ours")

    bench = Bench(args)
    kinds = list(bench.kinds)
    runs = []
    began = time.monotonic()
    for rep in range(args.runs):
        turn = rep % len(kinds)
        for kind in kinds[turn:] + kinds[:turn]:
            r = bench.run(kind)
            r["rep"] = rep
            runs.append(r)
            print(f"  run {rep} {kind:8} video {fmt(bl.median(r['video_ms']))} ms  audio "
                  f"{fmt(bl.median(r['audio_ms']))} ms  a-v {fmt(bl.median(r['av_ms']))} ms  "
                  f"first {fmt(r['launch_to_first_ms'], '6.0f')} ms  matched "
                  f"{r['video_matched']}/{r['video_expected']} {r['audio_matched']}/{r['audio_expected']}",
                  flush=True)
    rows = {kind: summary([r for r in runs if r["kind"] == kind]) for kind in kinds}
    print_table(rows)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    path = out / f"latency-{time.strftime('%Y%m%d-%H%M%S')}.json"
    path.write_text(json.dumps({"settings": vars(args), "runs": runs, "summary": rows}, indent=1))
    print(f"\nraw results: {path} ({time.monotonic() - began:.0f} s)")
    if not args.keep:
        shutil.rmtree(bench.tmp, ignore_errors=True)
    poor = [f"{kind} {what} {row[what + '_share']:.0%}" for kind, row in rows.items()
            for what in ("video", "audio") if row[what + "_share"] < MIN_MATCHED]
    if poor:
        print(f"FAILED: markers matched below {MIN_MATCHED:.0%}: {', '.join(poor)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
