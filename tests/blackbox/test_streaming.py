"""Streaming: the started/status/exit lines and what reaches the stand-in runtime."""

import math
import os
import re
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fakedata  # noqa: E402
from conftest import NEWLINE, WINDOWS, read_jsonl  # noqa: E402

W, H, FPS = 64, 48, 25  # 4608-byte frames: the i >> 11 term matters
DEFAULT_VERSION = b"zal-standin 6.0.0 (stand-in)"


def start(run, steer, *extra, extra_env=None):
    args = ["--input", "fake:" + steer, "--width", str(W), "--height", str(H), "--fps", str(FPS)]
    return run(*(args + list(extra)), extra_env=extra_env)


def whole_lines(path):
    """Complete JSON lines of a file another process may still be writing."""
    if not path.exists():
        return []
    return [l for l in path.read_bytes().split(b"\n")[:-1] if l.strip()]


# The audio pump holds back at most this many 10 ms blocks.
MAX_HELD_BLOCKS = 25


def wait_until(check, what, timeout=30):
    deadline = time.monotonic() + timeout
    while not check():
        assert time.monotonic() < deadline, "timed out waiting for " + what
        time.sleep(0.05)


def finish_ok(r, capture, code, ffmpeg, requested):
    """Common end checks; returns (events, calls)."""
    assert r.finish() == code
    assert r.err == b""
    ev = r.events
    assert ev[0]["event"] == "started"
    assert all(e["event"] == "status" for e in ev[1:-1]), ev
    exit_line = b'{"event":"exit","ffmpeg":%d,"requested":%s}' % (
        ffmpeg, b"true" if requested else b"false")
    assert r.raw[-1] == exit_line + NEWLINE
    calls = read_jsonl(capture / "calls.jsonl")
    assert [c["call"] for c in calls].count("send_destroy") == 1
    assert calls[-1]["call"] == "send_destroy"
    return ev, calls


def check_media(capture, calls, frames, blocks):
    """Exactly the whole frames and blocks, intact and in order."""
    video = [c for c in calls if c["call"] == "video"]
    audio = [c for c in calls if c["call"] == "audio"]
    assert (len(video), len(audio)) == (frames, blocks), "frames, blocks at the runtime"
    assert [c["seq"] for c in video] == list(range(frames))
    assert [c["seq"] for c in audio] == list(range(blocks))
    for c in video:
        assert (c["xres"], c["yres"], c["FourCC"]) == (W, H, 0x3231564E)
        assert (c["frame_rate_N"], c["frame_rate_D"]) == (FPS, 1)
        assert math.isclose(c["picture_aspect_ratio"], W / H, rel_tol=1e-6)
        assert c["frame_format_type"] == 1
        assert c["timecode"] == 0x7FFFFFFFFFFFFFFF
        assert (c["line_stride_in_bytes"], c["p_metadata"], c["timestamp"]) == (W, None, 0)
    assert len({c["p_data"] for c in video}) <= 1, "one frame buffer per run"
    for c in audio:
        assert (c["sample_rate"], c["no_channels"], c["no_samples"]) == (48000, 2, 480)
        assert c["channel_stride_in_bytes"] == 1920
    destroy = calls[-1]
    assert (destroy["video_frames"], destroy["audio_blocks"]) == (frames, blocks)
    got = (capture / "video.nv12").read_bytes()
    size = fakedata.video_frame_size(W, H)
    assert len(got) == frames * size
    bad = [n for n in range(frames)
           if got[n * size:(n + 1) * size] != fakedata.video_frame(n, W, H)]
    assert not bad, "frames differ: %r" % bad[:10]
    got = (capture / "audio.f32").read_bytes() if blocks else b""
    assert got == b"".join(fakedata.audio_planar(b) for b in range(blocks))


NAMES = [
    pytest.param(b'Cam "A" \\ 1\tB\x1f', b'Cam \\"A\\" \\\\ 1\\u0009B\\u001f', [],
                 b'zal 6 "x" \\ y', id="escapes"),
    pytest.param("Kamera é €".encode(), "Kamera é €".encode(), ["--no-audio"], None,
                 id="utf8-no-audio",
                 marks=pytest.mark.skipif(WINDOWS, reason="argv bytes differ under wine")),
    pytest.param(b"a" * 600, b"a" * 505, [], None, id="long"),
    pytest.param(b"\t" * 100, b"\\u0009" * 85, [], None, id="long-escapes"),
]


@pytest.mark.parametrize("name, escaped, extra, version", NAMES)
def test_started_line_bytes(run, capture, name, escaped, extra, version):
    env = {"ZAL_STANDIN_VERSION": os.fsdecode(version)} if version else None
    r = start(run, "frames=1", "--name", os.fsdecode(name), *extra, extra_env=env)
    _, calls = finish_ok(r, capture, 1, 0, False)
    ndi = DEFAULT_VERSION if version is None else version.replace(b"\\", b"\\\\").replace(
        b'"', b'\\"')
    assert r.raw[0] == (b'{"event":"started","name":"%s","width":%d,"height":%d,"audio":%s,'
                        b'"ndi":"%s"}' % (escaped, W, H, b"false" if extra else b"true", ndi)
                        + NEWLINE)
    create = [c for c in calls if c["call"] == "send_create"]
    assert len(create) == 1
    assert create[0]["p_ndi_name_hex"] == name.hex()  # the full name, not the cut one
    assert create[0]["p_groups"] is None
    assert (create[0]["clock_video"], create[0]["clock_audio"]) == (False, False)


@pytest.mark.parametrize("audio", [True, False], ids=["audio", "no-audio"])
def test_status_then_requested_stop(run, capture, fakelog, audio):
    extra = [] if audio else ["--no-audio"]
    r = start(run, "forever=1;fps=30", *extra, extra_env={"ZAL_STANDIN_CONNECTIONS": "3"})
    seen = []
    for k in (1, 2, 3):
        r.wait_event("status", k, timeout=15)
        seen.append(time.monotonic())
    before = sum(e["event"] == "status" for e in r.events)
    r.close_stdin()
    ev, calls = finish_ok(r, capture, 0, 0, True)
    assert ev[0]["audio"] is audio
    statuses = [e for e in ev if e["event"] == "status"]
    # One last status after the stop, unless the line under way as stdin closed is the last.
    assert before <= len(statuses) <= before + 2, "one last status after the stop"
    for s in statuses:
        assert s == {"event": "status", "connections": 3, "fps": s["fps"], "audio": audio}
        assert (s["fps"] * 2).is_integer()
    for line in r.raw[1:-1]:
        assert re.search(rb'"fps":\d+\.\d,', line), line
    for s in statuses[1:3]:
        assert 10 <= s["fps"] <= 45, statuses  # paced at 30 on a busy machine
    for a, b in zip(seen, seen[1:]):
        assert 1.0 <= b - a <= 5.0, seen
    args = read_jsonl(fakelog / "args.json")
    assert len(args[0]) == (41 if audio else 30)
    assert sum(c["call"] == "video" for c in calls) > 0
    assert (sum(c["call"] == "audio" for c in calls) > 0) is audio


@pytest.mark.parametrize("steer, ffmpeg", [
    ("frames=3", 0),
    ("frames=3;exit=3", 3),
    ("frames=3;signal=9", 3 if WINDOWS else 128 + 9),
    ("frames=0", 0),
])
def test_decoder_ends_by_itself(run, capture, steer, ffmpeg):
    r = start(run, steer)
    ev, _ = finish_ok(r, capture, 1, ffmpeg, False)
    assert sum(e["event"] == "status" for e in ev) <= 1, ev


def test_decoder_ends_by_itself_later(run, capture):
    r = start(run, "frames=105;fps=30;exit=5")
    r.wait_event("status", timeout=15)
    ev, _ = finish_ok(r, capture, 1, 5, False)
    assert ev[1]["event"] == "status"


# Hanging decoder: wait until everything has arrived, then stop; no race on the end.
PATTERNS = [
    ("frames=3;chunk=1", 3),
    ("frames=20;chunk=7", 20),
    ("frames=20;chunk=4097", 20),
    ("frames=20;batch=3", 20),
    ("frames=20;batch=3;vpartial=1000;apartial=2000", 20),
    ("frames=20;vpartial=4607;apartial=3839", 20),
    ("frames=300", 300),
]


@pytest.mark.parametrize("steer, count", PATTERNS)
def test_frames_arrive_intact(run, capture, fakelog, steer, count):
    r = start(run, steer + ";hang=1")

    def arrived():
        events = (fakelog / "events").read_text() if (fakelog / "events").exists() else ""
        kinds = [l.split(b'"call":"')[1][:5] for l in whole_lines(capture / "calls.jsonl")
                 if b'"call":"' in l]
        # Once the pictures' delay is measured, the last few blocks wait for the pictures
        # that follow them, and a stop does not wait for what is still unread.
        return "hanging" in events and kinds.count(b"video") >= count \
            and kinds.count(b"audio") >= count - MAX_HELD_BLOCKS

    wait_until(arrived, "%d frames and blocks" % count)
    r.close_stdin()
    _, calls = finish_ok(r, capture, 0, 0, True)
    blocks = sum(c["call"] == "audio" for c in calls)
    assert count - MAX_HELD_BLOCKS <= blocks <= count, blocks
    check_media(capture, calls, count, blocks)


def test_audio_waits_for_pictures_handed_over_late(run, capture):
    # The decoder hands each picture over three frame periods (120 ms) after its sound, as
    # with B-frames; once the program has measured that from the decoder's timestamps,
    # sound and pictures leave it together again.
    r = start(run, "forever=1;fps=%d;vlag_ms=120" % FPS)
    wait_until(lambda: sum(b'"call":"video"' in l for l in whole_lines(capture / "calls.jsonl"))
               >= 7 * FPS, "seven seconds of frames")
    r.close_stdin()
    _, calls = finish_ok(r, capture, 0, 0, True)

    def offset_ms(kind, period_ms):
        sent = [c for c in calls if c["call"] == kind]
        start = sent[0]["t_ns"] + 4e9  # the delay is measured over seconds 1 to 2
        late = sorted((c["t_ns"] - c["seq"] * period_ms * 1e6) / 1e6 for c in sent if c["t_ns"] > start)
        return late[len(late) // 2]

    audio_minus_video = offset_ms("audio", 10) - offset_ms("video", 1000 / FPS)
    assert -20 < audio_minus_video < 20, "%.1f ms, 120 would be none held back" % audio_minus_video


@pytest.mark.parametrize("extra", [[], ["--no-audio"]], ids=["audio", "no-audio"])
def test_all_frames_delivered_when_decoder_exits(run, capture, extra):
    # The decoder writes everything and exits at once; the data is still in the socket.
    r = start(run, "frames=400;exit=2", *extra)
    _, calls = finish_ok(r, capture, 1, 2, False)
    check_media(capture, calls, 400, 0 if extra else 400)
