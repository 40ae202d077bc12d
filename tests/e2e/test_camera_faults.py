"""What a controlling application sees when a camera misbehaves, with real ffmpeg.

The timings measured here are written to out/e2e/camera-faults/ and quoted in
docs/integrating.md; keep the two in step.
"""
import json
import os
import pathlib
import re
import signal
import socket
import time

import pytest

from conftest import WINDOWS, RtspServer, Run, children, proc_stat

# The timings documented for integrators are Debian ffmpeg's; the decoder's end is seen
# through Linux's process table.
pytestmark = pytest.mark.skipif(WINDOWS, reason="measured with Linux ffmpeg")

SOURCE = ("--width", "320", "--height", "240", "--fps", "30")
OUTPUT = ("--width", "320", "--height", "240")
STARTED = ('{"event":"started","name":"ZAL Program","width":320,"height":240,"audio":%s,'
           '"ndi":"zal-standin 6.0.0 (stand-in)"}')
STATUS = re.compile(r'\{"event":"status","connections":0,"fps":(\d+\.\d),"audio":(true|false)\}')
NOT_DELIVERED = ('{"event":"error","code":"ffmpeg_connect",'
                 '"message":"ffmpeg did not deliver the program (exit %d)"}')
ENDED_BY_ITSELF = '{"event":"exit","ffmpeg":0,"requested":false}'
OUT = pathlib.Path(__file__).resolve().parents[2] / "out" / "e2e" / "camera-faults"


class TimedRun(Run):
    """A run that notes when each line arrived, and when its decoder ended."""

    def __init__(self, *args, **kwargs):
        self.stamps = []
        self.decoder_ended = None
        self.decoders = set()
        self.t0 = time.monotonic()
        super().__init__(*args, **kwargs)

    def _read_stdout(self):
        for raw in self.proc.stdout:
            self.stamps.append(time.monotonic() - self.t0)
            self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def note_decoder(self):
        """Remembers when the ffmpeg child was first seen ended: a zombie, or already reaped."""
        found = children(self.proc.pid)
        self.decoders.update(pid for pid, (_, comm) in found.items() if comm == "ffmpeg")
        over = [pid not in found or (proc_stat(pid) or "Z")[-1] == "Z" for pid in self.decoders]
        if any(over) and self.decoder_ended is None:
            self.decoder_ended = time.monotonic() - self.t0

    def wait_for(self, predicate, start, timeout):
        """Index of the first line from `start` on that satisfies predicate."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            exited = self.proc.poll() is not None
            if exited:
                self._out.join(5)
            for index in range(start, len(self.lines)):
                if predicate(self.lines[index]):
                    return index
            if exited:
                break
            time.sleep(0.05)
        pytest.fail(f"no such line within {timeout} s\n{self.describe()}")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)


def status_fps(line, audio):
    match = STATUS.fullmatch(line)
    assert match and match.group(2) == audio, f"not a status line: {line!r}"
    return float(match.group(1))


def record(name, **timings):
    OUT.mkdir(parents=True, exist_ok=True)
    (OUT / f"{name}.json").write_text(json.dumps({k: round(v, 2) for k, v in timings.items()}) + "\n")


def closed_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def mute_listener():
    """Takes connections into its backlog and never answers, like a hung camera."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    return listener


def with_credentials(url, user, password):
    return url.replace("rtsp://", f"rtsp://{user}:{password}@", 1)


# First: the 30 s accept wait overlaps the other tests under xdist.
def test_camera_that_never_delivers(program, tmp_path):
    """No audio track with audio on, wrong credentials, refused, no answer, a stop meanwhile:
    one error line, exit 3; as soon as ffmpeg has ended, but for the camera that never answers."""
    with RtspServer(*SOURCE, "--no-audio") as no_audio_mount, \
            RtspServer(*SOURCE, "--auth", "viewer:right") as guarded, mute_listener() as hung:
        video_only = ("--no-audio", *OUTPUT)
        runs = {  # name: (run, the decoder's exit code in the line)
            "no_audio_track": (TimedRun(program, no_audio_mount.url, tmp_path / "a", OUTPUT), 1),
            "wrong_credentials": (TimedRun(program, with_credentials(guarded.url, "viewer", "wrong"),
                                           tmp_path / "b", video_only), 1),
            "refused": (TimedRun(program, f"rtsp://127.0.0.1:{closed_port()}/test",
                                 tmp_path / "c", video_only), 1),
            # ffmpeg sets no time-out: it waits until the program kills it.
            "no_answer": (TimedRun(program, "rtsp://127.0.0.1:%d/test" % hung.getsockname()[1],
                                   tmp_path / "d", video_only), 0),
            # Stopped during the connect phase: the stop kills ffmpeg.
            "stopped": (TimedRun(program, "rtsp://127.0.0.1:%d/test" % hung.getsockname()[1],
                                 tmp_path / "e", OUTPUT), 0),
        }
        stop_run, stopped = runs["stopped"][0], None
        try:
            end = time.monotonic() + 90
            while time.monotonic() < end and any(r.proc.poll() is None for r, _ in runs.values()):
                for run, _ in runs.values():
                    run.note_decoder()
                if stopped is None and stop_run.decoders and time.monotonic() - stop_run.t0 > 2:
                    stop_run.proc.stdin.close()
                    stopped = time.monotonic() - stop_run.t0
                time.sleep(0.02)
            for run, _ in runs.values():
                run.wait(timeout=1)
        finally:
            for run, _ in runs.values():
                run.stop()
    for name, (run, code) in runs.items():
        assert (run.returncode, run.lines) == (3, [NOT_DELIVERED % code]), f"{name}\n{run.describe()}"
        # The waits end with ffmpeg; one that never ends gets the full 30 s.
        if name == "no_answer":
            assert 29 <= run.stamps[0] <= 45, f"{name}: error line after {run.stamps[0]:.1f} s"
        else:
            assert run.decoder_ended is not None and run.stamps[0] - run.decoder_ended < 2, \
                f"{name}: ffmpeg ended at {run.decoder_ended}, error line at {run.stamps[0]:.1f} s"
    assert stop_run.stamps[0] - stopped < 2
    record("never_delivers",
           **{f"{name}_error_line_s": run.stamps[0] for name, (run, _) in runs.items()},
           **{f"{name}_ffmpeg_ended_s": run.decoder_ended for name, (run, code) in runs.items() if code},
           stopped_error_line_after_stop_s=stop_run.stamps[0] - stopped)


def test_camera_drops_the_connection(program, tmp_path):
    """Server gone mid-stream: a last status line, the exit line, exit 1, at once."""
    server = RtspServer(*SOURCE, "--auth", "viewer:right")
    url = with_credentials(server.url, "viewer", "right")
    run = TimedRun(program, url, tmp_path, OUTPUT)
    try:
        first_status = run.wait_for(STATUS.fullmatch, 1, 20)
        # The address, password included, is in both command lines for anyone to read.
        decoder = next(pid for pid, (_, comm) in children(run.proc.pid).items() if comm == "ffmpeg")
        for pid in (run.proc.pid, decoder):
            assert url.encode() in pathlib.Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")
        dropped = time.monotonic() - run.t0
        server.stop()
        run.wait(timeout=20)
    finally:
        run.stop()
        server.stop()
    assert run.returncode == 1, run.describe()
    assert run.lines[0] == STARTED % "true", run.describe()
    assert run.lines[-1] == ENDED_BY_ITSELF, run.describe()
    assert status_fps(run.lines[first_status], "true") > 0
    for line in run.lines[first_status:-1]:
        status_fps(line, "true")
    after_drop = run.stamps[-1] - dropped
    assert after_drop <= 5, f"exit line {after_drop:.2f} s after the server stopped"
    # The last status line covers the part-interval before the exit.
    assert run.stamps[-2] >= dropped, run.describe()
    record("drop", exit_line_after_drop_s=after_drop)


def test_camera_freezes(program, tmp_path):
    """Server stopped: fps 0.0 while the run goes on; resumed: frames again; ended: exit 1."""
    server = RtspServer(*SOURCE, "--no-audio")
    run = TimedRun(program, server.url, tmp_path, ("--no-audio", *OUTPUT))
    zero = lambda line: status_fps(line, "false") == 0.0  # noqa: E731
    moving = lambda line: status_fps(line, "false") > 0  # noqa: E731
    try:
        index = run.wait_for(moving, 1, 20)
        timings = {}
        for phase in ("frozen", "frozen_again"):
            stopped = time.monotonic() - run.t0
            os.kill(server.proc.pid, signal.SIGSTOP)
            index = run.wait_for(zero, index + 1, 10)
            timings[f"{phase}_first_fps_0_s"] = run.stamps[index] - stopped
            # It stays frozen and the program keeps reporting: no network time-out ends it.
            index = run.wait_for(zero, index + 1, 5)
            index = run.wait_for(zero, index + 1, 5)
            assert run.proc.poll() is None, run.describe()
            if phase == "frozen":
                resumed = time.monotonic() - run.t0
                os.kill(server.proc.pid, signal.SIGCONT)
                index = run.wait_for(moving, index + 1, 10)
                timings["resumed_fps_above_0_s"] = run.stamps[index] - resumed
        ended = time.monotonic() - run.t0
        server.proc.kill()  # a stopped process still has its sockets closed by the kernel
        run.wait(timeout=20)
    finally:
        run.stop()
        if server.proc.poll() is None:
            os.kill(server.proc.pid, signal.SIGCONT)
        server.stop()
    assert run.returncode == 1, run.describe()
    assert run.lines[0] == STARTED % "false", run.describe()
    assert run.lines[-1] == ENDED_BY_ITSELF, run.describe()
    for line in run.lines[1:-1]:
        status_fps(line, "false")
    timings["exit_line_after_end_s"] = run.stamps[-1] - ended
    assert timings["exit_line_after_end_s"] <= 5, timings
    record("freeze", **timings)
