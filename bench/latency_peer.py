#!/usr/bin/python3
"""The latency bench's in-process peer: GStreamer pulls the stream, decodes, scales to NV12
and converts its sound to F32 48 kHz stereo, as our decoder is told to, into appsinks that
stamp each buffer on arrival. Prints on stdout (times on CLOCK_MONOTONIC, ns):
  FIRST T              the first video frame
  MARK video T         a marked (white) frame
  MARK audio T         a burst's first loud sample, at its place in the buffer
Run with the system python (python3-gi); stops on SIGTERM/SIGINT."""
import argparse
import signal
import sys
import threading
import time

import gi
import numpy as np

gi.require_version("Gst", "1.0")
from gi.repository import GLib, Gst  # noqa: E402

DEPAY = {"h264": "rtph264depay ! avdec_h264", "h265": "rtph265depay ! avdec_h265"}
RATE = 48000
LOUD = 0.1  # as the stand-in runtime's quiet-sample count


def launch_line(url, width, height, codec):
    return (f"rtspsrc location={url} latency=0 protocols=tcp name=src "
            f"src. ! application/x-rtp,media=video ! {DEPAY[codec]} ! videoscale ! videoconvert "
            f"! video/x-raw,format=NV12,width={width},height={height} "
            "! appsink name=video sync=false emit-signals=true max-buffers=4 "
            "src. ! application/x-rtp,media=audio ! rtpopusdepay ! opusdec ! audioconvert "
            f"! audioresample ! audio/x-raw,format=F32LE,channels=2,rate={RATE} "
            "! appsink name=audio sync=false emit-signals=true max-buffers=16")


class Stamps:
    """The two appsinks call from their own streaming threads."""

    def __init__(self):
        self.lock = threading.Lock()
        self.first = True
        self.samples = 0  # audio samples so far
        self.last_loud = -RATE  # the sample count at the last loud sample

    def say(self, line):
        with self.lock:
            sys.stdout.write(line + "\n")
            sys.stdout.flush()

    def on_video(self, sink):
        t_ns = time.monotonic_ns()
        buf = sink.emit("pull-sample").get_buffer()
        ok, info = buf.map(Gst.MapFlags.READ)
        marked = ok and info.data[0] >= 128
        if ok:
            buf.unmap(info)
        if self.first:
            self.first = False
            self.say(f"FIRST {t_ns}")
        if marked:
            self.say(f"MARK video {t_ns}")
        return Gst.FlowReturn.OK

    def on_audio(self, sink):
        t_ns = time.monotonic_ns()
        buf = sink.emit("pull-sample").get_buffer()
        ok, info = buf.map(Gst.MapFlags.READ)
        if not ok:
            return Gst.FlowReturn.OK
        left = np.frombuffer(info.data, "<f4")[0::2]
        buf.unmap(info)
        loud = np.flatnonzero(np.abs(left) >= LOUD)
        if loud.size:
            # A burst starts after at least 10 ms of silence.
            if self.samples + loud[0] - self.last_loud > RATE // 100:
                self.say(f"MARK audio {t_ns + int(loud[0]) * 1_000_000_000 // RATE}")
            self.last_loud = self.samples + int(loud[-1])
        self.samples += left.size
        return Gst.FlowReturn.OK


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("url")
    p.add_argument("--width", type=int, default=1280)
    p.add_argument("--height", type=int, default=720)
    p.add_argument("--codec", choices=sorted(DEPAY), default="h264")
    args = p.parse_args(argv)
    Gst.init(None)
    pipeline = Gst.parse_launch(launch_line(args.url, args.width, args.height, args.codec))
    stamps = Stamps()
    pipeline.get_by_name("video").connect("new-sample", stamps.on_video)
    pipeline.get_by_name("audio").connect("new-sample", stamps.on_audio)
    loop = GLib.MainLoop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_HIGH, sig, lambda *_: (loop.quit(), False)[1])
    pipeline.set_state(Gst.State.PLAYING)
    loop.run()
    pipeline.set_state(Gst.State.NULL)
    return 0


if __name__ == "__main__":
    sys.exit(main())
