// The CPU of one thumbnail, apart from the run: the video path's sampled copy of a frame,
// and the writer's conversion and JPEG encoding, on this thread's CPU clock (Linux).
// Built and run by bench/thumbnail_cpu.py against the build's libzalsend.a.
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "thumbnail.h"

namespace {

double cpu_ms() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  int width = argc > 2 ? atoi(argv[1]) : 1920, height = argc > 2 ? atoi(argv[2]) : 1080;
  const int reps = 200;
  // The fake decoder's pattern: detail everywhere, as hard on the encoder as a busy picture.
  std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 3 / 2);
  for (size_t i = 0; i < frame.size(); ++i)
    frame[i] = static_cast<uint8_t>((i * 7 + (i >> 11)) & 0xFF);
  Thumb taken;
  double start = cpu_ms();
  for (int i = 0; i < reps; ++i) thumb_take(frame.data(), width, height, &taken);
  double copied = cpu_ms();
  size_t bytes = 0;
  for (int i = 0; i < reps; ++i) {
    Thumb thumb = taken;
    thumb_to_rgb(&thumb);
    bytes += thumb_jpeg(thumb).size();
  }
  double encoded = cpu_ms();
  printf("{\"copy_ms\": %.4f, \"encode_ms\": %.4f, \"jpeg_bytes\": %zu}\n", (copied - start) / reps,
         (encoded - copied) / reps, bytes / reps);
  return 0;
}
