"""Runs the built fake-ffmpeg against two Python listeners and checks what arrives."""

import json
import os
import pathlib
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fakedata  # noqa: E402

BUILD_DIR = pathlib.Path(os.environ.get("ZAL_BUILD_DIR", "/work/main/build"))
FAKE = BUILD_DIR / "testing" / ("fake-ffmpeg.exe" if os.name == "nt" else "fake-ffmpeg")
W, H = 96, 64  # 9216-byte frames: the i >> 11 term matters
FRAME = fakedata.video_frame_size(W, H)
BLOCK = fakedata.AUDIO_BLOCK_BYTES

pytestmark = [
    pytest.mark.skipif(os.environ.get("ZAL_TARGET") == "windows",
                       reason="checks the tool itself on Linux; its Windows build is exercised "
                              "through zal-ndi-send"),
    pytest.mark.skipif(not FAKE.exists(), reason="fake-ffmpeg not built at %s" % FAKE),
]


def command(input_address, vport, aport=None, width=W, height=H):
    """The argument list zal-ndi-send gives its decoder."""
    return fakedata.decoder_args(str(FAKE), input_address, width, height, vport, aport)


class Listener:
    """Accepts one connection and collects bytes until EOF or stop()."""

    def __init__(self):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        self.data = bytearray()
        self.connected = threading.Event()
        self.eof = threading.Event()
        self.conn = None
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        self.server.settimeout(10)
        try:
            self.conn, _ = self.server.accept()
        except OSError:
            return
        self.connected.set()
        while True:
            try:
                piece = self.conn.recv(1 << 20)
            except OSError:
                return
            if not piece:
                self.eof.set()
                return
            self.data += piece

    def close(self):
        for s in (self.conn, self.server):
            if s is not None:
                s.close()


@pytest.fixture
def run(tmp_path):
    """run(settings, audio=True, **popen) -> (proc, video, audio, logdir); cleans up after."""
    started = []

    def start(settings, audio=True, width=W, height=H, edit=None, **popen):
        video_l = Listener()
        audio_l = Listener() if audio else None
        log = tmp_path / ("log%d" % len(started))
        env = dict(os.environ, ZAL_FAKE_LOG=str(log))
        args = command("fake:" + settings, video_l.port, audio_l.port if audio else None,
                       width, height)
        if edit:
            edit(args)
        popen.setdefault("stdin", subprocess.DEVNULL)
        popen.setdefault("stdout", subprocess.PIPE)
        popen.setdefault("stderr", subprocess.PIPE)
        proc = subprocess.Popen(args, env=env, **popen)
        started.append((proc, video_l, audio_l))
        return proc, video_l, audio_l, log

    yield start
    for proc, *listeners in started:
        if proc.poll() is None:
            proc.kill()
        proc.communicate()
        for listener in listeners:
            if listener:
                listener.close()


def finish(proc, *listeners):
    for listener in listeners:
        assert listener.eof.wait(20), "no EOF"
    out, err = proc.communicate(timeout=20)
    return proc.returncode, out.decode(), err.decode()


def frames(first, count, width=W, height=H):
    return b"".join(fakedata.video_frame(n, width, height) for n in range(first, first + count))


def blocks(first, count):
    return b"".join(fakedata.audio_block(b) for b in range(first, first + count))


def events(log):
    return (log / "events").read_text().splitlines()


def wait_event(log, line, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if (log / "events").exists() and line in events(log):
            return
        time.sleep(0.02)
    raise AssertionError("no event %r" % line)


# Content and framing.

@pytest.mark.parametrize("settings", [
    "frames=3;blocks=5",
    "frames=3;blocks=5;chunk=1",
    "frames=3;blocks=5;chunk=7",
    "frames=3;blocks=5;chunk=4097",
    "frames=3;blocks=5;batch=2",
    "frames=3;blocks=5;batch=4;chunk=4097",
])
def test_streams_carry_exact_content(run, settings):
    proc, v, a, _ = run(settings)
    code, _, _ = finish(proc, v, a)
    assert code == 0
    assert bytes(v.data) == frames(0, 3)
    assert bytes(a.data) == blocks(0, 5)


def test_blocks_default_to_frames_and_frames_to_ten(run):
    proc, v, a, _ = run("")
    assert finish(proc, v, a)[0] == 0
    assert bytes(v.data) == frames(0, 10)
    assert bytes(a.data) == blocks(0, 10)


def test_large_frames_computed_per_frame_match(run):
    # 640x480 frames are too big to precompute all 256.
    proc, v, a, _ = run("frames=3;connect=video", audio=False, width=640, height=480)
    assert finish(proc, v)[0] == 0
    assert bytes(v.data) == frames(0, 3, 640, 480)


def test_partials_end_mid_unit(run):
    proc, v, a, log = run("frames=2;blocks=3;vpartial=100;apartial=10;chunk=7")
    assert finish(proc, v, a)[0] == 0
    assert bytes(v.data) == frames(0, 2) + fakedata.video_frame(2, W, H)[:100]
    assert bytes(a.data) == blocks(0, 3) + fakedata.audio_block(3)[:10]
    assert {"partial video 100", "partial audio 10"} <= set(events(log))


def test_stamp_puts_monotonic_ns_first(run):
    before = time.monotonic_ns()
    proc, v, a, _ = run("frames=3;stamp=1;connect=video", audio=False)
    finish(proc, v)
    after = time.monotonic_ns()
    got = [bytes(v.data[n * FRAME:(n + 1) * FRAME]) for n in range(3)]
    stamps = [fakedata.frame_stamp(f) for f in got]
    assert before < stamps[0] <= stamps[1] <= stamps[2] < after
    for n, f in enumerate(got):
        assert f[8:] == fakedata.video_frame(n, W, H)[8:]


def test_audio_planar_deinterleaves():
    inter = fakedata.audio_block(7)
    planar = fakedata.audio_planar(7)
    assert planar[:4] == inter[:4] and planar[1920:1924] == inter[4:8]
    assert planar[1916:1920] == inter[3832:3836]


def print_stamps(args):
    """The program's own list already has ffmpeg print each unit's stamp on stdout."""
    assert fakedata.VIDEO_STAMPS in args[args.index("-vf") + 1]
    assert args[args.index("-af") + 1] == fakedata.AUDIO_FILTERS
    # Escaped once only, this names the file "pipe": nothing more on stdout.
    args[args.index("-vf") + 1] += ",metadata=mode=print:key=stream:file=pipe\\:1"


def stamp_pairs(out, kind):
    lines = out.splitlines()
    assert all(k.startswith("frame:") and v.startswith("stream=") for k, v in
               zip(lines[::2], lines[1::2])) and len(lines) % 2 == 0, out
    return [k for k, v in zip(lines[::2], lines[1::2]) if v == "stream=" + kind]


def expected_stamps(count, step, time_base):
    return ["frame:%-4d pts:%-7s pts_time:%.6g" % (n, n * step, n * step / time_base)
            for n in range(count)]


def test_metadata_filters_print_stamps_before_each_unit(run, tmp_path):
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    proc, v, a, _ = run("frames=12;blocks=30;fps=50;vlag_ms=100", edit=print_stamps, cwd=cwd)
    code, out, _ = finish(proc, v, a)
    assert code == 0 and len(v.data) == 12 * FRAME
    # Video runs 100 ms behind audio, its stamps those of its own frames all the same.
    assert stamp_pairs(out, "video") == expected_stamps(12, 1800, 90000)
    assert stamp_pairs(out, "audio") == expected_stamps(30, 480, 48000)
    assert list(cwd.iterdir()) == []
    # The unit whose write fails was stamped already.
    proc, v, a, log = run("forever=1;fps=50", edit=print_stamps)
    wait_event(log, "sent video 3")
    v.conn.close()
    code, out, _ = finish(proc, a)
    sent = [e for e in events(log) if e.startswith("sent video ")][-1]
    assert code == 1 and len(stamp_pairs(out, "video")) == int(sent.split()[-1]) + 1


# Connections and pacing.

def test_connect_video_only_leaves_audio_alone(run):
    proc, v, a, log = run("frames=2;connect=video")
    assert finish(proc, v)[0] == 0
    assert bytes(v.data) == frames(0, 2)
    assert not a.connected.is_set()
    assert "connected audio" not in events(log)


def test_video_connects_first_and_refusal_exits_1(tmp_path):
    refusing = socket.socket()  # bound but not listening: connecting is refused
    refusing.bind(("127.0.0.1", 0))
    a = Listener()
    log = tmp_path / "refused"
    proc = subprocess.run(command("fake:frames=2", refusing.getsockname()[1], a.port),
                          env=dict(os.environ, ZAL_FAKE_LOG=str(log)), capture_output=True,
                          timeout=20)
    assert proc.returncode == 1 and b"video" in proc.stderr
    assert not a.connected.wait(0.3), "audio connected although video failed"
    assert events(log) == ["exiting 1"]
    refusing.close()
    a.close()


def test_delay_ms_holds_back_connecting(run):
    t0 = time.monotonic()
    proc, v, a, _ = run("frames=1;delay_ms=400")
    assert v.connected.wait(10)
    assert time.monotonic() - t0 >= 0.35
    finish(proc, v, a)


def test_paced_forever_runs_at_rate_until_killed(run):
    proc, v, a, log = run("forever=1;fps=50")
    wait_event(log, "connected audio")
    time.sleep(1.0)
    nv, na = len(v.data) // FRAME, len(a.data) // BLOCK
    assert 35 <= nv <= 65 and 70 <= na <= 130, (nv, na)
    proc.kill()
    finish(proc, v, a)
    n = len(v.data) // FRAME
    assert bytes(v.data[:n * FRAME]) == frames(0, n)
    assert bytes(a.data[:20 * BLOCK]) == blocks(0, 20)


def test_unpaced_forever_passes_256_frames_with_exact_content(run):
    proc, v, a, log = run("forever=1;connect=video", audio=False)
    wait_event(log, "sent video 300")
    proc.kill()
    finish(proc, v)
    assert bytes(v.data[256 * FRAME:300 * FRAME]) == frames(256, 44)


def test_write_error_exits_1(run):
    proc, v, a, log = run("forever=1")
    wait_event(log, "sent video 5")
    v.conn.close()
    code, _, err = finish(proc)
    assert code == 1 and "write failed" in err


# Endings.

def test_hang_keeps_connections_open(run):
    proc, v, a, log = run("frames=2;blocks=2;hang=1")
    wait_event(log, "hanging")
    assert not v.eof.wait(0.5) and proc.poll() is None
    assert bytes(v.data) == frames(0, 2)
    proc.kill()
    finish(proc, v, a)


def test_hold_ms_delays_closing(run):
    proc, v, a, log = run("frames=1;blocks=1;hold_ms=500")
    wait_event(log, "sent audio 1")
    t0 = time.monotonic()
    assert finish(proc, v, a)[0] == 0
    assert time.monotonic() - t0 >= 0.4


def test_exit_code_comes_after_closing(run):
    proc, v, a, log = run("frames=1;exit=7")
    assert finish(proc, v, a)[0] == 7
    ev = events(log)
    assert ev.index("closed audio") < ev.index("exiting 7")


@pytest.mark.skipif(os.name == "nt", reason="POSIX signals")
def test_signal_kills_after_closing(run):
    proc, v, a, log = run("frames=1;signal=%d" % signal.SIGSEGV)
    assert finish(proc, v, a)[0] == -signal.SIGSEGV
    assert events(log)[-1] == "exiting signal %d" % signal.SIGSEGV


@pytest.mark.parametrize("address", [
    "rtsp://camera/stream", "fake:frames=x", "fake:bogus=1", "fake:vpartial=9216",
])
def test_bad_input_exits_1_without_connecting(tmp_path, address):
    v = Listener()
    log = tmp_path / "bad"
    proc = subprocess.run(command(address, v.port), env=dict(os.environ, ZAL_FAKE_LOG=str(log)),
                          capture_output=True, timeout=20)
    assert proc.returncode == 1 and proc.stderr
    assert not v.connected.wait(0.2)
    assert events(log) == ["exiting 1"]
    v.close()


# Records.

def test_records_describe_the_process(run):
    proc, v, a, log = run("frames=1;out=hello out;err=hello err")
    code, out, err = finish(proc, v, a)
    assert out.startswith("hello out\nframe:0 ") and "hello err\n" in err
    assert json.loads((log / "args.json").read_text()) == command("fake:frames=1;out=hello out;"
                                                                  "err=hello err", v.port, a.port)
    assert int((log / "pid").read_text()) == proc.pid
    fds = json.loads((log / "fds.json").read_text())
    if sys.platform.startswith("linux"):
        assert fds["fds"] == [0, 1, 2]
        assert fds["targets"]["0"] == "/dev/null"
        assert fds["targets"]["1"].startswith("pipe:")
    ev = events(log)
    assert sorted(ev) == sorted(["connected video", "connected audio", "sent video 1",
                                 "sent audio 1", "closed video", "closed audio", "exiting 0"])
    assert ev.index("connected video") < ev.index("connected audio") < ev.index("sent video 1")
    assert ev[-3:] == ["closed video", "closed audio", "exiting 0"]


def test_args_json_escapes_bytes(tmp_path):
    v = Listener()
    log = tmp_path / "esc"
    odd = "fake:err=q\"\\\t\u00e9"
    subprocess.run(command(odd, v.port), env=dict(os.environ, ZAL_FAKE_LOG=str(log)),
                   capture_output=True, timeout=20)
    args = json.loads((log / "args.json").read_text())
    # Each byte >= 0x80 comes back as one code point.
    assert args[args.index("-i") + 1] == odd.encode().decode("latin-1")
    v.close()
