// The NDI output layer: loads the vendor runtime at run time and publishes
// frames through one sender. Every call does nothing when the runtime or the
// sender is missing.
#pragma once

#include <cstddef>
#include <cstdint>

struct zal_ndi_sender {
  void* instance;     // the runtime's sender instance
  float* planar;      // de-interleaving scratch, null until the first audio block
  uint64_t capacity;  // floats planar can hold
};

// The runtime's failure texts, reported unchanged.
extern const char kNdiNotFound[];
extern const char kNdiIncompatible[];
extern const char kNdiInitFailed[];

// Returns null on success or one of the three failure texts.
const char* zal_ndi_load();
// The runtime's version text, or null when no runtime is loaded.
const char* zal_ndi_version();

// groups: the NDI groups to join, a comma-separated UTF-8 list; null for the runtime's default.
zal_ndi_sender* zal_ndi_sender_create(const char* name, const char* groups = nullptr);
void zal_ndi_sender_destroy(zal_ndi_sender* sender);
int zal_ndi_sender_connections(zal_ndi_sender* sender);
void zal_ndi_send_video_nv12(zal_ndi_sender* sender, const uint8_t* data, int32_t width,
                             int32_t height, int32_t rate_numerator, int32_t rate_denominator);
void zal_ndi_send_audio_interleaved(zal_ndi_sender* sender, const float* data, int32_t samples,
                                    int32_t channels, int32_t sample_rate);
