"""Faults: stops and kills at random moments, a decoder that dies, stays silent or floods,
a reader that goes away, too few descriptors, and no leaks over many runs. Linux only
(process control).

Random moments come from ZAL_FAULT_SEED (printed in every failure) so a failure can be replayed.
"""

import os
import random
import resource
import select
import signal
import subprocess
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fakedata  # noqa: E402
from conftest import PROGRAM, WINDOWS, read_jsonl  # noqa: E402

pytestmark = pytest.mark.skipif(WINDOWS or not sys.platform.startswith("linux"),
                                reason="Linux process control")

SEED = int(os.environ.get("ZAL_FAULT_SEED", random.randrange(1 << 30)))
W, H = 64, 48
STOP_BOUND = 2.0  # seconds from the decoder's end to the program's end
GONE_BOUND = 1.0  # seconds from killing the program to its decoder's end
ERROR_EXIT = {"ndi_runtime": 2, "ndi_sender": 2, "socket": 3, "ffmpeg_spawn": 3,
              "ffmpeg_connect": 3}
EXIT_STOPPED = {"event": "exit", "ffmpeg": 0, "requested": True}


# --- processes ---

def proc_stat(pid):
    """(state, ppid) of a process, or None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            raw = f.read()
    except OSError:
        return None
    fields = raw[raw.rindex(")") + 2:].split()
    return fields[0], int(fields[1])


def cmdline(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read()
    except OSError:
        return b""


def alive(pid, tag):
    """pid still runs as one of ours: the tag in its command line guards against reuse.
    A zombie has ended; it must not be left to us to reap."""
    st = proc_stat(pid)
    if st is None:
        return False
    if st[0] == "Z":
        assert st[1] != os.getpid(), "a zombie left to the test process"
        return False
    return tag.encode() in cmdline(pid)


def tagged(tag):
    """Live processes whose command line holds tag: the program, a forked child not yet
    exec'd (it still has the program's command line) and the decoder."""
    found = []
    for name in os.listdir("/proc"):
        if name.isdigit() and alive(int(name), tag):
            found.append(int(name))
    return found


def zombie_children():
    me = os.getpid()
    return [int(n) for n in os.listdir("/proc")
            if n.isdigit() and proc_stat(int(n)) == ("Z", me)]


def fake_pid(log):
    try:
        return int((log / "pid").read_text())
    except (OSError, ValueError):
        return None  # not written yet, or being written


def fake_events(log):
    try:
        return (log / "events").read_text()
    except OSError:
        return ""


def wait_until(check, what, timeout=20):
    deadline = time.monotonic() + timeout
    while not check():
        assert time.monotonic() < deadline, "timed out waiting for " + what
        time.sleep(0.01)


# --- runs ---

def check_sequence(r, code, why):
    """One error line with its code, or started, statuses, one exit line last, code 0 or 1."""
    events = r.events
    kinds = [e["event"] for e in events]
    if kinds == ["error"]:
        assert code == ERROR_EXIT[events[0]["code"]], why
        return events
    assert kinds[:1] == ["started"] and kinds[-1:] == ["exit"], why
    assert set(kinds[1:-1]) <= {"status"}, why
    assert code == (0 if events[-1]["requested"] else 1), why
    return events


def launch(run, tmp_path, name, steer, *extra, extra_env=None):
    """A run with its own fake log (returned) and a tag in its decoder's command line."""
    log = tmp_path / ("fake-" + name)
    tag = "zaltag-%s-%d" % (name, os.getpid())
    env = {"ZAL_FAKE_LOG": str(log), "ZAL_STANDIN_CAPTURE": None}
    env.update(extra_env or {})
    r = run("--input", "fake:%s;out=%s" % (steer, tag), "--width", str(W), "--height", str(H),
            *extra, extra_env=env)
    return r, log, tag


def release(r):
    """Closes the pipes now, so descriptors do not pile up over a loop of runs."""
    r.kill()
    r.reader.join(5)
    r.err_reader.join(5)
    for f in (r.proc.stdin, r.proc.stdout, r.proc.stderr):
        if f is not None:
            f.close()


def ended(r, timeout):
    """Waits for the program to end; returns (code, moment)."""
    code = r.proc.wait(timeout)
    return code, time.monotonic()


def capture_frames(capture):
    """The video frames at the runtime: counted in order, whole, each the fake's content."""
    video = [c for c in read_jsonl(capture / "calls.jsonl") if c["call"] == "video"]
    assert [c["seq"] for c in video] == list(range(len(video)))
    data = (capture / "video.nv12").read_bytes() if video else b""
    size = video[0]["bytes"] if video else 0
    assert len(data) == len(video) * size, "a partial frame reached the runtime"
    w, h = (video[0]["xres"], video[0]["yres"]) if video else (0, 0)
    bad = [n for n in range(len(video))
           if data[n * size:(n + 1) * size] != fakedata.video_frame(n, w, h)]
    assert not bad, "frames differ: %r" % bad[:10]
    return len(video)


def count_calls(capture, kind):
    try:
        return (capture / "calls.jsonl").read_bytes().count(b'"call":"%s"' % kind.encode())
    except OSError:
        return 0


# --- stops at random moments ---

def stop_trial(run, tmp_path, rng, i):
    """Closes stdin at a random moment of one phase; returns the phase."""
    phase = ("before", "startup", "stream")[i % 3]
    # Before connecting, the decoder waits 3 s: the stop kills it first, which ends the waits.
    delay = 3000 if phase == "before" else rng.randint(0, 100)
    r, log, tag = launch(run, tmp_path, "stop%d" % i, "forever=1;fps=30;delay_ms=%d" % delay)
    why = "seed=%d run=%d phase=%s" % (SEED, i, phase)
    try:
        if phase == "before":
            time.sleep(rng.uniform(0, 0.5))
        elif phase == "startup":
            wait_until(lambda: "connected audio" in fake_events(log), "connections " + why)
            time.sleep(rng.uniform(0, 0.03))
        else:
            r.wait_event("started", timeout=20)
            time.sleep(rng.uniform(0, 2.5))
        r.close_stdin()
        # The decoder is killed at the stop, so timing from the stop is the stricter bound.
        reference = time.monotonic()
        code, end = ended(r, 30)
        assert end - reference <= STOP_BOUND, "%s: ended %.2f s late" % (why, end - reference)
        assert r.finish() == code
        events = check_sequence(r, code, why)
        if phase == "before":
            assert events == [{"event": "error", "code": "ffmpeg_connect",
                               "message": "ffmpeg did not deliver the program (exit 0)"}], why
        else:
            assert events[-1] == EXIT_STOPPED, why
        pid = fake_pid(log)
        assert pid is None or not alive(pid, tag), why
        assert "connected" not in fake_events(log) or phase != "before", why
    finally:
        release(r)
    return phase


@pytest.mark.parametrize("batch", range(5))
def test_stop_at_random_moments(run, tmp_path, batch):
    rng = random.Random("%d-stop-%d" % (SEED, batch))
    phases = [stop_trial(run, tmp_path, rng, batch * 10 + k) for k in range(10)]
    assert set(phases) == {"before", "startup", "stream"}


# --- the program killed at random moments ---

def kill_trial(run, tmp_path, rng, i):
    """SIGKILLs the program at a random moment; its decoder must be gone within 1 s."""
    # Spread over spawning, the decoder's delay, start-up and streaming past a status.
    low, high = [(0, 0.03), (0.03, 0.4), (0.4, 1.5), (2.2, 3.2)][i % 4]
    # Mostly decoders that would not notice the loss by themselves: one that is still
    # waiting to connect, or one that has gone silent after some frames.
    delay = rng.choice([0, rng.randint(0, 400)] + ([5000] if i % 4 < 2 else []))
    frames = rng.choice([0, rng.randint(1, 90)])
    steer = "frames=%d;fps=30;hang=1;delay_ms=%d" % (frames, delay)
    r, log, tag = launch(run, tmp_path, "kill%d" % i, steer)
    try:
        time.sleep(rng.uniform(low, high))
        seen = ("stream" if any(e["event"] == "status" for e in r.events) else
                "started" if r.events else
                "connected" if "connected" in fake_events(log) else
                "spawned" if fake_pid(log) is not None else "early")
        r.proc.send_signal(signal.SIGKILL)
        killed = time.monotonic()
        r.proc.wait(10)  # our own child: reaped here, so only its descendants are looked for
        why = "seed=%d run=%d seen=%s steer=%s" % (SEED, i, seen, steer)
        wait_until(lambda: not tagged(tag), "the decoder's end " + why, GONE_BOUND * 10)
        late = time.monotonic() - killed
        assert late <= GONE_BOUND, "%s: decoder gone %.2f s after the kill" % (why, late)
        pid = fake_pid(log)
        assert pid is None or not alive(pid, tag), why
        assert r.finish() == -signal.SIGKILL
    finally:
        release(r)
    return seen


@pytest.mark.parametrize("batch", range(5))
def test_kill_at_random_moments(run, tmp_path, batch):
    rng = random.Random("%d-kill-%d" % (SEED, batch))
    seen = [kill_trial(run, tmp_path, rng, batch * 10 + k) for k in range(10)]
    assert len(set(seen)) >= 2, seen  # the moments spread; a slow build may blur one phase


# --- the decoder misbehaves ---

def kill_decoder(pid):
    fd = os.pidfd_open(pid)  # names that very process, even if it ends meanwhile
    try:
        signal.pidfd_send_signal(fd, signal.SIGKILL)
    finally:
        os.close(fd)


def test_decoder_killed_after_a_partial_unit(run, tmp_path, capture):
    r, log, _ = launch(run, tmp_path, "partial", "frames=5;vpartial=1000;apartial=2000;hang=1",
                       extra_env={"ZAL_STANDIN_CAPTURE": str(capture)})
    wait_until(lambda: "hanging" in fake_events(log), "the partial units")
    kill_decoder(fake_pid(log))
    code, _ = ended(r, 10)
    assert r.finish() == code == 1
    assert r.events[-1] == {"event": "exit", "ffmpeg": 128 + 9, "requested": False}
    assert capture_frames(capture) == 5
    audio = (capture / "audio.f32").read_bytes()
    assert audio == b"".join(fakedata.audio_planar(b) for b in range(5))


def test_decoder_killed_while_writing(run, tmp_path, capture):
    # A slow runtime keeps the socket full, so the writer is blocked inside a frame.
    w, h = 320, 240
    r, log, _ = launch(run, tmp_path, "writing", "forever=1;fps=0", "--no-audio",
                       "--width", str(w), "--height", str(h),
                       extra_env={"ZAL_STANDIN_CAPTURE": str(capture),
                                  "ZAL_STANDIN_VIDEO_DELAY_US": "5000"})
    r.wait_event("started")
    wait_until(lambda: count_calls(capture, "video") >= 20, "frames")
    time.sleep(random.Random("%d-writing" % SEED).uniform(0, 0.5))
    kill_decoder(fake_pid(log))
    code, _ = ended(r, 30)
    assert r.finish() == code == 1, "seed=%d" % SEED
    assert r.events[-1] == {"event": "exit", "ffmpeg": 128 + 9, "requested": False}
    written = [int(line.split()[2]) for line in fake_events(log).splitlines()
               if line.startswith("sent video")]
    delivered = capture_frames(capture)
    # Every frame written whole is delivered; one more may have been written unlogged.
    assert written[-1] <= delivered <= written[-1] + 1, (written[-1], delivered)


@pytest.mark.parametrize("steer", ["frames=0;hang=1", "frames=0;vpartial=100;apartial=100;hang=1"],
                         ids=["silent", "silent-mid-unit"])
def test_silent_decoder_stopped(run, tmp_path, capture, steer):
    r, log, tag = launch(run, tmp_path, "silent", steer,
                         extra_env={"ZAL_STANDIN_CAPTURE": str(capture)})
    r.wait_event("status", timeout=20)
    wait_until(lambda: "hanging" in fake_events(log), "the decoder's silence")
    r.close_stdin()
    stop = time.monotonic()
    code, end = ended(r, 30)
    assert end - stop <= STOP_BOUND, end - stop
    assert r.finish() == code == 0
    events = r.events
    assert events[-1] == EXIT_STOPPED and events[-2]["event"] == "status"
    assert all(e["fps"] == 0.0 for e in events[1:-1])
    assert count_calls(capture, "video") == count_calls(capture, "audio") == 0
    assert not alive(fake_pid(log), tag)


def test_decoder_floods_a_slow_runtime(run, tmp_path, capture):
    w, h = 320, 240
    r, log, _ = launch(run, tmp_path, "flood", "forever=1;fps=0", "--no-audio",
                       "--width", str(w), "--height", str(h),
                       extra_env={"ZAL_STANDIN_CAPTURE": str(capture),
                                  "ZAL_STANDIN_VIDEO_DELAY_US": "5000"})

    def sent():
        lines = [l for l in fake_events(log).splitlines() if l.startswith("sent video")]
        return int(lines[-1].split()[2]) if lines else 0

    wait_until(lambda: count_calls(capture, "video") >= 100, "100 frames", 30)
    ahead = sent() - count_calls(capture, "video")
    assert ahead >= 3, "the writer was not ahead of the runtime: %d" % ahead
    r.close_stdin()
    stop = time.monotonic()
    code, end = ended(r, 30)
    assert end - stop <= STOP_BOUND, end - stop
    assert r.finish() == code == 0
    assert r.events[-1] == EXIT_STOPPED
    assert capture_frames(capture) >= 100


def test_reader_closes_stdout(tmp_path, env, capture, fakelog):
    # Our own pipe, not Run's reader, so the read end can be closed after `started`.
    tag = "zaltag-stdout-%d" % os.getpid()
    args = ["--input", "fake:forever=1;fps=30;out=" + tag, "--width", str(W), "--height", str(H)]
    proc = subprocess.Popen([str(PROGRAM)] + args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env)  # SIGPIPE at its default
    drain = threading.Thread(target=proc.stderr.read, daemon=True)
    drain.start()
    try:
        assert select.select([proc.stdout], [], [], 20)[0], "no started line"
        assert b'"event":"started"' in proc.stdout.readline()
        proc.stdout.close()
        # The reporter asks for connections just before each status line: the second ask
        # comes after the first line met the closed pipe.
        wait_until(lambda: proc.poll() is not None or count_calls(capture, "connections") >= 2,
                   "a status line", 30)
        frames = count_calls(capture, "video")
        wait_until(lambda: proc.poll() is not None or count_calls(capture, "video") > frames,
                   "more frames", 10)
        assert proc.poll() is None, "died writing to a closed pipe: %r" % proc.returncode
        proc.stdin.close()
        stop = time.monotonic()
        assert proc.wait(30) == 0
        assert time.monotonic() - stop <= STOP_BOUND
        assert not alive(fake_pid(fakelog), tag)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(10)
        drain.join(5)
        proc.stderr.close()


# --- too few descriptors ---

def test_descriptor_limits(run, tmp_path):
    # Raising the limit step by step fails the listeners, then the decoder's start, then
    # nothing: each run is one error line with its code or a whole run, never a crash or a
    # hang, and no error leaves a decoder started. The limit holds for the decoder too.
    order = ["socket", "ffmpeg_spawn", "run"]
    seen = []
    for limit in range(3, 25):
        log = tmp_path / ("fake%d" % limit)

        def lower(n=limit):
            resource.setrlimit(resource.RLIMIT_NOFILE, (n, n))

        r = run("--input", "fake:frames=3;exit=3", "--width", str(W), "--height", str(H),
                extra_env={"ZAL_FAKE_LOG": str(log),
                           "ZAL_STANDIN_CAPTURE": str(tmp_path / ("capture%d" % limit))},
                preexec_fn=lower)
        try:
            code = r.finish()
            why = "limit=%d code=%d stdout=%r stderr=%r" % (limit, code, r.raw, r.err[-300:])
            if code == 127 and not seen and not r.raw:
                continue  # the dynamic loader found no descriptor for our libraries
            events = check_sequence(r, code, why)
            kind = events[0]["code"] if events[0]["event"] == "error" else "run"
            earliest = order.index(seen[-1]) if seen else 0  # more descriptors, later steps
            assert kind in order[earliest:], why
            if kind == "socket":
                assert events == [{"event": "error", "code": "socket",
                                   "message": "cannot open local sockets"}], why
            if kind != "run":
                assert not log.exists(), "a decoder was started: " + why
            else:
                assert events[-1] == {"event": "exit", "ffmpeg": 3, "requested": False}, why
            seen.append(kind)
        finally:
            release(r)
    assert seen[0] == "socket" and seen[-1] == "run", seen


# --- many runs ---

def test_no_leaks_over_100_runs(run, tmp_path):
    kinds = [("forever=1;fps=30", 0, EXIT_STOPPED),
             ("frames=3;exit=3", 1, {"event": "exit", "ffmpeg": 3, "requested": False}),
             ("frames=3;signal=9", 1, {"event": "exit", "ffmpeg": 137, "requested": False})]
    fds_before = len(os.listdir("/proc/self/fd"))
    zombies_before = zombie_children()
    inside = {}
    for i in range(100):
        steer, want_code, want_exit = kinds[i % 3]
        r, log, tag = launch(run, tmp_path, "many%d" % i, steer)
        try:
            if want_code == 0:
                r.wait_event("started")
                if i in (0, 99):
                    fds = os.listdir("/proc/%d/fd" % r.proc.pid)
                    inside[i] = sorted(os.readlink("/proc/%d/fd/%s" % (r.proc.pid, fd))
                                       .split(":")[0].split("[")[0] for fd in fds)
                r.close_stdin()
            code, _ = ended(r, 30)
            assert r.finish() == code == want_code, i
            assert r.events[-1] == want_exit, i
            # The program reaps its decoder: no zombie left behind for init.
            pid = fake_pid(log)
            assert proc_stat(pid) is None or (tag.encode() not in cmdline(pid)
                                              and proc_stat(pid)[0] != "Z"), i
        finally:
            release(r)
    assert inside[0] == inside[99], inside
    assert inside[0].count("socket") == 2, "listeners left open: %r" % inside[0]
    assert len(os.listdir("/proc/self/fd")) == fds_before
    assert zombie_children() == zombies_before
