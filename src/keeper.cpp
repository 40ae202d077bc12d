#include "keeper.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "ZALNDI.h"
#include "clock.h"
#include "intake.h"
#include "lip_sync.h"
#include "options.h"
#include "slate.h"
#include "state.h"
#include "thumbnail.h"

namespace {

constexpr int64_t kMs = 1000000;
// The camera counts as away once its feed has sent nothing for this long.
constexpr int64_t kAwayAfterNs = 1000 * kMs;
// A camera's sound may pause this long before silence fills in, or 10 ms more than its
// longest pause of the last second or two: a decoder that hands sound over 70 ms at a time
// is not padded between its bursts, which would send more sound than time passes.
constexpr int64_t kAudioGapNs = 40 * kMs;
constexpr int64_t kAudioGapMaxNs = 200 * kMs;
constexpr int64_t kAudioWindowNs = 1000 * kMs;
constexpr int64_t kAudioBlockNs = 10 * kMs;
// Silence goes out in batches of up to this much.
constexpr int64_t kAudioBatchNs = 30 * kMs;

// The picture side, under gVideoLock; only one video pump runs at a time.
struct VideoState {
  Slate* slate = nullptr;
  int64_t period_ns = 0;
  std::unique_ptr<uint8_t[]> frames[2];  // the pump fills one while the other may be repeated
  int last = -1;                         // the camera's last frame, or -1
  bool feed_open = false;                // a decoder's video connection is being read
  int64_t feed_frame_ns = 0;             // its last frame; 0 before its first
  int64_t camera_ns = 0;                 // the camera's last frame of the run
  int64_t started_ns = 0;
  int64_t repeat_due_ns = 0;
  int64_t slate_due_ns = 0;
  int64_t slate_since_ns = 0;
  std::string reason;
};

struct AudioState {
  bool on = false;
  int64_t sent_ns = 0;  // when the last block went out (nominally, while filling)
  // The camera's last block, and its longest pauses between blocks in this window and the
  // one before; a pause too long to be its cadence does not count.
  int64_t camera_ns = 0;
  int64_t window_ns = 0;
  int64_t pause_now_ns = 0;
  int64_t pause_before_ns = 0;
  bool filling = false;
};

std::mutex gVideoLock;
VideoState gVideo;
std::mutex gAudioLock;
AudioState gAudio;
std::atomic<int> gPicture{static_cast<int>(Picture::kSlate)};

std::mutex gWakeLock;
std::condition_variable gWake;
bool gQuit = false;  // under gWakeLock
std::thread gThread;

bool camera_live(const VideoState& v, int64_t now) {
  return v.feed_open && v.feed_frame_ns != 0 && now - v.feed_frame_ns < kAwayAfterNs;
}

void send_video(const uint8_t* frame) {
  zal_ndi_send_video_nv12(gSender, frame, gOpt.width, gOpt.height, gOpt.fps, gOpt.fps_denominator);
  gFrames.fetch_add(1);
  // Camera, repeat or slate: the thumbnail shows whatever goes out.
  thumbnail_frame(frame);
}

// Sends the last camera frame again when the feed is late; the next time it is due.
int64_t repeat_frame(VideoState* v, int64_t now) {
  if (now >= v->repeat_due_ns) {
    send_video(v->frames[v->last].get());
    v->repeat_due_ns = now + v->period_ns;
  }
  return std::min(v->repeat_due_ns, v->feed_frame_ns + kAwayAfterNs);
}

int64_t slate_frame(VideoState* v, int64_t now) {
  if (gPicture.load() != static_cast<int>(Picture::kSlate)) {
    gPicture.store(static_cast<int>(Picture::kSlate));
    v->slate_due_ns = now;
    v->slate_since_ns = v->camera_ns != 0 ? v->camera_ns : v->started_ns;
  }
  if (now >= v->slate_due_ns) {
    slate_update(v->slate, v->reason, (now - v->slate_since_ns) / (1000 * kMs));
    send_video(v->slate->frame.data());
    v->slate_due_ns += v->period_ns;
    if (v->slate_due_ns <= now) v->slate_due_ns = now + v->period_ns;  // after a long stall
  }
  return v->slate_due_ns;
}

// Sends what is due on the picture side; returns when it next will be.
int64_t tend_video(int64_t now) {
  std::lock_guard<std::mutex> hold(gVideoLock);
  if (camera_live(gVideo, now)) return repeat_frame(&gVideo, now);
  return slate_frame(&gVideo, now);
}

// How long silence waits after the camera's last block.
int64_t silence_wait(const AudioState& a) {
  int64_t longest = std::max(a.pause_now_ns, a.pause_before_ns) + kAudioBlockNs;
  return std::min(std::max(longest, kAudioGapNs), kAudioGapMaxNs);
}

int64_t tend_audio(int64_t now) {
  static const float kSilence[kAudioSamples * kAudioChannels] = {};
  std::lock_guard<std::mutex> hold(gAudioLock);
  bool fill = gAudio.filling || gPicture.load() == static_cast<int>(Picture::kSlate);
  int64_t wait = silence_wait(gAudio);
  if (!fill && now - gAudio.sent_ns < wait) return gAudio.sent_ns + wait;
  // Every block due goes out now: a wake-up per few blocks rather than per block.
  for (int n = 0; n < 8 && now - gAudio.sent_ns >= kAudioBlockNs; ++n) {
    zal_ndi_send_audio_interleaved(gSender, kSilence, kAudioSamples, kAudioChannels, kAudioRate);
    // Nominal steps keep 100 blocks a second; far behind (a stall), start again from now.
    bool behind = now - gAudio.sent_ns > 10 * kAudioBlockNs;
    gAudio.sent_ns = behind ? now : gAudio.sent_ns + kAudioBlockNs;
    gAudio.filling = true;
  }
  return gAudio.sent_ns + kAudioBatchNs;
}

void keeper_loop() {
  std::unique_lock<std::mutex> hold(gWakeLock);
  while (!gQuit) {
    hold.unlock();
    int64_t now = steady_now_ns();
    // Once a stop is asked for, the pumps end; no slate comes after the camera's last frame.
    int64_t next = now + 10 * kMs;
    if (gStop.load() == 0) next = tend_video(now);
    if (gStop.load() == 0 && gAudio.on) next = std::min(next, tend_audio(now));
    hold.lock();
    if (gQuit) break;
    gWake.wait_for(hold, std::chrono::nanoseconds(std::max<int64_t>(0, next - steady_now_ns())));
  }
}

void wake_keeper() {
  std::lock_guard<std::mutex> hold(gWakeLock);
  gWake.notify_all();
}

void feed(bool open) {
  {
    std::lock_guard<std::mutex> hold(gVideoLock);
    gVideo.feed_open = open;
    gVideo.feed_frame_ns = 0;
  }
  // The slate goes out at once when a feed ends.
  if (!open) wake_keeper();
}

// A camera frame has arrived in frames[slot]: out it goes, and it is the last one now.
void camera_frame(int slot) {
  std::lock_guard<std::mutex> hold(gVideoLock);
  int64_t now = steady_now_ns();
  send_video(gVideo.frames[slot].get());
  gVideo.last = slot;
  gVideo.feed_frame_ns = gVideo.camera_ns = now;
  // A repeat only for a frame that is missing, not one that is merely late: decoders hand
  // pictures over in pairs, two periods apart, and a repeat in each such gap went out on top
  // of every camera frame (37 frames a second from a 30 fps camera).
  gVideo.repeat_due_ns = now + gVideo.period_ns * 9 / 4;
  gPicture.store(static_cast<int>(Picture::kCamera));
}

// A camera block goes out now: its pause is noted for how long silence waits.
void note_camera_block(AudioState* a, int64_t now) {
  if (now - a->window_ns >= kAudioWindowNs) {
    a->pause_before_ns = a->pause_now_ns;
    a->pause_now_ns = 0;
    a->window_ns = now;
  }
  int64_t pause = now - a->camera_ns;
  if (pause <= kAudioGapMaxNs) a->pause_now_ns = std::max(a->pause_now_ns, pause);
  a->camera_ns = now;
  a->sent_ns = now;
  a->filling = false;
}

// Under gAudioLock: the camera's held blocks beyond `hold` go out. Under the slate only
// silence goes out and what is held is dropped: it is the sound of pictures the decoder
// never handed over, and the slate's silence has already taken its time.
void send_camera_audio(HeldAudio* held, int32_t hold) {
  if (gPicture.load() == static_cast<int>(Picture::kSlate)) {
    held->clear();
    return;
  }
  while (const float* block = held->due(hold)) {
    zal_ndi_send_audio_interleaved(gSender, block, kAudioSamples, kAudioChannels, kAudioRate);
    note_camera_block(&gAudio, steady_now_ns());
  }
}

}  // namespace

bool keeper_start(Slate* slate, bool audio) {
  int64_t size = frame_bytes(gOpt.width, gOpt.height);
  for (auto& frame : gVideo.frames) {
    frame.reset(new (std::nothrow) uint8_t[size]);
    if (!frame) return false;
  }
  gVideo.slate = slate;
  gVideo.period_ns = 1000 * kMs * gOpt.fps_denominator / gOpt.fps;
  gVideo.started_ns = gVideo.slate_since_ns = steady_now_ns();
  gAudio.on = audio;
  gAudio.sent_ns = gVideo.started_ns;
  gQuit = false;
  try {
    gThread = std::thread(keeper_loop);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void keeper_stop() {
  {
    std::lock_guard<std::mutex> hold(gWakeLock);
    gQuit = true;
    gWake.notify_all();
  }
  if (gThread.joinable()) gThread.join();
}

void keeper_set_reason(const std::string& reason) {
  std::lock_guard<std::mutex> hold(gVideoLock);
  gVideo.reason = reason;
}

Picture keeper_picture() { return static_cast<Picture>(gPicture.load()); }

int64_t keeper_away_since_ns() {
  std::lock_guard<std::mutex> hold(gVideoLock);
  return gVideo.slate_since_ns;
}

int64_t keeper_feed_frame_ns() {
  std::lock_guard<std::mutex> hold(gVideoLock);
  return gVideo.feed_frame_ns;
}

int keeper_video_thread(void* socket) {
  zal_socket s = *static_cast<zal_socket*>(socket);
  int64_t size = frame_bytes(gOpt.width, gOpt.height);
  if (!gVideo.frames[0] || !gVideo.frames[1]) return 0;  // the keeper could not start
  feed(true);
  // The frame being repeated is never the one being received.
  for (int slot = 0; gStop.load() == 0; slot ^= 1) {
    {
      std::lock_guard<std::mutex> hold(gVideoLock);
      if (slot == gVideo.last) slot ^= 1;
    }
    if (!recv_exact(s, gVideo.frames[slot].get(), size)) break;
    camera_frame(slot);
  }
  feed(false);
  return 0;
}

int keeper_audio_thread(void* socket) {
  zal_socket s = *static_cast<zal_socket*>(socket);
  std::unique_ptr<HeldAudio> held(new (std::nothrow) HeldAudio);
  if (!held) return 0;
  while (gStop.load() == 0) {
    if (!recv_exact(s, held->incoming(), kAudioBlockBytes)) break;
    std::lock_guard<std::mutex> hold(gAudioLock);
    held->keep();
    send_camera_audio(held.get(), lip_sync_hold());
  }
  // A stop sends what is held, as without keep-alive; at a decoder's end the slate
  // follows and what is held goes with the pictures it never handed over.
  if (gStop.load() != 0) {
    std::lock_guard<std::mutex> hold(gAudioLock);
    send_camera_audio(held.get(), 0);
  }
  return 0;
}
