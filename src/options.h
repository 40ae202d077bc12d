// Command line -> the one settings record.
#pragma once

#include <cstdint>

#include "numbers.h"

struct Options {
  const char* input;   // stream address handed to the decoder after -i
  const char* name;    // NDI source name
  const char* ffmpeg;  // decoder program, path or bare name
  int32_t audio;       // 1 = audio is carried, 0 = video only
  int32_t width;
  int32_t height;
  int32_t fps;  // frame rate numerator announced to NDI
  int32_t fps_denominator = 1;
  const char* groups = nullptr;  // NDI groups; null: the runtime's default
  // 1 = the source outlives the decoder, with a slate while the camera is away.
  int32_t keep_alive = 0;
  // The slate's background picture (with keep_alive), or null.
  const char* slate = nullptr;
  // 1 = the decoder's standard error comes out as event lines.
  int32_t decoder_log = 0;
  // Where a small JPEG of what goes out is kept, or null.
  const char* thumbnail = nullptr;
};

constexpr Options kDefaultOptions = {nullptr, "ZAL Program", nullptr, 1, 1920, 1080, 30};

extern Options gOpt;

// Writes the usage line to standard error in one write.
void usage();

// Fills *opt from the arguments and resolves the decoder program (ffmpeg_env is
// the value of FFMPEG_BIN, or null when it is not set). Returns false on any
// usage error; the caller then calls usage() and exits with 64.
bool parse_options(int argc, char** argv, const char* ffmpeg_env, Options* opt);

// Bytes of one NV12 frame, computed in 64 bits.
int64_t frame_bytes(int32_t width, int32_t height);
