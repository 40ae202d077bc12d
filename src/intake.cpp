#include "intake.h"

#include <climits>
#include <memory>
#include <new>

#include "ZALNDI.h"
#include "lip_sync.h"
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

// Sends the oldest held blocks while more than `hold` are held.
void send_due(HeldAudio* held, int32_t hold) {
  while (const float* block = held->due(hold)) {
    zal_ndi_send_audio_interleaved(gSender, block, kAudioSamples, kAudioChannels, kAudioRate);
  }
}

}  // namespace

int video_thread(void* socket) {
  zal_socket s = *static_cast<zal_socket*>(socket);
  int64_t size = frame_bytes(gOpt.width, gOpt.height);
  // One buffer for the whole run: frames land in it and NDI reads them from it.
  std::unique_ptr<uint8_t[]> frame(new (std::nothrow) uint8_t[size]);
  while (frame && gStop.load() == 0) {
    if (!recv_exact(s, frame.get(), size)) break;
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
    held->keep();
    // The hold-back only grows, once: one block out for each block in after that.
    send_due(held.get(), lip_sync_hold());
  }
  // Every block received is sent, as without the hold-back.
  send_due(held.get(), 0);
  return 0;
}
