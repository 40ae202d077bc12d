#include "lip_sync.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <system_error>

#include "clock.h"
#include "decoder_log.h"

namespace {

constexpr int64_t kSettleNs = 1000000000;
constexpr int64_t kSpanNs = 1000000000;
constexpr int64_t kBlockNs = 10000000;
constexpr int32_t kRing = kMaxHoldBlocks + 1;

std::atomic<int32_t> gHoldBlocks{0};

int64_t median(std::vector<int64_t>* values) {
  auto middle = values->begin() + static_cast<std::ptrdiff_t>(values->size() / 2);
  std::nth_element(values->begin(), middle, values->end());
  return *middle;
}

// "pts_time:" and the seconds after it, as the decoder prints them ("%.6g"); false for
// NOPTS or anything else.
bool read_pts_ns(const std::string& line, int64_t* pts_ns) {
  static const char kKey[] = "pts_time:";
  size_t at = line.find(kKey);
  if (line.compare(0, 6, "frame:") != 0 || at == std::string::npos) return false;
  const char* text = line.c_str() + at + sizeof kKey - 1;
  char* end = nullptr;
  double seconds = std::strtod(text, &end);
  if (end == text || (*end != '\0' && *end != ' ') || !(seconds > -1e9 && seconds < 1e9))
    return false;
  *pts_ns = static_cast<int64_t>(seconds * 1e9);
  return true;
}

// Once the delay is measured the pipe is closed: the decoder's later lines then fail
// to be written, which it passes over, and the reader costs nothing more.
void read_stamps(zal_pipe output) {
  DecoderLines lines;
  StampLines stamps;
  DelayMeter meter;
  Stamp stamp;
  char buffer[4096];
  long n;
  while (!meter.done && (n = pipe_read(output, buffer, sizeof buffer)) > 0) {
    int64_t now = steady_now_ns();
    for (const std::string& line : lines.feed(buffer, static_cast<size_t>(n))) {
      if (stamps.feed(line, &stamp)) meter.stamp(stamp, now);
    }
  }
  pipe_close(output);
}

}  // namespace

int32_t hold_blocks(int64_t delay_ns) {
  int64_t blocks = (delay_ns + kBlockNs / 2) / kBlockNs;
  return static_cast<int32_t>(blocks < 0 || blocks > kMaxHoldBlocks ? 0 : blocks);
}

int32_t lip_sync_hold() { return gHoldBlocks.load(); }

void lip_sync_restart() { gHoldBlocks.store(0); }

bool StampLines::feed(const std::string& line, Stamp* stamp) {
  bool pending = pending_;
  pending_ = read_pts_ns(line, &pts_ns_);
  if (!pending || pending_) return false;
  if (line != "stream=video" && line != "stream=audio") return false;
  stamp->video = line == "stream=video";
  stamp->pts_ns = pts_ns_;
  return true;
}

void DelayMeter::stamp(const Stamp& stamp, int64_t now) {
  if (done) return;
  if (first_ns < 0) first_ns = now;
  if (now - first_ns < kSettleNs) return;
  if (now - first_ns < kSettleNs + kSpanNs) {
    (stamp.video ? video : audio).push_back(now - stamp.pts_ns);
    return;
  }
  done = true;
  if (video.empty() || audio.empty()) return;
  gHoldBlocks.store(hold_blocks(median(&video) - median(&audio)));
}

void start_stamp_reader(zal_pipe output, std::thread* reader) {
  lip_sync_restart();
  if (output == kNoPipe) return;
  try {
    *reader = std::thread(read_stamps, output);
  } catch (const std::system_error&) {
    pipe_close(output);
  }
}

uint8_t* HeldAudio::incoming() { return reinterpret_cast<uint8_t*>(blocks[(first + count) % kRing]); }

void HeldAudio::keep() { ++count; }

const float* HeldAudio::due(int32_t hold) {
  if (count <= hold) return nullptr;
  const float* oldest = blocks[first];
  first = (first + 1) % kRing;
  --count;
  return oldest;
}
