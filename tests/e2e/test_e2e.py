"""Real RTSP stream in, real ffmpeg, stand-in NDI runtime out."""
import json
import os
import pathlib
import signal
import subprocess
import time

import numpy as np
import pytest

import capture
from conftest import WINDOWS, RtspServer, Run, decoders, still_running

# Under wine every byte of the program's sockets passes through the wine server: a smaller
# picture keeps 30 fps within reach of a busy machine.
W, H = (640, 360) if WINDOWS else (1280, 720)
SOURCE = ("--width", "640", "--height", "480", "--fps", "30")  # not the output size
FREQ = 750.0  # not the usual 1 kHz, so a built-in tone cannot pass
# Longer under wine, where a busy machine stalls the decoder for a moment now and then.
STREAM_SECONDS = 10 if WINDOWS else 7
BARS_ROWS = int(H * 0.6)  # the seven top bars; the bottom has per-frame noise


def reference_frames(url, count=10):
    """The same stream decoded and scaled by ffmpeg on its own."""
    raw = subprocess.run(
        ["ffmpeg", "-v", "error", "-nostdin", "-rtsp_transport", "tcp", "-i", url, "-an",
         "-vf", f"scale={W}:{H}", "-pix_fmt", "nv12", "-frames:v", str(count), "-f", "rawvideo", "-"],
        capture_output=True, timeout=30, check=True).stdout
    size = capture.frame_bytes(W, H)
    assert len(raw) >= size, "ffmpeg decoded no reference frame"
    return np.frombuffer(raw[(len(raw) // size - 1) * size :][:size], np.uint8)


def psnr(a, b):
    mse = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return 99.0 if mse == 0 else 10 * np.log10(255.0**2 / mse)


def bar_luma(y):
    return [float(y[H // 3, int((i + 0.5) * W / 7) - 10 : int((i + 0.5) * W / 7) + 10].mean())
            for i in range(7)]


def assert_same_picture(capture_dir, reference):
    ref_y, ref_uv = capture.split_nv12(reference, W, H)
    lumas = bar_luma(ref_y)
    assert all(a - b >= 5 for a, b in zip(lumas, lumas[1:])), f"reference is not the bars: {lumas}"
    frames = capture.video_frames(capture_dir, W, H)
    assert len(frames) >= 10, f"only {len(frames)} frames captured"
    for index in range(len(frames) - 5, len(frames)):
        y, uv = capture.split_nv12(frames[index], W, H)
        luma_db = psnr(y[:BARS_ROWS], ref_y[:BARS_ROWS])
        chroma_db = psnr(uv[: BARS_ROWS // 2], ref_uv[: BARS_ROWS // 2])
        assert luma_db >= 30 and chroma_db >= 30, (
            f"frame {index}: Y {luma_db:.1f} dB, UV {chroma_db:.1f} dB; bars {bar_luma(y)} "
            f"expected {lumas}")


def run_until_stdin_closed(program, url, capture_dir, args, seconds):
    run = Run(program, url, capture_dir, args)
    try:
        run.watch(seconds)
        run.close_stdin_and_wait()
    finally:
        if run.proc.poll() is None:
            run.proc.kill()
            run.proc.wait(timeout=10)
    return run


@pytest.fixture(scope="module")
def streamed(program, tmp_path_factory):
    cap = tmp_path_factory.mktemp("capture")
    with RtspServer(*SOURCE, "--freq", str(FREQ)) as server:
        reference = reference_frames(server.url)
        run = run_until_stdin_closed(
            program, server.url, cap, ["--name", "E2E", "--width", str(W), "--height", str(H)],
            STREAM_SECONDS)
    write_summary(run)
    return run, reference


def write_summary(run):
    """Leaves what this run measured in out/e2e/summary.json, for the record."""
    video = capture.calls(run.capture, "video")
    status = [e["fps"] for e in run.events() if e["event"] == "status"]
    left, _ = capture.audio_channels(run.capture)
    summary = {
        "frames": len(video),
        "size": [W, H],
        "status_fps": status,
        "audio_seconds": round(left.size / 48000, 2),
        "tone_hz": round(float(capture.dominant_hz(left[-2 * 48000:])), 1) if left.size else None,
    }
    out = pathlib.Path(__file__).resolve().parents[2] / "out" / "e2e"
    out.mkdir(parents=True, exist_ok=True)
    (out / ("summary-windows.json" if WINDOWS else "summary.json")).write_text(
        json.dumps(summary) + "\n")


class TestStopByClosingStdin:
    def test_event_lines_and_exit_code(self, streamed):
        run, _ = streamed
        for line in run.lines:
            try:
                json.loads(line)
            except ValueError:
                pytest.fail(f"stdout line is not JSON: {line!r}\n{run.describe()}")
        events = run.events()
        assert run.returncode == 0, run.describe()
        started = events[0]
        assert started["event"] == "started", run.describe()
        assert (started["name"], started["width"], started["height"], started["audio"]) == \
            ("E2E", W, H, True)
        assert isinstance(started["ndi"], str) and started["ndi"]
        assert not [e for e in events if e["event"] == "error"], run.describe()
        assert events[-1] == {"event": "exit", "ffmpeg": 0, "requested": True}, run.describe()

    def test_ffmpeg_child_ended(self, streamed):
        run, _ = streamed
        names = [comm for _, comm in run.children.values()]
        assert "ffmpeg" in names, f"no ffmpeg child seen while running: {run.children}"
        left = [pid for pid, (start, _) in run.children.items() if still_running(pid, start)]
        assert not left, f"children still running after exit: {left}"

    def test_status_reports(self, streamed):
        run, _ = streamed
        status = [e for e in run.events() if e["event"] == "status"]
        for s in status:
            assert isinstance(s["connections"], int) and s["connections"] >= 0
            assert s["audio"] is True
        # Reports made while stopping cover a part-empty interval.
        steady = [json.loads(line) for line in run.lines[: run.lines_before_stop]]
        steady = [e for e in steady if e["event"] == "status"]
        assert len(steady) >= 2, run.describe()
        later = sorted(s["fps"] for s in steady[1:])
        # The median: a stall and the catch-up after it move single intervals only.
        assert 24 <= later[len(later) // 2] <= 36, f"status fps {later} vs a 30 fps source"


class TestVideo:
    def test_frames_at_requested_size_and_rate(self, streamed):
        run, _ = streamed
        video = capture.calls(run.capture, "video")
        assert len(video) >= 60, f"{len(video)} frames in {STREAM_SECONDS} s"
        sizes = {(v["xres"], v["yres"], v["bytes"]) for v in video}
        assert sizes == {(W, H, capture.frame_bytes(W, H))}
        t = [v["t_ns"] for v in video[30:]]  # past start-up
        rate = (len(t) - 1) / ((t[-1] - t[0]) / 1e9)
        assert 24 <= rate <= 36, f"{rate:.1f} frames/s sent"

    def test_picture_matches_direct_decode(self, streamed):
        run, reference = streamed
        assert_same_picture(run.capture, reference)


class TestAudio:
    def test_audio_frames_format(self, streamed):
        run, _ = streamed
        audio = capture.calls(run.capture, "audio")
        assert audio, "no audio sent"
        formats = {(a["sample_rate"], a["no_channels"], a["no_samples"], a["channel_stride_in_bytes"])
                   for a in audio}
        assert formats == {(48000, 2, 480, 1920)}

    def test_tone_in_both_channels(self, streamed):
        run, _ = streamed
        left, right = capture.audio_channels(run.capture)
        assert left.size >= 3 * 48000, f"only {left.size / 48000:.1f} s of audio"
        for name, channel in (("left", left), ("right", right)):
            tail = channel[-2 * 48000 :]
            hz = capture.dominant_hz(tail)
            assert abs(hz - FREQ) <= 5, f"{name} peak at {hz:.1f} Hz, tone is {FREQ} Hz"
            assert tail.std() > 0.05, f"{name} nearly silent"

    def test_audio_keeps_real_time(self, streamed):
        run, _ = streamed
        audio = capture.calls(run.capture, "audio")
        sent = sum(a["no_samples"] for a in audio) / 48000
        span = (audio[-1]["t_ns"] - audio[0]["t_ns"]) / 1e9
        assert abs(sent - span) <= 1.0, f"{sent:.2f} s of audio sent over {span:.2f} s"


def test_source_ending_is_reported(program, tmp_path):
    """The stream goes away: the program says so and exits 1; --no-audio sends no audio."""
    with RtspServer(*SOURCE, "--freq", str(FREQ)) as server:
        run = Run(program, server.url, tmp_path, ["--no-audio", "--width", str(W), "--height", str(H)])
        try:
            run.watch(4)
            assert run.proc.poll() is None, "stopped before the source ended\n" + run.describe()
        except BaseException:
            run.proc.kill()
            run.wait()
            raise
    run.wait(timeout=20)
    events = run.events()
    assert run.returncode == 1, run.describe()
    assert events[0]["event"] == "started" and events[0]["audio"] is False
    # ffmpeg takes the server closing the connection for the end of its input: code 0.
    assert events[-1] == {"event": "exit", "ffmpeg": 0, "requested": False}, run.describe()
    assert capture.calls(tmp_path, "video"), "no video before the source ended"
    assert not capture.calls(tmp_path, "audio"), "audio sent despite --no-audio"
    left = [pid for pid, (start, _) in run.children.items() if still_running(pid, start)]
    assert not left, f"children still running after exit: {left}"


def test_killed_program_leaves_no_decoder(program, tmp_path):
    """Killed from outside, no code of the program runs: the decoder must still end."""
    with RtspServer(*SOURCE, "--no-audio") as server:
        run = Run(program, server.url, tmp_path,
                  ["--no-audio", "--width", "320", "--height", "240"])
        try:
            for _ in range(60):
                run.watch(0.5)
                if run.lines and run.children:
                    break
            assert run.events()[0]["event"] == "started", run.describe()
        finally:
            run.proc.kill()
            run.wait()
        found = {**run.children, **decoders(run.proc.pid, server.url)}
        assert found, "no decoder seen while running"
        deadline = time.monotonic() + 5
        left = found
        while left and time.monotonic() < deadline:
            time.sleep(0.1)
            left = [p for p, (t, _) in found.items() if still_running(p, t)]
        for pid in left:
            os.kill(pid, signal.SIGKILL)  # a survivor would stream on for ever
        assert not left, f"decoders still running after the program was killed: {left}"


def test_h265_stream(program, tmp_path):
    """A camera sending H.265: the same picture as ffmpeg's own decode."""
    with RtspServer(*SOURCE, "--codec", "h265") as server:
        reference = reference_frames(server.url)
        run = run_until_stdin_closed(
            program, server.url, tmp_path, ["--no-audio", "--width", str(W), "--height", str(H)], 5)
    assert run.returncode == 0, run.describe()
    assert_same_picture(tmp_path, reference)
