"""Pure helpers of the benchmark driver: /proc readings, per-frame time files,
window statistics, medians and the target checks. No processes are started here."""
import os
import statistics
from pathlib import Path

NS = 1_000_000_000


def frame_bytes(width, height):
    return width * height * 3 // 2


def cpu_ns(pid):
    """CPU time (user + system) of every live thread of pid, in ns, from schedstat.

    schedstat counts exact run time; the tick counts in /proc/<pid>/stat are 10 ms
    coarse, which is too coarse for a few seconds of a light process."""
    total = 0
    for task in Path(f"/proc/{pid}/task").iterdir():
        try:
            total += int((task / "schedstat").read_text().split()[0])
        except (OSError, ValueError, IndexError):
            pass  # the thread ended between listing and reading
    return total


def stat_cpu_ticks(text):
    """utime + stime from the text of /proc/<pid>/stat (the name may hold spaces)."""
    fields = text[text.rindex(")") + 2:].split()
    return int(fields[11]) + int(fields[12])


def supervise_env(base, build, capture):
    """The supervisor's environment for a bench run: the fake decoder, and the stand-in
    runtime counting frames into capture."""
    return dict(base, NDI_RUNTIME_DIR_V6=str(build / "standin"),
                FFMPEG_BIN=str(build / "testing" / "fake-ffmpeg"),
                ZAL_STANDIN_MODE="count", ZAL_STANDIN_CAPTURE=str(capture))


def status_kb(text, key):
    """A 'Key:  N kB' value of /proc/<pid>/status, or None."""
    for line in text.splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1])
    return None


def children(pid):
    """Child process ids of pid, from every thread's children list."""
    found = set()
    for task in Path(f"/proc/{pid}/task").iterdir():
        try:
            found.update(int(x) for x in (task / "children").read_text().split())
        except OSError:
            pass
    return sorted(found)


def system_busy(before, after):
    """Share of all CPUs busy between two readings of the first line of /proc/stat."""
    a = [int(x) for x in before.split()[1:]]
    b = [int(x) for x in after.split()[1:]]
    delta = [y - x for x, y in zip(a, b)]
    total = sum(delta[:8])  # guest times are already inside user and nice
    idle = delta[3] + delta[4]  # idle + iowait
    return (total - idle) / total if total > 0 else 0.0


def parse_times(text):
    """Lines '<t_ns> <first8>' -> list of (t_ns, first8); a torn last line is dropped."""
    out = []
    for line in text.splitlines():
        parts = line.split()
        if len(parts) == 2:
            out.append((int(parts[0]), int(parts[1])))
    return out


def window_stats(times, start_ns, end_ns):
    """Frames whose time falls in [start, end): count, rate and stamp-to-time delays."""
    inside = [(t, s) for t, s in times if start_ns <= t < end_ns]
    delays = [t - s for t, s in inside]
    seconds = (end_ns - start_ns) / NS
    return {
        "frames": len(inside),
        "fps": len(inside) / seconds if seconds > 0 else 0.0,
        "delay_mean_us": statistics.fmean(delays) / 1000 if delays else None,
        "delay_max_us": max(delays) / 1000 if delays else None,
        "delay_min_us": min(delays) / 1000 if delays else None,
        "delay_p99_us": percentile(delays, 0.99) / 1000 if delays else None,
    }


def percentile(values, share):
    """The value below which the given share of values lies (nearest rank)."""
    ordered = sorted(values)
    rank = max(1, -(-len(ordered) * share // 1))  # ceil without floats drifting
    return ordered[int(rank) - 1]


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def quartiles(values):
    """(first, third) quartile, or None for fewer than two values."""
    if len(values) < 2:
        return None
    q = statistics.quantiles(values, n=4, method="inclusive")
    return (q[0], q[2])


def pair_ratios(program_runs, bare_runs, key):
    """Ratios program/bare of one measure over runs paired in the order they ran."""
    out = []
    for p, b in zip(program_runs, bare_runs):
        if p.get(key) is not None and b.get(key):
            out.append(p[key] / b[key])
    return out


def pair_differences(program_runs, bare_runs, key):
    return [p[key] - b[key] for p, b in zip(program_runs, bare_runs)
            if p.get(key) is not None and b.get(key) is not None]


def delay_ok(program_mean_us, bare_mean_us):
    """Mean delay target: within 10 % of the bare loop, or within 100 us of it."""
    if program_mean_us is None or bare_mean_us is None:
        return False
    return program_mean_us <= bare_mean_us * 1.10 or program_mean_us - bare_mean_us <= 100.0


def rss_limit_kb(width, height):
    return frame_bytes(width, height) // 1024 + 16 * 1024


def size_label(width, height):
    return f"{width}x{height}"


def parse_sizes(text):
    """'1280x720,1920x1080' -> [(1280, 720), (1920, 1080)]."""
    sizes = []
    for item in text.split(","):
        w, _, h = item.strip().lower().partition("x")
        sizes.append((int(w), int(h)))
    return sizes


def same_arguments(program_args, bare_args):
    """True when two decoder argument lists differ only in the port of tcp:// outputs
    and the program path is the same file."""
    if len(program_args) != len(bare_args):
        return False
    for a, b in zip(program_args[1:], bare_args[1:]):
        if a.startswith("tcp://127.0.0.1:") and b.startswith("tcp://127.0.0.1:"):
            continue
        if a != b:
            return False
    return os.path.realpath(program_args[0]) == os.path.realpath(bare_args[0])


def peer_command(url, width, height):
    """The in-process peer: gst-launch doing the decoder's pull, decode and scale to NV12, and
    its audio to F32LE stereo 48 kHz, into fake sinks. fpsdisplaysink reports the frames
    rendered so far, about twice a second (-v; the session statistics are left out)."""
    return ["gst-launch-1.0", "-v", "-X", "stats", "rtspsrc", f"location={url}", "protocols=tcp",
            "name=src",
            "src.", "!", "application/x-rtp,media=video", "!", "rtph264depay", "!", "avdec_h264", "!",
            "videoscale", "!", "videoconvert", "!",
            f"video/x-raw,format=NV12,width={width},height={height}", "!",
            "fpsdisplaysink", "text-overlay=false", "video-sink=fakesink", "sync=false",
            "src.", "!", "application/x-rtp,media=audio", "!", "rtpopusdepay", "!", "opusdec", "!",
            "audioconvert", "!", "audioresample", "!",
            "audio/x-raw,format=F32LE,channels=2,rate=48000", "!", "fakesink", "sync=false"]


def peer_rate(stamped_lines, start_ns, end_ns):
    """Frames and rate of the peer over a window, from (read time, line) pairs of its
    'rendered: N' reports: between the last report at or before each end of the window."""
    reports = []
    for t, line in stamped_lines:
        _, found, rest = line.partition("rendered: ")
        if found and rest.split(",")[0].isdigit():
            reports.append((t, int(rest.split(",")[0])))
    first = [r for r in reports if r[0] <= start_ns][-1:]
    last = [r for r in reports if r[0] <= end_ns][-1:]
    if not first or not last or last[0][0] <= first[0][0]:
        return {"frames": 0, "fps": None}
    frames = last[0][1] - first[0][1]
    return {"frames": frames, "fps": frames * NS / (last[0][0] - first[0][0])}


def about_30_fps(fps):
    """The decoded rate of a 30 fps stream, allowing for the reports' granularity."""
    return fps is not None and 27.0 <= fps <= 33.0


def rep_ratios(runs, kind_a, key_a, kind_b, key_b):
    """Ratios a/b over runs of two kinds paired by repetition."""
    of_b = {r["rep"]: r for r in runs if r["kind"] == kind_b}
    out = []
    for a in (r for r in runs if r["kind"] == kind_a):
        b = of_b.get(a["rep"])
        if b is not None and a.get(key_a) is not None and b.get(key_b):
            out.append(a[key_a] / b[key_b])
    return out
