#include "decoder.h"

#include <cstdio>

#include "options.h"

namespace {

std::string format_int(const char* format, int32_t a) {
  char text[64];
  snprintf(text, sizeof text, format, a);
  return text;
}

std::string scale_filter(int32_t width, int32_t height) {
  char text[64];
  snprintf(text, sizeof text, "scale=%d:%d,format=nv12", width, height);
  return text;
}

// Each write goes out at once. Left to Nagle, a frame's last bytes waited for the
// acknowledgement of the rest, and now and then reached us with the next frame.
std::string output_url(int32_t port) { return format_int("tcp://127.0.0.1:%d?tcp_nodelay=1", port); }

}  // namespace

std::vector<std::string> decoder_args(const Options& opt, int32_t video_port, int32_t audio_port) {
  // The probe stops once the streams' parameters are known, without counting frames
  // for a frame rate nobody uses, and its packets are kept: they hold the first keyframe.
  std::vector<std::string> args = {
      opt.ffmpeg,         "-hide_banner",
      "-nostdin",         "-loglevel",
      "warning",          "-rtsp_transport",
      "tcp",              "-flags",
      "low_delay",        "-probesize",
      "2000000",          "-analyzeduration",
      "3000000",          "-fpsprobesize",
      "0",                "-i",
      opt.input,          "-map",
      "0:v:0",            "-vf",
      scale_filter(opt.width, opt.height),
      "-fps_mode",        "passthrough",
      // The raw video encoder runs frame threads, each holding a frame back.
      "-threads",         "1",
      "-f",               "rawvideo",
      output_url(video_port)};
  if (opt.audio != 0) {
    args.insert(args.end(), {"-map", "0:a:0", "-af", "aresample=async=1", "-ac", "2", "-ar",
                             format_int("%d", 48000), "-f", "f32le",
                             output_url(audio_port)});
  }
  return args;
}
