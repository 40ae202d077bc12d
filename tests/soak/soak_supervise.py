"""Supervised fault soak: zal-ndi-supervise with four sources from four RTSP test servers
(real ffmpeg, audio on, 320x240 at 30 fps, the stand-in runtime, default restart settings),
while the servers are dropped, kept away and frozen in turn. On demand, not in CI:
bash scripts/soak-supervise.sh (run with /usr/bin/python3, which has python3-gi).

Faults, round-robin over the sources and over the kinds, each against a source whose run has
been started for healthy_after_s, the next one only after the last source streams again:
- drop: the server is terminated and a new one is listening on its port 8 s later;
- outage: the same, back after 40 s;
- freeze: SIGSTOP for 20 s, then SIGCONT.
A fault begins only if its camera is back before SOAK_SECONDS are up; recovery and the final
snapshot may run past that.

Per fault: the time from the camera's return (the new server ready, or SIGCONT) to the source's
next `started` line and to its first `status` line with fps above 0.

Checks (exit code 1 if one fails): every line against docs/supervise-events.schema.json; per
source, every `exit` before the `restart` about its run (and each run's lines in order); no
source given up; the supervisor stops with 0 and leaves no process; no leak between the
snapshot after the warm-up and the one at the end: the same number of children and decoders,
the same descriptor counts (the supervisor, and each source's child against that source's child
at the start), RSS growth at most 1 MB per process.

Goals (reported PASS/FAIL; they fail the exit code only with SOAK_STRICT=1): after a drop or an
outage `started` within 3 s of the return (median) and 5 s at worst; after a freeze within
stall_after_s + 5 s of the resume; no leak.

Environment: SOAK_SECONDS (1200), SOAK_WARMUP (20: streaming time of every child before a
snapshot), SOAK_GAP (20: settling time after a source streams again, before the next fault),
SOAK_RECOVER_MAX (150: the longest wait for a source to stream again), SOAK_SAMPLE_SECONDS
(10: supervisor samples), ZAL_BUILD_DIR (build), SOAK_OUT (out/soak-supervise: sources.json,
events.jsonl, samples.csv, logs, summary.json).
"""
import json
import os
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
# The supervisor's defaults; the sources file leaves "restart" out.
STALL_AFTER, HEALTHY_AFTER = 10.0, 60.0
RSS_LIMIT_KB = 1024
COMEBACK_MEDIAN, COMEBACK_WORST, FREEZE_SLACK = 3.0, 5.0, 5.0


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
    snap = {"supervisor": reading(supervisor), "children": {}, "decoders": {}, "problems": []}
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


def streaming(lines, source, since_started_s=0.0):
    """The time of source's last status with frames, when its last run has been started for
    at least since_started_s and nothing ended it; else None."""
    with lines.cond:
        items = list(lines.items)
    started = alive = None
    for t, raw in items:
        obj = parse(raw)
        if obj is None or obj.get("source") != source:
            continue
        event = obj.get("event")
        if event == "started":
            started, alive = t, None
        elif event == "status" and started is not None and obj.get("fps", 0) > 0:
            alive = t
        elif event in ("exit", "error", "restart", "given_up"):
            started = alive = None
    if started is None or alive is None or time.monotonic() - started < since_started_s:
        return None
    return alive


def wait_streaming(lines, sources, since_started_s, timeout):
    deadline = time.monotonic() + timeout
    while True:
        waiting = [s for s in sources if streaming(lines, s, since_started_s) is None]
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


def comeback(lines, source, first_line, back, timeout):
    """From line first_line on: source's next `started`, its first `status` with fps above 0
    after that, and the restart reasons before the `started`."""
    def of_source(event):
        return lambda t, obj: obj.get("source") == source and obj.get("event") == event

    deadline = back + timeout
    got = lines.wait_until(of_source("started"), max(0.0, deadline - time.monotonic()), first_line)
    result = {"started_s": None, "fps_s": None}
    with lines.cond:
        later = [(t, parse(raw)) for t, raw in lines.items[first_line:]]
    restarts = [(t, o["reason"]) for t, o in later if o and o.get("source") == source and
                o.get("event") == "restart" and (got is None or t <= got[0])]
    result["restarts"] = [r for _, r in restarts]
    result["stall_restart_s"] = next((t for t, r in restarts if r == "stall"), None)
    if got is None:
        return result
    result["started_s"] = got[0] - back
    status = lines.wait_until(lambda t, obj: t >= got[0] and of_source("status")(t, obj) and
                              obj.get("fps", 0) > 0, max(0.0, deadline - time.monotonic()),
                              first_line)
    if status is not None:
        result["fps_s"] = status[0] - back
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
             "away_s": None if back is None else round(back - at, 2)}
    if back is None:
        fault["problem"] = "the server did not start again on port %d" % cameras[source].port
        return fault
    result = comeback(lines, name, first_line, back, RECOVER_MAX)
    fault["restarts"] = result["restarts"]
    for key in ("started_s", "fps_s"):
        fault[key] = None if result[key] is None else round(result[key], 2)
    if kind == "freeze" and result["stall_restart_s"] is not None:
        fault["stall_restart_after_freeze_s"] = round(result["stall_restart_s"] - at, 2)
    stall = fault.get("stall_restart_after_freeze_s")
    print("soak: %5.0f s  %-6s %s  back after %.1f s; started %s, fps>0 %s, restarts %s%s"
          % (at - t0, kind, name, back - at, fmt(fault["started_s"]), fmt(fault["fps_s"]),
             ",".join(fault["restarts"]) or "-",
             "" if stall is None else " (stall restart %.1f s into the freeze)" % stall),
          flush=True)
    return fault


def fmt(seconds):
    return "never" if seconds is None else "%.2f s" % seconds


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


def leak_problems(start, end):
    problems = []
    for key, what in (("child_count", "children"), ("decoder_count", "decoders"),
                      ("descendant_count", "processes under the supervisor")):
        if end[key] != start[key]:
            problems.append("%d %s at the end, %d at the start" % (end[key], what, start[key]))
    pairs = [("supervisor", start["supervisor"], end["supervisor"])]
    pairs += [("child of " + n, start["children"][n], end["children"].get(n))
              for n in sorted(start["children"])]
    for what, a, b in pairs:
        if a is None or b is None:
            problems.append("%s: no reading at the %s" % (what, "start" if a is None else "end"))
            continue
        if b["fds"] != a["fds"]:
            problems.append("%s: %d descriptors at the end, %d at the start" % (what, b["fds"], a["fds"]))
        if b["rss_kb"] - a["rss_kb"] > RSS_LIMIT_KB:
            problems.append("%s: RSS %d kB at the end, %d kB at the start (limit +%d kB)"
                            % (what, b["rss_kb"], a["rss_kb"], RSS_LIMIT_KB))
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


def comeback_goals(faults):
    def times(kinds, key):
        return [f.get(key) for f in faults if f["kind"] in kinds and "problem" not in f]

    def stats(values):
        got = [v for v in values if v is not None]
        return {"count": len(values), "missed": len(values) - len(got),
                "median_s": round(statistics.median(got), 2) if got else None,
                "worst_s": round(max(got), 2) if got else None}

    summary = {kind: {"started": stats(times([kind], "started_s")),
                      "fps": stats(times([kind], "fps_s"))} for kind, _ in FAULTS}
    goals = {}
    back = times(["drop", "outage"], "started_s")
    if back:
        s = stats(back)
        goals["drop_outage_started_median_3s"] = s["missed"] == 0 and s["median_s"] <= COMEBACK_MEDIAN
        goals["drop_outage_started_worst_5s"] = s["missed"] == 0 and s["worst_s"] <= COMEBACK_WORST
        summary["drop_and_outage_started"] = s
    frozen = times(["freeze"], "started_s")
    if frozen:
        limit = STALL_AFTER + FREEZE_SLACK
        goals["freeze_started_within_%gs" % limit] = all(v is not None and v <= limit for v in frozen)
    return summary, goals


def write_sources(path, cameras):
    doc = {"ffmpeg": "/usr/bin/ffmpeg",
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
    t0 = time.monotonic()
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
        # Against a healthy run, so the back-off starts from first_delay_s.
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

    summary["comeback"], goals = comeback_goals(summary["faults"])
    start, end = state.get("start"), state.get("end")
    if start and end:
        for when, snap in (("start", start), ("end", end)):
            failures += ["%s snapshot: %s" % (when, p) for p in snap["problems"]]
        summary["leak"] = leak_figures(start, end)
        summary["snapshots"] = {"start": start, "end": end}
        problems = leak_problems(start, end)
        failures += ["leak: " + p for p in problems]
        goals["no_leak"] = not problems
    summary["goals"] = {k: "PASS" if v else "FAIL" for k, v in goals.items()}
    if STRICT:
        failures += ["goal missed: " + k for k, v in goals.items() if not v]


def print_summary(summary, failures):
    print("soak: %s, %d faults over %s s, %d lines; cores used %s"
          % (summary["size"], len(summary["faults"]), summary.get("seconds_run", "?"),
             summary.get("lines", 0), summary.get("cpu_cores")))
    for kind, _ in FAULTS:
        c = summary["comeback"][kind]
        print("soak: %-6s x%d: started median %s worst %s (missed %d); fps>0 median %s worst %s"
              % (kind, c["started"]["count"], fmt(c["started"]["median_s"]),
                 fmt(c["started"]["worst_s"]), c["started"]["missed"],
                 fmt(c["fps"]["median_s"]), fmt(c["fps"]["worst_s"])))
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
    summary = {"seconds": SECONDS, "warmup": WARMUP, "gap": GAP, "size": "%dx%d@%d" % (W, H, FPS),
               "stall_after_s": STALL_AFTER, "faults": []}
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
