"""zal-ndi-supervise: many zal-ndi-send runs from one file, restarted, watched and stopped.

Each source's zal-ndi-send runs with the fake decoder and the stand-in runtime; the fake
decoder's input steers how each run goes.
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from conftest import BUILD, EXE, NEWLINE, PROGRAM, WINDOWS, Run, host_path, wine_pids  # noqa: E402

SUPERVISOR = BUILD / ("zal-ndi-supervise" + EXE)
USAGE = b"usage: zal-ndi-supervise [--check] [--service] <sources.json>" + NEWLINE
SMALL = {"width": 64, "height": 48}
# A source whose zal-ndi-send ends when its decoder does, as without keep-alive.
ENDING = dict(SMALL, keep_alive=False)
FOREVER = "fake:forever=1;fps=30"
STEADY = "Bühne 東京"
POSIX = pytest.mark.skipif(WINDOWS, reason="POSIX signals")


class TimedRun(Run):
    """A run that also notes when each line arrived."""

    def __init__(self, *args, **kwargs):
        self.times = []
        super().__init__(*args, **kwargs)

    def _read(self):
        for line in iter(self.proc.stdout.readline, b""):
            with self.lock:
                self.raw.append(line)
                self.times.append(time.monotonic())
                self.lock.notify_all()
        with self.lock:
            self.done = True
            self.lock.notify_all()


class Camera:
    """A camera's RTSP port on 127.0.0.1: bound at once, so connections are refused, and
    accepting (then closing) them once opened. The fake decoder connects to it first for an
    rtsp:// input."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]

    def url(self, steering, credentials=""):
        return "rtsp://%s127.0.0.1:%d/%s" % (credentials, self.port, steering)

    def open(self):
        self.sock.listen(64)
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            conn.close()


@pytest.fixture
def camera():
    c = Camera()
    yield c
    c.sock.close()


@pytest.fixture
def supervise(env, tmp_path):
    """Writes a sources file and runs the supervisor on it; every process of the test
    carries a mark in its environment, so none can be missed when counting what is left."""
    runs = []
    env = dict(env, ZAL_SUPERVISE_MARK=str(tmp_path))

    def start(sources, restart=None, extra_env=None, args=(), stdin=subprocess.PIPE, **top):
        doc = dict(top, sources=sources)
        if restart is not None:
            doc["restart"] = restart
        path = tmp_path / "sources.json"
        path.write_text(json.dumps(doc))
        r = TimedRun(list(args) + [host_path(path)], dict(env, **(extra_env or {})), stdin=stdin,
                     program=SUPERVISOR)
        runs.append(r)
        return r

    yield start
    for r in runs:
        r.kill()


def marked(tmp_path):
    """Processes still running with this test's mark (zombies have ended)."""
    pids = []
    for pid in wine_pids(env={"ZAL_SUPERVISE_MARK": str(tmp_path)}):
        try:
            with open("/proc/%d/stat" % pid) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if state != "Z":
            pids.append(pid)
    return pids


def wait_none_left(tmp_path, timeout=15):
    deadline = time.monotonic() + timeout
    while marked(tmp_path) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert marked(tmp_path) == []


def of(events, source, name=None):
    return [e for e in events if e.get("source") == source and (name is None or e["event"] == name)]


def restart_delays(run, source):
    """(in_s, seconds from the restart line to the next `started`) for each restart."""
    lines = [(t, json.loads(raw)) for t, raw in zip(run.times, run.raw)]
    seen = []
    for i, (t, event) in enumerate(lines):
        if event["source"] != source or event["event"] != "restart":
            continue
        later = [u for u, e in lines[i + 1:] if e["source"] == source and e["event"] == "started"]
        if later:
            seen.append((event["in_s"], later[0] - t))
    return seen


def test_restart_backs_off_and_starts_over_after_a_healthy_run(supervise, camera):
    # "quick" ends with exit 1 at once; the steady one (a name in UTF-8) ends the same way after 5 s of frames
    # (a slow build may take a second or two for the quick run too). Quick's camera answers all along:
    # its probes find nothing new, so its back-off holds.
    camera.open()
    run = supervise([dict(ENDING, name="quick", input=camera.url("frames=1")),
                     dict(ENDING, name=STEADY, input="fake:frames=150;fps=30")],
                    restart={"first_delay_s": 0.2, "max_delay_s": 0.8, "healthy_after_s": 4})
    events = run.wait_for(lambda ev: len(of(ev, "quick", "restart")) >= 5
                          and len(of(ev, STEADY, "restart")) >= 2, timeout=60)
    run.close_stdin()
    assert run.finish() == 0
    quick = of(events, "quick", "restart")
    assert [e["in_s"] for e in quick[:5]] == [0.2, 0.4, 0.8, 0.8, 0.8]
    assert {e["reason"] for e in quick} == {"exit 1"}
    assert [e["in_s"] for e in of(events, STEADY, "restart")[:2]] == [0.2, 0.2]
    assert {e["name"] for e in of(events, STEADY, "started")} == {STEADY}
    # Each source's exit line comes before what the supervisor says about that run.
    for source in ("quick", STEADY):
        kinds = [e["event"] for e in of(events, source) if e["event"] in ("exit", "restart")]
        assert kinds[:4] == ["exit", "restart", "exit", "restart"]
    # Seen from here, less whatever kept this reader from a line at once.
    for in_s, seen in restart_delays(run, "quick") + restart_delays(run, STEADY):
        assert in_s * 0.75 < seen < in_s + 10, (in_s, seen)
    print("restart delays (in_s, seen):", restart_delays(run, "quick"))


def test_no_restart_after_exit_2_or_64_and_exit_2_once_all_gave_up(supervise, fakelog):
    # Too large a frame is zal-ndi-send's usage error; the refused sender ends the other.
    run = supervise([{"name": "huge", "input": FOREVER, "width": 65536, "height": 65536},
                     dict(SMALL, name="refused", input=FOREVER)],
                    restart={"first_delay_s": 0.1}, extra_env={"ZAL_STANDIN_CREATE": "fail"})
    assert run.finish(timeout=30) == 2
    events = run.events
    assert of(events, "huge", "given_up") == [
        {"source": "huge", "event": "given_up", "reason": "exit 64"}]
    assert of(events, "refused", "error")[0]["code"] == "ndi_sender"
    assert of(events, "refused", "given_up")[0]["reason"] == "exit 2"
    assert [e for e in events if e["event"] == "restart"] == []
    assert not fakelog.exists()  # no decoder was ever started

    run = supervise([dict(SMALL, name="nowhere", input=FOREVER)], program="/nonexistent/send")
    assert run.finish(timeout=30) == 2
    assert run.events == [{"source": "nowhere", "event": "given_up",
                           "reason": "cannot start /nonexistent/send"}]


@pytest.mark.skipif(WINDOWS, reason="no passing shortage can be made for wine from outside it: a Unix "
                                    "process holding the file does not fail CreateProcess")
def test_a_start_that_may_work_later_is_retried(supervise, tmp_path):
    # A program file open for writing cannot be run (ETXTBSY) until it is closed.
    busy = tmp_path / "send"
    shutil.copy2(PROGRAM, busy)
    writer = open(busy, "r+b")
    run = supervise([dict(SMALL, name="busy", input=FOREVER)], program=str(busy),
                    restart={"first_delay_s": 0.2, "max_delay_s": 0.4})
    run.wait_for(lambda ev: len(of(ev, "busy", "restart")) >= 3)
    writer.close()
    events = run.wait_for(lambda ev: of(ev, "busy", "started"))
    run.close_stdin()
    assert run.finish() == 0
    reason = "cannot start " + str(busy)
    assert of(events, "busy", "restart")[:3] == [
        {"source": "busy", "event": "restart", "reason": reason, "in_s": in_s}
        for in_s in (0.2, 0.4, 0.4)]
    assert of(events, "busy", "given_up") == []


def test_a_camera_back_during_the_wait_is_started_at_once(supervise, camera):
    # Both fail while the camera is away and wait a minute; only the probed one starts when it
    # is back (its credentials are no part of the probe's address).
    run = supervise([dict(ENDING, name="cam", input=camera.url("forever=1;fps=30", "user:secret@")),
                     dict(ENDING, name="unprobed", input=camera.url("forever=1;fps=30"),
                          probe=False)],
                    restart={"first_delay_s": 60, "max_delay_s": 60})
    run.wait_for(lambda ev: of(ev, "cam", "restart") and of(ev, "unprobed", "restart"), timeout=90)
    time.sleep(2.5)  # the camera stays away a while: the probes of this wait find it closed
    back = time.monotonic()
    camera.open()
    run.wait_for(lambda ev: any(e["fps"] > 0 for e in of(ev, "cam", "status")), timeout=20)
    started = [t for t, raw in zip(run.times, run.raw) if b'"started"' in raw and b'"cam"' in raw]
    print("from the camera's return: started %.2f s, status %.2f s"
          % (started[0] - back, time.monotonic() - back))
    run.close_stdin()
    assert run.finish() == 0
    events = run.events
    kinds = ("error", "exit", "restart", "started")
    assert [e["event"] for e in of(events, "cam") if e["event"] in kinds] \
        == ["error", "restart", "started", "exit"]
    assert of(events, "unprobed", "started") == []


@pytest.mark.parametrize("how", ["stdin", pytest.param("sigterm", marks=POSIX),
                                 pytest.param("sigint", marks=POSIX),
                                 pytest.param("sigkill", marks=POSIX)])
def test_stop_leaves_no_process(supervise, tmp_path, how):
    run = supervise([dict(SMALL, name="a", input=FOREVER), dict(SMALL, name="b", input=FOREVER),
                     dict(ENDING, name="later", input="fake:frames=1")],
                    restart={"first_delay_s": 60, "max_delay_s": 60})
    run.wait_for(lambda ev: of(ev, "a", "started") and of(ev, "b", "started")
                 and of(ev, "later", "restart"))
    if how == "stdin":
        run.close_stdin()
    else:
        run.proc.send_signal({"sigterm": signal.SIGTERM, "sigint": signal.SIGINT,
                              "sigkill": signal.SIGKILL}[how])
    code = run.finish(timeout=20)  # the pending 60 s restart does not hold the stop
    wait_none_left(tmp_path)
    if how == "sigkill":
        return
    assert code == 0
    events = run.events
    for source in ("a", "b"):
        assert of(events, source)[-1] == {"source": source, "event": "exit", "ffmpeg": 0,
                                          "requested": True}
    assert len(of(events, "later", "started")) == 1


def notifications(sock, until, timeout=20):
    """The sd_notify datagrams, each as its set of lines, until until(list) holds."""
    got = []
    deadline = time.monotonic() + timeout
    while not until(got):
        left = deadline - time.monotonic()
        assert left > 0, "timed out waiting; notifications so far: %r" % got
        sock.settimeout(left)
        try:
            got.append(set(sock.recv(4096).decode().split("\n")))
        except socket.timeout:
            pass
    return got


@POSIX
def test_a_service_ignores_its_null_input_notifies_and_stops_on_sigterm(supervise, tmp_path):
    # An abstract socket, as systemd's own: no path length limit, no file left behind.
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    address = "zal-notify-%d-%s" % (os.getpid(), tmp_path.name)
    sock.bind("\0" + address)
    log = tmp_path / "lines.log"
    run = supervise([dict(SMALL, name="a", input=FOREVER)], args=["--service"],
                    stdin=subprocess.DEVNULL, extra_env={"NOTIFY_SOCKET": "@" + address},
                    log=str(log))
    got = notifications(sock, lambda got: {"STATUS=1 source: 1 streaming"} in got)
    assert {"READY=1", "STATUS=1 source: 1 starting"} in got
    # A reload of the same file does not end it (SIGHUP's default would), nor touch the source.
    run.proc.send_signal(signal.SIGHUP)
    run.wait_for(lambda ev: any(e["event"] == "reloaded" for e in ev))
    got = notifications(sock, lambda got: any("READY=1" in n for n in got))
    assert any("RELOADING=1" in n for n in got[:-1])
    run.wait_for(lambda ev: len(of(ev, "a", "status")) >= 2)
    run.proc.send_signal(signal.SIGTERM)
    assert run.finish(timeout=20) == 0
    events = run.events
    assert len(of(events, "a", "started")) == 1
    assert {"event": "reloaded", "added": [], "removed": [], "changed": []} in events
    assert of(events, "a")[-1] == {"source": "a", "event": "exit", "ffmpeg": 0, "requested": True}
    notifications(sock, lambda got: any("STOPPING=1" in n for n in got))
    sock.close()
    # The log holds the same lines, one each.
    assert log.read_bytes().splitlines(keepends=True) == run.raw


@POSIX
def test_a_log_lost_to_a_disk_fault_comes_back(supervise, tmp_path):
    folder = tmp_path / "logs"
    folder.mkdir()
    log = folder / "lines.log"
    # Just short of the size it rotates at: a few lines in, the log is opened again.
    log.write_bytes(b"x" * (10 * 1024 * 1024 - 1200) + b"\n")
    run = supervise([dict(SMALL, name=n, input=FOREVER) for n in ("a", "b")], log=str(log))
    run.wait_for(lambda ev: of(ev, "a", "started"))
    # A file in the folder's place stops even root, whom a read-only folder would not.
    folder.rename(tmp_path / "moved")
    folder.write_text("")

    def after_log(state, count):
        def holds(events):
            marks = [i for i, e in enumerate(events) if e["event"] == "log" and e["state"] == state]
            return marks and len(of(events[marks[0]:], "a", "status")) >= count
        return holds

    run.wait_for(after_log("lost", 2), timeout=40)
    folder.unlink()
    folder.mkdir()
    run.wait_for(after_log("back", 1), timeout=40)
    run.close_stdin()
    assert run.finish(timeout=20) == 0
    notes = [(i, e) for i, e in enumerate(run.events) if e["event"] == "log"]
    assert [e["state"] for _, e in notes] == ["lost", "back"]
    (lost_at, lost), (back_at, back) = notes
    assert lost["path"] == back["path"] == str(log)
    assert lost["reason"].startswith("reopen after rotation: ")
    assert back["lost_s"] > 0
    # What the old log got, then what the new one got: nothing in between.
    assert (tmp_path / "moved" / "lines.log").read_bytes().splitlines(keepends=True)[1:] == \
        run.raw[:lost_at - 1]
    assert log.read_bytes().splitlines(keepends=True) == run.raw[back_at:]


def children_by_name(run):
    """Each running zal-ndi-send of the supervisor, by its --name."""
    pids = {}
    for task in os.listdir("/proc/%d/task" % run.proc.pid):
        try:
            with open("/proc/%d/task/%s/children" % (run.proc.pid, task)) as f:
                found = f.read().split()
        except OSError:
            continue  # a thread that has ended since (the server's connection threads come and go)
        for pid in found:
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as c:
                    args = c.read().split(b"\0")
            except OSError:
                continue
            if b"--name" in args:
                pids[args[args.index(b"--name") + 1].decode()] = int(pid)
    return pids


@POSIX
def test_a_reload_restarts_only_what_changed(supervise, tmp_path):
    later = dict(ENDING, name="later", input="fake:frames=1")
    run = supervise([dict(SMALL, name="same", input=FOREVER), later,
                     dict(SMALL, name="changed", input=FOREVER), dict(SMALL, name="gone", input=FOREVER)],
                    restart={"first_delay_s": 60, "max_delay_s": 60})
    run.wait_for(lambda ev: all(of(ev, n, "started") for n in ("same", "changed", "gone"))
                 and of(ev, "later", "restart"))
    before = children_by_name(run)
    path = tmp_path / "sources.json"
    doc = json.loads(path.read_text())
    doc["sources"] = [dict(SMALL, name="new", input=FOREVER), doc["sources"][0], later,
                      dict(SMALL, name="changed", input=FOREVER, fps=25)]
    path.write_text(json.dumps(doc))
    run.proc.send_signal(signal.SIGHUP)
    run.wait_for(lambda ev: len(of(ev, "changed", "started")) == 2 and of(ev, "new", "started")
                 and of(ev, "gone", "exit"))
    # Its exit line comes a moment before the removed one's process has gone.
    deadline = time.monotonic() + 10
    while set(children_by_name(run)) != {"new", "same", "changed"} and time.monotonic() < deadline:
        time.sleep(0.05)
    after = children_by_name(run)
    assert set(after) == {"new", "same", "changed"}
    assert after["same"] == before["same"]
    assert after["changed"] != before["changed"]
    path.write_text('{"sources": [}')
    run.proc.send_signal(signal.SIGHUP)
    run.wait_for(lambda ev: any(e["event"] == "reload_failed" for e in ev))
    assert children_by_name(run) == after
    run.close_stdin()
    assert run.finish(timeout=20) == 0
    events = run.events
    own = [e for e in events if "source" not in e]
    assert own[0] == {"event": "reloaded", "added": ["new"], "removed": ["gone"], "changed": ["changed"]}
    assert own[1]["event"] == "reload_failed" and host_path(path) in own[1]["message"]
    assert "invalid JSON" in own[1]["message"]
    # The pending restart was kept; what was stopped on purpose says nothing more.
    assert len(of(events, "later", "started")) == 1
    assert [e["event"] for e in of(events, "gone")][-1] == "exit"
    assert of(events, "gone", "restart") == of(events, "changed", "restart") == []
    assert len(of(events, "same", "started")) == 1


@POSIX
def test_a_child_deaf_to_its_closed_input_is_killed(supervise, tmp_path):
    # Says `started`, then neither sends status nor ends when its input closes.
    deaf = tmp_path / "deaf"
    started = '{"event":"started","name":"deaf","width":64,"height":48,"audio":true,"ndi":""}'
    deaf.write_text("#!/bin/sh\necho '%s'\nexec sleep 600\n" % started)
    deaf.chmod(0o755)
    run = supervise([{"name": "deaf", "input": "x"}], program=str(deaf),
                    restart={"first_delay_s": 0.2, "stall_after_s": 3})
    events = run.wait_for(lambda ev: len(of(ev, "deaf", "started")) == 2, timeout=30)
    assert of(events, "deaf", "restart") == [
        {"source": "deaf", "event": "restart", "reason": "stall", "in_s": 0.2}]
    stop = time.monotonic()
    run.close_stdin()
    assert run.finish(timeout=20) == 0
    assert 4 < time.monotonic() - stop < 15
    wait_none_left(tmp_path)


# Every case and its place is in the unit tests; here, what reaches the user.
BAD_FILES = [
    ('{"sources":[{"name":"A","input":"x"},{"name":"A","input":"y"}]}', "/sources/1/name"),
    ('{"sources":[{"name":"A","input":"x"}],}', "invalid JSON"),
    (None, "cannot be read"),
]


def test_bad_files_and_usage_start_nothing(env, tmp_path, fakelog):
    def run(*args):
        r = Run(list(args), env, program=SUPERVISOR)
        code = r.finish(timeout=30)
        assert r.raw == []
        return code, r.err

    for text, place in BAD_FILES:
        path = tmp_path / "bad.json"
        if text is None:
            path.unlink(missing_ok=True)
        else:
            path.write_text(text)
        for args in ([host_path(path)], ["--check", host_path(path)]):
            code, err = run(*args)
            assert code == 64
            assert err.count(NEWLINE) == 1 and host_path(path).encode() in err, err
            assert place.encode() in err, err
    for args in ([], ["--verbose", "x.json"], ["a.json", "b.json"]):
        assert run(*args) == (64, USAGE)
    (tmp_path / "good.json").write_text('{"sources":[{"name":"A","input":"x"}]}')
    assert run("--check", host_path(tmp_path / "good.json")) == (0, b"")
    assert not fakelog.exists()


def test_a_password_in_a_bad_file_stays_out_of_the_error(env, tmp_path):
    # nlohmann quotes what it last read, which can stop inside the password.
    secret = "Zq9-s3cr3t"
    entry = '{"sources":[{"name":"A","input":"rtsp://admin:%s@cam/live"%s}]}'
    cut = [secret[:3] + "\\q" + secret[3:], secret[:3] + "\n" + secret[3:]]
    path = tmp_path / "bad.json"
    for password, rest in [(secret, " x"), (secret, ',"width":3')] + [(p, "") for p in cut]:
        path.write_text(entry % (password, rest))
        for args in ([host_path(path)], ["--check", host_path(path)]):
            r = Run(args, env, program=SUPERVISOR)
            assert r.finish(timeout=30) == 64
            assert r.raw == [] and r.err.count(NEWLINE) == 1
            assert secret[:3].encode() not in r.err, r.err


def test_sixteen_sources_at_once(supervise, tmp_path):
    names = ["cam %02d" % i for i in range(16)]
    run = supervise([dict(SMALL, name=n, input=FOREVER) for n in names])
    run.wait_for(lambda ev: all(any(e["fps"] > 0 for e in of(ev, n, "status")) for n in names),
                 timeout=90)
    run.close_stdin()
    assert run.finish(timeout=30) == 0
    events = run.events
    assert [e for e in events if e["event"] in ("restart", "given_up")] == []
    assert {e["source"] for e in events if e["event"] == "exit"} == set(names)
    wait_none_left(tmp_path)
