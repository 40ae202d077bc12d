#include "options.h"

#include <cstdio>
#include <cstring>

Options gOpt = kDefaultOptions;

namespace {

const char kUsage[] =
    "usage: zal-ndi-send --input <rtsp-url> [--name <ndi-name>] [--ffmpeg <path>] [--no-audio] "
    "[--width 1920] [--height 1080] [--fps 30]\n";

// A frame is received with a 32-bit signed count, so it must stay below 2 GiB.
constexpr int64_t kMaxFrameBytes = INT64_C(1) << 31;

bool store_rate(const char* value, Options* opt) {
  FrameRate rate;
  if (!read_frame_rate(value, &rate)) return false;
  opt->fps = rate.numerator;
  opt->fps_denominator = rate.denominator;
  return true;
}

// Stores one value option; returns false when a number does not fit or a value is not understood.
bool store_value(const char* option, const char* value, Options* opt) {
  if (strcmp(option, "--input") == 0) {
    opt->input = value;
    return true;
  }
  if (strcmp(option, "--name") == 0) {
    opt->name = value;
    return true;
  }
  if (strcmp(option, "--ffmpeg") == 0) {
    opt->ffmpeg = value;
    return true;
  }
  if (strcmp(option, "--width") == 0) return parse_decimal(value, &opt->width);
  if (strcmp(option, "--height") == 0) return parse_decimal(value, &opt->height);
  if (strcmp(option, "--groups") == 0) {
    opt->groups = value;
    return true;
  }
  if (strcmp(option, "--slate") == 0) {
    opt->slate = value;
    return true;
  }
  if (strcmp(option, "--thumbnail") == 0) {
    opt->thumbnail = value;
    return true;
  }
  return store_rate(value, opt);
}

bool is_value_option(const char* arg) {
  static const char* const kValueOptions[] = {"--input", "--name",   "--ffmpeg",
                                              "--width", "--height", "--fps", "--groups", "--slate",
                                              "--thumbnail"};
  for (const char* option : kValueOptions) {
    if (strcmp(arg, option) == 0) return true;
  }
  return false;
}

bool settings_valid(const Options& opt) {
  if (opt.input == nullptr) return false;
  if (opt.width <= 0 || opt.height <= 0) return false;
  if ((opt.width | opt.height) & 1) return false;
  if (opt.fps <= 0 || opt.fps_denominator <= 0) return false;
  // An empty list would leave its meaning to the runtime: name groups or leave the option out.
  if (opt.groups != nullptr && *opt.groups == 0) return false;
  if (opt.slate != nullptr && opt.keep_alive == 0) return false;
  if (opt.thumbnail != nullptr && *opt.thumbnail == 0) return false;
  return frame_bytes(opt.width, opt.height) < kMaxFrameBytes;
}

}  // namespace

void usage() { fwrite(kUsage, 1, sizeof kUsage - 1, stderr); }

int64_t frame_bytes(int32_t width, int32_t height) {
  // The product fits 62 bits; adding its half, rather than tripling it, stays inside 64.
  int64_t pixels = static_cast<int64_t>(width) * height;
  return pixels + pixels / 2;
}

bool parse_options(int argc, char** argv, const char* ffmpeg_env, Options* opt) {
  for (int i = 1; i < argc;) {
    const char* arg = argv[i];
    if (is_value_option(arg) && i + 1 < argc) {
      if (!store_value(arg, argv[i + 1], opt)) return false;
      i += 2;
    } else if (strcmp(arg, "--no-audio") == 0) {
      opt->audio = 0;
      i += 1;
    } else if (strcmp(arg, "--keep-alive") == 0) {
      opt->keep_alive = 1;
      i += 1;
    } else if (strcmp(arg, "--decoder-log") == 0) {
      opt->decoder_log = 1;
      i += 1;
    } else {
      return false;
    }
  }
  if (!settings_valid(*opt)) return false;
  if (opt->ffmpeg == nullptr) opt->ffmpeg = ffmpeg_env != nullptr ? ffmpeg_env : "ffmpeg";
  return true;
}
