#include "ZALNDI.h"
#include "ZALNDI_testing.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dynlib.h"
#include "ndi_records.h"

void* gLib = nullptr;
const void* const* gNDI = nullptr;

const char kNdiNotFound[] = "NDI runtime not found (Processing.NDI.Lib.x64.dll)";
const char kNdiIncompatible[] = "NDI runtime incompatible (NDIlib_v6_load missing)";
const char kNdiInitFailed[] = "NDI initialization failed (unsupported CPU?)";

namespace {

template <typename Fn>
Fn entry(int position) {
  return reinterpret_cast<Fn>(const_cast<void*>(gNDI[position]));
}

void* open_first(const char paths[2][1024], int count) {
  for (int i = 0; i < count; ++i) {
    if (void* lib = lib_open(paths[i])) return lib;
  }
  return nullptr;
}

const char* drop_library(const char* failure) {
  lib_close(gLib);
  gLib = nullptr;
  return failure;
}

}  // namespace

int zal_ndi_candidates(const char* dir, char paths[2][1024]) {
  int count = 0;
  if (dir != nullptr) {
    int length = snprintf(paths[0], 1024, kNdiPathFormat, dir, kNdiLibraryName);
    if (length >= 0 && length < 1024) ++count;
  }
  snprintf(paths[count], 1024, "%s", kNdiLibraryName);
  return count + 1;
}

const char* zal_ndi_load() {
  if (gNDI != nullptr) return nullptr;
  if (gLib == nullptr) {
    char paths[2][1024];
    int count = zal_ndi_candidates(getenv("NDI_RUNTIME_DIR_V6"), paths);
    gLib = open_first(paths, count);
  }
  if (gLib == nullptr) return kNdiNotFound;
  auto load = reinterpret_cast<NDIlib_v6_load_fn>(lib_symbol(gLib, "NDIlib_v6_load"));
  if (load == nullptr) return drop_library(kNdiIncompatible);
  gNDI = load();
  if (gNDI == nullptr) return drop_library(kNdiIncompatible);
  if (!entry<NDIlib_initialize_fn>(ndi_entry::kInitialize)()) return kNdiInitFailed;
  return nullptr;
}

const char* zal_ndi_version() {
  if (gNDI == nullptr) return nullptr;
  return entry<NDIlib_version_fn>(ndi_entry::kVersion)();
}

void zal_ndi_unload_for_tests() {
  if (gLib != nullptr) lib_close(gLib);
  gLib = nullptr;
  gNDI = nullptr;
}

zal_ndi_sender* zal_ndi_sender_create(const char* name, const char* groups) {
  if (gNDI == nullptr) return nullptr;
  NDIlib_send_create_t create = {};
  create.p_ndi_name = name;
  create.p_groups = groups;
  create.clock_video = false;
  create.clock_audio = false;
  void* instance = entry<NDIlib_send_create_fn>(ndi_entry::kSendCreate)(&create);
  if (instance == nullptr) return nullptr;
  auto* sender = static_cast<zal_ndi_sender*>(calloc(1, sizeof(zal_ndi_sender)));
  if (sender == nullptr) {
    entry<NDIlib_send_destroy_fn>(ndi_entry::kSendDestroy)(instance);
    return nullptr;
  }
  sender->instance = instance;
  return sender;
}

void zal_ndi_sender_destroy(zal_ndi_sender* sender) {
  if (sender == nullptr || gNDI == nullptr) return;
  entry<NDIlib_send_destroy_fn>(ndi_entry::kSendDestroy)(sender->instance);
  free(sender->planar);
  free(sender);
}

int zal_ndi_sender_connections(zal_ndi_sender* sender) {
  if (sender == nullptr || gNDI == nullptr) return 0;
  return entry<NDIlib_send_get_no_connections_fn>(ndi_entry::kSendGetNoConnections)(
      sender->instance, 0);
}

void zal_ndi_send_video_nv12(zal_ndi_sender* sender, const uint8_t* data, int32_t width,
                             int32_t height, int32_t rate_numerator, int32_t rate_denominator) {
  if (sender == nullptr || gNDI == nullptr) return;
  NDIlib_video_frame_v2_t frame = {};
  frame.xres = width;
  frame.yres = height;
  frame.FourCC = kFourCC_NV12;
  frame.frame_rate_N = rate_numerator;
  frame.frame_rate_D = rate_denominator;
  frame.picture_aspect_ratio = static_cast<float>(width) / static_cast<float>(height);
  frame.frame_format_type = 1;  // progressive
  frame.timecode = kTimecodeSynthesize;
  frame.p_data = const_cast<uint8_t*>(data);
  frame.line_stride_in_bytes = width;
  frame.p_metadata = nullptr;
  frame.timestamp = 0;
  entry<NDIlib_send_send_video_v2_fn>(ndi_entry::kSendVideoV2)(sender->instance, &frame);
}

namespace {

// Grows the planar buffer to hold count floats; false when that fails.
bool reserve_planar(zal_ndi_sender* sender, uint64_t count) {
  if (sender->capacity >= count) return true;
  if (count > SIZE_MAX / sizeof(float)) return false;
  void* grown = realloc(sender->planar, count * sizeof(float));
  if (grown == nullptr) return false;
  sender->planar = static_cast<float*>(grown);
  sender->capacity = count;
  return true;
}

void deinterleave(const float* data, int32_t samples, int32_t channels, float* planar) {
  for (int32_t k = 0; k < channels; ++k) {
    float* plane = planar + static_cast<size_t>(k) * samples;
    for (int32_t s = 0; s < samples; ++s) plane[s] = data[static_cast<size_t>(s) * channels + k];
  }
}

}  // namespace

void zal_ndi_send_audio_interleaved(zal_ndi_sender* sender, const float* data, int32_t samples,
                                    int32_t channels, int32_t sample_rate) {
  if (sender == nullptr || gNDI == nullptr || samples <= 0 || channels <= 0) return;
  if (!reserve_planar(sender, static_cast<uint64_t>(samples) * static_cast<uint64_t>(channels))) {
    return;  // dropped: the old buffer and capacity stay
  }
  deinterleave(data, samples, channels, sender->planar);
  NDIlib_audio_frame_v2_t frame = {};
  frame.sample_rate = sample_rate;
  frame.no_channels = channels;
  frame.no_samples = samples;
  frame.timecode = kTimecodeSynthesize;
  frame.p_data = sender->planar;
  frame.channel_stride_in_bytes = samples * 4;
  frame.p_metadata = nullptr;
  frame.timestamp = 0;
  entry<NDIlib_send_send_audio_v2_fn>(ndi_entry::kSendAudioV2)(sender->instance, &frame);
}
