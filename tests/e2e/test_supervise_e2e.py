"""zal-ndi-supervise with real ffmpeg: the RTSP server goes away and comes back mid-run."""
import json
import os
import socket
import subprocess
import threading
import time
import urllib.request

from conftest import EXE, WINDOWS, RtspServer, build_dir, decoder_exe, host_path
from event_schema import validate_supervise_line

SOURCE = ("--width", "320", "--height", "240", "--fps", "30")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Lines:
    """The supervisor's stdout, parsed, as it comes."""

    def __init__(self, proc):
        self.events = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, args=(proc.stdout,), daemon=True).start()

    def _read(self, stream):
        for raw in stream:
            with self.cond:
                self.events.append(json.loads(raw))
                self.cond.notify_all()

    def wait_for(self, predicate, timeout):
        with self.cond:
            seen = self.cond.wait_for(lambda: predicate(self.events), timeout)
            for event in self.events:
                validate_supervise_line(event)
            if not seen:
                raise AssertionError("timed out; lines so far: %r" % self.events)
            return len(self.events)


def streaming_since(start):
    """Some `status` line after line `start` reports frames going out."""
    return lambda ev: any(e["event"] == "status" and e["fps"] > 0 for e in ev[start:])


def start_supervise(sources, doc, **popen):
    """The supervisor on this sources file, with real ffmpeg and the stand-in runtime."""
    if WINDOWS:
        doc["ffmpeg"] = host_path(decoder_exe())
    sources.write_text(json.dumps(doc))
    env = dict(os.environ, NDI_RUNTIME_DIR_V6=host_path(build_dir() / "standin"), WINEDEBUG="-all")
    env.pop("FFMPEG_BIN", None)  # real ffmpeg from PATH
    command = ["wine"] if WINDOWS else []
    command += [str(build_dir() / ("zal-ndi-supervise" + EXE)), host_path(sources)]
    return subprocess.Popen(command, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, **popen)


def stop_supervise(proc):
    """Closes its standard input: it stops every source and ends with 0."""
    proc.stdin.close()
    assert proc.wait(timeout=15) == 0


def reap(proc):
    if proc.poll() is None:
        proc.kill()
        proc.wait(timeout=10)


def test_source_comes_back_when_the_server_does(program, tmp_path):
    port = free_port()
    sources = tmp_path / "sources.json"
    doc = {"restart": {"first_delay_s": 3, "max_delay_s": 3, "stall_after_s": 5},
           "sources": [{"name": "cam", "input": "rtsp://127.0.0.1:%d/test" % port,
                        "width": 320, "height": 240, "keep_alive": False}]}
    proc = start_supervise(sources, doc)
    try:
        lines = Lines(proc)
        with RtspServer("--port", str(port), *SOURCE):
            up = lines.wait_for(streaming_since(0), 30)
        # The restart after that run: one before it (a start that beat the server) says nothing.
        gone = lines.wait_for(lambda ev: any(e["event"] == "restart" for e in ev[up:]), 30)
        # Back, most likely, before the restart; a start that finds no server ends with 3
        # as soon as ffmpeg gives up, and is tried again.
        with RtspServer("--port", str(port), *SOURCE):
            lines.wait_for(streaming_since(gone), 100)
            stop_supervise(proc)
    finally:
        reap(proc)
    events = lines.events
    assert {e["source"] for e in events} == {"cam"}
    assert [e for e in events if e["event"] == "given_up"] == []
    assert events[-1]["event"] == "exit" and events[-1]["requested"] is True, events


PASSWORD = "Zq7-secret-pw"


def fetch(port, path):
    with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path), timeout=10) as answer:
        return answer.read()


# Under wine, ffmpeg.exe's connect to a closed loopback port never fails (wine does not pass
# the refusal on), so that camera's own words can only be had on Linux.
FAILING = ("password", "path") if WINDOWS else ("password", "path", "port")


def test_each_failing_camera_says_why_in_the_decoders_words(program, tmp_path):
    http, closed = free_port(), free_port()
    log = tmp_path / "lines.log"
    with RtspServer(*SOURCE, "--auth", "admin:right-pw") as server:
        at = server.url.split("//")[1].rsplit("/", 1)[0]
        inputs = {"fine": "rtsp://admin:right-pw@%s/test" % at,
                  "password": "rtsp://admin:%s@%s/test" % (PASSWORD, at),
                  "path": "rtsp://admin:right-pw@%s/nothing" % at,
                  "port": "rtsp://127.0.0.1:%d/test" % closed}
        doc = {"log": host_path(log), "http": {"listen": "127.0.0.1:%d" % http},
               "sources": [{"name": name, "input": url, "width": 320, "height": 240}
                           for name, url in inputs.items()]}
        proc = start_supervise(tmp_path / "sources.json", doc, stderr=subprocess.PIPE)
        try:
            lines = Lines(proc)
            got = wait_for_words(http, 40 if WINDOWS else 20)
            bodies = [fetch(http, path) for path in
                      ["/", "/metrics", "/api/sources"] + ["/api/sources/" + n for n in inputs]
                      + ["/api/sources/%s/log" % n for n in inputs]]
            stop_supervise(proc)
        finally:
            reap(proc)
    # Within one restart, each says which, in the decoder's words.
    for name in FAILING:
        assert got[name]["restarts"] == 0 and got[name]["decoder_restarts"] <= 1, got[name]
    words = {name: got[name]["last_message"] for name in inputs}
    print("last_message:", json.dumps(words, indent=1))
    assert words["fine"] is None and got["fine"]["state"] == "streaming", got["fine"]
    assert "401 Unauthorized" in words["password"] and "admin:***@" in words["password"], words
    assert "404 Not Found" in words["path"], words
    assert WINDOWS or "Connection refused" in words["port"], words
    # The decoder's lines reach the log with their source named, and the password nothing.
    logged = [json.loads(line) for line in log.read_text().splitlines()]
    assert {"source": "password", "event": "decoder", "text": words["password"]} in logged
    lines.wait_for(lambda ev: sum(e["event"] == "exit" for e in ev) == len(inputs), 5)  # read to the end
    assert [b for b in bodies if PASSWORD.encode() in b] == []
    for text in (json.dumps(lines.events), log.read_text(), proc.stderr.read().decode("utf-8", "replace")):
        assert PASSWORD not in text


def wait_for_words(port, timeout):
    """The sources once every failing camera has its last_message, by name."""
    deadline = time.monotonic() + timeout
    got = None
    while time.monotonic() < deadline:
        try:
            got = {s["name"]: s for s in json.loads(fetch(port, "/api/sources"))}
        except OSError:
            got = None
        if got and got["fine"]["state"] == "streaming" and \
                all(got[n]["last_message"] for n in FAILING):
            return got
        time.sleep(0.2)
    raise AssertionError("timed out; last: %r" % got)
