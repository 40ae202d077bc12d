#!/usr/bin/python3
"""Reads what the stand-in NDI runtime captured (ZAL_STANDIN_CAPTURE dir).

Used by the e2e tests and by scripts/demo.sh (`report` writes a PNG snapshot,
a WAV file and a one-line summary).
"""
import argparse
import json
import os
import subprocess
import sys
import wave

import numpy as np


def read_jsonl(path):
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def calls(capture_dir, kind=None):
    path = os.path.join(capture_dir, "calls.jsonl")
    if not os.path.exists(path):
        return []
    rows = read_jsonl(path)
    return [r for r in rows if kind is None or r.get("call") == kind]


def frame_bytes(width, height):
    return width * height * 3 // 2


def video_frames(capture_dir, width, height):
    """NV12 frames as an (n, bytes) uint8 array; a trailing partial frame is dropped."""
    path = os.path.join(capture_dir, "video.nv12")
    if not os.path.exists(path) or os.path.getsize(path) < frame_bytes(width, height):
        return np.zeros((0, frame_bytes(width, height)), np.uint8)
    data = np.fromfile(path, np.uint8)
    n = data.size // frame_bytes(width, height)
    return data[: n * frame_bytes(width, height)].reshape(n, -1)


def split_nv12(frame, width, height):
    """Returns (Y as HxW, interleaved UV as (H/2)x(W/2)x2)."""
    y = frame[: width * height].reshape(height, width)
    uv = frame[width * height :].reshape(height // 2, width // 2, 2)
    return y, uv


def audio_channels(capture_dir):
    """Left and right sample arrays, rebuilt from the planar per-call blocks."""
    path = os.path.join(capture_dir, "audio.f32")
    if not os.path.exists(path):
        return np.zeros(0, np.float32), np.zeros(0, np.float32)
    data = np.fromfile(path, "<f4")
    sizes = [int(c.get("no_samples", 480)) for c in calls(capture_dir, "audio")]
    if not sizes or sum(sizes) * 2 != data.size:
        sizes = [480] * (data.size // 960)  # calls.jsonl lost or cut short
    left, right, pos = [], [], 0
    for n in sizes:
        left.append(data[pos : pos + n])
        right.append(data[pos + n : pos + 2 * n])
        pos += 2 * n
    if not left:
        return np.zeros(0, np.float32), np.zeros(0, np.float32)
    return np.concatenate(left), np.concatenate(right)


def dominant_hz(samples, rate=48000):
    windowed = samples * np.hanning(samples.size)
    spectrum = np.abs(np.fft.rfft(windowed))
    spectrum[0] = 0
    return float(np.argmax(spectrum)) * rate / samples.size


def write_wav(path, left, right, rate=48000):
    pcm = np.clip(np.stack([left, right], axis=1), -1.0, 1.0)
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes((pcm * 32767).astype("<i2").tobytes())


def write_png(path, frame, width, height, ffmpeg="ffmpeg"):
    subprocess.run(
        [ffmpeg, "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "nv12",
         "-s", f"{width}x{height}", "-i", "-", "-frames:v", "1", path],
        input=frame.tobytes(), check=True, timeout=30)


def mean_fps(capture_dir, events_path=None):
    """Frames per second from the video t_ns, else the mean of the status reports
    between the first (start-up) and the last (stopping)."""
    video = calls(capture_dir, "video")
    if len(video) > 1:
        span = (video[-1]["t_ns"] - video[0]["t_ns"]) / 1e9
        if span > 0:
            return (len(video) - 1) / span
    if events_path and os.path.exists(events_path):
        fps = []
        with open(events_path, encoding="utf-8") as f:
            for line in f:
                try:
                    ev = json.loads(line)
                except ValueError:
                    continue
                if ev.get("event") == "status":
                    fps.append(float(ev.get("fps", 0)))
        if len(fps) > 2:
            return sum(fps[1:-1]) / len(fps[1:-1])
    return 0.0


def report(args):
    video = calls(args.capture, "video")
    audio = calls(args.capture, "audio")
    rate = int(audio[0].get("sample_rate", 48000)) if audio else 48000
    audio_seconds = sum(int(c.get("no_samples", 0)) for c in audio) / rate
    frames = video_frames(args.capture, args.width, args.height)
    if len(frames):
        write_png(args.png, frames[-1], args.width, args.height, args.ffmpeg)
        print(f"snapshot: {args.png}")
    else:
        print("snapshot: none (no frame captured)")
    left, right = audio_channels(args.capture)
    if left.size:
        n = min(left.size, int(args.wav_seconds * rate))
        start = (left.size - n) // 2  # from the middle, past any start-up silence
        write_wav(args.wav, left[start : start + n], right[start : start + n], rate)
        print(f"audio:    {args.wav}")
    else:
        print("audio:    none (no audio captured)")
    print(f"summary:  {len(video)} frames received, mean {mean_fps(args.capture, args.events):.1f} fps, "
          f"{audio_seconds:.1f} s of audio")
    return 0 if video else 1


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = p.add_subparsers(dest="cmd", required=True)
    r = sub.add_parser("report", help="snapshot PNG, WAV and a summary line")
    r.add_argument("--capture", required=True)
    r.add_argument("--width", type=int, required=True)
    r.add_argument("--height", type=int, required=True)
    r.add_argument("--events", help="program stdout lines, for the status fps")
    r.add_argument("--png", required=True)
    r.add_argument("--wav", required=True)
    r.add_argument("--wav-seconds", type=float, default=2.0)
    r.add_argument("--ffmpeg", default=os.environ.get("FFMPEG_BIN", "ffmpeg"))
    args = p.parse_args(argv)
    return report(args)


if __name__ == "__main__":
    sys.exit(main())
