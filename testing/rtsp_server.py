#!/usr/bin/python3
"""Loopback RTSP test server: H.264 (or H.265) SMPTE bars plus an Opus sine tone at /test.

Run with the system python (/usr/bin/python3): it needs python3-gi and
gir1.2-gst-rtsp-server-1.0. Prints "READY rtsp://127.0.0.1:PORT/test" once
listening and serves until SIGTERM/SIGINT (or --max-seconds).

--marker serves black frames and silence instead, except one white frame each second
with a 1 kHz burst starting at that frame's timestamp, and prints, as each marker's
first packet leaves the payloader, "MARK video|audio SECOND T_NS" (T_NS on
CLOCK_MONOTONIC; for audio, the time that packet would reach the burst's start at
the sample rate).
"""
import argparse
import math
import signal
import struct
import sys
import threading
import time

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

HOST = "127.0.0.1"
MOUNT = "/test"


ENCODERS = {
    "h264": "! x264enc tune=zerolatency speed-preset=ultrafast key-int-max={key_int} "
            "! video/x-h264,profile=constrained-baseline "
            "! rtph264pay name=pay0 pt=96 config-interval=1",
    # x265enc comes with plugins-bad.
    "h265": "! x265enc tune=zerolatency speed-preset=ultrafast key-int-max={key_int} "
            "! video/x-h265 ! rtph265pay name=pay0 pt=96 config-interval=1",
}


AUDIO_ENCODERS = {
    # Opus comes with plugins-base and decodes natively at 48 kHz in ffmpeg.
    "opus": "! opusenc bitrate=128000 ! rtpopuspay name=pay1 pt=97",
    "aac": "! avenc_aac bitrate=128000 ! rtpmp4gpay name=pay1 pt=97",
    "pcma": "! audioresample ! audio/x-raw,rate=8000,channels=1 ! alawenc ! rtppcmapay name=pay1",
    "pcmu": "! audioresample ! audio/x-raw,rate=8000,channels=1 ! mulawenc ! rtppcmupay name=pay1",
}

MARKER_VIDEO = "appsrc name=marker_video is-live=true format=time do-timestamp=false "
MARKER_AUDIO = "appsrc name=marker_audio is-live=true format=time do-timestamp=false "
AUDIO_RATE = 48000
AUDIO_BLOCK = 480  # samples of one pushed audio buffer: 10 ms


def launch_line(args):
    source = MARKER_VIDEO if args.marker else f"videotestsrc pattern={args.pattern} is-live=true "
    video = (
        source
        + f"! video/x-raw,format=I420,width={args.width},height={args.height},"
        f"framerate={args.fps}/1 "
        # Small key interval so a late joiner gets a picture within a second.
        + ENCODERS[args.codec].format(key_int=args.key_int)
    )
    if args.bframes:
        video = video.replace("tune=zerolatency", f"bframes={args.bframes} rc-lookahead=0 "
                              "sync-lookahead=0").replace("constrained-baseline", "main")
    if args.no_audio:
        return f"( {video} )"
    if args.marker:
        source = MARKER_AUDIO + f"! audio/x-raw,format=F32LE,layout=interleaved,rate={AUDIO_RATE},channels=2 "
    else:
        source = (f"audiotestsrc wave=sine freq={args.freq} volume=0.5 is-live=true "
                  f"! audio/x-raw,rate={AUDIO_RATE},channels=2 ")
    return f"( {video} {source}! audioconvert {AUDIO_ENCODERS[args.audio_codec]} )"


class Markers:
    """Feeds the marker sources of one client's pipeline in real time and reports when
    each marker leaves its payloader."""

    def __init__(self, bin_, args):
        self.args = args
        self.bin = bin_
        self.frame = 0
        self.block = 0
        self.black, self.white = self.pictures(args.width, args.height)
        self.silence = bytes(AUDIO_BLOCK * 2 * 4)
        self.tone = self.burst()
        self.reported = set()
        self.video_origin = None  # the encoder may offset its timestamps: frame 0's
        self.lock = threading.Lock()
        for name, feed in (("marker_video", self.feed_video), ("marker_audio", self.feed_audio)):
            src = bin_.get_by_name(name)
            if src is not None:
                src.connect("need-data", feed)
        for name, kind in (("pay0", "video"), ("pay1", "audio")):
            pay = bin_.get_by_name(name)
            if pay is not None:
                pay.get_static_pad("src").add_probe(
                    Gst.PadProbeType.BUFFER | Gst.PadProbeType.BUFFER_LIST,
                    lambda pad, info, kind=kind: self.on_packet(kind, info))

    @staticmethod
    def pictures(width, height):
        chroma = bytes([128]) * (2 * (width // 2) * (height // 2))
        return bytes([16]) * (width * height) + chroma, bytes([235]) * (width * height) + chroma

    @staticmethod
    def burst():
        """One block of the burst, both channels: a block holds whole periods of 1 kHz."""
        samples = []
        for i in range(AUDIO_BLOCK):
            v = 0.5 * math.sin(2 * math.pi * 1000.0 * i / AUDIO_RATE)
            samples += [v, v]
        return struct.pack(f"<{len(samples)}f", *samples)

    def wait_for(self, src, pts):
        """Blocks until the pipeline's running time reaches pts, as a live source would."""
        clock = src.get_clock()
        if clock is None:
            return
        while True:
            ahead = pts - (clock.get_time() - src.get_base_time())
            if ahead <= 0:
                return
            time.sleep(min(ahead, 20_000_000) / 1e9)

    def push(self, src, data, pts, duration):
        self.wait_for(src, pts)
        buf = Gst.Buffer.new_wrapped(data)
        buf.pts = pts
        buf.duration = duration
        src.emit("push-buffer", buf)

    def feed_video(self, src, _length):
        n, fps = self.frame, self.args.fps
        self.frame += 1
        pts = n * Gst.SECOND // fps
        self.push(src, self.white if n % fps == 0 else self.black, pts,
                  (n + 1) * Gst.SECOND // fps - pts)

    def feed_audio(self, src, _length):
        b = self.block
        self.block += 1
        blocks_per_second = AUDIO_RATE // AUDIO_BLOCK
        data = self.tone if b % blocks_per_second < 10 else self.silence  # 100 ms burst
        self.push(src, data, b * 10 * Gst.MSECOND, 10 * Gst.MSECOND)

    def on_packet(self, kind, info):
        t_ns = time.monotonic_ns()
        buffers = [info.get_buffer()] if info.type & Gst.PadProbeType.BUFFER else []
        if info.type & Gst.PadProbeType.BUFFER_LIST:
            packets = info.get_buffer_list()
            buffers += [packets.get(i) for i in range(packets.length())]
        for buf in buffers:
            self.check(kind, buf, t_ns)
        return Gst.PadProbeReturn.OK

    def check(self, kind, buf, t_ns):
        pts = buf.pts
        if pts == Gst.CLOCK_TIME_NONE:
            return
        if kind == "video":
            if self.video_origin is None:
                self.video_origin = pts
            pts -= self.video_origin
            if pts % Gst.SECOND != 0:
                return
        second = -(-pts // Gst.SECOND)  # the first whole second at or after pts
        if kind == "audio":
            end = pts + (buf.duration if buf.duration != Gst.CLOCK_TIME_NONE else 0)
            if second * Gst.SECOND >= end:
                return
            t_ns += second * Gst.SECOND - pts  # where the burst starts within the packet
        with self.lock:
            if (kind, second) in self.reported:
                return
            self.reported.add((kind, second))
        print(f"MARK {kind} {second} {t_ns}", flush=True)


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--port", type=int, default=0, help="0 picks a free port")
    p.add_argument("--width", type=int, default=1920)
    p.add_argument("--height", type=int, default=1080)
    p.add_argument("--fps", type=int, default=30)
    p.add_argument("--freq", type=float, default=1000.0)
    p.add_argument("--pattern", default="smpte")
    p.add_argument("--key-int", type=int, default=30)
    p.add_argument("--no-audio", action="store_true")
    p.add_argument("--auth", metavar="USER:PASSWORD",
                   help="demand basic authentication with these credentials")
    p.add_argument("--codec", choices=sorted(ENCODERS), default="h264")
    p.add_argument("--audio-codec", choices=sorted(AUDIO_ENCODERS), default="opus")
    p.add_argument("--bframes", type=int, default=0,
                   help="B-frames between references (H.264 main profile; 0: none)")
    p.add_argument("--marker", action="store_true",
                   help="black and silent but for one marked frame and burst per second")
    p.add_argument("--max-seconds", type=float, default=0,
                   help="stop by itself after this long (0: never)")
    return p.parse_args(argv)


def require_basic_auth(server, factory, user, password):
    """Only this user may play the mount; anyone else gets 401."""
    token = GstRtspServer.RTSPToken()
    token.set_string(GstRtspServer.RTSP_TOKEN_MEDIA_FACTORY_ROLE, "viewer")
    auth = GstRtspServer.RTSPAuth()
    auth.add_basic(GstRtspServer.RTSPAuth.make_basic(user, password), token)
    server.set_auth(auth)
    permissions = GstRtspServer.RTSPPermissions()
    permissions.add_permission_for_role("viewer", GstRtspServer.RTSP_PERM_MEDIA_FACTORY_ACCESS, True)
    permissions.add_permission_for_role("viewer", GstRtspServer.RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, True)
    factory.set_permissions(permissions)


def main(argv=None):
    args = parse_args(argv)
    Gst.init(None)

    server = GstRtspServer.RTSPServer()
    server.set_address(HOST)
    server.set_service(str(args.port))
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(launch_line(args))
    # Each client gets its own pipeline, so every session starts cleanly.
    factory.set_shared(False)
    if args.marker:
        feeds = []  # kept alive with the server
        factory.connect("media-configure",
                        lambda _f, media: feeds.append(Markers(media.get_element(), args)))
    server.get_mount_points().add_factory(MOUNT, factory)
    if args.auth:
        require_basic_auth(server, factory, *args.auth.split(":", 1))

    if server.attach(None) == 0:
        print(f"ERROR cannot listen on {HOST}:{args.port}", file=sys.stderr, flush=True)
        return 1

    loop = GLib.MainLoop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_HIGH, sig, lambda *_: (loop.quit(), False)[1])
    if args.max_seconds > 0:
        GLib.timeout_add(int(args.max_seconds * 1000), lambda: (loop.quit(), False)[1])

    print(f"READY rtsp://{HOST}:{server.get_bound_port()}{MOUNT}", flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
