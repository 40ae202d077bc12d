// The ceiling for the benchmark: the program's intake with nothing behind it.
// Same options, same decoder argument list and start-up (src/decoder*.cpp), same
// socket calls (src/net_posix.cpp), same receive loop into one buffer; each whole
// frame is then discarded instead of handed to NDI.
//
//   bare_receiver <times-file> <zal-ndi-send options...>
//
// Prints {"event":"started"} once the decoder is connected, stops when stdin is
// closed, then writes one "<t_ns> <first8>" line per frame (the format of the
// stand-in's video_times.txt: receive-complete time and the frame's first 8 bytes).
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "decoder.h"
#include "net.h"
#include "options.h"

namespace {

struct Entry {
  int64_t t_ns;
  uint64_t first8;
};

int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Same as the program's stop watch: end of stdin kills the decoder, which ends the stream.
void watch_stdin() {
  char line[256];
  while (read(0, line, sizeof line) > 0) {
  }
  kill_child();
}

bool write_times(const char* path, const std::vector<Entry>& times) {
  FILE* f = fopen(path, "w");
  if (f == nullptr) return false;
  for (const Entry& e : times) {
    fprintf(f, "%lld %llu\n", static_cast<long long>(e.t_ns),
            static_cast<unsigned long long>(e.first8));
  }
  return fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !parse_options(argc - 1, argv + 1, getenv("FFMPEG_BIN"), &gOpt)) {
    fprintf(stderr, "usage: bare_receiver <times-file> <zal-ndi-send options>\n");
    return 64;
  }
  int32_t port = 0;
  zal_socket listener = listen_local(&port);
  if (listener == kNoSocket || !decoder_start(decoder_args(gOpt, port, 0))) {
    fprintf(stderr, "bare_receiver: cannot listen or start the decoder\n");
    return 3;
  }
  zal_socket s = accept_timeout(listener);
  sock_close(listener);
  if (s == kNoSocket) {
    kill_child();
    wait_child();
    decoder_output_end();
    return 3;
  }
  printf("{\"event\":\"started\"}\n");
  fflush(stdout);
  std::thread(watch_stdin).detach();

  const int64_t size = frame_bytes(gOpt.width, gOpt.height);
  std::unique_ptr<uint8_t[]> frame(new uint8_t[size]);
  std::vector<Entry> times;
  times.reserve(1 << 20);  // address space only; pages are touched as frames come
  for (;;) {
    int64_t filled = 0;
    while (filled < size) {
      int32_t n = sock_recv(s, frame.get() + filled, static_cast<int32_t>(size - filled));
      if (n <= 0) break;
      filled += n;
    }
    if (filled < size) break;
    uint64_t first8;
    memcpy(&first8, frame.get(), 8);  // little-endian, as the stand-in reads it
    times.push_back(Entry{now_ns(), first8});
  }
  sock_close(s);
  int32_t code = wait_child();
  decoder_output_end();
  bool ok = write_times(argv[1], times);
  printf("{\"event\":\"exit\",\"ffmpeg\":%d,\"frames\":%zu}\n", code, times.size());
  fflush(stdout);
  return ok ? 0 : 1;
}
