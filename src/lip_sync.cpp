#include "lip_sync.h"

#include <atomic>

namespace {

constexpr int64_t kSettleNs = 2000000000;
constexpr int64_t kSpanNs = 2000000000;
constexpr int32_t kRing = kMaxHoldBlocks + 1;

std::atomic<int32_t> gHoldBlocks{0};

}  // namespace

int32_t hold_blocks(int64_t frame_period_ns) {
  constexpr int64_t kBlockNs = 10000000;
  int64_t blocks = (frame_period_ns + kBlockNs / 2) / kBlockNs;
  return static_cast<int32_t>(blocks < 0 ? 0 : blocks > kMaxHoldBlocks ? kMaxHoldBlocks : blocks);
}

int32_t lip_sync_hold() { return gHoldBlocks.load(); }

void lip_sync_restart() { gHoldBlocks.store(0); }

void PeriodMeter::frame(int64_t now) {
  if (done) return;
  if (first_ns < 0) first_ns = now;
  if (from_ns < 0) {
    if (now - first_ns >= kSettleNs) from_ns = now;
    return;
  }
  ++frames;
  if (now - from_ns < kSpanNs) return;
  gHoldBlocks.store(hold_blocks((now - from_ns) / frames));
  done = true;
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
