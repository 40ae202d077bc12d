#include "intake.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <memory>
#include <new>

#include "ZALNDI.h"
#include "options.h"
#include "state.h"
#include "thumbnail.h"

bool recv_exact(zal_socket s, uint8_t* buffer, int64_t length) {
  int64_t filled = 0;
  while (filled < length) {
    int64_t want = length - filled;
    int32_t n = sock_recv(s, buffer + filled, want > INT32_MAX ? INT32_MAX : static_cast<int32_t>(want));
    if (n <= 0) return false;
    filled += n;
  }
  return true;
}

namespace {

// Audio is held back by at most this many blocks: one frame period down to 10 frames/s.
constexpr int32_t kMaxHoldBlocks = 10;

// Whole 10 ms blocks nearest to one frame period.
int32_t hold_blocks(int64_t frame_period_ns) {
  constexpr int64_t kBlockNs = 10000000;
  int64_t blocks = (frame_period_ns + kBlockNs / 2) / kBlockNs;
  return static_cast<int32_t>(blocks < 0 ? 0 : blocks > kMaxHoldBlocks ? kMaxHoldBlocks : blocks);
}

// The decoder hands each picture over a frame late: its parser knows that a frame has
// ended only when the next one begins. Its sound comes at once, so the audio pump holds
// its blocks back by one frame period, measured by the video pump once, then fixed.
std::atomic<int32_t> gHoldBlocks{0};

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The frame period over the frames of seconds 2 to 4: past the burst of those the
// decoder's probe kept, and long enough to even out pictures that come in groups.
struct PeriodMeter {
  static constexpr int64_t kSettleNs = 2000000000;
  static constexpr int64_t kSpanNs = 2000000000;
  int64_t first_ns = -1;
  int64_t from_ns = -1;
  int64_t frames = 0;  // since from_ns
  bool done = false;

  void frame() {
    if (done) return;
    int64_t now = now_ns();
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
};

// The blocks received but not yet sent: at most the hold-back and the one coming in.
struct HeldAudio {
  float blocks[kMaxHoldBlocks + 1][kAudioSamples * kAudioChannels];
  int32_t first = 0;
  int32_t count = 0;

  uint8_t* incoming() { return reinterpret_cast<uint8_t*>(blocks[(first + count) % (kMaxHoldBlocks + 1)]); }
  void send_oldest() {
    zal_ndi_send_audio_interleaved(gSender, blocks[first], kAudioSamples, kAudioChannels, kAudioRate);
    first = (first + 1) % (kMaxHoldBlocks + 1);
    --count;
  }
};

}  // namespace

int video_thread(void* socket) {
  zal_socket s = *static_cast<zal_socket*>(socket);
  int64_t size = frame_bytes(gOpt.width, gOpt.height);
  // One buffer for the whole run: frames land in it and NDI reads them from it.
  std::unique_ptr<uint8_t[]> frame(new (std::nothrow) uint8_t[size]);
  PeriodMeter period;
  while (frame && gStop.load() == 0) {
    if (!recv_exact(s, frame.get(), size)) break;
    period.frame();
    zal_ndi_send_video_nv12(gSender, frame.get(), gOpt.width, gOpt.height, gOpt.fps,
                            gOpt.fps_denominator);
    gFrames.fetch_add(1);
    thumbnail_frame(frame.get());
  }
  return 0;
}

int audio_thread(void* socket) {
  zal_socket s = *static_cast<zal_socket*>(socket);
  std::unique_ptr<HeldAudio> held(new (std::nothrow) HeldAudio);
  if (!held) return 0;
  while (gStop.load() == 0) {
    if (!recv_exact(s, held->incoming(), kAudioBlockBytes)) break;
    ++held->count;
    // The hold-back only grows, once: one block out for each block in after that.
    while (held->count > gHoldBlocks.load()) held->send_oldest();
  }
  // Every block received is sent, as without the hold-back.
  while (held->count > 0) held->send_oldest();
  return 0;
}
