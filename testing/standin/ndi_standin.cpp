// Stand-in NDI runtime for tests and the demo: it serves the entry table our
// program loads, records every call, and is steered by ZAL_STANDIN_* variables.
// It is not the vendor's runtime and sends nothing over the network.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <set>
#include <thread>
#include <utility>

#include "standin_capture.h"
#include "standin_json.h"
#include "standin_records.h"

#ifdef _WIN32
#define STANDIN_EXPORT extern "C" __declspec(dllexport)
#else
#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace standin {
namespace {

const char kDefaultVersion[] = "zal-standin 6.0.0 (stand-in)";

struct Instance {
  bool count_mode = false;
  int64_t video_delay_us = 0;      // opt-in slow video send, read once per sender
  std::string count_dir;           // where count mode writes at destroy; empty = nowhere
  std::unique_ptr<TimeLog> times;  // count mode only
  std::unique_ptr<TimeLog> audio_times;
  std::atomic<int64_t> video_frames{0};
  std::atomic<int64_t> audio_blocks{0};
  std::atomic<int64_t> connections_calls{0};
};

int64_t now_ns() {
  // steady_clock is CLOCK_MONOTONIC on Linux, so other processes can compare.
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Misuse is reported, never fatal: the program under test must not crash here.
void report(const char* call, const char* problem, const void* instance = nullptr) {
  complain(call, problem);
  JsonLine line(call);
  if (instance != nullptr) line.str("instance", address(instance));
  capture_line(line.str("error", problem).finish());
}

// Live instances, so a stale or foreign pointer is reported instead of used.
std::mutex& registry_mutex() {
  static std::mutex mutex;
  return mutex;
}

std::set<const void*>& registry() {
  static std::set<const void*> live;
  return live;
}

Instance* lookup(void* p, const char* call) {
  if (p == nullptr) {
    report(call, "null instance");
    return nullptr;
  }
  bool live;
  {
    std::lock_guard<std::mutex> lock(registry_mutex());
    live = registry().count(p) != 0;
  }
  if (!live) report(call, "unknown or destroyed instance", p);
  return live ? static_cast<Instance*>(p) : nullptr;
}

bool initialize() {
  const bool result = !env_is("ZAL_STANDIN_INIT", "fail");
  capture_line(JsonLine("initialize").flag("result", result).finish());
  return result;
}

const char* version() {
  capture_line(JsonLine("version").finish());
  const char* v = std::getenv("ZAL_STANDIN_VERSION");
  return v != nullptr ? v : kDefaultVersion;
}

std::string create_line(const NDIlib_send_create_t* s, const void* instance) {
  JsonLine line("send_create");
  if (s == nullptr) {
    line.null("p_create_settings");
  } else {
    line.str("p_ndi_name", s->p_ndi_name);
    if (s->p_ndi_name != nullptr) {
      line.str("p_ndi_name_hex", bytes_hex(s->p_ndi_name));
    } else {
      line.null("p_ndi_name_hex");
    }
    line.str("p_groups", s->p_groups)
        .flag("clock_video", s->clock_video)
        .flag("clock_audio", s->clock_audio);
  }
  if (instance == nullptr) return line.null("instance").finish();
  return line.str("instance", address(instance)).finish();
}

void* send_create(const NDIlib_send_create_t* settings) {
  if (env_is("ZAL_STANDIN_CREATE", "fail")) {
    capture_line(create_line(settings, nullptr));
    return nullptr;
  }
  auto* inst = new Instance;
  inst->count_mode = count_mode();
  inst->video_delay_us = env_int("ZAL_STANDIN_VIDEO_DELAY_US", 0);
  if (inst->count_mode) {
    const char* dir = env("ZAL_STANDIN_CAPTURE");
    inst->count_dir = dir != nullptr ? dir : "";
    inst->times = std::make_unique<TimeLog>();
    inst->audio_times = std::make_unique<TimeLog>();
  }
  {
    std::lock_guard<std::mutex> lock(registry_mutex());
    registry().insert(inst);
  }
  capture_line(create_line(settings, inst));
  return inst;
}

void send_destroy(void* p) {
  if (p == nullptr) return report("send_destroy", "null instance");
  size_t erased;
  {
    std::lock_guard<std::mutex> lock(registry_mutex());
    erased = registry().erase(p);
  }
  if (erased == 0) return report("send_destroy", "unknown or destroyed instance", p);
  auto* inst = static_cast<Instance*>(p);
  const Counts counts{inst->video_frames.load(), inst->audio_blocks.load(),
                      inst->connections_calls.load()};
  if (inst->count_mode && !inst->count_dir.empty()) {
    write_count_files(inst->count_dir.c_str(), counts, *inst->times, *inst->audio_times);
  } else if (!inst->count_mode) {
    capture_line(JsonLine("send_destroy")
                     .str("instance", address(p))
                     .num("video_frames", counts.video_frames)
                     .num("audio_blocks", counts.audio_blocks)
                     .finish());
  }
  delete inst;
}

// Like the vendor's runtime, waits up to the timeout while nobody is connected.
int send_get_no_connections(void* p, uint32_t timeout_ms) {
  Instance* inst = lookup(p, "connections");
  if (inst == nullptr) return 0;
  const bool quiet = inst->count_mode;
  inst->connections_calls.fetch_add(1, std::memory_order_relaxed);
  const int result = static_cast<int>(env_int("ZAL_STANDIN_CONNECTIONS", 0));
  if (result == 0 && timeout_ms > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
  }
  if (quiet) return result;  // `inst` may be gone after the wait; only `p` is used below
  capture_line(JsonLine("connections")
                   .str("instance", address(p))
                   .num("timeout_ms", timeout_ms)
                   .num("result", result)
                   .finish());
  return result;
}

// --- video ---

// The recorded picture: NV12 repacked to stride xres.
struct Picture {
  const uint8_t* data;
  int64_t xres;
  int64_t yres;
  int64_t stride;
  int64_t bytes() const { return stride == xres ? xres * yres * 3 / 2 : xres * (yres + yres / 2); }
};

// Null when the record cannot be read safely.
const char* picture_of(const NDIlib_video_frame_v2_t& f, Picture& pic) {
  if (f.p_data == nullptr) return "null p_data";
  if (f.xres <= 0 || f.yres <= 0) return "bad frame size";
  const int64_t stride = f.line_stride_in_bytes == 0 ? f.xres : f.line_stride_in_bytes;
  if (stride < f.xres) return "line stride shorter than a line";
  pic = Picture{f.p_data, f.xres, f.yres, stride};
  return nullptr;
}

// Calls fn(pointer, size) over the picture's bytes in packed order.
template <class Fn>
void for_each_span(const Picture& pic, Fn&& fn) {
  if (pic.stride == pic.xres) return fn(pic.data, static_cast<size_t>(pic.bytes()));
  const int64_t rows = pic.yres + pic.yres / 2;  // luma rows, then interleaved chroma rows
  for (int64_t r = 0; r < rows; ++r) fn(pic.data + r * pic.stride, static_cast<size_t>(pic.xres));
}

// The benchmark writer stamps its send time in the first 8 bytes, little-endian.
uint64_t first8(const Picture& pic) {
  if (pic.bytes() < 8) return 0;
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= uint64_t{pic.data[i]} << (8 * i);
  return v;
}

void count_video(Instance& inst, const Picture& pic, int64_t t_ns) {
  const auto index = inst.video_frames.fetch_add(1, std::memory_order_relaxed);
  inst.times->record(static_cast<uint64_t>(index), TimeLog::Entry{t_ns, first8(pic)});
}

std::string video_line(int64_t seq, const void* p, const NDIlib_video_frame_v2_t& f, int64_t bytes,
                       uint64_t hash, int64_t t_ns) {
  return JsonLine("video")
      .num("seq", seq)
      .str("instance", address(p))
      .num("xres", f.xres)
      .num("yres", f.yres)
      .num("FourCC", f.FourCC)
      .num("frame_rate_N", f.frame_rate_N)
      .num("frame_rate_D", f.frame_rate_D)
      .real("picture_aspect_ratio", f.picture_aspect_ratio)
      .num("frame_format_type", f.frame_format_type)
      .num("timecode", f.timecode)
      .str("p_data", address(f.p_data))
      .num("line_stride_in_bytes", f.line_stride_in_bytes)
      .str("p_metadata", f.p_metadata)
      .num("timestamp", f.timestamp)
      .num("bytes", bytes)
      .str("fnv1a64", hex(hash, 16))
      .num("t_ns", t_ns)
      .finish();
}

void send_video(void* p, const NDIlib_video_frame_v2_t* frame) {
  const int64_t t_ns = now_ns();
  Instance* inst = lookup(p, "video");
  if (inst == nullptr) return;
  if (frame == nullptr) return report("video", "null frame", p);
  Picture pic{};
  if (const char* problem = picture_of(*frame, pic)) return report("video", problem, p);
  // Opt-in slow receiver, so tests can make the decoder outpace the runtime.
  if (inst->video_delay_us > 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(inst->video_delay_us));
  }
  if (inst->count_mode) return count_video(*inst, pic, t_ns);

  uint64_t hash = kFnvOffset;  // hashed before locking: it is the slow part
  for_each_span(pic, [&](const uint8_t* d, size_t n) { hash = fnv1a64(d, n, hash); });
  const int64_t max_frames = env_int("ZAL_STANDIN_MAX_FRAMES", -1);
  std::lock_guard<std::mutex> lock(capture_mutex());
  const int64_t seq = inst->video_frames.fetch_add(1);  // under the lock: lines stay in seq order
  CaptureFiles* files = open_capture();
  if (files == nullptr) return;
  put_line(*files, video_line(seq, p, *frame, pic.bytes(), hash, t_ns));
  if (max_frames >= 0 && seq >= max_frames) return;
  for_each_span(pic, [&](const uint8_t* d, size_t n) { put_bytes(files->video, d, n); });
  std::fflush(files->video);
}

// --- audio ---

// The latency bench marks its sound with a tone burst out of silence: the samples of the
// first channel before the first loud one (no_samples when all are quiet).
uint64_t quiet_samples(const NDIlib_audio_frame_v2_t& f) {
  if (f.p_data == nullptr || f.no_channels < 1) return 0;
  const int n = std::min(f.no_samples, f.channel_stride_in_bytes / 4);
  for (int i = 0; i < n; ++i) {
    if (std::fabs(f.p_data[i]) >= 0.1f) return static_cast<uint64_t>(i);
  }
  return static_cast<uint64_t>(std::max(f.no_samples, 0));
}

void count_audio(Instance& inst, const NDIlib_audio_frame_v2_t& f, int64_t t_ns) {
  const auto index = inst.audio_blocks.fetch_add(1, std::memory_order_relaxed);
  inst.audio_times->record(static_cast<uint64_t>(index), TimeLog::Entry{t_ns, quiet_samples(f)});
}

std::string audio_line(int64_t seq, const void* p, const NDIlib_audio_frame_v2_t& f, uint64_t hash,
                       int64_t t_ns) {
  return JsonLine("audio")
      .num("seq", seq)
      .str("instance", address(p))
      .num("sample_rate", f.sample_rate)
      .num("no_channels", f.no_channels)
      .num("no_samples", f.no_samples)
      .num("timecode", f.timecode)
      .str("p_data", address(f.p_data))
      .num("channel_stride_in_bytes", f.channel_stride_in_bytes)
      .str("p_metadata", f.p_metadata)
      .num("timestamp", f.timestamp)
      .str("fnv1a64", hex(hash, 16))
      .num("t_ns", t_ns)
      .finish();
}

void send_audio(void* p, const NDIlib_audio_frame_v2_t* frame) {
  const int64_t t_ns = now_ns();
  Instance* inst = lookup(p, "audio");
  if (inst == nullptr) return;
  if (frame == nullptr) return report("audio", "null frame", p);
  const int64_t bytes = int64_t{frame->no_channels} * frame->channel_stride_in_bytes;
  if (frame->no_channels < 0 || frame->channel_stride_in_bytes < 0) {
    return report("audio", "negative channel count or stride", p);
  }
  if (bytes > 0 && frame->p_data == nullptr) return report("audio", "null p_data", p);
  if (inst->count_mode) return count_audio(*inst, *frame, t_ns);
  const uint64_t hash = fnv1a64(frame->p_data, static_cast<size_t>(bytes));
  std::lock_guard<std::mutex> lock(capture_mutex());
  const int64_t seq = inst->audio_blocks.fetch_add(1);
  CaptureFiles* files = open_capture();
  if (files == nullptr) return;
  put_line(*files, audio_line(seq, p, *frame, hash, t_ns));
  put_bytes(files->audio, frame->p_data, static_cast<size_t>(bytes));
  std::fflush(files->audio);
}

// --- the table ---

struct Table {
  const void* slots[position::kTableSize];
};

// The cast to the declared type checks each signature at compile time.
template <class Fn>
const void* slot(Fn fn) {
  return reinterpret_cast<const void*>(fn);
}

// Every other position answers with a record instead of a crash, so a call made
// through a wrong position is named in the capture. Whatever the caller passed is
// ignored, and the 0 returned reads as false, null or no connections.
template <int N>
intptr_t unserved() {
  complain("unserved", "call through a position the runtime does not serve");
  capture_line(JsonLine("unserved").num("position", N).str("error", "no entry here").finish());
  return 0;
}

template <int... N>
void fill_unserved(Table& t, std::integer_sequence<int, N...>) {
  ((t.slots[N] = slot(&unserved<N>)), ...);
}

[[maybe_unused]] Table make_table() {  // unused in the incompatible build
  Table t{};
  fill_unserved(t, std::make_integer_sequence<int, position::kTableSize>{});
  t.slots[position::kInitialize] = slot<InitializeFn>(&initialize);
  t.slots[position::kVersion] = slot<VersionFn>(&version);
  t.slots[position::kSendCreate] = slot<SendCreateFn>(&send_create);
  t.slots[position::kSendDestroy] = slot<SendDestroyFn>(&send_destroy);
  t.slots[position::kSendGetNoConnections] = slot<SendGetNoConnectionsFn>(&send_get_no_connections);
  t.slots[position::kSendVideoV2] = slot<SendVideoFn>(&send_video);
  t.slots[position::kSendAudioV2] = slot<SendAudioFn>(&send_audio);
  return t;
}

}  // namespace
}  // namespace standin

#ifndef ZAL_STANDIN_OMIT_LOAD
STANDIN_EXPORT const void* const* NDIlib_v6_load(void) {
  using namespace standin;
  static const Table table = make_table();
  const bool give = !env_is("ZAL_STANDIN_LOAD", "null");
  capture_line(JsonLine("load").flag("table", give).finish());
  return give ? table.slots : nullptr;
}
#else
// A runtime of another interface version: loadable, but without the entry we need.
STANDIN_EXPORT int zal_standin_incompatible(void) {
  return 1;
}
#endif
