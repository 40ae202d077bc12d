// Sound held back to meet its pictures. The decoder hands each picture over a frame
// late: its parser knows that a frame has ended only when the next one begins. Its
// sound comes at once, so the audio pump holds its blocks back by one frame period,
// measured by the video pump over each decoder run, then fixed for that run.
#pragma once

#include <cstdint>

#include "intake.h"

// Audio is held back by at most this many blocks: one frame period down to 10 frames/s.
constexpr int32_t kMaxHoldBlocks = 10;

// Whole 10 ms blocks nearest to one frame period, within 0 and kMaxHoldBlocks.
int32_t hold_blocks(int64_t frame_period_ns);

// The current decoder run's hold-back in blocks: 0 until its period is measured.
int32_t lip_sync_hold();

// A decoder run begins: nothing is held back until its period is measured again.
void lip_sync_restart();

// The frame period over the frames of seconds 2 to 4 of a decoder run: past the burst of
// those the decoder's probe kept, and long enough to even out pictures that come in
// groups. Once measured it sets the run's hold-back.
struct PeriodMeter {
  int64_t first_ns = -1;
  int64_t from_ns = -1;
  int64_t frames = 0;  // since from_ns
  bool done = false;

  void frame(int64_t now_ns);
};

// The blocks received but not yet sent: at most the hold-back and the one coming in.
struct HeldAudio {
  float blocks[kMaxHoldBlocks + 1][kAudioSamples * kAudioChannels];
  int32_t first = 0;
  int32_t count = 0;

  // Where the next block is received; keep() then adds it to those held.
  uint8_t* incoming();
  void keep();
  // The oldest block once more than `hold` are held, taken out; null otherwise. It stays
  // valid until the next block is received.
  const float* due(int32_t hold);
  void clear() { count = 0; }
};
