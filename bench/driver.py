#!/usr/bin/python3
"""Benchmark driver: zal-ndi-send against a bare receive loop, fed by the same fast
writer (fake-ffmpeg), in alternation; then the real ffmpeg from the RTSP test server, with
the whole bridge against an in-process GStreamer peer (and, with --against, the program of
another build). Run through bench/run.sh, which builds what this needs."""
import argparse
import datetime
import json
import os
import platform
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
FAST = "fake:forever=1;fps=0;stamp=1"
PACED = "fake:forever=1;fps=60;stamp=1"
KINDS = ("program", "bare")


class Child:
    """A process whose stdout lines are collected; stdin stays open until stop()."""

    def __init__(self, cmd, env, stderr_path, ready=("\"event\":\"started\"", "READY ")):
        self.stderr_file = open(stderr_path, "wb")
        self.proc = subprocess.Popen(cmd, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.stderr_file)
        self.ready = ready
        self.lines = []
        self.stamps = []  # CLOCK_MONOTONIC ns at which each line was read
        self.started = threading.Event()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", "replace").strip()
            self.stamps.append(time.monotonic_ns())
            self.lines.append(line)
            if self.is_ready(line):
                self.started.set()
        self.started.set()  # end of output also ends the wait

    def is_ready(self, line):
        return any(marker in line for marker in self.ready)

    def wait_started(self, seconds):
        self.started.wait(seconds)
        return any(self.is_ready(ln) for ln in self.lines)

    def terminate(self, seconds=15):
        self.proc.terminate()
        return self.wait(seconds)

    def stop(self, seconds=30):
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        return self.wait(seconds)

    def wait(self, seconds=30):
        try:
            code = self.proc.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = self.proc.wait(timeout=10)
        self.reader.join(5)
        self.stderr_file.close()
        return code


class Sample:
    def __init__(self, pids):
        self.t_ns = time.monotonic_ns()  # CLOCK_MONOTONIC, the clock of the stamps
        self.cpu = {pid: bl.cpu_ns(pid) for pid in pids}
        self.ticks = {pid: bl.stat_cpu_ticks(Path(f"/proc/{pid}/stat").read_text()) for pid in pids}
        self.system = Path("/proc/stat").read_text().splitlines()[0]


def read_status_kb(pid, key):
    return bl.status_kb(Path(f"/proc/{pid}/status").read_text(), key)


class Bench:
    def __init__(self, args):
        self.args = args
        build = Path(args.build).resolve()
        self.program = build / "zal-ndi-send"
        self.bare = build / "bench" / "bare_receiver"
        self.runtime_dir = build / "standin"
        self.writer = build / "testing" / "fake-ffmpeg"
        for path in (self.program, self.bare, self.runtime_dir / "libndi.so.6", self.writer):
            if not path.exists():
                sys.exit(f"{path} missing: run bash bench/run.sh")
        self.programs = {"program": self.program}
        if args.against:
            self.programs["before"] = Path(args.against).resolve() / "zal-ndi-send"
            if not self.programs["before"].exists():
                sys.exit(f"{self.programs['before']} missing: build the other tree first")
        self.tmp = Path(tempfile.mkdtemp(prefix="zal-bench-"))
        self.counter = 0

    def fresh_dir(self, name):
        self.counter += 1
        d = self.tmp / f"{self.counter:03d}-{name}"
        d.mkdir()
        return d

    def start(self, kind, input_url, width, height, work, extra_env=None, ffmpeg=None):
        """kind: "bare", or a key of self.programs (the program of this build or the other)."""
        options = ["--input", input_url, "--width", str(width), "--height", str(height)]
        env = dict(os.environ)
        env.pop("ZAL_FAKE_LOG", None)
        if ffmpeg is None:
            env["FFMPEG_BIN"] = str(self.writer)
            options += ["--no-audio", "--fps", "60"]
        else:
            env.pop("FFMPEG_BIN", None)
            options += ["--ffmpeg", ffmpeg, "--fps", "30"]
        env.update(extra_env or {})
        if kind in self.programs:
            # This build's stand-in for both programs: only the program differs.
            env.update(NDI_RUNTIME_DIR_V6=str(self.runtime_dir), ZAL_STANDIN_MODE="count",
                       ZAL_STANDIN_CAPTURE=str(work))
            cmd = [str(self.programs[kind])] + options
        else:
            cmd = [str(self.bare), str(work / "video_times.txt")] + options
        return Child(cmd, env, work / "stderr.txt")

    # --- the argument-list check -------------------------------------------------
    def check_arguments(self):
        """Both receivers give the writer the same 28 arguments, and frames arrive whole."""
        seen = {}
        for kind in KINDS:
            work = self.fresh_dir(f"check-{kind}")
            child = self.start(kind, "fake:frames=3;stamp=1", 64, 48, work,
                               extra_env={"ZAL_FAKE_LOG": str(work / "fake")})
            child.wait(30)
            seen[kind] = json.loads((work / "fake" / "args.json").read_text())
            times = bl.parse_times((work / "video_times.txt").read_text())
            if len(times) != 3 or any(t < s for t, s in times):
                sys.exit(f"{kind}: expected 3 stamped frames, got {times}")
        if len(seen["program"]) != 28 or not bl.same_arguments(seen["program"], seen["bare"]):
            sys.exit(f"decoder argument lists differ:\n{seen['program']}\n{seen['bare']}")
        return seen["program"]

    # --- one loopback run ----------------------------------------------------------
    def measure(self, kind, input_url, width, height, window):
        work = self.fresh_dir(f"{kind}-{width}x{height}")
        child = self.start(kind, input_url, width, height, work)
        if not child.wait_started(30):
            child.stop()
            sys.exit(f"{kind} did not start: {child.lines} {(work / 'stderr.txt').read_text()[-500:]}")
        time.sleep(self.args.warmup)
        pid = child.proc.pid
        kids = bl.children(pid)
        pids = [pid] + kids[:1]
        a = Sample(pids)
        time.sleep(window)
        b = Sample(pids)
        hwm_kb = read_status_kb(pid, "VmHWM")
        code = child.stop()
        times = bl.parse_times((work / "video_times.txt").read_text())
        stats = bl.window_stats(times, a.t_ns, b.t_ns)
        cpu = b.cpu[pid] - a.cpu[pid]
        run = dict(kind=kind, width=width, height=height, input=input_url, exit_code=code,
                   window_s=(b.t_ns - a.t_ns) / bl.NS, total_frames=len(times),
                   cpu_ms=cpu / 1e6, cpu_ticks=b.ticks[pid] - a.ticks[pid],
                   cpu_us_per_frame=cpu / 1000 / stats["frames"] if stats["frames"] else None,
                   peak_rss_kb=hwm_kb, system_busy=bl.system_busy(a.system, b.system), **stats)
        if kids:
            run["writer_cpu_ms"] = (b.cpu[kids[0]] - a.cpu[kids[0]]) / 1e6
        if kind == "program":
            counts = json.loads((work / "counts.json").read_text())
            run["counted_frames"] = counts["video_frames"]
        if not self.args.keep:
            shutil.rmtree(work, ignore_errors=True)
        return run

    def series(self, input_url, sizes, reps, window, label):
        """reps x (program, bare) per size, sizes interleaved within each repetition."""
        runs = []
        for rep in range(reps):
            for w, h in sizes:
                for kind in KINDS:
                    run = self.measure(kind, input_url, w, h, window)
                    run.update(series=label, rep=rep)
                    runs.append(run)
                    progress(run)
        return runs

    # --- real ffmpeg from the RTSP test server, and the in-process peer ----------------
    def e2e_kinds(self):
        """The bridge of this build, that of the build compared against, the peer."""
        kinds = list(self.programs)
        if shutil.which("gst-launch-1.0"):
            kinds.append("peer")
        return kinds

    def e2e(self, kind, width, height, window):
        ffmpeg = shutil.which("ffmpeg")
        if ffmpeg is None and kind != "peer":
            return {"kind": kind, "width": width, "height": height, "skipped": "no ffmpeg on PATH"}
        work = self.fresh_dir(f"e2e-{kind}-{width}x{height}")
        server = Child([SYSTEM_PYTHON, str(REPO / "testing" / "rtsp_server.py"), "--width", str(width),
                        "--height", str(height), "--fps", "30", "--max-seconds", "300"],
                       dict(os.environ), work / "server.txt")
        try:
            if not server.wait_started(30):
                return {"kind": kind, "width": width, "height": height,
                        "skipped": "RTSP server did not start"}
            url = next(ln for ln in server.lines if ln.startswith("READY ")).split()[1]
            if kind == "peer":
                child = Child(bl.peer_command(url, width, height), dict(os.environ),
                              work / "stderr.txt", ready=("rendered: ",))
            else:
                child = self.start(kind, url, width, height, work, ffmpeg=ffmpeg)
            if not child.wait_started(60):
                child.terminate()
                return {"kind": kind, "width": width, "height": height,
                        "skipped": f"did not start: {child.lines[-5:]}"}
            time.sleep(self.args.e2e_warmup)
            pid = child.proc.pid
            kids = bl.children(pid)[:1] if kind != "peer" else []
            pids = [pid, server.proc.pid] + kids
            a = Sample(pids)
            time.sleep(window)
            b = Sample(pids)
            code = child.terminate() if kind == "peer" else child.stop()
        finally:
            server.proc.terminate()
            server.wait(15)
        seconds = (b.t_ns - a.t_ns) / bl.NS

        def share(p):
            return (b.cpu[p] - a.cpu[p]) / bl.NS / seconds

        run = dict(kind=kind, width=width, height=height, exit_code=code, window_s=seconds,
                   server_cpu=share(server.proc.pid), system_busy=bl.system_busy(a.system, b.system))
        if kind == "peer":
            run.update(bl.peer_rate(zip(child.stamps, child.lines), a.t_ns, b.t_ns))
            run["peer_cpu"] = run["bridge_cpu"] = share(pid)
        else:
            stats = bl.window_stats(bl.parse_times((work / "video_times.txt").read_text()), a.t_ns, b.t_ns)
            run.update(program_cpu=share(pid), ffmpeg_cpu=share(kids[0]) if kids else None,
                       frames=stats["frames"], fps=stats["fps"],
                       audio_blocks=json.loads((work / "counts.json").read_text())["audio_blocks"])
            run["bridge_cpu"] = run["program_cpu"] + (run["ffmpeg_cpu"] or 0)
            if stats["frames"]:
                run["program_ms_per_frame"] = run["program_cpu"] * seconds * 1000 / stats["frames"]
                if kids:
                    run["ffmpeg_ms_per_frame"] = run["ffmpeg_cpu"] * seconds * 1000 / stats["frames"]
        run["decoded_ok"] = bl.about_30_fps(run.get("fps"))
        if not self.args.keep:
            shutil.rmtree(work, ignore_errors=True)
        return run

    def e2e_series(self, sizes, reps, window):
        """reps x every kind per size; the order of the kinds turns with each repetition."""
        runs = []
        kinds = self.e2e_kinds()
        for rep in range(reps):
            for w, h in sizes:
                turn = rep % len(kinds)
                for kind in kinds[turn:] + kinds[:turn]:
                    run = self.e2e(kind, w, h, window)
                    run["rep"] = rep
                    runs.append(run)
                    e2e_progress(run)
        return runs


def progress(run):
    delay = run.get("delay_mean_us")
    print(f"  {run['series']:5} rep {run['rep']} {run['kind']:7} {run['width']}x{run['height']}: "
          f"{run['fps']:8.1f} fps  {run['cpu_us_per_frame'] or 0:8.1f} us cpu/frame  "
          f"delay {delay or 0:8.1f} us  rss {run['peak_rss_kb'] / 1024:6.1f} MB  "
          f"busy {run['system_busy'] * 100:3.0f}%", flush=True)


def summarize(runs, sizes):
    """Medians per size and kind, and medians of the per-pair ratios."""
    out = []
    for w, h in sizes:
        row = {"size": bl.size_label(w, h), "width": w, "height": h}
        fast = {k: [r for r in runs if r["series"] == "fast" and r["kind"] == k
                    and r["width"] == w and r["height"] == h] for k in KINDS}
        paced = {k: [r for r in runs if r["series"] == "paced" and r["kind"] == k
                     and r["width"] == w and r["height"] == h] for k in KINDS}
        for k in KINDS:
            row[f"{k}_fps"] = bl.median([r["fps"] for r in fast[k]])
            row[f"{k}_cpu_us"] = bl.median([r["cpu_us_per_frame"] for r in fast[k]])
            row[f"{k}_rss_mb"] = bl.median([r["peak_rss_kb"] / 1024 for r in fast[k] + paced[k]])
            row[f"{k}_peak_rss_mb"] = max([r["peak_rss_kb"] / 1024 for r in fast[k] + paced[k]], default=None)
            row[f"{k}_delay_mean_us"] = bl.median([r["delay_mean_us"] for r in paced[k]])
            row[f"{k}_delay_max_us"] = bl.median([r["delay_max_us"] for r in paced[k]])
            row[f"{k}_delay_p99_us"] = bl.median([r.get("delay_p99_us") for r in paced[k]])
            row[f"{k}_paced_fps"] = bl.median([r["fps"] for r in paced[k]])
            row[f"{k}_core"] = bl.median([r["cpu_ms"] / 1000 / r["window_s"] for r in fast[k]])
        # Who limits the rate: the writer's share of one core over the same windows.
        row["writer_core"] = bl.median([r.get("writer_cpu_ms", 0) / 1000 / r["window_s"]
                                        for r in fast["program"] + fast["bare"]])
        fps_ratios = bl.pair_ratios(fast["program"], fast["bare"], "fps")
        cpu_ratios = bl.pair_ratios(fast["program"], fast["bare"], "cpu_us_per_frame")
        row["fps_ratio"] = bl.median(fps_ratios)
        row["cpu_ratio"] = bl.median(cpu_ratios)
        # The spread of the pairs tells how far the noise of a shared machine reaches.
        row["fps_ratio_quartiles"] = bl.quartiles(fps_ratios)
        row["cpu_ratio_quartiles"] = bl.quartiles(cpu_ratios)
        row["system_busy"] = bl.median([r["system_busy"] for r in fast["program"] + fast["bare"]])
        row["delay_ratio"] = bl.median(bl.pair_ratios(paced["program"], paced["bare"], "delay_mean_us"))
        row["delay_diff_us"] = bl.median(bl.pair_differences(paced["program"], paced["bare"],
                                                             "delay_mean_us"))
        row["rss_limit_mb"] = bl.rss_limit_kb(w, h) / 1024
        row["ok_fps"] = row["fps_ratio"] is not None and row["fps_ratio"] >= 0.97
        row["ok_cpu"] = row["cpu_ratio"] is not None and row["cpu_ratio"] <= 1.10
        row["ok_delay"] = row["delay_diff_us"] is not None and (
            row["delay_ratio"] <= 1.10 or row["delay_diff_us"] <= 100.0)
        row["ok_rss"] = row["program_peak_rss_mb"] is not None and \
            row["program_peak_rss_mb"] <= row["rss_limit_mb"]
        out.append(row)
    return out


def fmt(value, pattern):
    return "-" if value is None else format(value, pattern)


def spread(q):
    return "-" if q is None else f"{q[0]:.2f}..{q[1]:.2f}"


def mark(ok):
    return "ok" if ok else "MISS"


def print_tables(summary, e2e_runs):
    if summary:
        print_loopback(summary)
    if e2e_runs:
        print_e2e(e2e_runs)


def print_loopback(summary):
    print("\nThroughput and CPU, fast writer (medians; ratios are medians of program/bare pairs)")
    print(f"{'size':>10} | {'prog fps':>8} {'bare fps':>8} {'ratio':>6} {'':4} | "
          f"{'prog us/f':>9} {'bare us/f':>9} {'ratio':>6} {'':4} | "
          f"{'peak RSS':>8} {'limit':>7} {'':4} | {'cores: prog bare writer':>23}")
    for r in summary:
        print(f"{r['size']:>10} | {fmt(r['program_fps'], '8.1f')} {fmt(r['bare_fps'], '8.1f')} "
              f"{fmt(r['fps_ratio'], '6.3f')} {mark(r['ok_fps']):4} | "
              f"{fmt(r['program_cpu_us'], '9.1f')} {fmt(r['bare_cpu_us'], '9.1f')} "
              f"{fmt(r['cpu_ratio'], '6.3f')} {mark(r['ok_cpu']):4} | "
              f"{fmt(r['program_peak_rss_mb'], '6.1f')}MB {fmt(r['rss_limit_mb'], '5.1f')}MB "
              f"{mark(r['ok_rss']):4} | {fmt(r['program_core'], '10.0%')} {fmt(r['bare_core'], '5.0%')} "
              f"{fmt(r['writer_core'], '6.0%')}")
    print("  pair ratios, quartiles:  " + "  ".join(
        f"{r['size']} fps {spread(r['fps_ratio_quartiles'])} cpu {spread(r['cpu_ratio_quartiles'])}"
        for r in summary))
    print("  machine busy (all CPUs, median over the fast windows): " + "  ".join(
        f"{r['size']} {fmt(r['system_busy'], '.0%')}" for r in summary))
    print("\nDelay from the writer's stamp, paced 60 fps (medians over runs; us)")
    print(f"{'size':>10} | {'prog mean':>9} {'bare mean':>9} {'diff':>7} {'ratio':>6} {'':4} | "
          f"{'prog p99':>8} {'bare p99':>8} | {'prog worst':>10} {'bare worst':>10} | "
          f"{'prog fps':>8} {'bare fps':>8}")
    for r in summary:
        print(f"{r['size']:>10} | {fmt(r['program_delay_mean_us'], '9.1f')} "
              f"{fmt(r['bare_delay_mean_us'], '9.1f')} {fmt(r['delay_diff_us'], '7.1f')} "
              f"{fmt(r['delay_ratio'], '6.3f')} {mark(r['ok_delay']):4} | "
              f"{fmt(r['program_delay_p99_us'], '8.1f')} {fmt(r['bare_delay_p99_us'], '8.1f')} | "
              f"{fmt(r['program_delay_max_us'], '10.1f')} {fmt(r['bare_delay_max_us'], '10.1f')} | "
              f"{fmt(r['program_paced_fps'], '8.1f')} {fmt(r['bare_paced_fps'], '8.1f')}")


def e2e_progress(run):
    head = f"  e2e rep {run['rep']} {run['kind']:7} {run['width']}x{run['height']}: "
    if "skipped" in run:
        print(head + "skipped: " + run["skipped"], flush=True)
        return
    parts = [f"{fmt(run.get('fps'), '.1f')} fps{'' if run['decoded_ok'] else ' (NOT ~30)'}"]
    if run["kind"] == "peer":
        parts.append(f"peer {run['peer_cpu']:.1%}")
    else:
        parts.append(f"program {run['program_cpu']:.1%}, ffmpeg {fmt(run['ffmpeg_cpu'], '.1%')}")
    parts.append(f"server {run['server_cpu']:.1%} of a core, busy {run['system_busy']:.0%}")
    print(head + ", ".join(parts), flush=True)


def print_e2e(e2e_runs):
    rows = e2e_summary(e2e_runs)
    print("\nEnd to end: RTSP test server -> ffmpeg -> zal-ndi-send (audio on), 30 fps "
          "(medians; CPU as share of one core)")
    print(f"{'size':>10} {'build':>7} | {'fps':>5} | {'program':>7} {'ffmpeg':>7} {'bridge':>7} "
          f"{'server':>7} | {'prog ms/f':>9} {'ffmpeg ms/f':>11}")
    for r in rows:
        for kind, k in r["kinds"].items():
            if kind == "peer":
                continue
            print(f"{r['size']:>10} {BUILD_LABELS[kind]:>7} | {fmt(k['fps'], '5.1f')} | {fmt(k['program_cpu'], '7.1%')} "
                  f"{fmt(k['ffmpeg_cpu'], '7.1%')} {fmt(k['bridge_cpu'], '7.1%')} "
                  f"{fmt(k['server_cpu'], '7.1%')} | {fmt(k['program_ms_per_frame'], '9.3f')} "
                  f"{fmt(k['ffmpeg_ms_per_frame'], '11.2f')}")
    print("\nThe bridge (ffmpeg + program) against the in-process GStreamer peer, same server "
          "(medians; ratios are medians of the pairs of one repetition)")
    print(f"{'size':>10} | {'peer fps':>8} {'decoded':>7} | {'peer':>6} {'bridge':>6} {'ratio':>6} "
          f"{'quartiles':>10} {'':4} | {'before':>6} {'ratio':>6} | {'program after/before':>20}")
    for r in rows:
        peer = r["kinds"].get("peer", {})
        before = r["kinds"].get("before", {})
        print(f"{r['size']:>10} | {fmt(peer.get('fps'), '8.1f')} {peer.get('decoded', '-'):>7} | "
              f"{fmt(peer.get('peer_cpu'), '6.1%')} {fmt(r['kinds'].get('program', {}).get('bridge_cpu'), '6.1%')} "
              f"{fmt(r['peer_ratio'], '6.3f')} {spread(r['peer_ratio_quartiles']):>10} "
              f"{mark(r['ok_peer']):4} | {fmt(before.get('bridge_cpu'), '6.1%')} "
              f"{fmt(r['before_peer_ratio'], '6.3f')} | {fmt(r['after_before_ratio'], '10.3f')} "
              f"{spread(r['after_before_quartiles']):>9}")


BUILD_LABELS = {"program": "this", "before": "before"}
E2E_KEYS = ("fps", "program_cpu", "ffmpeg_cpu", "bridge_cpu", "peer_cpu", "server_cpu",
            "program_ms_per_frame", "ffmpeg_ms_per_frame", "system_busy")


def e2e_summary(runs):
    """Medians per size and kind; bridge/peer and after/before ratios over the pairs of a rep."""
    out = []
    for w, h in sorted({(r["width"], r["height"]) for r in runs}):
        mine = [r for r in runs if r["width"] == w and r["height"] == h and "skipped" not in r]
        by_kind = {}
        for kind in sorted({r["kind"] for r in mine}, key=["program", "before", "peer"].index):
            of_kind = [r for r in mine if r["kind"] == kind]
            row = {key: bl.median([r.get(key) for r in of_kind]) for key in E2E_KEYS}
            row["decoded"] = f"{sum(r['decoded_ok'] for r in of_kind)}/{len(of_kind)}"
            by_kind[kind] = row
        peer = bl.rep_ratios(mine, "program", "bridge_cpu", "peer", "bridge_cpu")
        after = bl.rep_ratios(mine, "program", "program_ms_per_frame", "before", "program_ms_per_frame")
        row = {"size": bl.size_label(w, h), "width": w, "height": h, "kinds": by_kind,
               "peer_ratio": bl.median(peer), "peer_ratio_quartiles": bl.quartiles(peer),
               "before_peer_ratio": bl.median(bl.rep_ratios(mine, "before", "bridge_cpu", "peer",
                                                            "bridge_cpu")),
               "after_before_ratio": bl.median(after), "after_before_quartiles": bl.quartiles(after)}
        row["ok_peer"] = row["peer_ratio"] is not None and row["peer_ratio"] <= 1.20
        out.append(row)
    return out


def machine():
    model = next((ln.split(":", 1)[1].strip() for ln in
                  Path("/proc/cpuinfo").read_text().splitlines() if ln.startswith("model name")), "?")
    return {"nproc": os.cpu_count(), "cpu": model, "kernel": platform.release(),
            "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
            "loadavg": Path("/proc/loadavg").read_text().split()[:3]}


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", default=str(REPO / "build-bench"))
    p.add_argument("--sizes", default="1280x720,1920x1080,3840x2160")
    p.add_argument("--reps", type=int, default=9, help="program/bare pairs per size, fast writer")
    p.add_argument("--paced-reps", type=int, default=5, help="pairs per size at 60 fps")
    p.add_argument("--window", type=float, default=3.0, help="seconds measured per fast run")
    p.add_argument("--paced-window", type=float, default=4.0, help="seconds measured per paced run")
    p.add_argument("--warmup", type=float, default=1.0, help="seconds after started before measuring")
    p.add_argument("--e2e-sizes", default="1280x720,1920x1080")
    p.add_argument("--e2e-reps", type=int, default=3)
    p.add_argument("--against", metavar="BUILD",
                   help="another build tree (e.g. of the previous commit) whose zal-ndi-send joins "
                        "the end-to-end alternation as \"before\"")
    p.add_argument("--e2e-window", type=float, default=10.0)
    p.add_argument("--e2e-warmup", type=float, default=3.0)
    p.add_argument("--no-e2e", action="store_true", help="skip the real-ffmpeg figure")
    p.add_argument("--e2e-only", action="store_true", help="only the real-ffmpeg figure")
    p.add_argument("--keep", action="store_true", help="keep the per-run files")
    p.add_argument("--out", default=str(REPO / "out" / "bench"))
    args = p.parse_args(argv)

    bench = Bench(args)
    sizes = bl.parse_sizes(args.sizes)
    info = machine()
    print(f"machine: {info['nproc']} CPUs, {info['cpu']}, kernel {info['kernel']}, "
          f"load {' '.join(info['loadavg'])}", flush=True)
    result = {"machine": info, "settings": vars(args), "runs": [], "e2e": []}
    began = time.monotonic()
    if not args.e2e_only:
        result["decoder_args"] = bench.check_arguments()
        print(f"decoder argument list checked: {len(result['decoder_args'])} entries, same for both")
        print("fast writer:", flush=True)
        result["runs"] += bench.series(FAST, sizes, args.reps, args.window, "fast")
        print("paced writer, 60 fps:", flush=True)
        result["runs"] += bench.series(PACED, sizes, args.paced_reps, args.paced_window, "paced")
        result["summary"] = summarize(result["runs"], sizes)
    if not args.no_e2e:
        print("end to end, real ffmpeg, and the in-process peer:", flush=True)
        result["e2e"] = bench.e2e_series(bl.parse_sizes(args.e2e_sizes), args.e2e_reps, args.e2e_window)
        result["e2e_summary"] = e2e_summary(result["e2e"])
    result["elapsed_s"] = time.monotonic() - began
    print_tables(result.get("summary", []), result["e2e"])

    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    path = out / f"results-{time.strftime('%Y%m%d-%H%M%S')}.json"
    path.write_text(json.dumps(result, indent=1))
    print(f"\nraw results: {path} ({result['elapsed_s']:.0f} s)")
    if not args.keep:
        shutil.rmtree(bench.tmp, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
