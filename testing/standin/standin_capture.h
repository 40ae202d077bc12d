// Where the stand-in's records go: environment steering, the capture files,
// and the in-memory time log of the benchmark (count) mode.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace standin {

const char* env(const char* name);  // null when unset
bool env_is(const char* name, const char* value);
int64_t env_int(const char* name, int64_t fallback);
bool count_mode();                                     // ZAL_STANDIN_MODE=count
void complain(const char* call, const char* problem);  // to stderr, never fatal

struct CaptureFiles {
  FILE* calls = nullptr;  // calls.jsonl
  FILE* video = nullptr;  // video.nv12
  FILE* audio = nullptr;  // audio.f32
};

// Flushed at once so a reader sees every finished call, even after a crash.
void put_line(CaptureFiles& files, const std::string& line);
void put_bytes(FILE* file, const void* data, size_t size);

std::mutex& capture_mutex();
// The files of ZAL_STANDIN_CAPTURE, reopened when it changes; null when
// per-call capture is off. Caller holds capture_mutex().
CaptureFiles* open_capture();

// Runs fn(files) under the one lock that keeps lines and raw data in call order.
template <class Fn>
void with_capture(Fn&& fn) {
  std::lock_guard<std::mutex> lock(capture_mutex());
  if (CaptureFiles* files = open_capture()) fn(*files);
}

inline void capture_line(const std::string& line) {
  with_capture([&](CaptureFiles& f) { put_line(f, line); });
}

// Per-frame times for the benchmark: lock-free, grows one chunk at a time.
class TimeLog {
 public:
  struct Entry {
    int64_t t_ns;
    uint64_t first8;
  };
  TimeLog();
  ~TimeLog();
  TimeLog(const TimeLog&) = delete;
  TimeLog& operator=(const TimeLog&) = delete;

  void record(uint64_t index, Entry entry);
  // Writes "<t_ns> <first8>" lines for the first `count` frames.
  bool write(FILE* file, uint64_t count) const;

 private:
  static constexpr int kChunkBits = 16;
  static constexpr uint64_t kChunkSize = uint64_t{1} << kChunkBits;
  static constexpr size_t kMaxChunks = 4096;  // 2^28 frames, over 1000 hours at 60 fps
  std::atomic<Entry*> chunks_[kMaxChunks];
};

struct Counts {
  int64_t video_frames;
  int64_t audio_blocks;
  int64_t connections_calls;
};

// counts.json, video_times.txt and audio_times.txt in `dir`, replacing earlier ones.
void write_count_files(const char* dir, const Counts& counts, const TimeLog& video_times,
                       const TimeLog& audio_times);

}  // namespace standin
