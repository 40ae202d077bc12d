#include "standin_capture.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "standin_json.h"

namespace standin {

const char* env(const char* name) {
  const char* value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? value : nullptr;
}

bool env_is(const char* name, const char* value) {
  const char* v = env(name);
  return v != nullptr && std::strcmp(v, value) == 0;
}

int64_t env_int(const char* name, int64_t fallback) {
  const char* v = env(name);
  if (v == nullptr) return fallback;
  char* end = nullptr;
  const long long n = std::strtoll(v, &end, 10);
  return (*end == '\0') ? n : fallback;
}

bool count_mode() {
  return env_is("ZAL_STANDIN_MODE", "count");
}

void complain(const char* call, const char* problem) {
  std::fprintf(stderr, "zal-standin: %s: %s\n", call, problem);
}

void put_line(CaptureFiles& files, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), files.calls);
  std::fflush(files.calls);
}

void put_bytes(FILE* file, const void* data, size_t size) {
  if (size == 0) return;
  std::fwrite(data, 1, size, file);
}

std::mutex& capture_mutex() {
  static std::mutex mutex;
  return mutex;
}

namespace {

bool make_dir(const char* dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return !ec || std::filesystem::is_directory(dir, ec);
}

FILE* open_in(const std::string& dir, const char* name, const char* mode) {
  return std::fopen((std::filesystem::path(dir) / name).string().c_str(), mode);
}

// Closes its files when the library is unloaded.
struct OpenCapture {
  std::string dir;  // last directory tried, even if opening failed
  CaptureFiles files;
  bool ok = false;

  ~OpenCapture() { close(); }
  void close() {
    for (FILE* f : {files.calls, files.video, files.audio}) {
      if (f != nullptr) std::fclose(f);
    }
    files = CaptureFiles{};
    ok = false;
  }
  // Appends, so a directory shared by several loads keeps every record.
  void open(const char* where) {
    close();
    dir = where;
    if (!make_dir(where)) return complain("capture", "cannot create the capture directory");
    files.calls = open_in(dir, "calls.jsonl", "ab");
    files.video = open_in(dir, "video.nv12", "ab");
    files.audio = open_in(dir, "audio.f32", "ab");
    ok = files.calls != nullptr && files.video != nullptr && files.audio != nullptr;
    if (!ok) complain("capture", "cannot open the capture files");
  }
};

OpenCapture& current() {
  static OpenCapture capture;
  return capture;
}

}  // namespace

CaptureFiles* open_capture() {
  const char* dir = env("ZAL_STANDIN_CAPTURE");
  if (dir == nullptr || count_mode()) return nullptr;
  OpenCapture& c = current();
  if (c.dir != dir) c.open(dir);  // a failed directory is not retried on every call
  return c.ok ? &c.files : nullptr;
}

TimeLog::TimeLog() {
  for (auto& chunk : chunks_) chunk.store(nullptr, std::memory_order_relaxed);
  chunks_[0].store(new Entry[kChunkSize], std::memory_order_relaxed);
}

TimeLog::~TimeLog() {
  for (auto& chunk : chunks_) delete[] chunk.load(std::memory_order_relaxed);
}

void TimeLog::record(uint64_t index, Entry entry) {
  const uint64_t n = index >> kChunkBits;
  if (n >= kMaxChunks) return;  // counted, but no room for its time
  Entry* chunk = chunks_[n].load(std::memory_order_acquire);
  if (chunk == nullptr) {
    auto* fresh = new Entry[kChunkSize];
    if (chunks_[n].compare_exchange_strong(chunk, fresh, std::memory_order_acq_rel)) {
      chunk = fresh;
    } else {
      delete[] fresh;  // another thread won; `chunk` now holds its pointer
    }
  }
  chunk[index & (kChunkSize - 1)] = entry;
}

bool TimeLog::write(FILE* file, uint64_t count) const {
  count = std::min<uint64_t>(count, kMaxChunks * kChunkSize);
  for (uint64_t i = 0; i < count; ++i) {
    const Entry* chunk = chunks_[i >> kChunkBits].load(std::memory_order_acquire);
    if (chunk == nullptr) return false;
    const Entry& e = chunk[i & (kChunkSize - 1)];
    const std::string line = std::to_string(e.t_ns) + ' ' + std::to_string(e.first8) + '\n';
    if (std::fwrite(line.data(), 1, line.size(), file) != line.size()) return false;
  }
  return true;
}

namespace {

bool write_times(const char* dir, const char* name, const TimeLog& times, int64_t count) {
  FILE* f = open_in(dir, name, "wb");
  bool ok = f != nullptr && times.write(f, static_cast<uint64_t>(count));
  if (f != nullptr) ok = (std::fclose(f) == 0) && ok;
  return ok;
}

}  // namespace

void write_count_files(const char* dir, const Counts& counts, const TimeLog& video_times,
                       const TimeLog& audio_times) {
  if (!make_dir(dir)) return complain("send_destroy", "cannot create the capture directory");
  const std::string json = "{\"video_frames\":" + std::to_string(counts.video_frames) +
                           ",\"audio_blocks\":" + std::to_string(counts.audio_blocks) +
                           ",\"connections_calls\":" + std::to_string(counts.connections_calls) +
                           "}\n";
  FILE* f = open_in(dir, "counts.json", "wb");
  bool ok = f != nullptr && std::fwrite(json.data(), 1, json.size(), f) == json.size();
  if (f != nullptr) ok = (std::fclose(f) == 0) && ok;
  ok = write_times(dir, "video_times.txt", video_times, counts.video_frames) && ok;
  ok = write_times(dir, "audio_times.txt", audio_times, counts.audio_blocks) && ok;
  if (!ok) complain("send_destroy", "cannot write the count files");
}

}  // namespace standin
