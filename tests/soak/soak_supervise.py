"""Supervised fault soak: zal-ndi-supervise with four sources from four RTSP test servers
(real ffmpeg, audio on, 320x240 at 30 fps, the stand-in runtime, default restart settings,
every source with --keep-alive), while the servers are dropped, kept away and frozen in turn.
On demand, not in CI: bash scripts/soak-supervise.sh (run with /usr/bin/python3, which has
python3-gi).

Faults, round-robin over the sources and over the kinds, each against a source whose camera
has been back for healthy_after_s, the next one only after the last source's camera is back:
- drop: the server is terminated and a new one is listening on its port 8 s later;
- outage: the same, back after 40 s;
- freeze: SIGSTOP for 20 s, then SIGCONT.
A fault begins only if its camera is back before SOAK_SECONDS are up; recovery and the final
snapshot may run past that.

What a receiver sees comes from the stand-in runtime's record of every send (its count mode,
one record per zal-ndi-send: the program the supervisor starts is a wrapper that gives each its
own folder). A frame is the slate when its first bytes are those of the run's first frame,
which is always the slate. Per fault: the time from the fault to the first slate frame, from
the camera's return (the new server ready, or SIGCONT) to the first camera frame, and the
longest pauses between video sends and between audio blocks from the fault to a second after
the camera's first frame; the same times from the lines (`slate`, `camera`) as they come. Per
source: the senders created and the longest pauses over the whole run.

Checks (exit code 1 if one fails): every line against docs/supervise-events.schema.json; per
source, every `exit` before the `restart` about its run (and each run's lines in order); no
source given up; a record for every sender; the supervisor stops with 0 and leaves no process;
no leak between the snapshot after the warm-up and the one at the end: the same number of
children and decoders, the same descriptor counts (the supervisor, and each source's child
against that source's child at the start), RSS growth at most 1 MB per process (a child's
allowance adds the stand-in's record of its sends, 16 bytes each).

Goals (reported PASS/FAIL; they fail the exit code only with SOAK_STRICT=1): one sender per
source for the whole run; no pause between video sends over 100 ms, none between audio blocks
over 50 ms; the slate out within 1.5 s of each fault; the camera's first frame within 2 s of
its return (median) and 3 s at worst; no leak.

Environment: SOAK_SECONDS (1200), SOAK_WARMUP (20: streaming time of every child before a
snapshot), SOAK_GAP (20: settling time after a source's camera is back, before the next
fault), SOAK_RECOVER_MAX (150: the longest wait for a camera to be back), SOAK_SAMPLE_SECONDS
(10: supervisor samples), ZAL_BUILD_DIR (build), SOAK_OUT (out/soak-supervise: sources.json,
events.jsonl, samples.csv, logs, records/, summary.json).
"""
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

from soaklib import (REPO, Lines, cmdline, cpu_ticks, fd_count, parse, proc_children,
                     start_rtsp_server, start_time, stop_process, vm_rss_kb)

sys.path.insert(0, str(REPO / "testing"))
from event_schema import validate_supervise_line  # noqa: E402

BUILD = Path(os.environ.get("ZAL_BUILD_DIR", REPO / "build")).resolve()
SECONDS = float(os.environ.get("SOAK_SECONDS", "1200"))
WARMUP = float(os.environ.get("SOAK_WARMUP", "20"))
GAP = float(os.environ.get("SOAK_GAP", "20"))
RECOVER_MAX = float(os.environ.get("SOAK_RECOVER_MAX", "150"))
SAMPLE = float(os.environ.get("SOAK_SAMPLE_SECONDS", "10"))
STRICT = os.environ.get("SOAK_STRICT") == "1"
OUT = Path(os.environ.get("SOAK_OUT", REPO / "out" / "soak-supervise")).resolve()

SOURCES = 4
W, H, FPS = 320, 240, 30
FAULTS = [("drop", 8.0), ("outage", 40.0), ("freeze", 20.0)]
# The default restart settings, which zal-ndi-send's own decoder restarts use too.
HEALTHY_AFTER = 60.0
RSS_LIMIT_KB = 1024
RECORD_BYTES = 16  # the stand-in's count mode keeps this much per send
SLATE_WITHIN, CAMERA_MEDIAN, CAMERA_WORST = 1.5, 2.0, 3.0
VIDEO_PAUSE, AUDIO_PAUSE = 0.100, 0.050
RECORDS = OUT / "records"
# The program the supervisor starts: zal-ndi-send with a stand-in record of its own.
WRAPPER = """#!/bin/sh
name=
prev=
for arg in "$@"; do
  [ "$prev" = --name ] && name=$arg
  prev=$arg
done
export ZAL_STANDIN_MODE=count
export ZAL_STANDIN_CAPTURE="%s/$name/$$"
mkdir -p "$ZAL_STANDIN_CAPTURE"
exec "%s" "$@"
"""


class Camera:
    """One RTSP test server on a fixed loopback port, which can be dropped and frozen."""

    def __init__(self, port, log):
        self.port, self.log, self.proc, self.url = port, log, None, None

    def start(self, attempts=5):
        """Starts the server; the time it was ready, or None."""
        for _ in range(attempts):
            self.proc, url = start_rtsp_server(
                ["--port", str(self.port), "--width", str(W), "--height", str(H),
                 "--fps", str(FPS), "--max-seconds", str(SECONDS + 1800)], self.log)
            if url is not None:
                self.url = url
                return time.monotonic()
            time.sleep(0.5)  # the port may not be free again yet
        return None

    def stop(self):
        if self.proc is not None:
            stop_process(self.proc)

    def signal(self, sig):
        self.proc.send_signal(sig)


def free_ports(count):
    """Loopback ports below the ephemeral range that nothing listens on now, so a restarted
    server gets its port back."""
    ports, port = [], 20554
    while len(ports) < count:
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
                ports.append(port)
            except OSError:
                pass
        port += 1
    return ports


def source_name(i):
    return "cam%d" % (i + 1)


def descendants(pid):
    out = []
    for kid in proc_children(pid):
        out += [kid] + descendants(kid)
    return out


def reading(pid):
    """RSS and descriptors of one process, or None when it is gone."""
    try:
        return {"pid": pid, "rss_kb": vm_rss_kb(pid), "fds": fd_count(pid),
                "started_ticks": start_time(pid)}
    except (OSError, RuntimeError):
        return None


def option_value(args, name):
    return args[args.index(name) + 1] if name in args[:-1] else None


def snapshot(supervisor):
    """The supervisor, its children by source and their decoders."""
    snap = {"supervisor": reading(supervisor), "children": {}, "decoders": {}, "problems": [],
            "at": time.monotonic()}
    kids = proc_children(supervisor)
    snap["child_count"] = len(kids)
    snap["decoder_count"] = 0
    snap["descendant_count"] = len(descendants(supervisor))
    for kid in kids:
        try:
            name = option_value(cmdline(kid), "--name") or "pid %d" % kid
        except OSError:
            continue
        if name in snap["children"]:
            snap["problems"].append("two children for %s" % name)
        snap["children"][name] = reading(kid)
        decoders = [reading(d) for d in proc_children(kid)]
        snap["decoder_count"] += len(decoders)
        snap["decoders"][name] = decoders
        if len(decoders) != 1:
            snap["problems"].append("%s has %d decoders" % (name, len(decoders)))
    return snap


def streaming(lines, source, since_camera_s=0.0):
    """The time of source's last status with the camera's frames going out, when its camera
    has been back for at least since_camera_s and neither the slate nor an end came since;
    else None."""
    with lines.cond:
        items = list(lines.items)
    camera = alive = None
    for t, raw in items:
        obj = parse(raw)
        if obj is None or obj.get("source") != source:
            continue
        event = obj.get("event")
        if event == "camera":
            camera, alive = t, None
        elif (event == "status" and camera is not None and obj.get("picture") == "camera"
              and obj.get("fps", 0) > 0):
            alive = t
        elif event in ("slate", "exit", "error", "restart", "given_up"):
            camera = alive = None
    if camera is None or alive is None or time.monotonic() - camera < since_camera_s:
        return None
    return alive


def wait_streaming(lines, sources, since_camera_s, timeout):
    deadline = time.monotonic() + timeout
    while True:
        waiting = [s for s in sources if streaming(lines, s, since_camera_s) is None]
        if not waiting or time.monotonic() >= deadline:
            return waiting
        time.sleep(0.5)


def inject(camera, kind, length):
    """The fault; the time the camera came back (None if its server did not start again)."""
    if kind == "freeze":
        camera.signal(signal.SIGSTOP)
        time.sleep(length)
        camera.signal(signal.SIGCONT)
        return time.monotonic()
    camera.stop()
    time.sleep(length)
    return camera.start()


def comeback(lines, source, first_line, at, back, timeout):
    """From line first_line on, as the lines tell it: source's first `slate` (seconds after
    the fault at), its `camera` after that (seconds after back), the supervisor's restart
    reasons meanwhile, and the decoder restarts its status lines counted across the fault."""
    def of_source(event):
        return lambda t, obj: obj.get("source") == source and obj.get("event") == event

    deadline = back + timeout
    result = {"slate_line_s": None, "camera_line_s": None}
    slate = lines.wait_until(of_source("slate"), max(0.0, deadline - time.monotonic()), first_line)
    camera = None
    if slate is not None:
        result["slate_line_s"] = slate[0] - at
        camera = lines.wait_until(lambda t, obj: t >= slate[0] and of_source("camera")(t, obj),
                                  max(0.0, deadline - time.monotonic()), first_line)
    if camera is not None:
        result["camera_line_s"] = camera[0] - back
        lines.wait_until(lambda t, obj: t > camera[0] and of_source("status")(t, obj),
                         max(0.0, deadline - time.monotonic()), first_line)
    with lines.cond:
        items = [(t, parse(raw)) for t, raw in lines.items]
    ours = [(i, t, o) for i, (t, o) in enumerate(items) if o and o.get("source") == source]
    result["restarts"] = [o["reason"] for i, t, o in ours if i >= first_line and
                          o.get("event") == "restart" and (camera is None or t <= camera[0])]
    counts = [(i, o["decoder_restarts"]) for i, t, o in ours
              if o.get("event") == "status" and "decoder_restarts" in o]
    before = [n for i, n in counts if i < first_line]
    after = [n for i, n in counts if camera is not None and items[i][0] > camera[0]]
    if before and after:
        result["decoder_restarts"] = after[0] - before[-1]
    return result


def run_fault(index, cameras, lines, t0):
    source = index % SOURCES
    kind, length = FAULTS[index % len(FAULTS)]
    name = source_name(source)
    with lines.cond:
        first_line = len(lines.items)
    at = time.monotonic()
    back = inject(cameras[source], kind, length)
    fault = {"index": index, "kind": kind, "source": name, "at_s": round(at - t0, 1),
             "away_s": None if back is None else round(back - at, 2), "at": at, "back": back}
    if back is None:
        fault["problem"] = "the server did not start again on port %d" % cameras[source].port
        return fault
    result = comeback(lines, name, first_line, at, back, RECOVER_MAX)
    fault["restarts"] = result["restarts"]
    fault["decoder_restarts"] = result.get("decoder_restarts")
    for key in ("slate_line_s", "camera_line_s"):
        fault[key] = None if result[key] is None else round(result[key], 2)
    print("soak: %5.0f s  %-6s %s  back after %.1f s; lines: slate %s after the fault, camera %s "
          "after the return; decoder restarts %s, supervisor restarts %s"
          % (at - t0, kind, name, back - at, fmt(fault["slate_line_s"]),
             fmt(fault["camera_line_s"]), fault["decoder_restarts"],
             ",".join(fault["restarts"]) or "-"), flush=True)
    return fault


def fmt(seconds):
    return "never" if seconds is None else "%.3f s" % seconds


class Sampler:
    """The supervisor's RSS, descriptors and process counts every SAMPLE s, to samples.csv."""

    def __init__(self, supervisor, path, t0):
        self.supervisor, self.path, self.t0 = supervisor, path, t0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        with open(self.path, "w") as f:
            f.write("seconds,supervisor_rss_kb,supervisor_fds,children,descendants\n")
            while not self.stop.wait(SAMPLE):
                sup = reading(self.supervisor)
                if sup is None:
                    return
                f.write("%.1f,%d,%d,%d,%d\n" % (
                    time.monotonic() - self.t0, sup["rss_kb"], sup["fds"],
                    len(proc_children(self.supervisor)), len(descendants(self.supervisor))))
                f.flush()


def cpu_split(supervisor, cameras, seconds):
    """Cores used over seconds by the servers, the decoders, the senders and the supervisor."""
    kids = proc_children(supervisor)
    groups = {"servers": [c.proc.pid for c in cameras], "senders": kids,
              "decoders": [d for k in kids for d in proc_children(k)], "supervisor": [supervisor]}

    def ticks():
        return {g: sum(cpu_ticks(p) or 0 for p in pids) for g, pids in groups.items()}

    before = ticks()
    time.sleep(seconds)
    after = ticks()
    hz = os.sysconf("SC_CLK_TCK")
    split = {g: round((after[g] - before[g]) / hz / seconds, 3) for g in groups}
    split["total"] = round(sum(split.values()), 3)
    return split


# Checks over the lines.

def schema_problems(objects):
    problems = []
    for i, obj in enumerate(objects):
        try:
            validate_supervise_line(obj)
        except AssertionError as e:
            problems.append("line %d: %s" % (i + 1, str(e).splitlines()[0]))
    return problems


def order_problems(objects):
    """Per source: a run's lines in order, and its `exit` before the `restart` about it.
    A run that was killed (reason killed N, or a stall that did not end in time) has no exit."""
    state, problems = {}, []
    for i, obj in enumerate(objects, 1):
        source, event = obj.get("source"), obj.get("event")
        was = state.get(source, "idle")
        if event == "started":
            if was != "idle":
                problems.append("line %d: %s started while its run is %s" % (i, source, was))
            state[source] = "started"
        elif event == "status" and was != "started":
            problems.append("line %d: %s status outside a started run" % (i, source))
        elif event == "exit":
            if was != "started":
                problems.append("line %d: %s exit with no started run before it (after its "
                                "restart?)" % (i, source))
            state[source] = "ended"
        elif event == "error":
            if was != "idle":
                problems.append("line %d: %s error while its run is %s" % (i, source, was))
            state[source] = "ended"
        elif event in ("restart", "given_up"):
            killed = obj.get("reason", "").startswith("killed") or obj.get("reason") == "stall"
            if was == "started" and not killed:
                problems.append("line %d: %s %s (%s) before the exit of its run"
                                % (i, source, event, obj.get("reason")))
            state[source] = "idle"
    return problems


def leak_problems(start, end, record_kb):
    """record_kb: by source, what the stand-in's record of its sends grew between the two."""
    problems = []
    for key, what in (("child_count", "children"), ("decoder_count", "decoders"),
                      ("descendant_count", "processes under the supervisor")):
        if end[key] != start[key]:
            problems.append("%d %s at the end, %d at the start" % (end[key], what, start[key]))
    pairs = [("supervisor", start["supervisor"], end["supervisor"], 0)]
    pairs += [("child of " + n, start["children"][n], end["children"].get(n), record_kb.get(n, 0))
              for n in sorted(start["children"])]
    for what, a, b, allowance in pairs:
        if a is None or b is None:
            problems.append("%s: no reading at the %s" % (what, "start" if a is None else "end"))
            continue
        if b["fds"] != a["fds"]:
            problems.append("%s: %d descriptors at the end, %d at the start" % (what, b["fds"], a["fds"]))
        if b["rss_kb"] - a["rss_kb"] > RSS_LIMIT_KB + allowance:
            problems.append("%s: RSS %d kB at the end, %d kB at the start (limit +%d kB)"
                            % (what, b["rss_kb"], a["rss_kb"], RSS_LIMIT_KB + allowance))
    return problems


def leak_figures(start, end):
    def pair(a, b):
        if a is None or b is None:
            return None
        return {"rss_kb": [a["rss_kb"], b["rss_kb"]], "rss_growth_kb": b["rss_kb"] - a["rss_kb"],
                "fds": [a["fds"], b["fds"]], "same_process": a["started_ticks"] == b["started_ticks"]
                and a["pid"] == b["pid"]}

    figures = {"processes": {k: [start[k], end[k]] for k in
                             ("child_count", "decoder_count", "descendant_count")},
               "supervisor": pair(start["supervisor"], end["supervisor"]),
               "children": {n: pair(start["children"][n], end["children"].get(n))
                            for n in sorted(start["children"])},
               "decoders": {}}
    for n in sorted(start["decoders"]):
        a, b = start["decoders"][n], end["decoders"].get(n, [])
        if len(a) == 1 and len(b) == 1:
            figures["decoders"][n] = pair(a[0], b[0])
    return figures


# What a receiver sees, from the stand-in's records.

def read_records(root):
    """By source, one record per zal-ndi-send run: its folder, and (None when the run left no
    record) video [(t_s, first8)] and audio [t_s], in send order."""
    records = {}
    for folder in sorted(p for p in root.iterdir() if p.is_dir()) if root.exists() else []:
        runs = []
        for run in sorted(folder.iterdir()):
            rec = {"folder": run.name, "video": None, "audio": None}
            if (run / "counts.json").exists():
                with open(run / "video_times.txt") as f:
                    rec["video"] = [(int(t) / 1e9, int(b)) for t, b in (line.split() for line in f)]
                with open(run / "audio_times.txt") as f:
                    rec["audio"] = [int(line.split()[0]) / 1e9 for line in f]
            runs.append(rec)
        records[folder.name] = runs
    return records


def longest_pause(times):
    return max((b - a for a, b in zip(times, times[1:])), default=None)


def within(times, start, end):
    return [t for t in times if start <= t <= end]


def pauses_over(times, limit):
    return [(a, b) for a, b in zip(times, times[1:]) if b - a > limit]


def over_goal(times, limit, others, t0):
    """The pauses over limit (at most 10): when (s from the start), how long, and how many
    other sources paused 50 ms or more at the same time (the whole machine held up)."""
    out = []
    for a, b in pauses_over(times, limit)[:10]:
        shared = sum(1 for other in others if any(x < b and y > a for x, y in pauses_over(other, 0.05)))
        out.append([round(a - t0, 1), round(b - a, 3), shared])
    return out


def fault_figures(fault, video, audio):
    """From the record of the source's one sender: the slate and camera times and the
    pauses from the fault to a second after the camera's first frame."""
    at, back = fault["at"], fault["back"]
    slate_mark = video[0][1]  # the run's first frame is the slate
    slate = next((t for t, mark in video if t >= at and mark == slate_mark), None)
    camera = next((t for t, mark in video if t >= back and mark != slate_mark), None)
    end = (camera if camera is not None else back) + 1.0
    times = [t for t, _ in video]
    figures = {"slate_s": None if slate is None else slate - at,
               "camera_s": None if camera is None else camera - back,
               "video_pause_s": longest_pause(within(times, at, end)),
               "audio_pause_s": longest_pause(within(audio, at, end))}
    return {k: None if v is None else round(v, 3) for k, v in figures.items()}


def receiver_view(summary, failures, records, objects, t0):
    """Senders and pauses per source, and each fault's figures, from the records."""
    started = {}
    for o in objects:
        if o.get("event") == "started":
            started[o["source"]] = started.get(o["source"], 0) + 1
    sources = {}
    kept_by_source = {n: [r for r in runs if r["video"]] for n, runs in records.items()}
    for i in range(SOURCES):
        name = source_name(i)
        runs = records.get(name, [])
        lost = [r["folder"] for r in runs if r["video"] is None]
        if lost:
            failures.append("%s: no record from the run(s) in %s" % (name, lost))
        kept = [r for r in runs if r["video"]]
        sources[name] = {"senders": len(runs), "started_lines": started.get(name, 0),
                         "video_sends": sum(len(r["video"]) for r in kept),
                         "audio_sends": sum(len(r["audio"]) for r in kept),
                         "video_pause_s": max((longest_pause([t for t, _ in r["video"]]) or 0
                                               for r in kept), default=None),
                         "audio_pause_s": max((longest_pause(r["audio"]) or 0 for r in kept),
                                              default=None)}
        others = [r for n, rs in kept_by_source.items() if n != name for r in rs]
        sources[name]["video_over_goal"] = [
            p for r in kept for p in over_goal([t for t, _ in r["video"]], VIDEO_PAUSE,
                                               [[t for t, _ in o["video"]] for o in others], t0)]
        sources[name]["audio_over_goal"] = [
            p for r in kept for p in over_goal(r["audio"], AUDIO_PAUSE - 1e-9,
                                               [o["audio"] for o in others], t0)]
    summary["sources"] = sources
    for fault in summary["faults"]:
        runs = [r for r in records.get(fault["source"], []) if r["video"]]
        if len(runs) == 1 and "problem" not in fault:
            fault.update(fault_figures(fault, runs[0]["video"], runs[0]["audio"]))


def receiver_goals(summary):
    faults = [f for f in summary["faults"] if "problem" not in f]
    sources = summary["sources"].values()
    slate = [f.get("slate_s") for f in faults]
    camera = [f.get("camera_s") for f in faults]
    got = [c for c in camera if c is not None]
    stats = {kind: {key: [f.get(key) for f in faults if f["kind"] == kind]
                    for key in ("slate_s", "camera_s", "video_pause_s", "audio_pause_s")}
             for kind, _ in FAULTS}
    stats["camera_s"] = {"median": round(statistics.median(got), 3) if got else None,
                         "worst": round(max(got), 3) if got else None, "missed": len(camera) - len(got)}
    goals = {
        "one_sender_per_source": all(s["senders"] == 1 and s["started_lines"] == 1 for s in sources),
        "video_pause_at_most_100ms": all(s["video_pause_s"] is not None and
                                         s["video_pause_s"] <= VIDEO_PAUSE for s in sources),
        "audio_pause_under_50ms": all(s["audio_pause_s"] is not None and
                                      s["audio_pause_s"] < AUDIO_PAUSE for s in sources),
    }
    if faults:
        goals["slate_within_1.5s"] = all(v is not None and v <= SLATE_WITHIN for v in slate)
        goals["camera_back_median_2s"] = not stats["camera_s"]["missed"] and \
            stats["camera_s"]["median"] <= CAMERA_MEDIAN
        goals["camera_back_worst_3s"] = not stats["camera_s"]["missed"] and \
            stats["camera_s"]["worst"] <= CAMERA_WORST
    return stats, goals


def record_growth_kb(records, since):
    """By source, the stand-in's record of the sends made after since, in kB."""
    grown = {}
    for name, runs in records.items():
        sends = sum(len([t for t, _ in r["video"] if t >= since]) + len(within(r["audio"], since, 1e18))
                    for r in runs if r["video"])
        grown[name] = sends * RECORD_BYTES // 1024 + 1
    return grown


def write_sources(path, cameras):
    wrapper = OUT / "zal-ndi-send-recorded"
    wrapper.write_text(WRAPPER % (RECORDS, BUILD / "zal-ndi-send"))
    wrapper.chmod(0o755)
    doc = {"program": str(wrapper), "ffmpeg": "/usr/bin/ffmpeg",
           "sources": [{"name": source_name(i), "input": c.url, "width": W, "height": H,
                        "fps": FPS, "audio": True} for i, c in enumerate(cameras)]}
    path.write_text(json.dumps(doc, indent=1) + "\n")


def child_env():
    env = dict(os.environ, NDI_RUNTIME_DIR_V6=str(BUILD / "standin"))
    for name in [n for n in env if n.startswith("ZAL_STANDIN_") or n == "FFMPEG_BIN"]:
        del env[name]
    return env


def stop_supervisor(proc, failures):
    """Ends its input as a user would; the exit code, or None after a kill."""
    if proc.poll() is None:
        try:
            proc.stdin.close()
        except OSError:
            pass
    try:
        return proc.wait(20)
    except subprocess.TimeoutExpired:
        failures.append("the supervisor still ran 20 s after its input ended")
        proc.kill()
        proc.wait(10)
        return None


def survivors(processes, within):
    """Of (pid, start ticks), those still running after within seconds (a decoder ends just
    after its parent)."""
    deadline = time.monotonic() + within
    while True:
        still = [p for p, ticks in processes if ticks is not None and start_time(p) == ticks]
        if not still or time.monotonic() >= deadline:
            return still
        time.sleep(0.2)


def on_sigterm(signum, frame):
    raise KeyboardInterrupt


def soak(summary, failures, cameras, state):
    """The run itself; fills summary and failures. state keeps what must be cleaned up."""
    for camera in cameras:
        if camera.start() is None:
            failures.append("RTSP server on port %d not ready (see server.log)" % camera.port)
            return
    sources_file = OUT / "sources.json"
    write_sources(sources_file, cameras)
    supervisor = subprocess.Popen(
        [str(BUILD / "zal-ndi-supervise"), str(sources_file)], stdin=subprocess.PIPE,
        stdout=subprocess.PIPE, stderr=open(OUT / "supervisor.log", "wb"), env=child_env(),
        start_new_session=True)
    state["supervisor"] = supervisor
    lines = state["lines"] = Lines(supervisor.stdout)
    t0 = state["t0"] = time.monotonic()
    names = [source_name(i) for i in range(SOURCES)]
    waiting = wait_streaming(lines, names, WARMUP, 90 + WARMUP)
    if waiting:
        failures.append("not streaming %.0f s after the start: %s" % (90 + WARMUP, waiting))
        return
    state["sampler"] = Sampler(supervisor.pid, OUT / "samples.csv", t0)
    summary["cpu_cores"] = cpu_split(supervisor.pid, cameras, 10)
    state["start"] = snapshot(supervisor.pid)
    print("soak: streaming 4 x %dx%d at %d fps for %.0f s; cores used %s"
          % (W, H, FPS, SECONDS, summary["cpu_cores"]), flush=True)

    faults = summary["faults"]
    index = 0
    while True:
        kind, length = FAULTS[index % len(FAULTS)]
        name = source_name(index % SOURCES)
        # Against a camera back for healthy_after_s: its decoder is started again at once.
        if wait_streaming(lines, [name], HEALTHY_AFTER, RECOVER_MAX):
            failures.append("%s not streaming before fault %d" % (name, index))
        if time.monotonic() - t0 + length > SECONDS:
            break
        faults.append(run_fault(index, cameras, lines, t0))
        if "problem" in faults[-1]:
            failures.append("fault %d: %s" % (index, faults[-1]["problem"]))
            break
        time.sleep(GAP)
        index += 1

    waiting = wait_streaming(lines, names, WARMUP, RECOVER_MAX + WARMUP)
    if waiting:
        failures.append("not streaming at the end: %s" % waiting)
    state["end"] = snapshot(supervisor.pid)
    summary["seconds_run"] = round(time.monotonic() - t0, 1)


def analyse(summary, failures, state):
    lines = state.get("lines")
    raws = [raw for _, raw in lines.items] if lines else []
    (OUT / "events.jsonl").write_bytes(b"".join(raws))
    objects = [parse(raw) for raw in raws]
    bad = [i + 1 for i, o in enumerate(objects) if o is None]
    if bad:
        failures.append("lines that are not JSON objects: %r" % bad[:10])
    objects = [o for o in objects if o is not None]
    summary["lines"] = len(raws)
    problems = schema_problems(objects)
    failures += ["schema: " + p for p in problems[:20]]
    problems = order_problems(objects)
    failures += ["order: " + p for p in problems[:20]]
    given_up = [o for o in objects if o.get("event") == "given_up"]
    if given_up:
        failures.append("given up: %r" % given_up[:4])
    summary["restart_reasons"] = {}
    for o in objects:
        if o.get("event") == "restart":
            counts = summary["restart_reasons"].setdefault(o["source"], {})
            counts[o["reason"]] = counts.get(o["reason"], 0) + 1

    records = read_records(RECORDS)
    receiver_view(summary, failures, records, objects, state.get("t0", 0.0))
    summary["receiver"], goals = receiver_goals(summary)
    start, end = state.get("start"), state.get("end")
    if start and end:
        for when, snap in (("start", start), ("end", end)):
            failures += ["%s snapshot: %s" % (when, p) for p in snap["problems"]]
        summary["leak"] = leak_figures(start, end)
        summary["snapshots"] = {"start": start, "end": end}
        problems = leak_problems(start, end, record_growth_kb(records, start["at"]))
        failures += ["leak: " + p for p in problems]
        goals["no_leak"] = not problems
    summary["goals"] = {k: "PASS" if v else "FAIL" for k, v in goals.items()}
    if STRICT:
        failures += ["goal missed: " + k for k, v in goals.items() if not v]


def print_summary(summary, failures):
    print("soak: %s, %d faults over %s s, %d lines; cores used %s"
          % (summary["size"], len(summary["faults"]), summary.get("seconds_run", "?"),
             summary.get("lines", 0), summary.get("cpu_cores")))
    print("soak: from the records (s): fault  slate  camera back  longest pause video, audio")
    for f in summary["faults"]:
        print("soak:   %5.0f %-6s %s  %s  %s  %s, %s"
              % (f["at_s"], f["kind"], f["source"], fmt(f.get("slate_s")), fmt(f.get("camera_s")),
                 fmt(f.get("video_pause_s")), fmt(f.get("audio_pause_s"))))
    camera = summary["receiver"]["camera_s"]
    print("soak: camera back median %s, worst %s (missed %d)"
          % (fmt(camera["median"]), fmt(camera["worst"]), camera["missed"]))
    for name, s in summary["sources"].items():
        print("soak:   %s: %d sender(s), %d started line(s), %d frames, %d blocks; longest pause "
              "video %s, audio %s" % (name, s["senders"], s["started_lines"], s["video_sends"],
                                       s["audio_sends"], fmt(s["video_pause_s"]),
                                       fmt(s["audio_pause_s"])))
        for kind in ("video", "audio"):
            for at, length, shared in s[kind + "_over_goal"]:
                print("soak:     %s pause of %.3f s at %.1f s; %d other source(s) paused then too"
                      % (kind, length, at, shared))
    leak = summary.get("leak")
    if leak:
        print("soak: processes (start, end): %s" % leak["processes"])
        rows = [("supervisor", leak["supervisor"])]
        rows += [("child " + n, f) for n, f in leak["children"].items()]
        rows += [("decoder " + n, f) for n, f in leak["decoders"].items()]
        for what, f in rows:
            if f is not None:
                print("soak:   %-14s RSS %6d -> %6d kB (%+d), fds %d -> %d"
                      % (what, f["rss_kb"][0], f["rss_kb"][1], f["rss_growth_kb"], *f["fds"]))
    print("soak: restarts %s" % summary.get("restart_reasons"))
    for goal, verdict in summary["goals"].items():
        print("soak: goal %-32s %s" % (goal, verdict))
    print("soak: checks %s (%s)" % ("FAIL" if failures else "PASS", OUT / "summary.json"))
    for f in failures:
        print("  - " + f)


def main():
    for path in (BUILD / "zal-ndi-supervise", BUILD / "zal-ndi-send", BUILD / "standin" / "libndi.so.6"):
        if not path.exists():
            print("soak: %s missing (cmake --preset default && cmake --build build)" % path)
            return 2
    OUT.mkdir(parents=True, exist_ok=True)
    # Also when started in the background, where SIGINT comes in ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, on_sigterm)
    server_log = open(OUT / "server.log", "wb")
    cameras = [Camera(port, server_log) for port in free_ports(SOURCES)]
    shutil.rmtree(RECORDS, ignore_errors=True)
    summary = {"seconds": SECONDS, "warmup": WARMUP, "gap": GAP, "size": "%dx%d@%d" % (W, H, FPS),
               "load_average_at_start": os.getloadavg(), "faults": []}
    failures, state = [], {}
    interrupted = False
    try:
        soak(summary, failures, cameras, state)
    except KeyboardInterrupt:
        interrupted = True
        failures.append("interrupted")
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # a second Ctrl-C must not skip the cleanup
        if "sampler" in state:
            state["sampler"].stop.set()
        supervisor = state.get("supervisor")
        if supervisor is not None:
            left = [(p, start_time(p)) for p in descendants(supervisor.pid)]
            code = stop_supervisor(supervisor, failures)
            if not interrupted and code != 0:
                failures.append("the supervisor exited with %r after its input ended" % code)
            still = survivors(left, 5)
            if still:
                failures.append("processes left after the supervisor: %r" % still)
            if state.get("lines"):
                state["lines"].thread.join(5)
        for camera in cameras:
            camera.stop()
    analyse(summary, failures, state)
    summary["failures"] = failures
    (OUT / "summary.json").write_text(json.dumps(summary, indent=1) + "\n")
    print_summary(summary, failures)
    if interrupted:
        return 130
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
