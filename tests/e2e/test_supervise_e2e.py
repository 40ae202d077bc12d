"""zal-ndi-supervise with real ffmpeg: the RTSP server goes away and comes back mid-run."""
import json
import os
import socket
import subprocess
import threading

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


def test_source_comes_back_when_the_server_does(program, tmp_path):
    port = free_port()
    sources = tmp_path / "sources.json"
    doc = {"restart": {"first_delay_s": 3, "max_delay_s": 3, "stall_after_s": 5},
           "sources": [{"name": "cam", "input": "rtsp://127.0.0.1:%d/test" % port,
                        "width": 320, "height": 240, "keep_alive": False}]}
    if WINDOWS:
        doc["ffmpeg"] = host_path(decoder_exe())
    sources.write_text(json.dumps(doc))
    env = dict(os.environ, NDI_RUNTIME_DIR_V6=host_path(build_dir() / "standin"), WINEDEBUG="-all")
    env.pop("FFMPEG_BIN", None)  # real ffmpeg from PATH
    command = ["wine"] if WINDOWS else []
    command += [str(build_dir() / ("zal-ndi-supervise" + EXE)), host_path(sources)]
    proc = subprocess.Popen(command, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
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
            proc.stdin.close()
            assert proc.wait(timeout=15) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(timeout=10)
    events = lines.events
    assert {e["source"] for e in events} == {"cam"}
    assert [e for e in events if e["event"] == "given_up"] == []
    assert events[-1]["event"] == "exit" and events[-1]["requested"] is True, events
