// Sound held back to meet its pictures. The decoder hands a picture over later than the
// sound of the same instant: its parser knows that a frame has ended only when the next
// one begins, and with B-frames its decoder keeps back the frames it reorders. It prints
// the timestamp of each picture and each sound frame as it hands them over (decoder_args);
// how much later the pictures come, measured early in each decoder run, is how long the
// audio pump holds its blocks back for the rest of that run.
#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "intake.h"
#include "process.h"

// Audio is held back by at most this many blocks: with B-frames the pictures may come
// several frame periods after their sound.
constexpr int32_t kMaxHoldBlocks = 25;

// Whole 10 ms blocks nearest to how much later the pictures come. 0 when the sound is
// the later, and when the delay is past kMaxHoldBlocks: timestamps that far apart tell
// of a camera whose clocks disagree, not of the decoder.
int32_t hold_blocks(int64_t delay_ns);

// The current decoder run's hold-back in blocks: 0 until its delay is measured.
int32_t lip_sync_hold();

// A decoder run begins: nothing is held back until its delay is measured again.
void lip_sync_restart();

// One timestamp of the decoder's, from its pair of lines
// "frame:12   pts:108000  pts_time:1.2" and "stream=video" (or "stream=audio").
struct Stamp {
  bool video = false;
  int64_t pts_ns = 0;
};

class StampLines {
 public:
  // True when this line completes a stamp; other lines are passed over.
  bool feed(const std::string& line, Stamp* stamp);

 private:
  int64_t pts_ns_ = 0;
  bool pending_ = false;
};

// How much later the pictures come than their sound: the median of each kind's arrival
// less its timestamp, over the second after the first of a run (past the burst of what
// its probe kept). Once measured it sets the run's hold-back.
struct DelayMeter {
  int64_t first_ns = -1;
  std::vector<int64_t> video;
  std::vector<int64_t> audio;
  bool done = false;

  void stamp(const Stamp& stamp, int64_t now_ns);
};

// Reads the decoder's standard output beside the run and measures the run's hold-back
// from it, starting from none. The pipe is the reader's: it closes it once the hold-back
// is measured or the pipe has ended, and at once when it cannot start (unread, a full
// pipe would stop the decoder). Join the reader once the decoder has ended.
void start_stamp_reader(zal_pipe output, std::thread* reader);

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
