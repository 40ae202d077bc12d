#include "decoder.h"

#include <cstdio>

#include "options.h"

namespace {

std::string format_int(const char* format, int32_t a) {
  char text[64];
  snprintf(text, sizeof text, format, a);
  return text;
}

// Each frame's timestamp is printed on standard output as the frame is handed over:
// "frame:N pts:P pts_time:T", then "stream=video" or "stream=audio" (lip_sync.h). The
// pipe's name is escaped twice, once for the filter chain and once for the option.
std::string stamp_filters(const char* filter, const char* stream) {
  char text[160];
  snprintf(text, sizeof text,
           "%s=mode=add:key=stream:value=%s,%s=mode=print:key=stream:direct=1:file='pipe\\:1'",
           filter, stream, filter);
  return text;
}

std::string video_filters(const Options& opt) {
  char text[64];
  snprintf(text, sizeof text, "scale=%d:%d,format=nv12", opt.width, opt.height);
  // Without sound there is nothing to hold back to the pictures.
  return opt.audio != 0 ? text + std::string(",") + stamp_filters("metadata", "video") : text;
}

// Each write goes out at once. Left to Nagle, a frame's last bytes waited for the
// acknowledgement of the rest, and now and then reached us with the next frame.
std::string output_url(int32_t port) { return format_int("tcp://127.0.0.1:%d?tcp_nodelay=1", port); }

}  // namespace

std::vector<std::string> decoder_args(const Options& opt, int32_t video_port, int32_t audio_port) {
  // The probe stops once the streams' parameters are known, without counting frames
  // for a frame rate nobody uses nor waiting for timestamps the raw outputs do not carry,
  // and its packets are kept: they hold the first keyframe.
  std::vector<std::string> args = {
      opt.ffmpeg,         "-hide_banner",
      "-nostdin",         "-loglevel",
      "warning",          "-rtsp_transport",
      "tcp",              "-flags",
      "low_delay",        "-probesize",
      "2000000",          "-analyzeduration",
      "3000000",          "-fpsprobesize",
      "0",                "-max_ts_probe",
      "0",                "-i",
      opt.input,          "-map",
      "0:v:0",            "-vf",
      video_filters(opt),
      "-fps_mode",        "passthrough",
      // The raw video encoder runs frame threads, each holding a frame back.
      "-threads",         "1",
      "-f",               "rawvideo",
      output_url(video_port)};
  if (opt.audio != 0) {
    args.insert(args.end(), {"-map", "0:a:0", "-af",
                             "aresample=async=1," + stamp_filters("ametadata", "audio"), "-ac",
                             "2", "-ar", format_int("%d", 48000), "-f", "f32le",
                             output_url(audio_port)});
  }
  return args;
}
