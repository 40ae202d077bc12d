#!/usr/bin/python3
"""Loopback RTSP test server: H.264 (or H.265) SMPTE bars plus an Opus sine tone at /test.

Run with the system python (/usr/bin/python3): it needs python3-gi and
gir1.2-gst-rtsp-server-1.0. Prints "READY rtsp://127.0.0.1:PORT/test" once
listening and serves until SIGTERM/SIGINT (or --max-seconds).
"""
import argparse
import signal
import sys

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


def launch_line(args):
    video = (
        f"videotestsrc pattern={args.pattern} is-live=true "
        f"! video/x-raw,format=I420,width={args.width},height={args.height},"
        f"framerate={args.fps}/1 "
        # Small key interval so a late joiner gets a picture within a second.
        + ENCODERS[args.codec].format(key_int=args.key_int)
    )
    if args.no_audio:
        return f"( {video} )"
    # Opus comes with plugins-base and decodes natively at 48 kHz in ffmpeg.
    audio = (
        f"audiotestsrc wave=sine freq={args.freq} volume=0.5 is-live=true "
        "! audio/x-raw,rate=48000,channels=2 ! audioconvert "
        "! opusenc bitrate=128000 ! rtpopuspay name=pay1 pt=97"
    )
    return f"( {video} {audio} )"


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
