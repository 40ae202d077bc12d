"""Deterministic content written by testing/fake_decoder (fake-ffmpeg), for byte checks.

Video frame n (NV12, width*height*3//2 bytes), byte i: (i*7 + n*13 + (i >> 11)) & 0xFF.
Audio: interleaved stereo float32 LE; float k = b*960 + j of block b is float(k % 1000003).
"""

import functools
import struct

try:
    import numpy as np
except ImportError:  # pure Python fallback, slower on big frames
    np = None

AUDIO_BLOCK_BYTES = 3840
AUDIO_FLOATS_PER_BLOCK = 960
SAMPLES_PER_BLOCK = 480


def video_frame_size(width, height):
    return width * height * 3 // 2


@functools.lru_cache(maxsize=8)
def _base(size):
    # Frame n is this pattern plus n*13 on every byte (mod 256).
    if np is not None:
        i = np.arange(size, dtype=np.uint64)
        return ((i * 7 + (i >> 11)) & 0xFF).astype(np.uint8)
    return bytes((i * 7 + (i >> 11)) & 0xFF for i in range(size))


def video_frame(n, width, height):
    base = _base(video_frame_size(width, height))
    offset = (n * 13) & 0xFF
    if np is not None:
        return (base + np.uint8(offset)).tobytes()
    return bytes((b + offset) & 0xFF for b in base)


def _values(b):
    first = b * AUDIO_FLOATS_PER_BLOCK
    return [float((first + j) % 1000003) for j in range(AUDIO_FLOATS_PER_BLOCK)]


def audio_block(b):
    """Block b as the fake writes it: 480 interleaved L/R float32 pairs."""
    return struct.pack("<%df" % AUDIO_FLOATS_PER_BLOCK, *_values(b))


def audio_planar(b):
    """Block b de-interleaved, as an NDI sender gets it: 480 L floats, then 480 R floats."""
    v = _values(b)
    return struct.pack("<%df" % AUDIO_FLOATS_PER_BLOCK, *(v[0::2] + v[1::2]))


def frame_stamp(frame):
    """The steady-clock nanoseconds that stamp=1 puts into a frame's first 8 bytes."""
    return struct.unpack_from("<Q", frame, 0)[0]


# With sound, ffmpeg prints each frame's timestamp on its standard output as it hands it over.
STAMPS = ("{0}=mode=add:key=stream:value={1},"
          "{0}=mode=print:key=stream:direct=1:file='pipe\\:1'")
VIDEO_STAMPS = "," + STAMPS.format("metadata", "video")
AUDIO_FILTERS = "aresample=async=1," + STAMPS.format("ametadata", "audio")


def decoder_args(program, source, width, height, vport, aport=None):
    """The argument list zal-ndi-send gives its decoder (audio with an audio port)."""
    args = [program, "-hide_banner", "-nostdin", "-loglevel", "warning",
            "-rtsp_transport", "tcp", "-flags", "low_delay",
            "-probesize", "2000000", "-analyzeduration", "3000000", "-fpsprobesize", "0",
            "-max_ts_probe", "0",
            "-i", source,
            "-map", "0:v:0", "-vf", "scale=%d:%d,format=nv12" % (width, height)
            + (VIDEO_STAMPS if aport is not None else ""),
            "-fps_mode", "passthrough", "-threads", "1", "-f", "rawvideo",
            "tcp://127.0.0.1:%s?tcp_nodelay=1" % vport]
    if aport is not None:
        args += ["-map", "0:a:0", "-af", AUDIO_FILTERS, "-ac", "2", "-ar", "48000",
                 "-f", "f32le", "tcp://127.0.0.1:%s?tcp_nodelay=1" % aport]
    return args
